// The virtual drive over .tap images: what every marker and every kind of damage reads as,
// block modes, positioning, unload and exclusive opening.
#include "platform/Errors.h"
#include "platform/SimhTape.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct ReadResult {
    uint32_t error;
    std::string data;
};

bool operator==(const ReadResult& a, const ReadResult& b)
{
    return a.error == b.error && a.data == b.data;
}

std::ostream& operator<<(std::ostream& os, const ReadResult& r)
{
    return os << "{error " << r.error << ", " << r.data.size() << " bytes \"" << r.data.substr(0, 40)
              << "\"}";
}

ReadResult Ok(std::string data) { return {ERROR_SUCCESS, std::move(data)}; }
ReadResult Err(uint32_t error) { return {error, ""}; }
// A data error with the bytes the image kept of the block.
ReadResult Bad(std::string data) { return {ERROR_CRC, std::move(data)}; }

ReadResult Read(TapeDevice& drive, uint32_t size = 1 << 16)
{
    std::string buffer(size, '\xAA');
    uint32_t bytesRead = 12345;
    uint32_t error = drive.Read(buffer.data(), size, bytesRead);
    EXPECT_LE(bytesRead, size);
    buffer.resize(std::min(bytesRead, size));
    return {error, buffer};
}

class SimhTapeTest : public ::testing::Test {
protected:
    std::string Image(const std::function<void(SimhTapeWriter&)>& write,
                      const std::string& name = "tape.tap")
    {
        std::string path = m_dir / name;
        SimhTapeWriter tape;
        EXPECT_TRUE(tape.Open(path)) << tape.Error();
        write(tape);
        EXPECT_TRUE(tape.Close()) << tape.Error();
        return path;
    }

    TapeDevicePtr Open(const std::string& path, VirtualDriveOptions options = {})
    {
        uint32_t error = 99;
        TapeDevicePtr drive = OpenVirtualDrive(path, options, error);
        EXPECT_TRUE(drive) << "open failed with " << error;
        EXPECT_EQ(error, ERROR_SUCCESS);
        return drive;
    }

    TapeDevicePtr OpenImage(const std::function<void(SimhTapeWriter&)>& write,
                            VirtualDriveOptions options = {})
    {
        return Open(Image(write), options);
    }

    static uint32_t SetBlockSize(TapeDevice& drive, uint32_t size)
    {
        TAPE_SET_MEDIA_PARAMETERS params;
        params.BlockSize = size;
        return drive.SetMediaParameters(params);
    }

    static uint32_t Space(TapeDevice& drive, uint32_t count, uint32_t high = 0)
    {
        return drive.SetTapePosition(TAPE_SPACE_FILEMARKS, 0, count, high, false);
    }

    static uint32_t Rewind(TapeDevice& drive)
    {
        return drive.SetTapePosition(TAPE_REWIND, 0, 0, 0, false);
    }

    TempDir m_dir;
};

// --- records and markers ---------------------------------------------------------------

TEST_F(SimhTapeTest, ReadsOneRecordPerCallAndTapemarksAsFilemarks)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("first record");
        t.WriteRecord("second");
        t.WriteTapemark();
        t.WriteRecord("next file");
        t.WriteTapemark();
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    EXPECT_EQ(Read(*drive), Ok("first record"));
    EXPECT_EQ(Read(*drive), Ok("second"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive), Ok("next file"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));  // an empty file
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));  // stays at the end
}

TEST_F(SimhTapeTest, EndOfFileWithoutMarkerIsEndOfData)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("only");
        t.WriteTapemark();
    });
    EXPECT_EQ(Read(*drive), Ok("only"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
}

TEST_F(SimhTapeTest, EmptyImageHasNoData)
{
    auto drive = OpenImage([](SimhTapeWriter&) {});
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
}

TEST_F(SimhTapeTest, EndMarkerHidesWhatFollowsIt)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteEndOfMedium();
        t.WriteRecord("stale data beyond the end");
    });
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
}

TEST_F(SimhTapeTest, GapsAreSkipped)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteEraseGap();
        t.WriteEraseGap();
        t.WriteRecord("after erase gaps");
        t.WriteHalfGap();
        t.WriteRecord("after a half gap");
        t.WriteEraseGap();
        t.WriteTapemark();
        t.WriteHalfGap();
    });
    EXPECT_EQ(Read(*drive), Ok("after erase gaps"));
    EXPECT_EQ(Read(*drive), Ok("after a half gap"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));  // a gap at the very end
}

