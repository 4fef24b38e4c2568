// Worker threads: each job runs on a thread of its list and removes itself; the UI side may
// read the list at any moment meanwhile; the list announces each end and joins its threads.
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A receiver that holds the worker in its first message until it is let go.
class HeldNotify : public RecordingNotify {
public:
    void Send(uint32_t message, TaskMemBlock block) override
    {
        RecordingNotify::Send(message, std::move(block));
        std::unique_lock lock(m_lock);
        ++m_nSent;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_bReleased; });
    }
    void WaitUntilHeld()
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_nSent > 0; });
    }
    void Release()
    {
        std::lock_guard lock(m_lock);
        m_bReleased = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_nSent = 0;
    bool m_bReleased = false;
};

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

TEST(JobThreads, DestroyingTheListWaitsForItsWorkers)
{
    ScopedFakeTape tape;
    HeldNotify notify;
    std::thread releaser;
    {
        TapeJobList list;
        ASSERT_TRUE(StartJobThread(list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_REWIND)));
        notify.WaitUntilHeld();
        releaser = std::thread([&notify] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            notify.Release();
        });
    }
    // The whole job ran before the list was gone: its last text is in.
    EXPECT_EQ(notify.Log(), "[00][TAPE0] -- Rewinding\n[00][TAPE0] -- Tape rewinded\n\n");
    releaser.join();
}

TEST(JobThreads, EndHandlerHearsOfEachJobOnceAfterItIsRemoved)
{
    ScopedFakeTape tape;
    RecordingNotify notify;
    TapeJobList list;
    std::mutex lock;
    std::vector<std::pair<TapeJobResult, uint32_t>> ends;  // result, jobs listed at the call
    std::condition_variable ended;
    list.SetEndHandler([&](TapeJobResult result) {
        std::lock_guard guard(lock);
        ends.emplace_back(result, list.GetJobCount());
        ended.notify_all();
    });
    auto waitForEnds = [&](size_t n) {
        std::unique_lock guard(lock);
        return ended.wait_for(guard, std::chrono::seconds(20), [&] { return ends.size() >= n; });
    };

    ASSERT_TRUE(StartJobThread(list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_REWIND)));
    ASSERT_TRUE(waitForEnds(1));
    ASSERT_TRUE(StartJobThread(list.AddJob("/nonexistent-dir/x", "f", "1,,2", 0, &list, &notify, TAPE_JOB_LOAD)));
    ASSERT_TRUE(waitForEnds(2));
    // A job that never ran is removed again and ends all the same, on the caller's thread.
    EXPECT_FALSE(StartJobThread(list.AddJob("", "", "", 0, &list, &notify, 7)));
    ASSERT_TRUE(waitForEnds(3));
    // Removing what the list does not hold is no end.
    TapeJobList other;
    TapeJob* stranger = other.AddJob("", "", "", 0, &other, nullptr, TAPE_JOB_REWIND);
    list.RemoveJob(stranger);
    list.JoinWorkers();

    std::lock_guard guard(lock);
    ASSERT_EQ(ends.size(), 3u);
    EXPECT_EQ(ends[0], std::make_pair(TapeJobResult::Completed, 0u));
    EXPECT_EQ(ends[1], std::make_pair(TapeJobResult::BadSelection, 0u));
    EXPECT_EQ(ends[2].second, 0u);
}

TEST(JobThreads, ReplacedEndHandlerIsNotCalledAgain)
{
    ScopedFakeTape tape;
    HeldNotify notify;
    TapeJobList list;
    std::atomic<int> calls{0};
    list.SetEndHandler([&](TapeJobResult) { ++calls; });
    ASSERT_TRUE(StartJobThread(list.AddJob("", "", "", 0, &list, &notify, TAPE_JOB_EJECT)));
    notify.WaitUntilHeld();
    list.SetEndHandler({});
    notify.Release();
    list.JoinWorkers();
    EXPECT_EQ(list.GetJobCount(), 0u);
    EXPECT_EQ(calls.load(), 0);
}
