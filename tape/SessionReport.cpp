#include "tape/SessionReport.h"

#include "Version.h"
#include "platform/TimeText.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "tape/BagIt.h"
#include "tape/SessionFolder.h"
#include "tape/TapeMap.h"
#include "tape/TapeJob.h"

#include <magic.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Json = nlohmann::ordered_json;

namespace {

// The log's texts end in line breaks; the report's do not.
std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates, nothing past
// U+10FFFF): what a JSON reader takes as it stands.
bool IsUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        int more = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c < 0x80)
            more = 0;
        else if (c >= 0xC2 && c <= 0xDF)
            more = 1;
        else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            if (c == 0xE0)
                low = 0xA0;
            if (c == 0xED)
                high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            if (c == 0xF0)
                low = 0x90;
            if (c == 0xF4)
                high = 0x8F;
        } else
            return false;
        if (end - p <= more)
            return more == 0;
        for (int i = 1; i <= more; ++i) {
            const unsigned char next = p[i];
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
                return false;
        }
        p += more + 1;
    }
    return true;
}

// A name from the command line or the tape: as text, and, when it is not UTF-8 (which JSON
// text cannot carry), also its exact bytes in hex under key + "_hex".
void PutName(Json& object, const std::string& key, const std::string& name)
{
    object[key] = name;
    if (IsUtf8(name))
        return;
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : name) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    object[key + "_hex"] = hex;
}

Json OrNull(const std::string& text)
{
    return text.empty() ? Json(nullptr) : Json(text);
}

// Made the way disk files are (a link or file at the name is replaced, never written
// through), with the folders on its path when they are missing.
UniqueFd CreateTemporary(const std::string& name, uint32_t& error)
{
    UniqueFd fd = CreateReplacingFile(name, error);
    if (!fd.valid() && error == ERROR_PATH_NOT_FOUND && CreateDirectoryPath(name))
        fd = CreateReplacingFile(name, error);
    return fd;
}

// On disk under its final name, or an error number (and no temporary left).
uint32_t Commit(UniqueFd file, bool written, const std::string& temporary, const std::string& name)
{
    uint32_t error = ERROR_SUCCESS;
    if (!file.valid())
        error = ERROR_INVALID_HANDLE;
    else if (!written)
        error = errno != 0 ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
    else if (RetryOnInterrupt([&] { return ::fsync(file.get()); }) != 0)
        error = ErrorFromErrno(errno);
    if (int err = file.Close(); err != 0 && error == ERROR_SUCCESS)
        error = ErrorFromErrno(err);
    if (error == ERROR_SUCCESS && ::rename(temporary.c_str(), name.c_str()) != 0)
        error = ErrorFromErrno(errno);
    if (error != ERROR_SUCCESS)
        ::unlink(temporary.c_str());
    return error;
}

// A value dumped as the report dumps it, its lines after the first indented by indent more.
std::string Dumped(const Json& value, size_t indent)
{
    std::string text = value.dump(2, ' ', false, Json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size() + 64);
    for (char c : text) {
        out += c;
        if (c == '\n')
            out.append(indent, ' ');
    }
    return out;
}

// The name in a line of a checksum file, with the tool's escapes undone; false for a line
// that is not one.
bool ChecksumLineName(const std::string& line, std::string& name)
{
    const bool escaped = !line.empty() && line[0] == '\\';
    const size_t gap = line.find("  ");
    if (gap == std::string::npos)
        return false;
    std::string raw = line.substr(gap + 2);
    if (!raw.empty() && raw.back() == '\n')
        raw.pop_back();
    if (!escaped) {
        name = raw;
        return true;
    }
    name.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            name += raw[i + 1] == 'n' ? '\n' : raw[i + 1];
            ++i;
        } else {
            name += raw[i];
        }
    }
    return true;
}

const char* EndName(FileEndKind end)
{
    switch (end) {
    case FileEndKind::Filemark: return "filemark";
    case FileEndKind::EndOfMedia: return "end_of_media";
    case FileEndKind::NoMoreData: return "no_more_data";
    case FileEndKind::UserBreak: return "user_break";
    case FileEndKind::EmptyRead: return "empty_read";
    case FileEndKind::Error: break;
    }
    return "error";
}

