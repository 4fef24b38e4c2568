#include "tape/BagIt.h"

#include "platform/TimeText.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Sha256.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kBagitText = "BagIt-Version: 1.0\nTag-File-Character-Encoding: UTF-8\n";
const char* const kManifest256 = "manifest-sha256.txt";
const char* const kManifest512 = "manifest-sha512.txt";

std::string Temporary(const std::string& path)
{
    return path + ".tmp";
}

// Both digests of a file as it is on disk; false when it cannot be read.
bool DigestFile(const std::string& path, std::string& sha256, std::string& sha512)
{
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
    if (!fd.valid())
        return false;
    Sha256 hash256;
    Sha512 hash512;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        ssize_t n = RetryOnInterrupt([&] { return ::read(fd.get(), chunk.data(), chunk.size()); });
        if (n < 0)
            return false;
        if (n == 0)
            break;
        hash256.Update(chunk.data(), static_cast<size_t>(n));
        hash512.Update(chunk.data(), static_cast<size_t>(n));
    }
    sha256 = hash256.Final();
    sha512 = hash512.Final();
    return !sha256.empty() && !sha512.empty();
}

// fsync, close, rename into place; false with errno's reason in failure.
bool CommitFile(UniqueFd fd, const std::string& temporary, const std::string& name, std::string& failure)
{
    uint32_t error = ERROR_SUCCESS;
    if (!fd.valid())
        error = ERROR_INVALID_HANDLE;
    else if (RetryOnInterrupt([&] { return ::fsync(fd.get()); }) != 0)
        error = ErrorFromErrno(errno);
    if (int err = fd.Close(); err != 0 && error == ERROR_SUCCESS)
        error = ErrorFromErrno(err);
    if (error == ERROR_SUCCESS && ::rename(temporary.c_str(), name.c_str()) != 0)
        error = ErrorFromErrno(errno);
    if (error == ERROR_SUCCESS)
        return true;
    ::unlink(temporary.c_str());
    failure = DescribeFailure(error, name) + ": '" + name + "'";
    return false;
}

// A whole small file under a temporary name, then renamed into place.
bool WriteTagFile(const std::string& name, const std::string& text, std::string& failure)
{
    uint32_t error = ERROR_SUCCESS;
    UniqueFd fd = CreateReplacingFile(Temporary(name), error);
    if (!fd.valid()) {
        failure = DescribeFailure(error, Temporary(name)) + ": '" + Temporary(name) + "'";
        return false;
    }
    if (!WriteAll(fd.get(), text)) {
        failure = DescribeFailure(ErrorFromErrno(errno), name) + ": '" + name + "'";
        fd.Close();
        ::unlink(Temporary(name).c_str());
        return false;
    }
    return CommitFile(std::move(fd), Temporary(name), name, failure);
}

} // namespace

std::string BagFolderRefusal(const std::string& folder)
{
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0)
        return errno == ENOENT ? std::string() : DescribeFailure(ErrorFromErrno(errno), folder) + ": '" + folder + "'";
    if (!S_ISDIR(st.st_mode))
        return "not a folder: '" + folder + "'";
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return DescribeFailure(ErrorFromErrno(errno), folder) + ": '" + folder + "'";
    std::string taken;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            taken = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    if (taken.empty())
        return {};
    return "a bag is made only in an empty or new folder, and this one holds '" + taken + "': '" + folder + "'";
}

std::string BagManifestLine(const std::string& hex, const std::string& name)
{
    std::string escaped;
    for (char c : name) {
        if (c == '%')
            escaped += "%25";
        else if (c == '\n')
            escaped += "%0A";
        else if (c == '\r')
            escaped += "%0D";
        else
            escaped += c;
    }
    return hex + "  " + escaped + "\n";
}

