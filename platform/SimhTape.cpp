// The virtual tape drive over a SIMH .tap image.
//
// What each marker reads as:
//   tapemark            ERROR_FILEMARK_DETECTED, 0 bytes, positioned after it
//   end-of-medium word  ERROR_NO_DATA_DETECTED, the position stays on the marker
//   end of the file     ERROR_NO_DATA_DETECTED, the position stays at the end
//   erase gap, half gap skipped. A half gap is skipped as a plain 4-byte marker; should an
//                       image use it to shift the word alignment instead, the words that
//                       follow fail the trailer check and read as damage, never as data.
//   class 0 record      the data
//   class 1-14 record   ERROR_CRC, positioned after the record; in variable-block mode with
//                       the record's bytes when they fit the buffer, else 0. Class 8 is "bad
//                       data" (and bit 31 alone marks it on older writers); the private and
//                       reserved classes hold nothing a tape copy could use as data, so
//                       they read as unreadable blocks rather than as data.
//   other class-15 word ERROR_TAPE_IMAGE_UNKNOWN_MARKER: not a marker we know, the image
//                       cannot be followed past it.
// A damaged image (a partial length word, a record running past the end of the file, a
// trailing length that differs from the leading one) gives ERROR_TAPE_IMAGE_TRUNCATED or
// ERROR_TAPE_IMAGE_INCONSISTENT and leaves the position before the damage, so reading on
// gives the same error again instead of data from a place that cannot be trusted.
//
// Spacing by records (TAPE_SPACE_RELATIVE_BLOCKS) counts every record, good or bad:
//   forwards            over each record (its trailer checked), stops just after a
//                       tapemark (ERROR_FILEMARK_DETECTED) or at the end of the data
//                       (ERROR_NO_DATA_DETECTED); damage as for a read
//   backwards           the word before the position: a record's trailer leads back to its
//                       leading length word, which must match; a tapemark stops just before
//                       it (ERROR_FILEMARK_DETECTED); gaps are passed; the beginning of the
//                       image is ERROR_BEGINNING_OF_MEDIA; anything else (a trailer without
//                       its record) ERROR_TAPE_IMAGE_INCONSISTENT, nothing moved
//
// In fixed-block mode:
//   record of the block size  the data
//   record of another length  ERROR_INVALID_BLOCK_LENGTH, 0 bytes, the position stays
//                       before it (st spaces back over such a block too)
//
// A record's trailing length is checked before any of its bytes reach the caller's buffer,
// so nothing past what a read reports is ever written. A record of up to kWindowedRecord
// bytes is copied out of a read-ahead window of the image (one pread fills kWindowSize
// bytes, many records' worth), together with its trailer and the next length word; a
// longer one costs one small read of its trailer and the next length word first (unless
// the window holds them), then its data go straight into the caller's buffer (the extra
// call is lost in the time the data take). The window holds bytes by their place in the
// image, so spacing and rewinding may reuse it; it is emptied when a tape is loaded or
// unloaded, since the file may have changed in between.
#include "platform/SimhTape.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <utility>

namespace {

// Images open at the moment, by file identity: a tape drive is opened exclusively.
class InUseImages {
public:
    using Key = std::pair<dev_t, ino_t>;

    bool Claim(Key key)
    {
        std::lock_guard guard(m_lock);
        return m_keys.insert(key).second;
    }

