// PrepareBuffer and TransferFile: the copy of one tape file into one disk file.
#include "tape/ByteFigure.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <cstdio>

namespace {

const std::string kStars59(59, '*');

} // namespace

bool TapeJob::PrepareBuffer(TapeDevice& device)
{
    try {
        m_bVariableBlock = IsVariableBlockSupported(device);
        uint32_t size;
        if (m_bVariableBlock) {
            SetMediaBlockSize(device, 0);
            size = GetMaximumBlockSize(device);
        } else {
            size = GetMediaFixedBlockSize(device);
        }
        m_nBufferSize = size;
        m_pBuffer = PageBuffer::Allocate(size);
        if (!m_pBuffer)
            throw ReTapeOpsException("Couldn't allocate memory for buffer\n", 0);
        return true;
    } catch (const ReTapeOpsException& e) {
        WriteError(e.GetMessage());
        return false;
    }
}

bool TapeJob::TransferFile(TapeDevice& device, const std::string& fileName, bool& endOfTape, bool& stoppedByUser)
{
    endOfTape = false;
    stoppedByUser = false;
    m_bFileEndedEmptyWithoutMark = false;
    m_nFileBlocks = 0;
    m_nFileBytes = 0;

    std::unique_ptr<WritableFile> diskFile;
    uint32_t bytesRead = 1;
    bool readOk = true;
    uint32_t lastError = ERROR_SUCCESS;
    bool breakRequested = false;
    bool result = true;

    try {
        uint32_t createError = ERROR_SUCCESS;
        diskFile = Files().CreateAlways(fileName, createError);
        if (!diskFile && createError == ERROR_PATH_NOT_FOUND) {
            CreateDirectoryPath(fileName);
            diskFile = Files().CreateAlways(fileName, createError);
        }
        if (!diskFile)
            throw ReTapeOpsException("Couldn't create file on disk\n", createError);
        ++m_nFilesRead;

        for (;;) {
            bytesRead = 0;
            lastError = device.Read(m_pBuffer.data(), m_nBufferSize, bytesRead);
            readOk = lastError == ERROR_SUCCESS;
            if (bytesRead > m_nBufferSize)
                bytesRead = 0;  // never trust a length past the buffer
            // Only whole, good blocks reach the disk: a block cut short by ERROR_MORE_DATA
            // would leave bytes in the file that the summary does not count.
            if (!readOk)
                break;
            if (bytesRead > 0) {
                uint32_t written = 0;
                if (diskFile->Write(m_pBuffer.data(), bytesRead, written) != ERROR_SUCCESS)
                    throw ReTapeOpsException("Error writing file on disk.\tDisk full or restricted access?\n", 0);
            }

            ++m_nBlocksTotal;
            ++m_nFileBlocks;
            m_nBytesTotal += bytesRead;
            m_nFileBytes += bytesRead;
            SendCounters(0);

            uint32_t immediately = 0;
            breakRequested = m_pJobList && m_pJobList->GetBreakRequest(immediately);
            if (breakRequested && immediately)
                break;
            if (bytesRead == 0)
                break;
        }

        if (breakRequested) {
            WriteLog(1, "------ TERMINATED BY USER-------\n\n");
            result = false;
            stoppedByUser = true;
        } else if (readOk) {
            m_bFileEndedEmptyWithoutMark = m_nFileBytes == 0;
        } else if (lastError == ERROR_FILEMARK_DETECTED) {
            WriteLog(1, "------ FILEMARK DETECTED-------\n\n");
        } else if (lastError == ERROR_END_OF_MEDIA) {
            WriteLog(1, "------ END OF MEDIA REACHED -------\n\n");
            endOfTape = true;
        } else if (lastError == ERROR_NO_DATA_DETECTED) {
            WriteLog(1, "------ NO MORE DATA ON THE TAPE -------\n\n");
            endOfTape = true;
        } else {
            // Going on would read from wherever the failed read left the tape and copy
            // those bytes under the next file's name: the session ends here instead.
            WriteError(SystemMessage(lastError));
            result = false;
        }
    } catch (const ReTapeOpsException& e) {
        WriteError(e.GetMessage());
        result = false;
    }

    WriteLog(1, kStars59 + "\n");
    WriteLog(1, "*********\tFILE  " + fileName + " SUMMARY\t\n");
    char line[128];
    std::snprintf(line, sizeof line, "********* Blocks successfully read : %llu\n",
                  static_cast<unsigned long long>(m_nFileBlocks));
    WriteLog(1, line);
    WriteLog(1, ByteFigure("********* Bytes successfully read  : ", "   ", m_nFileBytes));
    if (diskFile) {
        uint64_t size = 0;
        uint32_t sizeError = diskFile->GetSize(size);
        diskFile.reset();
        if (sizeError == ERROR_SUCCESS && size == 0) {
            Files().DeleteFile(fileName);
            --m_nFilesRead;
            WriteLog(1, "********* No data in file. File deleted.\n");
        }
    }
    WriteLog(1, kStars59 + "\n\n");

    if (!result && !stoppedByUser)
        m_nResult = TapeJobResult::Failed;
    return result;
}
