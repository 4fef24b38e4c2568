// kellovaran-cli as the user runs it: arguments, exit status, and standard output that is
// exactly the log of the job.
#include "tests/cli/ChildProcess.h"
#include "tests/common/TestSupport.h"

#include "aspi/AspiProviders.h"
#include "aspi/DriveReport.h"
#include "aspi/ReAspiManager.h"
#include "cli/MkTape.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/SimhTape.h"
#include "platform/SimhTapeWriter.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace {

std::string Pattern(size_t size, unsigned seed)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return s;
}

// The session summary carries the time of day; everything else must match byte for byte.
std::string MaskTime(std::string log)
{
    const std::string key = "Session completed at ";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        size_t end = log.find('\n', at);
        log.replace(at + key.size(), end - at - key.size(), "<time>");
    }
    return log;
}

// The same job run in this process, the way the window runs it, with a recording receiver.
std::string InProcessLog(const std::string& image, int32_t kind, const std::string& dir, const std::string& selection)
{
    DeviceNamespace::SetTapeImages({image});
    RecordingNotify notify;
    TapeJobList list;
    TapeJob* job = list.AddJob(dir, "file", selection, 0, &list, &notify, kind);
    EXPECT_TRUE(job && StartJobThread(job));
    while (list.GetJobCount() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    DeviceNamespace::SetTapeImages({});
    return notify.Log();
}

class CliProgram : public testing::Test {
protected:
    void SetUp() override
    {
        m_image = m_dir / "t.tap";
        // Four files: two records and a short one, an empty file, one record, odd sizes.
        m_files = {
            {Pattern(4096, 1), Pattern(4096, 2), Pattern(100, 3)},
            {},
            {Pattern(1000, 4)},
            {Pattern(3, 5), Pattern(1, 6)},
        };
        std::string error;
        ASSERT_TRUE(WriteTapeImage(m_image, m_files, error)) << error;
    }
    std::string Content(size_t file) const
    {
        std::string all;
        for (const std::string& r : m_files[file])
            all += r;
        return all;
    }

    TempDir m_dir;
    std::string m_image;
    std::vector<std::vector<std::string>> m_files;
};

TEST_F(CliProgram, UsageErrorsExitWith2AndTouchNothing)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"load", "--tape-image", m_image, "--device", "1"},
        {"load"},
        {"load", "--device", "zero"},
        {"load", "--tape-image", m_image, "--dir"},
        {"load", "--tape-image", m_image, "--unknown"},
        {"load", "--tape-image", m_image, "--on-error", "maybe"},
        {"load", "--tape-image", m_image, "--retries", "1000"},
        {"mktape", m_dir / "new.tap"},
        {"mktape", "--block-size", "0", m_dir / "new.tap", m_image},
        {"capture", "--tape-image", m_image},
        {"capture", "--tape-image", m_image, "--on-error", "skip", m_dir / "new.tap"},
        {"capture", "--device", "0", m_dir / "new.tap", m_dir / "second.tap"},
        {"capture", "--tape-image", m_image, "--format", "tpc", m_dir / "new.tap"},
        {"convert", m_image, m_dir / "new.tap", "--format", "aws", "--compress", "zlib"},
        {"convert", m_image},
        {"validate"},
        {"validate", m_image, "--fixed-block-size", "80"},
        {"load", "--tape-image", m_image, "--image-format", "vhs"},
    };
    for (const auto& args : bad) {
        RunResult r = RunCli(args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("kellovaran-cli: "), std::string::npos) << r.err;
        // One line of reason and a pointer to the help, not the whole help.
        EXPECT_NE(r.err.find("Try 'kellovaran-cli --help'"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Usage:"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(FileExists(m_dir / "new.tap"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.path()), {}), 1);  // the image only
}

TEST_F(CliProgram, HelpGoesToStdout)
{
    RunResult r = RunCli({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("kellovaran-cli mktape [--block-size N] OUT.tap FILE..."), std::string::npos);
    EXPECT_EQ(r.err, "");
}

TEST_F(CliProgram, BadSelectionExitsWith2BeforeTheDeviceIsOpened)
{
    // The image does not exist: a device opened first would give exit 1.
    RunResult r = RunCli({"load", "--tape-image", m_dir / "missing.tap", "--select", "1,,2"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "[00][TAPE0] -- Invalid file selection syntax\n");
    // Standard error points at the second comma.
    EXPECT_EQ(r.err, "kellovaran-cli: the selection is not valid at character 3:\n  1,,2\n    ^\n");
}

TEST_F(CliProgram, SeveralImagesAreTape0Tape1AndDevicePicksOne)
{
    const std::string second = m_dir / "second.tap";
    std::string error;
    ASSERT_TRUE(WriteTapeImage(second, {{Pattern(77, 9)}}, error)) << error;

    RunResult r = RunCli({"load", "--device", "1", "--tape-image", m_image, "--tape-image", second, "--dir",
                          m_dir / "one", "--no-report"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[00][TAPE1] -- "), std::string::npos) << r.out;
    EXPECT_TRUE(ReadWholeFile(m_dir / "one/file0000") == Pattern(77, 9));
    EXPECT_FALSE(FileExists(m_dir / "one/file0002"));  // only the second image's one file

    // Without --device the first image is the drive.
    r = RunCli({"load", "--tape-image", m_image, "--tape-image", second, "--dir", m_dir / "zero", "--no-report"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadWholeFile(m_dir / "zero/file0000") == Content(0));

    r = RunCli({"rewind", "--tape-image", m_image, "--tape-image", second, "--device", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("[00][TAPE1] -- "), std::string::npos) << r.out;
}

TEST_F(CliProgram, SelectionFromAFileAndOneThatCannotBeRead)
{
    const std::string list = m_dir / "list.txt";
    {
        std::ofstream f(list);
        for (int i = 0; i < 20000; ++i)  // some 130 KB: longer than one argument may be
            f << (i % 2 ? 3 : 2) << (i + 1 < 20000 ? ",\n" : "\n");
    }
    RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", m_dir / "out", "--select", "@" + list});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(ReadWholeFile(m_dir / "out/file0002") == Content(2));
    EXPECT_TRUE(ReadWholeFile(m_dir / "out/file0003") == Content(3));
    EXPECT_FALSE(FileExists(m_dir / "out/file0000"));

    r = RunCli({"load", "--tape-image", m_image, "--dir", m_dir / "out2", "--select", "@" + m_dir / "none.txt"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("cannot read the selection file"), std::string::npos) << r.err;
    EXPECT_FALSE(FileExists(m_dir / "out2"));
}

TEST_F(CliProgram, ALogThatCannotBeWrittenIsAFailure)
{
    ChildProcess::Options full;
    full.stdoutPath = "/dev/full";
    ChildProcess child({"load", "--tape-image", m_image, "--dir", m_dir / "out", "--no-report"}, full);
    EXPECT_EQ(child.Finish(), 1);
    EXPECT_NE(child.Stderr().find("the log could not be written to standard output"), std::string::npos)
        << child.Stderr();
}

TEST_F(CliProgram, DrivesRefusesAnImageItCannotOpen)
{
    RunResult r = RunCli({"drives", "--tape-image", m_image, "--tape-image", m_dir / "none.tap"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("none.tap': not found"), std::string::npos) << r.err;
}

TEST_F(CliProgram, MissingImageExitsWith1)
{
    for (const char* verb : {"load", "rewind", "eject"}) {
        RunResult r = RunCli({verb, "--tape-image", m_dir / "missing.tap"});
        EXPECT_EQ(r.status, 1) << verb;
        EXPECT_EQ(r.out, "[00][TAPE0] -- Can't access specified device\n\n"
                         "[00][TAPE0] -- Reason: not found: '" + m_dir / "missing.tap" + "'\n") << verb;
    }
}

TEST_F(CliProgram, DriveThatDoesNotExistCannotBeAccessed)
{
    RunResult r = RunCli({"rewind", "--device", "999"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[00][TAPE999] -- Can't access specified device\n\n"
                     "[00][TAPE999] -- Reason: not found: 'TAPE999'\n");
}

TEST_F(CliProgram, DrivesPrintsTheDrivePartOfTheStartUpLog)
{
    const std::string second = m_dir / "second.tap";
    std::string error;
    ASSERT_TRUE(WriteTapeImage(second, {{"x"}}, error));
    RunResult r = RunCli({"drives", "--tape-image", m_image, "--tape-image", second});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    DeviceNamespace::SetTapeImages({m_image, second});
    RegisterLinuxAspiProvider();
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_EQ(r.out, DescribeTapeDrives(aspi));
    }
    DeviceNamespace::SetTapeImages({});
    EXPECT_NE(r.out.find("Following tape drives found:\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("second.tap"), std::string::npos) << r.out;
}

TEST_F(CliProgram, LoadPrintsExactlyTheJobsLogAndCopiesTheFiles)
{
    const std::string out = m_dir / "out";
    for (const char* selection : {"*", "1-2, 0", "3,7"}) {
        SCOPED_TRACE(selection);
        std::filesystem::remove_all(out);
        RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", out, "--select", selection});
        // The tape has no file 7: a selection it does not hold is not a done load.
        EXPECT_EQ(r.status, std::string(selection) == "3,7" ? 1 : 0) << r.err;
        EXPECT_EQ(r.err, "");  // no progress line when stderr is not a terminal

        const bool some = std::string(selection) == "3,7";
        EXPECT_EQ(FileExists(out + "/file0000"), !some);
        EXPECT_FALSE(FileExists(out + "/file0001"));  // the empty tape file leaves nothing
        if (!some) {
            EXPECT_TRUE(ReadWholeFile(out + "/file0000") == Content(0));
            EXPECT_TRUE(ReadWholeFile(out + "/file0002") == Content(2));
        }
        EXPECT_EQ(FileExists(out + "/file0003"), std::string(selection) != "1-2, 0");
        EXPECT_FALSE(FileExists(out + "/file0007"));

        std::string expected = InProcessLog(m_image, TAPE_JOB_LOAD, out, selection);
        ASSERT_NE(expected.find("READ SESSION SUMMARY"), std::string::npos);
        EXPECT_EQ(MaskTime(r.out), MaskTime(expected));
        EXPECT_TRUE(FileExists(out + "/file.sha256"));  // by default, beside the files
        EXPECT_TRUE(FileExists(out + "/file.json"));
    }
    std::filesystem::remove_all(out);
    RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", out, "--no-report"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(MaskTime(r.out), MaskTime(InProcessLog(m_image, TAPE_JOB_LOAD, out, "*")));
    EXPECT_TRUE(FileExists(out + "/file0000"));
    EXPECT_FALSE(FileExists(out + "/file.sha256"));
    EXPECT_FALSE(FileExists(out + "/file.json"));
}

// The demo tape through the program, the image named from the current folder: the same
// bytes again, and a checksum file sha256sum accepts there.
TEST_F(CliProgram, CaptureOfTheDemoTapeIsTheSameImageWithAChecksumThatVerifies)
{
    ChildProcess::Options here;
    here.cwd = m_dir.path();
    RunResult r = RunCli({"capture", "--tape-image", KV_DEMO_TAPE, "copy.tap"}, here);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("CAPTURE SESSION SUMMARY"), std::string::npos);
    EXPECT_TRUE(ReadWholeFile(m_dir / "copy.tap") == ReadWholeFile(KV_DEMO_TAPE));
    EXPECT_TRUE(FileExists(m_dir / "copy.tap.json"));
    const std::string check = "cd '" + m_dir.path() + "' && sha256sum --quiet -c copy.tap.sha256";
    EXPECT_EQ(std::system(check.c_str()), 0);
    WriteWholeFile(m_dir / "copy.tap", "changed");
    EXPECT_NE(std::system((check + " >/dev/null 2>&1").c_str()), 0);  // the check is real
}

TEST_F(CliProgram, RewindAndEjectPrintTheirLog)
{
    for (int32_t kind : {TAPE_JOB_REWIND, TAPE_JOB_EJECT}) {
        RunResult r = RunCli({kind == TAPE_JOB_REWIND ? "rewind" : "eject", "--tape-image", m_image});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, InProcessLog(m_image, kind, "", ""));
        EXPECT_NE(r.out.find(kind == TAPE_JOB_REWIND ? "Tape rewinded\n\n" : "Tape ejected\n\n"), std::string::npos);
    }
}

TEST_F(CliProgram, LoadDefaultsToTheCurrentDirectoryAndTakesRelativeDirectoriesFromIt)
{
    ChildProcess::Options here;
    here.cwd = m_dir.path();
    RunResult r = RunCli({"load", "--tape-image", "t.tap", "--select", "2"}, here);
    EXPECT_EQ(r.status, 0);
    const std::string cwd = std::filesystem::canonical(m_dir.path()).string();
    EXPECT_NE(r.out.find("to disk file '" + cwd + "/file0002'"), std::string::npos) << r.out;
    EXPECT_TRUE(ReadWholeFile(m_dir / "file0002") == Content(2));

    r = RunCli({"load", "--tape-image", "t.tap", "--select", "0", "--dir", "a/b", "--base", "x"}, here);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(ReadWholeFile(m_dir / "a/b/x0000") == Content(0));
}

TEST_F(CliProgram, DiskErrorExitsWith1)
{
    const std::string blocker = m_dir / "plainfile";
    WriteWholeFile(blocker, "x");
    RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", blocker + "/sub"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Couldn't create file on disk\n"), std::string::npos);
}

TEST_F(CliProgram, NoClobberRefusesAnExistingFileAndWritesNothing)
{
    const std::string out = m_dir / "out";
    std::filesystem::create_directory(out);
    WriteWholeFile(out + "/file0002", "mine");
    RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", out, "--no-clobber"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Couldn't create file on disk\n[00][TAPE0] -- Reason: the name exists already"),
              std::string::npos) << r.out;
    EXPECT_EQ(ReadWholeFile(out + "/file0002"), "mine");
    // Refused before the tape is read: no file, no checksum file, no report.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), 1);
}

TEST_F(CliProgram, FixedBlockDriveOptionReachesTheImage)
{
    // A drive that reads fixed 512-byte blocks only: the 4096-byte records do not fit.
    RunResult r = RunCli({"load", "--tape-image", m_image, "--fixed-block-size", "512", "--dir", m_dir / "o"});
    EXPECT_NE(r.out.find("Variable block mode is NOT supported"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Media fixed block size is 512"), std::string::npos) << r.out;
}

// The records of an image as the virtual drive reads them: per file, the record lengths.
std::vector<std::vector<std::string>> ReadBack(const std::string& image)
{
    uint32_t error = 0;
    TapeDevicePtr tape = OpenVirtualDrive(image, VirtualDriveOptions{}, error);
    EXPECT_TRUE(tape) << error;
    std::vector<std::vector<std::string>> files(1);
    std::string buffer(1 << 20, '\0');
    for (;;) {
        uint32_t got = 0;
        uint32_t code = tape->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), got);
        if (code == ERROR_SUCCESS) {
            files.back().push_back(buffer.substr(0, got));
        } else if (code == ERROR_FILEMARK_DETECTED) {
            files.emplace_back();
        } else {
            EXPECT_EQ(code, ERROR_NO_DATA_DETECTED);
            break;
        }
    }
    EXPECT_TRUE(files.back().empty());
    files.pop_back();  // nothing after the last tapemark
    return files;
}

TEST_F(CliProgram, MkTapeCutsEachFileIntoRecordsOfTheBlockSize)
{
    const std::string big = Pattern(100000, 9);
    WriteWholeFile(m_dir / "big", big);
    WriteWholeFile(m_dir / "empty", "");
    WriteWholeFile(m_dir / "exact", Pattern(2048, 10));
    WriteWholeFile(m_dir / "odd", "abc");
    const std::string image = m_dir / "made.tap";
    RunResult r = RunCli({"mktape", "--block-size", "32768", image, m_dir / "big", m_dir / "empty", "--block-size",
                          "1024", m_dir / "exact", "--block-size=2", m_dir / "odd"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, image + ": 4 files, 8 records, 102051 bytes\n");

    auto files = ReadBack(image);
    ASSERT_EQ(files.size(), 4u);
    ASSERT_EQ(files[0].size(), 4u);
    EXPECT_TRUE(files[0][0] == big.substr(0, 32768));
    EXPECT_TRUE(files[0][2] == big.substr(65536, 32768));
    EXPECT_TRUE(files[0][3] == big.substr(98304));  // the short last record
    EXPECT_TRUE(files[1].empty());
    ASSERT_EQ(files[2].size(), 2u);  // exactly two blocks: no empty third record
    EXPECT_EQ(files[2][1].size(), 1024u);
    EXPECT_EQ(files[3], (std::vector<std::string>{"ab", "c"}));

    // The bytes of the last file and the end of the image, as the format lays them out.
    const std::string raw = ReadWholeFile(image);
    const std::string tail("\x02\0\0\0" "ab" "\x02\0\0\0" "\x01\0\0\0" "c\0" "\x01\0\0\0" "\0\0\0\0" "\xff\xff\xff\xff",
                           28);
    ASSERT_GE(raw.size(), tail.size());
    EXPECT_EQ(raw.substr(raw.size() - tail.size()), tail);

    // And the load gives the files back.
    r = RunCli({"load", "--tape-image", image, "--dir", m_dir / "back"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(ReadWholeFile(m_dir / "back/file0000") == big);
    EXPECT_EQ(ReadWholeFile(m_dir / "back/file0003"), "abc");
}

TEST_F(CliProgram, FailedMkTapeLeavesNoImageAndKeepsAnOldOne)
{
    WriteWholeFile(m_dir / "a", "data");
    const std::string image = m_dir / "made.tap";
    RunResult r = RunCli({"mktape", image, m_dir / "a", m_dir / "does-not-exist"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("does-not-exist"), std::string::npos) << r.err;
    EXPECT_FALSE(FileExists(image));

    WriteWholeFile(image, "old");
    r = RunCli({"mktape", image, m_dir / "a", m_dir.path()});  // a directory cannot be read
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadWholeFile(image), "old");
    size_t entries = std::distance(std::filesystem::directory_iterator(m_dir.path()), {});
    EXPECT_EQ(entries, 3u);  // t.tap, a, made.tap: no temporary left over
}

} // namespace

namespace {

// The image read without the program's drive: per tape file, the bytes of its good records
// and the numbers (from 0, bad ones counted) of its bad ones, straight from the words.
struct TapFile {
    std::string good;
    std::vector<uint64_t> bad;
};

std::vector<TapFile> ReadTapDirectly(const std::string& image)
{
    const std::string bytes = ReadWholeFile(image);
    auto word = [&](size_t at) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    };
    std::vector<TapFile> files(1);
    uint64_t block = 0;
    for (size_t at = 0; at + 4 <= bytes.size();) {
        const uint32_t w = word(at);
        at += 4;
        if (w == 0xFFFFFFFF)
            break;
        if (w == 0xFFFFFFFE || w == 0xFFFEFFFF)
            continue;
        if (w == 0) {
            files.emplace_back();
            block = 0;
            continue;
        }
        const uint32_t length = w & 0x0FFFFFFF;
        if (w >> 28 != 0)
            files.back().bad.push_back(block);
        else
            files.back().good += bytes.substr(at, length);
        EXPECT_EQ(word(at + length + (length & 1)), w) << "trailer at " << at;
        at += length + (length & 1) + 4;
        ++block;
    }
    return files;
}

} // namespace

TEST_F(CliProgram, SkipLoadOfAnImageWithBadRecordsKeepsEveryGoodBlockAndReportsEveryBadOne)
{
    const std::string image = m_dir / "bad.tap";
    {
        SimhTapeWriter t;
        ASSERT_TRUE(t.Open(image)) << t.Error();
        t.WriteRecord(Pattern(4096, 1));
        t.WriteBadRecord("damaged!");         // class 8, in the middle
        t.WriteRecord(Pattern(4095, 2));
        t.WriteRawWord(0xE0000005);           // bit 31 and other class bits, odd length
        t.WriteRawBytes("wxyz\0\0", 6);
        t.WriteRawWord(0xE0000005);
        t.WriteRecord(Pattern(100, 3));
        t.WriteTapemark();
        t.WriteBadRecord("seven!!");          // the file's first block
        t.WriteRecord(Pattern(1000, 4));
        t.WriteTapemark();
        t.WriteRecord(Pattern(3, 5));
        t.WriteRawWord(0x80000000);           // bad, without any data
        t.WriteRawWord(0x80000000);
        t.WriteRecord(Pattern(1, 6));
        t.WriteBadRecord("x");                // the file's last block
        t.WriteTapemark();
        t.WriteRecord(Pattern(20000, 7));     // records past the drive's staging size
        t.WriteBadRecord(Pattern(20001, 8));
        t.WriteRecord(Pattern(5, 9));
        t.WriteTapemark();
        t.WriteEndOfMedium();
        ASSERT_TRUE(t.Close()) << t.Error();
    }
    const std::vector<TapFile> tap = ReadTapDirectly(image);
    ASSERT_EQ(tap.size(), 5u);  // four files and the empty one after the last tapemark

    const std::string out = m_dir / "out";
    RunResult r = RunCli({"load", "--tape-image", image, "--dir", out, "--on-error", "skip", "--retries", "2"});
    EXPECT_EQ(r.status, 1) << r.out;  // it went on to the end, but not every block is there
    size_t bad = 0;
    std::ifstream reportFile(out + "/file.json");
    const nlohmann::json report = nlohmann::json::parse(reportFile, nullptr, false);
    ASSERT_TRUE(report.contains("bad_blocks")) << report.dump();
    const nlohmann::json& reported = report["bad_blocks"];
    EXPECT_EQ(report["result"]["error"], "6 bad blocks could not be read");
    for (size_t f = 0; f < 4; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "/file%04zu", f);
        ASSERT_TRUE(FileExists(out + name)) << f;
        EXPECT_TRUE(ReadWholeFile(out + name) == tap[f].good) << "file " << f;
        for (uint64_t block : tap[f].bad) {
            char line[96];
            std::snprintf(line, sizeof line, "Bad block %llu of file %04zu skipped: A block could not be read", 
                          static_cast<unsigned long long>(block), f);
            EXPECT_NE(r.out.find(line), std::string::npos) << line;
            std::snprintf(line, sizeof line, "######## Bad block\t\t: file %04zu, block %llu: A block could not be read", f,
                          static_cast<unsigned long long>(block));
            EXPECT_NE(r.out.find(line), std::string::npos) << line;
            // the report lists it in the same place
            ASSERT_LT(bad, reported.size());
            EXPECT_EQ(reported[bad]["file"], f);
            EXPECT_EQ(reported[bad]["block"], block);
            EXPECT_EQ(reported[bad]["retries"], 2);
            EXPECT_FALSE(reported[bad].contains("image_offset"));  // a load writes no image
            EXPECT_EQ(reported[bad]["code"], ERROR_CRC);
            ++bad;
        }
    }
    EXPECT_EQ(bad, 6u);
    EXPECT_EQ(reported.size(), bad);
    EXPECT_NE(r.out.find("######## Bad blocks skipped\t: 6\n"), std::string::npos);
    size_t retries = 0;
    for (size_t at = r.out.find("reading it again"); at != std::string::npos; at = r.out.find("reading it again", at + 1))
        ++retries;
    EXPECT_EQ(retries, 2 * bad);
    EXPECT_NE(r.out.find("------ NO MORE DATA ON THE TAPE -------"), std::string::npos);

    // The map beside the report shows those blocks bad, and no others.
    const auto map = nlohmann::json::parse(ReadWholeFile(out + "/file.map.json"));
    std::set<std::pair<int64_t, uint64_t>> mapped, listed;
    for (const auto& file : map["files"])
        for (const auto& run : file["runs"])
            if (run["state"] == "bad")
                for (uint64_t b = 0; b < run["count"].get<uint64_t>(); ++b)
                    mapped.insert({file["file"].get<int64_t>(), run["first"].get<uint64_t>() + b});
    for (const auto& entry : reported)
        listed.insert({entry["file"].get<int64_t>(), entry["block"].get<uint64_t>()});
    EXPECT_EQ(mapped, listed);
    EXPECT_EQ(map["end_of_tape"], true);

    // Stopped at the first bad block, the map shows it bad and the rest of the tape unread.
    std::filesystem::remove_all(out);
    r = RunCli({"load", "--tape-image", image, "--dir", out});
    const auto stopped = nlohmann::json::parse(ReadWholeFile(out + "/file.map.json"));
    ASSERT_EQ(stopped["files"].size(), 1u) << stopped.dump();
    EXPECT_EQ(stopped["files"][0]["runs"],
              nlohmann::json::parse(R"([{"first":0,"count":1,"state":"good"},{"first":1,"count":1,"state":"bad"},)"
                                    R"({"first":2,"count":null,"state":"unread"}])"));
    EXPECT_EQ(stopped["end_of_tape"], false);

    // Without the options the load ends at the first bad block, as it always has.
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ReadWholeFile(out + "/file0000.part") == Pattern(4096, 1));
    EXPECT_FALSE(FileExists(out + "/file0000"));
    EXPECT_FALSE(FileExists(out + "/file0001"));
    EXPECT_EQ(r.out.find("Bad block"), std::string::npos);
}

TEST_F(CliProgram, BadSelectionSaysWhatIsWrongWithANumber)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"2147483648",
         "kellovaran-cli: the selection is not valid at character 1: file number 2147483648 is larger than "
         "2147483647\n  2147483648\n  ^\n"},
        {"1, 007-99999999999999999999999999",
         "kellovaran-cli: the selection is not valid at character 8: file number 99999999999999999999... (26 "
         "digits) is larger than 2147483647\n  1, 007-99999999999999999999999999\n         ^\n"},
        {"5-003",
         "kellovaran-cli: the selection is not valid at character 3: the range ends at 3, below its first "
         "number\n  5-003\n    ^\n"},
    };
    for (const auto& [selection, expected] : cases) {
        RunResult r = RunCli({"load", "--tape-image", m_dir / "missing.tap", "--select", selection});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, expected);
    }
}

TEST_F(CliProgram, ALogThatCannotBeWrittenTellsWhy)
{
    // The load's log fails line by line during the run; --help's text fails at the exit.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"load", "--tape-image", m_image, "--dir", m_dir / "out", "--no-report"},
          std::vector<std::string>{"--help"}}) {
        ChildProcess::Options full;
        full.stdoutPath = "/dev/full";
        ChildProcess child(args, full);
        EXPECT_EQ(child.Finish(), 1);
        EXPECT_EQ(child.Stderr(), "kellovaran-cli: the log could not be written to standard output: "
                                  "No space left on device\n");
    }

    // No standard output at all.
    const std::string command = std::string("'") + KV_CLI_PATH + "' load --tape-image '" + m_image + "' --dir '" +
                                m_dir / "closed" + "' --no-report 2>&1 >&-";
    FILE* shell = popen(command.c_str(), "r");
    ASSERT_NE(shell, nullptr);
    std::string err;
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, shell)) > 0;)
        err.append(buffer, n);
    const int status = pclose(shell);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(err, "kellovaran-cli: the log could not be written to standard output: Bad file descriptor\n");
    EXPECT_TRUE(ReadWholeFile(m_dir / "closed/file0000") == Content(0));
}

