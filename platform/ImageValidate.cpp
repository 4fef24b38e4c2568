// validate. Forwards, each item is kept as its start's distance from the one before, its
// length and flags, run-length coded in LEB128 bytes (a tape is mostly runs of one block
// size: a few bytes per run, at worst about five per item). Backwards, each step must land
// on those starts in reverse, and what Peek then finds there must be what the walk forwards
// found, so a reader whose way back goes wrong (a link, a trailing length, what it
// remembered) shows where.
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

// What the walk forwards met, as the walk backwards checks it.
struct Passed {
    uint64_t delta = 0;  // its start less the start of the item before (0 for the first)
    uint32_t length = 0;
    bool tapemark = false;
    bool bad = false;

    bool operator==(const Passed&) const = default;
};

// The items passed, in runs of equal ones, as LEB128 numbers readable from either end: a
// number's last byte has the top bit clear, the bytes before it set. A run is three numbers
// (delta with the flags, length, count); the run being added to is kept aside.
class PassedList {
public:
    void Push(const Passed& item)
    {
        if (m_nRun > 0 && item == m_run) {
            ++m_nRun;
        } else {
            Flush();
            m_run = item;
            m_nRun = 1;
        }
        ++m_nCount;
    }

    uint64_t Count() const { return m_nCount; }

    // Takes the last item off.
    Passed Pop()
    {
        if (m_nRun == 0) {
            m_nRun = PopNumber();
            m_run.length = static_cast<uint32_t>(PopNumber());
            const uint64_t v = PopNumber();
            m_run.delta = v >> 2;
            m_run.bad = (v & 2) != 0;
            m_run.tapemark = (v & 1) != 0;
        }
        --m_nRun;
        --m_nCount;
        return m_run;
    }

private:
    void Flush()
    {
        if (m_nRun == 0)
            return;
        PushNumber(m_run.delta << 2 | (m_run.bad ? 2 : 0) | (m_run.tapemark ? 1 : 0));
        PushNumber(m_run.length);
        PushNumber(m_nRun);
        m_nRun = 0;
    }

    void PushNumber(uint64_t v)
    {
        while (v >= 0x80) {
            m_bytes.push_back(static_cast<uint8_t>(v | 0x80));
            v >>= 7;
        }
        m_bytes.push_back(static_cast<uint8_t>(v));
    }

    uint64_t PopNumber()
    {
        size_t begin = m_bytes.size() - 1;
        while (begin > 0 && (m_bytes[begin - 1] & 0x80))
            --begin;
        uint64_t v = 0;
        for (size_t i = m_bytes.size(); i-- > begin;)
            v = v << 7 | (m_bytes[i] & 0x7F);
        m_bytes.resize(begin);
        return v;
    }

    std::vector<uint8_t> m_bytes;
    Passed m_run;
    uint64_t m_nRun = 0;  // items in m_run not yet in m_bytes
    uint64_t m_nCount = 0;
};

std::string Describe(const ImageReader::Item& item)
{
    char text[160];
    switch (item.kind) {
    case ImageReader::Kind::Tapemark:
        return "a tapemark";
    case ImageReader::Kind::EndOfData:
        return "the end of the data";
    case ImageReader::Kind::Damaged:
        return "damage (" + Text(item.error) + ")";
    case ImageReader::Kind::Record:
        break;
    }
    std::snprintf(text, sizeof text, "a %srecord of %u bytes", item.bad ? "bad " : "", item.length);
    return text;
}

