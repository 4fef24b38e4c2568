// The frame's register of running tape jobs, with the serial counter and the break request.
// Every member is safe to call from the UI thread while a worker removes its job.
#pragma once
#include "platform/Notify.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

class TapeJob;
enum class TapeJobResult;

class TapeJobList {
public:
    TapeJobList() = default;
    ~TapeJobList();
    TapeJobList(const TapeJobList&) = delete;
    TapeJobList& operator=(const TapeJobList&) = delete;

    // Creates and registers a job; resets the break request to (0, 1). Null when the job
    // could not be made.
    TapeJob* AddJob(const std::string& path, const std::string& fileBase, const std::string& selection,
                    int32_t tapeIndex, TapeJobList* jobList, NotifyWindow* notify, int32_t kind);
    // Deletes the job. A job the list does not hold only resets the break request.
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

private:
    mutable std::mutex m_lock;  // guards everything below
    int32_t m_nNextSerial = 0;
    std::list<std::unique_ptr<TapeJob>> m_jobs;
    uint32_t m_bBreakRequested = 0;
    uint32_t m_bBreakImmediately = 1;
    TapeJobResult m_nLastResult{};  // Completed until a job has ended
};
