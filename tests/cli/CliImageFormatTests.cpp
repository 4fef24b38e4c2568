// capture, convert and validate across the image formats, as the user runs them.
#include "tests/cli/ChildProcess.h"
#include "tests/common/TestSupport.h"

#include "platform/SimhTapeWriter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace {

class CliImageFormats : public testing::Test {
protected:
    ChildProcess::Options Here() const
    {
        ChildProcess::Options here;
        here.cwd = m_dir.path();
        return here;
    }

    TempDir m_dir;
};

// Every writable format carries a well-formed image there and back unchanged, byte for byte,
// and the image in between holds the tape: loading it gives the demo's files.
TEST_F(CliImageFormats, ConvertThereAndBackIsTheSameImage)
{
    const std::string demo = ReadWholeFile(KV_DEMO_TAPE);
    const std::vector<std::vector<std::string>> ways = {
        {"e11.e11"}, {"aws.aws"}, {"zlib.het"}, {"bzip2.het", "--compress", "bzip2"},
        {"plain.het", "--compress", "none"}, {"named.img", "--format", "aws"}};
    for (const auto& way : ways) {
        std::vector<std::string> there = {"convert", KV_DEMO_TAPE, way[0]};
        there.insert(there.end(), way.begin() + 1, way.end());
        RunResult r = RunCli(there, Here());
        ASSERT_EQ(r.status, 0) << way[0] << "\n" << r.out << r.err;
        const std::string middle = ReadWholeFile(m_dir / way[0]);
        EXPECT_NE(middle, demo) << way[0];  // it is another format
        r = RunCli({"convert", way[0], way[0] + ".back.tap"}, Here());
        ASSERT_EQ(r.status, 0) << way[0] << "\n" << r.out << r.err;
        EXPECT_TRUE(ReadWholeFile(m_dir / (way[0] + ".back.tap")) == demo) << way[0];
    }
    // The report says what was written.
    const auto report = nlohmann::json::parse(ReadWholeFile(m_dir / "bzip2.het.json"));
    EXPECT_EQ(report["image"]["format"], "het");
    EXPECT_EQ(report["image"]["compression"], "bzip2");
}

// AWS has no bad-record mark: the bytes of a bad record go in as an ordinary record, the log
// says so, the report lists it and says the format could not mark it, and the exit status
// says the copy is not the tape's data.
TEST_F(CliImageFormats, BadRecordIntoAFormatWithoutAMarkIsKeptAndListed)
{
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open(m_dir / "bad.tap"));
    tape.WriteRecord("good one");
    tape.WriteBadRecord("unreadable");
    tape.WriteRecord("good two");
    tape.WriteTapemark();
    tape.WriteEndOfMedium();
    ASSERT_TRUE(tape.Close()) << tape.Error();

    RunResult r = RunCli({"convert", "bad.tap", "bad.aws"}, Here());
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Bad block 1 of file 0000 written as an ordinary record: the format has no mark for a bad "
                         "block"),
              std::string::npos)
        << r.out;
    const auto report = nlohmann::json::parse(ReadWholeFile(m_dir / "bad.aws.json"));
    EXPECT_EQ(report["image"]["bad_records_marked"], false);
    ASSERT_EQ(report["bad_blocks"].size(), 1u);
    EXPECT_EQ(report["bad_blocks"][0]["block"], 1);
    EXPECT_EQ(report["bad_blocks"][0]["image_offset"], 6 + 8);  // after the first record's header and bytes
    EXPECT_EQ(report["bad_blocks"][0]["retries"], 0);

    // Read back, the three records are all there, the middle one with the bytes it had.
    r = RunCli({"load", "--tape-image", "bad.aws", "--dir", "out"}, Here());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(ReadWholeFile(m_dir / "out/file0000"), "good oneunreadablegood two");
}

// validate: exit 0 and "clean" for a sound image; for one damaged at a known place, exit 1
// and that place. A load of it stops there and names the place too.
TEST_F(CliImageFormats, ValidateAndLoadFindDamageAtItsPlace)
{
    RunResult r = RunCli({"validate", KV_DEMO_TAPE}, Here());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("clean"), std::string::npos) << r.out;

    std::string image = ReadWholeFile(KV_DEMO_TAPE);
    // The second record's leading length word: the first record is 4 + n + pad + 4 bytes.
    const uint32_t first = static_cast<unsigned char>(image[0]) | static_cast<unsigned char>(image[1]) << 8 |
                           static_cast<unsigned char>(image[2]) << 16;
    const size_t second = 8 + first + (first & 1);
    image[second] ^= 0x01;
    WriteWholeFile(m_dir / "damaged.tap", image);
    r = RunCli({"validate", "damaged.tap"}, Here());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("DAMAGED at byte " + std::to_string(second)), std::string::npos) << r.out;

    r = RunCli({"load", "--tape-image", "damaged.tap", "--dir", "out"}, Here());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Reason: the tape image goes wrong at byte " + std::to_string(second) +
                         ", in block 1 of tape file 0000"),
              std::string::npos)
        << r.out;
}

// A later load that had to leave blocks out never takes the place of a copy made before: it
// stays beside it as the .part, and the report says why.
TEST_F(CliImageFormats, CopyWithBlocksLeftOutNeverReplacesAnEarlierCopy)
{
    for (const bool bad : {false, true}) {
        SimhTapeWriter tape;
        ASSERT_TRUE(tape.Open(m_dir / (bad ? "bad.tap" : "good.tap")));
        tape.WriteRecord("one ");
        if (bad)
            tape.WriteBadRecord("two ");
        else
            tape.WriteRecord("two ");
        tape.WriteRecord("three");
        tape.WriteTapemark();
        tape.WriteEndOfMedium();
        ASSERT_TRUE(tape.Close());
    }
    RunResult r = RunCli({"load", "--tape-image", "good.tap", "--dir", "out"}, Here());
    ASSERT_EQ(r.status, 0) << r.out;
    r = RunCli({"load", "--tape-image", "bad.tap", "--dir", "out", "--on-error", "skip"}, Here());
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(ReadWholeFile(m_dir / "out/file0000"), "one two three");
    EXPECT_EQ(ReadWholeFile(m_dir / "out/file0000.part"), "one three");
    const auto report = nlohmann::json::parse(ReadWholeFile(m_dir / "out/file.json"));
    EXPECT_EQ(report["files"][0]["whole"], false);
    EXPECT_EQ(report["files"][0]["cut"], "bad blocks left out; the file of this name from before is kept");
    // Into a fresh folder the same copy is the file: there is nothing better to keep.
    r = RunCli({"load", "--tape-image", "bad.tap", "--dir", "fresh", "--on-error", "skip"}, Here());
    EXPECT_EQ(ReadWholeFile(m_dir / "fresh/file0000"), "one three");
}

} // namespace
