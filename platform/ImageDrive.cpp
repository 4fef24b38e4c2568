// The virtual tape drive: a tape image, in any format the image-format layer reads, answering
// as platform/TapeDevice.h says a drive does. The reader (platform/ImageReader.h) finds the
// records and marks; this turns them into the drive's answers:
//   tapemark            ERROR_FILEMARK_DETECTED, 0 bytes, positioned after it
//   end of the data     ERROR_NO_DATA_DETECTED, the position stays there
//   good record         the data
//   bad record          ERROR_CRC, positioned after the record; in variable-block mode with
//                       the record's bytes when they fit the buffer, else 0
//   damage              the reader's error, the position before the damage, so reading on
//                       gives the same error again instead of data from a place that cannot
//                       be trusted
// Spacing by records counts every record, good or bad: forwards it stops just after a
// tapemark (ERROR_FILEMARK_DETECTED) or at the end of the data (ERROR_NO_DATA_DETECTED);
// backwards it stops just before a tapemark and at the beginning (ERROR_BEGINNING_OF_MEDIA).
// In fixed-block mode a record of the block size is the data; one of another length gives
// ERROR_INVALID_BLOCK_LENGTH, 0 bytes, the position stays before it (st spaces back over
// such a block too).
#include "platform/ImageDrive.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageReader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
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

class ImageTapeDrive final : public TapeDevice {
public:
    ImageTapeDrive(UniqueFd file, InUseImages::Key key, uint64_t size, ImageReaderPtr reader,
                   const VirtualDriveOptions& options)
        : m_file(std::move(file)), m_fd(m_file.get()), m_key(key), m_nImageSize(size), m_reader(std::move(reader)),
          m_options(options)
    {
        if (m_options.maxBlockSize == 0 || m_options.maxBlockSize > kMaxTapeBlockSize)
            m_options.maxBlockSize = kMaxTapeBlockSize;
        m_nBlockSize = m_options.fixedBlockSize;
    }

    ~ImageTapeDrive() override
    {
        m_file.Reset();  // drops the flock as well
        inUse().Release(m_key);
    }

    ImageTapeDrive(const ImageTapeDrive&) = delete;
    ImageTapeDrive& operator=(const ImageTapeDrive&) = delete;

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
        params.Remaining = static_cast<int64_t>(m_nImageSize - std::min(m_nImageSize, m_reader->Position()));
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
            m_reader->Rewind();
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
            m_reader->Load(m_nImageSize);
            m_nBlockSize = m_options.fixedBlockSize;
            return ERROR_SUCCESS;
        }
        case TAPE_UNLOAD:
            if (!m_bLoaded)
                return ERROR_NO_MEDIA_IN_DRIVE;
            m_bLoaded = false;
            m_reader->Rewind();
            return ERROR_SUCCESS;
        default:
            return m_bLoaded ? ERROR_NOT_SUPPORTED : ERROR_NO_MEDIA_IN_DRIVE;
        }
    }

    uint32_t LastBlockLength() const override { return m_nLastBlockLength; }

    bool MediumProgress(uint64_t& done, uint64_t& total) const override
    {
        total = m_nImageSize;
        done = std::min(m_nImageSize, m_reader->Position());
        return total > 0;
    }

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
    using Kind = ImageReader::Kind;
    using Item = ImageReader::Item;

    uint32_t ReadVariable(char* buffer, uint32_t size, uint32_t& bytesRead)
    {
        Item item = m_reader->Peek();
        switch (item.kind) {
        case Kind::Tapemark:
            if (uint32_t err = m_reader->Take(item, nullptr, 0))
                return err;
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
            if (uint32_t err = m_reader->Take(item, buffer, kept))
                return err;
            bytesRead = kept;
            return ERROR_CRC;
        }
        const uint32_t delivered = item.length <= size ? item.length : size;
        if (uint32_t err = m_reader->Take(item, buffer, delivered))
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
            Item item = m_reader->Peek();
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
                if (result == ERROR_FILEMARK_DETECTED || result == ERROR_CRC) {
                    if (uint32_t err = m_reader->Take(item, nullptr, 0))
                        return err;
                }
                // a record of another length stays where it is, for a variable-mode read
                return result;
            }
            if (uint32_t err = m_reader->Take(item, buffer + delivered, m_nBlockSize)) {
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
            Item item = m_reader->Peek();
            switch (item.kind) {
            case Kind::Tapemark:
                --count;
                [[fallthrough]];
            case Kind::Record:
                if (uint32_t err = m_reader->Take(item, nullptr, 0))
                    return err;
                break;
            case Kind::EndOfData:
                return ERROR_NO_DATA_DETECTED;
            case Kind::Damaged:
                return item.error;
            }
        }
        return ERROR_SUCCESS;
    }

    uint32_t SpaceRecords(uint64_t count)
    {
        for (; count > 0; --count) {
            Item item = m_reader->Peek();
            switch (item.kind) {
            case Kind::Tapemark:
                if (uint32_t err = m_reader->Take(item, nullptr, 0))
                    return err;
                return ERROR_FILEMARK_DETECTED;
            case Kind::EndOfData:
                return ERROR_NO_DATA_DETECTED;
            case Kind::Damaged:
                return item.error;
            case Kind::Record:
                if (uint32_t err = m_reader->Take(item, nullptr, 0))
                    return err;
                break;
            }
        }
        return ERROR_SUCCESS;
    }

    uint32_t SpaceRecordsBack(uint64_t count)
    {
        for (; count > 0; --count) {
            if (uint32_t err = m_reader->StepBack())
                return err;  // a tapemark (before it), the beginning, or damage
        }
        return ERROR_SUCCESS;
    }

    UniqueFd m_file;
    const int m_fd;  // m_file's descriptor
    InUseImages::Key m_key;
    uint64_t m_nImageSize;
    ImageReaderPtr m_reader;  // reads m_fd: goes before m_file closes it
    VirtualDriveOptions m_options;
    bool m_bLoaded = true;
    uint32_t m_nBlockSize = 0;  // media block size: 0 variable, else fixed blocks
    uint32_t m_nLastBlockLength = 0;  // of the block the last Read could not give whole
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
    // The format: the one asked for, else the one the content shows.
    std::optional<ImageFormat> format = options.format;
    if (!format) {
        format = DetectOpenImageFormat(fd, static_cast<uint64_t>(st.st_size), image, error);
        if (!format) {
            inUse().Release(key);
            return nullptr;
        }
    }
    ImageReaderPtr reader = MakeImageReader(*format, fd, static_cast<uint64_t>(st.st_size));
    if (!reader) {
        inUse().Release(key);
        error = ERROR_NOT_SUPPORTED;
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return std::make_unique<ImageTapeDrive>(std::move(file), key, static_cast<uint64_t>(st.st_size),
                                            std::move(reader), options);
}
