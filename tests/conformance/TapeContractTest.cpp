// The tape device contract of platform/TapeDevice.h, held against every backend: the image
// drive over an image of each format made for the test, and the st drive over the fake kernel. Each backend
// builds the same tape; only what both must answer alike is checked here (what is each
// backend's own stays in its own tests).
#include "platform/Errors.h"
#include "platform/ImageDrive.h"
#include "platform/ImageEncoder.h"
#include "platform/linux/LinuxTape.h"
#include "tests/common/TestSupport.h"
#include "tests/st/FakeSt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int FM = FakeSt::kFilemark;
constexpr int BAD = FakeSt::kBadBlock;
constexpr char kUntouched = '\x5A';

// A tape as the fake st holds it: block lengths, FM, BAD. Every block's data is its length
// in its first four bytes, then 0xA5 (what the fake delivers; the image is written so).
using Tape = std::vector<int>;

std::string BlockData(uint32_t length)
{
    std::string data(length, '\xA5');
    std::memcpy(data.data(), &length, std::min<size_t>(length, sizeof length));
    return data;
}

class Backend {
public:
    virtual ~Backend() = default;
    // A variable-block drive holding the tape, at its beginning.
    virtual TapeDevicePtr Open(const Tape& tape) = 0;
};

// The image drive over an image of the format, written by the format's encoder. A format
// without a bad-record mark gets an ordinary record in a bad block's place (the tests that
// read a bad block are skipped for it).
class ImageBackend : public Backend {
public:
    explicit ImageBackend(ImageFormat format) : m_format(format) {}

    TapeDevicePtr Open(const Tape& tape) override
    {
        const std::string path = m_dir / "tape.img";
        ImageEncoderPtr encoder =
            m_format == ImageFormat::Tpc ? MakeTpcEncoder() : MakeImageEncoder(m_format, ImageCompression::None);
        if (!encoder)
            throw std::runtime_error("no encoder");
        MemoryImageSink sink;
        for (int item : tape) {
            uint32_t err = 0;
            if (item == FM) {
                err = encoder->Tapemark(sink);
            } else if (item == BAD) {
                const std::string data = CanMarkBadRecords(m_format) ? "unreadable" : BlockData(99);
                err = encoder->Record(sink, data.data(), static_cast<uint32_t>(data.size()), true);
            } else {
                const std::string data = BlockData(static_cast<uint32_t>(item));
                err = encoder->Record(sink, data.data(), static_cast<uint32_t>(data.size()), false);
            }
            EXPECT_EQ(err, ERROR_SUCCESS);
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(sink.bytes.data()), static_cast<std::streamsize>(sink.bytes.size()));
        VirtualDriveOptions options;
        options.format = m_format;
        uint32_t error = 99;
        TapeDevicePtr device = OpenVirtualDrive(path, options, error);
        EXPECT_EQ(error, ERROR_SUCCESS);
        return device;
    }

private:
    ImageFormat m_format;
    TempDir m_dir;
};

class StBackend : public Backend {
public:
    TapeDevicePtr Open(const Tape& tape) override
    {
        m_st.tape = tape;
        m_st.scsi = BlockLimitsAnswer(0xFFFFFF, 1);
        ScsiDevice drive;
        drive.stNode = "/dev/nst0";
        drive.sgNode = "/dev/sg0";
        uint32_t error = 99;
        TapeDevicePtr device = OpenLinuxTape(drive, 1u << 24, m_st, error);
        EXPECT_EQ(error, ERROR_SUCCESS);
        return device;
    }

private:
    FakeSt m_st;
};

struct BackendKind {
    const char* name;
    std::function<std::unique_ptr<Backend>()> make;
    bool badBlocks = true;  // a bad block reads as a data error
};

void PrintTo(const BackendKind& kind, std::ostream* os) { *os << kind.name; }

const BackendKind kBackends[] = {
    {"Simh", [] { return std::make_unique<ImageBackend>(ImageFormat::Simh); }},
    {"E11", [] { return std::make_unique<ImageBackend>(ImageFormat::E11); }},
    {"Aws", [] { return std::make_unique<ImageBackend>(ImageFormat::Aws); }, false},
    {"Het", [] { return std::make_unique<ImageBackend>(ImageFormat::Het); }, false},
    {"Tpc", [] { return std::make_unique<ImageBackend>(ImageFormat::Tpc); }, false},
    {"St", [] { return std::make_unique<StBackend>(); }},
};

// One read's outcome: the error, and the block lengths found in the data (a fixed-block
// read can bring several).
struct Outcome {
    uint32_t error;
    uint32_t bytes;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o)
{
    return os << "{error " << o.error << ", " << o.bytes << " bytes}";
}

