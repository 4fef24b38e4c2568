// merge: captures of one tape into the best image. Good reads are never replaced by bad ones,
// a bad record is made good from any input that read it, conflicts keep the first good read,
// and inputs of different shape are refused without a byte written.
#include "tape/ImageMerge.h"

#include "platform/FileDescriptor.h"
#include "platform/ImageReader.h"
#include "platform/Sha256.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <functional>
#include <map>
#include <utility>

namespace {

struct Record {
    std::string data;
    bool bad = false;
    bool operator==(const Record&) const = default;
};
using Tape = std::vector<std::vector<Record>>;  // files of records, each file ended by a tapemark

void WriteTape(const std::string& path, const Tape& tape)
{
    SimhTapeWriter writer;
    ASSERT_TRUE(writer.Open(path)) << writer.Error();
    for (const std::vector<Record>& file : tape) {
        for (const Record& record : file)
            writer.WriteRecord(record.data.data(), static_cast<uint32_t>(record.data.size()), record.bad);
        writer.WriteTapemark();
    }
    writer.WriteEndOfMedium();
    ASSERT_TRUE(writer.Close()) << writer.Error();
}

// The image read back through the format's reader.
Tape ReadTape(const std::string& path)
{
    const std::string bytes = ReadWholeFile(path);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ImageReaderPtr reader = MakeImageReader(ImageFormat::Simh, fd.get(), bytes.size());
    Tape tape(1);
    for (;;) {
        const ImageReader::Item item = reader->Peek();
        if (item.kind == ImageReader::Kind::EndOfData || item.kind == ImageReader::Kind::Damaged) {
            EXPECT_EQ(item.kind, ImageReader::Kind::EndOfData);
            tape.pop_back();  // nothing after the last tapemark
            return tape;
        }
        std::string data(item.length, '\0');
        EXPECT_EQ(reader->Take(item, data.data(), item.length), 0u);
        if (item.kind == ImageReader::Kind::Tapemark)
            tape.emplace_back();
        else
            tape.back().push_back({data, item.bad});
    }
}

// Three files of five records, odd lengths among them.
Tape BaseTape()
{
    Tape tape(3);
    for (int f = 0; f < 3; ++f)
        for (int b = 0; b < 5; ++b)
            tape[f].push_back({std::string(41 + 10 * b + f, static_cast<char>('a' + 5 * f + b)), false});
    return tape;
}

class ImageMergeTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_dir / name; }

    bool Merge(std::vector<std::string> inputs, const std::string& out, MergeResult& result,
               ImageFormat format = ImageFormat::Simh, std::function<bool()> stop = {})
    {
        MergeOptions options;
        options.stopRequested = std::move(stop);
        options.output = Path(out);
        for (const std::string& input : inputs)
            options.inputs.push_back(Path(input));
        options.format = format;
        return MergeImages(options, result);
    }

    TempDir m_dir;
};

TEST_F(ImageMergeTest, GoodReadsWinAndConflictsKeepTheFirst)
{
    Tape a = BaseTape(), b = BaseTape(), c = BaseTape();
    a[0][1] = {"garbage", true};          // B reads it: replaced from B
    b[0][3] = {"worse", true};            // A read it good: A's stays
    a[1][2] = {"first bad bytes", true};  // bad everywhere: A's bytes, still bad
    b[1][2] = {"second", true};
    c[1][2] = {"third", true};
    a[2][0] = {"x", true};                // bad in A and B, good in C: from C
    b[2][0] = {"y", true};
    b[2][1].data[7] ^= 1;                 // conflicts: A's good read is kept
    c[1][3].data += "longer";
    for (Record* empty : {&a[0][4], &b[0][4], &c[0][4]})
        *empty = {"", true};              // bad without bytes
    WriteTape(Path("a.tap"), a);
    WriteTape(Path("b.tap"), b);
    WriteTape(Path("c.tap"), c);

    MergeResult result;
    ASSERT_TRUE(Merge({"a.tap", "b.tap", "c.tap"}, "out.tap", result)) << result.error;
    Tape expected = BaseTape();
    expected[1][2] = a[1][2];
    expected[0][4] = a[0][4];
    EXPECT_EQ(ReadTape(Path("out.tap")), expected);
    EXPECT_EQ(result.records, 15u);
    EXPECT_EQ(result.files, 3u);
    EXPECT_EQ(result.replaced, 2u);
    EXPECT_EQ(result.badAfter, 2u);
    EXPECT_EQ(result.conflicts, 2u);
    EXPECT_EQ(result.inputs[0].badRecords, 4u);
    EXPECT_EQ(result.inputs[1].badRecords, 4u);
    EXPECT_EQ(result.inputs[2].badRecords, 2u);

    // The side files: the checksum line, and a report whose places point into the image.
    const std::string image = ReadWholeFile(Path("out.tap"));
    EXPECT_EQ(ReadWholeFile(Path("out.tap.sha256")), Sha256Hex(image.data(), image.size()) + "  out.tap\n");
    const nlohmann::json report = nlohmann::json::parse(ReadWholeFile(Path("out.tap.json")));
    EXPECT_EQ(report["format"], "kellovaran-merge-report");
    EXPECT_EQ(report["output"]["sha256"], Sha256Hex(image.data(), image.size()));
    EXPECT_EQ(report["inputs"][1]["sha256"], Sha256Hex(ReadWholeFile(Path("b.tap")).data(), ReadWholeFile(Path("b.tap")).size()));
    EXPECT_EQ(report["totals"]["bad_before"], nlohmann::json::array({4, 4, 2}));
    ASSERT_EQ(report["bad_records"].size(), 2u);
    const nlohmann::json& bad = report["bad_records"][1];
    EXPECT_EQ(bad["file"], 1);
    EXPECT_EQ(bad["block"], 2);
    const size_t at = bad["output_offset"].get<size_t>();
    EXPECT_EQ(static_cast<unsigned char>(image.at(at + 3)), 0x80);  // the length word's class: bad data
    EXPECT_EQ(image.substr(at + 4, a[1][2].data.size()), a[1][2].data);
    ASSERT_EQ(report["conflicts"].size(), 2u);
    EXPECT_EQ(report["conflicts"][0]["file"], 1);
    EXPECT_EQ(report["conflicts"][0]["block"], 3);
    EXPECT_EQ(report["conflicts"][0]["differing_inputs"], nlohmann::json::array({2}));
    EXPECT_EQ(report["conflicts"][1]["file"], 2);
    EXPECT_EQ(report["conflicts"][1]["block"], 1);
    // Sources: runs of one input per file, broken only where another input's read was taken.
    std::vector<std::tuple<int, int, int, int>> runs;
    for (const nlohmann::json& run : report["sources"])
        runs.emplace_back(run["file"], run["first_block"], run["last_block"], run["input"]);
    EXPECT_EQ(runs, (std::vector<std::tuple<int, int, int, int>>{
                        {0, 0, 0, 0}, {0, 1, 1, 1}, {0, 2, 4, 0}, {1, 0, 4, 0}, {2, 0, 0, 2}, {2, 1, 4, 0}}));
    const std::string log = MergeLogText(result);
    EXPECT_NE(log.find("Bad block 1 of file 0000 in input 0 replaced by the good read of input 1"), std::string::npos);
    EXPECT_NE(log.find("Conflict at block 1 of file 0002: input 1 read it differently from input 0"), std::string::npos);

    // AWS has no bad-record mark: bad bytes go in as a record, a bad record without any is left out.
    MergeResult aws;
    ASSERT_TRUE(Merge({"a.tap", "b.tap", "c.tap"}, "out.aws", aws, ImageFormat::Aws)) << aws.error;
    EXPECT_EQ(aws.badWrittenAsGood, 1u);
    EXPECT_EQ(aws.badLeftOut, 1u);
    EXPECT_NE(MergeLogText(aws).find("Bad block 4 of file 0000 left out of the image"), std::string::npos);
}

