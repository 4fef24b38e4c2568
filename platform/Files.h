// Disk files as a tape job writes them: create-always, write, cut back, flush, size, rename,
// delete, and creation and flushing of directories. Results are error numbers; errno is
// mapped with ErrorFromErrno.
#pragma once
#include "platform/Errors.h"
#include "platform/FileDescriptor.h"

#include <cstdint>
#include <memory>
#include <string>

class WritableFile {
public:
    virtual ~WritableFile() = default;  // closes the file
    // Writes all size bytes or fails; written is what reached the file.
    virtual uint32_t Write(const void* data, uint32_t size, uint32_t& written) = 0;
    virtual uint32_t GetSize(uint64_t& size) = 0;
    // Cuts the file back to size bytes (after a write that failed partway). Test doubles
    // without storage cannot.
    virtual uint32_t Truncate(uint64_t size)
    {
        (void)size;
        return ERROR_NOT_SUPPORTED;
    }
    // Flushes what was written to stable storage (fsync). A file that cannot be flushed
    // (a device, a pipe) counts as flushed. Files without storage behind them, like test
    // doubles, have nothing to flush.
    virtual uint32_t Sync() { return 0; }
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Creates name as a new, empty file for writing, in place of whatever has that name: a
    // file or a symbolic link is removed first, never written through or truncated (another
    // name of the same file, or a link's target, stays as it was). ERROR_PATH_NOT_FOUND
    // when a directory is missing.
    virtual std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) = 0;
    // Gives the file from the name to. With replace, whatever has that name is replaced (a
    // symbolic link itself, not its target); without, ERROR_ALREADY_EXISTS when the name is
    // taken. The default is the real file system's, for doubles that wrap real files.
    virtual uint32_t Rename(const std::string& from, const std::string& to, bool replace);
    // Whether something (a file, a directory, a symbolic link, even a dangling one) has the
    // name. Defaults to the real file system, as Rename.
    virtual bool Exists(const std::string& name);
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

// Creates name as a new, empty file for writing, the way CreateAlways does on the real file
// system (a file or a symbolic link at the name is removed, never written through; what is
// neither, a device or a pipe, is opened as it is). For the program's own side files: the
// checksum file, the report, an image and their temporary names. Invalid and error set when
// it cannot.
UniqueFd CreateReplacingFile(const std::string& name, uint32_t& error);

// The cause of a failure of a call on path in a few words, as FailureReason, told more
// exactly where the path shows more ("is a directory" for a denied directory).
std::string DescribeFailure(uint32_t code, const std::string& path);

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
