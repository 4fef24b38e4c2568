#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

// Each procedure takes the list before anything else: once RemoveJob has returned the job
// is gone, and the thread touches nothing of it again.
void EjectThreadProc(TapeJob* job)
{
    TapeJobList* list = job->m_pJobList;
    job->Eject();
    list->RemoveJob(job);
}

void RewindThreadProc(TapeJob* job)
{
    TapeJobList* list = job->m_pJobList;
    job->Rewind();
    list->RemoveJob(job);
}

void LoadThreadProc(TapeJob* job)
{
    TapeJobList* list = job->m_pJobList;
    job->RunLoad();
    list->RemoveJob(job);
}

void CaptureThreadProc(TapeJob* job)
{
    TapeJobList* list = job->m_pJobList;
    job->RunCapture();
    list->RemoveJob(job);
}

bool StartJobThread(TapeJob* job)
{
    void (*proc)(TapeJob*) = nullptr;
    switch (job->m_nKind) {
    case TAPE_JOB_LOAD: proc = LoadThreadProc; break;
    case TAPE_JOB_REWIND: proc = RewindThreadProc; break;
    case TAPE_JOB_EJECT: proc = EjectThreadProc; break;
    case TAPE_JOB_CAPTURE: proc = CaptureThreadProc; break;
    default: break;
    }
    if (proc && job->m_pJobList->StartWorker(job, proc))
        return true;
    // Nothing runs the job: take it off the list so the tape commands come back.
    job->m_pJobList->RemoveJob(job);
    return false;
}