// A fact as the report gives it: key with the value or null, and key + "_reason" with why
// it is null (null when there is a value).
template <class T, class ToJson>
void PutFact(Json& object, const std::string& key, const Fact<T>& fact, ToJson toJson)
{
    object[key] = fact.value ? toJson(*fact.value) : Json(nullptr);
    object[key + "_reason"] = fact.value ? Json(nullptr) : Json(fact.reason.empty() ? "not read" : fact.reason);
}

template <class T>
void PutFact(Json& object, const std::string& key, const Fact<T>& fact)
{
    PutFact(object, key, fact, [](const T& value) { return Json(value); });
}

Json CountersJson(const Counters& counters)
{
    Json object = Json::object();
    for (const auto& [name, value] : counters)
        object[name] = value;
    return object;
}

// Counters read at the start and at the end of the session, and (for the drive's own
// counters) what the session added to them.
Json BeforeAfterJson(const Fact<Counters>& before, const Fact<Counters>& after, bool difference)
{
    Json object;
    PutFact(object, "before", before, CountersJson);
    PutFact(object, "after", after, CountersJson);
    if (difference) {
        Fact<Counters> added;
        if (before.value && after.value)
            added.Set(CounterDifference(*before.value, *after.value));
        else
            added.Fail(before.value ? "the counters after the session are not known"
                                    : "the counters before the session are not known");
        PutFact(object, "difference", added, CountersJson);
    }
    return object;
}

Json DeviceJson(int32_t index, const DriveFacts& facts, const std::optional<ImageFacts>& imageFacts)
{
    Json device;
    device["index"] = index;
    device["name"] = DeviceNamespace::DeviceName(index);
    const std::vector<std::string>& images = DeviceNamespace::TapeImages();
    if (!images.empty()) {
        device["kind"] = "tape_image";
        device["vendor"] = nullptr;
        device["product"] = nullptr;
        if (index >= 0 && static_cast<size_t>(index) < images.size()) {
            const std::string& path = images[index];
            char resolved[PATH_MAX];
            PutName(device, "image_path", ::realpath(path.c_str(), resolved) ? std::string(resolved) : path);
            // The size the checksum was taken of, when it was taken.
            struct stat st{};
            if (imageFacts && imageFacts->size.value)
                device["image_size"] = *imageFacts->size.value;
            else
                device["image_size"] = ::stat(path.c_str(), &st) == 0 ? Json(static_cast<uint64_t>(st.st_size)) : Json(nullptr);
        } else {
            device["image_path"] = nullptr;
            device["image_size"] = nullptr;
        }
        if (imageFacts) {
            device["image_size_reason"] = device["image_size"].is_null() ? Json(imageFacts->size.reason) : Json(nullptr);
            PutFact(device, "image_format", imageFacts->format);
            PutFact(device, "image_sha256", imageFacts->sha256);
        }
        return device;
    }
    device["kind"] = "drive";
    PutFact(device, "vendor", facts.vendor);
    PutFact(device, "product", facts.product);
    device["image_path"] = nullptr;
    device["image_size"] = nullptr;
    PutFact(device, "revision", facts.revision);
    PutFact(device, "serial_number", facts.serialNumber);
    PutFact(device, "block_limits", facts.blockLimits, [](const BlockLimits& limits) {
        return Json{{"maximum", limits.maximum}, {"minimum", limits.minimum}};
    });
    PutFact(device, "density_code", facts.densityCode);
    PutFact(device, "medium_type", facts.mediumType);
    PutFact(device, "write_protected", facts.writeProtected);
    device["read_errors"] = BeforeAfterJson(facts.readErrorsBefore, facts.readErrorsAfter, true);
    PutFact(device, "tape_alert_flags", facts.tapeAlertFlags);
    device["st_stats"] = BeforeAfterJson(facts.driverStatsBefore, facts.driverStatsAfter, false);
    return device;
}

} // namespace

// Two readings of the magic database, loaded once per session: the description
// ("POSIX tar archive") and the MIME type. Null cookies when the database cannot be had.
struct SessionReport::Magic {
    magic_t description = Open(MAGIC_NONE);
    magic_t mime = Open(MAGIC_MIME_TYPE);
    ~Magic()
    {
        if (description)
            magic_close(description);
        if (mime)
            magic_close(mime);
    }
    static magic_t Open(int flags)
    {
        magic_t cookie = magic_open(flags);
        if (cookie && magic_load(cookie, nullptr) != 0) {
            magic_close(cookie);
            cookie = nullptr;
        }
        return cookie;
    }
    static std::optional<std::string> Read(magic_t cookie, const std::string& head)
    {
        if (!cookie)
            return std::nullopt;
        const char* text = magic_buffer(cookie, head.data(), head.size());
        if (!text)
            return std::nullopt;
        return std::string(text);
    }
};