Outcome Data(uint32_t bytes) { return {ERROR_SUCCESS, bytes}; }
Outcome Fail(uint32_t error) { return {error, 0}; }

class TapeContract : public ::testing::TestWithParam<BackendKind> {
protected:
    TapeDevice& Load(const Tape& tape)
    {
        m_backend = GetParam().make();
        m_device = m_backend->Open(tape);
        if (!m_device)
            throw std::runtime_error("the drive did not open");
        return *m_device;
    }

    // Reads with a buffer of size bytes and checks what every read promises: bytesRead is
    // never more than size, 0 on an error, the data are the blocks of the tape (each of
    // blockSize bytes in fixed-block mode, else one), and nothing past size is written.
    Outcome Read(uint32_t size, uint32_t blockSize = 0)
    {
        std::string buffer(size + 64, kUntouched);
        uint32_t bytes = 12345;
        const uint32_t error = m_device->Read(buffer.data(), size, bytes);
        EXPECT_LE(bytes, size);
        EXPECT_EQ(buffer.substr(size), std::string(64, kUntouched)) << "written past the request";
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA && error != ERROR_CRC) {
            EXPECT_EQ(bytes, 0u) << "error " << error;
        }
        if (error == ERROR_SUCCESS && bytes > 0) {
            const uint32_t block = blockSize != 0 ? blockSize : bytes;
            EXPECT_EQ(bytes % block, 0u);
            for (uint32_t at = 0; at + block <= bytes; at += block)
                EXPECT_EQ(buffer.substr(at, block), BlockData(block)) << "block at " << at;
        }
        return {error, error == ERROR_SUCCESS ? bytes : 0};
    }

    uint32_t SetBlockSize(uint32_t size)
    {
        TAPE_SET_MEDIA_PARAMETERS params;
        params.BlockSize = size;
        return m_device->SetMediaParameters(params);
    }

    uint32_t Space(int64_t count)
    {
        const auto raw = static_cast<uint64_t>(count);
        return m_device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<uint32_t>(raw),
                                         static_cast<uint32_t>(raw >> 32), false);
    }

    uint32_t SpaceBlocks(int64_t count)
    {
        const auto raw = static_cast<uint64_t>(count);
        return m_device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(raw),
                                         static_cast<uint32_t>(raw >> 32), false);
    }

    uint32_t Rewind() { return m_device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false); }

    std::unique_ptr<Backend> m_backend;
    TapeDevicePtr m_device;
};

// ---- reading --------------------------------------------------------------------------

