// The folder around the copy: no session writes over its own source, through a link, over an
// earlier session's results, or beside another session; hostile tapes end in bounded time.
#include "tape/SessionFolder.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <cstdlib>
#include <functional>
#include <set>
#include <unistd.h>

using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

// Runs a hook on every log text before it is recorded: lets a test break at a given file.
class HookedNotify : public RecordingNotify {
public:
    std::function<void(const std::string&)> onLog;
    void Send(uint32_t message, TaskMemBlock block) override
    {
        if (message == UM_LOG_TEXT && onLog)
            onLog(std::string(block.data()));
        RecordingNotify::Send(message, std::move(block));
    }
};

class FolderTest : public ::testing::Test {
protected:
    TempDir dir;
    HookedNotify notify;
    std::unique_ptr<TapeJobList> jobs;
    TapeJobResult result{};
    LoadOptions options;

    ~FolderTest() override { DeviceNamespace::SetTapeImages({}); }

    static void MakeImage(const std::string& path, const std::function<void(SimhTapeWriter&)>& write)
    {
        SimhTapeWriter tape;
        ASSERT_TRUE(tape.Open(path)) << tape.Error();
        write(tape);
        ASSERT_TRUE(tape.Close()) << tape.Error();
    }
    std::string Run(int32_t kind, const std::string& image, const std::string& out, const std::string& base,
                    const std::string& selection = "*")
    {
        DeviceNamespace::SetTapeImages({image});
        notify.Clear();
        jobs = std::make_unique<TapeJobList>();
        TapeJob* job = jobs->AddJob(out, base, selection, 0, jobs.get(), &notify, kind);
        job->m_loadOptions = options;
        job->m_loadOptions.writeChecksumsAndReport = true;
        job->RunLoad();
        result = job->m_nResult;
        jobs->RemoveJob(job);
        return notify.Log();
    }
    std::string Load(const std::string& image, const std::string& out, const std::string& selection = "*")
    {
        return Run(TAPE_JOB_LOAD, image, out, "file", selection);
    }
    std::string Capture(const std::string& image, const std::string& out)
    {
        DeviceNamespace::SetTapeImages({image});
        notify.Clear();
        jobs = std::make_unique<TapeJobList>();
        const std::string folder = out.substr(0, out.rfind('/'));
        TapeJob* job = jobs->AddJob(folder, out.substr(folder.size() + 1), "*", 0, jobs.get(), &notify,
                                   TAPE_JOB_CAPTURE);
        job->RunCapture();
        result = job->m_nResult;
        jobs->RemoveJob(job);
        return notify.Log();
    }
    static std::set<std::string> Names(const std::string& folder)
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }
    static bool Has(const std::string& log, const std::string& text) { return log.find(text) != std::string::npos; }
    static std::string Verify(const std::string& folder)
    {
        const std::string command = "cd '" + folder + "' && sha256sum --quiet -c file.sha256";
        return std::system(command.c_str()) == 0 ? "ok" : "fails";
    }
};

void ThreeFiles(SimhTapeWriter& tape)
{
    tape.WriteRecord(std::string(100, 'a'));
    tape.WriteTapemark();
    tape.WriteRecord(std::string(80, 'b'));
    tape.WriteTapemark();
    tape.WriteRecord(std::string(60, 'c'));
    tape.WriteTapemark();
    tape.WriteEndOfMedium();
}

} // namespace

// The image being read is never a target, under any of the names the session may write, by
// another name of the same file, or through a link; nothing is written then.
TEST_F(FolderTest, TheSourceImageIsNeverATarget)
{
    fs::create_directory(dir / "L");
    MakeImage(dir / "L/file0000", ThreeFiles);
    const std::string original = ReadWholeFile(dir / "L/file0000");
    std::string log = Load(dir / "L/file0000", dir / "L");
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_TRUE(Has(log, "The session would write over a tape image being read: '" + dir / "L/file0000'\n")) << log;
    EXPECT_EQ(ReadWholeFile(dir / "L/file0000"), original);
    EXPECT_EQ(Names(dir / "L"), (std::set<std::string>{"file0000"}));

    // The report's name, a hard link under a data name, and the image given through a link.
    fs::create_directory(dir / "M");
    MakeImage(dir / "M/file.json", ThreeFiles);
    Load(dir / "M/file.json", dir / "M");
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(Names(dir / "M"), (std::set<std::string>{"file.json"}));
    fs::create_directory(dir / "N");
    MakeImage(dir / "t.tap", ThreeFiles);
    fs::create_hard_link(dir / "t.tap", dir / "N/file0002");
    fs::create_symlink(dir / "t.tap", dir / "link.tap");
    log = Load(dir / "link.tap", dir / "N");
    EXPECT_TRUE(Has(log, "Reason: it is the same file as the tape image '" + dir / "link.tap'\n")) << log;
    EXPECT_EQ(Names(dir / "N"), (std::set<std::string>{"file0002"}));
    // A selection that leaves that name out is no clash.
    Load(dir / "link.tap", dir / "N", "0-1");
    EXPECT_EQ(result, TapeJobResult::Completed);
    EXPECT_EQ(ReadWholeFile(dir / "t.tap"), original);
    // Names from labels: a data file may be "file0001_<identifier>", and such names count too.
    fs::create_directory(dir / "P");
    fs::create_hard_link(dir / "t.tap", dir / "P/file0001_DATA");
    options.nameFromLabels = true;
    Load(dir / "t.tap", dir / "P");
    options.nameFromLabels = false;
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(Names(dir / "P"), (std::set<std::string>{"file0001_DATA"}));

    // A capture whose report would go over the image it reads.
    MakeImage(dir / "v.tap.json", ThreeFiles);
    log = Capture(dir / "v.tap.json", dir / "v.tap");
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(ReadWholeFile(dir / "v.tap.json"), original);
    EXPECT_FALSE(FileExists(dir / "v.tap"));
}