void FileReport::CountRecord(uint32_t size)
{
    if (blocks == 0 || size < smallest)
        smallest = size;
    if (blocks == 0 || size > largest)
        largest = size;
    ++blocks;
    bytes += size;
    for (RecordSizeCount& entry : sizes) {
        if (entry.size == size) {
            ++entry.count;
            return;
        }
    }
    if (sizes.size() < kMaxRecordSizes)
        sizes.push_back({size, 1});
    else
        ++otherSizes;
}

std::string ChecksumLine(const std::string& hex, const std::string& name)
{
    if (name.find_first_of("\\\n") == std::string::npos)
        return hex + "  " + name + "\n";
    std::string escaped;
    for (char c : name) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return "\\" + hex + "  " + escaped + "\n";
}

SessionReport::SessionReport(std::string directory, std::string base, std::string selection, int32_t tapeIndex)
    : m_strDirectory(std::move(directory)),
      m_strBase(std::move(base)),
      m_strSideBase(m_strBase),
      m_strSelection(std::move(selection)),
      m_nTapeIndex(tapeIndex),
      m_strStarted(UtcNowText()),
      m_pMagic(std::make_unique<Magic>())
{
    const char* const notRead = "not read: the session ended before the device was open";
    FailDriveFacts(m_driveFacts, FactsMoment::SessionStart, notRead);
    FailDriveFacts(m_driveFacts, FactsMoment::SessionEnd, notRead);
}

void SessionReport::ReadDeviceFactsAtStart(const std::function<bool()>& stop)
{
    m_bStartFactsRead = true;
    if (DeviceNamespace::IsTapeImage(m_nTapeIndex))
        m_imageFacts = DeviceNamespace::ReadTapeImageFacts(m_nTapeIndex, stop);
    else if (DeviceNamespace::TapeImages().empty())
        DeviceNamespace::ReadDriveFacts(m_nTapeIndex, FactsMoment::SessionStart, m_driveFacts);
    FailDriveFacts(m_driveFacts, FactsMoment::SessionEnd, "not read: the session has not ended");
}

void SessionReport::ReadDeviceFactsAtEnd()
{
    if (m_bStartFactsRead && !m_imageFacts && DeviceNamespace::TapeImages().empty())
        DeviceNamespace::ReadDriveFacts(m_nTapeIndex, FactsMoment::SessionEnd, m_driveFacts);
}

SessionReport::~SessionReport()
{
    if (m_checksumFile.valid()) {  // never finished: leave no temporary behind
        m_checksumFile.Close();
        ::unlink((ChecksumPath() + ".tmp").c_str());
    }
}

std::string SessionReport::ChecksumPath() const
{
    return m_strDirectory + "/" + m_strSideBase + ".sha256";
}

std::string SessionReport::ReportPath() const
{
    return m_strDirectory + "/" + m_strSideBase + ".json";
}

std::string SessionReport::MapPath() const
{
    return m_strDirectory + "/" + m_strSideBase + ".map.json";
}

std::string SessionReport::MapPicturePath() const
{
    return m_strDirectory + "/" + m_strSideBase + ".map.svg";
}

// The map's two files, each under a temporary name until it is whole on the disk.
bool SessionReport::WriteMap()
{
    if (!m_pMap)
        return true;
    const TapeMapSnapshot map = m_pMap->Snapshot();
    const std::pair<std::string, std::string> files[] = {{MapPath(), MapJson(map)},
                                                         {MapPicturePath(), MapSvg(map, LayOutMap(map, 64, 60))}};
    for (const auto& [name, text] : files) {
        const std::string temporary = name + ".tmp";
        uint32_t error = ERROR_SUCCESS;
        UniqueFd fd = CreateTemporary(temporary, error);
        if (fd.valid()) {
            errno = 0;
            const bool written = WriteAll(fd.get(), text);
            error = Commit(std::move(fd), written, temporary, name);
        }
        if (error != ERROR_SUCCESS) {
            if (m_strFailure.empty())
                m_strFailure = "the tape map: " + DescribeFailure(error, name) + ": '" + name + "'";
            return false;
        }
    }
    return true;
}

