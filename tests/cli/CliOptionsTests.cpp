#include "cli/CliOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

bool Parse(std::vector<std::string> args, CliOptions& options, std::string& error)
{
    args.insert(args.begin(), "kellovaran-cli");
    std::vector<const char*> argv;
    for (const std::string& a : args)
        argv.push_back(a.c_str());
    return ParseCliOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(CliOptions, UsageErrorsAreRejectedWithAReason)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"copy"},
        {"load"},                                                   // neither source
        {"load", "--tape-image", "a.tap", "--device", "1"},         // TAPE1 is no image given
        {"load", "--device", "0", "--device", "1"},
        {"load", "--device"},                                       // missing value
        {"load", "--device", "x"},
        {"load", "--device", "-1"},
        {"load", "--device", "+1"},
        {"load", "--device", "2147483648"},
        {"load", "--device", ""},
        {"load", "--tape-image", ""},
        {"load", "--tape-image", "a.tap", "--dir"},
        {"load", "--tape-image", "a.tap", "--dir", ""},
        {"load", "--tape-image", "a.tap", "--bogus", "1"},
        {"load", "--tape-image", "a.tap", "stray"},
        {"load", "--tape-image", "a.tap", "--block-size", "512"},   // mktape's option
        {"load", "--tape-image", "a.tap", "--on-error", "ignore"},
        {"load", "--tape-image", "a.tap", "--on-error", ""},
        {"scan"},                                                   // neither source
        {"scan", "--tape-image", "a.tap", "--select", "1"},         // a scan reads every file
        {"scan", "--tape-image", "a.tap", "--bag"},
        {"scan", "--tape-image", "a.tap", "--no-report"},
        {"load", "--tape-image", "a.tap", "--on-error"},
        {"load", "--tape-image", "a.tap", "--retries", "-1"},
        {"load", "--tape-image", "a.tap", "--retries", "101"},
        {"load", "--tape-image", "a.tap", "--retries", "two"},
        {"rewind", "--tape-image", "a.tap", "--on-error", "skip"},  // a load's option
        {"load", "--device", "0", "--fixed-block-size", "512"},     // image option without image
        {"load", "--tape-image", "a.tap", "--max-block-size", "0"},
        {"load", "--tape-image", "a.tap", "--max-block-size", "16777216"},  // more than a drive reads
        {"load", "--tape-image", "a.tap", "--fixed-block-size", "16777216"},
        {"rewind", "--tape-image", "a.tap", "--select", "1"},
        {"rewind", "--tape-image", "a.tap", "--no-report"},         // load's option
        {"load", "--tape-image", "a.tap", "--no-report=yes"},       // takes no value
        {"eject"},
        {"drives", "--device", "0"},
        {"mktape"},
        {"mktape", "out.tap"},                                      // no files
        {"mktape", "--block-size", "0", "out.tap", "a"},
        {"mktape", "--block-size", "16777216", "out.tap", "a"},
        {"mktape", "out.tap", "a", "--block-size"},
        {"rewind", "--tape-image", "a.tap", "--no-clobber"},       // a load's option
        {"load", "--tape-image", "a.tap", "--no-clobber=yes"},     // a flag takes no value
        {"capture", "--tape-image", "a.tap", "--bag", "out.tap"},  // a load's option
        {"load", "--tape-image", "a.tap", "--name-from-labels=1"},
        {"load", "--tape-image", "a.tap", "--base", ""},           // files "0000", ".json", ".sha256"
        {"load", "--tape-image", "a.tap", "--base", "sub/"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += "[" + a + "]";
        CliOptions options;
        std::string error;
        EXPECT_FALSE(Parse(args, options, error)) << joined;
        EXPECT_FALSE(error.empty()) << joined;
    }
}