    void Release(Key key)
    {
        std::lock_guard guard(m_lock);
        m_keys.erase(key);
    }

private:
    std::mutex m_lock;
    std::set<Key> m_keys;
};

InUseImages& inUse()
{
    static InUseImages images;
    return images;
}

// Reads exactly the bytes iov describes (iov is consumed). A short read means the file
// became shorter than it was when measured.
uint32_t PreadFully(int fd, iovec* iov, int count, uint64_t offset)
{
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        ssize_t n = ::preadv(fd, iov, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ERROR_TAPE_IMAGE_UNREADABLE;
        }
        if (n == 0)
            return ERROR_TAPE_IMAGE_TRUNCATED;
        offset += static_cast<uint64_t>(n);
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return ERROR_SUCCESS;
}

#ifndef KV_IMAGE_WINDOW
// Records up to this length come out of the read-ahead window: per record, one copy out of
// the window costs less than the one or two preads it saves. Above it, the second copy
// costs more than the calls (bench_image_read on tmpfs: 64 KiB records read 12% faster
// through the window, 128 KiB ones 13% slower).
constexpr uint32_t kWindowedRecord = 65536;
// The read-ahead window: big enough that 64 KiB records still take 16 to a pread, small
// enough to stay in the cache while they are copied out of it (a 4 MiB window read small
// records 10-15% slower).
constexpr uint32_t kWindowSize = 1u << 20;
#else
// A fuzz build shrinks the window (-DKV_IMAGE_WINDOW=bytes) so that its tiny images cross
// the window's edges and take both ways in.
constexpr uint32_t kWindowSize = KV_IMAGE_WINDOW;
constexpr uint32_t kWindowedRecord = KV_IMAGE_WINDOW / 2;
#endif
// A windowed record with its length words and the next record's length word fit in it.
static_assert(kWindowSize >= kWindowedRecord + 12);

uint32_t LittleEndian(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class SimhTapeDrive final : public TapeDevice {
public:
    SimhTapeDrive(UniqueFd file, InUseImages::Key key, uint64_t size, const VirtualDriveOptions& options)
        : m_file(std::move(file)), m_fd(m_file.get()), m_key(key), m_nImageSize(size), m_options(options)
    {
        if (m_options.maxBlockSize == 0 || m_options.maxBlockSize > kMaxTapeBlockSize)
            m_options.maxBlockSize = kMaxTapeBlockSize;
        m_nBlockSize = m_options.fixedBlockSize;
    }

    ~SimhTapeDrive() override
    {
        m_file.Reset();  // drops the flock as well
        inUse().Release(m_key);
    }

    SimhTapeDrive(const SimhTapeDrive&) = delete;
    SimhTapeDrive& operator=(const SimhTapeDrive&) = delete;

    uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& params) override
    {
        if (!m_bLoaded)
            return ERROR_NO_MEDIA_IN_DRIVE;
        params = {};
        if (m_options.fixedBlockSize != 0) {
            params.DefaultBlockSize = m_options.fixedBlockSize;
            params.MaximumBlockSize = m_options.fixedBlockSize;
            params.MinimumBlockSize = m_options.fixedBlockSize;
        } else {
            params.MaximumBlockSize = m_options.maxBlockSize;
            params.MinimumBlockSize = 1;
            params.FeaturesLow = TAPE_DRIVE_VARIABLE_BLOCK;
        }
        params.MaximumPartitionCount = 1;
        return ERROR_SUCCESS;
    }

    uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& params) override
    {
        if (!m_bLoaded)
            return ERROR_NO_MEDIA_IN_DRIVE;
        params = {};
        params.Capacity = static_cast<int64_t>(m_nImageSize);
        params.Remaining = static_cast<int64_t>(m_nImageSize - m_nPos);
        params.BlockSize = m_nBlockSize;
        params.PartitionCount = 1;
        params.WriteProtected = 1;  // images are only ever read
        return ERROR_SUCCESS;
    }