std::string SessionReport::KeptReportPath(const std::string& started) const
{
    std::string stamp = started;
    for (char& c : stamp)
        if (c == ':' || c == '/')
            c = '-';
    return m_strDirectory + "/" + m_strSideBase + "." + stamp + ".json";
}

void SessionReport::SetBlockMode(bool variable, uint32_t bufferSize, void* readBuffer, size_t capacity)
{
    m_bHaveBlockMode = true;
    m_bVariableBlock = variable;
    m_nBufferSize = bufferSize;
    if (readBuffer)
        m_pHasher = std::make_unique<BlockHasher>(readBuffer, std::max<size_t>(capacity, bufferSize), 4,
                                                  m_pBag != nullptr);
}

void SessionReport::MakeBag(BagWriter* bag, std::string sideBase)
{
    m_pBag = bag;
    m_strSideBase = std::move(sideBase);
}

void SessionReport::SetImage(ImageReport image)
{
    m_image = std::move(image);
}

void* SessionReport::BlockBuffer()
{
    return m_pHasher->NextBuffer();
}

void SessionReport::ChunkWritten(uint64_t bytes)
{
    if (bytes > 0 && m_pHasher)
        m_pHasher->Submit(static_cast<uint32_t>(bytes));
}

void SessionReport::BeginFile(int32_t number)
{
    m_file = FileReport();
    m_file.number = number;
    m_bInFile = true;
}

void SessionReport::SetFileNameSuffix(const std::string& suffix)
{
    if (m_bInFile)
        m_file.nameSuffix = suffix;
}

void SessionReport::BlockWritten(const void* data, uint32_t size)
{
    if (!m_bInFile)
        return;
    FileReport& file = m_file;
    if (file.head.size() < FileReport::kHeadSize)
        file.head.append(static_cast<const char*>(data), std::min<size_t>(size, FileReport::kHeadSize - file.head.size()));
    file.CountRecord(size);
}

void SessionReport::EndFile(FileEndKind end, uint32_t code, const std::string& text)
{
    if (!m_bInFile)
        return;
    m_file.end = end;
    m_file.errorCode = code;
    m_file.errorText = Trimmed(text);
}

void SessionReport::FinishFile(bool kept, bool whole, const std::string& cut)
{
    if (!m_bInFile)
        return;
    m_bInFile = false;
    FileReport& file = m_file;
    file.whole = whole;
    file.cut = whole ? std::string() : cut;
    // The digest is taken whatever becomes of the file: the next file starts afresh.
    std::string digest = m_pHasher ? m_pHasher->FinishFile() : std::string();
    if (kept) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%04d", file.number);
        if (!m_bScan)
            file.diskFile = m_strBase + digits + file.nameSuffix + (whole ? "" : ".part");
        while (!file.diskFile.empty() && file.diskFile.front() == '/')
            file.diskFile.erase(0, 1);
        file.sha256 = digest;
        if (!file.head.empty()) {
            file.contentType = Magic::Read(m_pMagic->description, file.head);
            file.mimeType = Magic::Read(m_pMagic->mime, file.head);
        }
        if (whole && !m_bScan) {
            AppendChecksumLine(file);
            if (m_pBag)
                m_pBag->AddPayload(file.diskFile, file.bytes, file.sha256, m_pHasher ? m_pHasher->LastSha512() : "");
            if (!file.nameSuffix.empty())
                m_writtenNames.insert(file.diskFile);
            else if (!m_written.empty() && m_written.back().second + 1 == file.number)
                m_written.back().second = file.number;
            else
                m_written.push_back({file.number, file.number});
        }
    }
    file.head.clear();
    file.head.shrink_to_fit();
    SpoolFileEntry(file);
}

// The temporary checksum file, made with the first line it gets.
bool SessionReport::OpenChecksumTemporary()
{
    if (!m_checksumFile.valid()) {
        uint32_t error = ERROR_SUCCESS;
        m_checksumFile = CreateTemporary(ChecksumPath() + ".tmp", error);
    }
    return m_checksumFile.valid();
}

