// The job list, the job's reporting, eject, rewind, block-size set-up and directory creation.
#include "platform/DeviceNamespace.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TapeJob* AddRewind(TapeJobList& list, NotifyWindow* notify, int device = 0)
{
    return list.AddJob("", "", "", device, &list, notify, TAPE_JOB_REWIND);
}

} // namespace

TEST(TapeJobList, SerialsCountAndKinds)
{
    TapeJobList list;
    EXPECT_EQ(list.GetJobCount(), 0u);
    EXPECT_EQ(list.GetSingleJobKind(), -1);

    TapeJob* a = list.AddJob("/d", "file", "*", 2, &list, nullptr, TAPE_JOB_LOAD);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->m_nSerial, 0);
    EXPECT_EQ(a->m_strPath, "/d");
    EXPECT_EQ(a->m_nTapeIndex, 2);
    EXPECT_EQ(list.GetSingleJobKind(), TAPE_JOB_LOAD);

    TapeJob* b = AddRewind(list, nullptr);
    EXPECT_EQ(b->m_nSerial, 1);
    EXPECT_EQ(list.GetJobCount(), 2u);
    EXPECT_EQ(list.GetSingleJobKind(), -1);  // not exactly one job

    list.RemoveJob(a);
    EXPECT_EQ(list.GetSingleJobKind(), TAPE_JOB_REWIND);
    list.RemoveJob(b);
    EXPECT_EQ(list.GetJobCount(), 0u);
    EXPECT_EQ(AddRewind(list, nullptr)->m_nSerial, 2);  // serials never go back
    list.ClearJobs();
    EXPECT_EQ(list.GetJobCount(), 0u);
}

TEST(TapeJobList, BreakRequestResetByAddJobAndUnknownRemove)
{
    TapeJobList list;
    uint32_t immediately = 0;
    EXPECT_EQ(list.GetBreakRequest(immediately), 0u);
    EXPECT_EQ(immediately, 1u);

    list.SetBreakRequest(1, 0);
    EXPECT_EQ(list.GetBreakRequest(immediately), 1u);
    EXPECT_EQ(immediately, 0u);
    TapeJob* job = AddRewind(list, nullptr);
    EXPECT_EQ(list.GetBreakRequest(immediately), 0u);
    EXPECT_EQ(immediately, 1u);

    // Removing a known job leaves the request alone ...
    list.SetBreakRequest(1, 0);
    list.RemoveJob(job);
    EXPECT_EQ(list.GetBreakRequest(immediately), 1u);
    EXPECT_EQ(immediately, 0u);
    // ... an unknown one resets it and changes nothing else.
    TapeJobList other;
    TapeJob* stranger = AddRewind(other, nullptr);
    TapeJob* mine = AddRewind(list, nullptr);
    list.SetBreakRequest(1, 0);
    list.RemoveJob(stranger);
    EXPECT_EQ(list.GetBreakRequest(immediately), 0u);
    EXPECT_EQ(immediately, 1u);
    EXPECT_EQ(list.GetJobCount(), 1u);
    EXPECT_EQ(other.GetJobCount(), 1u);
    list.RemoveJob(mine);
}

TEST(TapeJobReporting, PrefixOncePerTextAndPlainTexts)
{
    TapeJobList list;
    RecordingNotify notify;
    AddRewind(list, nullptr, 2);  // serial 0 goes to another job
    TapeJob* job = AddRewind(list, &notify, 1);
    job->WriteLog(1, "Rewinding\n\n");
    job->WriteLog(0, "****\n");
    job->SendStatusText("Rewinding");
    job->m_nBlocksTotal = 5'000'000'000ull;
    job->m_nFileBlocks = 3;
    job->m_nBytesTotal = 6ull << 40;
    job->m_nFileBytes = 4096;
    job->SendCounters(1);

    auto messages = notify.Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].message, UM_LOG_TEXT);
    EXPECT_EQ(messages[0].Text(), "[01][TAPE1] -- Rewinding\n\n");
    EXPECT_EQ(messages[1].Text(), "****\n");
    EXPECT_EQ(messages[2].message, UM_STATUS_TEXT);
    EXPECT_EQ(messages[2].Text(), "Rewinding");
    ASSERT_EQ(messages[3].message, UM_COUNTERS);
    ASSERT_EQ(messages[3].block.size(), sizeof(TapeCounters) + 1);
    TapeCounters c;
    std::memcpy(&c, messages[3].block.data(), sizeof c);
    EXPECT_EQ(c.nBlocksTotal, 5'000'000'000ull);
    EXPECT_EQ(c.nFileBlocks, 3u);
    EXPECT_EQ(c.nKBytesTotal, (6ull << 40) >> 10);
    EXPECT_EQ(c.nFileKBytes, 4u);
    EXPECT_EQ(c.bFinal, 1u);
}

