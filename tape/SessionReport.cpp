#include "tape/SessionReport.h"

#include "Version.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/linux/ScsiDevices.h"
#include "tape/TapeJob.h"

#include <magic.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Json = nlohmann::ordered_json;

namespace {

std::string UtcNow()
{
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

// The log's texts end in line breaks; the report's do not.
std::string Trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

Json OrNull(const std::string& text)
{
    return text.empty() ? Json(nullptr) : Json(text);
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = RetryOnInterrupt([&] { return ::write(fd, text.data() + done, text.size() - done); });
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

UniqueFd CreateTemporary(const std::string& name)
{
    int fd = RetryOnInterrupt([&] { return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
    if (fd < 0 && errno == ENOENT && CreateDirectoryPath(name))
        fd = RetryOnInterrupt([&] { return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
    return UniqueFd(fd);
}

// On disk under its final name, or false (and no temporary left).
bool Commit(UniqueFd file, bool written, const std::string& temporary, const std::string& name)
{
    bool ok = written && file.valid() && ::fsync(file.get()) == 0;
    ok = file.Close() == 0 && ok;
    if (ok && ::rename(temporary.c_str(), name.c_str()) == 0)
        return true;
    ::unlink(temporary.c_str());
    return false;
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

Json DeviceJson(int32_t index)
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
            device["image_path"] = ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
            struct stat st{};
            device["image_size"] = ::stat(path.c_str(), &st) == 0 ? Json(static_cast<uint64_t>(st.st_size)) : Json(nullptr);
        } else {
            device["image_path"] = nullptr;
            device["image_size"] = nullptr;
        }
        return device;
    }
    // The drive scan lists the drives of this same list, in this order: position k is TAPEk.
    device["kind"] = "drive";
    std::vector<ScsiDevice> drives = EnumerateLinuxTapeDrives();
    bool known = index >= 0 && static_cast<size_t>(index) < drives.size();
    device["vendor"] = known ? OrNull(drives[index].vendor) : Json(nullptr);
    device["product"] = known ? OrNull(drives[index].model) : Json(nullptr);
    device["image_path"] = nullptr;
    device["image_size"] = nullptr;
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
      m_strSelection(std::move(selection)),
      m_nTapeIndex(tapeIndex),
      m_strStarted(UtcNow()),
      m_pMagic(std::make_unique<Magic>())
{
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
    return m_strDirectory + "/" + m_strBase + ".sha256";
}

std::string SessionReport::ReportPath() const
{
    return m_strDirectory + "/" + m_strBase + ".json";
}

void SessionReport::SetBlockMode(bool variable, uint32_t bufferSize, void* readBuffer)
{
    m_bHaveBlockMode = true;
    m_bVariableBlock = variable;
    m_nBufferSize = bufferSize;
    if (readBuffer)
        m_pHasher = std::make_unique<BlockHasher>(readBuffer, bufferSize);
}

void SessionReport::SetImage(ImageReport image)
{
    m_image = std::move(image);
}

void* SessionReport::BlockBuffer()
{
    return m_pHasher->NextBuffer();
}

void SessionReport::BeginFile(int32_t number)
{
    m_files.emplace_back();
    m_files.back().number = number;
    m_bInFile = true;
}

void SessionReport::BlockWritten(const void* data, uint32_t size)
{
    if (!m_bInFile)
        return;
    FileReport& file = m_files.back();
    if (file.head.size() < FileReport::kHeadSize)
        file.head.append(static_cast<const char*>(data), std::min<size_t>(size, FileReport::kHeadSize - file.head.size()));
    file.CountRecord(size);
    if (size > 0 && m_pHasher)
        m_pHasher->Submit(size);
}

void SessionReport::EndFile(FileEndKind end, uint32_t code, const std::string& text)
{
    if (!m_bInFile)
        return;
    FileReport& file = m_files.back();
    file.end = end;
    file.errorCode = code;
    file.errorText = Trimmed(text);
}

void SessionReport::FinishFile(bool kept)
{
    if (!m_bInFile)
        return;
    m_bInFile = false;
    FileReport& file = m_files.back();
    // The digest is taken whatever becomes of the file: the next file starts afresh.
    std::string digest = m_pHasher ? m_pHasher->FinishFile() : std::string();
    if (!kept) {
        file.head.clear();
        return;
    }
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", file.number);
    file.diskFile = m_strBase + digits;
    file.sha256 = digest;
    if (!file.head.empty()) {
        file.contentType = Magic::Read(m_pMagic->description, file.head);
        file.mimeType = Magic::Read(m_pMagic->mime, file.head);
    }
    file.head.clear();
    file.head.shrink_to_fit();
    AppendChecksumLine(file);
}

void SessionReport::AppendChecksumLine(const FileReport& file)
{
    if (file.sha256.empty()) {  // a kept file without its line would pass for verified
        m_bWriteFailed = true;
        return;
    }
    if (!m_checksumFile.valid()) {
        m_checksumFile = CreateTemporary(ChecksumPath() + ".tmp");
        if (!m_checksumFile.valid()) {
            m_bWriteFailed = true;
            return;
        }
    }
    // sha256sum -c opens the names from where it runs: the folder, so the name is the
    // base's (with its folder part) and the number.
    std::string name = file.diskFile;
    while (!name.empty() && name.front() == '/')
        name.erase(0, 1);
    if (!WriteAll(m_checksumFile.get(), ChecksumLine(file.sha256, name)))
        m_bWriteFailed = true;
}

void SessionReport::NoteError(const std::string& text)
{
    if (m_strError.empty())
        m_strError = Trimmed(text);
}

void SessionReport::NoteBadBlock(int32_t file, uint64_t block, uint32_t code, const std::string& text)
{
    m_badBlocks.push_back({file, block, code, text});
}

std::string SessionReport::ReportText(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes) const
{
    Json report;
    report["format"] = m_image ? "kellovaran-capture-report" : "kellovaran-load-report";
    report["format_version"] = 1;
    report["program"] = {{"name", "kellovaran"}, {"version", kKellovaranVersion}};
    report["device"] = DeviceJson(m_nTapeIndex);
    report["block_mode"] = m_bHaveBlockMode ? Json(m_bVariableBlock ? "variable" : "fixed") : Json(nullptr);
    report["buffer_size"] = m_bHaveBlockMode ? Json(m_nBufferSize) : Json(nullptr);
    report["directory"] = m_strDirectory;
    report["base"] = m_strBase;
    report["selection"] = m_strSelection;
    report["started"] = m_strStarted;
    report["ended"] = m_strEnded.empty() ? UtcNow() : m_strEnded;
    report["result"] = {{"status", status}, {"error", OrNull(m_strError)}};
    report["totals"] = {{"files", filesRead}, {"blocks", blocks}, {"bytes", bytes}};
    std::string checksums = m_strBase + ".sha256";
    while (!checksums.empty() && checksums.front() == '/')
        checksums.erase(0, 1);
    report["checksum_file"] = checksums;
    Json files = Json::array();
    for (const FileReport& file : m_files) {
        Json entry;
        entry["number"] = file.number;
        entry["disk_file"] = OrNull(file.diskFile);
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
        bool error = file.end == FileEndKind::Error;
        entry["end"] = {{"condition", EndName(file.end)},
                        {"code", error ? Json(file.errorCode) : Json(nullptr)},
                        {"text", error ? OrNull(file.errorText) : Json(nullptr)}};
        entry["sha256"] = OrNull(file.sha256);
        entry["content_type"] = file.contentType ? Json(*file.contentType) : Json(nullptr);
        entry["mime_type"] = file.mimeType ? Json(*file.mimeType) : Json(nullptr);
        files.push_back(std::move(entry));
    }
    report["files"] = std::move(files);
    Json badBlocks = Json::array();
    for (const BadBlockEntry& bad : m_badBlocks)
        badBlocks.push_back({{"file", bad.file}, {"block", bad.block}, {"code", bad.code}, {"text", bad.text}});
    report["bad_blocks"] = std::move(badBlocks);
    if (m_image) {
        const bool written = m_image->written;
        report["image"] = {{"file", m_image->file},
                           {"size", written ? Json(m_image->size) : Json(nullptr)},
                           {"sha256", written ? OrNull(m_image->sha256) : Json(nullptr)},
                           {"bad_records", m_image->badRecords}};
    }
    // Names on a tape come from anywhere: bytes that are not UTF-8 are replaced, not fatal.
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool SessionReport::Finish(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes)
{
    m_strEnded = UtcNow();
    m_pHasher.reset();
    // A session that never reached a tape file changed nothing in the folder: the files
    // there, and the checksums and report of the session that wrote them, stay as they are.
    if (m_files.empty() && !m_image)
        return true;

    bool ok = !m_bWriteFailed;
    const std::string checksumTemporary = ChecksumPath() + ".tmp";
    if (m_image) {
        // A capture's checksum file names its image, and only an image that is there: an
        // earlier image under the same name keeps its own.
        if (m_image->written) {
            UniqueFd sums = CreateTemporary(checksumTemporary);
            bool written = sums.valid() && WriteAll(sums.get(), ChecksumLine(m_image->sha256, m_image->file));
            ok = Commit(std::move(sums), written, checksumTemporary, ChecksumPath()) && ok;
        }
    } else {
        if (!m_checksumFile.valid())  // no file kept: the list is empty, and says so
            m_checksumFile = CreateTemporary(checksumTemporary);
        ok = Commit(std::move(m_checksumFile), true, checksumTemporary, ChecksumPath()) && ok;
    }

    const std::string reportTemporary = ReportPath() + ".tmp";
    UniqueFd report = CreateTemporary(reportTemporary);
    bool written = report.valid() && WriteAll(report.get(), ReportText(status, filesRead, blocks, bytes));
    ok = Commit(std::move(report), written, reportTemporary, ReportPath()) && ok;

    // The new names must reach the disk like the files' own.
    std::string folder = ChecksumPath();
    folder = folder.substr(0, folder.rfind('/'));
    int dir = RetryOnInterrupt([&] { return ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (dir >= 0) {
        UniqueFd dirFd(dir);
        ok = ::fsync(dir) == 0 && ok;
    }
    return ok;
}
