#include "cli/JobRunner.h"

#include "cli/ConsoleNotify.h"
#include "tape/TapeJobList.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// The handler only counts and wakes the waiting thread, which does the rest.
std::atomic<int> g_nInterrupts{0};
std::atomic<int> g_nTerminateSignal{0};  // SIGTERM or SIGHUP, when one came
std::atomic<int> g_wakeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// SIGINT is the user's Ctrl-C; SIGTERM and SIGHUP (a shutdown, a closed terminal) stop a
// load at once, like a second Ctrl-C, so the summaries are still written.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnInterrupt(int signal)
{
    if (signal == SIGINT)
        g_nInterrupts.fetch_add(1, std::memory_order_relaxed);
    else
        g_nTerminateSignal.store(signal, std::memory_order_relaxed);
    const int saved = errno;
    const int fd = g_wakeFd.load(std::memory_order_relaxed);
    if (fd >= 0)
        (void)!write(fd, "i", 1);
    errno = saved;
}

// The pipe the waiting thread sleeps on: written by the signal handler and by the end of
// the job, so neither can slip in between a look and the sleep.
class WakePipe {
public:
    WakePipe()
    {
        if (pipe2(m_fds, O_NONBLOCK | O_CLOEXEC) != 0)
            m_fds[0] = m_fds[1] = -1;
        g_wakeFd.store(m_fds[1]);
    }
    ~WakePipe()
    {
        g_wakeFd.store(-1);
        for (int fd : m_fds)
            if (fd >= 0)
                close(fd);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    void Wake() const
    {
        if (m_fds[1] >= 0)
            (void)!write(m_fds[1], "e", 1);
    }
    // Sleeps until woken, a signal or timeoutMs (-1: no limit); eats the wake-ups.
    void Sleep(int timeoutMs) const
    {
        pollfd wait{m_fds[0], POLLIN, 0};
        if (m_fds[0] < 0)
            timeoutMs = 50;  // no pipe: look again now and then
        poll(&wait, m_fds[0] < 0 ? 0 : 1, timeoutMs);
        char drain[64];
        while (m_fds[0] >= 0 && read(m_fds[0], drain, sizeof drain) > 0) {
        }
    }

private:
    int m_fds[2] = {-1, -1};
};

// Installs the handler for the lifetime of the object and puts the old one back after.
class InterruptHandler {
public:
    InterruptHandler()
    {
        g_nInterrupts.store(0);
        g_nTerminateSignal.store(0);
        struct sigaction action = {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            m_bInstalled[i] = sigaction(kStopSignals[i], &action, &m_previous[i]) == 0;
    }
    ~InterruptHandler()
    {
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            if (m_bInstalled[i])
                sigaction(kStopSignals[i], &m_previous[i], nullptr);
    }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    struct sigaction m_previous[std::size(kStopSignals)] = {};
    bool m_bInstalled[std::size(kStopSignals)] = {};
};

// Keeps SIGINT away from the threads started while it lives: they inherit the mask, so the
// signal always reaches the waiting thread and never interrupts a tape or disk call.
class BlockInterrupts {
public:
    BlockInterrupts()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : kStopSignals)
            sigaddset(&set, signal);
        pthread_sigmask(SIG_BLOCK, &set, &m_previous);
    }
    ~BlockInterrupts() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    BlockInterrupts(const BlockInterrupts&) = delete;
    BlockInterrupts& operator=(const BlockInterrupts&) = delete;

private:
    sigset_t m_previous;
};

// How often the progress line is looked at while nothing else happens.
constexpr int kProgressRedrawMs = 250;

// The end of the job as the list announces it; the announcement goes when the list does.
class JobEnd {
public:
    JobEnd(TapeJobList& list, const WakePipe& wake) : m_list(list)
    {
        m_list.SetEndHandler([this, &wake](TapeJobResult result) {
            m_result = result;
            m_bEnded.store(true, std::memory_order_release);
            wake.Wake();
        });
    }
    ~JobEnd() { m_list.SetEndHandler({}); }
    JobEnd(const JobEnd&) = delete;
    JobEnd& operator=(const JobEnd&) = delete;

    bool Ended() const { return m_bEnded.load(std::memory_order_acquire); }
    TapeJobResult Result() const { return m_result; }

private:
    TapeJobList& m_list;
    std::atomic<bool> m_bEnded{false};
    TapeJobResult m_result = TapeJobResult::Failed;
};

} // namespace

TapeJobResult RunTapeJob(TapeJobList& list, const CliJob& request, ConsoleNotify& notify, std::FILE* notes,
                         int* wakeups)
{
    WakePipe wake;
    InterruptHandler handler;
    JobEnd end(list, wake);
    {
        BlockInterrupts blocked;
        TapeJob* job = list.AddJob(request.path, request.fileBase, request.selection, request.tapeIndex, &list,
                                   &notify, request.kind);
        if (job == nullptr) {
            notify.Note("kellovaran-cli: the job could not be created\n", notes);
            return TapeJobResult::Failed;
        }
        job->m_loadOptions = request.options;
        job->m_captureOptions = request.capture;
        notify.SetFilesToRead(request.kind == TAPE_JOB_LOAD ? FilesToRead(request.selection) : 0);
        if (!StartJobThread(job)) {
            notify.Note("kellovaran-cli: the job's thread could not be started\n", notes);
            return TapeJobResult::Failed;
        }
    }

    int seen = 0;
    bool terminating = false;
    while (!end.Ended()) {
        int interrupts = g_nInterrupts.load(std::memory_order_relaxed);
        if (!terminating && g_nTerminateSignal.load(std::memory_order_relaxed) != 0) {
            terminating = true;
            if (request.kind == TAPE_JOB_LOAD || request.kind == TAPE_JOB_CAPTURE) {
                list.SetBreakRequest(1, 1);
                notify.Note("\nkellovaran-cli: signalled to end: stopping at once\n", notes);
            }
        }
        if (interrupts != seen) {
            seen = interrupts;
            if (request.kind == TAPE_JOB_CAPTURE) {
                // A capture stopped after a file would leave half an image, which it never keeps.
                list.SetBreakRequest(1, 1);
                notify.Note("\nkellovaran-cli: stopping the capture; no image is kept\n", notes);
            } else if (request.kind != TAPE_JOB_LOAD) {
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
        wake.Sleep(notify.HasProgressLine() ? kProgressRedrawMs : -1);
        if (wakeups)
            ++*wakeups;
    }
    notify.ClearProgress();
    return end.Result();
}

int TerminatingSignal()
{
    return g_nTerminateSignal.load(std::memory_order_relaxed);
}

ExitStatus ExitStatusFor(TapeJobResult result)
{
    switch (result) {
    case TapeJobResult::Completed: return ExitStatus::Done;
    case TapeJobResult::Failed: return ExitStatus::Error;
    case TapeJobResult::BadSelection: return ExitStatus::Usage;
    case TapeJobResult::BrokenByUser: return ExitStatus::Interrupted;
    }
    return ExitStatus::Error;
}