TEST(TapeJobReporting, NoWindowOrNoMemorySendsNothing)
{
    TapeJobList list;
    TapeJob* silent = AddRewind(list, nullptr);
    silent->WriteLog(1, "x");
    silent->SendCounters(0);  // must not crash without a receiver

    RecordingNotify notify;
    TapeJob* job = AddRewind(list, &notify);
    TaskMemBlock::FailAllocationsForTesting(true);
    job->WriteLog(1, "lost\n");
    job->SendStatusText("lost");
    job->SendCounters(0);
    TaskMemBlock::FailAllocationsForTesting(false);
    job->WriteLog(1, "kept\n");
    EXPECT_EQ(notify.Log(), "[01][TAPE0] -- kept\n");
    EXPECT_EQ(notify.Messages().size(), 1u);
}

class DeviceControlTest : public ::testing::Test {
protected:
    ScopedFakeTape tape;
    TapeJobList list;
    RecordingNotify notify;
};

TEST_F(DeviceControlTest, RewindAndEjectTexts)
{
    TapeJob* rewind = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_REWIND);
    rewind->Rewind();
    TapeJob* eject = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_EJECT);
    eject->Eject();
    EXPECT_EQ(notify.Log(),
              "[00][TAPE0] -- Rewinding\n"
              "[00][TAPE0] -- Tape rewinded\n\n"
              "[01][TAPE0] -- Ejecting\n"
              "[01][TAPE0] -- Tape ejected\n\n");
    EXPECT_EQ(notify.StatusTexts(), (std::vector<std::string>{"Rewinding", "Ready", "Ejecting", "Ready"}));
    EXPECT_EQ(tape.state->calls, (std::vector<std::string>{"rewind", "rewind", "unload"}));
    EXPECT_EQ(rewind->m_nResult, TapeJobResult::Completed);
    EXPECT_FALSE(tape.state->open);  // the handle is closed again
}

TEST_F(DeviceControlTest, DriveFailuresAreReportedNotHidden)
{
    tape.state->rewindError = ERROR_NOT_READY;
    TapeJob* rewind = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_REWIND);
    rewind->Rewind();
    EXPECT_EQ(notify.Log(), "[00][TAPE0] -- Rewinding\n"
                            "[00][TAPE0] -- --//--//-- ERROR --//--//--\n"
                            "[00][TAPE0] -- " + SystemMessage(ERROR_NOT_READY));
    EXPECT_EQ(rewind->m_nResult, TapeJobResult::Failed);

    RecordingNotify ejectLog;
    tape.state->rewindError = 0;
    tape.state->unloadError = ERROR_NO_MEDIA_IN_DRIVE;
    TapeJob* eject = list.AddJob("", "", "", 0, &list, &ejectLog, TAPE_JOB_EJECT);
    eject->Eject();
    EXPECT_EQ(ejectLog.Log(), "[01][TAPE0] -- Ejecting\n"
                              "[01][TAPE0] -- --//--//-- ERROR --//--//--\n"
                              "[01][TAPE0] -- " + SystemMessage(ERROR_NO_MEDIA_IN_DRIVE));
    EXPECT_EQ(ejectLog.StatusTexts(), (std::vector<std::string>{"Ejecting", "Ready"}));
}

TEST_F(DeviceControlTest, MissingDeviceWritesTheAccessTextAndWhy)
{
    TapeJob* rewind = list.AddJob("", "", "", 2, &list, &notify, TAPE_JOB_REWIND);
    rewind->Rewind();
    TapeJob* eject = list.AddJob("", "", "", 2, &list, &notify, TAPE_JOB_EJECT);
    eject->Eject();
    EXPECT_EQ(notify.Log(), "[00][TAPE2] -- Can't access specified device\n\n"
                            "[00][TAPE2] -- Reason: not found: 'TAPE2'\n"
                            "[01][TAPE2] -- Can't access specified device\n\n"
                            "[01][TAPE2] -- Reason: not found: 'TAPE2'\n");
    EXPECT_TRUE(notify.StatusTexts().empty());
    EXPECT_EQ(eject->m_nResult, TapeJobResult::Failed);
}

TEST(DeviceAccess, TheReasonNamesTheImageAndWhatIsWrongWithIt)
{
    TempDir dir;
    const std::string fifo = dir / "pipe.tap";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    DeviceNamespace::SetTapeImages({dir / "missing.tap", fifo});
    TapeJobList list;
    RecordingNotify notify;
    for (int index : {0, 1, 2}) {
        TapeJob* job = list.AddJob(dir.path(), "file", "*", index, &list, &notify, TAPE_JOB_LOAD);
        job->RunLoad();
        list.RemoveJob(job);
    }
    DeviceNamespace::SetTapeImages({});
    EXPECT_EQ(notify.Log(), "[00][TAPE0] -- Can't access specified device\n\n"
                            "[00][TAPE0] -- Reason: not found: '" + dir / "missing.tap" + "'\n"
                            "[01][TAPE1] -- Can't access specified device\n\n"
                            "[01][TAPE1] -- Reason: not a regular file: '" + fifo + "'\n"
                            "[02][TAPE2] -- Can't access specified device\n\n"
                            "[02][TAPE2] -- Reason: not found: 'TAPE2'\n");
}

