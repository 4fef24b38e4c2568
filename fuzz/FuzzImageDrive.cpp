// The image drive under libFuzzer, held to the results table of platform/TapeDevice.h, one
// target per image format (KV_FUZZ_FORMAT: 0 simh, 1 e11, 2 aws, 3 het, 4 tpc), the drive
// opened in that format whatever the bytes.
//
// Input: byte 0 picks the drive options, byte 1 the number of operations (up to 32), then
// two bytes per operation (what, argument); the rest is the image. The image goes into
// a memfd that the drive opens through /proc/self/fd, so no file system is involved.
//
// Besides "no crash": bytesRead never above size, nothing written past bytesRead (a guard
// pattern covers the buffer and beyond), the data are the image's bytes of the record just
// passed, the position (Capacity - Remaining) moves only as the table allows, and the
// results the table promises to repeat (damage, end of data, a block of the wrong length)
// do repeat. The checks against the image's own words (the data, what stands before the
// position) are made for the SIMH layouts, whose records the fuzzer can find by itself.
#include "platform/Errors.h"
#include "platform/ImageFormat.h"
#include "platform/SimhTape.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

#define CHECK(cond)                                                               \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

constexpr uint32_t kBufferSize = 1u << 17;
constexpr uint32_t kGuard = 64;
constexpr unsigned char kFill = 0xA5;
constexpr size_t kMaxOps = 32;

#ifndef KV_FUZZ_FORMAT
#define KV_FUZZ_FORMAT 0
#endif
constexpr ImageFormat kFormat = kImageFormats[KV_FUZZ_FORMAT];
// SIMH and E11: the fuzzer follows the image's words itself and checks the data.
constexpr bool kSimhLayout = kFormat == ImageFormat::Simh || kFormat == ImageFormat::E11;

// Read sizes: 0 and odd sizes for the parameter checks, both sides of the drive's staging
// limit (16 KiB) and a buffer larger than any record the fuzzer makes.
constexpr uint32_t kReadSizes[] = {0, 1, 2, 3, 80, 512, 16384, 17000, 65536, kBufferSize};
// Media block sizes to ask for; the last two are replaced by the drive's own and one past
// its maximum.
constexpr uint32_t kBlockSizes[] = {0, 1, 2, 3, 80, 512, 17000, 0, 0};
constexpr uint32_t kFixedSizes[] = {0, 0, 0, 1, 2, 4, 80, 512};
constexpr uint32_t kMaxSizes[] = {kMaxTapeBlockSize, 0, 16, 20000};

// memcmp, which must not be given the null data() of an empty vector.
bool SameBytes(const unsigned char* a, const unsigned char* b, size_t n)
{
    return n == 0 || std::memcmp(a, b, n) == 0;
}

uint32_t PaddedLength(uint32_t length)
{
    return kFormat == ImageFormat::Simh ? length + (length & 1) : length;
}

uint32_t WordAt(const std::vector<unsigned char>& image, uint64_t pos)
{
    CHECK(pos + 4 <= image.size());
    return uint32_t{image[pos]} | uint32_t{image[pos + 1]} << 8 | uint32_t{image[pos + 2]} << 16 |
           uint32_t{image[pos + 3]} << 24;
}

bool IsGap(uint32_t word)
{
    return word == SIMH_ERASE_GAP || word == SIMH_HALF_GAP;
}

class Session {
public:
    Session(TapeDevice& drive, const std::vector<unsigned char>& image, const VirtualDriveOptions& options)
        : m_drive(drive), m_image(image), m_options(options), m_buffer(kBufferSize + kGuard),
          m_blockSize(options.fixedBlockSize)
    {
    }

    // The first read after the open, with the size the drive's own block size allows; a
    // rewind or a load must lead back to exactly this.
    void TakeReference()
    {
        m_refSize = m_options.fixedBlockSize ? m_options.fixedBlockSize : 65536;
        m_refError = ReadChecked(m_refSize, m_refBytes);
        m_refData.assign(m_buffer.begin(), m_buffer.begin() + m_refBytes);
        CHECK(Rewind() == ERROR_SUCCESS);
    }

