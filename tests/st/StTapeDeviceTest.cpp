// The st backend's answers to the tape interface, with the kernel played by FakeSt.
#include "platform/Errors.h"
#include "platform/linux/LinuxTape.h"
#include "tests/st/FakeSt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <vector>

namespace {

constexpr int FM = FakeSt::kFilemark;
constexpr uint32_t kLimit = 1u << 20;

ScsiDevice Drive()
{
    ScsiDevice drive;
    drive.stNode = "/dev/nst0";
    drive.sgNode = "/dev/sg1";
    return drive;
}

class StTapeTest : public ::testing::Test {
protected:
    TapeDevicePtr Open()
    {
        uint32_t error = 12345;
        TapeDevicePtr device = OpenLinuxTape(Drive(), kLimit, st, error);
        EXPECT_EQ(error, ERROR_SUCCESS);
        EXPECT_TRUE(device);
        return device;
    }

    uint32_t OpenError()
    {
        uint32_t error = ERROR_SUCCESS;
        TapeDevicePtr device = OpenLinuxTape(Drive(), kLimit, st, error);
        EXPECT_FALSE(device);
        return error;
    }

    // Reads to the end of the data; each entry is a block's length or the error number
    // (with 1 << 31 set) that ended a read.
    std::vector<uint32_t> ReadAll(TapeDevice& device, uint32_t size = 65536)
    {
        std::vector<uint32_t> results;
        std::vector<char> buffer(size);
        for (int guard = 0; guard < 100; ++guard) {
            uint32_t bytes = 99;
            uint32_t rc = device.Read(buffer.data(), size, bytes);
            if (rc == ERROR_SUCCESS) {
                EXPECT_EQ(FakeSt::BlockTag(buffer.data()), bytes);
                results.push_back(bytes);
            } else {
                EXPECT_EQ(bytes, 0u);
                results.push_back(rc | 0x80000000u);
                if (rc == ERROR_NO_DATA_DETECTED || rc == ERROR_END_OF_MEDIA)
                    break;
            }
        }
        return results;
    }

    static uint32_t E(uint32_t error) { return error | 0x80000000u; }

    FakeSt st;
};

// ---- opening ----------------------------------------------------------------------------

TEST_F(StTapeTest, OpensTheNonRewindingNodeReadWriteWithoutWaitingAndClosesItOnce)
{
    {
        TapeDevicePtr device = Open();
        ASSERT_EQ(st.opens.size(), 1u);
        EXPECT_EQ(st.opens[0].path, "/dev/nst0");
        EXPECT_EQ(st.opens[0].flags & O_ACCMODE, O_RDWR);
        EXPECT_TRUE(st.opens[0].flags & O_NONBLOCK);
        EXPECT_EQ(st.openCount, 1);
    }
    EXPECT_EQ(st.openCount, 0);
}

TEST_F(StTapeTest, WriteProtectedTapeIsOpenedReadOnly)
{
    for (int refusal : {EROFS, EACCES}) {
        st.opens.clear();
        st.openErrorsReadWrite["/dev/nst0"] = refusal;
        TapeDevicePtr device = Open();
        ASSERT_EQ(st.opens.size(), 2u);
        EXPECT_EQ(st.opens[1].flags & O_ACCMODE, O_RDONLY);
        EXPECT_TRUE(st.opens[1].flags & O_NONBLOCK);
    }
}

TEST_F(StTapeTest, OpenFailuresMapToTheirErrors)
{
    const std::pair<int, uint32_t> cases[] = {
        {EBUSY, ERROR_SHARING_VIOLATION},  // st lets one process at a time have the drive
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENXIO, ERROR_DEVICE_NOT_CONNECTED},
        {EACCES, ERROR_ACCESS_DENIED},  // also refused read-only
        {ENOMEDIUM, ERROR_NO_MEDIA_IN_DRIVE},
    };
    for (auto [err, expected] : cases) {
        st.openErrors["/dev/nst0"] = err;
        EXPECT_EQ(OpenError(), expected) << "errno " << err;
        EXPECT_EQ(st.openCount, 0);
    }
}