// Every file the program makes, its temporary names too, replaces a link at its name.
TEST_F(FolderTest, SideFilesAtLinkedNamesAreReplacedNeverWrittenThrough)
{
    MakeImage(dir / "t.tap", ThreeFiles);
    fs::create_directory(dir / "out");
    for (const char* name : {"file.json.tmp", "file.sha256.tmp", "v.tap.tmp", "v.tap.json.tmp", "v.tap.sha256.tmp"}) {
        WriteWholeFile(dir / (std::string("precious-") + name), "precious");
        fs::create_symlink(dir / (std::string("precious-") + name), dir / (std::string("out/") + name));
    }
    Load(dir / "t.tap", dir / "out");
    EXPECT_EQ(result, TapeJobResult::Completed);
    Capture(dir / "t.tap", dir / "out/v.tap");
    EXPECT_EQ(result, TapeJobResult::Completed);
    for (const char* name : {"file.json.tmp", "file.sha256.tmp", "v.tap.tmp", "v.tap.json.tmp", "v.tap.sha256.tmp"})
        EXPECT_EQ(ReadWholeFile(dir / (std::string("precious-") + name)), "precious") << name;
    for (const char* name : {"file.json", "file.sha256", "v.tap", "v.tap.json", "v.tap.sha256"})
        EXPECT_FALSE(fs::is_symlink(dir / (std::string("out/") + name))) << name;
    EXPECT_EQ(Verify(dir / "out"), "ok");
}

// A second pass that fails where the first got something keeps the first one's file, its
// checksum line and its report; the files it did copy anew get new lines.
TEST_F(FolderTest, ALaterSessionKeepsWhatAnEarlierOneRecovered)
{
    MakeImage(dir / "t.tap", [](SimhTapeWriter& tape) {
        tape.WriteRecord(std::string(100, 'a'));
        tape.WriteTapemark();
        tape.WriteBadRecord(std::string(40, '?'));
        tape.WriteRecord(std::string(80, 'b'));
        tape.WriteTapemark();
        tape.WriteRecord(std::string(60, 'c'));
        tape.WriteTapemark();
        tape.WriteEndOfMedium();
    });
    options.onReadError = LoadOptions::ReadErrors::Skip;
    Load(dir / "t.tap", dir / "out");
    ASSERT_EQ(ReadWholeFile(dir / "out/file0001"), std::string(80, 'b'));
    const Json first = Json::parse(ReadWholeFile(dir / "out/file.json"));

    options.onReadError = LoadOptions::ReadErrors::Stop;
    std::string log = Load(dir / "t.tap", dir / "out");
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(ReadWholeFile(dir / "out/file0001"), std::string(80, 'b'));  // the failed read replaced nothing
    EXPECT_FALSE(FileExists(dir / "out/file0001.part"));
    const std::string sums = ReadWholeFile(dir / "out/file.sha256");
    for (const char* name : {"  file0000\n", "  file0001\n", "  file0002\n"})
        EXPECT_TRUE(Has(sums, name)) << name << sums;
    EXPECT_EQ(std::count(sums.begin(), sums.end(), '\n'), 3);
    EXPECT_EQ(Verify(dir / "out"), "ok");
    // The earlier report is kept under its start time beside the new one.
    std::string stamp = first["started"].get<std::string>();
    std::replace(stamp.begin(), stamp.end(), ':', '-');
    EXPECT_EQ(Json::parse(ReadWholeFile(dir / "out/file." + stamp + ".json")), first);
    EXPECT_EQ(Json::parse(ReadWholeFile(dir / "out/file.json"))["result"]["status"], "failed");
}

// One session at a time in a folder: the second is refused before the tape is read.
TEST_F(FolderTest, OneSessionPerFolder)
{
    MakeImage(dir / "t.tap", ThreeFiles);
    fs::create_directory(dir / "out");
    {
        FolderLock other;
        ASSERT_EQ(other.Acquire(dir / "out"), ERROR_SUCCESS);
        std::string log = Load(dir / "t.tap", dir / "out");
        EXPECT_EQ(result, TapeJobResult::Failed);
        EXPECT_TRUE(Has(log, "Another session is writing into this folder: '" + dir / "out'\n")) << log;
        EXPECT_FALSE(Has(log, "Trying read file"));
        EXPECT_TRUE(Names(dir / "out").empty());
        Capture(dir / "t.tap", dir / "out/v.tap");
        EXPECT_EQ(result, TapeJobResult::Failed);
        EXPECT_TRUE(Names(dir / "out").empty());
    }
    Load(dir / "t.tap", dir / "out");  // given up with its holder
    EXPECT_EQ(result, TapeJobResult::Completed);
}