    void Run(const uint8_t* ops, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            Step(ops[2 * i], ops[2 * i + 1]);
    }

private:
    // The position as the media parameters give it; -1 when no tape is loaded.
    int64_t Position()
    {
        TAPE_GET_MEDIA_PARAMETERS media;
        const uint32_t err = m_drive.GetMediaParameters(media);
        if (err == ERROR_NO_MEDIA_IN_DRIVE) {
            CHECK(!m_loaded);
            return -1;
        }
        CHECK(err == ERROR_SUCCESS && m_loaded);
        CHECK(media.Capacity == static_cast<int64_t>(m_image.size()));
        CHECK(media.Remaining >= 0 && media.Remaining <= media.Capacity);
        CHECK(media.BlockSize == m_blockSize);
        return media.Capacity - media.Remaining;
    }

    uint32_t Rewind() { return m_drive.SetTapePosition(TAPE_REWIND, 0, 0, 0, false); }

    uint32_t Space(uint32_t method, int64_t count)
    {
        const auto n = static_cast<uint64_t>(count);
        return m_drive.SetTapePosition(method, 0, static_cast<uint32_t>(n), static_cast<uint32_t>(n >> 32), false);
    }

    // One Read with every check that needs nothing but the call itself.
    uint32_t ReadChecked(uint32_t size, uint32_t& bytesRead)
    {
        CHECK(size <= kBufferSize);
        // The guard: the request and kGuard bytes past it.
        const size_t guarded = size_t{size} + kGuard;
        std::memset(m_buffer.data(), kFill, guarded);
        const int64_t before = Position();
        bytesRead = 0xDEADBEEF;
        const uint32_t err = m_drive.Read(m_buffer.data(), size, bytesRead);
        const int64_t after = Position();
        CHECK(bytesRead <= size);
        // The image drive writes nothing but the data it reports.
        static const std::vector<unsigned char> untouched(kBufferSize + kGuard, kFill);
        CHECK(std::memcmp(m_buffer.data() + bytesRead, untouched.data(), guarded - bytesRead) == 0);
        // Data come with success, with a block too long, and with a bad record's stored bytes.
        if (err != ERROR_MORE_DATA && err != ERROR_CRC)
            CHECK(err == ERROR_SUCCESS || bytesRead == 0);
        const uint32_t lastLength = m_drive.LastBlockLength();

        switch (err) {
        case ERROR_SUCCESS:
            CHECK(bytesRead > 0);
            if (!kSimhLayout) {
                CHECK(m_blockSize == 0 || bytesRead % m_blockSize == 0);
            } else if (m_blockSize == 0) {
                CheckRecordData(after, bytesRead, bytesRead);
            } else {
                // A fixed-block read looks past the gaps after its last block for the next.
                int64_t end = after;
                while (end >= 4 && IsGap(WordAt(m_image, static_cast<uint64_t>(end) - 4)))
                    end -= 4;
                CHECK(bytesRead % m_blockSize == 0);
                CheckRecordData(end, m_blockSize, m_blockSize, bytesRead - m_blockSize);
            }
            CHECK(lastLength == 0);
            break;
        case ERROR_MORE_DATA:
            CHECK(m_blockSize == 0 && bytesRead == size && lastLength > size);
            if (kSimhLayout)
                CheckRecordData(after, lastLength, size);
            break;
        case ERROR_INVALID_BLOCK_LENGTH:
            CHECK(m_blockSize != 0 && lastLength != 0 && lastLength != m_blockSize);
            break;
        case ERROR_INVALID_PARAMETER:
            CHECK(size == 0 || (m_blockSize != 0 && size % m_blockSize != 0));
            CHECK(after == before);
            break;
        case ERROR_NO_MEDIA_IN_DRIVE:
            CHECK(!m_loaded);
            break;
        case ERROR_FILEMARK_DETECTED:
            CHECK(after > before);
            if (kSimhLayout)
                CHECK(after >= 4 && WordAt(m_image, static_cast<uint64_t>(after) - 4) == SIMH_TAPEMARK);
            break;
        case ERROR_CRC:
            CHECK(kFormat == ImageFormat::Simh || kFormat == ImageFormat::E11);  // only they mark bad records
            CHECK(after >= 8 && (WordAt(m_image, static_cast<uint64_t>(after) - 4) >> 28) != 0);
            if (bytesRead > 0) {  // only a whole bad record, read in variable mode
                CHECK(m_blockSize == 0);
                CheckRecordData(after, bytesRead, bytesRead, 0, true);
            }
            break;
        case ERROR_NO_DATA_DETECTED:
        case ERROR_TAPE_IMAGE_BAD_COMPRESSION:
        case ERROR_TAPE_IMAGE_TRUNCATED:
        case ERROR_TAPE_IMAGE_INCONSISTENT:
        case ERROR_TAPE_IMAGE_UNKNOWN_MARKER:
            break;
        default:
            std::fprintf(stderr, "Read gave %u\n", err);
            CHECK(!"a result the table does not list");
        }
        if (err != ERROR_MORE_DATA && err != ERROR_INVALID_BLOCK_LENGTH)
            CHECK(lastLength == 0);
        if (m_loaded && err != ERROR_INVALID_PARAMETER)
            CHECK(after >= before);
        return err;
    }