TEST_F(StTapeTest, NodeThatGivesNoTapeStatusIsRefusedAndClosed)
{
    st.statusError = ENOTTY;
    EXPECT_EQ(OpenError(), ERROR_BAD_UNIT);
    EXPECT_EQ(st.openCount, 0);
}

TEST_F(StTapeTest, DriveWithoutStDriverCannotBeOpened)
{
    ScsiDevice drive = Drive();
    drive.stNode.clear();
    uint32_t error = 0;
    EXPECT_FALSE(OpenLinuxTape(drive, kLimit, st, error));
    EXPECT_EQ(error, ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(st.opens.empty());
}

// An empty drive opens (so that eject works on it); what needs the tape says why it cannot.
TEST_F(StTapeTest, EmptyOrOfflineDriveOpensAndReportsItselfNotReady)
{
    st.doorOpen = true;
    TapeDevicePtr device = Open();
    TAPE_GET_MEDIA_PARAMETERS media;
    EXPECT_EQ(device->GetMediaParameters(media), ERROR_NO_MEDIA_IN_DRIVE);
    char buffer[16];
    uint32_t bytes = 7;
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(bytes, 0u);
    st.operationErrors = {ENOMEDIUM};
    EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false), ERROR_NO_MEDIA_IN_DRIVE);

    st.doorOpen = false;
    st.online = false;
    EXPECT_EQ(device->GetMediaParameters(media), ERROR_NOT_READY);
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_NOT_READY);
    st.operationErrors = {EIO};
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, false), ERROR_NOT_READY);
}

// ---- reading ----------------------------------------------------------------------------

TEST_F(StTapeTest, ReadsBlocksFilemarksAnEmptyFileAndTheEndOfData)
{
    st.tape = {32768, 32768, 32768, FM, FM, 100, 1, FM};
    TapeDevicePtr device = Open();
    std::vector<uint32_t> expected = {32768, 32768, 32768, E(ERROR_FILEMARK_DETECTED),
                                      // two filemarks in a row: an empty file, not the end
                                      E(ERROR_FILEMARK_DETECTED), 100, 1,
                                      E(ERROR_FILEMARK_DETECTED), E(ERROR_NO_DATA_DETECTED)};
    EXPECT_EQ(ReadAll(*device), expected);
    // st refuses every read after the blank check: still the end of data, not a data error
    char buffer[16];
    uint32_t bytes = 0;
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_NO_DATA_DETECTED);
}

TEST_F(StTapeTest, BlankTapeIsAtTheEndOfDataAtOnce)
{
    TapeDevicePtr device = Open();
    EXPECT_EQ(ReadAll(*device), std::vector<uint32_t>{E(ERROR_NO_DATA_DETECTED)});
}

TEST_F(StTapeTest, BlockLongerThanTheRequestIsMoreDataAndTheNextReadGoesOn)
{
    st.tape = {4096, 10000, 4096, FM};
    TapeDevicePtr device = Open();
    std::vector<uint32_t> expected = {4096, E(ERROR_MORE_DATA), 4096, E(ERROR_FILEMARK_DETECTED),
                                      E(ERROR_NO_DATA_DETECTED)};
    EXPECT_EQ(ReadAll(*device, 8192), expected);
}

TEST_F(StTapeTest, ReadInFixedBlockModeTakesOneBlockAndFlagsAWrongLength)
{
    st.tape = {512, 512, 1024, FM};
    st.blockSize = 512;
    TapeDevicePtr device = Open();
    // a block of another length: st fails the read with EIO and spaces back over the block,
    // so it still knows where it is: a wrong length, not a data error, and again until the
    // block is read in variable mode
    char buffer[1024];
    uint32_t bytes = 99;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_SUCCESS);
        EXPECT_EQ(bytes, 512u);
    }
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_INVALID_BLOCK_LENGTH);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_INVALID_BLOCK_LENGTH);
    st.blockSize = 0;
    std::vector<uint32_t> expected = {1024, E(ERROR_FILEMARK_DETECTED), E(ERROR_NO_DATA_DETECTED)};
    EXPECT_EQ(ReadAll(*device, 1024), expected);
}

