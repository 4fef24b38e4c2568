// capture --resume: an interrupted capture's partial image (NAME.partial) is walked to the end
// of its last whole record or mark (what a crash or a full disk left after it is cut off),
// the tape is spaced to the same place, the record before it is read again and must be the
// same bytes, and the capture goes on from there into the same file. The finished image is
// the one an uninterrupted capture would have written.
#include "tape/TapeJob.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/ImageReader.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

bool TapeJob::FindResumePoint(const std::string& partial, ResumePoint& point)
{
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(partial.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    struct stat st {};
    uint32_t error = ERROR_SUCCESS;
    if (!fd.valid())
        error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    else if (::fstat(fd.get(), &st) != 0)
        error = ErrorFromErrno(errno);
    else if (!S_ISREG(st.st_mode))
        error = ERROR_NOT_REGULAR_FILE;
    if (error) {
        WriteError("There is no partial image to go on with\n");
        WriteLog(1, ReasonLine(error, partial));
        return false;
    }
    const ImageFormat format = m_captureOptions.format;
    if (format != ImageFormat::Simh && format != ImageFormat::E11) {
        WriteError("Only a SIMH or E11 image can be resumed\n");
        return false;
    }
    ImageReaderPtr reader = MakeImageReader(format, fd.get(), static_cast<uint64_t>(st.st_size));
    std::string record(m_nBufferSize, '\0');
    for (;;) {
        const ImageReader::Item item = reader->Peek();
        if (item.kind == ImageReader::Kind::EndOfData && item.size > 0) {
            WriteError("The partial image holds the end of the data: it is complete\n");
            return false;
        }
        if (item.kind == ImageReader::Kind::EndOfData || item.kind == ImageReader::Kind::Damaged)
            break;  // a record cut short by the interruption ends what is kept
        if (item.kind == ImageReader::Kind::Record && item.length > m_nBufferSize) {
            WriteError("A record of the partial image is longer than the drive's largest block\n");
            return false;
        }
        const uint32_t length = item.kind == ImageReader::Kind::Record ? item.length : 0;
        if (reader->Take(item, record.data(), length) != ERROR_SUCCESS)
            break;
        point.keep = reader->Position();
        if (item.kind == ImageReader::Kind::Tapemark) {
            ++point.file;
            point.block = 0;
            point.lastRecord.clear();
        } else {
            ++point.block;
            point.lastRecord.assign(record.data(), length);
        }
    }
    char line[200];
    std::snprintf(line, sizeof line, "Going on with the partial image after %llu bytes: file %04d, block %llu\n\n",
                  static_cast<unsigned long long>(point.keep), point.file, static_cast<unsigned long long>(point.block));
    WriteLog(1, line);
    return true;
}

bool TapeJob::PositionForResume(TapeDevice& device, const ResumePoint& point)
{
    const auto space = [&](uint32_t method, uint64_t count) {
        return device.SetTapePosition(method, 0, static_cast<uint32_t>(count), static_cast<uint32_t>(count >> 32), false);
    };
    if (point.file > 0) {
        if (uint32_t err = space(TAPE_SPACE_FILEMARKS, static_cast<uint64_t>(point.file))) {
            WriteError("The tape has fewer files than the partial image\n");
            WriteLog(1, SystemMessage(err));
            return false;
        }
    }
    if (point.block == 0)
        return true;  // the partial image ends with a tapemark: the filemark was found
    if (point.block > 1) {
        if (uint32_t err = space(TAPE_SPACE_RELATIVE_BLOCKS, point.block - 1)) {
            WriteError("The tape has fewer blocks than the partial image\n");
            WriteLog(1, SystemMessage(err));
            return false;
        }
    }
    // The record before the place must read as the image has it: the tape is the same one,
    // and the place the same.
    std::string again(m_nBufferSize, '\0');
    uint32_t bytesRead = 0;
    const uint32_t err = device.Read(again.data(), m_nBufferSize, bytesRead);
    const bool same = (err == ERROR_SUCCESS || err == ERROR_CRC) && bytesRead == point.lastRecord.size() &&
                      again.compare(0, bytesRead, point.lastRecord) == 0;
    if (!same) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "Block %llu of file %04d does not read as the partial image has it: not the same tape, or not the same place\n",
                      static_cast<unsigned long long>(point.block - 1), point.file);
        WriteError(line);
        return false;
    }
    return true;
}