TEST_F(ImageMergeTest, ImagesOfAnotherShapeAreRefusedAndNothingIsWritten)
{
    const Tape base = BaseTape();
    WriteTape(Path("a.tap"), base);
    Tape shorter = base;
    shorter[1].pop_back();  // a tapemark where A has a record
    WriteTape(Path("tapemark.tap"), shorter);
    shorter = base;
    shorter.pop_back();     // the data end where A has file 2
    WriteTape(Path("ends.tap"), shorter);
    std::string damaged = ReadWholeFile(Path("a.tap"));
    damaged[400] ^= 0x40;   // a length word in file 1 that its trailer contradicts
    WriteWholeFile(Path("damaged.tap"), damaged);
    WriteWholeFile(Path("out.tap"), "an earlier image");

    const std::map<std::string, std::string> cases = {
        {"tapemark.tap", "block 4 of file 0001"},
        {"ends.tap", "block 0 of file 0002"},
        {"damaged.tap", "damaged at byte"},
    };
    for (const auto& [input, place] : cases) {
        SCOPED_TRACE(input);
        MergeResult result;
        EXPECT_FALSE(Merge({"a.tap", input}, "out.tap", result));
        EXPECT_TRUE(result.refused);
        EXPECT_FALSE(result.written);
        EXPECT_NE(result.error.find(place), std::string::npos) << result.error;
        EXPECT_EQ(ReadWholeFile(Path("out.tap")), "an earlier image");
        for (const char* side : {"out.tap.tmp", "out.tap.sha256", "out.tap.json"})
            EXPECT_FALSE(FileExists(Path(side))) << side;
    }
    int asked = 0;  // stopped halfway: no image, no temporary
    MergeResult stopped;
    EXPECT_FALSE(Merge({"a.tap", "a.tap"}, "out.tap", stopped, ImageFormat::Simh, [&] { return ++asked > 10; }));
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(ReadWholeFile(Path("out.tap")), "an earlier image");
    EXPECT_FALSE(FileExists(Path("out.tap.tmp")));

    const std::string before = ReadWholeFile(Path("a.tap"));
    MergeResult result;
    EXPECT_FALSE(Merge({"a.tap", "a.tap"}, "a.tap", result));  // never over an input
    EXPECT_TRUE(result.refused);
    EXPECT_EQ(ReadWholeFile(Path("a.tap")), before);
}

TEST_F(ImageMergeTest, AnImageWithItselfGivesTheSameBytes)
{
    Tape tape = BaseTape();
    tape[0][2] = {"unreadable", true};
    tape[2][4] = {"", true};
    WriteTape(Path("a.tap"), tape);
    MergeResult result;
    ASSERT_TRUE(Merge({"a.tap", "a.tap"}, "out.tap", result)) << result.error;
    EXPECT_EQ(ReadWholeFile(Path("out.tap")), ReadWholeFile(Path("a.tap")));
    EXPECT_EQ(result.badAfter, 2u);
    EXPECT_EQ(result.replaced + result.conflicts, 0u);
}

} // namespace
