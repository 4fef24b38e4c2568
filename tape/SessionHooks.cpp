// Where a load tells its session report what happened: small calls from the steps of the
// load and the file transfer, so that those read as before.
#include "tape/BagIt.h"
#include "tape/SessionReport.h"
#include "tape/TapeJob.h"

#include "platform/Errors.h"

#include <cstdio>

void TapeJob::StartSessionReport()
{
    m_pReport.reset();
    m_pBag.reset();
    if (m_loadOptions.writeChecksumsAndReport)
        m_pReport = std::make_unique<SessionReport>(m_strPath, DataBase(), m_strSelection, m_nTapeIndex);
    if (m_pReport && m_loadOptions.bag) {
        m_pBag = std::make_unique<BagWriter>(m_strPath, m_strFileBase + ".log");
        m_pReport->MakeBag(m_pBag.get(), m_strFileBase);
    }
}

void TapeJob::NoteBlockMode()
{
    if (m_pReport)
        m_pReport->SetBlockMode(m_bVariableBlock != 0, m_nBufferSize, m_pBuffer.data(),
                                m_pBuffer.size());
    m_stage.Start(static_cast<char*>(StageChunk()));
}

void* TapeJob::StageChunk()
{
    return m_pReport ? m_pReport->BlockBuffer() : m_pBuffer.data();
}

void TapeJob::NoteChunkWritten(uint64_t bytes)
{
    if (m_pReport)
        m_pReport->ChunkWritten(bytes);
}

void TapeJob::NoteFileStart(int32_t fileNumber)
{
    if (m_pBag)  // the session has reached the tape: its log goes into the folder from here
        m_pBag->StartLog();
    m_labels.BeginFile(fileNumber);
    if (m_pReport) {
        m_pReport->BeginFile(fileNumber);
        m_pReport->SetFileNameSuffix(m_strFileSuffix);
    }
}

void TapeJob::NoteBlockCopied(const void* data, uint32_t size)
{
    m_labels.Block(data, size);
    if (m_pReport)
        m_pReport->BlockWritten(data, size);
}

// The same order of questions as ReportFileEnd, which writes the log's account.
void TapeJob::NoteFileEnd(const FileEnd& end)
{
    if (!m_pReport)
        return;
    if (end.breakImmediate)
        m_pReport->EndFile(FileEndKind::UserBreak, 0, "");
    else if (end.readOk)
        m_pReport->EndFile(FileEndKind::EmptyRead, 0, "");
    else if (end.lastError == ERROR_FILEMARK_DETECTED)
        m_pReport->EndFile(FileEndKind::Filemark, 0, "");
    else if (end.lastError == ERROR_END_OF_MEDIA)
        m_pReport->EndFile(FileEndKind::EndOfMedia, 0, "");
    else if (end.lastError == ERROR_NO_DATA_DETECTED)
        m_pReport->EndFile(FileEndKind::NoMoreData, 0, "");
    else
        m_pReport->EndFile(FileEndKind::Error, end.lastError, SystemMessage(end.lastError));
}

void TapeJob::NoteFileFailure(const ReTapeOpsException& e)
{
    if (m_pReport)
        m_pReport->EndFile(FileEndKind::Error, e.GetCode(), e.GetMessage());
}

void TapeJob::NoteFileDone(bool kept, bool whole, const std::string& cut)
{
    if (m_pReport)
        m_pReport->FinishFile(kept, whole, cut);
}

void TapeJob::NoteBadBlock(const BadBlock& bad)
{
    ++m_nBadBlocks;
    if (m_badBlocks.size() < SessionReport::kMaxListedBadBlocks)
        m_badBlocks.push_back(bad);
    if (m_pReport)
        m_pReport->NoteBadBlock(bad.tapeFile, bad.block, bad.error, bad.text);
}

void TapeJob::NoteRestOfFileSkipped()
{
    if (m_pReport)
        m_pReport->NoteRestOfFileSkipped();
}

void TapeJob::NoteSessionError(const std::string& text)
{
    NoteFailure(text);
    if (m_pReport)
        m_pReport->NoteError(text);
}

void TapeJob::FinishSessionReport()
{
    if (!m_pReport)
        return;
    if (m_nBadBlocks > 0) {  // the failure the status stands for, unless an earlier one is given
        char text[96];
        std::snprintf(text, sizeof text, "%llu bad block%s could not be read",
                      static_cast<unsigned long long>(m_nBadBlocks), m_nBadBlocks == 1 ? "" : "s");
        m_pReport->NoteError(text);
    }
    const char* status = m_nResult == TapeJobResult::Completed      ? "done"
                         : m_nResult == TapeJobResult::BrokenByUser ? "broken_by_user"
                                                                    : "failed";
    bool written = m_pReport->Finish(status, m_nFilesRead, m_nBlocksTotal, m_nBytesTotal);
    const std::string why = m_pReport->FailureReason();
    m_pReport.reset();
    if (!written) {
        WriteError("Couldn't write the checksum file or the session report\n");
        if (!why.empty())
            WriteLog(1, "Reason: " + why + "\n");
        m_nResult = TapeJobResult::Failed;
    }
}