// Names longer than the file system allows are refused before anything is written, rather
// than failing at the checksum file after the copy while the report says "done".
TEST_F(FolderTest, NamesTooLongAreRefusedBeforeAnythingIsWritten)
{
    MakeImage(dir / "t.tap", ThreeFiles);
    fs::create_directory(dir / "out");
    std::string log = Run(TAPE_JOB_LOAD, dir / "t.tap", dir / "out", std::string(245, 'x'));
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_TRUE(Has(log, "Couldn't create file on disk\n")) << log;
    EXPECT_TRUE(Has(log, "Reason: name too long: '" + dir / "out/" + std::string(245, 'x') + ".map.json.tmp'\n"));
    EXPECT_TRUE(Names(dir / "out").empty());
}

// What the log says of a file is in its report entry: a rest-of-file skip, and a file that
// reached its filemark while a break waited for it.
TEST_F(FolderTest, TheReportTellsHowEachFileEnded)
{
    MakeImage(dir / "t.tap", [](SimhTapeWriter& tape) {
        for (int i = 0; i < 20; ++i)
            tape.WriteBadRecord(std::string(10, '?'));
        for (int i = 0; i < 3; ++i)
            tape.WriteRecord(std::string(10, 'g'));
        tape.WriteTapemark();
        tape.WriteRecord(std::string(10, 'h'));
        tape.WriteTapemark();
        tape.WriteEndOfMedium();
    });
    options.onReadError = LoadOptions::ReadErrors::Skip;
    Load(dir / "t.tap", dir / "out");
    Json report = Json::parse(ReadWholeFile(dir / "out/file.json"));
    EXPECT_EQ(report["files"][0]["rest_of_file_skipped"], true);
    EXPECT_EQ(report["files"][0]["bad_blocks"], 16);
    EXPECT_EQ(report["files"][1]["rest_of_file_skipped"], false);
    EXPECT_EQ(report["files"][1]["bad_blocks"], 0);

    options.onReadError = LoadOptions::ReadErrors::Stop;
    MakeImage(dir / "u.tap", ThreeFiles);
    notify.onLog = [this](const std::string& text) {
        if (Has(text, "Trying read file number 0001"))
            jobs->SetBreakRequest(1, 0);  // after this file
    };
    Load(dir / "u.tap", dir / "brk");
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    report = Json::parse(ReadWholeFile(dir / "brk/file.json"));
    ASSERT_EQ(report["files"].size(), 2u);
    EXPECT_EQ(report["files"][1]["end"]["condition"], "filemark");
    EXPECT_EQ(report["files"][1]["whole"], true);
    EXPECT_EQ(ReadWholeFile(dir / "brk/file0001"), std::string(80, 'b'));

    // A name that is not UTF-8 keeps its exact bytes beside the readable text.
    notify.onLog = nullptr;
    Run(TAPE_JOB_LOAD, dir / "u.tap", dir / "raw", "\xff-");
    ASSERT_EQ(result, TapeJobResult::Completed);
    report = Json::parse(ReadWholeFile(dir / "raw/\xff-.json"));
    EXPECT_EQ(report["base_hex"], "ff2d");
    EXPECT_EQ(report["files"][0]["disk_file_hex"], "ff2d30303030");
    EXPECT_FALSE(report.contains("directory_hex"));
    EXPECT_TRUE(FileExists(dir / "raw/\xff-0000"));
}

// A tape of nothing but tapemarks: reading all files stops after a run of empty ones, and a
// break between empty files is seen at once.
TEST_F(FolderTest, RunsOfEmptyFilesEndAndBreaksReachThem)
{
    MakeImage(dir / "t.tap", [](SimhTapeWriter& tape) {
        for (int i = 0; i < 5000; ++i)
            tape.WriteTapemark();
        tape.WriteRecord(std::string(10, 'z'));
    });
    std::string log = Load(dir / "t.tap", dir / "out");
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_TRUE(Has(log, "------ 100 EMPTY FILES IN A ROW, READING STOPPED -------\n")) << log.substr(log.size() - 2000);
    EXPECT_FALSE(Has(log, "Trying read file number 0100"));
    EXPECT_EQ(Json::parse(ReadWholeFile(dir / "out/file.json"))["files"].size(), 100u);

    notify.onLog = [this](const std::string& text) {
        if (Has(text, "Trying read file number 0042"))
            jobs->SetBreakRequest(1, 1);
    };
    log = Load(dir / "t.tap", dir / "sel", "0-4999");
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    EXPECT_TRUE(Has(log, "------ TERMINATED BY USER-------\n"));
    EXPECT_FALSE(Has(log, "Trying read file number 0043"));
}
