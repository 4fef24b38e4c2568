// Ctrl-C during a load, the progress line, and the receiver that prints the log.
#include "tests/cli/ChildProcess.h"
#include "tests/common/TestSupport.h"

#include "cli/ConsoleNotify.h"
#include "cli/JobRunner.h"
#include "platform/DeviceNamespace.h"
#include "platform/SimhTape.h"
#include "platform/SimhTapeWriter.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kFiles = 1000;
constexpr int kBlocksPerFile = 3;

// Many small files: a child whose log is not read stalls long before it gets to the end.
std::string MakeLongTape(const TempDir& dir)
{
    std::string image = dir / "long.tap";
    SimhTapeWriter tape;
    EXPECT_TRUE(tape.Open(image));
    std::string record(512, 'r');
    for (int f = 0; f < kFiles; ++f) {
        for (int b = 0; b < kBlocksPerFile; ++b)
            tape.WriteRecord(record);
        tape.WriteTapemark();
    }
    tape.WriteEndOfMedium();
    EXPECT_TRUE(tape.Close()) << tape.Error();
    return image;
}

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The summary of the file that the user broke off.
std::string BrokenFileSummary(const std::string& log)
{
    size_t from = log.find("------ TERMINATED BY USER-------\n\n");
    size_t to = log.find("READ SESSION SUMMARY");
    if (from == std::string::npos || to == std::string::npos || to < from)
        return "";
    return log.substr(from, to - from);
}

class CliBreak : public testing::Test {
protected:
    TempDir m_dir;
    std::string m_image = MakeLongTape(m_dir);
};

TEST_F(CliBreak, FirstCtrlCStopsAfterTheCurrentFileWithStatus130)
{
    ChildProcess::Options options;
    options.smallStdoutPipe = true;
    ChildProcess child({"load", "--tape-image", m_image, "--dir", m_dir / "out"}, options);
    ASSERT_TRUE(child.ReadStdoutUntil("Trying read file number 0001"));
    child.Signal(SIGINT);
    ASSERT_TRUE(child.ReadStderrUntil("stopping after the current file")) << child.Stderr();
    EXPECT_EQ(child.Finish(), 130);

    const std::string& log = child.Stdout();
    EXPECT_EQ(Occurrences(log, "------ TERMINATED BY USER-------\n\n"), 1u);
    EXPECT_EQ(Occurrences(log, "READ SESSION SUMMARY"), 1u);
    EXPECT_EQ(log.find("Trying read file number 0999"), std::string::npos);
    // A break leaves the tape where it stands.
    EXPECT_EQ(log.find("Rewinding", log.find("READ SESSION SUMMARY")), std::string::npos);
}

TEST_F(CliBreak, TermAndHangUpStopAtOnceWritingTheSummariesAndKeepingTheCutFileApart)
{
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        const std::string out = m_dir / ("out" + std::to_string(signal));
        ChildProcess::Options options;
        options.smallStdoutPipe = true;
        ChildProcess child({"load", "--tape-image", m_image, "--dir", out}, options);
        ASSERT_TRUE(child.ReadStdoutUntil("Trying read file number 0001"));
        child.Signal(signal);
        EXPECT_EQ(child.Finish(), 128 + signal);

        const std::string& log = child.Stdout();
        EXPECT_EQ(Occurrences(log, "------ TERMINATED BY USER-------\n\n"), 1u);
        EXPECT_EQ(Occurrences(log, "READ SESSION SUMMARY"), 1u);
        EXPECT_EQ(log.find("Trying read file number 0999"), std::string::npos);
        // The file cut by the signal keeps its temporary name, has no checksum line and no
        // final name; every file the checksum file lists verifies.
        const std::string sums = ReadWholeFile(out + "/file.sha256");
        for (const auto& entry : std::filesystem::directory_iterator(out)) {
            if (entry.path().extension() != ".part")
                continue;
            const std::string name = entry.path().stem().string();
            EXPECT_FALSE(FileExists(out + "/" + name)) << name;
            EXPECT_EQ(sums.find(name), std::string::npos) << name;
        }
        EXPECT_EQ(std::system(("cd '" + out + "' && sha256sum --quiet -c file.sha256").c_str()), 0);
    }
}

