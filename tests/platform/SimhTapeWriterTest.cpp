// The image writer: byte layout, failures, and a round trip through the virtual drive.
#include "platform/Errors.h"
#include "platform/SimhTape.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

namespace {

std::string Word(uint32_t w)
{
    return {static_cast<char>(w), static_cast<char>(w >> 8), static_cast<char>(w >> 16),
            static_cast<char>(w >> 24)};
}

TEST(SimhTapeWriterTest, WritesTheImageLayoutByteForByte)
{
    TempDir dir;
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open(dir / "t.tap")) << tape.Error();
    EXPECT_TRUE(tape.WriteRecord("abcd"));
    EXPECT_TRUE(tape.WriteRecord("xyz"));
    EXPECT_TRUE(tape.WriteBadRecord("bad"));
    EXPECT_TRUE(tape.WriteTapemark());
    EXPECT_TRUE(tape.WriteEraseGap());
    EXPECT_TRUE(tape.WriteHalfGap());
    EXPECT_TRUE(tape.WriteRawBytes("\x01\x02", 2));
    EXPECT_TRUE(tape.WriteEndOfMedium());
    ASSERT_TRUE(tape.Close()) << tape.Error();

    std::string expected = Word(4) + "abcd" + Word(4) +
                           Word(3) + "xyz" + std::string(1, '\0') + Word(3) +
                           Word(0x80000003) + "bad" + std::string(1, '\0') + Word(0x80000003) +
                           Word(0) + Word(0xFFFFFFFE) + Word(0xFFFEFFFF) + "\x01\x02" +
                           Word(0xFFFFFFFF);
    EXPECT_EQ(ReadWholeFile(dir / "t.tap"), expected);
    EXPECT_EQ(tape.Size(), expected.size());
}

TEST(SimhTapeWriterTest, OpenTruncatesAnExistingFile)
{
    TempDir dir;
    WriteWholeFile(dir / "t.tap", std::string(1000, 'x'));
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open(dir / "t.tap"));
    tape.WriteTapemark();
    ASSERT_TRUE(tape.Close());
    EXPECT_EQ(ReadWholeFile(dir / "t.tap"), Word(0));
}

TEST(SimhTapeWriterTest, FailuresAreReported)
{
    TempDir dir;
    SimhTapeWriter tape;
    EXPECT_FALSE(tape.WriteTapemark());  // not open
    EXPECT_FALSE(tape.Error().empty());

    SimhTapeWriter missing;
    EXPECT_FALSE(missing.Open(dir / "no/such/dir/t.tap"));
    EXPECT_NE(missing.Error().find("no/such/dir"), std::string::npos);
    EXPECT_FALSE(missing.Close());

    SimhTapeWriter tooLong;
    ASSERT_TRUE(tooLong.Open(dir / "long.tap"));
    EXPECT_FALSE(tooLong.WriteRecord("", SIMH_MAX_RECORD + 1));
    EXPECT_FALSE(tooLong.WriteTapemark());  // failures stick
    EXPECT_FALSE(tooLong.Close());
}

TEST(SimhTapeWriterTest, FullDiskIsReportedByClose)
{
    if (!FileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open("/dev/full"));
    tape.WriteRecord("data");
    EXPECT_FALSE(tape.Close());
    EXPECT_FALSE(tape.Error().empty());
}

TEST(SimhTapeWriterTest, RoundTripOfBigImageThroughTheDrive)
{
    // Records larger than the writer's buffer, odd lengths, and many small ones between.
    TempDir dir;
    std::vector<std::string> records;
    for (size_t size : {size_t(5 << 20) + 1, size_t(1), size_t(4 << 20), size_t(65535)}) {
        std::string r(size, '\0');
        for (size_t i = 0; i < size; ++i)
            r[i] = static_cast<char>(i * 31 + size);
        records.push_back(std::move(r));
    }
    for (int i = 0; i < 3000; ++i)
        records.push_back("small record " + std::to_string(i));

    std::string error;
    ASSERT_TRUE(WriteTapeImage(dir / "big.tap", {records, {}, {"last file"}}, error)) << error;

    uint32_t openError = 0;
    auto drive = OpenVirtualDrive(dir / "big.tap", {}, openError);
    ASSERT_TRUE(drive) << openError;
    std::string buffer(6 << 20, '\0');
    uint32_t n = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(drive->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), n), ERROR_SUCCESS)
            << "record " << i;
        ASSERT_EQ(n, records[i].size()) << "record " << i;
        ASSERT_TRUE(buffer.compare(0, n, records[i]) == 0) << "record " << i;
    }
    EXPECT_EQ(drive->Read(buffer.data(), 100, n), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(drive->Read(buffer.data(), 100, n), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(drive->Read(buffer.data(), 100, n), ERROR_SUCCESS);
    EXPECT_EQ(std::string(buffer.data(), n), "last file");
    EXPECT_EQ(drive->Read(buffer.data(), 100, n), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(drive->Read(buffer.data(), 100, n), ERROR_NO_DATA_DETECTED);
}

TEST(SimhTapeWriterTest, WriteTapeImageWithoutEndMarker)
{
    TempDir dir;
    std::string error;
    ASSERT_TRUE(WriteTapeImage(dir / "t.tap", {{"ab"}}, error, false)) << error;
    EXPECT_EQ(ReadWholeFile(dir / "t.tap"), Word(2) + "ab" + Word(2) + Word(0));
    EXPECT_FALSE(WriteTapeImage(dir / "missing/t.tap", {{"ab"}}, error));
    EXPECT_FALSE(error.empty());
}

TEST(SimhTapeWriterTest, MovedWriterKeepsWriting)
{
    TempDir dir;
    SimhTapeWriter first;
    ASSERT_TRUE(first.Open(dir / "t.tap"));
    first.WriteRecord("ab");
    SimhTapeWriter second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    second.WriteTapemark();
    ASSERT_TRUE(second.Close());
    EXPECT_EQ(ReadWholeFile(dir / "t.tap"), Word(2) + "ab" + Word(2) + Word(0));
}

} // namespace
