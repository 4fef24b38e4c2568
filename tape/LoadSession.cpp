// RunLoad: the body of a load job, as its steps: rewind, then either every file to the end
// of the tape or the selected files with the gaps spaced over, then the session summary.
#include "tape/ByteFigure.h"
#include "tape/SessionFolder.h"
#include "tape/TapeJob.h"
#include "tape/TapeMap.h"
#include "tape/TapeJobList.h"

#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/TimeText.h"
#include "selection/FileSelection.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace {

const std::string kStarLine = std::string(102, '*') + "\n";
const std::string kHashLine = std::string(59, '#') + "\n";

// All-files mode reads on until the tape reports its end. A drive that keeps answering
// reads with 0 bytes and no filemark would never get there: after this many such files in
// a row the walk stops.
constexpr int kMaxFilesWithoutProgress = 16;

// A real tape has a few tapemarks in a row (two end the data on many); a run longer than
// this is a blank or damaged medium, or a hostile image, and reading all files stops there
// instead of making a file and a report entry for each of millions of marks.
constexpr int kMaxEmptyFilesInARow = 100;

const char* const kCreateFailedText = "Couldn't create file on disk\n";

} // namespace

void TapeJob::RunLoad()
{
    FileSelection selection;
    if (!ParseFileSelection(m_strSelection.c_str(), selection)) {
        WriteLog(1, "Invalid file selection syntax\n");
        m_nResult = TapeJobResult::BadSelection;
        return;
    }

    if (m_loadOptions.scanOnly) {  // a scan writes its report and nothing of a load's
        m_loadOptions.writeChecksumsAndReport = true;
        m_loadOptions.bag = m_loadOptions.noClobber = m_loadOptions.nameFromLabels = false;
    }
    m_nBlocksTotal = 0;
    m_nBytesTotal = 0;
    m_nFilesRead = 0;
    if ((m_loadOptions.bag && !CheckBagTarget()) || !CheckLoadTargets(selection)) {
        m_nResult = TapeJobResult::Failed;
        return;
    }
    StartSessionReport();
    m_badBlocks.clear();
    m_nBadBlocks = 0;

    uint32_t error = ERROR_SUCCESS;
    TapeDevicePtr device = OpenDevice(error);
    if (!device) {
        WriteDeviceAccessFailure(error);
        NoteSessionError("Can't access specified device");
        m_nResult = TapeJobResult::Failed;
        FinishSessionReport();
        return;
    }
    NoteDeviceOpen();

    if (!PrepareBuffer(*device)) {
        device.reset();
        m_nResult = TapeJobResult::Failed;
        FinishSessionReport();
        m_pBuffer.Release();
        m_nBufferSize = 0;
        return;
    }
    NoteBlockMode();

    SendCounters(0);

    bool stoppedByUser = false;
    m_bMadeDirectories = false;
    // A bag's folder is looked at again once it is held: nobody wrote there in between.
    if (LockTargetFolder() && (!m_loadOptions.bag || CheckBagTarget()) && RewindForLoad(*device)) {
        if (selection.loadAll)
            LoadAll(*device, stoppedByUser);
        else
            LoadSelection(*device, selection, stoppedByUser);
    }
    if (m_nFilesRead > 0 && !m_loadOptions.scanOnly)
        SyncDiskDirectories();

    WriteSessionSummary();
    SendCounters(1);
    CloseSession(std::move(device), stoppedByUser);
}

void TapeJob::CloseSession(TapeDevicePtr device, bool stoppedByUser)
{
    if (stoppedByUser) {
        if (m_nResult != TapeJobResult::Failed)  // a disk failure is not hidden by the break
            m_nResult = TapeJobResult::BrokenByUser;
    } else {
        RewindForLoad(*device);
    }
    device.reset();
    SendCounters(1);

    FinishLabels();
    FinishSessionReport();
    FinishBag();
    m_folderLock.Release();
    m_pBuffer.Release();
    m_nBufferSize = 0;
}

// Before the tape is touched: no name the load may write is a tape image being read, the
// names fit the file system, and with "never overwrite" none of the files is there
// already. A refusal writes nothing.
bool TapeJob::CheckLoadTargets(const FileSelection& selection)
{
    SessionTargets targets;
    std::string prefix;
    SplitFolderAndPrefix(m_strPath, DataBase(), targets.folder, prefix);
    if (m_loadOptions.scanOnly)
        return CheckScanTargets(targets, prefix);
    targets.dataFiles = true;
    targets.dataPrefix = prefix;
    targets.dataNumber = [&selection](int64_t n) {
        return selection.loadAll || (n <= INT32_MAX && selection.Contains(static_cast<int32_t>(n)));
    };
    targets.labelSuffix = m_loadOptions.nameFromLabels;
    std::vector<std::string> longest = {prefix + "0000.part"};
    if (m_loadOptions.nameFromLabels)  // a file identifier has up to 17 characters
        longest.push_back(prefix + "0000_" + std::string(17, 'X') + ".part");
    if (m_loadOptions.writeChecksumsAndReport) {
        for (const char* suffix : {".sha256", ".sha256.tmp", ".json", ".json.tmp", ".map.json", ".map.json.tmp",
                                   ".map.svg", ".map.svg.tmp"})
            targets.names.push_back(prefix + suffix);
        longest.push_back(prefix + ".map.json.tmp");
        longest.push_back(prefix + ".0000-00-00T00-00-00Z-99.json");  // an earlier report, kept
    }
    return CheckSessionTargets(targets, longest) && CheckNothingToOverwrite(targets);
}