TEST_F(StTapeTest, FixedBlockReadFailingWhereStHasLostCountIsADataError)
{
    st.tape = {512, FM, 1024, FM};
    st.blockSize = 512;
    TapeDevicePtr device = Open();
    char buffer[512];
    uint32_t bytes = 0;
    st.readOverrides = {-EIO};  // a data error: st no longer knows the block number
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_CRC);
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_SUCCESS);
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_FILEMARK_DETECTED);
    // counting again after the filemark: the block of another length is told apart
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_INVALID_BLOCK_LENGTH);
    st.readOverrides = {-EIO};
    EXPECT_EQ(device->Read(buffer, 512, bytes), ERROR_CRC);
}

TEST_F(StTapeTest, ReadErrorsMapByTheDriveStatus)
{
    st.tape = {100, 100, 100, 100};
    TapeDevicePtr device = Open();
    char buffer[256];
    uint32_t bytes = 0;

    st.readOverrides = {-EIO};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_CRC);

    st.endOfTape = true;
    st.readOverrides = {-EIO};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_END_OF_MEDIA);
    st.readOverrides = {0};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_END_OF_MEDIA);
    // data before the physical end are still data
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 100u);
    st.endOfTape = false;

    st.blockSize = 512;  // ENOMEM in fixed mode is the kernel short of memory
    st.readOverrides = {-ENOMEM};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_NOT_ENOUGH_MEMORY);
    st.blockSize = 0;

    st.readOverrides = {-EINVAL};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_INVALID_PARAMETER);

    // no status after a 0-byte read: a filemark, never an invented end of the tape
    st.statusError = EIO;
    st.readOverrides = {0};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_FILEMARK_DETECTED);
    st.readOverrides = {-EIO};
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_CRC);
}

TEST_F(StTapeTest, ZeroByteRequestIsRefusedWithoutReading)
{
    st.tape = {100};
    TapeDevicePtr device = Open();
    char buffer[1];
    uint32_t bytes = 5;
    EXPECT_EQ(device->Read(buffer, 0, bytes), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(st.position, 0u);
}

// ---- positioning ------------------------------------------------------------------------

TEST_F(StTapeTest, SpacesForwardOverFilemarksAndRewinds)
{
    st.tape = {10, FM, 20, 20, FM, 30, FM};
    TapeDevicePtr device = Open();
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 2, 0, false), ERROR_SUCCESS);
    ASSERT_EQ(st.operations.size(), 1u);
    EXPECT_EQ(st.operations[0].mt_op, MTFSF);
    EXPECT_EQ(st.operations[0].mt_count, 2);
    char buffer[64];
    uint32_t bytes = 0;
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 30u);

    EXPECT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTREW);
    EXPECT_EQ(device->Read(buffer, sizeof(buffer), bytes), ERROR_SUCCESS);
    EXPECT_EQ(bytes, 10u);

    // a count of 0 moves nothing and asks nothing of the drive
    size_t before = st.operations.size();
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 0, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.size(), before);
}

TEST_F(StTapeTest, SpacingPastTheDataEndsAtTheEndOfDataOrOfTheMedia)
{
    st.tape = {10, FM, 20, FM};
    TapeDevicePtr device = Open();
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 5, 0, false), ERROR_NO_DATA_DETECTED);

    ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false), ERROR_SUCCESS);
    st.endOfTape = true;
    st.operationErrors = {EIO};
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, false), ERROR_END_OF_MEDIA);

    st.endOfTape = false;
    st.operationErrors = {EIO};  // a plain fault of the drive
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, false), ERROR_IO_DEVICE);
}

TEST_F(StTapeTest, NegativeCountSpacesBackwardsAndStopsAtTheBeginning)
{
    st.tape = {10, FM, 20, FM, 30, FM};
    TapeDevicePtr device = Open();
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 3, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<uint32_t>(-2), 0xFFFFFFFFu,
                                      false),
              ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTBSF);
    EXPECT_EQ(st.operations.back().mt_count, 2);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<uint32_t>(-5), 0xFFFFFFFFu,
                                      false),
              ERROR_BEGINNING_OF_MEDIA);
}