TEST_F(CliBreak, ProgressLineOnlyOnATerminalAndClearedAtTheEnd)
{
    ChildProcess::Options options;
    options.smallStdoutPipe = true;
    options.stderrOnTerminal = true;
    ChildProcess child({"load", "--tape-image", m_image, "--dir", m_dir / "out", "--select", "0-40"}, options);
    ASSERT_TRUE(child.ReadStdoutUntil("Trying read file number 0001"));
    // The child waits for us to read its log; meanwhile its progress line shows.
    ASSERT_TRUE(child.ReadStderrUntil("total: ")) << child.Stderr();
    EXPECT_NE(child.Stderr().find("blocks"), std::string::npos);
    EXPECT_EQ(child.Finish(), 0);
    const std::string clear = "\r\033[K";
    ASSERT_GE(child.Stderr().size(), clear.size());
    EXPECT_EQ(child.Stderr().substr(child.Stderr().size() - clear.size()), clear);
    EXPECT_EQ(child.Stdout().find('\033'), std::string::npos);  // the log stays clean
}

// A drive over the image that lets the test act before a chosen read returns.
class HookedDrive : public TapeDevice {
public:
    HookedDrive(TapeDevicePtr inner, std::function<void(int)> onRead)
        : m_inner(std::move(inner)), m_onRead(std::move(onRead)) {}
    uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& p) override { return m_inner->GetDriveParameters(p); }
    uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& p) override { return m_inner->GetMediaParameters(p); }
    uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& p) override { return m_inner->SetMediaParameters(p); }
    uint32_t SetTapePosition(uint32_t m, uint32_t p, uint32_t lo, uint32_t hi, bool i) override
    {
        return m_inner->SetTapePosition(m, p, lo, hi, i);
    }
    uint32_t PrepareTape(uint32_t operation, bool immediate) override { return m_inner->PrepareTape(operation, immediate); }
    uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) override
    {
        uint32_t code = m_inner->Read(buffer, size, bytesRead);
        m_onRead(++m_nReads);
        return code;
    }

private:
    TapeDevicePtr m_inner;
    std::function<void(int)> m_onRead;
    int m_nReads = 0;
};

