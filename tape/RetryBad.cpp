// capture --retry-bad: a second pass over a tape that an earlier capture could not read
// whole. The earlier image gives every record it holds good, as it is; the drive is read only
// at its bad records, spaced to each, and a bad record read whole now takes its place. A
// record still bad keeps the earlier image's bytes. Good data are never read again, so never
// replaced by a worse read. Tapemarks must meet tapemarks: a tape that differs from the
// image ends the pass.
#include "tape/TapeImageFile.h"
#include "tape/SessionReport.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/ImageReader.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

uint32_t SpaceOn(TapeDevice& device, uint32_t method, uint64_t count)
{
    return device.SetTapePosition(method, 0, static_cast<uint32_t>(count), static_cast<uint32_t>(count >> 32), false);
}

} // namespace

// The earlier image, open for reading in the format its content shows.
struct TapeJob::EarlierImage {
    UniqueFd fd;
    ImageReaderPtr reader;
    uint64_t size = 0;
};

bool TapeJob::OpenEarlierImage(EarlierImage& earlier)
{
    const std::string& path = m_captureOptions.retryFrom;
    earlier.fd = UniqueFd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    uint32_t error = ERROR_SUCCESS;
    struct stat st {};
    if (!earlier.fd.valid())
        error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    else if (::fstat(earlier.fd.get(), &st) != 0)
        error = ErrorFromErrno(errno);
    else if (!S_ISREG(st.st_mode))
        error = ERROR_NOT_REGULAR_FILE;
    std::optional<ImageFormat> format;
    if (!error) {
        earlier.size = static_cast<uint64_t>(st.st_size);
        format = DetectOpenImageFormat(earlier.fd.get(), earlier.size, path, error);
    }
    if (!format) {
        WriteError("Can't read the earlier image\n");
        WriteLog(1, ReasonLine(error, path));
        return false;
    }
    earlier.reader = MakeImageReader(*format, earlier.fd.get(), earlier.size);
    WriteLog(1, "Reading again only the bad records of the earlier image '" + path + "' (" +
                    std::string(ImageFormatTitle(*format)) + ")\n\n");
    return true;
}

