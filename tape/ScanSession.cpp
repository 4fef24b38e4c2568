// A scan: the load's steps, run over the whole tape, with a sink in place of each disk file.
// Every block is still counted, hashed and typed for the report, so the report of a scan
// describes the tape as a load of "*" would find it; nothing in the folder but the report
// and the map is touched.
#include "tape/SessionFolder.h"
#include "tape/TapeJob.h"

#include "platform/Errors.h"
#include "platform/Files.h"

#include <cstdio>

namespace {

const std::string kStarLine = std::string(102, '*') + "\n";

// Takes the blocks a load would write and keeps only their count: the summary reads the
// size of what was "written", as it does of a disk file.
class ScanSink final : public WritableFile {
public:
    uint32_t Write(const void*, uint32_t size, uint32_t& written) override
    {
        m_nSize += size;
        written = size;
        return ERROR_SUCCESS;
    }
    uint32_t GetSize(uint64_t& size) override
    {
        size = m_nSize;
        return ERROR_SUCCESS;
    }
    uint32_t Truncate(uint64_t size) override
    {
        m_nSize = size;
        return ERROR_SUCCESS;
    }

private:
    uint64_t m_nSize = 0;
};

} // namespace

std::unique_ptr<WritableFile> TapeJob::CreateScanSink()
{
    ++m_nFilesRead;
    return std::make_unique<ScanSink>();
}

// Only the report and the map are written, and only those names are looked at: no data
// name of the folder counts, since none is made, replaced or deleted.
bool TapeJob::CheckScanTargets(SessionTargets& targets, const std::string& prefix)
{
    // A bag's report and map are tag files its manifests vouch for: a scan must not change them.
    if (Files().Exists(targets.folder + "/bagit.txt")) {
        WriteError("A scan does not write into a bag: '" + targets.folder + "'\n");
        WriteLog(1, "Reason: its report and map would replace the bag's tag files\n");
        return false;
    }
    targets.dataFiles = false;
    for (const char* suffix : {".json", ".json.tmp", ".map.json", ".map.json.tmp", ".map.svg", ".map.svg.tmp"})
        targets.names.push_back(prefix + suffix);
    return CheckSessionTargets(targets, {prefix + ".map.json.tmp", prefix + ".0000-00-00T00-00-00Z-99.json"});
}

// The log says what is read and that nothing is written; the name stands in the file's
// summary in place of a disk file's.
std::string TapeJob::AnnounceScannedFile(int32_t fileNumber)
{
    char text[96];
    {
        LogBatch batch(*this);
        WriteLog(0, kStarLine);
        std::snprintf(text, sizeof text, "Scanning file number %04d of the tape (nothing is written to disk)\n\n",
                      fileNumber);
        WriteLog(1, text);
    }
    NoteFileStart(fileNumber);
    std::snprintf(text, sizeof text, "tape file %04d", fileNumber);
    return text;
}