TEST_F(SimhTapeTest, OddLengthsArePaddedAndTheNextRecordFollows)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("a");
        t.WriteRecord("odd");
        t.WriteRecord("even");
        t.WriteRecord("12345");
        t.WriteTapemark();
    });
    EXPECT_EQ(Read(*drive), Ok("a"));
    EXPECT_EQ(Read(*drive), Ok("odd"));
    EXPECT_EQ(Read(*drive), Ok("even"));
    EXPECT_EQ(Read(*drive), Ok("12345"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
}

TEST_F(SimhTapeTest, BadRecordsAreDataErrorsAndAreLeftBehind)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteBadRecord("bad class 8");
        t.WriteRecord("good");
        t.WriteRawWord(0xE0000004);  // bit 31 and other class bits, as older writers did
        t.WriteRawBytes("xxxx", 4);
        t.WriteRawWord(0xE0000004);
        t.WriteRawWord(0x10000003);  // a private class
        t.WriteRawBytes("pri\0", 4);
        t.WriteRawWord(0x10000003);
        t.WriteRawWord(0x80000000);  // bad, no data at all
        t.WriteRawWord(0x80000000);
        t.WriteRecord("last");
        t.WriteTapemark();
    });
    EXPECT_EQ(Read(*drive), Bad("bad class 8"));
    EXPECT_EQ(Read(*drive), Ok("good"));
    EXPECT_EQ(Read(*drive, 2), Bad(""));  // longer than the buffer: none of it, not a part
    EXPECT_EQ(Read(*drive), Bad("pri"));
    EXPECT_EQ(Read(*drive), Bad(""));
    EXPECT_EQ(Read(*drive), Ok("last"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
}

TEST_F(SimhTapeTest, LongRecordGivesMoreDataWithThePartThatFitsAndMovesOn)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("0123456789");
        t.WriteRecord("abcde");  // odd: the skip must count the pad byte
        t.WriteRecord("next");
        t.WriteTapemark();
    });
    EXPECT_EQ(Read(*drive, 4), (ReadResult{ERROR_MORE_DATA, "0123"}));
    EXPECT_EQ(Read(*drive, 4), (ReadResult{ERROR_MORE_DATA, "abcd"}));
    EXPECT_EQ(drive->LastBlockLength(), 5u);  // for the message that says both sizes
    EXPECT_EQ(Read(*drive, 4), Ok("next"));
    EXPECT_EQ(drive->LastBlockLength(), 0u);
    EXPECT_EQ(Read(*drive, 4), Err(ERROR_FILEMARK_DETECTED));
}

TEST_F(SimhTapeTest, RecordsOfEveryLengthAroundTheRequestSize)
{
    std::vector<std::string> records;
    for (uint32_t n = 1; n <= 40; ++n) {
        std::string r;
        for (uint32_t i = 0; i < n; ++i)
            r += static_cast<char>('A' + (n + i) % 26);
        records.push_back(r);
    }
    auto drive = OpenImage([&](SimhTapeWriter& t) {
        for (const auto& r : records)
            t.WriteRecord(r);
        t.WriteTapemark();
    });
    for (const auto& r : records) {
        if (r.size() <= 20)
            EXPECT_EQ(Read(*drive, 20), Ok(r));
        else
            EXPECT_EQ(Read(*drive, 20), (ReadResult{ERROR_MORE_DATA, r.substr(0, 20)}));
    }
    EXPECT_EQ(Read(*drive, 20), Err(ERROR_FILEMARK_DETECTED));
}

TEST_F(SimhTapeTest, BigRecordsArriveWhole)
{
    std::string big(3 * 1024 * 1024 + 1, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 4096);
    auto drive = OpenImage([&](SimhTapeWriter& t) {
        t.WriteRecord(big);
        t.WriteRecord(big.substr(0, 65536));
        t.WriteTapemark();
    });
    EXPECT_TRUE(Read(*drive, 4 << 20) == Ok(big));
    EXPECT_TRUE(Read(*drive, 4 << 20) == Ok(big.substr(0, 65536)));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
}

// --- the read-ahead window ---------------------------------------------------------------
// Short records come out of a window of about a megabyte of the image, long ones straight
// from the file; these images run over several windows.