    // The record that ends at end (its trailer just before it) holds `length` bytes, and its
    // first `delivered` of them are in the buffer at offset at.
    void CheckRecordData(int64_t end, uint32_t length, uint32_t delivered, uint32_t at = 0, bool bad = false)
    {
        const uint64_t span = 8 + uint64_t{PaddedLength(length)};
        CHECK(end >= 0 && static_cast<uint64_t>(end) >= span);
        const uint64_t start = static_cast<uint64_t>(end) - span;
        const uint32_t word = WordAt(m_image, start);
        CHECK(word == WordAt(m_image, static_cast<uint64_t>(end) - 4));
        if (bad)  // any class but good data and the markers, with this length
            CHECK((word >> 28) != 0 && (word >> 28) != 0xF && (word & SIMH_MAX_RECORD) == length);
        else
            CHECK(word == length);  // class 0: good data
        CHECK(SameBytes(m_buffer.data() + at, m_image.data() + start + 4, delivered));
    }

    // What the table says stays put and repeats: a second read gives the same and ends
    // where the first ended.
    void CheckRepeats(uint32_t size, uint32_t err)
    {
        const int64_t first = Position();
        uint32_t bytesRead = 0;
        CHECK(ReadChecked(size, bytesRead) == err);
        CHECK(Position() == first);
    }

    void Read(uint32_t size)
    {
        const int64_t before = Position();
        uint32_t bytesRead = 0;
        const uint32_t err = ReadChecked(size, bytesRead);
        switch (err) {
        case ERROR_NO_DATA_DETECTED:
        case ERROR_INVALID_BLOCK_LENGTH:
        case ERROR_TAPE_IMAGE_BAD_COMPRESSION:
        case ERROR_TAPE_IMAGE_TRUNCATED:
        case ERROR_TAPE_IMAGE_INCONSISTENT:
        case ERROR_TAPE_IMAGE_UNKNOWN_MARKER:
            CheckRepeats(size, err);
            break;
        case ERROR_SUCCESS:
        case ERROR_MORE_DATA:
        case ERROR_CRC:
        case ERROR_FILEMARK_DETECTED:
            SpaceBackAndReread(before, size, err, bytesRead);
            break;
        default:
            break;
        }
    }

    // Spacing back over what a read passed and reading again gives the same again.
    void SpaceBackAndReread(int64_t before, uint32_t size, uint32_t err, uint32_t bytesRead)
    {
        const int64_t after = Position();
        const std::vector<unsigned char> data(m_buffer.begin(), m_buffer.begin() + bytesRead);
        const int64_t blocks = err == ERROR_SUCCESS && m_blockSize != 0 ? bytesRead / m_blockSize : 1;
        const uint32_t back = Space(TAPE_SPACE_RELATIVE_BLOCKS, -blocks);
        CHECK(back == (err == ERROR_FILEMARK_DETECTED ? ERROR_FILEMARK_DETECTED : ERROR_SUCCESS));
        const int64_t between = Position();
        CHECK(between >= before && between < after);
        uint32_t again = 0;
        CHECK(ReadChecked(size, again) == err);
        CHECK(again == bytesRead && SameBytes(m_buffer.data(), data.data(), again));
        CHECK(Position() == after);
    }

    // After a result that leaves the tape at the end of the data, a read finds it there.
    void CheckAtEnd()
    {
        uint32_t bytesRead = 0;
        CHECK(ReadChecked(m_blockSize ? m_blockSize : 1, bytesRead) == ERROR_NO_DATA_DETECTED);
    }

    static int64_t Count(uint8_t arg)
    {
        if (arg == 0x7F)
            return INT64_MAX;
        if (arg == 0x80)
            return INT64_MIN;
        return static_cast<int8_t>(arg);
    }

