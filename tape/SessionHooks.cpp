// Where a load tells its session report what happened: small calls from the steps of the
// load and the file transfer, so that those read as before.
#include "tape/BagIt.h"
#include "tape/SessionReport.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tape/TapeMap.h"

#include "platform/DeviceNamespace.h"

#include "platform/Errors.h"

#include <cstdio>

void TapeJob::StartSessionReport()
{
    m_pReport.reset();
    m_pBag.reset();
    if (m_loadOptions.writeChecksumsAndReport && !m_pMap)
        m_pMap = std::make_shared<TapeMap>();
    if (m_pMap) {
        const std::vector<std::string>& images = DeviceNamespace::TapeImages();
        const bool image = m_nTapeIndex >= 0 && static_cast<size_t>(m_nTapeIndex) < images.size();
        m_pMap->Name(image ? images[m_nTapeIndex] : DeviceNamespace::DeviceName(m_nTapeIndex),
                     m_nKind == TAPE_JOB_CAPTURE ? "capture" : m_loadOptions.scanOnly ? "scan" : "load");
    }
    if (m_loadOptions.writeChecksumsAndReport) {
        m_pReport = std::make_unique<SessionReport>(m_strPath, DataBase(), m_strSelection, m_nTapeIndex);
        m_pReport->SetMap(m_pMap);
        if (m_loadOptions.scanOnly)
            m_pReport->MakeScan();
    }
    if (m_pReport && m_loadOptions.bag) {
        m_pBag = std::make_unique<BagWriter>(m_strPath, m_strFileBase + ".log");
        m_pReport->MakeBag(m_pBag.get(), m_strFileBase);
    }
}

uint64_t TapeJob::FilePlace() const
{
    return m_nKind == TAPE_JOB_CAPTURE ? m_nFileBlocks : m_nFileBlocks + m_nFileBadBlocks;
}

void TapeJob::NoteDeviceOpen()
{
    if (!m_pReport)
        return;
    // Hashing a large image takes a while: a break at once need not wait for it.
    m_pReport->ReadDeviceFactsAtStart([this] {
        uint32_t immediately = 0;
        return m_pJobList && m_pJobList->GetBreakRequest(immediately) && immediately;
    });
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
    m_bFileEndedOnBadBlock = m_bFileCut = false;
    if (m_pMap)
        m_pMap->BeginFile(fileNumber);
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
    m_bFileEndedOnBadBlock = !end.readOk && end.lastError == ERROR_CRC;
    m_bFileCut = end.breakImmediate ||
                 (!end.readOk && !m_bFileEndedOnBadBlock && end.lastError != ERROR_FILEMARK_DETECTED &&
                  end.lastError != ERROR_END_OF_MEDIA && end.lastError != ERROR_NO_DATA_DETECTED);
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
    m_bFileCut = true;
    if (m_pReport)
        m_pReport->EndFile(FileEndKind::Error, e.GetCode(), e.GetMessage());
}

void TapeJob::NoteFileDone(bool kept, bool whole, const std::string& cut)
{
    if (m_pMap) {
        if (m_bFileFoundOnlyEndOfData)
            m_pMap->DropFile();  // the read past the last file: no file there
        else
            m_pMap->EndFile(FilePlace(), m_bFileEndedOnBadBlock ? MapEnd::OnBadBlock
                                         : m_bFileCut             ? MapEnd::Cut
                                                                  : MapEnd::Whole);
    }
    if (m_pReport)
        m_pReport->FinishFile(kept, whole, cut);
}

void TapeJob::NoteBadBlock(const BadBlock& bad)
{
    ++m_nBadBlocks;
    if (m_badBlocks.size() < SessionReport::kMaxListedBadBlocks)
        m_badBlocks.push_back(bad);
    if (m_pMap)
        m_pMap->Bad(bad.block);
    if (m_pReport)
        m_pReport->NoteBadBlock(bad.tapeFile, bad.block, bad.error, bad.text, bad.imageOffset, bad.retries);
}

void TapeJob::NoteRestOfFileSkipped()
{
    if (m_pMap)
        m_pMap->RestSkipped(FilePlace());
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
    if (m_pMap)
        m_pMap->Finish();
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