bool TapeJob::CheckSessionTargets(const SessionTargets& targets, const std::vector<std::string>& longest)
{
    std::string image;
    const std::string clash = FindImageAmongTargets(targets, DeviceNamespace::TapeImages(), &image);
    if (!clash.empty()) {
        WriteError("The session would write over a tape image being read: '" + clash + "'\n");
        char* resolved = ::realpath(image.c_str(), nullptr);
        const bool sameText = resolved && clash == resolved;
        std::free(resolved);
        if (!sameText)  // another name of it, or a link to it
            WriteLog(1, "Reason: it is the same file as the tape image '" + image + "'\n");
        return false;
    }
    const std::string tooLong = FindNameTooLong(targets.folder, longest);
    if (!tooLong.empty()) {
        WriteError(kCreateFailedText);
        WriteLog(1, ReasonLine(ERROR_FILENAME_EXCED_RANGE, tooLong));
        return false;
    }
    return true;
}

bool TapeJob::CheckNothingToOverwrite(const SessionTargets& targets)
{
    if (!m_loadOptions.noClobber)
        return true;
    const std::string taken = FindExistingDataFile(targets);
    if (taken.empty())
        return true;
    WriteError(kCreateFailedText);
    WriteLog(1, "Reason: the name exists already and files are never overwritten: '" + taken + "'\n");
    return false;
}

// One session at a time writes into a folder: a second one would mix its files, checksums
// and report with this one's. The folder is made first when it is not there yet.
bool TapeJob::LockTargetFolder()
{
    std::string folder, prefix;
    SplitFolderAndPrefix(m_strPath, m_strFileBase, folder, prefix);
    uint32_t error = m_folderLock.Acquire(folder);
    if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) {
        std::string failed;
        if (CreateDirectoryPath(folder + "/" + prefix, error, failed)) {
            m_bMadeDirectories = true;
            error = m_folderLock.Acquire(folder);
        } else {
            WriteError(kCreateFailedText);
            WriteLog(1, ReasonLine(error, failed));
            m_nResult = TapeJobResult::Failed;
            return false;
        }
    }
    if (error == ERROR_SHARING_VIOLATION) {
        WriteError("Another session is writing into this folder: '" + folder + "'\n");
        m_nResult = TapeJobResult::Failed;
        return false;
    }
    if (error != ERROR_SUCCESS) {
        WriteError(kCreateFailedText);
        WriteLog(1, ReasonLine(error, folder));
        m_nResult = TapeJobResult::Failed;
        return false;
    }
    return true;
}

// A break seen between two files: the file before it has ended, the session ends here.
bool TapeJob::BreakBeforeNextFile(bool& stoppedByUser)
{
    uint32_t immediately = 0;
    if (!m_pJobList || !m_pJobList->GetBreakRequest(immediately))
        return false;
    WriteLog(1, "------ TERMINATED BY USER-------\n\n");
    stoppedByUser = true;
    return true;
}

// A failed rewind leaves the tape at an unknown place: the caller reads nothing from there.
bool TapeJob::RewindForLoad(TapeDevice& device)
{
    WriteLog(1, "Rewinding\n\n");
    if (uint32_t rewindError = device.SetTapePosition(TAPE_REWIND, 0, 0, 0, false)) {
        WriteError(SystemMessage(rewindError));
        m_nResult = TapeJobResult::Failed;
        return false;
    }
    return true;
}

std::string TapeJob::AnnounceFile(int32_t fileNumber)
{
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", fileNumber);
    m_strFileSuffix = LabelNameSuffix(fileNumber);
    std::string name = m_strPath + "/" + DataBase() + digits + m_strFileSuffix;
    m_nTapeFile = fileNumber;
    if (m_loadOptions.scanOnly)
        return AnnounceScannedFile(fileNumber);
    {
        LogBatch batch(*this);
        WriteLog(0, kStarLine);
        char text[64];
        std::snprintf(text, sizeof text, "Trying read file number %04d from tape to disk file '", fileNumber);
        WriteLog(1, text + name + "'\n\n");
    }
    NoteFileStart(fileNumber);
    return name;
}

