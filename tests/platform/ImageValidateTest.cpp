// validate: what a clean image holds, counted; damage planted at a known byte, found there.
#include "platform/ImageEncoder.h"
#include "platform/ImageValidate.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(ImageValidateTest, CleanImageIsCountedWhole)
{
    TempDir dir;
    SimhTapeWriter t;
    ASSERT_TRUE(t.Open(dir / "clean.tap"));
    t.WriteEraseGap();
    t.WriteRecord(std::string(80, 'a'));
    t.WriteRecord(std::string(81, 'b'));
    t.WriteTapemark();
    t.WriteBadRecord("bad");
    t.WriteEraseGap();
    t.WriteTapemark();
    t.WriteRecord(std::string(80, 'c'));  // a last file without its tapemark
    t.WriteEndOfMedium();
    t.WriteRawBytes("trailing junk", 13);
    ASSERT_TRUE(t.Close());

    ImageValidation r;
    std::string error;
    ASSERT_TRUE(ValidateImage(dir / "clean.tap", std::nullopt, r, error)) << error;
    EXPECT_FALSE(r.damaged) << r.damage;
    EXPECT_EQ(r.format, ImageFormat::Simh);
    EXPECT_EQ(r.files, 3u);
    EXPECT_EQ(r.records, 4u);
    EXPECT_EQ(r.bytes, 80u + 81 + 3 + 80);
    EXPECT_EQ(r.badRecords, 1u);
    EXPECT_EQ(r.tapemarks, 2u);
    EXPECT_EQ(r.gaps, 2u);
    EXPECT_EQ(r.recordSizes, (std::map<uint32_t, uint64_t>{{3, 1}, {80, 2}, {81, 1}}));
    EXPECT_EQ(r.bytesAfterEnd, 13u);
    EXPECT_EQ(r.dataEnd, r.imageSize - 13);
    const std::string text = ValidationText("clean.tap", r);
    EXPECT_NE(text.find("record sizes: 80 x 2, 3 x 1, 81 x 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("13 bytes after it\nclean\n"), std::string::npos) << text;
}

// In each readable format: a record's length changed (or the file cut) at a known byte is
// reported at that byte, and the counts stop before it.
TEST(ImageValidateTest, DamageIsFoundWhereItWasPlaced)
{
    TempDir dir;
    const std::vector<std::vector<std::string>> files = {{"first record", std::string(301, 'x')}, {"third"}};
    struct Case {
        ImageFormat format;
        const char* name;
        size_t secondRecord;  // where the second record starts
    };
    const Case cases[] = {{ImageFormat::Simh, "s.tap", 4 + 12 + 4}, {ImageFormat::E11, "e.e11", 4 + 12 + 4},
                          {ImageFormat::Tpc, "t.tpc", 2 + 12}, {ImageFormat::Aws, "a.aws", 6 + 12},
                          {ImageFormat::Het, "h.het", 6 + 12}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        ASSERT_TRUE(WriteImage(dir / c.name, c.format, files, error)) << error;
        std::string bytes = ReadWholeFile(dir / c.name);
        ImageValidation r;
        ASSERT_TRUE(ValidateImage(dir / c.name, c.format, r, error)) << error;
        EXPECT_FALSE(r.damaged) << r.damage;
        EXPECT_EQ(r.records, 3u);

        // The second record's length grows by 0x100: it now runs into what follows.
        bytes[c.secondRecord + 1] = static_cast<char>(bytes[c.secondRecord + 1] + 1);
        WriteWholeFile(dir / c.name, bytes);
        ASSERT_TRUE(ValidateImage(dir / c.name, c.format, r, error)) << error;
        EXPECT_TRUE(r.damaged);
        EXPECT_EQ(r.damageOffset, c.secondRecord) << r.damage;
        EXPECT_EQ(r.records, 1u);
        EXPECT_NE(ValidationText(c.name, r).find("DAMAGED at byte " + std::to_string(c.secondRecord) + ": "),
                  std::string::npos);
    }
}

// The walk forwards is kept as runs of like items: long runs, lone items between them and
// many sizes must all come back in order, so a clean image stays clean; the report lists
// the commonest sizes and counts the rest.
TEST(ImageValidateTest, LongRunsAndManySizesWalkBackClean)
{
    TempDir dir;
    std::vector<std::vector<std::string>> files(3);
    files[0].assign(70000, std::string(80, 'r'));
    for (uint32_t size = 1; size <= 25; ++size) {
        files[1].push_back(std::string(size * 3, 's'));
        files[1].push_back(std::string(512, 't'));
    }
    files[2].assign(3, std::string(65535, 'u'));
    for (ImageFormat format : {ImageFormat::Simh, ImageFormat::Tpc}) {
        SCOPED_TRACE(std::string(ImageFormatName(format)));
        std::string error;
        const std::string path = dir / ("runs." + std::string(ImageFormatName(format)));
        ASSERT_TRUE(WriteImage(path, format, files, error)) << error;
        ImageValidation r;
        std::vector<uint64_t> walked;
        ASSERT_TRUE(ValidateImage(path, format, r, error, [&](uint64_t bytes) {
            walked.push_back(bytes);
            return true;
        })) << error;
        EXPECT_FALSE(r.damaged) << r.damage;
        EXPECT_EQ(r.records, 70000u + 50 + 3);
        EXPECT_EQ(r.files, 3u);
        EXPECT_EQ(r.recordSizes.size(), 28u);
        EXPECT_EQ(r.recordSizes[512], 25u);
        const std::string text = ValidationText("runs", r);
        EXPECT_NE(text.find("record sizes: 80 x 70000, 512 x 25, 65535 x 3, 3 x 1,"), std::string::npos) << text;
        EXPECT_NE(text.find(", and 8 other sizes\n"), std::string::npos) << text;
        ASSERT_FALSE(walked.empty());
        EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));
        EXPECT_LE(walked.back(), 2 * r.imageSize);

        // Told to stop, it stops: an error, not a result that looks complete.
        EXPECT_FALSE(ValidateImage(path, format, r, error, [](uint64_t) { return false; }));
        EXPECT_EQ(error, "stopped");
    }
}

TEST(ImageValidateTest, WhatIsNoImageIsAnErrorNotAResult)
{
    TempDir dir;
    ImageValidation r;
    std::string error;
    EXPECT_FALSE(ValidateImage(dir / "missing.tap", std::nullopt, r, error));
    EXPECT_EQ(error, "not found");
    EXPECT_FALSE(ValidateImage(dir.path(), std::nullopt, r, error));
}

} // namespace
