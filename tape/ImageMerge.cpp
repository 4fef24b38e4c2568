// merge. One pass over all inputs at once: each record is read from every input (the first
// straight into its place in the image), the kept one chosen, and the image written as it
// goes under OUT.tmp; inputs that turn out not to fit together throw the temporary away, so
// the log's per-record lines are held until the merge is known to stand. Each input's own
// SHA-256 is taken on a thread of its own beside the merge.
#include "tape/ImageMerge.h"

#include "Version.h"
#include "platform/TimeText.h"
#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/Files.h"
#include "platform/ImageDrive.h"
#include "platform/ImageReader.h"
#include "platform/Sha256.h"
#include "platform/TapeDevice.h"
#include "tape/SessionReport.h"
#include "tape/TapeImageFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using Json = nlohmann::ordered_json;

namespace {

std::string Text(uint32_t error)
{
    std::string text = SystemMessage(error);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::string Number(uint64_t n)
{
    return std::to_string(n);
}

std::string FileNumber(uint64_t file)
{
    char text[24];
    std::snprintf(text, sizeof text, "%04llu", static_cast<unsigned long long>(file));
    return text;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The input file's SHA-256, read on a thread of its own through a descriptor of its own.
class InputHasher {
public:
    explicit InputHasher(const std::string& path)
    {
        m_fd = UniqueFd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
        if (m_fd.valid())
            m_thread = std::thread([this] { Run(); });
    }
    ~InputHasher()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    InputHasher(const InputHasher&) = delete;
    InputHasher& operator=(const InputHasher&) = delete;

    // Waits for the digest; "" when the file could not be read whole.
    std::string Finish()
    {
        if (m_thread.joinable())
            m_thread.join();
        return m_strDigest;
    }

private:
    void Run()
    {
        constexpr size_t kRead = 1u << 20;
        std::vector<char> buffer(kRead);
        Sha256 hash;
        for (;;) {
            if (m_bStop)
                return;
            const ssize_t n = RetryOnInterrupt([&] { return ::read(m_fd.get(), buffer.data(), buffer.size()); });
            if (n < 0)
                return;
            if (n == 0)
                break;
            if (!hash.Update(buffer.data(), static_cast<size_t>(n)))
                return;
        }
        m_strDigest = hash.Final();
    }

    UniqueFd m_fd;
    std::atomic<bool> m_bStop{false};
    std::string m_strDigest;
    std::thread m_thread;
};

struct OpenInput {
    UniqueFd fd;
    ImageReaderPtr reader;
    std::vector<char> data;  // the record just read (all inputs but the first)
};

bool OpenInputImage(const std::string& path, std::optional<ImageFormat> forced, OpenInput& input, MergeInput& info,
                    std::string& error)
{
    input.fd = UniqueFd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    uint32_t code = ERROR_SUCCESS;
    struct stat st {};
    if (!input.fd.valid())
        code = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
    else if (::fstat(input.fd.get(), &st) != 0)
        code = ErrorFromErrno(errno);
    else if (!S_ISREG(st.st_mode))
        code = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_REGULAR_FILE;
    std::optional<ImageFormat> format;
    if (!code) {
        info.size = static_cast<uint64_t>(st.st_size);
        format = forced ? forced : DetectOpenImageFormat(input.fd.get(), info.size, path, code);
    }
    if (format)
        input.reader = MakeImageReader(*format, input.fd.get(), info.size);
    if (!input.reader) {
        error = "the image '" + path + "' cannot be read: " + (code ? DescribeFailure(code, path) : "no reader for its format");
        return false;
    }
    info.path = path;
    info.format = *format;
    return true;
}

const char* KindText(ImageReader::Kind kind)
{
    switch (kind) {
    case ImageReader::Kind::Record: return "a record";
    case ImageReader::Kind::Tapemark: return "a tapemark";
    case ImageReader::Kind::EndOfData: return "the end of the data";
    default: return "damage";
    }
}

std::string PlaceText(const MergePlace& place)
{
    return "block " + Number(place.block) + " of file " + FileNumber(place.file);
}

std::string OffsetsText(const MergePlace& place)
{
    std::string text;
    for (size_t i = 0; i < place.offsets.size(); ++i)
        text += (i ? ", " : "") + Number(place.offsets[i]);
    return "bytes " + text;
}

// A side file under NAME.tmp, flushed and renamed: an error number on failure (no temporary left).
uint32_t WriteSideFile(const std::string& name, const std::string& text)
{
    const std::string temporary = name + ".tmp";
    uint32_t error = ERROR_SUCCESS;
    UniqueFd fd = CreateReplacingFile(temporary, error);
    if (!fd.valid())
        return error;
    errno = 0;
    if (!WriteAll(fd.get(), text))
        error = errno ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
    else if (::fsync(fd.get()) != 0)
        error = ErrorFromErrno(errno);
    if (int err = fd.Close(); err != 0 && !error)
        error = ErrorFromErrno(err);
    if (!error && ::rename(temporary.c_str(), name.c_str()) != 0)
        error = ErrorFromErrno(errno);
    if (error)
        ::unlink(temporary.c_str());
    return error;
}

std::string Dumped(const Json& value, int indent)
{
    std::string text = value.dump(indent, ' ', false, Json::error_handler_t::replace);
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\n')
            out += "  ";
    }
    return out;
}

// Indented, but each entry of a list (a bad record, a conflict, a run) on one line: the lists
// can be long, and a place reads best whole.
std::string ReportText(const Json& report)
{
    std::string text = "{";
    bool first = true;
    for (const auto& [key, value] : report.items()) {
        text += std::string(first ? "" : ",") + "\n  " + Json(key).dump() + ": ";
        first = false;
        if (value.is_array() && !value.empty() && value[0].is_object()) {
            text += "[";
            for (size_t i = 0; i < value.size(); ++i)
                text += std::string(i ? "," : "") + "\n    " + Dumped(value[i], -1);
            text += "\n  ]";
        } else {
            text += Dumped(value, value.is_object() ? 2 : -1);
        }
    }
    return text + "\n}\n";
}

// The walk itself; the caller has the inputs open and the image created.
class Merger {
public:
    Merger(std::vector<OpenInput>& inputs, TapeImageFile& image, uint32_t maxRecord,
           const std::function<bool()>& stopRequested, MergeResult& result)
        : m_inputs(inputs), m_image(image), m_nMaxRecord(maxRecord), m_stopRequested(stopRequested), m_result(result)
    {
    }

    bool Run()
    {
        std::vector<ImageReader::Item> items(m_inputs.size());
        for (;;) {
            if (m_stopRequested && m_stopRequested()) {
                m_result.stopped = true;
                m_result.error = "stopped by the user";
                return false;
            }
            for (size_t i = 0; i < m_inputs.size(); ++i)
                items[i] = m_inputs[i].reader->Peek();
            if (!SameKind(items))
                return false;
            switch (items[0].kind) {
            case ImageReader::Kind::EndOfData:
                return Written(m_image.PutEndOfMedium());
            case ImageReader::Kind::Tapemark:
                for (size_t i = 0; i < m_inputs.size(); ++i)
                    if (uint32_t error = m_inputs[i].reader->Take(items[i], nullptr, 0))
                        return Damaged(i, m_inputs[i].reader->Position(), error);
                if (!Written(m_image.PutTapemark()))
                    return false;
                ++m_nFile;
                m_nBlock = 0;
                m_result.files = m_nFile;
                break;
            default:
                if (!MergeRecord(items))
                    return false;
                ++m_nBlock;
                m_result.files = m_nFile + 1;  // data after the last tapemark are a file too
                break;
            }
        }
    }

private:
    MergePlace Place(const std::vector<ImageReader::Item>& items) const
    {
        MergePlace place{m_nFile, m_nBlock, {}};
        for (const ImageReader::Item& item : items)
            place.offsets.push_back(item.offset);
        return place;
    }

    bool Refuse(const std::string& why)
    {
        m_result.refused = true;
        m_result.error = why;
        return false;
    }

    bool Damaged(size_t input, uint64_t offset, uint32_t error)
    {
        return Refuse("'" + m_result.inputs[input].path + "' is damaged at byte " + Number(offset) + " (block " +
                      Number(m_nBlock) + " of file " + FileNumber(m_nFile) + "): " + Text(error));
    }

    bool Written(uint32_t error)
    {
        if (!error)
            return true;
        m_result.error = "writing the image failed: " + Text(error);
        return false;
    }

    bool SameKind(const std::vector<ImageReader::Item>& items)
    {
        for (size_t i = 0; i < items.size(); ++i)
            if (items[i].kind == ImageReader::Kind::Damaged)
                return Damaged(i, items[i].offset, items[i].error);
        bool same = true;
        for (const ImageReader::Item& item : items)
            same = same && item.kind == items[0].kind;
        if (same)
            return true;
        std::string why = "the inputs differ at block " + Number(m_nBlock) + " of file " + FileNumber(m_nFile) + ":";
        for (size_t i = 0; i < items.size(); ++i)
            why += std::string(i ? "," : "") + " '" + m_result.inputs[i].path + "' has " + KindText(items[i].kind) +
                   " at byte " + Number(items[i].offset);
        return Refuse(why);
    }

    void Note(MergeEvent event)
    {
        if (m_result.events.size() < MergeResult::kLogged)
            m_result.events.push_back(std::move(event));
        else
            ++m_result.eventsNotLogged;
    }

    void NoteSource(size_t input)
    {
        std::vector<MergeRun>& runs = m_result.runs;
        if (!runs.empty() && runs.back().input == input && runs.back().file == m_nFile &&
            runs.back().lastBlock + 1 == m_nBlock) {
            runs.back().lastBlock = m_nBlock;
        } else if (runs.size() < MergeResult::kListed) {
            runs.push_back({m_nFile, m_nBlock, m_nBlock, input});
        } else {
            ++m_result.runsNotListed;
        }
    }

    bool MergeRecord(const std::vector<ImageReader::Item>& items)
    {
        const size_t n = items.size();
        for (size_t i = 0; i < n; ++i)
            if (items[i].length > m_nMaxRecord)
                return Refuse("'" + m_result.inputs[i].path + "' has a record of " + Number(items[i].length) +
                              " bytes at byte " + Number(items[i].offset) + ", longer than the " +
                              Number(m_nMaxRecord) + " a merge into " +
                              std::string(ImageFormatTitle(m_image.Format())) + " takes");
        char* space = m_image.RecordSpace();
        if (!space)
            return Written(ERROR_WRITE_FAULT);
        // The first input's record goes straight to its place in the image; the others are
        // only compared with it, unless one of them is taken instead.
        for (size_t i = 0; i < n; ++i) {
            char* dest = space;
            if (i > 0) {
                if (m_inputs[i].data.size() < items[i].length)
                    m_inputs[i].data.resize(items[i].length);
                dest = m_inputs[i].data.data();
            }
            if (uint32_t error = m_inputs[i].reader->Take(items[i], dest, items[i].length))
                return Damaged(i, items[i].offset, error);
            if (items[i].bad)
                ++m_result.inputs[i].badRecords;
        }
        size_t kept = 0;
        while (kept < n && items[kept].bad)
            ++kept;
        const bool bad = kept == n;
        if (bad)
            kept = 0;
        const char* keptData = kept == 0 ? space : m_inputs[kept].data.data();
        const uint32_t length = items[kept].length;

        MergeEvent conflict{MergeEvent::Kind::Conflict, {}, kept, {}};
        for (size_t i = kept + 1; i < n && !bad; ++i)
            if (!items[i].bad &&
                (items[i].length != length || std::memcmp(m_inputs[i].data.data(), keptData, length) != 0))
                conflict.differing.push_back(i);
        const MergePlace place = Place(items);
        if (!conflict.differing.empty()) {
            ++m_result.conflicts;
            conflict.place = place;
            if (m_result.conflictList.size() < MergeResult::kListed)
                m_result.conflictList.push_back(conflict);
            Note(std::move(conflict));
        }
        if (kept > 0) {
            std::memcpy(space, keptData, length);
            ++m_result.replaced;
            Note({MergeEvent::Kind::Replaced, place, kept, {}});
        }

        const uint64_t offset = m_image.Size();
        bool leftOut = false;
        if (bad) {
            ++m_result.badAfter;
            if (!CanMarkBadRecords(m_image.Format())) {
                leftOut = length == 0;
                ++(leftOut ? m_result.badLeftOut : m_result.badWrittenAsGood);
                Note({leftOut ? MergeEvent::Kind::LeftOut : MergeEvent::Kind::WrittenAsRecord, place, 0, {}});
            }
            if (m_result.badRecords.size() < MergeResult::kListed) {
                MergeBadRecord entry{place, offset, leftOut, {}};
                for (size_t i = 0; i < n; ++i)
                    entry.badIn.push_back(i);
                m_result.badRecords.push_back(std::move(entry));
            }
        }
        NoteSource(kept);
        ++m_result.records;
        m_result.bytes += length;
        if (leftOut)
            return true;
        return Written(m_image.CommitRecord(length, bad));
    }

    std::vector<OpenInput>& m_inputs;
    TapeImageFile& m_image;
    uint32_t m_nMaxRecord;
    const std::function<bool()>& m_stopRequested;
    MergeResult& m_result;
    uint64_t m_nFile = 0;
    uint64_t m_nBlock = 0;
};

// Writing OUT or one of its side files over an input would destroy what is being merged.
bool OutputIsAnInput(const MergeOptions& options, std::string& error)
{
    for (const std::string& input : options.inputs)
        for (const char* suffix : {"", ".tmp", ".sha256", ".sha256.tmp", ".json", ".json.tmp"})
            if (IsSameFile(options.output + suffix, input)) {
                error = "the output '" + options.output + suffix + "' is the input '" + input + "'";
                return true;
            }
    struct stat st {};
    if (::stat(options.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "the output '" + options.output + "' is a folder";
        return true;
    }
    return false;
}

} // namespace

bool MergeImages(const MergeOptions& options, MergeResult& result)
{
    result = MergeResult{};
    result.output = options.output;
    result.format = options.format;
    result.compression = options.compression;
    if (OutputIsAnInput(options, result.error)) {
        result.refused = true;
        return false;
    }
    std::vector<OpenInput> inputs(options.inputs.size());
    result.inputs.resize(options.inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i)
        if (!OpenInputImage(options.inputs[i], options.inputFormat, inputs[i], result.inputs[i], result.error))
            return false;
    std::vector<std::unique_ptr<InputHasher>> hashers;
    for (const std::string& path : options.inputs)
        hashers.push_back(std::make_unique<InputHasher>(path));

    // A tape's blocks are at most kMaxTapeBlockSize; the image's chunks only touch the pages used.
    const uint32_t maxRecord = std::min(kMaxTapeBlockSize, MaxImageRecord(options.format));
    TapeImageFile image;
    if (uint32_t error = image.Create(options.output, maxRecord, options.format, options.compression)) {
        result.error = "the image '" + options.output + "' cannot be created: " + DescribeFailure(error, image.TemporaryPath());
        return false;
    }
    Merger merger(inputs, image, maxRecord, options.stopRequested, result);
    if (!merger.Run()) {
        image.Discard();
        return false;
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
        result.inputs[i].sha256 = hashers[i]->Finish();
        if (result.inputs[i].sha256.empty()) {
            image.Discard();
            result.error = "the input '" + options.inputs[i] + "' could not be read whole for its SHA-256";
            return false;
        }
    }
    if (uint32_t error = image.Commit()) {
        result.error = "writing the image '" + options.output + "' failed: " + DescribeFailure(error, options.output);
        return false;
    }
    result.written = true;
    result.outputSize = image.Size();
    result.outputSha256 = image.Sha256();

    // The image stands; its side files say what it is.
    const std::string sums = options.output + ".sha256";
    if (uint32_t error = WriteSideFile(sums, ChecksumLine(result.outputSha256, BaseName(options.output)))) {
        result.error = "the checksum file could not be written: " + DescribeFailure(error, sums) + ": '" + sums + "'";
        return false;
    }
    const std::string report = options.output + ".json";
    if (uint32_t error = WriteSideFile(report, MergeReportText(result))) {
        result.error = "the report could not be written: " + DescribeFailure(error, report) + ": '" + report + "'";
        return false;
    }
    return true;
}

std::string MergeLogText(const MergeResult& result)
{
    std::string text;
    for (size_t i = 0; i < result.inputs.size(); ++i)
        text += "Input " + Number(i) + ": '" + result.inputs[i].path + "' (" +
                std::string(ImageFormatTitle(result.inputs[i].format)) + ", " + Number(result.inputs[i].size) +
                " bytes)\n";
    if (!result.written)
        return text;  // what a merge that did not stand would have done says nothing
    for (const MergeEvent& event : result.events) {
        const std::string where = PlaceText(event.place);
        switch (event.kind) {
        case MergeEvent::Kind::Replaced:
            text += "Bad " + where + " in input 0 replaced by the good read of input " + Number(event.from) + " (" +
                    OffsetsText(event.place) + ")\n";
            break;
        case MergeEvent::Kind::Conflict: {
            std::string others;
            for (size_t i = 0; i < event.differing.size(); ++i)
                others += (i ? ", " : "") + Number(event.differing[i]);
            text += "Conflict at " + where + ": input " + others + " read it differently from input " +
                    Number(event.from) + ", whose read is kept (" + OffsetsText(event.place) + ")\n";
            break;
        }
        case MergeEvent::Kind::WrittenAsRecord:
            text += "Bad " + where + " written as an ordinary record: the format has no mark for a bad block\n";
            break;
        case MergeEvent::Kind::LeftOut:
            text += "Bad " + where +
                    " left out of the image: no bytes were read, and the format has no mark for a bad block\n";
            break;
        }
    }
    if (result.eventsNotLogged > 0)
        text += "... and " + Number(result.eventsNotLogged) + " more such lines (the report lists the places)\n";
    text += "Merged " + Number(result.records) + " records in " + Number(result.files) + " files, " +
            Number(result.bytes) + " bytes\n";
    text += "Replaced (bad in input 0, good in another): " + Number(result.replaced) + "\n";
    text += "Still bad: " + Number(result.badAfter) + "\n";
    text += "Conflicts: " + Number(result.conflicts) + "\n";
    text += "Image file '" + result.output + "' (" + std::string(ImageFormatTitle(result.format)) +
            ") written: " + Number(result.outputSize) + " bytes, SHA-256 " + result.outputSha256 + "\n";
    return text;
}

std::string MergeReportText(const MergeResult& result)
{
    const auto offsets = [](const MergePlace& place) {
        Json list = Json::array();
        for (uint64_t offset : place.offsets)
            list.push_back(offset);
        return list;
    };
    Json report;
    report["format"] = "kellovaran-merge-report";
    report["format_version"] = 1;
    report["program"] = {{"name", "kellovaran"}, {"version", kKellovaranVersion}};
    report["created"] = UtcNowText();
    const bool clean = result.badAfter == 0 && result.conflicts == 0;
    report["result"] = {{"status", clean ? "done" : "failed"}, {"error", nullptr}};
    if (!clean)
        report["result"]["error"] = Number(result.badAfter) + " records still bad, " + Number(result.conflicts) +
                                    " conflicts";
    Json inputs = Json::array();
    Json badBefore = Json::array();
    for (const MergeInput& input : result.inputs) {
        inputs.push_back({{"path", input.path},
                          {"format", ImageFormatName(input.format)},
                          {"size", input.size},
                          {"sha256", input.sha256}});
        badBefore.push_back(input.badRecords);
    }
    report["inputs"] = inputs;
    report["output"] = {{"file", BaseName(result.output)},
                        {"path", result.output},
                        {"format", ImageFormatName(result.format)},
                        {"compression", nullptr},
                        {"bad_records_marked", CanMarkBadRecords(result.format)},
                        {"size", result.outputSize},
                        {"sha256", result.outputSha256}};
    if (result.format == ImageFormat::Het)
        report["output"]["compression"] = ImageCompressionName(result.compression);
    report["totals"] = {{"files", result.files},
                        {"records", result.records},
                        {"bytes", result.bytes},
                        {"bad_before", badBefore},
                        {"bad_after", result.badAfter},
                        {"replaced", result.replaced},
                        {"conflicts", result.conflicts},
                        {"bad_written_as_records", result.badWrittenAsGood},
                        {"bad_left_out", result.badLeftOut}};
    Json bad = Json::array();
    for (const MergeBadRecord& entry : result.badRecords)
        bad.push_back({{"file", entry.place.file},
                       {"block", entry.place.block},
                       {"output_offset", entry.leftOut ? Json(nullptr) : Json(entry.outputOffset)},
                       {"input_offsets", offsets(entry.place)},
                       {"bad_in", entry.badIn}});
    report["bad_records"] = bad;
    report["bad_records_not_listed"] = result.badAfter - result.badRecords.size();
    Json conflicts = Json::array();
    for (const MergeEvent& conflict : result.conflictList)
        conflicts.push_back({{"file", conflict.place.file},
                             {"block", conflict.place.block},
                             {"input_offsets", offsets(conflict.place)},
                             {"kept_input", conflict.from},
                             {"differing_inputs", conflict.differing}});
    report["conflicts"] = conflicts;
    report["conflicts_not_listed"] = result.conflicts - result.conflictList.size();
    Json runs = Json::array();
    for (const MergeRun& run : result.runs)
        runs.push_back({{"file", run.file}, {"first_block", run.firstBlock}, {"last_block", run.lastBlock},
                        {"input", run.input}});
    report["sources"] = runs;
    report["sources_not_listed"] = result.runsNotListed;
    return ReportText(report);
}
