#include "platform/Files.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"

#include <cerrno>
#include <cstdio>  // renameat2
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ErrorFromErrno, told more exactly where a file's name is concerned: a part of the path
// that is a file is not a missing directory (there is nothing to create).
uint32_t FileError(int err)
{
    return err == ENOTDIR ? ERROR_NOT_A_DIRECTORY : ErrorFromErrno(err);
}

uint32_t RenamePath(const std::string& from, const std::string& to, bool replace)
{
    if (replace)
        return ::rename(from.c_str(), to.c_str()) == 0 ? ERROR_SUCCESS : FileError(errno);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return ERROR_SUCCESS;
    if (errno != EINVAL && errno != ENOSYS)
        return FileError(errno);
    // A file system without the no-replace rename: a hard link refuses a taken name too.
    if (::link(from.c_str(), to.c_str()) == 0)
        return ::unlink(from.c_str()) == 0 ? ERROR_SUCCESS : FileError(errno);
    return FileError(errno);
}

bool PathExists(const std::string& name)
{
    struct stat st {};
    return ::lstat(name.c_str(), &st) == 0;
}

// fsync, retried on EINTR. EINVAL means the object has no stable storage to reach (a
// device, a pipe): there is nothing to wait for.
uint32_t SyncDescriptor(int fd)
{
    int rc = RetryOnInterrupt([&] { return ::fsync(fd); });
    return rc == 0 || errno == EINVAL ? ERROR_SUCCESS : ErrorFromErrno(errno);
}

class PosixFile final : public WritableFile {
public:
    explicit PosixFile(UniqueFd fd) : m_fd(std::move(fd)) {}

    uint32_t Write(const void* data, uint32_t size, uint32_t& written) override
    {
        written = 0;
        const char* p = static_cast<const char*>(data);
        while (written < size) {
            ssize_t n = RetryOnInterrupt([&] { return ::write(m_fd.get(), p + written, size - written); });
            if (n < 0)
                return ErrorFromErrno(errno);
            if (n == 0)
                return ERROR_DISK_FULL;
            written += static_cast<uint32_t>(n);
        }
        return ERROR_SUCCESS;
    }

    uint32_t GetSize(uint64_t& size) override
    {
        struct stat st {};
        if (::fstat(m_fd.get(), &st) != 0)
            return ErrorFromErrno(errno);
        size = static_cast<uint64_t>(st.st_size);
        return ERROR_SUCCESS;
    }

    uint32_t Sync() override { return SyncDescriptor(m_fd.get()); }

    uint32_t Truncate(uint64_t size) override
    {
        if (RetryOnInterrupt([&] { return ::ftruncate(m_fd.get(), static_cast<off_t>(size)); }) != 0)
            return ErrorFromErrno(errno);
        // Later writes go on from the cut, not past it.
        if (::lseek(m_fd.get(), static_cast<off_t>(size), SEEK_SET) < 0)
            return ErrorFromErrno(errno);
        return ERROR_SUCCESS;
    }

private:
    UniqueFd m_fd;
};

class PosixFileSystem final : public FileSystem {
public:
    // Opening a taken name with O_TRUNC would write through a symbolic link there, and
    // would empty every other name of the file: a link or a regular file at the name goes
    // first and a new file is made (O_EXCL also refuses a link put there in between). What
    // is neither (a device, a pipe) is opened and written as it is.
    std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) override
    {
        UniqueFd fd = CreateReplacingFile(name, error);
        if (!fd.valid())
            return nullptr;
        return std::make_unique<PosixFile>(std::move(fd));
    }

    uint32_t Rename(const std::string& from, const std::string& to, bool replace) override
    {
        return RenamePath(from, to, replace);
    }

    bool Exists(const std::string& name) override { return PathExists(name); }

    uint32_t DeleteFile(const std::string& name) override
    {
        return ::unlink(name.c_str()) == 0 ? ERROR_SUCCESS : FileError(errno);
    }

    uint32_t CreateDirectory(const std::string& name) override
    {
        return ::mkdir(name.c_str(), 0777) == 0 ? ERROR_SUCCESS : FileError(errno);
    }

    uint32_t SyncDirectory(const std::string& name) override
    {
        UniqueFd fd(RetryOnInterrupt([&] { return ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
        if (!fd.valid())
            return ErrorFromErrno(errno);
        return SyncDescriptor(fd.get());
    }
};

FileSystem* g_pFiles = nullptr;

} // namespace

// Opening a taken name with O_TRUNC would write through a symbolic link there, and would
// empty every other name of the file: a link or a regular file at the name goes first and a
// new file is made (O_EXCL also refuses a link put there in between). What is neither (a
// device, a pipe) is opened and written as it is.
UniqueFd CreateReplacingFile(const std::string& name, uint32_t& error)
{
    for (int attempt = 0;; ++attempt) {
        UniqueFd fd(RetryOnInterrupt(
            [&] { return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666); }));
        if (!fd.valid() && errno == EEXIST && attempt < 2) {
            struct stat st {};
            if (::lstat(name.c_str(), &st) != 0)
                continue;  // gone in between
            if (S_ISLNK(st.st_mode) || S_ISREG(st.st_mode)) {
                if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
                    error = FileError(errno);
                    return UniqueFd();
                }
                continue;
            }
            fd = UniqueFd(
                RetryOnInterrupt([&] { return ::open(name.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC); }));
        }
        if (!fd.valid()) {
            error = FileError(errno);
            return fd;
        }
        error = ERROR_SUCCESS;
        return fd;
    }
}

uint32_t FileSystem::Rename(const std::string& from, const std::string& to, bool replace)
{
    return RenamePath(from, to, replace);
}

bool FileSystem::Exists(const std::string& name)
{
    return PathExists(name);
}

std::string DescribeFailure(uint32_t code, const std::string& path)
{
    struct stat st {};
    if (code == ERROR_ACCESS_DENIED && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return "is a directory";
    return FailureReason(code);
}

FileSystem& RealFiles()
{
    static PosixFileSystem files;
    return files;
}

FileSystem& Files()
{
    return g_pFiles ? *g_pFiles : RealFiles();
}

ScopedFileSystem::ScopedFileSystem(FileSystem& files) : m_pPrevious(g_pFiles)
{
    g_pFiles = &files;
}

ScopedFileSystem::~ScopedFileSystem()
{
    g_pFiles = m_pPrevious;
}