std::string Describe(const Passed& passed)
{
    ImageReader::Item item;
    item.kind = passed.tapemark ? ImageReader::Kind::Tapemark : ImageReader::Kind::Record;
    item.length = passed.length;
    item.bad = passed.bad;
    return Describe(item);
}

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
    PassedList passed;
    uint64_t last = 0;           // where the item before started (0 before the first)
    uint64_t nextProgress = kProgressEvery;
    bool dataAfterMark = false;  // records since the last tapemark
    uint64_t* lastSize = nullptr;
    uint32_t lastLength = 0;
    for (;;) {
        const ImageReader::Item item = reader->Peek();
        if (item.kind == ImageReader::Kind::EndOfData) {
            result.dataEnd = item.offset + item.size;
            result.bytesAfterEnd = result.imageSize - std::min(result.imageSize, result.dataEnd);
            break;
        }
        if (item.kind == ImageReader::Kind::Damaged) {
            NoteDamage(result, item.offset, Text(item.error));
            result.dataEnd = item.offset;
            break;
        }
        if (uint32_t err = reader->Take(item, nullptr, 0)) {
            NoteDamage(result, item.offset, Text(err));
            result.dataEnd = item.offset;
            break;
        }
        const bool tapemark = item.kind == ImageReader::Kind::Tapemark;
        passed.Push({item.offset - last, tapemark ? 0 : item.length, tapemark, item.bad});
        last = item.offset;
        if (tapemark) {
            ++result.tapemarks;
            ++result.files;
            dataAfterMark = false;
        } else {
            ++result.records;
            result.bytes += item.length;
            result.badRecords += item.bad ? 1 : 0;
            if (!lastSize || lastLength != item.length) {  // most records are the size of the one before
                lastSize = &result.recordSizes[item.length];
                lastLength = item.length;
            }
            ++*lastSize;
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
    // Halfway: said even for a small image, so that the caller sees the walk and can stop it.
    if (progress && !progress(reader->Position())) {
        error = "stopped";
        return false;
    }

    // Backwards, from where the walk forwards stopped, over every item it passed.
    uint64_t expected = last;  // where the item about to be stepped over started
    nextProgress = kProgressEvery;
    uint64_t walkedBack = 0;
    char line[300];
    while (passed.Count() > 0) {
        const Passed want = passed.Pop();
        const uint64_t from = reader->Position();
        const uint32_t stepped = reader->StepBack();
        if (stepped != ERROR_SUCCESS && stepped != ERROR_FILEMARK_DETECTED) {
            if (stepped == ERROR_BEGINNING_OF_MEDIA)
                std::snprintf(line, sizeof line,
                              "walking backwards, the beginning of the tape comes at byte %" PRIu64
                              " but forwards %s started at byte %" PRIu64,
                              reader->Position(), Describe(want).c_str(), expected);
            else
                std::snprintf(line, sizeof line, "walking backwards, the image cannot be followed before byte %" PRIu64 ": %s",
                              from, Text(stepped).c_str());
            NoteDamage(result, stepped == ERROR_BEGINNING_OF_MEDIA ? expected : from, line);
            break;
        }
        const uint64_t at = reader->Position();
        const ImageReader::Item item = reader->Peek();
        const bool same = at == expected && item.offset == expected &&
                          (stepped == ERROR_FILEMARK_DETECTED) == want.tapemark &&
                          (item.kind == ImageReader::Kind::Tapemark) == want.tapemark &&
                          (want.tapemark || (item.kind == ImageReader::Kind::Record && item.length == want.length &&
                                             item.bad == want.bad));
        if (!same) {
            ImageReader::Item stepItem = item;
            if (item.kind != ImageReader::Kind::Damaged && item.kind != ImageReader::Kind::EndOfData &&
                (stepped == ERROR_FILEMARK_DETECTED) != (item.kind == ImageReader::Kind::Tapemark))
                stepItem.kind = stepped == ERROR_FILEMARK_DETECTED ? ImageReader::Kind::Tapemark : ImageReader::Kind::Record;
            std::snprintf(line, sizeof line,
                          "walking backwards, the item before byte %" PRIu64 " reads as %s at byte %" PRIu64
                          " but forwards as %s at byte %" PRIu64,
                          from, Describe(stepItem).c_str(), at, Describe(want).c_str(), expected);
            NoteDamage(result, std::min(at, expected), line);
            break;
        }
        expected -= want.delta;
        walkedBack += from - at;
        if (progress && walkedBack >= nextProgress) {
            nextProgress = walkedBack + kProgressEvery;
            if (!progress(result.dataEnd + walkedBack)) {
                error = "stopped";
                return false;
            }
        }
    }
    if (passed.Count() == 0) {
        const uint64_t from = reader->Position();
        const uint32_t stepped = reader->StepBack();
        if (stepped != ERROR_BEGINNING_OF_MEDIA) {
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
