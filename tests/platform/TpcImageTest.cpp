// TPC images built by hand from the format's description (no other program writes them):
// odd records with their pad byte, tapemarks, the last record without its pad, stepping back
// from the end, and damage at a known place.
#include "platform/Errors.h"
#include "platform/ImageDrive.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::string Length(uint32_t n)
{
    return std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)};
}

TapeDevicePtr Open(const std::string& path)
{
    VirtualDriveOptions tpc;
    tpc.format = ImageFormat::Tpc;
    uint32_t error = 0;
    TapeDevicePtr drive = OpenVirtualDrive(path, tpc, error);
    EXPECT_EQ(error, ERROR_SUCCESS);
    return drive;
}

uint32_t Read(TapeDevice& drive, std::string& data)
{
    data.assign(70000, '\0');
    uint32_t bytes = 0;
    const uint32_t error = drive.Read(data.data(), static_cast<uint32_t>(data.size()), bytes);
    data.resize(bytes);
    return error;
}

uint32_t Space(TapeDevice& drive, int64_t n)
{
    const auto raw = static_cast<uint64_t>(n);
    return drive.SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(raw),
                                 static_cast<uint32_t>(raw >> 32), false);
}

TEST(TpcImageTest, RecordsMarksAndTheWayBack)
{
    TempDir dir;
    const std::string big(65535, 'B');
    WriteWholeFile(dir / "t.tpc", Length(3) + "abc" + '\0' + Length(2) + "de" + Length(0) + Length(65535) + big +
                                      '\0' + Length(0) + Length(5) + "fghij");  // no pad at the very end
    TapeDevicePtr drive = Open(dir / "t.tpc");
    ASSERT_TRUE(drive);
    std::string data;
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "abc");
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "de");
    EXPECT_EQ(Read(*drive, data), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_TRUE(data == big);
    EXPECT_EQ(Read(*drive, data), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "fghij");
    EXPECT_EQ(Read(*drive, data), ERROR_NO_DATA_DETECTED);
    // Back from the end: over the last record, then stopped by the tapemark before it.
    EXPECT_EQ(Space(*drive, -5), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Read(*drive, data), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Space(*drive, -2), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Space(*drive, -1), ERROR_SUCCESS);  // over the long record
    EXPECT_EQ(Space(*drive, -1), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Space(*drive, -1), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "de");
    EXPECT_EQ(Space(*drive, -9), ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "abc");
}

TEST(TpcImageTest, DamageIsAnErrorWhereItIsAndStays)
{
    TempDir dir;
    // A record claims 40 bytes and the file ends 12 bytes in; then a lone length byte.
    WriteWholeFile(dir / "cut.tpc", Length(4) + "abcd" + Length(40) + std::string(12, 'x'));
    WriteWholeFile(dir / "odd.tpc", Length(4) + "abcd" + std::string(1, '\x07'));
    for (const char* name : {"cut.tpc", "odd.tpc"}) {
        TapeDevicePtr drive = Open(dir / name);
        ASSERT_TRUE(drive);
        std::string data;
        EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
        EXPECT_EQ(Read(*drive, data), ERROR_TAPE_IMAGE_TRUNCATED) << name;
        EXPECT_EQ(Read(*drive, data), ERROR_TAPE_IMAGE_TRUNCATED) << name;  // not data from past it
        TAPE_GET_MEDIA_PARAMETERS media;
        ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
        EXPECT_EQ(media.Capacity - media.Remaining, 6) << name;  // before the damage
    }
}

} // namespace