TEST_F(SimhTapeTest, RecordsArriveWholeWhereverTheWindowEdgeFalls)
{
    std::vector<std::string> records;
    for (uint32_t i = 0; i < 120; ++i) {
        std::string r((i * 7919) % 70000 + 1, '\0');  // 1 to 70000 bytes, short and long mixed
        for (size_t j = 0; j < r.size(); ++j)
            r[j] = static_cast<char>(i * 31 + j);
        records.push_back(r);
    }
    auto drive = OpenImage([&](SimhTapeWriter& t) {
        for (const auto& r : records)
            t.WriteRecord(r);
        t.WriteTapemark();
    });
    for (const auto& r : records)
        ASSERT_TRUE(Read(*drive, 1 << 17) == Ok(r)) << r.size();
    // back over several windows' worth, then forwards again
    ASSERT_EQ(drive->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(-70), 0xFFFFFFFF, false),
              ERROR_SUCCESS);
    for (size_t i = records.size() - 70; i < records.size(); ++i)
        ASSERT_TRUE(Read(*drive, 1 << 17) == Ok(records[i])) << i;
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
}

// An image that becomes shorter under the open drive, beyond what the window holds: every
// record before the cut arrives, the cut one is truncated and stays so.
TEST_F(SimhTapeTest, ImageCutShortWhileOpenIsTruncatedAtTheCut)
{
    const std::string record(4000, 'r');
    const auto path = Image([&](SimhTapeWriter& t) {
        for (int i = 0; i < 1000; ++i)
            t.WriteRecord(record);
    });
    auto drive = Open(path);
    ASSERT_EQ(::truncate(path.c_str(), 700 * 4008 + 2000), 0);  // inside record 700
    for (int i = 0; i < 700; ++i)
        ASSERT_EQ(Read(*drive), Ok(record)) << i;
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
}

// A tape changed while out of the drive is read afresh once loaded, not from the window.
TEST_F(SimhTapeTest, LoadReadsAnImageChangedWhileUnloaded)
{
    auto drive = Open(Image([](SimhTapeWriter& t) { t.WriteRecord("old contents"); }));
    EXPECT_EQ(Read(*drive), Ok("old contents"));
    ASSERT_EQ(drive->PrepareTape(TAPE_UNLOAD, false), ERROR_SUCCESS);
    Image([](SimhTapeWriter& t) { t.WriteRecord("new contents, longer"); });  // the same file
    ASSERT_EQ(drive->PrepareTape(TAPE_LOAD, false), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive), Ok("new contents, longer"));
}

// --- damaged images --------------------------------------------------------------------

TEST_F(SimhTapeTest, RecordCutShortIsTruncatedAndStaysSo)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("whole");
        t.WriteRawWord(100);
        t.WriteRawBytes("only a part of the data", 23);
    });
    EXPECT_EQ(Read(*drive), Ok("whole"));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
}

TEST_F(SimhTapeTest, MissingTrailerIsTruncated)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRawWord(4);
        t.WriteRawBytes("data", 4);
        t.WriteRawBytes("\x04\x00", 2);  // half of the trailer
    });
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
}

TEST_F(SimhTapeTest, LengthPastTheEndOfTheFileIsTruncated)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRawWord(0x0FFFFFF0);
        t.WriteRawBytes("tiny", 4);
        t.WriteRawWord(0x0FFFFFF0);
    });
    EXPECT_EQ(Read(*drive, 16), Err(ERROR_TAPE_IMAGE_TRUNCATED));
}

TEST_F(SimhTapeTest, PartialLengthWordIsTruncated)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("data");
        t.WriteTapemark();
        t.WriteRawBytes("\x05\x00\x00", 3);
    });
    EXPECT_EQ(Read(*drive), Ok("data"));
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_TRUNCATED));
}

TEST_F(SimhTapeTest, TrailerThatDiffersFromHeaderIsInconsistent)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("good");
        t.WriteRawWord(6);
        t.WriteRawBytes("sixsix", 6);
        t.WriteRawWord(7);
        t.WriteRecord("beyond");
    });
    EXPECT_EQ(Read(*drive), Ok("good"));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_INCONSISTENT));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_INCONSISTENT));  // no data past the damage
}

TEST_F(SimhTapeTest, DamageIsFoundAlsoWhenTheRecordIsReadOnlyInPart)
{
    auto truncated = OpenImage([](SimhTapeWriter& t) {
        t.WriteRawWord(10);
        t.WriteRawBytes("0123456789", 10);
        t.WriteRawWord(11);
    });
    EXPECT_EQ(Read(*truncated, 4), Err(ERROR_TAPE_IMAGE_INCONSISTENT));
}