TEST_F(StTapeTest, SpacingByRecordsIsMtfsrOrMtbsrAndAFaultIsNoFilemark)
{
    st.tape = {10, 20, 30, FM, 40};
    TapeDevicePtr device = Open();
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 2, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTFSR);
    EXPECT_EQ(st.operations.back().mt_count, 2);
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(-1), 0xFFFFFFFFu,
                                      false),
              ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTBSR);
    EXPECT_EQ(st.operations.back().mt_count, 1);
    EXPECT_EQ(st.position, 1u);

    st.operationErrors = {EIO};  // the drive fails without moving off the file
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 1, 0, false), ERROR_IO_DEVICE);
    st.operationErrors = {EIO};
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(-1), 0xFFFFFFFFu,
                                      false),
              ERROR_IO_DEVICE);
    const size_t calls = st.operations.size();
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 0, 1, false), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 0, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.size(), calls);  // neither reached the drive
}

// A drive that spaces back over a filemark without reporting it when the filemark is the
// last record of the count stands where a reported one leaves it; st's block count shows it.
TEST_F(StTapeTest, SpacingBackOntoAnUnreportedFilemarkIsAFilemark)
{
    st.tape = {10, FM, 20, 30, FM, 40};
    st.silentFilemarkAtEndOfBackspace = true;
    TapeDevicePtr device = Open();
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, false), ERROR_SUCCESS);
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 2, 0, false), ERROR_SUCCESS);
    const uint32_t back2 = static_cast<uint32_t>(-2), back3 = static_cast<uint32_t>(-3);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, back2, 0xFFFFFFFFu, false), ERROR_SUCCESS);
    ASSERT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 2, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, back3, 0xFFFFFFFFu, false),
              ERROR_FILEMARK_DETECTED);
    std::vector<char> buffer(64);
    uint32_t bytes = 0;
    EXPECT_EQ(device->Read(buffer.data(), 64, bytes), ERROR_FILEMARK_DETECTED);  // just before it

    // in the first file the beginning of the tape stands there instead
    ASSERT_EQ(device->SetTapePosition(TAPE_REWIND, 0, 0, 0, false), ERROR_SUCCESS);
    ASSERT_EQ(device->Read(buffer.data(), 64, bytes), ERROR_SUCCESS);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, back2, 0xFFFFFFFFu, false),
              ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(st.position, 0u);
}

TEST_F(StTapeTest, PositionRequestsStCannotServeAreRefused)
{
    TapeDevicePtr device = Open();
    EXPECT_EQ(device->SetTapePosition(1 /* absolute block */, 0, 0, 0, false), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 0, 1, false), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(device->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 0x80000000u, 0, false),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(device->PrepareTape(4 /* lock */, false), ERROR_NOT_SUPPORTED);
    EXPECT_TRUE(st.operations.empty());
}

TEST_F(StTapeTest, UnloadTakesTheTapeOfflineAndLoadBringsItBack)
{
    st.tape = {10};
    TapeDevicePtr device = Open();
    EXPECT_EQ(device->PrepareTape(TAPE_UNLOAD, false), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTOFFL);
    TAPE_GET_MEDIA_PARAMETERS media;
    EXPECT_EQ(device->GetMediaParameters(media), ERROR_NOT_READY);
    EXPECT_EQ(device->PrepareTape(TAPE_LOAD, false), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTLOAD);
    EXPECT_EQ(device->GetMediaParameters(media), ERROR_SUCCESS);

    st.doorOpen = true;  // nothing to load
    EXPECT_EQ(device->PrepareTape(TAPE_LOAD, false), ERROR_NO_MEDIA_IN_DRIVE);
}

// ---- parameters -------------------------------------------------------------------------

TEST_F(StTapeTest, MediaParametersComeFromTheTapeStatus)
{
    st.blockSize = 1024;
    st.writeProtected = true;
    TapeDevicePtr device = Open();
    TAPE_GET_MEDIA_PARAMETERS media;
    media.BlockSize = 7;
    ASSERT_EQ(device->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 1024u);
    EXPECT_EQ(media.WriteProtected, 1);

    st.blockSize = 0;
    st.writeProtected = false;
    ASSERT_EQ(device->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 0u);
    EXPECT_EQ(media.WriteProtected, 0);
}