void SessionReport::AppendChecksumLine(const FileReport& file)
{
    if (file.sha256.empty()) {  // a kept file without its line would pass for verified
        m_bWriteFailed = true;
        return;
    }
    if (!OpenChecksumTemporary()) {
        m_bWriteFailed = true;
        return;
    }
    // sha256sum -c opens the names from where it runs: the folder, so the name is the
    // base's (with its folder part) and the number.
    if (!WriteAll(m_checksumFile.get(), ChecksumLine(file.sha256, file.diskFile)))
        m_bWriteFailed = true;
}

namespace {

Json FileEntry(const FileReport& file)
{
    Json entry;
    entry["number"] = file.number;
    if (file.diskFile.empty())
        entry["disk_file"] = nullptr;
    else
        PutName(entry, "disk_file", file.diskFile);
    entry["whole"] = file.whole;
    entry["cut"] = OrNull(file.cut);
    entry["blocks"] = file.blocks;
    entry["bytes"] = file.bytes;
    entry["smallest_record"] = file.blocks ? Json(file.smallest) : Json(nullptr);
    entry["largest_record"] = file.blocks ? Json(file.largest) : Json(nullptr);
    std::vector<RecordSizeCount> sizes = file.sizes;
    std::sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) { return a.size < b.size; });
    Json counts = Json::array();
    for (const RecordSizeCount& entrySize : sizes)
        counts.push_back({{"size", entrySize.size}, {"count", entrySize.count}});
    entry["record_sizes"] = counts;
    entry["other_record_sizes"] = file.otherSizes;
    entry["bad_blocks"] = file.badBlocks;
    entry["rest_of_file_skipped"] = file.restSkipped;
    bool error = file.end == FileEndKind::Error;
    entry["end"] = {{"condition", EndName(file.end)},
                    {"code", error ? Json(file.errorCode) : Json(nullptr)},
                    {"text", error ? OrNull(file.errorText) : Json(nullptr)}};
    entry["sha256"] = OrNull(file.sha256);
    entry["content_type"] = file.contentType ? Json(*file.contentType) : Json(nullptr);
    entry["mime_type"] = file.mimeType ? Json(*file.mimeType) : Json(nullptr);
    return entry;
}

