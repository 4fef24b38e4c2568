// PrepareBuffer and TransferFile: the copy of one tape file into one disk file, as its steps:
// create the disk file, copy the blocks, say why the file ended, write the file summary.
#include "tape/ByteFigure.h"
#include "tape/PendingDiskFile.h"
#include "tape/TapeJob.h"
#include "tape/TapeMap.h"
#include "tape/TapeJobList.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <cstdio>

namespace {

// Where an image drive stands, as a byte of the image: its media parameters' capacity less
// what remains. -1 when it cannot say.
int64_t ImagePosition(TapeDevice& device)
{
    TAPE_GET_MEDIA_PARAMETERS media;
    if (device.GetMediaParameters(media) != ERROR_SUCCESS || media.Remaining > media.Capacity)
        return -1;
    return media.Capacity - media.Remaining;
}

const std::string kStars59(59, '*');
const char* const kWriteFailedText = "Error writing file on disk.\tDisk full or restricted access?\n";
const char* const kCreateFailedText = "Couldn't create file on disk\n";

// The read past the last file of the tape found only the end of its data: no such tape
// file, so nothing of that name on disk is touched.
bool FoundOnlyTheEndOfData(uint32_t error, bool readOk, uint64_t blocks)
{
    return !readOk && blocks == 0 && (error == ERROR_NO_DATA_DETECTED || error == ERROR_END_OF_MEDIA);
}

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
        // A load reads into a chunk of blocks (BlockStage) with room for one more largest
        // block; only the pages used are ever touched.
        const size_t room = m_nKind == TAPE_JOB_LOAD ? size_t{size} + BlockStage::kChunkSize : size;
        m_pBuffer = PageBuffer::Allocate(room);
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
    m_bFileFoundOnlyEndOfData = false;
    m_nFileBlocks = 0;
    m_nFileBytes = 0;
    m_nFileBadBlocks = 0;
    m_nBadBlocksInARow = 0;
    m_stage.Clear();

    // Made once the first read has answered (see PendingDiskFile); every file but the read
    // past the tape's last one is made, an empty one too, so no old file passes for this
    // tape's.
    PendingDiskFile diskFile([&] { return CreateDiskFile(fileName); });
    bool probeOnly = false;
    bool result = true;
    // Whole: the file was read to its end. A copy that is not keeps its temporary name.
    bool whole = false;
    std::string cut;  // why it is not, for the report
    const int32_t filesBefore = m_nFilesRead;
    try {
        FileEnd end = CopyBlocks(device, diskFile);
        NoteFileEnd(end);
        probeOnly = !diskFile.IsOpen() && FoundOnlyTheEndOfData(end.lastError, end.readOk, m_nFileBlocks);
        m_bFileFoundOnlyEndOfData = probeOnly;
        if (!probeOnly)
            diskFile.Open();
        result = ReportFileEnd(end, endOfTape, stoppedByUser);
        whole = result || (stoppedByUser && !end.breakImmediate);
        if (!whole)
            cut = end.breakImmediate ? "stopped by the user" : "the read failed";
        // A copy with blocks left out is worse than a copy an earlier session made whole, or
        // may be: it never takes that one's place, and stays beside it as the temporary.
        if (whole && m_nFileBadBlocks > 0 && !probeOnly && !m_loadOptions.scanOnly && Files().Exists(fileName)) {
            whole = false;
            cut = "bad blocks left out; the file of this name from before is kept";
            WriteLog(1, "Bad blocks were left out of this copy: the file '" + fileName +
                            "' already there is kept, this copy stays as '" + DiskPartName(fileName) + "'\n");
        }
        if (m_nFileBytes > 0)  // an empty file is deleted with the summary
            FlushDiskFile(diskFile);
    } catch (const ReTapeOpsException& e) {
        m_stage.Clear();  // blocks not on the disk are not counted either
        NoteFileFailure(e);
        WriteError(e.GetMessage());
        if (!e.GetReason().empty())
            WriteLog(1, e.GetReason());
        result = false;
        whole = false;
        cut = "writing the disk file failed";
        m_nResult = TapeJobResult::Failed;  // also after a break: the disk let the copy down
    }
    if (!WriteFileSummary(fileName, diskFile, probeOnly, whole))
        result = false;
    NoteFileDone(m_nFilesRead > filesBefore, whole, cut);  // the summary deletes an empty file
    NoteFileLabels(m_nFilesRead > filesBefore, whole);

    if (!result && !stoppedByUser)
        m_nResult = TapeJobResult::Failed;
    return result;
}

std::string DiskPartName(const std::string& fileName)
{
    return fileName + ".part";
}