void WaitForBreak(const TapeJobList& list, uint32_t immediately)
{
    uint32_t now = 2;
    while (!(list.GetBreakRequest(now) && now == immediately))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// In this process, so that the interrupts land at an exact block: the second block of file
// 1 (read 6: three blocks and the filemark of file 0, then the first block of file 1).
std::string LoadWithInterrupts(const std::string& image, int interrupts, TapeJobResult& result,
                               int32_t kind = TAPE_JOB_LOAD)
{
    TapeJobList list;
    DeviceNamespace::SetOpenerForTesting([&](int, uint32_t& error) -> TapeDevicePtr {
        TapeDevicePtr inner = OpenVirtualDrive(image, VirtualDriveOptions{}, error);
        if (!inner)
            return nullptr;
        return std::make_unique<HookedDrive>(std::move(inner), [&list, interrupts, kind](int read) {
            if (read != 6)
                return;
            // SIGINT reaches the waiting thread only: the worker has it blocked.
            kill(getpid(), SIGINT);
            WaitForBreak(list, kind == TAPE_JOB_CAPTURE ? 1 : 0);  // a capture stops at once
            if (interrupts > 1) {
                kill(getpid(), SIGINT);
                WaitForBreak(list, 1);
            }
        });
    });
    TempDir out;
    std::FILE* log = std::tmpfile();
    std::FILE* notes = std::tmpfile();
    ConsoleNotify notify(log, nullptr);
    CliJob job;
    job.kind = kind;
    job.path = out.path();
    job.fileBase = kind == TAPE_JOB_CAPTURE ? "whole.tap" : "file";
    job.selection = "*";
    result = RunTapeJob(list, job, notify, notes);
    if (kind == TAPE_JOB_CAPTURE) {
        EXPECT_FALSE(FileExists(out / "whole.tap") || FileExists(out / "whole.tap.tmp"));
    }
    DeviceNamespace::SetOpenerForTesting({});

    std::string text(static_cast<size_t>(ftell(log)), '\0');
    rewind(log);
    EXPECT_EQ(fread(text.data(), 1, text.size(), log), text.size());
    fclose(log);
    fclose(notes);
    return text;
}

TEST_F(CliBreak, BreakAfterTheFileReadsItToItsEnd)
{
    TapeJobResult result{};
    std::string log = LoadWithInterrupts(m_image, 1, result);
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    EXPECT_EQ(ToInt(ExitStatusFor(result)), 130);
    std::string summary = BrokenFileSummary(log);
    EXPECT_NE(summary.find("file0001 SUMMARY"), std::string::npos) << log;
    EXPECT_NE(summary.find("Blocks successfully read : 3\n"), std::string::npos) << summary;
    EXPECT_EQ(log.find("file0002"), std::string::npos);
}

TEST_F(CliBreak, BreakAtOnceStopsAfterTheBlockInHand)
{
    TapeJobResult result{};
    std::string log = LoadWithInterrupts(m_image, 2, result);
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    std::string summary = BrokenFileSummary(log);
    EXPECT_NE(summary.find("file0001 SUMMARY"), std::string::npos) << log;
    EXPECT_NE(summary.find("Blocks successfully read : 2\n"), std::string::npos) << summary;
}

TEST_F(CliBreak, FirstCtrlCStopsACaptureAtOnceAndKeepsNoImage)
{
    TapeJobResult result{};
    std::string log = LoadWithInterrupts(m_image, 1, result, TAPE_JOB_CAPTURE);
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    EXPECT_NE(log.find("Blocks captured\t: 5\n"), std::string::npos) << log;
}

TEST_F(CliBreak, WaitingThreadSleepsUntilTheJobEnds)
{
    // The first read takes a while; without a progress line nothing else may wake the
    // waiting thread, so it wakes once, for the end.
    DeviceNamespace::SetOpenerForTesting([&](int, uint32_t& error) -> TapeDevicePtr {
        TapeDevicePtr inner = OpenVirtualDrive(m_image, VirtualDriveOptions{}, error);
        if (!inner)
            return nullptr;
        return std::make_unique<HookedDrive>(std::move(inner), [](int read) {
            if (read == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
        });
    });
    TempDir out;
    std::FILE* log = std::tmpfile();
    ConsoleNotify notify(log, nullptr);
    TapeJobList list;
    CliJob job;
    job.path = out.path();
    job.fileBase = "file";
    job.selection = "0";
    int wakeups = 0;
    const TapeJobResult result = RunTapeJob(list, job, notify, stderr, &wakeups);
    DeviceNamespace::SetOpenerForTesting({});
    fclose(log);
    EXPECT_EQ(result, TapeJobResult::Completed);
    EXPECT_EQ(list.GetJobCount(), 0u);
    EXPECT_LE(wakeups, 2);
    EXPECT_GE(wakeups, 1);
}

TEST(ConsoleNotify, PrintsLogTextsOnlyAndCountsForTheProgressLine)
{
    std::FILE* log = std::tmpfile();
    ConsoleNotify notify(log, nullptr);
    auto send = [&](uint32_t message, const void* data, size_t size) {
        TaskMemBlock block = TaskMemBlock::Alloc(size);
        std::memcpy(block.data(), data, size);
        notify.Send(message, std::move(block));
    };
    send(UM_LOG_TEXT, "one\n\0", 5);
    send(UM_STATUS_TEXT, "Rewinding\0", 10);
    EXPECT_EQ(notify.ProgressText(std::chrono::steady_clock::now()), "Rewinding");
    TapeCounters counters{7, 1, 20480, 2048, 0};
    send(UM_COUNTERS, &counters, sizeof counters);
    send(UM_LOG_TEXT, "tab\there \xe4\n\0", 12);  // 8-bit text passes unchanged
    notify.Send(UM_LOG_TEXT, TaskMemBlock());      // a dropped message prints nothing

    std::string progress = notify.ProgressText(std::chrono::steady_clock::now());
    EXPECT_NE(progress.find("file: 1 blocks, 2048 KiB"), std::string::npos) << progress;
    EXPECT_NE(progress.find("total: 7 blocks, 20.0 MiB"), std::string::npos) << progress;

    std::string text(static_cast<size_t>(ftell(log)), '\0');
    rewind(log);
    ASSERT_EQ(fread(text.data(), 1, text.size(), log), text.size());
    fclose(log);
    EXPECT_EQ(text, "one\ntab\there \xe4\n");
}

} // namespace

// A tape of nothing but tapemarks: each file ends before a block could show a break, and
// the signals used to go unheard for the whole run.
TEST_F(CliBreak, SignalsStopARunOfEmptyFiles)
{
    const std::string image = m_dir / "marks.tap";
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open(image));
    for (int i = 0; i < 200000; ++i)
        tape.WriteTapemark();
    ASSERT_TRUE(tape.Close()) << tape.Error();
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        ChildProcess::Options options;
        options.smallStdoutPipe = true;
        ChildProcess child({"load", "--tape-image", image, "--dir", m_dir / ("out" + std::to_string(signal)),
                            "--select", "0-199999"},
                           options);
        ASSERT_TRUE(child.ReadStdoutUntil("Trying read file number 0001"));
        child.Signal(signal);
        EXPECT_EQ(child.Finish(), signal == SIGINT ? 130 : 128 + signal);
        EXPECT_EQ(Occurrences(child.Stdout(), "------ TERMINATED BY USER-------\n\n"), 1u);
        EXPECT_EQ(child.Stdout().find("Trying read file number 199999"), std::string::npos);
    }
}