std::string BagInfoValue(const std::string& text)
{
    std::string value = text;
    for (char& c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return value;
}

std::string BagInfoLine(const std::string& label, const std::string& value)
{
    // Lines of up to 79 characters, as the format recommends: a long value goes on in lines
    // that begin with blanks, broken at its blanks (a word longer than a line stays whole).
    constexpr size_t kWidth = 79;
    std::string text = label + ":";
    size_t lineStart = 0;
    const std::string clean = BagInfoValue(value);
    size_t at = 0;
    while (at < clean.size()) {
        size_t end = clean.find(' ', at);
        if (end == std::string::npos)
            end = clean.size();
        const std::string word = clean.substr(at, end - at);
        if (!word.empty()) {
            if (text.size() - lineStart + 1 + word.size() > kWidth && text.size() - lineStart > 2) {
                text += "\n ";
                lineStart = text.size() - 1;
            }
            text += " " + word;
        }
        at = end + 1;
    }
    return text + "\n";
}

BagWriter::BagWriter(std::string folder, std::string logName)
    : m_strFolder(std::move(folder)), m_strLogName(std::move(logName))
{
}

BagWriter::~BagWriter()
{
    if (!m_bDone)
        Abandon();
}

void BagWriter::AppendLog(const std::string& text)
{
    if (m_bLogFailed || m_bDone)
        return;
    if (!m_log.valid()) {
        m_strPendingLog += text;
        return;
    }
    if (!WriteAll(m_log.get(), text))
        m_bLogFailed = true;
}

void BagWriter::StartLog()
{
    if (LogStarted())
        return;
    uint32_t error = ERROR_SUCCESS;
    m_log = CreateReplacingFile(Path(m_strLogName), error);
    if (!m_log.valid() || !WriteAll(m_log.get(), m_strPendingLog))
        m_bLogFailed = true;
    m_strPendingLog.clear();
    m_strPendingLog.shrink_to_fit();
}

void BagWriter::AddPayload(const std::string& name, uint64_t size, const std::string& sha256,
                           const std::string& sha512)
{
    ++m_nFiles;
    m_nBytes += size;
    if (m_bManifestFailed)
        return;
    if (sha256.empty() || sha512.empty()) {  // a file without its lines would make a bag that lies
        m_bManifestFailed = true;
        return;
    }
    uint32_t error = ERROR_SUCCESS;
    if (!m_manifest256.valid())
        m_manifest256 = CreateReplacingFile(Temporary(Path(kManifest256)), error);
    if (!m_manifest512.valid())
        m_manifest512 = CreateReplacingFile(Temporary(Path(kManifest512)), error);
    if (!m_manifest256.valid() || !m_manifest512.valid() ||
        !WriteAll(m_manifest256.get(), BagManifestLine(sha256, name)) ||
        !WriteAll(m_manifest512.get(), BagManifestLine(sha512, name)))
        m_bManifestFailed = true;
}

// The payload folder must hold what the manifests list and nothing more: the same number of
// regular files and the same bytes (the folder was empty and locked, so no other writer
// could have put files there; this catches a file left over by our own failure).
bool BagWriter::CheckPayload(std::string& failure) const
{
    uint64_t files = 0, bytes = 0;
    std::vector<std::string> folders = {Path(kBagPayloadFolder)};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        DIR* dir = ::opendir(folder.c_str());
        if (!dir) {
            // Every tape file was empty: the bag still has its payload folder, empty.
            if (errno == ENOENT && folder == Path(kBagPayloadFolder) && m_nFiles == 0 &&
                ::mkdir(folder.c_str(), 0777) == 0)
                return true;
            failure = DescribeFailure(ErrorFromErrno(errno), folder) + ": '" + folder + "'";
            return false;
        }
        while (dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                continue;
            const std::string path = folder + "/" + entry->d_name;
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))) {
                failure = "the payload holds what is not a regular file: '" + path + "'";
                ::closedir(dir);
                return false;
            }
            if (S_ISDIR(st.st_mode)) {
                folders.push_back(path);
            } else {
                ++files;
                bytes += static_cast<uint64_t>(st.st_size);
            }
        }
        ::closedir(dir);
    }
    if (files != m_nFiles || bytes != m_nBytes) {
        failure = "the payload folder holds " + std::to_string(files) + " files of " + std::to_string(bytes) +
                  " bytes, the copy wrote " + std::to_string(m_nFiles) + " of " + std::to_string(m_nBytes);
        return false;
    }
    return true;
}

