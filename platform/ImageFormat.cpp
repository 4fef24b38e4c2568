#include "platform/ImageFormat.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"
#include "platform/TapeDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct FormatEntry {
    ImageFormat format;
    std::string_view name;
    std::string_view title;
    std::string_view extension;
    bool writable;
    bool marksBad;
    uint32_t maxRecord;
};

// One table: every fact about a format that is not its bytes.
constexpr FormatEntry kFormatTable[] = {
    {ImageFormat::Simh, "simh", "SIMH", ".tap", true, true, kMaxTapeBlockSize},
    {ImageFormat::E11, "e11", "E11", ".e11", true, true, kMaxTapeBlockSize},
    {ImageFormat::Aws, "aws", "AWS", ".aws", true, false, kMaxTapeBlockSize},
    {ImageFormat::Het, "het", "HET", ".het", true, false, kMaxTapeBlockSize},
    {ImageFormat::Tpc, "tpc", "TPC", ".tpc", false, false, 0xFFFF},
};

const FormatEntry& Entry(ImageFormat format)
{
    for (const FormatEntry& entry : kFormatTable) {
        if (entry.format == format)
            return entry;
    }
    return kFormatTable[0];
}

bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i])
            return false;
    }
    return true;
}

} // namespace

std::string_view ImageFormatName(ImageFormat format) { return Entry(format).name; }
std::string_view ImageFormatTitle(ImageFormat format) { return Entry(format).title; }
bool CanWriteImageFormat(ImageFormat format) { return Entry(format).writable; }
bool CanMarkBadRecords(ImageFormat format) { return Entry(format).marksBad; }
uint32_t MaxImageRecord(ImageFormat format) { return Entry(format).maxRecord; }

std::optional<ImageFormat> ImageFormatFromName(std::string_view name)
{
    for (const FormatEntry& entry : kFormatTable) {
        if (EqualNoCase(name, entry.name))
            return entry.format;
    }
    return std::nullopt;
}

std::string ImageFormatNames(bool writableOnly)
{
    std::string names;
    for (const FormatEntry& entry : kFormatTable) {
        if (writableOnly && !entry.writable)
            continue;
        if (!names.empty())
            names += ", ";
        names += entry.name;
    }
    return names;
}

std::string_view ImageCompressionName(ImageCompression compression)
{
    switch (compression) {
    case ImageCompression::Zlib: return "zlib";
    case ImageCompression::Bzip2: return "bzip2";
    case ImageCompression::None: break;
    }
    return "none";
}

std::optional<ImageCompression> ImageCompressionFromName(std::string_view name)
{
    for (ImageCompression c : {ImageCompression::None, ImageCompression::Zlib, ImageCompression::Bzip2}) {
        if (EqualNoCase(name, ImageCompressionName(c)))
            return c;
    }
    return std::nullopt;
}

std::optional<ImageFormat> ImageFormatFromExtension(std::string_view path)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return std::nullopt;
    const std::string_view extension = path.substr(dot);
    for (const FormatEntry& entry : kFormatTable) {
        if (EqualNoCase(extension, entry.extension))
            return entry.format;
    }
    return std::nullopt;
}

std::optional<ImageFormat> DetectImageFormat(const unsigned char* head, size_t size, uint64_t imageSize,
                                             std::string_view path)
{
    const std::optional<ImageFormat> hint = ImageFormatFromExtension(path);
    if (imageSize == 0)  // a blank tape: every format's
        return hint.value_or(ImageFormat::Simh);
    bool simhOdd = false;
    const bool simh = LooksLikeSimh(head, size, imageSize, true, &simhOdd);
    const bool e11 = LooksLikeSimh(head, size, imageSize, false);  // only with an odd record
    bool compressed = false;
    const bool aws = LooksLikeAws(head, size, imageSize, compressed);
    const bool tpc = LooksLikeTpc(head, size, imageSize);
    if (hint) {
        switch (*hint) {
        case ImageFormat::Simh:
            if (simh)
                return ImageFormat::Simh;
            break;
        case ImageFormat::E11:
            // Without an odd-length record E11 is SIMH's layout exactly.
            if (e11 || (simh && !simhOdd))
                return ImageFormat::E11;
            break;
        case ImageFormat::Aws:
        case ImageFormat::Het:
            if (aws)
                return compressed ? ImageFormat::Het : *hint;
            break;
        case ImageFormat::Tpc:
            if (tpc)
                return ImageFormat::Tpc;
            break;
        }
    }
    if (simh)
        return ImageFormat::Simh;
    if (aws)
        return compressed ? ImageFormat::Het : ImageFormat::Aws;
    if (e11)
        return ImageFormat::E11;
    if (tpc)
        return ImageFormat::Tpc;
    // Damaged early on: the name's format, so that reading it says where it goes wrong.
    return hint;
}

