// validate. Forwards, each item's start is kept as its distance from the one before
// (LEB128 bytes: one or two for most records, so memory stays far below the image's size);
// backwards, each step must land on those starts in reverse, a tapemark as a tapemark, and
// the last step at the beginning. The bytes of both walks are the same, so where each item
// starts and what it is settles whether they agree.
#include "platform/ImageValidate.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/ImageReader.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr uint64_t kProgressEvery = 64u << 20;

std::string Text(uint32_t error)
{
    std::string text = SystemMessage(error);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// Item starts as distances, with a bit of their own for tapemarks, readable from either end:
// a number's last byte has the top bit clear, the bytes before it set.
class StartList {
public:
    void Push(uint64_t delta, bool tapemark)
    {
        uint64_t v = delta << 1 | (tapemark ? 1 : 0);
        while (v >= 0x80) {
            m_bytes.push_back(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        m_bytes.push_back(static_cast<uint8_t>(v));
        ++m_nCount;
    }

    uint64_t Count() const { return m_nCount; }

    // Takes the last number off: its distance and whether it was a tapemark.
    void Pop(uint64_t& delta, bool& tapemark)
    {
        size_t begin = m_bytes.size() - 1;
        while (begin > 0 && (m_bytes[begin - 1] & 0x80))
            --begin;
        uint64_t v = 0;
        for (size_t i = m_bytes.size(); i-- > begin;)
            v = v << 7 | (m_bytes[i] & 0x7F);
        m_bytes.resize(begin);
        --m_nCount;
        delta = v >> 1;
        tapemark = (v & 1) != 0;
    }

private:
    std::vector<uint8_t> m_bytes;
    uint64_t m_nCount = 0;
};

void NoteDamage(ImageValidation& result, uint64_t offset, const std::string& what)
{
    if (result.damaged)
        return;  // the first place is the one to look at
    result.damaged = true;
    result.damageOffset = offset;
    result.damage = what;
}

} // namespace

bool ValidateImage(const std::string& path, std::optional<ImageFormat> format, ImageValidation& result,
                   std::string& error, const std::function<bool(uint64_t walked)>& progress)
{
    result = ImageValidation{};
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    struct stat st {};
    uint32_t code = ERROR_SUCCESS;
    if (!fd.valid())
        code = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    else if (::fstat(fd.get(), &st) != 0)
        code = ErrorFromErrno(errno);
    else if (!S_ISREG(st.st_mode))
        code = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_REGULAR_FILE;
    if (code) {
        error = FailureReason(code);
        return false;
    }
    result.imageSize = static_cast<uint64_t>(st.st_size);
    if (!format)
        format = DetectOpenImageFormat(fd.get(), result.imageSize, path, code);
    if (!format) {
        error = FailureReason(code);
        return false;
    }
    result.format = *format;
    ImageReaderPtr reader = MakeImageReader(*format, fd.get(), result.imageSize);
    if (!reader) {
        error = "no reader for the format";
        return false;
    }

    // Forwards.
    StartList starts;
    uint64_t last = 0;          // where the item before started (0 before the first)
    uint64_t nextProgress = kProgressEvery;
    bool dataAfterMark = false; // records since the last tapemark
    uint64_t end = 0;           // where the walk forwards stopped
    for (;;) {
        const ImageReader::Item item = reader->Peek();
        if (item.kind == ImageReader::Kind::EndOfData) {
            result.dataEnd = item.offset + item.size;
            result.bytesAfterEnd = result.imageSize - std::min(result.imageSize, result.dataEnd);
            end = item.offset;
            break;
        }
        if (item.kind == ImageReader::Kind::Damaged) {
            NoteDamage(result, item.offset, Text(item.error));
            result.dataEnd = item.offset;
            end = reader->Position();
            break;
        }
        if (uint32_t err = reader->Take(item, nullptr, 0)) {
            NoteDamage(result, item.offset, Text(err));
            result.dataEnd = item.offset;
            end = reader->Position();
            break;
        }
        const bool tapemark = item.kind == ImageReader::Kind::Tapemark;
        starts.Push(item.offset - last, tapemark);
        last = item.offset;
        if (tapemark) {
            ++result.tapemarks;
            ++result.files;
            dataAfterMark = false;
        } else {
            ++result.records;
            result.bytes += item.length;
            result.badRecords += item.bad ? 1 : 0;
            ++result.recordSizes[item.length];
            dataAfterMark = true;
        }
        if (progress && reader->Position() >= nextProgress) {
            nextProgress = reader->Position() + kProgressEvery;
            if (!progress(reader->Position())) {
                error = "stopped";
                return false;
            }
        }
    }
    if (dataAfterMark)
        ++result.files;
    result.gaps = reader->GapsPassed();

    // Backwards, from where the walk forwards stopped, over every item it passed.
    (void)end;
    uint64_t expected = last;
    nextProgress = kProgressEvery;
    uint64_t walkedBack = 0;
    while (starts.Count() > 0) {
        uint64_t delta = 0;
        bool tapemark = false;
        starts.Pop(delta, tapemark);
        const uint64_t from = reader->Position();
        const uint32_t stepped = reader->StepBack();
        const uint32_t wanted = tapemark ? ERROR_FILEMARK_DETECTED : ERROR_SUCCESS;
        char line[200];
        if (stepped != wanted) {
            if (stepped != ERROR_SUCCESS && stepped != ERROR_FILEMARK_DETECTED && stepped != ERROR_BEGINNING_OF_MEDIA)
                std::snprintf(line, sizeof line, "walking backwards, the image cannot be followed before byte %" PRIu64 ": %s",
                              from, Text(stepped).c_str());
            else
                std::snprintf(line, sizeof line,
                              "walking backwards, the %s that ends at byte %" PRIu64 " reads as %s",
                              tapemark ? "tapemark" : "record", from,
                              stepped == ERROR_FILEMARK_DETECTED ? "a tapemark"
                              : stepped == ERROR_SUCCESS         ? "a record"
                                                                 : "the beginning of the tape");
            NoteDamage(result, from, line);
            break;
        }
        if (reader->Position() != expected) {
            std::snprintf(line, sizeof line,
                          "walking backwards, an item starts at byte %" PRIu64 " where walking forwards one started at byte %" PRIu64,
                          reader->Position(), expected);
            NoteDamage(result, expected, line);
            break;
        }
        expected -= delta;
        walkedBack += from - reader->Position();
        if (progress && walkedBack >= nextProgress) {
            nextProgress = walkedBack + kProgressEvery;
            if (!progress(result.dataEnd + walkedBack)) {
                error = "stopped";
                return false;
            }
        }
    }
    if (starts.Count() == 0) {
        const uint64_t from = reader->Position();
        const uint32_t stepped = reader->StepBack();
        if (stepped != ERROR_BEGINNING_OF_MEDIA) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "walking backwards, something stands before byte %" PRIu64 " where walking forwards found nothing",
                          from);
            NoteDamage(result, from, line);
        }
    }
    return true;
}

