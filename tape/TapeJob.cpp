#include "tape/TapeJob.h"
#include "tape/TapeMap.h"

#include "platform/DeviceNamespace.h"
#include "tape/BagIt.h"
#include "tape/SessionReport.h"
#include "platform/Files.h"

#include <cstdio>
#include <cstring>

TapeJob::TapeJob(std::string path, std::string fileBase, std::string selection, int32_t tapeIndex,
                 TapeJobList* jobList, int32_t serial, NotifyWindow* notify, int32_t kind)
    : m_strPath(std::move(path)),
      m_strFileBase(std::move(fileBase)),
      m_strSelection(std::move(selection)),
      m_nTapeIndex(tapeIndex),
      m_pJobList(jobList),
      m_nSerial(serial),
      m_hWndNotify(notify),
      m_nKind(kind)
{
}

// The report's hasher reads the buffer: it goes first, then the buffer, then the strings.
TapeJob::~TapeJob()
{
    m_pReport.reset();
    m_pBag.reset();
    m_pBuffer.Release();
}

std::string TapeJob::LogPrefix() const
{
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "[%02d][TAPE%d] -- ", m_nSerial, m_nTapeIndex);
    return prefix;
}

static TaskMemBlock TextBlock(const std::string& text)
{
    TaskMemBlock block = TaskMemBlock::Alloc(text.size() + 1);
    if (block)
        std::memcpy(block.data(), text.data(), text.size());
    return block;
}

namespace {

std::string OneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    for (char& c : text)
        if (c == '\n' || c == '\t')
            c = ' ';
    return text;
}

} // namespace

void TapeJob::NoteFailure(const std::string& text)
{
    if (m_strFailure.empty())
        m_strFailure = OneLine(text);
    else
        m_bFailureHasReason = true;  // a later failure: a reason from here on is its own
}

void TapeJob::WriteLog(int prefixed, const std::string& text)
{
    // The line that says why belongs with the first failure.
    if (!m_strFailure.empty() && !m_bFailureHasReason && text.rfind("Reason: ", 0) == 0) {
        m_strFailure += " (" + OneLine(text.substr(8)) + ")";
        m_bFailureHasReason = true;
    }
    if (m_pLogBatch) {
        if (prefixed)
            m_pLogBatch->append(LogPrefix());
        m_pLogBatch->append(text);
        return;
    }
    if (m_pBag)  // the bag keeps the session's log as a tag file
        m_pBag->AppendLog(prefixed ? LogPrefix() + text : text);
    if (!m_hWndNotify)
        return;
    TaskMemBlock block = TextBlock(prefixed ? LogPrefix() + text : text);
    if (block)
        m_hWndNotify->Send(UM_LOG_TEXT, std::move(block));
}

void TapeJob::WriteError(const std::string& text)
{
    WriteLog(1, "--//--//-- ERROR --//--//--\n");
    NoteSessionError(text);
    WriteLog(1, text);
}

std::string ReasonLine(uint32_t code, const std::string& path)
{
    return "Reason: " + DescribeFailure(code, path) + ": '" + path + "'\n";
}

void TapeJob::SendStatusText(const std::string& text)
{
    if (!m_hWndNotify)
        return;
    TaskMemBlock block = TextBlock(text);
    if (block)
        m_hWndNotify->Send(UM_STATUS_TEXT, std::move(block));
}

void TapeJob::SendCounters(uint32_t final, const TapeDevice* device)
{
    if (!m_hWndNotify)
        return;
    // Sent after every block: the window takes it without a round trip to its thread. The
    // running counters show the blocks read, those still staged for the disk too (at most a
    // chunk ahead of it); the final ones, like every summary, what is on the disk.
    const uint64_t blocks = final ? 0 : m_stage.Sizes().size();
    const uint64_t bytes = final ? 0 : m_stage.Fill();
    if (m_pMap)
        m_pMap->SetPlace(FilePlace() + blocks);
    TapeCounters counters{m_nBlocksTotal + blocks, m_nFileBlocks + blocks, (m_nBytesTotal + bytes) >> 10,
                          (m_nFileBytes + bytes) >> 10, final};
    counters.nFilesDone = m_nFilesRead;
    if (device && !device->MediumProgress(counters.nMediumDone, counters.nMediumTotal))
        counters.nMediumDone = counters.nMediumTotal = 0;
    m_hWndNotify->PostLatest(UM_COUNTERS, &counters, sizeof counters);
}

TapeDevicePtr TapeJob::OpenDevice(uint32_t& error) const
{
    return DeviceNamespace::OpenTape(m_nTapeIndex, error);
}

void TapeJob::WriteDeviceAccessFailure(uint32_t error)
{
    WriteLog(1, "Can't access specified device\n\n");
    WriteLog(1, ReasonLine(error, DeviceNamespace::DevicePath(m_nTapeIndex)));
}
