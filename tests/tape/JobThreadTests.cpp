// Worker threads: each job runs on its own thread and removes itself; the UI side may read
// the list at any moment meanwhile.
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

void WaitForEmpty(const TapeJobList& list)
{
    while (list.GetJobCount() != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

TEST(JobThreads, RewindAndEjectRunOnWorkersAndRemoveThemselves)
{
    ScopedFakeTape tape;
    TapeJobList list;
    RecordingNotify notify;
    TapeJob* job = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_REWIND);
    ASSERT_TRUE(StartJobThread(job));
    WaitForEmpty(list);
    job = list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_EJECT);
    ASSERT_TRUE(StartJobThread(job));
    WaitForEmpty(list);
    EXPECT_EQ(notify.Log(), "[00][TAPE0] -- Rewinding\n"
                            "[00][TAPE0] -- Tape rewinded\n\n"
                            "[01][TAPE0] -- Ejecting\n"
                            "[01][TAPE0] -- Tape ejected\n\n");
    EXPECT_EQ(list.GetLastResult(), TapeJobResult::Completed);
}

TEST(JobThreads, UnknownKindStartsNothingAndLeavesTheListEmpty)
{
    TapeJobList list;
    TapeJob* job = list.AddJob("", "", "", 0, &list, nullptr, 7);
    EXPECT_FALSE(StartJobThread(job));
    EXPECT_EQ(list.GetJobCount(), 0u);
}

// The UI thread reads count, kind and break request while workers add and delete jobs.
TEST(JobThreads, ReadersNeverTouchARemovedJob)
{
    TapeJobList list;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint64_t seen = 0;
        while (!stop) {
            uint32_t immediately = 0;
            seen += list.GetJobCount();
            seen += static_cast<uint32_t>(list.GetSingleJobKind() + 1);
            seen += list.GetBreakRequest(immediately);
        }
        EXPECT_GE(seen, 0u);
    });
    std::thread breaker([&] {
        for (int i = 0; i < 2000 && !stop; ++i)
            list.SetBreakRequest(1, i & 1);
    });
    for (int i = 0; i < 300; ++i) {
        TapeJob* job = list.AddJob("p", "b", "*", 0, &list, nullptr, TAPE_JOB_REWIND);
        std::thread worker([job] {
            TapeJobList* owner = job->m_pJobList;
            owner->RemoveJob(job);
        });
        worker.join();
    }
    stop = true;
    reader.join();
    breaker.join();
    EXPECT_EQ(list.GetJobCount(), 0u);
}
