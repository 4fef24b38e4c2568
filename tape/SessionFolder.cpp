#include "tape/SessionFolder.h"

#include "platform/Errors.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "NNNN" or "NNNN.part" after the prefix: the number, or -1.
int64_t DataNumber(const std::string& rest)
{
    std::string digits = rest;
    const std::string part = ".part";
    if (digits.size() > part.size() && digits.compare(digits.size() - part.size(), part.size(), part) == 0)
        digits.resize(digits.size() - part.size());
    return DataFileNumber(digits);
}

struct FileId {
    dev_t dev;
    ino_t ino;
};

// Every name in the folder that targets covers, in the folder's order; stops when visit
// says so. A folder that cannot be read (not made yet) has none.
void ForEachTarget(const SessionTargets& targets, const std::function<bool(const std::string&)>& visit)
{
    for (const std::string& name : targets.names)
        if (!visit(name))
            return;
    if (!targets.dataFiles)
        return;
    DIR* dir = ::opendir(targets.folder.empty() ? "/" : targets.folder.c_str());
    if (!dir)
        return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        int64_t number = -1;
        if (name.compare(0, targets.dataPrefix.size(), targets.dataPrefix) == 0 &&
            targets.Covers(name, &number) && number >= 0 && !visit(name))
            break;
    }
    ::closedir(dir);
}

std::string InFolder(const std::string& folder, const std::string& name)
{
    return folder + "/" + name;
}

} // namespace

int64_t DataFileNumber(const std::string& digits)
{
    if (digits.size() < 4 || digits.size() > 12)
        return -1;
    int64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

bool SessionTargets::Covers(const std::string& name, int64_t* number) const
{
    for (const std::string& fixed : names)
        if (fixed == name)
            return true;
    if (!dataFiles || name.compare(0, dataPrefix.size(), dataPrefix) != 0)
        return false;
    std::string rest = name.substr(dataPrefix.size());
    if (const size_t joiner = rest.find('_'); labelSuffix && joiner != std::string::npos)
        rest.resize(joiner);  // the number of "NNNN_IDENTIFIER" and its ".part"
    const int64_t n = DataNumber(rest);
    if (n < 0 || (dataNumber && !dataNumber(n)))
        return false;
    if (number)
        *number = n;
    return true;
}

void SplitFolderAndPrefix(const std::string& path, const std::string& base, std::string& folder, std::string& prefix)
{
    const std::string whole = path + "/" + base;
    const size_t slash = whole.rfind('/');
    folder = whole.substr(0, slash);
    prefix = whole.substr(slash + 1);
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
}

std::string FindImageAmongTargets(const SessionTargets& targets, const std::vector<std::string>& images,
                                  std::string* image)
{
    std::vector<std::pair<FileId, std::string>> sources;
    for (const std::string& path : images) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0)
            sources.push_back({{st.st_dev, st.st_ino}, path});
    }
    if (sources.empty())
        return {};
    std::string clash;
    ForEachTarget(targets, [&](const std::string& name) {
        const std::string path = InFolder(targets.folder, name);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return true;
        for (const auto& [id, source] : sources) {
            if (id.dev == st.st_dev && id.ino == st.st_ino) {
                clash = path;
                if (image)
                    *image = source;
                return false;
            }
        }
        return true;
    });
    return clash;
}

std::string FindExistingDataFile(const SessionTargets& targets)
{
    SessionTargets data = targets;
    data.names.clear();
    std::string found;
    ForEachTarget(data, [&](const std::string& name) {
        found = InFolder(targets.folder, name);
        return false;
    });
    return found;
}

std::string FindNameTooLong(const std::string& folder, const std::vector<std::string>& names)
{
    std::string existing = folder.empty() ? "/" : folder;
    long limit = -1;
    for (;;) {
        errno = 0;
        limit = ::pathconf(existing.c_str(), _PC_NAME_MAX);
        if (limit > 0 || existing == "/" || existing == ".")
            break;
        const size_t slash = existing.rfind('/');
        existing = slash == std::string::npos ? "." : slash == 0 ? "/" : existing.substr(0, slash);
    }
    if (limit <= 0)
        limit = NAME_MAX;
    for (const std::string& name : names)
        if (name.size() > static_cast<size_t>(limit))
            return InFolder(folder, name);
    return {};
}

uint32_t FolderLock::Acquire(const std::string& folder)
{
    UniqueFd fd(RetryOnInterrupt(
        [&] { return ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd.valid())
        return errno == ENOTDIR ? ERROR_NOT_A_DIRECTORY : ErrorFromErrno(errno);
    if (RetryOnInterrupt([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
        if (errno == EWOULDBLOCK)
            return ERROR_SHARING_VIOLATION;
        // A file system that keeps no locks (some network ones) cannot refuse a second
        // session: the copy goes on without, as it did before there was a lock.
        if (errno != ENOLCK && errno != EOPNOTSUPP && errno != EINVAL)
            return ErrorFromErrno(errno);
    }
    m_fd = std::move(fd);
    return ERROR_SUCCESS;
}