TEST_F(StTapeTest, SettingTheBlockSizeUsesMtsetblk)
{
    TapeDevicePtr device = Open();
    TAPE_SET_MEDIA_PARAMETERS set;
    set.BlockSize = 2048;
    EXPECT_EQ(device->SetMediaParameters(set), ERROR_SUCCESS);
    EXPECT_EQ(st.operations.back().mt_op, MTSETBLK);
    EXPECT_EQ(st.operations.back().mt_count, 2048);
    EXPECT_EQ(st.blockSize, 2048u);
    set.BlockSize = 0;
    EXPECT_EQ(device->SetMediaParameters(set), ERROR_SUCCESS);
    EXPECT_EQ(st.blockSize, 0u);

    st.operationErrors = {EINVAL};  // outside the drive's limits
    set.BlockSize = 3;
    EXPECT_EQ(device->SetMediaParameters(set), ERROR_INVALID_BLOCK_LENGTH);
    set.BlockSize = 0x80000000u;
    EXPECT_EQ(device->SetMediaParameters(set), ERROR_INVALID_BLOCK_LENGTH);
}

TEST_F(StTapeTest, DriveParametersAskReadBlockLimitsThroughTheGenericNode)
{
    st.scsi = BlockLimitsAnswer(0x040000, 1);
    std::vector<sg_io_hdr> seen;
    auto answer = st.scsi;
    st.scsi = [&](sg_io_hdr& io) {
        seen.push_back(io);
        return answer(io);
    };
    TapeDevicePtr device = Open();
    TAPE_GET_DRIVE_PARAMETERS drive;
    ASSERT_EQ(device->GetDriveParameters(drive), ERROR_SUCCESS);
    EXPECT_EQ(drive.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK, TAPE_DRIVE_VARIABLE_BLOCK);
    EXPECT_EQ(drive.MaximumBlockSize, 0x040000u);
    EXPECT_EQ(drive.MinimumBlockSize, 1u);

    ASSERT_EQ(st.opens.size(), 2u);
    EXPECT_EQ(st.opens[1].path, "/dev/sg1");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].interface_id, 'S');
    EXPECT_EQ(seen[0].dxfer_direction, SG_DXFER_FROM_DEV);
    EXPECT_EQ(seen[0].dxfer_len, 6u);
    EXPECT_GT(seen[0].timeout, 0u);
    EXPECT_EQ(st.cdbs[0], (std::vector<uint8_t>{0x05, 0, 0, 0, 0, 0}));

    // the generic node is opened once and closed with the device
    ASSERT_EQ(device->GetDriveParameters(drive), ERROR_SUCCESS);
    EXPECT_EQ(st.opens.size(), 2u);
    device.reset();
    EXPECT_EQ(st.openCount, 0);
}

TEST_F(StTapeTest, BlockLimitsDecideVariableBlocksAndAreCappedAtWhatStCanRead)
{
    struct Case {
        uint32_t max;
        uint16_t min;
        bool variable;
        uint32_t reportedMax;
    };
    const Case cases[] = {
        {0xFFFFFF, 1, true, kLimit},   // larger than one st read can take
        {512, 512, false, 512},        // equal limits: fixed blocks only
        {0, 1, true, kLimit},          // no maximum named
        {0, 0, true, kLimit},          // no limits named at all
        {65536, 4, true, 65536},
    };
    for (const Case& c : cases) {
        FakeSt fresh;
        fresh.scsi = BlockLimitsAnswer(c.max, c.min);
        uint32_t error = 0;
        TapeDevicePtr device = OpenLinuxTape(Drive(), kLimit, fresh, error);
        ASSERT_TRUE(device);
        TAPE_GET_DRIVE_PARAMETERS drive;
        ASSERT_EQ(device->GetDriveParameters(drive), ERROR_SUCCESS);
        EXPECT_EQ((drive.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK) != 0, c.variable) << c.max;
        EXPECT_EQ(drive.MaximumBlockSize, c.reportedMax) << c.max;
        EXPECT_EQ(drive.MinimumBlockSize, c.min) << c.max;
    }
}