// The trailer is checked before the data reach the caller: a read that reports no bytes
// leaves the whole buffer as it was, and one that stops at damage leaves what follows the
// blocks it reports. Short records and long ones take different ways in, so both.
TEST_F(SimhTapeTest, DamagedRecordLeavesTheBufferPastWhatIsReportedUntouched)
{
    for (uint32_t length : {6u, 100000u}) {
        const std::string data(length, 'd');
        auto path = Image([&](SimhTapeWriter& t) {
            t.WriteRecord(data.substr(0, 2));
            t.WriteRawWord(length);
            t.WriteRawBytes(data.data(), length);
            t.WriteRawWord(length + 1);
        }, "damaged" + std::to_string(length) + ".tap");
        auto drive = Open(path);
        std::string buffer(length + 16, '\xAA');
        uint32_t bytes = 7;
        ASSERT_EQ(drive->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), bytes), ERROR_SUCCESS);
        ASSERT_EQ(bytes, 2u);
        buffer.assign(buffer.size(), '\xAA');
        EXPECT_EQ(drive->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), bytes),
                  ERROR_TAPE_IMAGE_INCONSISTENT);
        EXPECT_EQ(bytes, 0u);
        EXPECT_EQ(buffer, std::string(buffer.size(), '\xAA')) << length << "-byte record";
        // only in part: the same
        EXPECT_EQ(drive->Read(buffer.data(), 4, bytes), ERROR_TAPE_IMAGE_INCONSISTENT);
        EXPECT_EQ(buffer, std::string(buffer.size(), '\xAA')) << length << "-byte record, in part";
    }
    // fixed blocks: the good one arrives, the damaged one's bytes do not
    VirtualDriveOptions options;
    for (uint32_t block : {4u, 20000u}) {
        options.fixedBlockSize = block;
        auto drive = Open(Image([&](SimhTapeWriter& t) {
            t.WriteRecord(std::string(block, 'g'));
            t.WriteRawWord(block);
            t.WriteRawBytes(std::string(block, 'd').data(), block);
            t.WriteRawWord(block + 2);
        }, "fixed" + std::to_string(block) + ".tap"), options);
        std::string buffer(3 * block, '\xAA');
        uint32_t bytes = 0;
        ASSERT_EQ(drive->Read(buffer.data(), 3 * block, bytes), ERROR_SUCCESS);
        EXPECT_EQ(bytes, block);
        EXPECT_EQ(buffer, std::string(block, 'g') + std::string(2 * block, '\xAA')) << block;
        EXPECT_EQ(drive->Read(buffer.data(), 3 * block, bytes), ERROR_TAPE_IMAGE_INCONSISTENT);
    }
}

TEST_F(SimhTapeTest, BadRecordWithWrongTrailerIsInconsistent)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRawWord(0x80000002);
        t.WriteRawBytes("xx", 2);
        t.WriteRawWord(0x00000002);
    });
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_INCONSISTENT));
}

// Not a length mismatch: the image holds a word we cannot follow, and says so.
TEST_F(SimhTapeTest, UnknownMarkerIsReportedAsSuchNotAsALengthMismatch)
{
    auto drive = OpenImage([](SimhTapeWriter& t) { t.WriteRawWord(0xFFFFFFFD); });
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_UNKNOWN_MARKER));
    EXPECT_EQ(Read(*drive), Err(ERROR_TAPE_IMAGE_UNKNOWN_MARKER));  // and stays before it
}

// --- drive and media parameters ---------------------------------------------------------

TEST_F(SimhTapeTest, VariableBlockDriveParameters)
{
    auto path = Image([](SimhTapeWriter& t) { t.WriteTapemark(); });
    {
        auto drive = Open(path);
        TAPE_GET_DRIVE_PARAMETERS params;
        ASSERT_EQ(drive->GetDriveParameters(params), ERROR_SUCCESS);
        EXPECT_EQ(params.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK, TAPE_DRIVE_VARIABLE_BLOCK);
        EXPECT_EQ(params.MaximumBlockSize, 16777215u);
        TAPE_GET_MEDIA_PARAMETERS media;
        ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
        EXPECT_EQ(media.BlockSize, 0u);
    }
    VirtualDriveOptions options;
    options.maxBlockSize = 65536;
    auto drive = Open(path, options);
    TAPE_GET_DRIVE_PARAMETERS params;
    ASSERT_EQ(drive->GetDriveParameters(params), ERROR_SUCCESS);
    EXPECT_EQ(params.MaximumBlockSize, 65536u);
    EXPECT_EQ(SetBlockSize(*drive, 65536), ERROR_SUCCESS);
    EXPECT_EQ(SetBlockSize(*drive, 65537), ERROR_INVALID_PARAMETER);
    TAPE_GET_MEDIA_PARAMETERS media;
    ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 65536u);
    EXPECT_EQ(SetBlockSize(*drive, 0), ERROR_SUCCESS);
    ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 0u);
}