namespace {

size_t EntriesIn(const std::string& dir)
{
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// The real file system, except that the files it creates are full after limit bytes.
class FillingFileSystem final : public FileSystem {
public:
    explicit FillingFileSystem(uint64_t limit) : m_nLimit(limit) {}

    std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) override
    {
        std::unique_ptr<WritableFile> real = RealFiles().CreateAlways(name, error);
        return real ? std::make_unique<Filling>(std::move(real), m_nLimit) : nullptr;
    }
    uint32_t DeleteFile(const std::string& name) override { return RealFiles().DeleteFile(name); }
    uint32_t CreateDirectory(const std::string& name) override { return RealFiles().CreateDirectory(name); }

private:
    class Filling final : public WritableFile {
    public:
        Filling(std::unique_ptr<WritableFile> file, uint64_t room) : m_file(std::move(file)), m_nRoom(room) {}
        uint32_t Write(const void* data, uint32_t size, uint32_t& written) override
        {
            const uint32_t fits = static_cast<uint32_t>(std::min<uint64_t>(size, m_nRoom));
            uint32_t code = m_file->Write(data, fits, written);
            m_nRoom -= written;
            return code != ERROR_SUCCESS ? code : written < size ? ERROR_DISK_FULL : ERROR_SUCCESS;
        }
        uint32_t GetSize(uint64_t& size) override { return m_file->GetSize(size); }

    private:
        std::unique_ptr<WritableFile> m_file;
        uint64_t m_nRoom;
    };
    uint64_t m_nLimit;
};

} // namespace