TEST(CliOptions, LoadDefaultsAndSettings)
{
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap"}, options, error)) << error;
    EXPECT_EQ(options.verb, CliVerb::Load);
    EXPECT_EQ(options.TapeIndex(), 0);
    EXPECT_FALSE(options.haveDir);
    EXPECT_EQ(options.base, "file");
    EXPECT_EQ(options.selection, "*");
    EXPECT_TRUE(options.writeReport);
    EXPECT_EQ(options.loadOptions.onReadError, LoadOptions::ReadErrors::Stop);
    EXPECT_EQ(options.loadOptions.readRetries, 0u);

    ASSERT_TRUE(Parse({"load", "--device=3", "--dir", "/d", "--base=x", "--select", " 1 - 2 ,5"}, options, error))
        << error;
    EXPECT_EQ(options.TapeIndex(), 3);
    EXPECT_EQ(options.dir, "/d");
    EXPECT_EQ(options.base, "x");
    EXPECT_EQ(options.selection, " 1 - 2 ,5");  // the job checks the selection, not the parser
    ASSERT_TRUE(Parse({"load", "--no-report", "--device", "3"}, options, error)) << error;
    EXPECT_FALSE(options.writeReport);

    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap", "--fixed-block-size", "512", "--max-block-size", "1024"},
                      options, error));
    EXPECT_EQ(options.driveOptions.fixedBlockSize, 512u);
    EXPECT_EQ(options.driveOptions.maxBlockSize, 1024u);

    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap", "--on-error=skip", "--retries", "100"}, options, error))
        << error;
    EXPECT_EQ(options.loadOptions.onReadError, LoadOptions::ReadErrors::Skip);
    EXPECT_EQ(options.loadOptions.readRetries, 100u);
    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap", "--on-error", "skip", "--on-error", "stop"}, options, error));
    EXPECT_EQ(options.loadOptions.onReadError, LoadOptions::ReadErrors::Stop);  // the last one counts
}

TEST(CliOptions, NoClobberIsAFlagOfLoadAndNotAValueTaken)
{
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap"}, options, error)) << error;
    EXPECT_FALSE(options.noClobber);
    ASSERT_TRUE(Parse({"load", "--no-clobber", "--tape-image", "a.tap"}, options, error)) << error;
    EXPECT_TRUE(options.noClobber);
    EXPECT_EQ(options.tapeImages.size(), 1u);
    // As the value of another option it is that option's value.
    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap", "--base", "--no-clobber"}, options, error)) << error;
    EXPECT_FALSE(options.noClobber);
    EXPECT_EQ(options.base, "--no-clobber");
    // The bag and the names after labels are load options of their own.
    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap", "--name-from-labels"}, options, error)) << error;
    EXPECT_TRUE(options.loadOptions.nameFromLabels);
    EXPECT_FALSE(options.loadOptions.bag);
    ASSERT_TRUE(Parse({"load", "--tape-image", "a.tap", "--bag"}, options, error)) << error;
    EXPECT_TRUE(options.loadOptions.bag);
    EXPECT_FALSE(options.loadOptions.nameFromLabels);
}

TEST(CliOptions, HelpWinsAnywhere)
{
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--help"}, options, error));
    EXPECT_EQ(options.verb, CliVerb::Help);
    ASSERT_TRUE(Parse({"load", "--device", "x", "--help"}, options, error));
    EXPECT_EQ(options.verb, CliVerb::Help);
}

TEST(CliOptions, MkTapeBlockSizeAppliesToTheFilesAfterIt)
{
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"mktape", "out.tap", "a", "--block-size", "512", "b", "c", "--block-size=7", "--", "--d"},
                      options, error))
        << error;
    EXPECT_EQ(options.mktapeOut, "out.tap");
    ASSERT_EQ(options.mktapeInputs.size(), 4u);
    EXPECT_EQ(options.mktapeInputs[0].blockSize, kDefaultMkTapeBlockSize);
    EXPECT_EQ(options.mktapeInputs[1].blockSize, 512u);
    EXPECT_EQ(options.mktapeInputs[2].blockSize, 512u);
    EXPECT_EQ(options.mktapeInputs[3].path, "--d");
    EXPECT_EQ(options.mktapeInputs[3].blockSize, 7u);
}

TEST(CliOptions, DrivesTakesSeveralImages)
{
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"drives", "--tape-image", "a.tap", "--tape-image", "b.tap"}, options, error)) << error;
    EXPECT_EQ(options.tapeImages, (std::vector<std::string>{"a.tap", "b.tap"}));
}

} // namespace