TEST_P(TapeContract, RecordsAndFilemarksReadInOrderAndTheEndOfDataStays)
{
    Load({100, 2000, FM, 1, FM, FM});
    EXPECT_EQ(Read(65536), Data(100));
    EXPECT_EQ(Read(65536), Data(2000));
    EXPECT_EQ(Read(65536), Fail(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(65536), Data(1));
    EXPECT_EQ(Read(65536), Fail(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(65536), Fail(ERROR_FILEMARK_DETECTED));  // an empty file, not the end
    EXPECT_EQ(Read(65536), Fail(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(Read(65536), Fail(ERROR_NO_DATA_DETECTED));
}

TEST_P(TapeContract, BlankTapeIsTheEndOfDataAtOnce)
{
    Load({});
    EXPECT_EQ(Read(512), Fail(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(Read(512), Fail(ERROR_NO_DATA_DETECTED));
}

TEST_P(TapeContract, RecordLongerThanTheBufferIsMoreDataAndIsPassed)
{
    Load({4096, 10000, 4096, FM});
    EXPECT_EQ(Read(8192), Data(4096));
    std::string buffer(8192, kUntouched);
    uint32_t bytes = 12345;
    EXPECT_EQ(m_device->Read(buffer.data(), 8192, bytes), ERROR_MORE_DATA);
    // what came of the block: all that fit, or nothing at all
    if (bytes == 8192) {
        EXPECT_EQ(buffer, BlockData(10000).substr(0, 8192));
    } else {
        EXPECT_EQ(bytes, 0u);
    }
    EXPECT_EQ(Read(8192), Data(4096));
    EXPECT_EQ(Read(8192), Fail(ERROR_FILEMARK_DETECTED));
}

TEST_P(TapeContract, ZeroByteReadIsRefusedAndMovesNothing)
{
    Load({100});
    char buffer[1];
    uint32_t bytes = 5;
    EXPECT_EQ(m_device->Read(buffer, 0, bytes), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(Read(512), Data(100));
}

TEST_P(TapeContract, UnreadableBlockIsADataError)
{
    if (!GetParam().badBlocks)
        GTEST_SKIP() << "the format has no bad-record mark";
    Load({100, BAD});
    EXPECT_EQ(Read(512), Data(100));
    EXPECT_EQ(Read(512), Fail(ERROR_CRC));
}

TEST_P(TapeContract, UnreadableBlockLeavesTheTapeAfterItAndOneBlockBackReadsItAgain)
{
    if (!GetParam().badBlocks)
        GTEST_SKIP() << "the format has no bad-record mark";
    Load({100, BAD, 200, FM, 300});
    EXPECT_EQ(Read(512), Data(100));
    EXPECT_EQ(Read(512), Fail(ERROR_CRC));
    EXPECT_EQ(SpaceBlocks(-1), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Fail(ERROR_CRC));  // the same block again, not the one before
    EXPECT_EQ(Read(512), Data(200));        // passed over, the next block follows
    EXPECT_EQ(Read(512), Fail(ERROR_FILEMARK_DETECTED));
}

// ---- fixed-block mode -----------------------------------------------------------------

TEST_P(TapeContract, FixedBlockReadsBringWholeBlocksAndStopBeforeAFilemark)
{
    Load({512, 512, 512, FM, 512, FM});
    ASSERT_EQ(SetBlockSize(512), ERROR_SUCCESS);
    TAPE_GET_MEDIA_PARAMETERS media;
    ASSERT_EQ(m_device->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 512u);
    EXPECT_EQ(Read(1024, 512), Data(1024));
    EXPECT_EQ(Read(1024, 512), Data(512));
    EXPECT_EQ(Read(1024, 512), Fail(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(512, 512), Data(512));
    EXPECT_EQ(Read(1536, 512), Fail(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(512, 512), Fail(ERROR_NO_DATA_DETECTED));

    ASSERT_EQ(SetBlockSize(0), ERROR_SUCCESS);
    ASSERT_EQ(m_device->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 0u);
}

TEST_P(TapeContract, FixedBlockReadStopsAtTheEndOfData)
{
    Load({512});
    ASSERT_EQ(SetBlockSize(512), ERROR_SUCCESS);
    EXPECT_EQ(Read(2048, 512), Data(512));
    EXPECT_EQ(Read(2048, 512), Fail(ERROR_NO_DATA_DETECTED));
}

TEST_P(TapeContract, WrongLengthRecordInFixedModeLeavesPositionBeforeIt)
{
    Load({512, 1000, 512, FM});
    ASSERT_EQ(SetBlockSize(512), ERROR_SUCCESS);
    EXPECT_EQ(Read(512, 512), Data(512));
    EXPECT_EQ(Read(512, 512), Fail(ERROR_INVALID_BLOCK_LENGTH));
    EXPECT_EQ(Read(512, 512), Fail(ERROR_INVALID_BLOCK_LENGTH));  // still before it
    ASSERT_EQ(SetBlockSize(0), ERROR_SUCCESS);
    EXPECT_EQ(Read(4096), Data(1000));  // the block itself, whole
    ASSERT_EQ(SetBlockSize(512), ERROR_SUCCESS);
    EXPECT_EQ(Read(512, 512), Data(512));
    EXPECT_EQ(Read(512, 512), Fail(ERROR_FILEMARK_DETECTED));
}

TEST_P(TapeContract, WrongLengthRecordAfterGoodBlocksEndsTheRequestWithThem)
{
    Load({512, 512, 100, FM});
    ASSERT_EQ(SetBlockSize(512), ERROR_SUCCESS);
    EXPECT_EQ(Read(2048, 512), Data(1024));
    EXPECT_EQ(Read(2048, 512), Fail(ERROR_INVALID_BLOCK_LENGTH));
    ASSERT_EQ(SetBlockSize(0), ERROR_SUCCESS);
    EXPECT_EQ(Read(2048), Data(100));
    EXPECT_EQ(Read(2048), Fail(ERROR_FILEMARK_DETECTED));
}

// ---- positioning ----------------------------------------------------------------------

TEST_P(TapeContract, SpacingFilemarksLandsJustAfterTheLastOneCounted)
{
    Load({10, FM, 20, 20, FM, 30, FM});
    EXPECT_EQ(Space(0), ERROR_SUCCESS);  // moves nothing
    EXPECT_EQ(Read(512), Data(10));
    EXPECT_EQ(Space(1), ERROR_SUCCESS);  // the filemark of the file begun
    EXPECT_EQ(Read(512), Data(20));
    EXPECT_EQ(Space(1), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(30));
    ASSERT_EQ(Rewind(), ERROR_SUCCESS);
    EXPECT_EQ(Space(2), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(30));
}

TEST_P(TapeContract, SpacingPastTheLastFilemarkStopsAtTheEndOfData)
{
    Load({10, FM, 20, FM});
    EXPECT_EQ(Space(5), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(Read(512), Fail(ERROR_NO_DATA_DETECTED));
    ASSERT_EQ(Rewind(), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(10));
}

TEST_P(TapeContract, SpacingByRecordsCountsEveryRecordAndStopsAtAFilemark)
{
    Load({10, 20, BAD, 30, FM, 40, FM});
    EXPECT_EQ(SpaceBlocks(0), ERROR_SUCCESS);  // moves nothing
    EXPECT_EQ(SpaceBlocks(3), ERROR_SUCCESS);  // the bad block counts
    EXPECT_EQ(Read(512), Data(30));
    EXPECT_EQ(SpaceBlocks(5), ERROR_FILEMARK_DETECTED);  // forwards: just after it
    EXPECT_EQ(Read(512), Data(40));
    EXPECT_EQ(SpaceBlocks(-1), ERROR_SUCCESS);
    EXPECT_EQ(SpaceBlocks(-3), ERROR_FILEMARK_DETECTED);  // backwards: just before it
    EXPECT_EQ(Read(512), Fail(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(512), Data(40));
    ASSERT_EQ(Rewind(), ERROR_SUCCESS);
    EXPECT_EQ(SpaceBlocks(2), ERROR_SUCCESS);
    EXPECT_EQ(SpaceBlocks(-2), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(10));
}

TEST_P(TapeContract, SpacingByRecordsStopsAtEitherEndOfTheData)
{
    Load({10, 20});
    EXPECT_EQ(Read(512), Data(10));
    EXPECT_EQ(SpaceBlocks(-3), ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(Read(512), Data(10));  // at the beginning
    EXPECT_EQ(SpaceBlocks(4), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(Read(512), Fail(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(SpaceBlocks(-1), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(20));
}

TEST_P(TapeContract, RewindGoesBackToTheFirstRecordFromAnywhere)
{
    Load({10, FM, 20, FM});
    EXPECT_EQ(Rewind(), ERROR_SUCCESS);  // already there
    EXPECT_EQ(Read(512), Data(10));
    EXPECT_EQ(Read(512), Fail(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(512), Data(20));
    ASSERT_EQ(Rewind(), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(10));
    while (Read(512).error != ERROR_NO_DATA_DETECTED) {
    }
    ASSERT_EQ(Rewind(), ERROR_SUCCESS);  // from the end of the data
    EXPECT_EQ(Read(512), Data(10));
}

TEST_P(TapeContract, UnsupportedPositioningAndPreparationAreRefusedAndMoveNothing)
{
    Load({10, FM});
    EXPECT_EQ(m_device->SetTapePosition(2 /* logical block */, 0, 1, 0, false), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(m_device->PrepareTape(4 /* lock */, false), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Read(512), Data(10));
}

// ---- parameters, unload and load ------------------------------------------------------

TEST_P(TapeContract, DriveParametersNameLimitsNoReadCanExceed)
{
    Load({10});
    TAPE_GET_DRIVE_PARAMETERS drive;
    ASSERT_EQ(m_device->GetDriveParameters(drive), ERROR_SUCCESS);
    EXPECT_EQ(drive.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK, TAPE_DRIVE_VARIABLE_BLOCK);
    EXPECT_LE(drive.MinimumBlockSize, drive.MaximumBlockSize);
    EXPECT_EQ(drive.MaximumBlockSize, kMaxTapeBlockSize);
    EXPECT_EQ(Read(512), Data(10));  // asking moved nothing
}

TEST_P(TapeContract, UnloadedTapeCannotBeReadUntilLoadedAgainAtTheBeginning)
{
    Load({10, FM, 20});
    EXPECT_EQ(Read(512), Data(10));
    ASSERT_EQ(m_device->PrepareTape(TAPE_UNLOAD, false), ERROR_SUCCESS);
    const Outcome unloaded = Read(512);
    EXPECT_TRUE(unloaded == Fail(ERROR_NO_MEDIA_IN_DRIVE) || unloaded == Fail(ERROR_NOT_READY))
        << unloaded;
    ASSERT_EQ(m_device->PrepareTape(TAPE_LOAD, false), ERROR_SUCCESS);
    EXPECT_EQ(Read(512), Data(10));
}

INSTANTIATE_TEST_SUITE_P(Backends, TapeContract, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<BackendKind>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