TEST_F(SimhTapeTest, FixedBlockOnlyDrive)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 512;
    auto drive = OpenImage([](SimhTapeWriter& t) { t.WriteTapemark(); }, options);
    TAPE_GET_DRIVE_PARAMETERS params;
    ASSERT_EQ(drive->GetDriveParameters(params), ERROR_SUCCESS);
    EXPECT_EQ(params.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK, 0u);
    EXPECT_EQ(params.MaximumBlockSize, 512u);
    TAPE_GET_MEDIA_PARAMETERS media;
    ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 512u);
    EXPECT_EQ(SetBlockSize(*drive, 512), ERROR_SUCCESS);
    EXPECT_EQ(SetBlockSize(*drive, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SetBlockSize(*drive, 1024), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 512u);
}

// --- fixed-block reads -----------------------------------------------------------------

TEST_F(SimhTapeTest, FixedBlockReadsFillTheRequestWithWholeBlocksUpToTheFilemark)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 4;
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("AAAA");
        t.WriteRecord("BBBB");
        t.WriteRecord("CCCC");
        t.WriteTapemark();
        t.WriteRecord("DDDD");
        t.WriteTapemark();
    }, options);
    EXPECT_EQ(Read(*drive, 8), Ok("AAAABBBB"));
    EXPECT_EQ(Read(*drive, 8), Ok("CCCC"));  // stops before the filemark
    EXPECT_EQ(Read(*drive, 8), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive, 12), Ok("DDDD"));
    EXPECT_EQ(Read(*drive, 12), Err(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(Read(*drive, 12), Err(ERROR_NO_DATA_DETECTED));
}

TEST_F(SimhTapeTest, FixedBlockRequestMustBeAMultipleOfTheBlockSize)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 4;
    auto drive = OpenImage([](SimhTapeWriter& t) { t.WriteRecord("AAAA"); }, options);
    EXPECT_EQ(Read(*drive, 6), Err(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Read(*drive, 4), Ok("AAAA"));  // nothing was consumed
}

TEST_F(SimhTapeTest, FixedBlockRecordOfAnotherLengthIsInvalidBlockLength)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 4;
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("AAAA");
        t.WriteRecord("short");
        t.WriteRecord("BBBB");
        t.WriteRecord("xy");
        t.WriteTapemark();
    }, options);
    EXPECT_EQ(Read(*drive, 12), Ok("AAAA"));  // the odd block waits for the next read
    EXPECT_EQ(drive->LastBlockLength(), 0u);
    EXPECT_EQ(Read(*drive, 12), Err(ERROR_INVALID_BLOCK_LENGTH));
    EXPECT_EQ(drive->LastBlockLength(), 5u);
    // the drive stays before the odd block, as st does: again the same, until it is read
    // in variable mode, which this drive cannot do; a variable drive in fixed mode can
    EXPECT_EQ(Read(*drive, 12), Err(ERROR_INVALID_BLOCK_LENGTH));
    const std::string path = m_dir / "tape.tap";
    drive.reset();
    drive = Open(path);
    ASSERT_EQ(SetBlockSize(*drive, 4), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 12), Ok("AAAA"));
    EXPECT_EQ(Read(*drive, 12), Err(ERROR_INVALID_BLOCK_LENGTH));
    ASSERT_EQ(SetBlockSize(*drive, 0), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 12), Ok("short"));
    ASSERT_EQ(SetBlockSize(*drive, 4), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 12), Ok("BBBB"));
    EXPECT_EQ(Read(*drive, 4), Err(ERROR_INVALID_BLOCK_LENGTH));
    ASSERT_EQ(SetBlockSize(*drive, 0), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 4), Ok("xy"));
    ASSERT_EQ(SetBlockSize(*drive, 4), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 4), Err(ERROR_FILEMARK_DETECTED));
}

