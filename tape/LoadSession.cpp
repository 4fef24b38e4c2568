// RunLoad: the body of a load job.
#include "tape/ByteFigure.h"
#include "tape/TapeJob.h"

#include "platform/Errors.h"
#include "platform/TimeText.h"
#include "selection/FileSelection.h"

#include <cstdio>

namespace {

const std::string kStarLine = std::string(102, '*') + "\n";
const std::string kHashLine = std::string(59, '#') + "\n";

// All-files mode reads on until the tape reports its end. A drive that keeps answering
// reads with 0 bytes and no filemark would never get there: after this many such files in
// a row the walk stops.
constexpr int kMaxFilesWithoutProgress = 16;

std::string DiskFileName(const std::string& dir, const std::string& base, int number)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", number);
    return dir + "/" + base + digits;
}

} // namespace

void TapeJob::RunLoad()
{
    FileSelection selection;
    if (!ParseFileSelection(m_strSelection.c_str(), selection)) {
        WriteLog(1, "Invalid file selection syntax\n");
        m_nResult = TapeJobResult::BadSelection;
        return;
    }

    m_nBlocksTotal = 0;
    m_nBytesTotal = 0;
    m_nFilesRead = 0;

    uint32_t error = ERROR_SUCCESS;
    TapeDevicePtr device = OpenDevice(error);
    if (!device) {
        WriteLog(1, "Can't access specified device\n\n");
        m_nResult = TapeJobResult::Failed;
        return;
    }

    if (!PrepareBuffer(*device)) {
        device.reset();
        m_pBuffer.Release();
        m_nBufferSize = 0;
        m_nResult = TapeJobResult::Failed;
        return;
    }

    SendCounters(0);

    bool endOfTape = false;
    bool stoppedByUser = false;
    bool continueSession = true;

    // A failed rewind or spacing leaves the tape at an unknown place: the session ends
    // with the error rather than read on from there.
    auto positionFailed = [&](uint32_t code) {
        WriteError(SystemMessage(code));
        m_nResult = TapeJobResult::Failed;
        continueSession = false;
    };

    WriteLog(1, "Rewinding\n\n");
    if (uint32_t rewindError = device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false))
        positionFailed(rewindError);

    if (continueSession && selection.loadAll) {
        int filesWithoutProgress = 0;
        for (int fileNumber = 0; !endOfTape;) {
            std::string name = DiskFileName(m_strPath, m_strFileBase, fileNumber);
            WriteLog(0, kStarLine);
            char text[64];
            std::snprintf(text, sizeof text, "Trying read file number %04d from tape to disk file '", fileNumber);
            WriteLog(1, text + name + "'\n\n");
            ++fileNumber;
            if (!TransferFile(*device, name, endOfTape, stoppedByUser))
                break;
            filesWithoutProgress = m_bFileEndedEmptyWithoutMark ? filesWithoutProgress + 1 : 0;
            if (filesWithoutProgress >= kMaxFilesWithoutProgress) {
                std::snprintf(text, sizeof text, "------ NO DATA IN THE LAST %d FILES, READING STOPPED -------\n\n",
                              kMaxFilesWithoutProgress);
                WriteLog(1, text);
                m_nResult = TapeJobResult::Failed;
                break;
            }
        }
    } else if (continueSession) {
        int64_t nextTapeFile = 0;  // k + 1 of the last index: may pass INT32_MAX
        for (int32_t k : selection) {
            if (!continueSession || endOfTape)
                break;
            int64_t gap = static_cast<int64_t>(k) - nextTapeFile;
            if (gap > 0) {
                WriteLog(0, kStarLine);
                char text[96];
                if (gap == 1)
                    std::snprintf(text, sizeof text, "Skiping file number %04d \n\n", static_cast<int>(nextTapeFile));
                else
                    std::snprintf(text, sizeof text, "Skiping files number %04d-%04d \n\n", static_cast<int>(nextTapeFile), k - 1);
                WriteLog(1, text);
                uint32_t spaceError = device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<uint32_t>(gap), 0, false);
                if (spaceError == ERROR_END_OF_MEDIA) {
                    WriteLog(1, "------ END OF MEDIA REACHED -------\n\n");
                    break;
                }
                if (spaceError == ERROR_NO_DATA_DETECTED) {
                    WriteLog(1, "------ NO MORE DATA ON THE TAPE -------\n\n");
                    break;
                }
                if (spaceError != ERROR_SUCCESS) {
                    positionFailed(spaceError);
                    break;
                }
            }
            nextTapeFile = int64_t{k} + 1;
            std::string name = DiskFileName(m_strPath, m_strFileBase, k);
            WriteLog(0, kStarLine);
            char text[64];
            std::snprintf(text, sizeof text, "Trying read file number %04d from tape to disk file '", k);
            WriteLog(1, text + name + "'\n\n");
            continueSession = TransferFile(*device, name, endOfTape, stoppedByUser);
        }
    }

    WriteLog(1, kHashLine);
    WriteLog(1, kHashLine);
    WriteLog(1, "#########   READ SESSION SUMMARY   ########################\n");
    char line[96];
    std::snprintf(line, sizeof line, "######## Files read \t\t: %d\n", m_nFilesRead);
    WriteLog(1, line);
    std::snprintf(line, sizeof line, "######## Blocks read\t\t: %llu\n", static_cast<unsigned long long>(m_nBlocksTotal));
    WriteLog(1, line);
    WriteLog(1, ByteFigure("######## Bytes  read\t\t: ", "  ", m_nBytesTotal));
    WriteLog(1, "######## Session completed at " + CTimeNow());
    WriteLog(1, std::string(59, '#') + "\n\n");
    SendCounters(1);

    if (stoppedByUser) {
        m_nResult = TapeJobResult::BrokenByUser;
    } else {
        WriteLog(1, "Rewinding\n\n");
        if (uint32_t rewindError = device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false)) {
            WriteError(SystemMessage(rewindError));
            m_nResult = TapeJobResult::Failed;
        }
    }
    device.reset();
    SendCounters(1);

    m_pBuffer.Release();
    m_nBufferSize = 0;
}