    void SpaceFilemarks(int64_t count)
    {
        const int64_t before = Position();
        const uint32_t err = Space(TAPE_SPACE_FILEMARKS, count);
        const int64_t after = Position();
        if (!m_loaded) {
            CHECK(err == ERROR_NO_MEDIA_IN_DRIVE);
            return;
        }
        if (count <= 0) {
            CHECK(err == (count < 0 ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS));
            CHECK(after == before);
            return;
        }
        switch (err) {
        case ERROR_SUCCESS:
            if (kSimhLayout)
                CHECK(after >= 4 && WordAt(m_image, static_cast<uint64_t>(after) - 4) == SIMH_TAPEMARK);
            break;
        case ERROR_NO_DATA_DETECTED:
            CheckAtEnd();
            break;
        case ERROR_TAPE_IMAGE_BAD_COMPRESSION:
        case ERROR_TAPE_IMAGE_TRUNCATED:
        case ERROR_TAPE_IMAGE_INCONSISTENT:
        case ERROR_TAPE_IMAGE_UNKNOWN_MARKER:
            break;
        default:
            CHECK(!"a result the table does not list");
        }
        CHECK(after >= before);
    }

    void SpaceRecords(int64_t count)
    {
        const int64_t before = Position();
        const uint32_t err = Space(TAPE_SPACE_RELATIVE_BLOCKS, count);
        const int64_t after = Position();
        if (!m_loaded) {
            CHECK(err == ERROR_NO_MEDIA_IN_DRIVE);
            return;
        }
        if (count == 0) {
            CHECK(err == ERROR_SUCCESS && after == before);
            return;
        }
        switch (err) {
        case ERROR_SUCCESS:
            break;
        case ERROR_FILEMARK_DETECTED:
            if (count < 0) {
                uint32_t bytesRead = 0;
                CHECK(ReadChecked(m_blockSize ? m_blockSize : 1, bytesRead) == ERROR_FILEMARK_DETECTED);
            } else if (kSimhLayout) {
                CHECK(after >= 4 && WordAt(m_image, static_cast<uint64_t>(after) - 4) == SIMH_TAPEMARK);
            }
            break;
        case ERROR_BEGINNING_OF_MEDIA:
            CHECK(count < 0 && after == 0);
            break;
        case ERROR_NO_DATA_DETECTED:
            CHECK(count > 0);
            CheckAtEnd();
            break;
        case ERROR_TAPE_IMAGE_BAD_COMPRESSION:
        case ERROR_TAPE_IMAGE_TRUNCATED:
        case ERROR_TAPE_IMAGE_INCONSISTENT:
        case ERROR_TAPE_IMAGE_UNKNOWN_MARKER:
            break;
        default:
            CHECK(!"a result the table does not list");
        }
        CHECK(count > 0 ? after >= before : after <= before);
    }

    void SetBlockSize(uint8_t arg)
    {
        const size_t n = sizeof kBlockSizes / sizeof kBlockSizes[0];
        uint32_t size = kBlockSizes[arg % n];
        const uint32_t maximum = m_options.maxBlockSize == 0 ? kMaxTapeBlockSize : m_options.maxBlockSize;
        if (arg % n == n - 2)
            size = m_options.fixedBlockSize;
        else if (arg % n == n - 1)
            size = maximum + 1;
        const int64_t before = Position();
        const uint32_t err = m_drive.SetMediaParameters(TAPE_SET_MEDIA_PARAMETERS{size});
        if (!m_loaded) {
            CHECK(err == ERROR_NO_MEDIA_IN_DRIVE);
            return;
        }
        const bool possible = m_options.fixedBlockSize ? size == m_options.fixedBlockSize : size <= maximum;
        CHECK(err == (possible ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER));
        if (possible)
            m_blockSize = size;
        CHECK(Position() == before);  // also compares the block size
    }

    void CheckDriveParameters()
    {
        const int64_t before = Position();
        TAPE_GET_DRIVE_PARAMETERS drive;
        const uint32_t err = m_drive.GetDriveParameters(drive);
        if (!m_loaded) {
            CHECK(err == ERROR_NO_MEDIA_IN_DRIVE);
            return;
        }
        CHECK(err == ERROR_SUCCESS);
        CHECK(drive.MinimumBlockSize <= drive.MaximumBlockSize && drive.MaximumBlockSize <= kMaxTapeBlockSize);
        CHECK(((drive.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK) != 0) == (m_options.fixedBlockSize == 0));
        CHECK(Position() == before);
    }