TEST_F(StTapeTest, ReadBlockLimitsFailuresMapToErrors)
{
    struct Case {
        const char* what;
        std::function<int(sg_io_hdr&)> answer;
        uint32_t expected;
    };
    auto check = [](uint8_t key, uint8_t asc) {
        return [=](sg_io_hdr& io) {
            SetCheckCondition(io, key, asc);
            return 0;
        };
    };
    // The same condition in descriptor-format sense (response code 0x72).
    auto descriptorCheck = [](uint8_t key, uint8_t asc) {
        return [=](sg_io_hdr& io) {
            SetCheckCondition(io, key, asc);
            const uint8_t sense[8] = {0x72, key, asc, 0, 0, 0, 0, 0};
            std::memcpy(io.sbp, sense, sizeof sense);
            io.sb_len_wr = sizeof sense;
            return 0;
        };
    };
    const Case cases[] = {
        {"no tape", check(0x2, 0x3A), ERROR_NO_MEDIA_IN_DRIVE},
        {"no tape, descriptor sense", descriptorCheck(0x2, 0x3A), ERROR_NO_MEDIA_IN_DRIVE},
        {"reset, descriptor sense", descriptorCheck(0x6, 0x29), ERROR_BUS_RESET},
        {"sense ending before its additional sense code",
         [](sg_io_hdr& io) {
             SetCheckCondition(io, 0x2, 0x3A);
             io.sbp[7] = 4;  // bytes 8 to 11 only: byte 12 is not the device's
             return 0;
         },
         ERROR_NOT_READY},
        {"becoming ready", check(0x2, 0x04), ERROR_NOT_READY},
        {"not supported", check(0x5, 0x20), ERROR_NOT_SUPPORTED},
        {"hardware", check(0x4, 0x44), ERROR_IO_DEVICE},
        {"ioctl refused", [](sg_io_hdr&) { return -EPERM; }, ERROR_ACCESS_DENIED},
        {"host gone",
         [](sg_io_hdr& io) {
             io.host_status = 0x01;
             io.info = SG_INFO_CHECK;
             return 0;
         },
         ERROR_DEVICE_NOT_CONNECTED},
        {"short answer",
         [](sg_io_hdr& io) {
             BlockLimitsAnswer(1024, 1)(io);
             io.resid = 2;
             return 0;
         },
         ERROR_IO_DEVICE},
    };
    for (const Case& c : cases) {
        FakeSt fresh;
        fresh.scsi = c.answer;
        uint32_t error = 0;
        TapeDevicePtr device = OpenLinuxTape(Drive(), kLimit, fresh, error);
        ASSERT_TRUE(device);
        TAPE_GET_DRIVE_PARAMETERS drive;
        EXPECT_EQ(device->GetDriveParameters(drive), c.expected) << c.what;
    }
}

TEST_F(StTapeTest, UnitAttentionIsAskedAgainOnce)
{
    int calls = 0;
    auto limits = BlockLimitsAnswer(2048, 1);
    st.scsi = [&](sg_io_hdr& io) {
        if (++calls == 1)
            SetCheckCondition(io, 0x6, 0x28);  // the tape was changed
        else
            limits(io);
        return 0;
    };
    TapeDevicePtr device = Open();
    TAPE_GET_DRIVE_PARAMETERS drive;
    EXPECT_EQ(device->GetDriveParameters(drive), ERROR_SUCCESS);
    EXPECT_EQ(drive.MaximumBlockSize, 2048u);
    EXPECT_EQ(calls, 2);

    // a second one in a row is reported
    calls = 0;
    st.scsi = [&](sg_io_hdr& io) {
        ++calls;
        SetCheckCondition(io, 0x6, 0x29);
        return 0;
    };
    EXPECT_EQ(device->GetDriveParameters(drive), ERROR_BUS_RESET);
    EXPECT_EQ(calls, 2);
}

TEST_F(StTapeTest, GenericNodeMissingOrLockedGivesNoDriveParameters)
{
    st.openErrors["/dev/sg1"] = EACCES;
    TapeDevicePtr device = Open();
    TAPE_GET_DRIVE_PARAMETERS drive;
    EXPECT_EQ(device->GetDriveParameters(drive), ERROR_ACCESS_DENIED);

    ScsiDevice noGeneric = Drive();
    noGeneric.sgNode.clear();
    uint32_t error = 0;
    TapeDevicePtr other = OpenLinuxTape(noGeneric, kLimit, st, error);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->GetDriveParameters(drive), ERROR_NOT_SUPPORTED);
}

} // namespace