// The file is written as NAME.part and renamed with its summary: a file cut off by a
// signal or a crash never carries the name of a complete one.
std::unique_ptr<WritableFile> TapeJob::CreateDiskFile(const std::string& fileName)
{
    if (m_loadOptions.scanOnly)
        return CreateScanSink();
    const std::string partName = DiskPartName(fileName);
    if (m_loadOptions.noClobber) {
        for (const std::string& name : {fileName, partName})
            if (Files().Exists(name))
                throw ReTapeOpsException(kCreateFailedText, ERROR_ALREADY_EXISTS,
                                         "Reason: the name exists already and files are never overwritten: '" +
                                             name + "'\n");
    }
    uint32_t createError = ERROR_SUCCESS;
    std::unique_ptr<WritableFile> diskFile = Files().CreateAlways(partName, createError);
    bool madeDirectories = false;
    if (!diskFile && createError == ERROR_PATH_NOT_FOUND) {
        // A folder that cannot be made is the cause, with its own path and error.
        uint32_t folderError = ERROR_SUCCESS;
        std::string folder;
        madeDirectories = CreateDirectoryPath(partName, folderError, folder);
        if (!madeDirectories && !folder.empty() && folder != partName)
            throw ReTapeOpsException(kCreateFailedText, folderError, ReasonLine(folderError, folder));
        diskFile = Files().CreateAlways(partName, createError);
    }
    if (!diskFile)
        throw ReTapeOpsException(kCreateFailedText, createError, ReasonLine(createError, partName));
    if (madeDirectories)
        m_bMadeDirectories = true;
    ++m_nFilesRead;
    return diskFile;
}

TapeJob::FileEnd TapeJob::CopyBlocks(TapeDevice& device, PendingDiskFile& diskFile)
{
    FileEnd end;
    for (;;) {
        uint32_t bytesRead = 0;
        void* buffer = ReadBuffer();
        end.lastError = device.Read(buffer, m_nBufferSize, bytesRead);
        if (bytesRead > m_nBufferSize)
            bytesRead = 0;  // never trust a length past the buffer
        if (end.lastError == ERROR_SUCCESS && bytesRead > 0) {
            // The usual case: the block stays where it was read, among the others of its
            // chunk, and goes to the disk with them.
            m_stage.Add(bytesRead);
            if (m_stage.Full())
                WriteStagedBlocks(diskFile);
        } else {
            // Whatever this is (the file's end, an error, a block to read again), it is told
            // and handled with every block before it on the disk and counted.
            WriteStagedBlocks(diskFile);
            buffer = ReadBuffer();
            if (end.lastError == ERROR_MORE_DATA || end.lastError == ERROR_INVALID_BLOCK_LENGTH)
                end.blockLength = device.LastBlockLength();
            if (IsTapeImageDamage(end.lastError))
                end.damageAt = ImagePosition(device);
            if (const Rescue rescue = RescueBlock(device, buffer, bytesRead, end); rescue != Rescue::Recovered) {
                if (rescue == Rescue::Skipped)
                    continue;  // left out of the disk file; the tape stands after it
                return end;
            }
            if (bytesRead > m_nBufferSize)
                bytesRead = 0;
            // Only whole, good blocks reach the disk: a block cut short by ERROR_MORE_DATA
            // would leave bytes in the file that the summary does not count.
            if (end.lastError != ERROR_SUCCESS) {
                end.readOk = false;
                return end;
            }
            m_stage.Add(bytesRead);  // a block read again, or a read of no data
            WriteStagedBlocks(diskFile);
        }
        end.readOk = true;
        SendCounters(0, &device);

        uint32_t immediately = 0;
        end.breakRequested = m_pJobList && m_pJobList->GetBreakRequest(immediately);
        if (end.breakRequested && immediately) {
            WriteStagedBlocks(diskFile);
            end.breakImmediate = true;
            return end;
        }
        if (bytesRead == 0)
            return end;
    }
}

// The staged blocks go to the disk file in one write and are counted then, so the counters,
// the summary, the checksum and the report describe what is on the disk. A write that fails
// keeps the whole blocks that reached the disk (PendingDiskFile::WriteBlocks), counts those
// and fails the file.
void TapeJob::WriteStagedBlocks(PendingDiskFile& diskFile)
{
    if (m_stage.Empty())
        return;
    const std::vector<uint32_t>& sizes = m_stage.Sizes();
    size_t kept = sizes.size();
    uint32_t error = ERROR_SUCCESS;
    if (m_stage.Fill() > 0)
        error = diskFile.WriteBlocks(m_stage.Chunk(), sizes, kept);
    const char* block = m_stage.Chunk();
    uint64_t bytes = 0;
    for (size_t i = 0; i < kept; ++i) {
        ++m_nBlocksTotal;
        ++m_nFileBlocks;
        m_nBytesTotal += sizes[i];
        m_nFileBytes += sizes[i];
        NoteBlockCopied(block, sizes[i]);
        block += sizes[i];
        bytes += sizes[i];
    }
    NoteChunkWritten(bytes);
    m_stage.Start(static_cast<char*>(StageChunk()));
    if (error != ERROR_SUCCESS)
        throw ReTapeOpsException(kWriteFailedText, 0);
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
    if (end.breakImmediate) {
        WriteLog(1, "------ TERMINATED BY USER-------\n\n");
        stoppedByUser = true;
        return false;
    }
    // A break asked for "after this file" ends the session once the file has ended: the
    // file itself ends as it would have, and is whole when it reached its end.
    bool ended = false;
    if (end.readOk) {
        m_bFileEndedEmptyWithoutMark = m_nFileBytes == 0;
        ended = true;
    } else if (end.lastError == ERROR_FILEMARK_DETECTED) {
        WriteLog(1, "------ FILEMARK DETECTED-------\n\n");
        ended = true;
    } else if (WriteEndOfTape(end.lastError)) {
        endOfTape = true;
        ended = true;
    }
    if (ended && end.breakRequested) {
        WriteLog(1, "------ TERMINATED BY USER-------\n\n");
        stoppedByUser = true;
        return false;
    }
    if (ended)
        return true;
    // Going on would read from wherever the failed read left the tape and copy those
    // bytes under the next file's name: the session ends here instead.
    WriteError(SystemMessage(end.lastError));
    WriteReadFailureReason(end.lastError, end.blockLength, end.damageAt);
    return false;
}