std::optional<ImageFormat> DetectOpenImageFormat(int fd, uint64_t size, const std::string& path, uint32_t& error)
{
    std::vector<unsigned char> head(static_cast<size_t>(std::min<uint64_t>(size, kImageDetectBytes)));
    size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::pread(fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = ERROR_TAPE_IMAGE_UNREADABLE;
            return std::nullopt;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    // A file that shrank under us is judged by what it still has.
    std::optional<ImageFormat> format = DetectImageFormat(head.data(), got, got < head.size() ? got : size, path);
    error = format ? ERROR_SUCCESS : ERROR_TAPE_IMAGE_UNKNOWN_FORMAT;
    return format;
}

std::optional<ImageFormat> DetectImageFileFormat(const std::string& path, uint32_t& error)
{
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd.valid()) {
        error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = ErrorFromErrno(errno);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_REGULAR_FILE;
        return std::nullopt;
    }
    return DetectOpenImageFormat(fd.get(), static_cast<uint64_t>(st.st_size), path, error);
}

ImageReaderPtr MakeImageReader(ImageFormat format, int fd, uint64_t imageSize)
{
    switch (format) {
    case ImageFormat::Simh: return MakeSimhReader(fd, imageSize, true);
    case ImageFormat::E11: return MakeSimhReader(fd, imageSize, false);
    case ImageFormat::Aws: return MakeAwsReader(fd, imageSize, false);
    case ImageFormat::Het: return MakeAwsReader(fd, imageSize, true);
    case ImageFormat::Tpc: return MakeTpcReader(fd, imageSize);
    }
    return nullptr;
}

ImageEncoderPtr MakeImageEncoder(ImageFormat format, ImageCompression compression)
{
    switch (format) {
    case ImageFormat::Simh: return MakeSimhEncoder(true);
    case ImageFormat::E11: return MakeSimhEncoder(false);
    case ImageFormat::Aws: return MakeAwsEncoder(false, ImageCompression::None);
    case ImageFormat::Het: return MakeAwsEncoder(true, compression);
    case ImageFormat::Tpc: break;  // read only
    }
    return nullptr;
}

uint32_t MemoryImageSink::Append(const void* data, size_t size)
{
    const auto* from = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), from, from + size);
    return ERROR_SUCCESS;
}

bool WriteImage(const std::string& path, ImageFormat format, const std::vector<std::vector<std::string>>& files,
                std::string& error, ImageCompression compression)
{
    ImageEncoderPtr encoder =
        format == ImageFormat::Tpc ? MakeTpcEncoder() : MakeImageEncoder(format, compression);
    if (!encoder) {
        error = "no writer for " + std::string(ImageFormatName(format));
        return false;
    }
    MemoryImageSink sink;
    uint32_t err = ERROR_SUCCESS;
    for (const auto& file : files) {
        for (const std::string& record : file) {
            if (!err)
                err = encoder->Record(sink, record.data(), static_cast<uint32_t>(record.size()), false);
        }
        if (!err)
            err = encoder->Tapemark(sink);
    }
    if (!err)
        err = encoder->EndOfMedium(sink);
    if (err) {
        error = SystemMessage(err);
        error.pop_back();
        return false;
    }
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); }));
    if (!fd.valid()) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < sink.bytes.size()) {
        const ssize_t n = RetryOnInterrupt([&] { return ::write(fd.get(), sink.bytes.data() + done, sink.bytes.size() - done); });
        if (n <= 0) {
            error = path + ": " + (n < 0 ? std::strerror(errno) : "no space");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (int err2 = fd.Close()) {
        error = path + ": " + std::strerror(err2);
        return false;
    }
    return true;
}
