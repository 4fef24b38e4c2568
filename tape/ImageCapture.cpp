// RunCapture: the whole tape, from its beginning to the end of its data, into one tape image
// in the format asked for (m_captureOptions): every record with its exact length
// (variable-block mode, the largest buffer), every filemark as a tapemark, a block the drive
// cannot read as a bad-data record with whatever bytes came, and the end of the data. A
// format without a bad-record mark (AWS, HET) keeps a bad block's bytes as an ordinary
// record and leaves out one of which the drive gave nothing; the log says so for each, and
// the report lists them all as bad blocks. The image takes its name only when
// complete (TapeImageFile); its SHA-256 and the report go beside it (SessionReport).
#include "tape/ByteFigure.h"
#include "tape/SessionReport.h"
#include "tape/TapeImageFile.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/TimeText.h"

#include <chrono>
#include <cstdio>
#include <sys/stat.h>
#include <utility>

namespace {

const std::string kStarLine = std::string(102, '*') + "\n";
const std::string kHashLine = std::string(59, '#') + "\n";
const char* const kWriteFailedText = "Error writing file on disk.\tDisk full or restricted access?\n";

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

} // namespace

void TapeJob::RunCapture()
{
    m_nBlocksTotal = 0;
    m_nBytesTotal = 0;
    m_nFilesRead = 0;
    m_badBlocks.clear();
    m_nBadBlocks = 0;
    const std::string imagePath = m_strPath + "/" + m_strFileBase;
    if (!CheckImageName(imagePath)) {
        m_nResult = TapeJobResult::Failed;
        return;
    }
    // The image's checksum is taken anyway: it and the report are always written.
    m_loadOptions.writeChecksumsAndReport = true;
    StartSessionReport();

    uint32_t error = ERROR_SUCCESS;
    TapeDevicePtr device = OpenDevice(error);
    if (!device) {
        WriteLog(1, "Can't access specified device\n\n");
        m_nResult = TapeJobResult::Failed;
        FinishSessionReport();
        return;
    }
    NoteDeviceOpen();
    TapeImageFile image;
    bool ready = PrepareBuffer(*device);
    if (ready && !m_bVariableBlock) {
        // Fixed blocks would come several to a read, and a record's own length would be lost.
        WriteError("Variable block mode is needed to capture a tape image\n");
        ready = false;
    }
    if (ready && !LockTargetFolder())
        ready = false;
    ResumePoint resumeAt;
    if (ready)
        m_pReport->SetBlockMode(true, m_nBufferSize, nullptr);
    if (ready && m_captureOptions.resume) {
        ready = FindResumePoint(imagePath + ".partial", resumeAt);
        if (ready) {
            if (uint32_t error = image.Resume(imagePath, m_nBufferSize, m_captureOptions.format, resumeAt.keep)) {
                WriteError("Can't go on with the partial image\n");
                WriteLog(1, ReasonLine(error, imagePath + ".partial"));
                ready = false;
            }
        }
    } else if (ready) {
        if (uint32_t createError = image.Create(imagePath, m_nBufferSize, m_captureOptions.format,
                                                m_captureOptions.compression)) {
            WriteError("Couldn't create file on disk\n");
            WriteLog(1, SystemMessage(createError));
            ready = false;
        }
    }
    if (!ready) {
        device.reset();
        m_nResult = TapeJobResult::Failed;
        FinishSessionReport();
        m_folderLock.Release();
        m_pBuffer.Release();
        m_nBufferSize = 0;
        return;
    }

    SendCounters(0);
    CaptureEnd end = CaptureEnd::Failed;
    const auto started = std::chrono::steady_clock::now();
    if (RewindForLoad(*device)) {
        ImageReport named;
        named.file = m_strFileBase;
        m_pReport->SetImage(named);
        WriteLog(0, kStarLine);
        WriteLog(1, "Capturing whole tape to image file '" + imagePath + "'\n");
        std::string format = "Image format: " + std::string(ImageFormatTitle(m_captureOptions.format));
        if (m_captureOptions.format == ImageFormat::Het)
            format += std::string(", records compressed with ") +
                      std::string(ImageCompressionName(m_captureOptions.compression));
        if (!CanMarkBadRecords(m_captureOptions.format))
            format += " (it has no mark for a bad block)";
        WriteLog(1, format + "\n\n");
        if (m_captureOptions.resume)
            end = PositionForResume(*device, resumeAt) ? CaptureTape(*device, image, resumeAt.file, resumeAt.block)
                                                       : CaptureEnd::Failed;
        else if (!m_captureOptions.retryFrom.empty())
            end = RetryBadRecords(*device, image);
        else
            end = CaptureTape(*device, image);
        if (!FinishImage(image, end))
            m_nResult = TapeJobResult::Failed;
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
    WriteCaptureSummary(seconds.count());
    SendCounters(1);

    if (end == CaptureEnd::Failed)
        m_nResult = TapeJobResult::Failed;
    CloseSession(std::move(device), end == CaptureEnd::UserBreak);
}

// Checked before the tape is touched: writing over the image being read would destroy the
// source, and a folder under the name could only fail at the very end.
bool TapeJob::CheckImageName(const std::string& imagePath)
{
    const std::string& earlier = m_captureOptions.retryFrom;
    if (!earlier.empty() && (IsSameFile(imagePath, earlier) || IsSameFile(imagePath + ".tmp", earlier))) {
        WriteError("The image file is the earlier image whose bad records are read again: '" + imagePath + "'\n");
        return false;
    }
    const std::vector<std::string>& images = DeviceNamespace::TapeImages();
    if (m_nTapeIndex >= 0 && static_cast<size_t>(m_nTapeIndex) < images.size()) {
        const std::string& source = images[m_nTapeIndex];
        if (IsSameFile(imagePath, source) || IsSameFile(imagePath + ".tmp", source)) {
            WriteError("The image file is the tape image being read: '" + imagePath + "'\n");
            return false;
        }
    }
    // Its side files and every temporary name must not be an image either.
    SessionTargets targets;
    std::string name;
    SplitFolderAndPrefix(m_strPath, m_strFileBase, targets.folder, name);
    for (const char* suffix : {"", ".tmp", ".partial", ".sha256", ".sha256.tmp", ".json", ".json.tmp", ".map.json",
                               ".map.json.tmp", ".map.svg", ".map.svg.tmp"})
        targets.names.push_back(name + suffix);
    if (!CheckSessionTargets(targets, {name + ".map.json.tmp", name + ".0000-00-00T00-00-00Z-99.json"}))
        return false;
    struct stat st {};
    if (::stat(imagePath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        WriteError("The image file name is a folder: '" + imagePath + "'\n");
        return false;
    }
    return true;
}

TapeJob::CaptureEnd TapeJob::CaptureTape(TapeDevice& device, TapeImageFile& image, int32_t firstFile,
                                         uint64_t firstBlock)
{
    bool inFile = firstBlock > 0;  // a file is open from its first record or mark on
    m_nTapeFile = firstFile;
    if (inFile)
        NoteFileStart(m_nTapeFile);
    m_nFileBlocks = firstBlock;
    m_nFileBytes = 0;
    m_nFileBadBlocks = 0;
    m_nBadBlocksInARow = 0;
    for (;;) {
        // The record is read where the image keeps it: no copy on the way.
        char* record = image.RecordSpace();
        if (!record) {
            WriteError(kWriteFailedText);
            return CaptureEnd::Failed;
        }
        uint32_t bytesRead = 0;
        uint32_t error = device.Read(record, m_nBufferSize, bytesRead);
        if (error == ERROR_CRC)
            error = RereadBadBlock(device, record, bytesRead);
        if (bytesRead > m_nBufferSize || (error != ERROR_SUCCESS && error != ERROR_CRC))
            bytesRead = 0;  // never trust a length past the buffer, nor the bytes of other errors
        if (!inFile && (error == ERROR_SUCCESS || error == ERROR_CRC || error == ERROR_FILEMARK_DETECTED)) {
            inFile = true;
            NoteFileStart(m_nTapeFile);
        }

        uint32_t writeError = ERROR_SUCCESS;
        if (error == ERROR_SUCCESS && bytesRead > 0) {
            NoteBlockCopied(record, bytesRead);  // before the commit, which may hand the chunk on
            writeError = image.CommitRecord(bytesRead, false);
            m_nBadBlocksInARow = 0;
        } else if (error == ERROR_CRC) {
            NoteBlockCopied(record, bytesRead);
            const bool stop = KeepBadBlock(ERROR_CRC, BadRecordOffset(image, bytesRead));
            writeError = PutBadBlock(image, bytesRead);
            if (stop && !writeError) {
                char line[96];
                std::snprintf(line, sizeof line, "------ %u BAD BLOCKS IN A ROW, CAPTURE STOPPED -------\n\n",
                              m_nBadBlocksInARow);
                WriteLog(1, line);
                NoteSessionError(line);
                EndCapturedFile(ERROR_CRC, false);
                return CaptureEnd::Failed;
            }
        } else if (error == ERROR_FILEMARK_DETECTED) {
            writeError = image.PutTapemark();
            m_nBadBlocksInARow = 0;
            EndCapturedFile(error, false);
            inFile = false;
        } else if (error == ERROR_NO_DATA_DETECTED || error == ERROR_END_OF_MEDIA) {
            if (inFile)
                EndCapturedFile(error, false);
            WriteEndOfTape(error);
            if (image.PutEndOfMedium() == ERROR_SUCCESS)
                return CaptureEnd::EndOfTape;
            WriteError(kWriteFailedText);
            return CaptureEnd::Failed;
        } else {
            if (inFile)
                EndCapturedFile(error, false);
            if (error == ERROR_MORE_DATA) {
                char line[128];
                std::snprintf(line, sizeof line,
                              "Block longer than the read buffer of %u bytes: it cannot be captured whole\n",
                              m_nBufferSize);
                WriteError(line);
            } else if (error == ERROR_SUCCESS) {
                // No length word says "no bytes": the image cannot hold such a block.
                WriteError("Read of no data without a filemark: the tape cannot be captured\n");
            } else {
                WriteError(SystemMessage(error));
            }
            return CaptureEnd::Failed;
        }
        if (writeError) {
            WriteError(kWriteFailedText);
            return CaptureEnd::Failed;
        }

        if (error == ERROR_SUCCESS || error == ERROR_CRC) {
            ++m_nBlocksTotal;
            ++m_nFileBlocks;
            m_nBytesTotal += bytesRead;
            m_nFileBytes += bytesRead;
        }
        SendCounters(0, &device);
        // Half an image is no image: any break ends the capture at once.
        uint32_t immediately = 0;
        if (m_pJobList && m_pJobList->GetBreakRequest(immediately)) {
            WriteLog(1, "------ TERMINATED BY USER-------\n\n");
            if (inFile)
                EndCapturedFile(ERROR_SUCCESS, true);
            return CaptureEnd::UserBreak;
        }
    }
}

uint32_t TapeJob::RereadBadBlock(TapeDevice& device, void* buffer, uint32_t& bytesRead)
{
    uint32_t error = ERROR_CRC;
    m_nRereads = 0;
    for (uint32_t attempt = 1; attempt <= m_loadOptions.readRetries && error == ERROR_CRC; ++attempt) {
        m_nRereads = attempt;
        uint32_t immediately = 0;
        if (m_pJobList && m_pJobList->GetBreakRequest(immediately))
            break;  // the loop after the block sees it
        char line[128];
        std::snprintf(line, sizeof line, "Read error in block %llu of file %04d, reading it again (%u of %u): ",
                      static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile, attempt, m_loadOptions.readRetries);
        WriteLog(1, line + SystemMessage(error));
        const uint32_t back = device.SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 0xFFFFFFFF, 0xFFFFFFFF, false);
        if (back != ERROR_SUCCESS)
            return back;  // where the tape stands is unknown now: the capture ends with it
        bytesRead = 0;
        error = device.Read(buffer, m_nBufferSize, bytesRead);
        if (error == ERROR_SUCCESS) {
            std::snprintf(line, sizeof line, "Block %llu of file %04d read on attempt %u\n",
                          static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile, attempt);
            WriteLog(1, line);
        }
    }
    return error;
}

// A bad block into the image: marked bad where the format can. Elsewhere the bytes the drive
// gave are kept as an ordinary record (losing them would be worse), and a block of which it
// gave nothing is left out: the format has nothing to stand for it. Either way the log says
// it here and the report lists the block.
uint32_t TapeJob::PutBadBlock(TapeImageFile& image, uint32_t bytesRead)
{
    if (CanMarkBadRecords(image.Format()))
        return image.CommitRecord(bytesRead, true);
    char line[192];
    if (bytesRead == 0) {
        std::snprintf(line, sizeof line,
                      "Bad block %llu of file %04d left out of the image: no bytes were read, and the format has no mark for a bad block\n",
                      static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile);
        WriteLog(1, line);
        return ERROR_SUCCESS;
    }
    std::snprintf(line, sizeof line,
                  "Bad block %llu of file %04d written as an ordinary record: the format has no mark for a bad block\n",
                  static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile);
    WriteLog(1, line);
    return image.CommitRecord(bytesRead, true);
}

bool TapeJob::KeepBadBlock(uint32_t error, int64_t imageOffset)
{
    ++m_nBadBlocksInARow;
    ++m_nFileBadBlocks;
    NoteBadBlock({m_nTapeFile, m_nFileBlocks, error, WithoutLineEnd(SystemMessage(error)), imageOffset, m_nRereads});
    m_nResult = TapeJobResult::Failed;  // the image is whole, the tape's data are not
    char line[96];
    std::snprintf(line, sizeof line, "Bad block %llu of file %04d kept as bad data: ",
                  static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile);
    WriteLog(1, line + SystemMessage(error));
    return m_nBadBlocksInARow >= m_loadOptions.maxBadBlocksInARow;  // 0 counts as 1
}

// The file's line, its report entry, and the counters set for the next one.
void TapeJob::EndCapturedFile(uint32_t error, bool breakRequested)
{
    char line[128];
    if (m_nFileBadBlocks > 0)
        std::snprintf(line, sizeof line, "File number %04d captured: %llu blocks (%llu bad), %llu bytes\n",
                      m_nTapeFile, static_cast<unsigned long long>(m_nFileBlocks),
                      static_cast<unsigned long long>(m_nFileBadBlocks), static_cast<unsigned long long>(m_nFileBytes));
    else
        std::snprintf(line, sizeof line, "File number %04d captured: %llu blocks, %llu bytes\n", m_nTapeFile,
                      static_cast<unsigned long long>(m_nFileBlocks), static_cast<unsigned long long>(m_nFileBytes));
    WriteLog(1, line);
    NoteFileEnd(FileEnd{false, error, 0, breakRequested, breakRequested});
    NoteFileDone(false);
    ++m_nFilesRead;
    ++m_nTapeFile;
    m_nFileBlocks = 0;
    m_nFileBytes = 0;
    m_nFileBadBlocks = 0;
}

// Complete: the image takes its name. Otherwise the temporary goes: a partial image never
// stands under the name asked for.
bool TapeJob::FinishImage(TapeImageFile& image, CaptureEnd end)
{
    ImageReport report;
    report.file = m_strFileBase;
    report.badRecords = m_nBadBlocks;
    report.format = std::string(ImageFormatName(m_captureOptions.format));
    if (m_captureOptions.format == ImageFormat::Het)
        report.compression = std::string(ImageCompressionName(m_captureOptions.compression));
    report.badRecordsMarked = CanMarkBadRecords(m_captureOptions.format);
    if (!m_captureOptions.retryFrom.empty()) {
        report.retryOf = m_captureOptions.retryFrom;
        report.badRecordsBefore = static_cast<int64_t>(m_nBadBefore);
        report.recovered = static_cast<int64_t>(m_nRecovered);
        report.retried = std::move(m_retried);
    }
    bool ok = true;
    if (end == CaptureEnd::EndOfTape) {
        if (uint32_t error = image.Commit()) {
            WriteError(kWriteFailedText);
            WriteLog(1, SystemMessage(error));
            ok = false;
        } else {
            report.written = true;
            report.size = image.Size();
            report.sha256 = image.Sha256();
            char line[64];
            std::snprintf(line, sizeof line, "' written: %llu bytes, SHA-256 ",
                          static_cast<unsigned long long>(image.Size()));
            WriteLog(1, "Image file '" + image.Path() + line + image.Sha256() + "\n\n");
        }
    }
    if (!report.written) {
        const bool resumable = m_captureOptions.retryFrom.empty() &&
                               (m_captureOptions.format == ImageFormat::Simh || m_captureOptions.format == ImageFormat::E11);
        if (resumable && image.Size() > 0 && image.KeepPartial() == ERROR_SUCCESS) {
            WriteLog(1, "Image file not written: the capture did not reach the end of the tape. What it read is kept "
                        "in '" + image.PartialPath() + "': capture --resume goes on from there\n\n");
        } else {
            image.Discard();
            WriteLog(1, "Image file not written: the capture did not reach the end of the tape\n\n");
        }
    }
    m_pReport->SetImage(report);
    return ok;
}

void TapeJob::WriteCaptureSummary(double seconds)
{
    LogBatch batch(*this);
    WriteLog(1, kHashLine);
    WriteLog(1, kHashLine);
    WriteLog(1, "#########   CAPTURE SESSION SUMMARY   #####################\n");
    char line[160];
    std::snprintf(line, sizeof line, "######## Files captured\t\t: %d\n", m_nFilesRead);
    WriteLog(1, line);
    std::snprintf(line, sizeof line, "######## Blocks captured\t: %llu\n", static_cast<unsigned long long>(m_nBlocksTotal));
    WriteLog(1, line);
    WriteLog(1, ByteFigure("######## Bytes  captured\t: ", "  ", m_nBytesTotal));
    WriteBadBlockSummary("######## Bad blocks kept\t: ");
    if (!m_captureOptions.retryFrom.empty()) {
        std::snprintf(line, sizeof line, "######## Bad before, read again\t: %llu\n",
                      static_cast<unsigned long long>(m_nBadBefore));
        WriteLog(1, line);
        std::snprintf(line, sizeof line, "######## Read whole now\t: %llu\n",
                      static_cast<unsigned long long>(m_nRecovered));
        WriteLog(1, line);
    }
    std::snprintf(line, sizeof line, "######## Time taken\t\t: %.3f s\n", seconds);
    WriteLog(1, line);
    WriteLog(1, "######## Session completed at " + CTimeNow());
    WriteLog(1, kHashLine + "\n");
}
