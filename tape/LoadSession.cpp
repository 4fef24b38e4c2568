// RunLoad: the body of a load job, as its steps: rewind, then either every file to the end
// of the tape or the selected files with the gaps spaced over, then the session summary.
#include "tape/ByteFigure.h"
#include "tape/TapeJob.h"

#include "platform/Errors.h"
#include "platform/TimeText.h"
#include "selection/FileSelection.h"

#include <cstdio>
#include <utility>

namespace {

const std::string kStarLine = std::string(102, '*') + "\n";
const std::string kHashLine = std::string(59, '#') + "\n";

// All-files mode reads on until the tape reports its end. A drive that keeps answering
// reads with 0 bytes and no filemark would never get there: after this many such files in
// a row the walk stops.
constexpr int kMaxFilesWithoutProgress = 16;

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
    StartSessionReport();
    m_badBlocks.clear();

    uint32_t error = ERROR_SUCCESS;
    TapeDevicePtr device = OpenDevice(error);
    if (!device) {
        WriteDeviceAccessFailure(error);
        NoteSessionError("Can't access specified device");
        m_nResult = TapeJobResult::Failed;
        FinishSessionReport();
        return;
    }

    if (!PrepareBuffer(*device)) {
        device.reset();
        m_nResult = TapeJobResult::Failed;
        FinishSessionReport();
        m_pBuffer.Release();
        m_nBufferSize = 0;
        return;
    }
    NoteBlockMode();

    SendCounters(0);

    bool stoppedByUser = false;
    m_bMadeDirectories = false;
    if (RewindForLoad(*device)) {
        if (selection.loadAll)
            LoadAll(*device, stoppedByUser);
        else
            LoadSelection(*device, selection, stoppedByUser);
    }
    if (m_nFilesRead > 0)
        SyncDiskDirectories();

    WriteSessionSummary();
    SendCounters(1);
    CloseSession(std::move(device), stoppedByUser);
}

void TapeJob::CloseSession(TapeDevicePtr device, bool stoppedByUser)
{
    if (stoppedByUser) {
        if (m_nResult != TapeJobResult::Failed)  // a disk failure is not hidden by the break
            m_nResult = TapeJobResult::BrokenByUser;
    } else {
        RewindForLoad(*device);
    }
    device.reset();
    SendCounters(1);

    FinishSessionReport();
    m_pBuffer.Release();
    m_nBufferSize = 0;
}

// A failed rewind leaves the tape at an unknown place: the caller reads nothing from there.
bool TapeJob::RewindForLoad(TapeDevice& device)
{
    WriteLog(1, "Rewinding\n\n");
    if (uint32_t rewindError = device.SetTapePosition(TAPE_REWIND, 0, 0, 0, false)) {
        WriteError(SystemMessage(rewindError));
        m_nResult = TapeJobResult::Failed;
        return false;
    }
    return true;
}

std::string TapeJob::AnnounceFile(int32_t fileNumber)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", fileNumber);
    std::string name = m_strPath + "/" + m_strFileBase + digits;
    m_nTapeFile = fileNumber;
    {
        LogBatch batch(*this);
        WriteLog(0, kStarLine);
        char text[64];
        std::snprintf(text, sizeof text, "Trying read file number %04d from tape to disk file '", fileNumber);
        WriteLog(1, text + name + "'\n\n");
    }
    NoteFileStart(fileNumber);
    return name;
}

bool TapeJob::SkipFiles(TapeDevice& device, int64_t firstFile, int32_t lastFile)
{
    WriteLog(0, kStarLine);
    char text[96];
    if (firstFile == lastFile)
        std::snprintf(text, sizeof text, "Skiping file number %04d \n\n", lastFile);
    else
        std::snprintf(text, sizeof text, "Skiping files number %04d-%04d \n\n", static_cast<int>(firstFile), lastFile);
    WriteLog(1, text);
    uint64_t count = static_cast<uint64_t>(int64_t{lastFile} - firstFile + 1);
    uint32_t spaceError = device.SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<uint32_t>(count), 0, false);
    if (spaceError == ERROR_SUCCESS)
        return true;
    // The end of the tape ends the session in the ordinary way; any other failure leaves
    // the tape at an unknown place, and the session ends with the error.
    if (!WriteEndOfTape(spaceError)) {
        WriteError(SystemMessage(spaceError));
        m_nResult = TapeJobResult::Failed;
    }
    return false;
}

void TapeJob::LoadAll(TapeDevice& device, bool& stoppedByUser)
{
    bool endOfTape = false;
    int filesWithoutProgress = 0;
    for (int fileNumber = 0; !endOfTape; ++fileNumber) {
        std::string name = AnnounceFile(fileNumber);
        if (!TransferFile(device, name, endOfTape, stoppedByUser))
            return;
        filesWithoutProgress = m_bFileEndedEmptyWithoutMark ? filesWithoutProgress + 1 : 0;
        if (filesWithoutProgress >= kMaxFilesWithoutProgress) {
            char text[96];
            std::snprintf(text, sizeof text, "------ NO DATA IN THE LAST %d FILES, READING STOPPED -------\n\n",
                          kMaxFilesWithoutProgress);
            WriteLog(1, text);
            NoteSessionError(text);
            m_nResult = TapeJobResult::Failed;
            return;
        }
    }
}

void TapeJob::LoadSelection(TapeDevice& device, const FileSelection& selection, bool& stoppedByUser)
{
    bool endOfTape = false;
    int64_t nextTapeFile = 0;  // k + 1 of the last index: may pass INT32_MAX
    for (auto it = selection.begin(); it != selection.end(); ++it) {
        const int32_t k = *it;
        if (k > nextTapeFile && !SkipFiles(device, nextTapeFile, k - 1)) {
            if (m_nResult != TapeJobResult::Failed)  // the tape ended before file k
                NoteSelectionShort(k);
            return;
        }
        nextTapeFile = int64_t{k} + 1;
        std::string name = AnnounceFile(k);
        const bool transferred = TransferFile(device, name, endOfTape, stoppedByUser);
        if (transferred && m_bFileFoundOnlyEndOfData)
            NoteSelectionShort(k);
        else if (transferred && endOfTape) {
            auto following = it;
            if (++following != selection.end())
                NoteSelectionShort(*following);
        }
        if (!transferred || endOfTape)
            return;
    }
}

// A selected file the tape does not have: the log has said where the tape ended, and the
// session does not count as done (the command line exits with 1).
void TapeJob::NoteSelectionShort(int32_t firstMissing)
{
    char text[96];
    std::snprintf(text, sizeof text, "The tape ended before selected file %04d", firstMissing);
    NoteSessionError(text);
    m_nResult = TapeJobResult::Failed;
}

void TapeJob::WriteSessionSummary()
{
    LogBatch batch(*this);
    WriteLog(1, kHashLine);
    WriteLog(1, kHashLine);
    WriteLog(1, "#########   READ SESSION SUMMARY   ########################\n");
    char line[96];
    std::snprintf(line, sizeof line, "######## Files read \t\t: %d\n", m_nFilesRead);
    WriteLog(1, line);
    std::snprintf(line, sizeof line, "######## Blocks read\t\t: %llu\n", static_cast<unsigned long long>(m_nBlocksTotal));
    WriteLog(1, line);
    WriteLog(1, ByteFigure("######## Bytes  read\t\t: ", "  ", m_nBytesTotal));
    WriteBadBlockSummary();
    WriteLog(1, "######## Session completed at " + CTimeNow());
    WriteLog(1, std::string(59, '#') + "\n\n");
}