bool TapeJob::SkipFiles(TapeDevice& device, int64_t firstFile, int32_t lastFile)
{
    WriteLog(0, kStarLine);
    char text[96];
    if (firstFile == lastFile)
        std::snprintf(text, sizeof text, "Skiping file number %04d \n\n", lastFile);
    else
        std::snprintf(text, sizeof text, "Skiping files number %04d-%04d \n\n", static_cast<int>(firstFile), lastFile);
    WriteLog(1, text);
    uint64_t count = static_cast<uint64_t>(int64_t{lastFile} - firstFile + 1);
    uint32_t spaceError = device.SetTapePosition(TAPE_SPACE_FILEMARKS, 0, static_cast<uint32_t>(count), 0, false);
    if (spaceError == ERROR_SUCCESS) {
        if (m_pMap)
            m_pMap->FilesSpacedOver(static_cast<int32_t>(firstFile), lastFile);
        return true;
    }
    // The end of the tape ends the session in the ordinary way; any other failure leaves
    // the tape at an unknown place, and the session ends with the error.
    if (!WriteEndOfTape(spaceError)) {
        WriteError(SystemMessage(spaceError));
        m_nResult = TapeJobResult::Failed;
    }
    return false;
}

void TapeJob::LoadAll(TapeDevice& device, bool& stoppedByUser)
{
    bool endOfTape = false;
    int filesWithoutProgress = 0;
    int emptyFiles = 0;
    for (int fileNumber = 0; !endOfTape; ++fileNumber) {
        if (BreakBeforeNextFile(stoppedByUser))
            return;
        std::string name = AnnounceFile(fileNumber);
        if (!TransferFile(device, name, endOfTape, stoppedByUser))
            return;
        emptyFiles = m_nFileBlocks == 0 && !endOfTape ? emptyFiles + 1 : 0;
        if (emptyFiles >= kMaxEmptyFilesInARow) {
            StopReadingAll("------ %d EMPTY FILES IN A ROW, READING STOPPED -------\n\n", kMaxEmptyFilesInARow);
            return;
        }
        filesWithoutProgress = m_bFileEndedEmptyWithoutMark ? filesWithoutProgress + 1 : 0;
        if (filesWithoutProgress >= kMaxFilesWithoutProgress) {
            StopReadingAll("------ NO DATA IN THE LAST %d FILES, READING STOPPED -------\n\n", kMaxFilesWithoutProgress);
            return;
        }
    }
}

// The all-files walk gives up on a run the tape should not have: the line says which and
// how long, and the session has not read the whole tape.
void TapeJob::StopReadingAll(const char* format, int count)
{
    char text[96];
    std::snprintf(text, sizeof text, format, count);
    WriteLog(1, text);
    NoteSessionError(text);
    m_nResult = TapeJobResult::Failed;
}

void TapeJob::LoadSelection(TapeDevice& device, const FileSelection& selection, bool& stoppedByUser)
{
    bool endOfTape = false;
    int64_t nextTapeFile = 0;  // k + 1 of the last index: may pass INT32_MAX
    for (auto it = selection.begin(); it != selection.end(); ++it) {
        const int32_t k = *it;
        if (BreakBeforeNextFile(stoppedByUser))
            return;
        if (k > nextTapeFile && !SkipFiles(device, nextTapeFile, k - 1)) {
            if (m_nResult != TapeJobResult::Failed)  // the tape ended before file k
                NoteSelectionShort(k);
            return;
        }
        nextTapeFile = int64_t{k} + 1;
        std::string name = AnnounceFile(k);
        const bool transferred = TransferFile(device, name, endOfTape, stoppedByUser);
        if (transferred && m_bFileFoundOnlyEndOfData)
            NoteSelectionShort(k);
        else if (transferred && endOfTape) {
            auto following = it;
            if (++following != selection.end())
                NoteSelectionShort(*following);
        }
        if (!transferred || endOfTape)
            return;
    }
}

// A selected file the tape does not have: the log has said where the tape ended, and the
// session does not count as done (the command line exits with 1).
void TapeJob::NoteSelectionShort(int32_t firstMissing)
{
    char text[96];
    std::snprintf(text, sizeof text, "The tape ended before selected file %04d\n", firstMissing);
    WriteError(text);
    m_nResult = TapeJobResult::Failed;
}

void TapeJob::WriteSessionSummary()
{
    LogBatch batch(*this);
    WriteLog(1, kHashLine);
    WriteLog(1, kHashLine);
    WriteLog(1, "#########   READ SESSION SUMMARY   ########################\n");
    char line[96];
    std::snprintf(line, sizeof line, "######## Files read \t\t: %d\n", m_nFilesRead);
    WriteLog(1, line);
    std::snprintf(line, sizeof line, "######## Blocks read\t\t: %llu\n", static_cast<unsigned long long>(m_nBlocksTotal));
    WriteLog(1, line);
    WriteLog(1, ByteFigure("######## Bytes  read\t\t: ", "  ", m_nBytesTotal));
    WriteBadBlockSummary();
    WriteLog(1, "######## Session completed at " + CTimeNow());
    WriteLog(1, std::string(59, '#') + "\n\n");
}
