#include "tape/TapeImageFile.h"

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/SimhTape.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A few system calls per megabyte, and little memory for the ring of four.
constexpr size_t kChunkSize = 4u << 20;

constexpr uint32_t kBadDataClass = 0x80000000;

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

TapeImageFile::~TapeImageFile()
{
    m_pHasher.reset();
    Discard();
}

uint32_t TapeImageFile::Create(const std::string& path, uint32_t maxRecord, ImageFormat format,
                              ImageCompression compression)
{
    m_strPath = path;
    const std::string temporary = TemporaryPath();
    uint32_t error = ERROR_SUCCESS;
    UniqueFd fd = CreateReplacingFile(temporary, error);  // never through a link at the name
    if (!fd.valid())
        return m_nError = error;
    m_fd = std::move(fd);
    m_bCreated = true;
    return Prepare(maxRecord, format, compression);
}

uint32_t TapeImageFile::Prepare(uint32_t maxRecord, ImageFormat format, ImageCompression compression)
{
    m_format = format;
    m_pEncoder = MakeImageEncoder(format, compression);
    if (!m_pEncoder) {
        Discard();
        return m_nError = ERROR_NOT_SUPPORTED;
    }
    if (!InPlace()) {
        m_scratch = PageBuffer::Allocate(std::max<size_t>(maxRecord, 1));
        if (!m_scratch) {
            Discard();
            return m_nError = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    // A chunk is written once it holds kChunkSize; past that it has room for one more record
    // with its length words, read in place. Only the pages used are touched.
    m_nChunkRoom = kChunkSize + size_t{maxRecord} + 16;
    m_firstChunk = PageBuffer::Allocate(m_nChunkRoom);
    if (!m_firstChunk) {
        Discard();
        return m_nError = ERROR_NOT_ENOUGH_MEMORY;
    }
    m_pHasher = std::make_unique<BlockHasher>(m_firstChunk.data(), m_nChunkRoom);
    m_pChunk = static_cast<char*>(m_pHasher->NextBuffer());
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::Resume(const std::string& path, uint32_t maxRecord, ImageFormat format, uint64_t keep)
{
    m_strPath = path;
    if (format != ImageFormat::Simh && format != ImageFormat::E11)
        return m_nError = ERROR_NOT_SUPPORTED;
    const std::string partial = PartialPath();
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(partial.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW); }));
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0)
        return m_nError = ErrorFromErrno(errno);
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) < keep)
        return m_nError = ERROR_TAPE_IMAGE_INCONSISTENT;
    if (::ftruncate(fd.get(), static_cast<off_t>(keep)) != 0 || ::lseek(fd.get(), 0, SEEK_END) < 0)
        return m_nError = ErrorFromErrno(errno);
    // It is the temporary from here on: committed, broken off or kept again like a new one.
    if (::rename(partial.c_str(), TemporaryPath().c_str()) != 0)
        return m_nError = ErrorFromErrno(errno);
    m_fd = std::move(fd);
    m_bCreated = true;
    if (uint32_t err = Prepare(maxRecord, format, ImageCompression::None))
        return err;
    // The kept bytes, digested as if just written.
    for (uint64_t at = 0; at < keep;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkSize, keep - at));
        size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(m_fd.get(), m_pChunk + got, want - got, static_cast<off_t>(at + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return m_nError = n < 0 ? ErrorFromErrno(errno) : ERROR_TAPE_IMAGE_TRUNCATED;
            got += static_cast<size_t>(n);
        }
        m_pHasher->Submit(static_cast<uint32_t>(want));
        m_pChunk = static_cast<char*>(m_pHasher->NextBuffer());
        at += want;
    }
    m_nSize = keep;
    m_nFlushedUpTo = keep;
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::KeepPartial()
{
    if (!m_bCreated)
        return ERROR_SUCCESS;
    if (!m_nError && m_nFill > 0)
        WriteChunk();
    if (m_nSize == 0 || !m_fd.valid()) {
        Discard();
        return m_nError;
    }
    // Whatever a failed write left of a record at the end, Resume finds and cuts off.
    if (::fsync(m_fd.get()) != 0 || m_fd.Close() != 0 ||
        ::rename(TemporaryPath().c_str(), PartialPath().c_str()) != 0) {
        const uint32_t err = ErrorFromErrno(errno);
        Discard();
        return err;
    }
    m_bCreated = false;
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::WriteChunk()
{
    size_t done = 0;
    while (done < m_nFill) {
        const ssize_t n = RetryOnInterrupt([&] { return ::write(m_fd.get(), m_pChunk + done, m_nFill - done); });
        if (n <= 0)  // nothing written and no error: no room
            return m_nError = n < 0 ? ErrorFromErrno(errno) : ERROR_DISK_FULL;
        done += static_cast<size_t>(n);
    }
    // Start the chunk on its way to the disk now rather than at the closing flush: the
    // writing then overlaps the reading and hashing of the rest of the tape. A file system
    // that cannot is flushed in full by Commit all the same.
    (void)::sync_file_range(m_fd.get(), static_cast<off_t>(m_nFlushedUpTo), static_cast<off_t>(m_nFill),
                            SYNC_FILE_RANGE_WRITE);
    m_nFlushedUpTo += m_nFill;
    m_pHasher->Submit(static_cast<uint32_t>(m_nFill));
    m_pChunk = static_cast<char*>(m_pHasher->NextBuffer());
    m_nFill = 0;
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::Append(const void* data, size_t size)
{
    if (m_nError)
        return m_nError;
    if (!m_fd.valid())
        return m_nError = ERROR_INVALID_HANDLE;
    const char* from = static_cast<const char*>(data);
    m_nSize += size;
    while (size > 0) {
        if (m_nFill >= kChunkSize && WriteChunk())
            return m_nError;
        const size_t n = std::min(size, kChunkSize - m_nFill);
        std::memcpy(m_pChunk + m_nFill, from, n);
        m_nFill += n;
        from += n;
        size -= n;
    }
    return ERROR_SUCCESS;
}

char* TapeImageFile::RecordSpace()
{
    if (m_nError || !m_fd.valid())
        return nullptr;
    if (m_nFill >= kChunkSize && WriteChunk())
        return nullptr;
    if (!InPlace())
        return static_cast<char*>(m_scratch.data());
    return m_pChunk + m_nFill + 4;
}

uint32_t TapeImageFile::CommitRecord(uint32_t length, bool bad)
{
    if (m_nError)
        return m_nError;
    if (!m_fd.valid())
        return m_nError = ERROR_INVALID_HANDLE;
    if (!InPlace()) {
        if (length == 0 || length > m_scratch.size())
            return m_nError = ERROR_INVALID_BLOCK_LENGTH;
        if (uint32_t err = m_pEncoder->Record(m_sink, static_cast<const char*>(m_scratch.data()), length, bad))
            return m_nError = err;
        return ERROR_SUCCESS;
    }
    // A length word of 0 is a tapemark: a record without data can only be a bad one.
    if (length > SIMH_MAX_RECORD || (length == 0 && !bad) || m_nFill + 9 + size_t{length} > m_nChunkRoom)
        return m_nError = ERROR_INVALID_BLOCK_LENGTH;
    const uint32_t word = length | (bad ? kBadDataClass : 0);
    const unsigned char bytes[4] = {static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
                                    static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 24)};
    char* at = m_pChunk + m_nFill;
    std::memcpy(at, bytes, 4);
    size_t used = 4 + size_t{length};
    if ((length & 1) && m_format == ImageFormat::Simh)  // E11 has no pad byte
        at[used++] = 0;
    std::memcpy(at + used, bytes, 4);
    used += 4;
    m_nFill += used;
    m_nSize += used;
    if (m_nFill >= kChunkSize && WriteChunk())
        return m_nError;
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::PutTapemark()
{
    if (m_nError || !m_pEncoder)
        return m_nError ? m_nError : (m_nError = ERROR_INVALID_HANDLE);
    if (uint32_t err = m_pEncoder->Tapemark(m_sink))
        return m_nError = err;
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::PutEndOfMedium()
{
    if (m_nError || !m_pEncoder)
        return m_nError ? m_nError : (m_nError = ERROR_INVALID_HANDLE);
    if (uint32_t err = m_pEncoder->EndOfMedium(m_sink))
        return m_nError = err;
    return ERROR_SUCCESS;
}

uint32_t TapeImageFile::Commit()
{
    if (!m_nError && !m_fd.valid())
        m_nError = ERROR_INVALID_HANDLE;
    if (!m_nError && m_nFill > 0)
        WriteChunk();
    if (!m_nError) {
        m_strSha256 = m_pHasher->FinishFile();
        if (m_strSha256.empty())  // an image without its checksum would pass for verified
            m_nError = ERROR_GEN_FAILURE;
    }
    if (!m_nError && ::fsync(m_fd.get()) != 0)
        m_nError = ErrorFromErrno(errno);
    if (!m_nError) {
        if (int err = m_fd.Close())
            m_nError = ErrorFromErrno(err);
    }
    if (!m_nError && ::rename(TemporaryPath().c_str(), m_strPath.c_str()) != 0)
        m_nError = ErrorFromErrno(errno);
    if (m_nError) {
        m_strSha256.clear();
        Discard();
        return m_nError;
    }
    m_bCreated = false;  // it is the image now, not a temporary
    // The new name must reach the disk like the bytes.
    const std::string folder = FolderOf(m_strPath);
    UniqueFd dir(RetryOnInterrupt([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir.valid() || ::fsync(dir.get()) != 0)
        return m_nError = ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

void TapeImageFile::Discard()
{
    if (!m_bCreated)
        return;
    m_bCreated = false;
    m_fd.Reset();
    ::unlink(TemporaryPath().c_str());
}

bool IsSameFile(const std::string& a, const std::string& b)
{
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int64_t BadRecordOffset(const TapeImageFile& image, uint32_t bytesRead)
{
    if (!CanMarkBadRecords(image.Format()) && bytesRead == 0)
        return -1;
    return static_cast<int64_t>(image.Size());
}