TEST_F(DeviceControlTest, BlockSizeOperationsOnVariableAndFixedDrives)
{
    TapeJob* job = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_LOAD);
    uint32_t error = 0;
    TapeDevicePtr device = job->OpenDevice(error);
    ASSERT_TRUE(device);

    tape.state->maxBlockSize = 262144;
    EXPECT_EQ(job->IsVariableBlockSupported(*device), 0x800u);
    EXPECT_EQ(job->GetMaximumBlockSize(*device), 262144u);
    job->SetMediaBlockSize(*device, 0);
    tape.state->variable = false;
    tape.state->mediaBlockSize = 512;
    EXPECT_EQ(job->IsVariableBlockSupported(*device), 0u);
    EXPECT_EQ(job->GetMediaFixedBlockSize(*device), 512u);
    EXPECT_EQ(notify.Log(), "[00][TAPE0] -- Determing wether variable block mode is supported\n"
                            "[00][TAPE0] -- Variable block mode is supported\n\n"
                            "[00][TAPE0] -- Determing maximum block size\n"
                            "[00][TAPE0] -- Maximum block size is 262144\n\n"
                            "[00][TAPE0] -- Setting media block size to vale 0\n"
                            "[00][TAPE0] -- Media block size successfully set\n\n"
                            "[00][TAPE0] -- Determing wether variable block mode is supported\n"
                            "[00][TAPE0] -- Variable block mode is NOT supported\n\n"
                            "[00][TAPE0] -- Determing media fixed block size\n"
                            "[00][TAPE0] -- Media fixed block size is 512\n\n");
}

TEST_F(DeviceControlTest, FailingBlockSizeCallThrowsWithoutClosingText)
{
    TapeJob* job = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_LOAD);
    uint32_t error = 0;
    TapeDevicePtr device = job->OpenDevice(error);
    tape.state->setParamsError = ERROR_INVALID_PARAMETER;
    try {
        job->SetMediaBlockSize(*device, 0);
        FAIL() << "no exception";
    } catch (const ReTapeOpsException& e) {
        EXPECT_EQ(e.GetCode(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(e.GetMessage(), SystemMessage(ERROR_INVALID_PARAMETER));
    }
    tape.state->driveParamsError = ERROR_NOT_READY;
    EXPECT_THROW(job->IsVariableBlockSupported(*device), ReTapeOpsException);
    EXPECT_THROW(job->GetMaximumBlockSize(*device), ReTapeOpsException);
    tape.state->mediaParamsError = ERROR_NO_MEDIA_IN_DRIVE;
    EXPECT_THROW(job->GetMediaFixedBlockSize(*device), ReTapeOpsException);
    EXPECT_EQ(notify.Log(), "[00][TAPE0] -- Setting media block size to vale 0\n"
                            "[00][TAPE0] -- Determing wether variable block mode is supported\n"
                            "[00][TAPE0] -- Determing maximum block size\n"
                            "[00][TAPE0] -- Determing media fixed block size\n");
}

class CreateDirectoryPathTest : public ::testing::Test {
protected:
    TempDir dir;
    static bool IsDir(const std::string& p) { return std::filesystem::is_directory(p); }
};

TEST_F(CreateDirectoryPathTest, AbsolutePathWithDoubledSeparatorsAndABackslashInAName)
{
    std::string name = dir.path() + "/data//tapes\\set1/f0001";
    EXPECT_TRUE(CreateDirectoryPath(name));
    EXPECT_TRUE(IsDir(dir / "data/tapes\\set1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "data/tapes/set1"));
    EXPECT_FALSE(FileExists(dir / "data/tapes\\set1/f0001"));
    EXPECT_TRUE(CreateDirectoryPath(name));  // again: nothing to do, still true
}

TEST_F(CreateDirectoryPathTest, RootAndBareNamesCreateNothing)
{
    EXPECT_FALSE(CreateDirectoryPath("/f0001"));
    EXPECT_FALSE(CreateDirectoryPath("f0001"));
    EXPECT_FALSE(CreateDirectoryPath(""));
}

TEST_F(CreateDirectoryPathTest, RelativePathNeverCreatesItsFirstComponent)
{
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    EXPECT_FALSE(CreateDirectoryPath("work/sub/f0001"));
    EXPECT_FALSE(IsDir(dir / "work"));
    std::filesystem::create_directory(dir / "work");
    EXPECT_TRUE(CreateDirectoryPath("work/sub/deeper/f0001"));
    EXPECT_TRUE(IsDir(dir / "work/sub/deeper"));
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
}

TEST_F(CreateDirectoryPathTest, LevelThatCannotBeMadeFails)
{
    WriteWholeFile(dir / "plain", "x");  // a file where a directory should go
    EXPECT_FALSE(CreateDirectoryPath(dir / "plain/sub/f0001"));
}