std::string ValidationText(const std::string& path, const ImageValidation& r)
{
    std::string text;
    char line[256];
    std::snprintf(line, sizeof line, "%s: %s image, %" PRIu64 " bytes\n", path.c_str(),
                  std::string(ImageFormatTitle(r.format)).c_str(), r.imageSize);
    text += line;
    std::snprintf(line, sizeof line,
                  "files %" PRIu64 ", records %" PRIu64 ", bytes %" PRIu64 ", bad records %" PRIu64 ", tapemarks %" PRIu64
                  ", gaps %" PRIu64 "\n",
                  r.files, r.records, r.bytes, r.badRecords, r.tapemarks, r.gaps);
    text += line;
    // The record sizes, most frequent first; a long tail is counted, not listed.
    std::vector<std::pair<uint32_t, uint64_t>> sizes(r.recordSizes.begin(), r.recordSizes.end());
    std::stable_sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    constexpr size_t kListed = 20;
    text += "record sizes:";
    if (sizes.empty())
        text += " none";
    for (size_t i = 0; i < sizes.size() && i < kListed; ++i) {
        std::snprintf(line, sizeof line, "%s %u x %" PRIu64, i ? "," : "", sizes[i].first, sizes[i].second);
        text += line;
    }
    if (sizes.size() > kListed) {
        std::snprintf(line, sizeof line, ", and %zu other sizes", sizes.size() - kListed);
        text += line;
    }
    text += "\n";
    if (!r.damaged || r.dataEnd < r.damageOffset) {
        std::snprintf(line, sizeof line, "end of data at byte %" PRIu64 "; %" PRIu64 " bytes after it\n", r.dataEnd,
                      r.bytesAfterEnd);
        text += line;
    }
    if (r.damaged) {
        std::snprintf(line, sizeof line, "DAMAGED at byte %" PRIu64 ": ", r.damageOffset);
        text += line + r.damage + "\n";
    } else {
        text += "clean\n";
    }
    return text;
}