    // A variable-block drive takes 0 (variable) or any size up to its maximum (fixed
    // blocks of that size). A fixed-block-only drive takes its own size and nothing else:
    // ERROR_INVALID_PARAMETER, as for any other size a drive cannot do.
    uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& params) override
    {
        if (!m_bLoaded)
            return ERROR_NO_MEDIA_IN_DRIVE;
        if (m_options.fixedBlockSize != 0)
            return params.BlockSize == m_options.fixedBlockSize ? ERROR_SUCCESS
                                                                : ERROR_INVALID_PARAMETER;
        if (params.BlockSize > m_options.maxBlockSize)
            return ERROR_INVALID_PARAMETER;
        m_nBlockSize = params.BlockSize;
        return ERROR_SUCCESS;
    }

    uint32_t SetTapePosition(uint32_t method, uint32_t, uint32_t offsetLow, uint32_t offsetHigh,
                             bool) override
    {
        if (!m_bLoaded)
            return ERROR_NO_MEDIA_IN_DRIVE;
        switch (method) {
        case TAPE_REWIND:
            m_nPos = 0;
            return ERROR_SUCCESS;
        case TAPE_SPACE_FILEMARKS: {
            const int64_t count =
                static_cast<int64_t>(static_cast<uint64_t>(offsetHigh) << 32 | offsetLow);
            if (count < 0)
                return ERROR_NOT_SUPPORTED;  // spacing backwards: nothing of ours needs it
            return SpaceFilemarks(static_cast<uint64_t>(count));
        }
        case TAPE_SPACE_RELATIVE_BLOCKS: {
            const int64_t count =
                static_cast<int64_t>(static_cast<uint64_t>(offsetHigh) << 32 | offsetLow);
            return count < 0 ? SpaceRecordsBack(0 - static_cast<uint64_t>(count))
                             : SpaceRecords(static_cast<uint64_t>(count));
        }
        default:
            return ERROR_NOT_SUPPORTED;
        }
    }

    // Unloading takes the tape out of this handle's reach until TAPE_LOAD puts it back
    // (at the beginning, as a fresh load does); a new open always finds it loaded.
    uint32_t PrepareTape(uint32_t operation, bool) override
    {
        switch (operation) {
        case TAPE_LOAD: {
            struct stat st {};
            if (::fstat(m_fd, &st) != 0)
                return ERROR_TAPE_IMAGE_UNREADABLE;
            m_nImageSize = static_cast<uint64_t>(st.st_size);
            m_bLoaded = true;
            m_nPos = 0;
            m_nBlockSize = m_options.fixedBlockSize;
            m_bCacheValid = false;
            m_nWindowLen = 0;
            return ERROR_SUCCESS;
        }
        case TAPE_UNLOAD:
            if (!m_bLoaded)
                return ERROR_NO_MEDIA_IN_DRIVE;
            m_bLoaded = false;
            m_nPos = 0;
            m_bCacheValid = false;
            m_window.reset();
            m_nWindowLen = 0;
            return ERROR_SUCCESS;
        default:
            return m_bLoaded ? ERROR_NOT_SUPPORTED : ERROR_NO_MEDIA_IN_DRIVE;
        }
    }

    uint32_t LastBlockLength() const override { return m_nLastBlockLength; }

    uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) override
    {
        bytesRead = 0;
        m_nLastBlockLength = 0;
        if (!m_bLoaded)
            return ERROR_NO_MEDIA_IN_DRIVE;
        if (size == 0)
            return ERROR_INVALID_PARAMETER;  // 0 bytes read would look like a filemark
        if (m_nBlockSize != 0)
            return ReadFixed(static_cast<char*>(buffer), size, bytesRead);
        return ReadVariable(static_cast<char*>(buffer), size, bytesRead);
    }