TEST_F(SimhTapeTest, FixedBlockReadsStopBeforeBadRecordsAndDamage)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 2;
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("AA");
        t.WriteBadRecord("BB");
        t.WriteRecord("CC");
        t.WriteRawWord(2);
        t.WriteRawBytes("DD", 2);
        t.WriteRawWord(3);
    }, options);
    EXPECT_EQ(Read(*drive, 8), Ok("AA"));
    EXPECT_EQ(Read(*drive, 8), Err(ERROR_CRC));
    EXPECT_EQ(Read(*drive, 8), Ok("CC"));
    EXPECT_EQ(Read(*drive, 8), Err(ERROR_TAPE_IMAGE_INCONSISTENT));
}

TEST_F(SimhTapeTest, VariableDriveSetToFixedBlocksReadsThemAndBack)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("1234");
        t.WriteRecord("5678");
        t.WriteRecord("longer record");
        t.WriteTapemark();
    });
    ASSERT_EQ(SetBlockSize(*drive, 4), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 16), Ok("12345678"));
    ASSERT_EQ(SetBlockSize(*drive, 0), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, 100), Ok("longer record"));
}

TEST_F(SimhTapeTest, EndOfDataInFixedModeAfterSomeBlocks)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 3;
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("abc");
        t.WriteEndOfMedium();
    }, options);
    EXPECT_EQ(Read(*drive, 9), Ok("abc"));
    EXPECT_EQ(Read(*drive, 9), Err(ERROR_NO_DATA_DETECTED));
}

// --- positioning -----------------------------------------------------------------------

TEST_F(SimhTapeTest, SpacingFilemarksLandsAtTheStartOfTheFile)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("file 0");
        t.WriteTapemark();
        t.WriteBadRecord("file 1 bad");
        t.WriteRecord("file 1");
        t.WriteEraseGap();
        t.WriteTapemark();
        t.WriteRecord("file 2");
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    EXPECT_EQ(Space(*drive, 0), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive), Ok("file 0"));
    EXPECT_EQ(Space(*drive, 2), ERROR_SUCCESS);  // the one in hand, then over file 1
    EXPECT_EQ(Read(*drive), Ok("file 2"));
    EXPECT_EQ(Rewind(*drive), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive), Ok("file 0"));
    EXPECT_EQ(Rewind(*drive), ERROR_SUCCESS);
    EXPECT_EQ(Space(*drive, 1), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive), Bad("file 1 bad"));
    EXPECT_EQ(Read(*drive), Ok("file 1"));
}

TEST_F(SimhTapeTest, SpacingIntoTheEndOfDataStopsThere)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("file 0");
        t.WriteTapemark();
        t.WriteRecord("file 1");
        t.WriteEndOfMedium();
    });
    EXPECT_EQ(Space(*drive, 3), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(Space(*drive, 1), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(Rewind(*drive), ERROR_SUCCESS);
    EXPECT_EQ(Space(*drive, 0, 1), ERROR_NO_DATA_DETECTED);  // the high part counts too
}

TEST_F(SimhTapeTest, SpacingIntoTheEndOfTheFileWithoutMarker)
{
    auto drive = OpenImage([](SimhTapeWriter& t) { t.WriteRecord("file 0"); });
    EXPECT_EQ(Space(*drive, 1), ERROR_NO_DATA_DETECTED);
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_DATA_DETECTED));
}

TEST_F(SimhTapeTest, SpacingOverDamageReportsIt)
{
    auto inconsistent = OpenImage([](SimhTapeWriter& t) {
        t.WriteTapemark();
        t.WriteRawWord(2);
        t.WriteRawBytes("ab", 2);
        t.WriteRawWord(4);
        t.WriteTapemark();
    });
    EXPECT_EQ(Space(*inconsistent, 2), ERROR_TAPE_IMAGE_INCONSISTENT);
    EXPECT_EQ(Read(*inconsistent), Err(ERROR_TAPE_IMAGE_INCONSISTENT));
    inconsistent.reset();

    auto truncated = Open(Image([](SimhTapeWriter& t) {
        t.WriteRawWord(2000);
        t.WriteRawBytes("ab", 2);
    }, "truncated.tap"));
    EXPECT_EQ(Space(*truncated, 1), ERROR_TAPE_IMAGE_TRUNCATED);
}

