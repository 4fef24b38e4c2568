// What a load does after a block that cannot be read, when the user asks for more than the
// end of the session: read it again, then pass it over and go on. A drive stands after a
// block it gave up on (the contract in platform/TapeDevice.h), so one block back reads it
// again and doing nothing passes it over; the same steps serve images and drives.
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"

#include "platform/Errors.h"

#include <cstdio>

namespace {

// The one result that means the block itself is damaged. The others that end a file (a
// wrong length in fixed-block mode, a damaged image, a drive fault) say nothing a second
// read could change, and passing over them would leave the tape at a place nobody knows.
bool IsDataError(uint32_t error)
{
    return error == ERROR_CRC;
}

std::string WithoutLineEnd(std::string text)
{
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

uint32_t SpaceBlocks(TapeDevice& device, int64_t count)
{
    const auto raw = static_cast<uint64_t>(count);
    return device.SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(raw),
                                  static_cast<uint32_t>(raw >> 32), false);
}

} // namespace

bool TapeJob::RescueWanted() const
{
    return m_loadOptions.onReadError == LoadOptions::ReadErrors::Skip || m_loadOptions.readRetries > 0;
}

TapeJob::Rescue TapeJob::RescueBlock(TapeDevice& device, void* buffer, uint32_t& bytesRead, FileEnd& end)
{
    if (!IsDataError(end.lastError) || !RescueWanted())
        return Rescue::Recovered;
    const unsigned long long block = m_nFileBlocks + m_nFileBadBlocks;
    end.readOk = false;
    m_nRereads = 0;
    for (uint32_t attempt = 1; attempt <= m_loadOptions.readRetries; ++attempt) {
        m_nRereads = attempt;
        uint32_t immediately = 0;
        if (m_pJobList && m_pJobList->GetBreakRequest(immediately) && immediately) {
            end.breakRequested = end.breakImmediate = true;
            return Rescue::FileEnds;
        }
        char line[96];
        std::snprintf(line, sizeof line, "Read error in block %llu, reading it again (%u of %u): ", block, attempt,
                      m_loadOptions.readRetries);
        WriteLog(1, line + SystemMessage(end.lastError));
        if (uint32_t backError = SpaceBlocks(device, -1)) {
            // Where the tape stands now is anybody's guess: the file ends with the error.
            end.lastError = backError;
            return Rescue::FileEnds;
        }
        bytesRead = 0;
        end.lastError = device.Read(buffer, m_nBufferSize, bytesRead);
        if (!IsDataError(end.lastError)) {
            if (end.lastError == ERROR_SUCCESS) {
                std::snprintf(line, sizeof line, "Block %llu read on attempt %u\n", block, attempt);
                WriteLog(1, line);
            }
            return Rescue::Recovered;
        }
    }
    if (m_loadOptions.onReadError == LoadOptions::ReadErrors::Stop)
        return Rescue::FileEnds;
    bytesRead = 0;
    if (RecordBadBlock(end.lastError)) {
        SpaceOverRestOfFile(device, end);
        return Rescue::FileEnds;
    }
    uint32_t immediately = 0;
    if (m_pJobList && m_pJobList->GetBreakRequest(immediately) && immediately) {
        end.breakRequested = end.breakImmediate = true;
        return Rescue::FileEnds;
    }
    return Rescue::Skipped;
}

bool TapeJob::RecordBadBlock(uint32_t error)
{
    const uint64_t block = m_nFileBlocks + m_nFileBadBlocks;
    const bool follows = m_nFileBadBlocks > 0 && m_nLastBadBlock + 1 == block;
    m_nBadBlocksInARow = follows ? m_nBadBlocksInARow + 1 : 1;
    ++m_nFileBadBlocks;
    m_nLastBadBlock = block;
    NoteBadBlock({m_nTapeFile, block, error, WithoutLineEnd(SystemMessage(error)), -1, m_nRereads});
    m_nResult = TapeJobResult::Failed;  // the copy goes on, but it is not the whole tape
    char line[96];
    std::snprintf(line, sizeof line, "Bad block %llu of file %04d skipped: ", static_cast<unsigned long long>(block),
                  m_nTapeFile);
    WriteLog(1, line + SystemMessage(error));
    return m_nBadBlocksInARow >= m_loadOptions.maxBadBlocksInARow;  // 0 counts as 1
}

void TapeJob::SpaceOverRestOfFile(TapeDevice& device, FileEnd& end)
{
    char line[96];
    std::snprintf(line, sizeof line, "------ %u BAD BLOCKS IN A ROW, REST OF FILE SKIPPED -------\n", m_nBadBlocksInARow);
    WriteLog(1, line);
    NoteRestOfFileSkipped();
    const uint32_t spaceError = device.SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, false);
    // Past the filemark the file ends as at any other; the end of the tape ends the session
    // the ordinary way; anything else is an error that ends it.
    end.readOk = false;
    end.lastError = spaceError == ERROR_SUCCESS ? ERROR_FILEMARK_DETECTED : spaceError;
}

void TapeJob::WriteBadBlockSummary(const char* countLabel)
{
    if (m_nBadBlocks == 0)
        return;
    char line[160];
    std::snprintf(line, sizeof line, "%s%llu\n", countLabel, static_cast<unsigned long long>(m_nBadBlocks));
    WriteLog(1, line);
    for (const BadBlock& bad : m_badBlocks) {
        std::snprintf(line, sizeof line, "######## Bad block\t\t: file %04d, block %llu: ", bad.tapeFile,
                      static_cast<unsigned long long>(bad.block));
        WriteLog(1, line + bad.text + "\n");
    }
    if (m_nBadBlocks > m_badBlocks.size()) {
        std::snprintf(line, sizeof line, "######## Bad blocks not listed\t: %llu\n",
                      static_cast<unsigned long long>(m_nBadBlocks - m_badBlocks.size()));
        WriteLog(1, line);
    }
}