private:
    enum class Kind { Tapemark, EndOfData, Record, Damaged };

    // What stands at the current position, gaps skipped (skipping moves the position).
    struct Item {
        Kind kind = Kind::EndOfData;
        uint32_t word = 0;      // the length word of a record
        uint32_t length = 0;    // data bytes of a record
        bool bad = false;       // a record of a class other than 0
        uint32_t error = 0;     // why the image cannot be followed (Kind::Damaged)
    };

    uint32_t PaddedLength(uint32_t length) const { return length + (length & 1); }
    uint64_t TrailerPos(const Item& item) const { return m_nPos + 4 + PaddedLength(item.length); }
    uint64_t RecordEnd(const Item& item) const { return TrailerPos(item) + 4; }

    // The bytes [pos, pos + length) of the image when the window holds them all, else null.
    const unsigned char* InWindow(uint64_t pos, uint32_t length) const
    {
        if (pos < m_nWindowPos || pos - m_nWindowPos > m_nWindowLen ||
            m_nWindowLen - (pos - m_nWindowPos) < length)
            return nullptr;
        return m_window.get() + (pos - m_nWindowPos);
    }

    // Refills the window with the image from pos on. A file that has become shorter than
    // when it was measured leaves the window short, and whatever needed the missing bytes
    // finds them not there.
    uint32_t FillWindow(uint64_t pos)
    {
        if (!m_window)
            m_window = std::make_unique_for_overwrite<unsigned char[]>(kWindowSize);
        m_nWindowLen = 0;
        const size_t wanted = pos < m_nImageSize ? std::min<uint64_t>(kWindowSize, m_nImageSize - pos) : 0;
        size_t got = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(m_fd, m_window.get() + got, wanted - got, static_cast<off_t>(pos + got));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return ERROR_TAPE_IMAGE_UNREADABLE;
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        m_nWindowPos = pos;
        m_nWindowLen = static_cast<uint32_t>(got);
        return ERROR_SUCCESS;
    }

    uint32_t ReadWord(uint64_t pos, uint32_t& word)
    {
        if (const unsigned char* bytes = InWindow(pos, 4)) {
            word = LittleEndian(bytes);
            return ERROR_SUCCESS;
        }
        if (m_bCacheValid && m_nCachePos == pos) {
            word = m_nCacheWord;
            return ERROR_SUCCESS;
        }
        unsigned char bytes[4];
        iovec iov{bytes, sizeof bytes};
        if (uint32_t err = PreadFully(m_fd, &iov, 1, pos))
            return err;
        word = LittleEndian(bytes);
        return ERROR_SUCCESS;
    }

    Item Peek()
    {
        Item item;
        for (;;) {
            if (m_nPos >= m_nImageSize) {
                item.kind = Kind::EndOfData;
                return item;
            }
            if (m_nImageSize - m_nPos < 4) {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_TRUNCATED;
                return item;
            }
            uint32_t word = 0;
            if (uint32_t err = ReadWord(m_nPos, word)) {
                item.kind = Kind::Damaged;
                item.error = err;
                return item;
            }
            if (word == SIMH_ERASE_GAP || word == SIMH_HALF_GAP) {
                m_nPos += 4;
                continue;
            }
            if (word == SIMH_TAPEMARK) {
                item.kind = Kind::Tapemark;
                return item;
            }
            if (word == SIMH_END_OF_MEDIUM) {
                item.kind = Kind::EndOfData;
                return item;
            }
            const uint32_t cls = word >> 28;
            if (cls == 0xF) {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_UNKNOWN_MARKER;
                return item;
            }
            item.kind = Kind::Record;
            item.word = word;
            item.length = word & SIMH_MAX_RECORD;
            item.bad = cls != 0;
            if (RecordEnd(item) > m_nImageSize) {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_TRUNCATED;
            }
            return item;
        }
    }

    // Checks the record's trailing length, then delivers the first `delivered` bytes of its
    // data into dest (0 for none); the next length word, when the image holds one, comes
    // along and is kept for the next Peek. On success the position is past the record;
    // on failure nothing moved and dest is untouched.
    uint32_t TakeRecord(const Item& item, char* dest, uint32_t delivered)
    {
        const uint64_t trailerPos = TrailerPos(item);
        const uint64_t afterRecord = trailerPos + 4;
        const uint32_t nextWord = m_nImageSize - afterRecord >= 4 ? 4 : 0;
        const uint32_t padded = PaddedLength(item.length);
        const unsigned char* tail;
        unsigned char trailer[8];
        if (padded <= kWindowedRecord) {
            // length word, data, pad, trailer and the next length word, all from the window
            const uint32_t span = 4 + padded + 4 + nextWord;
            const unsigned char* record = InWindow(m_nPos, span);
            if (!record) {
                if (uint32_t err = FillWindow(m_nPos))
                    return err;
                record = InWindow(m_nPos, span);
                if (!record)
                    return ERROR_TAPE_IMAGE_TRUNCATED;
            }
            tail = record + 4 + padded;
            if (LittleEndian(tail) != item.word)
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (delivered > 0)
                std::memcpy(dest, record + 4, delivered);
        } else {
            tail = InWindow(trailerPos, 4 + nextWord);
            if (!tail) {
                iovec iov{trailer, 4u + nextWord};
                if (uint32_t err = PreadFully(m_fd, &iov, 1, trailerPos))
                    return err;
                tail = trailer;
            }
            if (LittleEndian(tail) != item.word)
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (delivered > 0) {
                iovec data{dest, delivered};
                if (uint32_t err = PreadFully(m_fd, &data, 1, m_nPos + 4))
                    return err;
            }
        }
        m_nPos = afterRecord;
        m_bCacheValid = nextWord != 0;
        if (m_bCacheValid) {
            m_nCachePos = afterRecord;
            m_nCacheWord = LittleEndian(tail + 4);
        }
        return ERROR_SUCCESS;
    }

    uint32_t ReadVariable(char* buffer, uint32_t size, uint32_t& bytesRead)
    {
        Item item = Peek();
        switch (item.kind) {
        case Kind::Tapemark:
            m_nPos += 4;
            return ERROR_FILEMARK_DETECTED;
        case Kind::EndOfData:
            return ERROR_NO_DATA_DETECTED;
        case Kind::Damaged:
            return item.error;
        case Kind::Record:
            break;
        }
        if (item.bad) {
            // What the image kept of the block comes along, as a drive's bytes might: a copy
            // of the tape keeps it. Only whole: a part could pass for all of it.
            const uint32_t kept = item.length <= size ? item.length : 0;
            if (uint32_t err = TakeRecord(item, buffer, kept))
                return err;
            bytesRead = kept;
            return ERROR_CRC;
        }
        const uint32_t delivered = item.length <= size ? item.length : size;
        if (uint32_t err = TakeRecord(item, buffer, delivered))
            return err;
        bytesRead = delivered;
        if (delivered < item.length) {
            m_nLastBlockLength = item.length;
            return ERROR_MORE_DATA;
        }
        return ERROR_SUCCESS;
    }

    // Whole blocks of the media block size, as many as the request holds. Anything that is
    // not such a block ends the request; when blocks were delivered already they are
    // returned with success and the next read reports what stopped this one.
    uint32_t ReadFixed(char* buffer, uint32_t size, uint32_t& bytesRead)
    {
        if (size % m_nBlockSize != 0)
            return ERROR_INVALID_PARAMETER;
        uint32_t delivered = 0;
        while (size - delivered >= m_nBlockSize) {
            Item item = Peek();
            uint32_t result = ERROR_SUCCESS;
            switch (item.kind) {
            case Kind::Tapemark:
                result = ERROR_FILEMARK_DETECTED;
                break;
            case Kind::EndOfData:
                result = ERROR_NO_DATA_DETECTED;
                break;
            case Kind::Damaged:
                result = item.error;
                break;
            case Kind::Record:
                if (item.bad)
                    result = ERROR_CRC;
                else if (item.length != m_nBlockSize) {
                    result = ERROR_INVALID_BLOCK_LENGTH;
                    if (delivered == 0)
                        m_nLastBlockLength = item.length;
                }
                break;
            }
            if (result != ERROR_SUCCESS) {
                if (delivered > 0)
                    break;
                if (result == ERROR_FILEMARK_DETECTED) {
                    m_nPos += 4;
                } else if (result == ERROR_CRC) {
                    if (uint32_t err = TakeRecord(item, nullptr, 0))
                        return err;
                }
                // a record of another length stays where it is, for a variable-mode read
                return result;
            }
            if (uint32_t err = TakeRecord(item, buffer + delivered, m_nBlockSize)) {
                if (delivered > 0)
                    break;  // the damage is reported by the next read
                return err;
            }
            delivered += m_nBlockSize;
        }
        bytesRead = delivered;
        return ERROR_SUCCESS;
    }

    uint32_t SpaceFilemarks(uint64_t count)
    {
        while (count > 0) {
            Item item = Peek();
            switch (item.kind) {
            case Kind::Tapemark:
                m_nPos += 4;
                --count;
                break;
            case Kind::EndOfData:
                return ERROR_NO_DATA_DETECTED;
            case Kind::Damaged:
                return item.error;
            case Kind::Record:
                if (uint32_t err = TakeRecord(item, nullptr, 0))
                    return err;
                break;
            }
        }
        return ERROR_SUCCESS;
    }

    uint32_t SpaceRecords(uint64_t count)
    {
        for (; count > 0; --count) {
            Item item = Peek();
            switch (item.kind) {
            case Kind::Tapemark:
                m_nPos += 4;
                return ERROR_FILEMARK_DETECTED;
            case Kind::EndOfData:
                return ERROR_NO_DATA_DETECTED;
            case Kind::Damaged:
                return item.error;
            case Kind::Record:
                if (uint32_t err = TakeRecord(item, nullptr, 0))
                    return err;
                break;
            }
        }
        return ERROR_SUCCESS;
    }

    uint32_t SpaceRecordsBack(uint64_t count)
    {
        while (count > 0) {
            if (m_nPos < 4)
                return m_nPos == 0 ? ERROR_BEGINNING_OF_MEDIA : ERROR_TAPE_IMAGE_INCONSISTENT;
            uint32_t word = 0;
            if (uint32_t err = ReadWord(m_nPos - 4, word))
                return err;
            if (word == SIMH_ERASE_GAP || word == SIMH_HALF_GAP) {
                m_nPos -= 4;
                continue;
            }
            if (word == SIMH_TAPEMARK) {
                m_nPos -= 4;
                return ERROR_FILEMARK_DETECTED;
            }
            if (uint32_t err = StepBackOverRecord(word))
                return err;
            --count;
        }
        return ERROR_SUCCESS;
    }

    // The record whose trailing length word (trailer) ends just before the position: back
    // to its leading length word, which must say the same. Nothing moves on a mismatch.
    uint32_t StepBackOverRecord(uint32_t trailer)
    {
        if (trailer == SIMH_END_OF_MEDIUM || trailer >> 28 == 0xF)
            return ERROR_TAPE_IMAGE_INCONSISTENT;
        const uint64_t span = 8 + uint64_t{PaddedLength(trailer & SIMH_MAX_RECORD)};
        if (span > m_nPos)
            return ERROR_TAPE_IMAGE_INCONSISTENT;
        uint32_t leading = 0;
        if (uint32_t err = ReadWord(m_nPos - span, leading))
            return err;
        if (leading != trailer)
            return ERROR_TAPE_IMAGE_INCONSISTENT;
        m_nPos -= span;
        return ERROR_SUCCESS;
    }

    UniqueFd m_file;
    const int m_fd;  // m_file's descriptor, for the reads
    InUseImages::Key m_key;
    uint64_t m_nImageSize;
    VirtualDriveOptions m_options;
    // The read-ahead window: m_nWindowLen bytes of the image from m_nWindowPos on.
    std::unique_ptr<unsigned char[]> m_window;
    uint64_t m_nWindowPos = 0;
    uint32_t m_nWindowLen = 0;
    bool m_bLoaded = true;
    uint64_t m_nPos = 0;
    uint32_t m_nBlockSize = 0;  // media block size: 0 variable, else fixed blocks
    uint32_t m_nLastBlockLength = 0;  // of the block the last Read could not give whole
    // The length word read ahead with the previous long record.
    bool m_bCacheValid = false;
    uint64_t m_nCachePos = 0;
    uint32_t m_nCacheWord = 0;
};

} // namespace

TapeDevicePtr OpenVirtualDrive(const std::string& image, const VirtualDriveOptions& options,
                               uint32_t& error)
{
    // O_NONBLOCK: a FIFO given as the image would block the open until a writer came,
    // beyond the reach of a break. Only regular files are images; the flag is cleared again
    // once that is known.
    UniqueFd file(RetryOnInterrupt([&] { return ::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    const int fd = file.get();
    if (fd < 0) {
        error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = ErrorFromErrno(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_NOT_REGULAR_FILE;
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = ErrorFromErrno(errno);
        return nullptr;
    }
    const InUseImages::Key key{st.st_dev, st.st_ino};
    if (!inUse().Claim(key)) {
        error = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    // Other processes are kept out too; where the file system has no locks, this process's
    // own register is all there is.
    if (RetryOnInterrupt([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0 && errno == EWOULDBLOCK) {
        inUse().Release(key);
        error = ERROR_SHARING_VIOLATION;
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return std::make_unique<SimhTapeDrive>(std::move(file), key, static_cast<uint64_t>(st.st_size), options);
}