TEST_F(SimhTapeTest, SpacingBackOverRecordsOfEveryClassAndLengthFindsEachOnesStart)
{
    auto drive = OpenImage([](SimhTapeWriter& t) {
        t.WriteRecord("abc");          // odd: a pad byte
        t.WriteEraseGap();
        t.WriteBadRecord("class");     // class 8, odd
        t.WriteRawWord(0xE0000004);    // bit 31 and other class bits
        t.WriteRawBytes("xxxx", 4);
        t.WriteRawWord(0xE0000004);
        t.WriteRawWord(0x80000000);    // bad, no data at all
        t.WriteRawWord(0x80000000);
        t.WriteRecord("last");
        t.WriteTapemark();
    });
    const uint32_t back = static_cast<uint32_t>(-1);
    auto spaceBack = [&](uint32_t count) {
        return drive->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 0 - count, back, false);
    };
    EXPECT_EQ(Space(*drive, 1), ERROR_SUCCESS);
    EXPECT_EQ(spaceBack(1), ERROR_FILEMARK_DETECTED);
    for (uint32_t n = 1; n <= 4; ++n) {
        EXPECT_EQ(spaceBack(1), ERROR_SUCCESS) << n;
        EXPECT_EQ(Read(*drive), n == 1 ? Ok("last") : Bad(n == 2 ? "" : n == 3 ? "xxxx" : "class")) << n;
        EXPECT_EQ(spaceBack(1), ERROR_SUCCESS) << n;
    }
    EXPECT_EQ(spaceBack(1), ERROR_SUCCESS);  // the gap is passed on the way
    EXPECT_EQ(Read(*drive), Ok("abc"));
    EXPECT_EQ(spaceBack(2), ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(drive->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, 5, 0, false), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));
}

