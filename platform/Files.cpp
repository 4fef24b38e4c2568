#include "platform/Files.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

private:
    UniqueFd m_fd;
};

class PosixFileSystem final : public FileSystem {
public:
    std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) override
    {
        UniqueFd fd(RetryOnInterrupt(
            [&] { return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
        if (!fd.valid()) {
            error = ErrorFromErrno(errno);
            return nullptr;
        }
        error = ERROR_SUCCESS;
        return std::make_unique<PosixFile>(std::move(fd));
    }

    uint32_t DeleteFile(const std::string& name) override
    {
        return ::unlink(name.c_str()) == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
    }

    uint32_t CreateDirectory(const std::string& name) override
    {
        return ::mkdir(name.c_str(), 0777) == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
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