bool BagWriter::Seal(const std::vector<std::pair<std::string, std::string>>& info,
                     const std::vector<std::string>& tagFiles, std::string& failure)
{
    m_bDone = true;  // no more log lines: its digests are taken now
    const bool hadLog = m_log.valid();
    if (hadLog) {
        if (RetryOnInterrupt([&] { return ::fsync(m_log.get()); }) != 0)
            m_bLogFailed = true;
        if (m_log.Close() != 0)
            m_bLogFailed = true;
    }
    if (m_bLogFailed || !hadLog) {
        failure = "the session log could not be written: '" + Path(m_strLogName) + "'";
        Abandon();
        return false;
    }
    if (m_bManifestFailed) {
        failure = "the manifests could not be written in full";
        Abandon();
        return false;
    }
    if (!CheckPayload(failure)) {
        Abandon();
        return false;
    }
    // An empty payload still has its (empty) manifests.
    uint32_t error = ERROR_SUCCESS;
    for (UniqueFd* fd : {&m_manifest256, &m_manifest512})
        if (!fd->valid())
            *fd = CreateReplacingFile(Temporary(Path(fd == &m_manifest256 ? kManifest256 : kManifest512)), error);
    if (!CommitFile(std::move(m_manifest256), Temporary(Path(kManifest256)), Path(kManifest256), failure) ||
        !CommitFile(std::move(m_manifest512), Temporary(Path(kManifest512)), Path(kManifest512), failure)) {
        Abandon();
        return false;
    }
    m_bCommitted = true;

    std::string bagInfo = "Bagging-Date: " + UtcNowText("%Y-%m-%d") + "\n";
    bagInfo += "Payload-Oxum: " + std::to_string(m_nBytes) + "." + std::to_string(m_nFiles) + "\n";
    for (const auto& [label, value] : info)
        bagInfo += BagInfoLine(label, value);
    if (!WriteTagFile(Path("bag-info.txt"), bagInfo, failure)) {
        Abandon();
        return false;
    }

    // Every tag file but the tag manifests themselves; bagit.txt is known before it is written.
    std::string tags256 = BagManifestLine(Sha256Hex(kBagitText, std::strlen(kBagitText)), "bagit.txt");
    Sha512 bagit512;
    bagit512.Update(kBagitText, std::strlen(kBagitText));
    std::string tags512 = BagManifestLine(bagit512.Final(), "bagit.txt");
    std::vector<std::string> names = {"bag-info.txt", kManifest256, kManifest512};
    names.insert(names.end(), tagFiles.begin(), tagFiles.end());
    names.push_back(m_strLogName);
    for (const std::string& name : names) {
        std::string sha256, sha512;
        if (!DigestFile(Path(name), sha256, sha512)) {
            failure = "a tag file cannot be read: '" + Path(name) + "'";
            Abandon();
            return false;
        }
        tags256 += BagManifestLine(sha256, name);
        tags512 += BagManifestLine(sha512, name);
    }
    if (!WriteTagFile(Path("tagmanifest-sha256.txt"), tags256, failure) ||
        !WriteTagFile(Path("tagmanifest-sha512.txt"), tags512, failure) ||
        !WriteTagFile(Path("bagit.txt"), kBagitText, failure)) {
        Abandon();
        return false;
    }
    UniqueFd dir(RetryOnInterrupt([&] { return ::open(m_strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir.valid() || ::fsync(dir.get()) != 0) {
        failure = DescribeFailure(ErrorFromErrno(errno), m_strFolder) + ": '" + m_strFolder + "'";
        return false;
    }
    return true;
}

void BagWriter::Abandon()
{
    m_bDone = true;
    m_manifest256.Reset();
    m_manifest512.Reset();
    // Without bagit.txt the folder is no bag; the manifests that make it look like one go
    // (only ours: the folder was empty when the session took it).
    for (const char* name :
         {kManifest256, kManifest512, "tagmanifest-sha256.txt", "tagmanifest-sha512.txt", "bag-info.txt"}) {
        ::unlink(Temporary(Path(name)).c_str());
        if (m_bCommitted)
            ::unlink(Path(name).c_str());
    }
    ::unlink(Temporary(Path("bagit.txt")).c_str());
    m_log.Reset();
}