// What the drive's error number cannot say: the sizes and the place on the tape.
void TapeJob::WriteReadFailureReason(uint32_t error, uint32_t blockLength, int64_t damageAt)
{
    char text[320];
    char length[48] = "";
    if (blockLength != 0)
        std::snprintf(length, sizeof length, " of %u bytes", blockLength);
    switch (error) {
    case ERROR_MORE_DATA:
        std::snprintf(text, sizeof text,
                      "Reason: a record%s, longer than %u bytes, the largest block the drive reads; for a tape "
                      "image give a larger --max-block-size (at most %u)\n",
                      length, m_nBufferSize, kMaxTapeBlockSize);
        break;
    case ERROR_INVALID_BLOCK_LENGTH:
        std::snprintf(text, sizeof text,
                      "Reason: a record%s whose length is not the fixed block size of %u bytes, in block %llu of "
                      "tape file %04d\n",
                      length, m_nBufferSize, static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile);
        break;
    case ERROR_CRC:
        std::snprintf(text, sizeof text, "Reason: bad data in block %llu of tape file %04d (both counted from 0)\n",
                      static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile);
        break;
    default:
        if (!IsTapeImageDamage(error) || damageAt < 0)
            return;
        std::snprintf(text, sizeof text,
                      "Reason: the tape image goes wrong at byte %lld, in block %llu of tape file %04d "
                      "(both counted from 0)\n",
                      static_cast<long long>(damageAt), static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile);
        break;
    }
    WriteLog(1, text);
}

bool TapeJob::WriteEndOfTape(uint32_t error)
{
    if (m_pMap && (error == ERROR_END_OF_MEDIA || error == ERROR_NO_DATA_DETECTED))
        m_pMap->EndOfTape();
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

bool TapeJob::WriteFileSummary(const std::string& fileName, PendingDiskFile& diskFile, bool probeOnly, bool whole)
{
    // A whole copy carries the final name by the time its summary is written, in place of
    // whatever had it. A copy cut short (a break, a signal, a full disk, a failed read)
    // keeps the temporary name: it never replaces a complete file nor passes for one.
    const std::string partName = DiskPartName(fileName);
    bool deleted = probeOnly;
    uint32_t renameError = ERROR_SUCCESS;
    if (std::unique_ptr<WritableFile> file = diskFile.Release()) {
        uint64_t size = 0;
        uint32_t sizeError = file->GetSize(size);
        file.reset();
        if (sizeError == ERROR_SUCCESS && size == 0) {
            // Nothing was read into it: a file of that name from an earlier session stays.
            if (!m_loadOptions.scanOnly)
                Files().DeleteFile(partName);
            --m_nFilesRead;
            deleted = true;
        } else if (whole && !m_loadOptions.scanOnly) {
            renameError = Files().Rename(partName, fileName, !m_loadOptions.noClobber);
        }
    }
    if (renameError != ERROR_SUCCESS) {
        WriteError(kCreateFailedText);
        WriteLog(1, ReasonLine(renameError, fileName));
        m_nResult = TapeJobResult::Failed;
    }

    LogBatch batch(*this);
    WriteLog(1, kStars59 + "\n");
    WriteLog(1, "*********\tFILE  " + fileName + " SUMMARY\t\n");
    char line[128];
    std::snprintf(line, sizeof line, "********* Blocks successfully read : %llu\n",
                  static_cast<unsigned long long>(m_nFileBlocks));
    WriteLog(1, line);
    WriteLog(1, ByteFigure("********* Bytes successfully read  : ", "   ", m_nFileBytes));
    if (deleted)
        WriteLog(1, m_loadOptions.scanOnly ? "********* No data in file.\n" : "********* No data in file. File deleted.\n");
    WriteLog(1, kStars59 + "\n\n");
    return renameError == ERROR_SUCCESS;
}

// The names of the session's files, and of the directories made for them, must reach the
// disk too: a file flushed under a name that is not is lost all the same.
void TapeJob::SyncDiskDirectories()
{
    std::string name = m_strPath + "/" + DataBase();  // the files' directory is this one's
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