TEST_F(CliProgram, MkTapeRefusesAnOutputThatIsOneOfItsInputsByAnyName)
{
    const std::string input = m_dir / "in";
    WriteWholeFile(input, "precious");
    std::filesystem::create_hard_link(input, m_dir / "hard");
    std::filesystem::create_symlink(input, m_dir / "soft");
    const size_t entries = EntriesIn(m_dir.path());
    const std::vector<std::vector<std::string>> runs = {
        {"mktape", input, input},
        {"mktape", m_dir / "hard", m_dir / "other", input},
        {"mktape", m_dir / "soft", input},
        {"mktape", m_dir.path() + "/./in", input},
        {"mktape", input, m_dir / "soft"},  // an input that leads to the output
    };
    for (const auto& args : runs) {
        SCOPED_TRACE(args[1]);
        WriteWholeFile(m_dir / "other", "x");
        RunResult r = RunCli(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("cannot write '" + args[1] + "': it is "), std::string::npos) << r.err;
        EXPECT_EQ(ReadWholeFile(input), "precious");
        EXPECT_TRUE(std::filesystem::is_symlink(m_dir / "soft"));
        EXPECT_EQ(EntriesIn(m_dir.path()), entries + 1);  // "other" and nothing else
    }
}

TEST_F(CliProgram, MkTapeThatRunsOutOfSpaceLeavesNoTemporaryAndAnImageReplacesALinkNotItsTarget)
{
    const std::string input = m_dir / "in";
    WriteWholeFile(input, Pattern(300000, 3));
    const std::string image = m_dir / "made.tap";
    WriteWholeFile(image, "old");
    const size_t entries = EntriesIn(m_dir.path());
    MkTapeSummary summary;
    std::string error;
    {
        FillingFileSystem full(100000);
        ScopedFileSystem scoped(full);
        EXPECT_FALSE(MakeTapeImage(image, {{input, 4096}}, summary, error));
    }
    EXPECT_NE(error.find("cannot write '" + image + "': no space left"), std::string::npos) << error;
    EXPECT_EQ(ReadWholeFile(image), "old");
    EXPECT_EQ(EntriesIn(m_dir.path()), entries);

    // An image at a symbolic link's name replaces the link; what it pointed to stays.
    const std::string target = m_dir / "target";
    WriteWholeFile(target, "keep");
    std::filesystem::create_symlink(target, m_dir / "link.tap");
    ASSERT_TRUE(MakeTapeImage(m_dir / "link.tap", {{input, 65536}}, summary, error)) << error;
    EXPECT_EQ(ReadWholeFile(target), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(m_dir / "link.tap"));
    EXPECT_EQ(std::filesystem::file_size(m_dir / "link.tap"), 300000u + 5 * 8 + 4 + 4);
}