TEST_F(SimhTapeTest, OtherPositioningMethodsAreNotSupported)
{
    auto drive = OpenImage([](SimhTapeWriter& t) { t.WriteTapemark(); });
    EXPECT_EQ(drive->SetTapePosition(2 /* logical block */, 0, 1, 0, false), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(Space(*drive, 0xFFFFFFFF, 0xFFFFFFFF), ERROR_NOT_SUPPORTED);  // backwards
    EXPECT_EQ(Read(*drive), Err(ERROR_FILEMARK_DETECTED));  // and nothing moved
}

// --- unload, reload, exclusive open -------------------------------------------------------

TEST_F(SimhTapeTest, UnloadedDriveHasNoMediaUntilLoaded)
{
    auto path = Image([](SimhTapeWriter& t) {
        t.WriteRecord("data");
        t.WriteTapemark();
    });
    auto drive = Open(path);
    EXPECT_EQ(Read(*drive), Ok("data"));
    ASSERT_EQ(drive->PrepareTape(TAPE_UNLOAD, false), ERROR_SUCCESS);

    TAPE_GET_DRIVE_PARAMETERS driveParams;
    TAPE_GET_MEDIA_PARAMETERS mediaParams;
    EXPECT_EQ(Read(*drive), Err(ERROR_NO_MEDIA_IN_DRIVE));
    EXPECT_EQ(Rewind(*drive), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(Space(*drive, 1), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(drive->GetDriveParameters(driveParams), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(drive->GetMediaParameters(mediaParams), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(SetBlockSize(*drive, 0), ERROR_NO_MEDIA_IN_DRIVE);
    EXPECT_EQ(drive->PrepareTape(TAPE_UNLOAD, false), ERROR_NO_MEDIA_IN_DRIVE);

    ASSERT_EQ(drive->PrepareTape(TAPE_LOAD, false), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive), Ok("data"));  // loaded at the beginning

    ASSERT_EQ(drive->PrepareTape(TAPE_UNLOAD, false), ERROR_SUCCESS);
    drive.reset();
    auto reopened = Open(path);  // the operator put the tape back
    EXPECT_EQ(Read(*reopened), Ok("data"));
}

TEST_F(SimhTapeTest, LoadSetsAVariableDriveBackToVariableBlocks)
{
    auto drive = OpenImage([](SimhTapeWriter& t) { t.WriteRecord("abc"); });
    ASSERT_EQ(SetBlockSize(*drive, 3), ERROR_SUCCESS);
    ASSERT_EQ(drive->PrepareTape(TAPE_UNLOAD, false), ERROR_SUCCESS);
    ASSERT_EQ(drive->PrepareTape(TAPE_LOAD, false), ERROR_SUCCESS);
    TAPE_GET_MEDIA_PARAMETERS media;
    ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
    EXPECT_EQ(media.BlockSize, 0u);
}

TEST_F(SimhTapeTest, SecondOpenOfTheSameImageIsRefusedUntilTheFirstCloses)
{
    auto path = Image([](SimhTapeWriter& t) { t.WriteRecord("data"); });
    ASSERT_EQ(::link(path.c_str(), (m_dir / "alias.tap").c_str()), 0);
    auto first = Open(path);

    uint32_t error = 0;
    EXPECT_FALSE(OpenVirtualDrive(path, {}, error));
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
    error = 0;
    EXPECT_FALSE(OpenVirtualDrive(m_dir / "alias.tap", {}, error));  // same file, other name
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);

    auto other = Open(Image([](SimhTapeWriter& t) { t.WriteRecord("other"); }, "other.tap"));
    EXPECT_EQ(Read(*other), Ok("other"));  // other images are not affected

    first.reset();
    auto again = Open(path);
    EXPECT_EQ(Read(*again), Ok("data"));
}

TEST_F(SimhTapeTest, OpenFailures)
{
    uint32_t error = 0;
    EXPECT_FALSE(OpenVirtualDrive(m_dir / "missing.tap", {}, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

    error = 0;
    EXPECT_FALSE(OpenVirtualDrive(m_dir.path(), {}, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);

    WriteWholeFile(m_dir / "plain", "");
    error = 0;
    EXPECT_FALSE(OpenVirtualDrive(m_dir / "plain/t.tap", {}, error));
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
}

// A FIFO used to hold the open until a writer came, beyond the reach of a break.
TEST_F(SimhTapeTest, FifoOrDeviceIsRefusedAtOnceNotWaitedFor)
{
    const std::string fifo = m_dir / "pipe.tap";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::atomic<bool> done{false};
    uint32_t error = 0;
    std::thread opener([&] {
        TapeDevicePtr drive = OpenVirtualDrive(fifo, {}, error);
        EXPECT_FALSE(drive);
        done = true;
    });
    for (int i = 0; i < 200 && !done; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) {  // unblock the open so the test ends either way
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        opener.join();
        if (writer >= 0)
            ::close(writer);
        FAIL() << "the open waited for a writer";
    }
    opener.join();
    EXPECT_EQ(error, ERROR_NOT_REGULAR_FILE);

    error = 0;
    EXPECT_FALSE(OpenVirtualDrive("/dev/null", {}, error));
    EXPECT_EQ(error, ERROR_NOT_REGULAR_FILE);
}

TEST_F(SimhTapeTest, UnreadableImageIsAccessDenied)
{
    // Root reads every file. CTest runs this test again as an unprivileged user
    // (platform.unreadable_image_unprivileged), which sets KV_EXPECT_UNPRIVILEGED so that a
    // run that still has root's rights fails instead of passing by skipping.
    if (::geteuid() == 0) {
        if (::getenv("KV_EXPECT_UNPRIVILEGED"))
            FAIL() << "expected to run without root's rights";
        GTEST_SKIP() << "root reads every file";
    }
    auto path = Image([](SimhTapeWriter& t) { t.WriteTapemark(); });
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    uint32_t error = 0;
    EXPECT_FALSE(OpenVirtualDrive(path, {}, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
}

TEST_F(SimhTapeTest, ExclusiveOpenFromThreads)
{
    auto path = Image([](SimhTapeWriter& t) { t.WriteRecord("data"); });
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> holders{0};
    std::atomic<bool> overlap{false};
    std::atomic<int> opened{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                uint32_t error = 0;
                TapeDevicePtr drive = OpenVirtualDrive(path, {}, error);
                if (!drive) {
                    if (error != ERROR_SHARING_VIOLATION)
                        overlap = true;  // any other failure is wrong too
                    continue;
                }
                if (++holders > 1)
                    overlap = true;
                ++opened;
                std::string buffer(16, '\0');
                uint32_t n = 0;
                if (drive->Read(buffer.data(), 16, n) != ERROR_SUCCESS || n != 4)
                    overlap = true;
                --holders;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(overlap);
    EXPECT_GT(opened, 0);
    uint32_t error = 0;
    EXPECT_TRUE(OpenVirtualDrive(path, {}, error));  // nothing left claimed
}

} // namespace