TapeJob::CaptureEnd TapeJob::RetryBadRecords(TapeDevice& device, TapeImageFile& image)
{
    EarlierImage earlier;
    if (!OpenEarlierImage(earlier))
        return CaptureEnd::Failed;
    ImageReader& old = *earlier.reader;
    const auto tapeDiffers = [&](const char* what, uint32_t error) {
        char line[224];
        std::snprintf(line, sizeof line,
                      "The tape differs from the earlier image at block %llu of file %04d (byte %llu of the image): %s\n",
                      static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile,
                      static_cast<unsigned long long>(old.Position()), what);
        WriteError(line);
        if (error)
            WriteLog(1, SystemMessage(error));
        return CaptureEnd::Failed;
    };

    bool inFile = false;
    uint64_t behind = 0;  // records of the image passed since the drive's place, in this file
    m_nTapeFile = 0;
    m_nFileBlocks = 0;
    m_nFileBytes = 0;
    m_nFileBadBlocks = 0;
    m_nBadBlocksInARow = 0;
    for (;;) {
        const ImageReader::Item item = old.Peek();
        if (item.kind == ImageReader::Kind::Damaged) {
            char line[160];
            std::snprintf(line, sizeof line, "The earlier image is damaged at byte %llu\n",
                          static_cast<unsigned long long>(item.offset));
            WriteError(line);
            WriteLog(1, SystemMessage(item.error));
            return CaptureEnd::Failed;
        }
        if (item.kind == ImageReader::Kind::EndOfData) {
            if (inFile)
                EndCapturedFile(ERROR_NO_DATA_DETECTED, false);
            WriteEndOfTape(ERROR_NO_DATA_DETECTED);
            if (image.PutEndOfMedium() == ERROR_SUCCESS)
                return CaptureEnd::EndOfTape;
            WriteError("Error writing file on disk.\tDisk full or restricted access?\n");
            return CaptureEnd::Failed;
        }
        if (!inFile) {
            inFile = true;
            NoteFileStart(m_nTapeFile);
        }
        uint32_t writeError = ERROR_SUCCESS;
        uint32_t length = 0;
        bool counted = true;
        if (item.kind == ImageReader::Kind::Tapemark) {
            // The drive goes past the rest of the file and its filemark.
            if (uint32_t err = SpaceOn(device, TAPE_SPACE_FILEMARKS, 1))
                return tapeDiffers("no filemark where the image has its tapemark", err);
            if (uint32_t err = old.Take(item, nullptr, 0))
                return tapeDiffers("the image cannot be read on", err);
            behind = 0;
            writeError = image.PutTapemark();
            m_nBadBlocksInARow = 0;
            EndCapturedFile(ERROR_FILEMARK_DETECTED, false);
            inFile = false;
            counted = false;
        } else {
            char* record = image.RecordSpace();
            if (!record || item.length > m_nBufferSize) {
                WriteError(record ? "A record of the earlier image is longer than the drive's largest block\n"
                                  : "Error writing file on disk.\tDisk full or restricted access?\n");
                return CaptureEnd::Failed;
            }
            length = item.length;
            if (!item.bad) {
                if (uint32_t err = old.Take(item, record, item.length))
                    return tapeDiffers("the image cannot be read on", err);
                NoteBlockCopied(record, length);
                writeError = image.CommitRecord(length, false);
                m_nBadBlocksInARow = 0;
                ++behind;
            } else {
                ++m_nBadBefore;
                if (behind > 0) {
                    if (uint32_t err = SpaceOn(device, TAPE_SPACE_RELATIVE_BLOCKS, behind))
                        return tapeDiffers("the tape has fewer blocks", err);
                    behind = 0;
                }
                uint32_t bytesRead = 0;
                m_nRereads = 0;
                uint32_t error = device.Read(record, m_nBufferSize, bytesRead);
                if (error == ERROR_CRC)
                    error = RereadBadBlock(device, record, bytesRead);
                const bool whole = error == ERROR_SUCCESS && bytesRead > 0 && bytesRead <= m_nBufferSize;
                if (m_retried.size() < SessionReport::kMaxListedBadBlocks)
                    m_retried.push_back({m_nTapeFile, m_nFileBlocks, item.offset,
                                         whole ? static_cast<int64_t>(image.Size())
                                               : BadRecordOffset(image, error == ERROR_CRC ? item.length : 0),
                                         m_nRereads, whole});
                if (whole) {
                    char line[128];
                    std::snprintf(line, sizeof line, "Bad block %llu of file %04d read whole now: %u bytes\n",
                                  static_cast<unsigned long long>(m_nFileBlocks), m_nTapeFile, bytesRead);
                    WriteLog(1, line);
                    if (uint32_t err = old.Take(item, nullptr, 0))
                        return tapeDiffers("the image cannot be read on", err);
                    length = bytesRead;
                    NoteBlockCopied(record, length);
                    writeError = image.CommitRecord(length, false);
                    m_nBadBlocksInARow = 0;
                    ++m_nRecovered;
                } else if (error == ERROR_CRC) {
                    // Still bad: the earlier read's bytes stay, as they were.
                    if (uint32_t err = old.Take(item, record, item.length))
                        return tapeDiffers("the image cannot be read on", err);
                    NoteBlockCopied(record, length);
                    KeepBadBlock(ERROR_CRC, BadRecordOffset(image, length));
                    writeError = PutBadBlock(image, length);
                } else {
                    return tapeDiffers("no block where the image has a bad record", error);
                }
            }
        }
        if (writeError) {
            WriteError("Error writing file on disk.\tDisk full or restricted access?\n");
            return CaptureEnd::Failed;
        }
        if (counted) {
            ++m_nBlocksTotal;
            ++m_nFileBlocks;
            m_nBytesTotal += length;
            m_nFileBytes += length;
        }
        SendCounters(0, &device);
        uint32_t immediately = 0;
        if (m_pJobList && m_pJobList->GetBreakRequest(immediately)) {
            WriteLog(1, "------ TERMINATED BY USER-------\n\n");
            if (inFile)
                EndCapturedFile(ERROR_SUCCESS, true);
            return CaptureEnd::UserBreak;
        }
    }
}
