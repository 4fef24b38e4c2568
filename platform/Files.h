// Disk files as a tape job writes them: create-always, write, flush, size, delete, and
// creation and flushing of directories. Results are error numbers; errno is mapped with ErrorFromErrno.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

class WritableFile {
public:
    virtual ~WritableFile() = default;  // closes the file
    // Writes all size bytes or fails; written is what reached the file.
    virtual uint32_t Write(const void* data, uint32_t size, uint32_t& written) = 0;
    virtual uint32_t GetSize(uint64_t& size) = 0;
    // Flushes what was written to stable storage (fsync). A file that cannot be flushed
    // (a device, a pipe) counts as flushed. Files without storage behind them, like test
    // doubles, have nothing to flush.
    virtual uint32_t Sync() { return 0; }
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Creates or truncates name for writing. ERROR_PATH_NOT_FOUND when a directory is missing.
    virtual std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) = 0;
    virtual uint32_t DeleteFile(const std::string& name) = 0;
    // One level; ERROR_ALREADY_EXISTS when it is there already.
    virtual uint32_t CreateDirectory(const std::string& name) = 0;
    // Flushes the directory's entries (names created in it) to stable storage, as Sync does
    // for a file's bytes.
    virtual uint32_t SyncDirectory(const std::string& name)
    {
        (void)name;
        return 0;
    }
};

// The file system jobs use: the real one unless a test has put another in place.
FileSystem& Files();
FileSystem& RealFiles();

// Puts a file system in place for the lifetime of this object (tests only).
class ScopedFileSystem {
public:
    explicit ScopedFileSystem(FileSystem& files);
    ~ScopedFileSystem();
    ScopedFileSystem(const ScopedFileSystem&) = delete;
    ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

private:
    FileSystem* m_pPrevious;
};
