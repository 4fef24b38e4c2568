// PrepareBuffer and TransferFile: the copy of one tape file into one disk file, as its steps:
// create the disk file, copy the blocks, say why the file ended, write the file summary.
#include "tape/ByteFigure.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <cstdio>

namespace {

const std::string kStars59(59, '*');
const char* const kWriteFailedText = "Error writing file on disk.\tDisk full or restricted access?\n";

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
    m_nFileBadBlocks = 0;
    m_nBadBlocksInARow = 0;

    std::unique_ptr<WritableFile> diskFile;
    bool result = true;
    const int32_t filesBefore = m_nFilesRead;
    try {
        diskFile = CreateDiskFile(fileName);
        ++m_nFilesRead;
        FileEnd end = CopyBlocks(device, *diskFile);
        NoteFileEnd(end);
        result = ReportFileEnd(end, endOfTape, stoppedByUser);
        if (m_nFileBytes > 0)  // an empty file is deleted with the summary
            FlushDiskFile(*diskFile);
    } catch (const ReTapeOpsException& e) {
        NoteFileFailure(e);
        WriteError(e.GetMessage());
        result = false;
        m_nResult = TapeJobResult::Failed;  // also after a break: the disk let the copy down
    }
    WriteFileSummary(fileName, std::move(diskFile));
    NoteFileDone(m_nFilesRead > filesBefore);  // the summary deletes an empty file

    if (!result && !stoppedByUser)
        m_nResult = TapeJobResult::Failed;
    return result;
}

std::unique_ptr<WritableFile> TapeJob::CreateDiskFile(const std::string& fileName)
{
    uint32_t createError = ERROR_SUCCESS;
    std::unique_ptr<WritableFile> diskFile = Files().CreateAlways(fileName, createError);
    bool madeDirectories = false;
    if (!diskFile && createError == ERROR_PATH_NOT_FOUND) {
        madeDirectories = CreateDirectoryPath(fileName);
        diskFile = Files().CreateAlways(fileName, createError);
    }
    if (!diskFile)
        throw ReTapeOpsException("Couldn't create file on disk\n", createError);
    if (madeDirectories)
        m_bMadeDirectories = true;
    return diskFile;
}

TapeJob::FileEnd TapeJob::CopyBlocks(TapeDevice& device, WritableFile& diskFile)
{
    FileEnd end;
    for (;;) {
        uint32_t bytesRead = 0;
        void* buffer = ReadBuffer();
        end.lastError = device.Read(buffer, m_nBufferSize, bytesRead);
        if (const Rescue rescue = RescueBlock(device, buffer, bytesRead, end); rescue != Rescue::Recovered) {
            if (rescue == Rescue::Skipped)
                continue;  // left out of the disk file; the tape stands after it
            return end;
        }
        end.readOk = end.lastError == ERROR_SUCCESS;
        if (bytesRead > m_nBufferSize)
            bytesRead = 0;  // never trust a length past the buffer
        // Only whole, good blocks reach the disk: a block cut short by ERROR_MORE_DATA
        // would leave bytes in the file that the summary does not count.
        if (!end.readOk)
            return end;
        if (bytesRead > 0) {
            uint32_t written = 0;
            if (diskFile.Write(buffer, bytesRead, written) != ERROR_SUCCESS)
                throw ReTapeOpsException(kWriteFailedText, 0);
        }

        ++m_nBlocksTotal;
        ++m_nFileBlocks;
        m_nBytesTotal += bytesRead;
        m_nFileBytes += bytesRead;
        NoteBlockCopied(buffer, bytesRead);
        SendCounters(0);

        uint32_t immediately = 0;
        end.breakRequested = m_pJobList && m_pJobList->GetBreakRequest(immediately);
        if (end.breakRequested && immediately)
            return end;
        if (bytesRead == 0)
            return end;
    }
}

// The summary that follows tells the user these bytes are copied: they must be on disk by
// then, not in the page cache of a machine that may still lose power.
void TapeJob::FlushDiskFile(WritableFile& diskFile)
{
    if (uint32_t error = diskFile.Sync())
        throw ReTapeOpsException(kWriteFailedText, error);
}

bool TapeJob::ReportFileEnd(const FileEnd& end, bool& endOfTape, bool& stoppedByUser)
{
    if (end.breakRequested) {
        WriteLog(1, "------ TERMINATED BY USER-------\n\n");
        stoppedByUser = true;
        return false;
    }
    if (end.readOk) {
        m_bFileEndedEmptyWithoutMark = m_nFileBytes == 0;
        return true;
    }
    if (end.lastError == ERROR_FILEMARK_DETECTED) {
        WriteLog(1, "------ FILEMARK DETECTED-------\n\n");
        return true;
    }
    if (WriteEndOfTape(end.lastError)) {
        endOfTape = true;
        return true;
    }
    // Going on would read from wherever the failed read left the tape and copy those
    // bytes under the next file's name: the session ends here instead.
    WriteError(SystemMessage(end.lastError));
    return false;
}

bool TapeJob::WriteEndOfTape(uint32_t error)
{
    if (error == ERROR_END_OF_MEDIA) {
        WriteLog(1, "------ END OF MEDIA REACHED -------\n\n");
        return true;
    }
    if (error == ERROR_NO_DATA_DETECTED) {
        WriteLog(1, "------ NO MORE DATA ON THE TAPE -------\n\n");
        return true;
    }
    return false;
}

void TapeJob::WriteFileSummary(const std::string& fileName, std::unique_ptr<WritableFile> diskFile)
{
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
}

// The names of the session's files, and of the directories made for them, must reach the
// disk too: a file flushed under a name that is not is lost all the same.
void TapeJob::SyncDiskDirectories()
{
    std::string name = m_strPath + "/" + m_strFileBase;  // the files' directory is this one's
    std::string dir = name.substr(0, name.rfind('/'));
    for (;;) {
        if (Files().SyncDirectory(dir.empty() ? "/" : dir) != ERROR_SUCCESS) {
            WriteError(kWriteFailedText);
            m_nResult = TapeJobResult::Failed;
            return;
        }
        // Each level made in this session is a new name in the level above it. Walking
        // up the text is enough: the levels made lie below the given path's first one.
        if (!m_bMadeDirectories)
            return;
        while (!dir.empty() && dir.back() == '/')
            dir.pop_back();
        if (dir.empty() || dir == ".")
            return;
        size_t sep = dir.rfind('/');
        dir = sep == std::string::npos ? "." : dir.substr(0, sep);
    }
}
