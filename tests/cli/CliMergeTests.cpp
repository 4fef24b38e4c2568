// merge as the user runs it: the exit statuses and the files it writes or leaves alone.
#include "tests/cli/ChildProcess.h"
#include "tests/common/TestSupport.h"

#include "platform/SimhTapeWriter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

void WriteImage(const std::string& path, const char* second, bool secondBad, const char* third)
{
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open(path));
    tape.WriteRecord("first record");
    tape.WriteRecord(second, static_cast<uint32_t>(std::string(second).size()), secondBad);
    tape.WriteTapemark();
    if (third)
        tape.WriteRecord(third);
    tape.WriteTapemark();
    tape.WriteEndOfMedium();
    ASSERT_TRUE(tape.Close()) << tape.Error();
}

TEST(CliMerge, ExitStatusSaysWhetherTheImageIsWholeAndGood)
{
    TempDir dir;
    ChildProcess::Options here;
    here.cwd = dir.path();
    WriteImage(dir / "a.tap", "garbled", true, "third");
    WriteImage(dir / "b.tap", "second", false, "third");
    WriteImage(dir / "c.tap", "second", false, "third, read otherwise");
    WriteImage(dir / "short.tap", "second", false, nullptr);

    // Bad in A, good in B: a whole image, exit 0.
    RunResult r = RunCli({"merge", "good.aws", "a.tap", "b.tap"}, here);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Input 1: 'b.tap' (SIMH"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Bad block 1 of file 0000 in input 0 replaced by the good read of input 1"), std::string::npos);
    const auto report = nlohmann::json::parse(ReadWholeFile(dir / "good.aws.json"));
    EXPECT_EQ(report["output"]["format"], "aws");  // from the extension
    EXPECT_EQ(report["totals"]["replaced"], 1);
    EXPECT_EQ(ReadWholeFile(dir / "good.aws.sha256"), report["output"]["sha256"].get<std::string>() + "  good.aws\n");

    // A conflict: the image is written, the status says it is not clean.
    r = RunCli({"merge", "conflict.tap", "b.tap", "c.tap"}, here);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Conflicts: 1"), std::string::npos) << r.out;
    EXPECT_TRUE(FileExists(dir / "conflict.tap"));

    // Inputs of different shape: nothing written at all.
    r = RunCli({"merge", "refused.tap", "a.tap", "short.tap"}, here);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("block 0 of file 0001"), std::string::npos) << r.err;
    for (const char* name : {"refused.tap", "refused.tap.tmp", "refused.tap.json", "refused.tap.sha256"})
        EXPECT_FALSE(FileExists(dir / name)) << name;

    // One input is no merge; --retries is not merge's.
    EXPECT_EQ(RunCli({"merge", "one.tap", "a.tap"}, here).status, 2);
    EXPECT_EQ(RunCli({"merge", "--retries", "2", "x.tap", "a.tap", "b.tap"}, here).status, 2);
}

} // namespace