// An unnamed file for the report's spool: in the report's folder when it can be made there
// (the disk the files go to), else in the system's temporary folder.
UniqueFd OpenSpool(const std::string& folder)
{
    int fd = RetryOnInterrupt(
        [&] { return ::open(folder.empty() ? "/" : folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    if (fd < 0)
        fd = RetryOnInterrupt([&] { return ::open(P_tmpdir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    return UniqueFd(fd);
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void SessionReport::SpoolFileEntry(const FileReport& file)
{
    if (m_bSpoolFailed)
        return;
    if (!m_spool.valid()) {
        m_spool = OpenSpool(FolderOf(ReportPath()));
        if (!m_spool.valid()) {
            m_bSpoolFailed = true;
            m_bWriteFailed = true;
            return;
        }
    }
    std::string text = (m_nFileEntries ? ",\n    " : "\n    ") + Dumped(FileEntry(file), 4);
    if (!WriteAll(m_spool.get(), text)) {
        m_bSpoolFailed = true;
        m_bWriteFailed = true;
        return;
    }
    ++m_nFileEntries;
}

void SessionReport::NoteError(const std::string& text)
{
    if (m_strError.empty())
        m_strError = Trimmed(text);
}

void SessionReport::NoteBadBlock(int32_t file, uint64_t block, uint32_t code, const std::string& text,
                                 int64_t imageOffset, uint32_t retries)
{
    ++m_nBadBlocks;
    if (m_bInFile && m_file.number == file)
        ++m_file.badBlocks;
    if (m_badBlocks.size() < kMaxListedBadBlocks)
        m_badBlocks.push_back({file, block, code, text, imageOffset, retries});
}

void SessionReport::NoteRestOfFileSkipped()
{
    if (m_bInFile)
        m_file.restSkipped = true;
}

// The report is written in three parts: the fields before the files, the files' entries
// (the spool, copied a chunk at a time) and the fields after them.
std::string SessionReport::ReportText(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes) const
{
    std::string text = ReportHead(status, filesRead, blocks, bytes);
    CopySpool([&](const char* data, size_t size) {
        text.append(data, size);
        return true;
    });
    return text + ReportTail();
}

bool SessionReport::CopySpool(const std::function<bool(const char*, size_t)>& put) const
{
    if (!m_spool.valid() || m_nFileEntries == 0)
        return true;
    std::vector<char> chunk(1 << 16);
    for (off_t at = 0;;) {
        ssize_t n = RetryOnInterrupt([&] { return ::pread(m_spool.get(), chunk.data(), chunk.size(), at); });
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!put(chunk.data(), static_cast<size_t>(n)))
            return false;
        at += n;
    }
}

std::string SessionReport::ReportHead(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes) const
{
    Json report;
    report["format"] = m_image ? "kellovaran-capture-report" : m_bScan ? "kellovaran-scan-report" : "kellovaran-load-report";
    report["format_version"] = 1;
    report["program"] = {{"name", "kellovaran"}, {"version", kKellovaranVersion}};
    report["device"] = DeviceJson(m_nTapeIndex, m_driveFacts, m_imageFacts);
    report["block_mode"] = m_bHaveBlockMode ? Json(m_bVariableBlock ? "variable" : "fixed") : Json(nullptr);
    report["buffer_size"] = m_bHaveBlockMode ? Json(m_nBufferSize) : Json(nullptr);
    PutName(report, "directory", m_strDirectory);
    PutName(report, "base", m_strSideBase);
    report["selection"] = m_strSelection;
    report["started"] = m_strStarted;
    report["ended"] = m_strEnded.empty() ? UtcNowText() : m_strEnded;
    report["result"] = {{"status", status}, {"error", OrNull(m_strError)}};
    report["totals"] = {{"files", filesRead}, {"blocks", blocks}, {"bytes", bytes}};
    std::string checksums = m_strSideBase + ".sha256";
    while (!checksums.empty() && checksums.front() == '/')
        checksums.erase(0, 1);
    if (m_bScan)
        report["checksum_file"] = nullptr;  // a scan writes none
    else
        PutName(report, "checksum_file", checksums);
    // Names on a tape come from anywhere: bytes that are not UTF-8 are replaced, not fatal.
    std::string text = Dumped(report, 0);
    text.resize(text.size() - 2);  // "\n}"
    return text + ",\n  \"files\": [";
}

std::string SessionReport::ReportTail() const
{
    std::string text = m_nFileEntries > 0 ? "\n  ]" : "]";
    text += ",\n  \"bad_blocks\": ";
    Json badBlocks = Json::array();
    for (const BadBlockEntry& bad : m_badBlocks) {
        Json entry = {{"file", bad.file}, {"block", bad.block}, {"code", bad.code}, {"text", bad.text},
                      {"retries", bad.retries}};
        if (m_image)  // a capture's: where the record is in the image, null when left out
            entry["image_offset"] = bad.imageOffset >= 0 ? Json(bad.imageOffset) : Json(nullptr);
        badBlocks.push_back(std::move(entry));
    }
    text += Dumped(badBlocks, 2);
    text += ",\n  \"bad_blocks_not_listed\": " + std::to_string(m_nBadBlocks - m_badBlocks.size());
    if (m_image) {
        const bool written = m_image->written;
        Json image;
        PutName(image, "file", m_image->file);
        image["size"] = written ? Json(m_image->size) : Json(nullptr);
        image["sha256"] = written ? OrNull(m_image->sha256) : Json(nullptr);
        image["bad_records"] = m_image->badRecords;
        image["format"] = m_image->format;
        image["compression"] = OrNull(m_image->compression);
        image["bad_records_marked"] = m_image->badRecordsMarked;
        if (!m_image->retryOf.empty()) {
            PutName(image, "retry_of", m_image->retryOf);
            image["bad_records_before"] = m_image->badRecordsBefore;
            image["read_whole_now"] = m_image->recovered;
            Json retried = Json::array();
            for (const RetriedRecord& r : m_image->retried)
                retried.push_back({{"file", r.file},
                                   {"block", r.block},
                                   {"retry_of_offset", r.oldOffset},
                                   {"image_offset", r.offset >= 0 ? Json(r.offset) : Json(nullptr)},
                                   {"retries", r.retries},
                                   {"read_whole", r.whole}});
            image["retried"] = std::move(retried);
        }
        text += ",\n  \"image\": " + Dumped(image, 2);
    } else {
        text += LabelledFilesText();
    }
    text += "\n}\n";
    return text;
}

// The lines of the checksum file already there whose files this session did not write
// anew: those files are still on disk as that session left them, and their lines are true.
bool SessionReport::CarryOverChecksumLines()
{
    std::FILE* old = std::fopen(ChecksumPath().c_str(), "re");
    if (!old)
        return true;
    std::string own = m_strBase;
    while (!own.empty() && own.front() == '/')
        own.erase(0, 1);
    bool ok = true;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = ::getline(&line, &capacity, old)) > 0) {
        std::string text(line, static_cast<size_t>(length));
        std::string name;
        if (!ChecksumLineName(text, name))
            continue;
        if (m_writtenNames.count(name))
            continue;  // written anew under its label name
        if (name.compare(0, own.size(), own) == 0) {
            const int64_t number = DataFileNumber(name.substr(own.size()));
            if (number >= 0) {
                auto after = std::upper_bound(m_written.begin(), m_written.end(), number,
                                              [](int64_t n, const auto& range) { return n < range.first; });
                if (after != m_written.begin() && std::prev(after)->second >= number)
                    continue;  // written anew: its new line stands
            }
        }
        if (text.back() != '\n')
            text += '\n';
        if (!OpenChecksumTemporary() || !WriteAll(m_checksumFile.get(), text)) {
            ok = false;
            break;
        }
    }
    std::free(line);
    std::fclose(old);
    return ok;
}

// An earlier session's report is a record of its own: it goes under a name of its own
// (its start time) rather than being replaced. False when it could not be kept.
bool SessionReport::KeepEarlierReport()
{
    struct stat st {};
    if (::lstat(ReportPath().c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    std::string started;
    if (std::FILE* old = std::fopen(ReportPath().c_str(), "re")) {
        Json earlier = Json::parse(old, nullptr, false);
        std::fclose(old);
        if (earlier.is_object() && earlier.contains("started") && earlier["started"].is_string())
            started = earlier["started"].get<std::string>();
    }
    if (started.empty() || started.find_first_not_of("0123456789-T:Z") != std::string::npos) {
        std::tm parts{};
        gmtime_r(&st.st_mtime, &parts);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
        started = text;
    }
    const std::string kept = KeptReportPath(started);
    for (int n = 0; n < 100; ++n) {
        const std::string name = n == 0 ? kept : kept.substr(0, kept.size() - 5) + "-" + std::to_string(n) + ".json";
        uint32_t error = Files().Rename(ReportPath(), name, false);
        if (error == ERROR_SUCCESS)
            return true;
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) {
            m_strFailure = "the earlier report could not be kept: " + DescribeFailure(error, name) + ": '" + name + "'";
            return false;
        }
    }
    m_strFailure = "the earlier report could not be kept: no free name beside '" + kept + "'";
    return false;
}

bool SessionReport::Finish(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes)
{
    m_strEnded = UtcNowText();
    m_pHasher.reset();
    // A session that never reached a tape file changed nothing in the folder: the files
    // there, and the checksums and report of the session that wrote them, stay as they are.
    if (m_nFileEntries == 0 && !m_image)
        return true;
    // Only for a report that is written: many drives clear the TapeAlert flags they report.
    ReadDeviceFactsAtEnd();

    bool ok = !m_bWriteFailed;
    if (m_bWriteFailed)
        m_strFailure = "the checksum file or the report could not be written in full";
    const std::string checksumTemporary = ChecksumPath() + ".tmp";
    uint32_t checksumError = ERROR_SUCCESS;
    if (m_image) {
        // A capture's checksum file names its image, and only an image that is there: an
        // earlier image under the same name keeps its own.
        if (m_image->written) {
            UniqueFd sums = CreateTemporary(checksumTemporary, checksumError);
            bool written = sums.valid() && WriteAll(sums.get(), ChecksumLine(m_image->sha256, m_image->file));
            if (sums.valid())
                checksumError = Commit(std::move(sums), written, checksumTemporary, ChecksumPath());
        }
    } else if (!m_bScan) {
        if (!CarryOverChecksumLines())
            checksumError = errno != 0 ? ErrorFromErrno(errno) : ERROR_WRITE_FAULT;
        if (!m_checksumFile.valid() && checksumError == ERROR_SUCCESS)  // no line at all: the list is empty, and says so
            m_checksumFile = CreateTemporary(checksumTemporary, checksumError);
        if (m_checksumFile.valid())
            checksumError = Commit(std::move(m_checksumFile), checksumError == ERROR_SUCCESS, checksumTemporary,
                                   ChecksumPath());
    }
    if (checksumError != ERROR_SUCCESS) {
        ok = false;
        m_strFailure = "the checksum file: " + DescribeFailure(checksumError, ChecksumPath()) + ": '" +
                       ChecksumPath() + "'";
    }
    // "done" says the checksums are there to check the files with.
    if (!ok && std::string(status) == "done")
        status = "failed";
    if (!ok)
        NoteError("Couldn't write the checksum file: " + m_strFailure);

    if (!KeepEarlierReport())
        return false;
    const std::string reportTemporary = ReportPath() + ".tmp";
    uint32_t reportError = ERROR_SUCCESS;
    UniqueFd report = CreateTemporary(reportTemporary, reportError);
    if (report.valid()) {
        errno = 0;
        const int fd = report.get();
        bool written = WriteAll(fd, ReportHead(status, filesRead, blocks, bytes)) &&
                       CopySpool([fd](const char* data, size_t size) { return WriteAll(fd, std::string(data, size)); }) &&
                       WriteAll(fd, ReportTail());
        reportError = Commit(std::move(report), written, reportTemporary, ReportPath());
    }
    if (reportError != ERROR_SUCCESS) {
        ok = false;
        if (m_strFailure.empty() || checksumError == ERROR_SUCCESS)
            m_strFailure = "the report: " + DescribeFailure(reportError, ReportPath()) + ": '" + ReportPath() + "'";
    }

    if (!WriteMap())
        ok = false;

    // The new names must reach the disk like the files' own.
    const std::string folder = FolderOf(ChecksumPath());
    UniqueFd dir(RetryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (dir.valid() && ::fsync(dir.get()) != 0) {
        ok = false;
        if (m_strFailure.empty())
            m_strFailure = "the folder: " + DescribeFailure(ErrorFromErrno(errno), folder) + ": '" + folder + "'";
    }
    return ok;
}

// Standard tape labels: what they said of each labelled data file, after the files.
namespace {

Json NumberOrNull(int64_t number)
{
    return number < 0 ? Json(nullptr) : Json(number);
}

Json LabelledFileEntry(const LabelledFile& file)
{
    Json entry;
    entry["standard"] = file.standard == LabelStandard::Ibm ? "ibm" : "ansi";
    entry["header_file"] = file.headerFile;
    entry["data_file"] = file.dataRead ? Json(file.dataFile) : Json(nullptr);
    entry["trailer_file"] = NumberOrNull(file.trailerFile);
    if (file.diskFile.empty())
        entry["disk_file"] = nullptr;
    else
        PutName(entry, "disk_file", file.diskFile);
    entry["volume_serial"] = OrNull(file.volumeSerial);
    entry["file_identifier"] = file.fileIdentifier;
    entry["file_sequence_number"] = NumberOrNull(file.sequence);
    entry["creation_date"] = OrNull(file.creationDate);
    entry["record_format"] = OrNull(file.recordFormat);
    entry["block_length"] = NumberOrNull(file.blockLength);
    entry["record_length"] = NumberOrNull(file.recordLength);
    entry["blocks_read"] = file.dataRead ? Json(file.blocksRead) : Json(nullptr);
    entry["trailer_block_count"] = NumberOrNull(file.trailerBlockCount);
    entry["warning"] = OrNull(file.warning);
    return entry;
}

} // namespace

void SessionReport::NoteLabelledFile(const LabelledFile& file)
{
    if (m_labelled.size() < kMaxListedBadBlocks)
        m_labelled.push_back(file);
    else
        ++m_nLabelledNotListed;
}

std::string SessionReport::LabelledFilesText() const
{
    Json list = Json::array();
    for (const LabelledFile& file : m_labelled)
        list.push_back(LabelledFileEntry(file));
    return ",\n  \"labelled_files\": " + Dumped(list, 2) +
           ",\n  \"labelled_files_not_listed\": " + std::to_string(m_nLabelledNotListed);
}
