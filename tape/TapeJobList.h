// The frame's register of running tape jobs, with the serial counter and the break request,
// and the owner of the jobs' worker threads. Every member is safe to call from the UI thread
// while a worker removes its job.
#pragma once
#include "platform/Notify.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class TapeJob;
enum class TapeJobResult;

class TapeJobList {
public:
    TapeJobList() = default;
    // Waits for every worker thread to end (see JoinWorkers), then deletes the jobs left.
    ~TapeJobList();
    TapeJobList(const TapeJobList&) = delete;
    TapeJobList& operator=(const TapeJobList&) = delete;

    // Creates and registers a job; resets the break request to (0, 1). Null when the job
    // could not be made.
    TapeJob* AddJob(const std::string& path, const std::string& fileBase, const std::string& selection,
                    int32_t tapeIndex, TapeJobList* jobList, NotifyWindow* notify, int32_t kind);
    // Deletes the job and then announces its end to the end handler. A job the list does
    // not hold only resets the break request.
    void RemoveJob(TapeJob* job);
    void ClearJobs();

    uint32_t GetJobCount() const;
    // m_nKind of the only job, -1 when there is not exactly one.
    int32_t GetSingleJobKind() const;

    uint32_t GetBreakRequest(uint32_t& immediately) const;
    void SetBreakRequest(uint32_t requested, uint32_t immediately);

    // Serial of the next job: 0 at construction, one more for every job added.
    int32_t GetNextSerial() const;

    // How the most recently removed job ended (the job itself is gone by then).
    TapeJobResult GetLastResult() const;
    // Its first failure in one line (TapeJob::m_strFailure); empty when it had none.
    std::string GetLastFailure() const;

    // Called once for every job that RemoveJob removed, on the thread that removed it
    // (the job's worker), after the job is gone and outside the list's lock. Replacing the
    // handler waits for a call in progress, so once this returns the old one is not called
    // again. The handler must not wait for the thread that replaces it.
    using EndHandler = std::function<void(TapeJobResult)>;
    void SetEndHandler(EndHandler handler);

    // Runs proc(job) on a new worker thread the list owns; threads of jobs that ended
    // are joined here. False when no thread could be started.
    bool StartWorker(TapeJob* job, void (*proc)(TapeJob*));
    // Waits until every worker thread has ended. The caller must make sure the workers
    // can end without it (a break request, a receiver that no longer waits for it).
    void JoinWorkers();

private:
    struct Worker {
        std::thread thread;
        bool done = false;  // the procedure has returned; joining takes no time
    };
    void JoinDoneWorkers();

    std::mutex m_endLock;  // held while the end handler is called or replaced
    EndHandler m_endHandler;
    std::mutex m_workerLock;  // guards m_workers
    std::list<Worker> m_workers;

    mutable std::mutex m_lock;  // guards everything below
    int32_t m_nNextSerial = 0;
    std::list<std::unique_ptr<TapeJob>> m_jobs;
    uint32_t m_bBreakRequested = 0;
    uint32_t m_bBreakImmediately = 1;
    TapeJobResult m_nLastResult{};  // Completed until a job has ended
    std::string m_strLastFailure;
};
