#include "tape/TapeJobList.h"

#include "tape/TapeJob.h"

#include <new>
#include <system_error>

// The list itself is under the lock as well as the break request: the UI thread reads the
// count and the kind of the single job while a worker removes and deletes its job.

TapeJobList::~TapeJobList()
{
    JoinWorkers();
    ClearJobs();
}

TapeJob* TapeJobList::AddJob(const std::string& path, const std::string& fileBase, const std::string& selection,
                             int32_t tapeIndex, TapeJobList* jobList, NotifyWindow* notify, int32_t kind)
{
    std::lock_guard guard(m_lock);
    std::unique_ptr<TapeJob> job(new (std::nothrow) TapeJob(path, fileBase, selection, tapeIndex, jobList,
                                                            m_nNextSerial, notify, kind));
    if (!job)
        return nullptr;
    TapeJob* added = job.get();
    m_jobs.push_back(std::move(job));
    ++m_nNextSerial;
    m_bBreakRequested = 0;
    m_bBreakImmediately = 1;
    return added;
}

void TapeJobList::RemoveJob(TapeJob* job)
{
    std::unique_ptr<TapeJob> removed;
    {
        std::lock_guard guard(m_lock);
        for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it) {
            if (it->get() == job) {
                removed = std::move(*it);
                m_jobs.erase(it);
                m_nLastResult = removed->m_nResult;
                m_strLastFailure = removed->m_strFailure;
                break;
            }
        }
        if (!removed) {
            m_bBreakRequested = 0;
            m_bBreakImmediately = 1;
            return;
        }
    }
    // The job (and its buffer) is released outside the lock, and is gone before anyone
    // hears of its end.
    const TapeJobResult result = removed->m_nResult;
    removed.reset();
    std::lock_guard guard(m_endLock);
    if (m_endHandler)
        m_endHandler(result);
}

void TapeJobList::SetEndHandler(EndHandler handler)
{
    std::lock_guard guard(m_endLock);
    m_endHandler = std::move(handler);
}

bool TapeJobList::StartWorker(TapeJob* job, void (*proc)(TapeJob*))
{
    JoinDoneWorkers();
    std::lock_guard guard(m_workerLock);
    auto worker = m_workers.emplace(m_workers.end());
    try {
        // The worker marks itself done under the lock, so not before its thread is stored.
        worker->thread = std::thread([this, job, proc, worker] {
            proc(job);
            std::lock_guard done(m_workerLock);
            worker->done = true;
        });
    } catch (const std::system_error&) {
        m_workers.erase(worker);
        return false;
    }
    return true;
}

void TapeJobList::JoinDoneWorkers()
{
    std::list<Worker> done;
    {
        std::lock_guard guard(m_workerLock);
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            auto next = std::next(it);
            if (it->done)
                done.splice(done.end(), m_workers, it);
            it = next;
        }
    }
    for (Worker& worker : done)
        worker.thread.join();
}

void TapeJobList::JoinWorkers()
{
    std::list<Worker> all;
    {
        // Moved out, not copied: a worker still running marks its own element done.
        std::lock_guard guard(m_workerLock);
        all.splice(all.end(), m_workers);
    }
    for (Worker& worker : all)
        worker.thread.join();
}

void TapeJobList::ClearJobs()
{
    std::list<std::unique_ptr<TapeJob>> jobs;
    {
        std::lock_guard guard(m_lock);
        jobs.swap(m_jobs);
    }
}

uint32_t TapeJobList::GetJobCount() const
{
    std::lock_guard guard(m_lock);
    return static_cast<uint32_t>(m_jobs.size());
}

int32_t TapeJobList::GetSingleJobKind() const
{
    std::lock_guard guard(m_lock);
    return m_jobs.size() == 1 ? m_jobs.front()->m_nKind : -1;
}

uint32_t TapeJobList::GetBreakRequest(uint32_t& immediately) const
{
    std::lock_guard guard(m_lock);
    immediately = m_bBreakImmediately;
    return m_bBreakRequested;
}

void TapeJobList::SetBreakRequest(uint32_t requested, uint32_t immediately)
{
    std::lock_guard guard(m_lock);
    m_bBreakRequested = requested;
    m_bBreakImmediately = immediately;
}

int32_t TapeJobList::GetNextSerial() const
{
    std::lock_guard guard(m_lock);
    return m_nNextSerial;
}

TapeJobResult TapeJobList::GetLastResult() const
{
    std::lock_guard guard(m_lock);
    return m_nLastResult;
}

std::string TapeJobList::GetLastFailure() const
{
    std::lock_guard guard(m_lock);
    return m_strLastFailure;
}
