#include "cli/JobRunner.h"

#include "cli/ConsoleNotify.h"
#include "tape/TapeJobList.h"

#include <atomic>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace {

// The handler only counts; the waiting thread does the rest.
std::atomic<int> g_nInterrupts{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int)
{
    g_nInterrupts.fetch_add(1, std::memory_order_relaxed);
}

// Installs the handler for the lifetime of the object and puts the old one back after.
class InterruptHandler {
public:
    InterruptHandler()
    {
        g_nInterrupts.store(0);
        struct sigaction action = {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        m_bInstalled = sigaction(SIGINT, &action, &m_previous) == 0;
    }
    ~InterruptHandler()
    {
        if (m_bInstalled)
            sigaction(SIGINT, &m_previous, nullptr);
    }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    struct sigaction m_previous = {};
    bool m_bInstalled = false;
};

// Keeps SIGINT away from the threads started while it lives: they inherit the mask, so the
// signal always reaches the waiting thread and never interrupts a tape or disk call.
class BlockInterrupts {
public:
    BlockInterrupts()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set, &m_previous);
    }
    ~BlockInterrupts() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    BlockInterrupts(const BlockInterrupts&) = delete;
    BlockInterrupts& operator=(const BlockInterrupts&) = delete;

private:
    sigset_t m_previous;
};

void Pause()
{
    timespec pause{0, 50 * 1000 * 1000};
    nanosleep(&pause, nullptr);  // a signal ends it early, which is what we want
}

} // namespace

TapeJobResult RunTapeJob(TapeJobList& list, const CliJob& request, ConsoleNotify& notify, std::FILE* notes)
{
    InterruptHandler handler;
    {
        BlockInterrupts blocked;
        TapeJob* job = list.AddJob(request.path, request.fileBase, request.selection, request.tapeIndex, &list,
                                   &notify, request.kind);
        if (job == nullptr) {
            notify.Note("kellovaran-cli: the job could not be created\n", notes);
            return TapeJobResult::Failed;
        }
        if (!StartJobThread(job)) {
            notify.Note("kellovaran-cli: the job's thread could not be started\n", notes);
            return TapeJobResult::Failed;
        }
    }

    int seen = 0;
    while (list.GetJobCount() > 0) {
        int interrupts = g_nInterrupts.load(std::memory_order_relaxed);
        if (interrupts != seen) {
            seen = interrupts;
            if (request.kind != TAPE_JOB_LOAD) {
                notify.Note("\nkellovaran-cli: the drive is busy and cannot be interrupted; waiting for it to finish\n",
                            notes);
            } else if (interrupts == 1) {
                list.SetBreakRequest(1, 0);
                notify.Note("\nkellovaran-cli: stopping after the current file (Ctrl-C again to stop at once)\n",
                            notes);
            } else {
                list.SetBreakRequest(1, 1);
                notify.Note("\nkellovaran-cli: stopping at once\n", notes);
            }
        }
        notify.DrawProgress();
        Pause();
    }
    notify.ClearProgress();
    return list.GetLastResult();
}

int ExitStatusFor(TapeJobResult result)
{
    switch (result) {
    case TapeJobResult::Completed: return 0;
    case TapeJobResult::Failed: return 1;
    case TapeJobResult::BadSelection: return 2;
    case TapeJobResult::BrokenByUser: return 130;
    }
    return 1;
}