    // Back at the beginning with the drive's own block size, the first read is the one
    // after the open.
    void CheckReference()
    {
        if (m_blockSize != m_options.fixedBlockSize)
            return;
        uint32_t bytesRead = 0;
        CHECK(ReadChecked(m_refSize, bytesRead) == m_refError);
        CHECK(bytesRead == m_refBytes && SameBytes(m_buffer.data(), m_refData.data(), bytesRead));
    }

    void Prepare(uint8_t arg)
    {
        switch (arg % 3) {
        case 0:
            CHECK(m_drive.PrepareTape(TAPE_UNLOAD, false) == (m_loaded ? ERROR_SUCCESS : ERROR_NO_MEDIA_IN_DRIVE));
            m_loaded = false;
            Position();
            break;
        case 1:
            CHECK(m_drive.PrepareTape(TAPE_LOAD, false) == ERROR_SUCCESS);
            m_loaded = true;
            m_blockSize = m_options.fixedBlockSize;
            CHECK(Position() == 0);
            CheckReference();
            break;
        default:
            CHECK(m_drive.PrepareTape(7, false) == (m_loaded ? ERROR_NOT_SUPPORTED : ERROR_NO_MEDIA_IN_DRIVE));
            break;
        }
    }

    void Step(uint8_t what, uint8_t arg)
    {
        switch (what % 8) {
        case 0:
        case 1:
            Read(kReadSizes[arg % (sizeof kReadSizes / sizeof kReadSizes[0])]);
            break;
        case 2: {
            // whole blocks of the size in use
            const uint32_t block = m_blockSize ? m_blockSize : 1 + arg % 64;
            const uint32_t blocks = std::max<uint32_t>(1, std::min<uint32_t>(1 + (arg & 3), kBufferSize / block));
            Read(block * blocks);
            break;
        }
        case 3:
            SpaceFilemarks(Count(arg));
            break;
        case 4:
            SpaceRecords(Count(arg));
            break;
        case 5: {
            const uint32_t err = Rewind();
            CHECK(err == (m_loaded ? ERROR_SUCCESS : ERROR_NO_MEDIA_IN_DRIVE));
            if (m_loaded) {
                CHECK(Position() == 0);
                CheckReference();
            }
            break;
        }
        case 6:
            if (arg & 1)
                CheckDriveParameters();
            else
                SetBlockSize(arg >> 1);
            break;
        default:
            Prepare(arg);
            break;
        }
    }

    TapeDevice& m_drive;
    const std::vector<unsigned char>& m_image;
    const VirtualDriveOptions m_options;
    std::vector<unsigned char> m_buffer;
    bool m_loaded = true;
    uint32_t m_blockSize;  // the media block size the drive should be using
    uint32_t m_refSize = 0;
    uint32_t m_refError = 0;
    uint32_t m_refBytes = 0;
    std::vector<unsigned char> m_refData;
};

// One memfd for the whole run, refilled for each input.
int ImageFd()
{
    static const int fd = [] {
        const int made = ::memfd_create("kv-fuzz-image", MFD_CLOEXEC);
        if (made < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        return made;
    }();
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    VirtualDriveOptions options;
    options.format = kFormat;
    options.fixedBlockSize = kFixedSizes[data[0] & 7];
    options.maxBlockSize = kMaxSizes[(data[0] >> 3) & 3];
    const size_t ops = std::min<size_t>(data[1] % (kMaxOps + 1), (size - 2) / 2);
    const std::vector<unsigned char> image(data + 2 + 2 * ops, data + size);

    const int fd = ImageFd();
    CHECK(::ftruncate(fd, 0) == 0);
    CHECK(image.empty() || ::pwrite(fd, image.data(), image.size(), 0) == static_cast<ssize_t>(image.size()));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    uint32_t error = 0;
    TapeDevicePtr drive = OpenVirtualDrive(path, options, error);
    CHECK(drive && error == ERROR_SUCCESS);
    // A drive is opened once at a time.
    uint32_t second = 0;
    CHECK(!OpenVirtualDrive(path, options, second) && second == ERROR_SHARING_VIOLATION);

    Session session(*drive, image, options);
    session.TakeReference();
    session.Run(data + 2, ops);
    return 0;
}
