// One tape operation (load, rewind or eject) on one device, run on a worker thread of its
// own, and the messages through which it reports to the notify window.
#pragma once
#include "platform/ImageFormat.h"
#include "platform/Notify.h"
#include "platform/PageBuffer.h"
#include "platform/TapeDevice.h"
#include "tape/BlockStage.h"
#include "tape/SessionFolder.h"
#include "tape/TapeLabels.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BagWriter;
class FileSelection;
class SessionReport;
struct SessionTargets;
class PendingDiskFile;
class TapeImageFile;
class TapeJobList;
class TapeMap;
struct RetriedRecord;
class WritableFile;

// Job messages (WM_USER + 10, 11, 12).
inline constexpr uint32_t UM_LOG_TEXT = 1034;     // block: zero-terminated log text
inline constexpr uint32_t UM_COUNTERS = 1035;     // block: a TapeCounters record
inline constexpr uint32_t UM_STATUS_TEXT = 1036;  // block: zero-terminated status text

// Operation kinds (m_nKind).
inline constexpr int32_t TAPE_JOB_LOAD = 1;
inline constexpr int32_t TAPE_JOB_REWIND = 2;
inline constexpr int32_t TAPE_JOB_EJECT = 3;
inline constexpr int32_t TAPE_JOB_CAPTURE = 4;  // the whole tape into one image file

// How a job ended, for callers that need more than the log (the command-line front end's
// exit status). The log stays the user's account of what happened.
enum class TapeJobResult {
    Completed,       // reached its normal end (all selected files, end of data or media)
    Failed,          // device not accessible, set-up failed, disk or read error
    BadSelection,    // the selection text did not parse; the tape was not touched
    BrokenByUser,    // the user broke off
};

// Payload of UM_COUNTERS. Counters are 64-bit: a modern tape file is far larger than 4 GiB.
struct TapeCounters {
    uint64_t nBlocksTotal;
    uint64_t nFileBlocks;
    uint64_t nKBytesTotal;   // m_nBytesTotal >> 10
    uint64_t nFileKBytes;    // m_nFileBytes >> 10
    uint32_t bFinal;
    // For the progress figures: how far into its medium the drive is (total 0: not known),
    // and the files read whole before the one being read.
    uint64_t nMediumDone = 0;
    uint64_t nMediumTotal = 0;
    int32_t nFilesDone = 0;
};

// A load's choices beyond folder, base and selection (checksums and report, read errors,
// overwriting), set by the front end on the job before its thread starts.
struct LoadOptions {
    // DIR/<base>.sha256 and DIR/<base>.json beside the disk files. Off unless a front end
    // asks (both do by default), so the engine's other callers write only the files.
    bool writeChecksumsAndReport = false;
    // Read errors. A block that cannot be read (a data error) is read again up to
    // readRetries times; then Stop ends the session there, as it always did, and Skip
    // leaves the block out of the disk file, records it and goes on with the next one.
    // After maxBadBlocksInARow such blocks in a row (0 is taken as 1) the rest of the file is
    // spaced over: a run of them never goes on without end.
    enum class ReadErrors { Stop, Skip };
    ReadErrors onReadError = ReadErrors::Stop;
    uint32_t readRetries = 0;
    uint32_t maxBadBlocksInARow = 16;
    // A disk file name that exists already ends the session with an error before anything
    // is written to it ("Never overwrite files", --no-clobber).
    bool noClobber = false;
    // The folder becomes a BagIt bag (tape/BagIt.h): the files under data/, the checksum
    // file, the report and the log beside it as tag files. Needs writeChecksumsAndReport and
    // a folder that is empty or missing.
    bool bag = false;
    // A data file after standard header labels (tape/TapeLabels.h) is named after its file
    // identifier too: BASEnnnn_IDENTIFIER ("--name-from-labels").
    bool nameFromLabels = false;
    // A survey of the tape (kellovaran-cli scan, Tools "Tape contents..."): every file is
    // read as a load reads it, and counted, hashed and typed for the report, but no data
    // file is written, and no checksum file either (tape/ScanSession.cpp). RunLoad sets
    // writeChecksumsAndReport for it and clears bag, noClobber and nameFromLabels.
    bool scanOnly = false;
};

// The image a capture writes: its format, and for HET how its records are compressed.
struct CaptureOptions {
    ImageFormat format = ImageFormat::Simh;
    ImageCompression compression = ImageCompression::None;
    // An earlier capture of the tape: its good records are taken as they are and only its
    // bad ones are read from the tape again (tape/RetryBad.cpp). Empty: the whole tape.
    std::string retryFrom;
    // Go on with the partial image an interrupted capture kept (NAME.partial, SIMH or E11).
    bool resume = false;
};

// A block a load with ReadErrors::Skip passed over: where it stood and why.
struct BadBlock {
    int32_t tapeFile;   // the tape file number, as in "Trying read file number"
    uint64_t block;     // its number within the file, from 0, the bad ones counted
    uint32_t error;     // the read's error number
    std::string text;   // SystemMessage(error), without its line end
    int64_t imageOffset = -1;  // a capture's: where its record starts in the image; -1 when none is written
    uint32_t retries = 0;      // reads of it after the first
};

// What tape and disk operations of a job throw.
class ReTapeOpsException {
public:
    ReTapeOpsException(std::string message, uint32_t code, std::string reason = {})
        : m_strMessage(std::move(message)), m_nCode(code), m_strReason(std::move(reason)) {}
    const std::string& GetMessage() const { return m_strMessage; }
    uint32_t GetCode() const { return m_nCode; }
    // The line that says why, written after the message; empty when the message says it.
    const std::string& GetReason() const { return m_strReason; }

private:
    std::string m_strMessage;
    uint32_t m_nCode;  // the system's error number, 0 for the program's own failures
    std::string m_strReason;
};

// "Reason: <cause>: '<path>'\n", the line after a failure's text that says why it failed.
std::string ReasonLine(uint32_t code, const std::string& path);

class TapeJob {
public:
    TapeJob(std::string path, std::string fileBase, std::string selection, int32_t tapeIndex,
            TapeJobList* jobList, int32_t serial, NotifyWindow* notify, int32_t kind);
    ~TapeJob();
    TapeJob(const TapeJob&) = delete;
    TapeJob& operator=(const TapeJob&) = delete;

    // Reporting; each does nothing without a notify window, and drops its message when
    // the block cannot be allocated.
    void WriteLog(int prefixed, const std::string& text);
    // While one lives, the job's log texts are gathered and go to the receiver as one text
    // when it ends: the lines of a summary, between which the job does nothing else, then
    // cost the worker one hand-over to the window instead of one each. What the log holds
    // is the same, and the worker still goes on only once it is there.
    class LogBatch {
    public:
        explicit LogBatch(TapeJob& job) : m_job(job), m_pOuter(job.m_pLogBatch) { m_job.m_pLogBatch = &m_text; }
        ~LogBatch()
        {
            m_job.m_pLogBatch = m_pOuter;
            if (!m_text.empty())
                m_job.WriteLog(0, m_text);
        }
        LogBatch(const LogBatch&) = delete;
        LogBatch& operator=(const LogBatch&) = delete;

    private:
        TapeJob& m_job;
        std::string* m_pOuter;
        std::string m_text;
    };
    void SendStatusText(const std::string& text);
    // device: the drive being read, which tells how far into its medium it is (a tape image).
    void SendCounters(uint32_t final, const TapeDevice* device = nullptr);
    // "--//--//-- ERROR --//--//--\n" and then the text, both prefixed.
    void WriteError(const std::string& text);
    // Keeps text as the session's failure unless an earlier one is kept (m_strFailure).
    void NoteFailure(const std::string& text);
    // "[%02d][TAPE%d] -- " of this job.
    std::string LogPrefix() const;

    // The operations of the worker procedures.
    void Eject();
    void Rewind();
    void RunLoad();
    // The whole tape into the SIMH image m_strPath/m_strFileBase (ImageCapture.cpp).
    void RunCapture();

    // Opens the device, writes startText, rewinds (and unloads), writes doneText or the error.
    void RunDeviceCommand(const char* startText, const char* statusText, bool unload, const char* doneText);

    // Opens \\.\TAPEn of this job; null when it cannot.
    TapeDevicePtr OpenDevice(uint32_t& error) const;
    // "Can't access specified device" and the line that says why, with what TAPEn opens.
    void WriteDeviceAccessFailure(uint32_t error);

    // Block-size set-up. Each logs before and after its call and throws ReTapeOpsException
    // with the system's text when the call fails.
    uint32_t IsVariableBlockSupported(TapeDevice& device);
    uint32_t GetMaximumBlockSize(TapeDevice& device);
    uint32_t GetMediaFixedBlockSize(TapeDevice& device);
    void SetMediaBlockSize(TapeDevice& device, uint32_t size);

    // Transfer of tape files into disk files.
    bool PrepareBuffer(TapeDevice& device);
    bool TransferFile(TapeDevice& device, const std::string& fileName, bool& endOfTape, bool& stoppedByUser);

    std::string m_strPath;
    std::string m_strFileBase;
    std::string m_strSelection;
    int32_t m_nTapeIndex;
    TapeJobList* m_pJobList;
    int32_t m_nSerial;
    NotifyWindow* m_hWndNotify;
    int32_t m_nKind;
    LoadOptions m_loadOptions;
    CaptureOptions m_captureOptions;  // a capture: the image's format
    // The map of the tape as the session reads it (tape/TapeMap.h): a window gives one to
    // draw it as it grows; a session that writes its report makes its own when none is given,
    // and leaves it beside the report.
    std::shared_ptr<TapeMap> m_pMap;
    uint64_t m_nBadBefore = 0;        // a retry of bad records: the earlier image's bad ones
    uint64_t m_nRecovered = 0;        // and those read whole now
    std::vector<RetriedRecord> m_retried;  // each of them, for the report
    uint64_t m_nBlocksTotal = 0;
    uint64_t m_nBytesTotal = 0;
    uint64_t m_nFileBlocks = 0;
    uint64_t m_nFileBytes = 0;
    int32_t m_nFilesRead = 0;
    uint32_t m_bVariableBlock = 0;
    uint32_t m_nBufferSize = 0;
    PageBuffer m_pBuffer;  // the read buffer; the job owns it
    TapeJobResult m_nResult = TapeJobResult::Completed;
    // The blocks passed over in this session, in order: the first kMaxListedBadBlocks of
    // them (SessionReport's), and how many there were in all.
    std::vector<BadBlock> m_badBlocks;
    uint64_t m_nBadBlocks = 0;
    // Set by TransferFile: the file ended on a successful read of 0 bytes without data,
    // which moves no tape on some drives (the all-files walk counts these).
    bool m_bFileEndedEmptyWithoutMark = false;
    std::string* m_pLogBatch = nullptr;  // the open LogBatch's text, if any
    // The first failure of the session in one line, with its "Reason:" when one followed:
    // what a front end shows once the job has ended ("Failed: ..."). Empty when none.
    std::string m_strFailure;
    bool m_bFailureHasReason = false;
    bool m_bFileFoundOnlyEndOfData = false;  // the last file's first read found the end of the data

private:
    // Steps of RunLoad. RewindForLoad and SkipFiles return false when the session ends
    // there (the end of the tape, or a failure already written and set as the result).
    bool RewindForLoad(TapeDevice& device);
    // Before anything is written: the names the session may write (SessionFolder.h). Each
    // writes why and returns false when the session must not go on.
    bool CheckLoadTargets(const FileSelection& selection);
    bool CheckSessionTargets(const SessionTargets& targets, const std::vector<std::string>& longest);
    bool CheckNothingToOverwrite(const SessionTargets& targets);
    // A scan's names: its report and map only (ScanSession.cpp).
    bool CheckScanTargets(SessionTargets& targets, const std::string& prefix);
    std::string AnnounceScannedFile(int32_t fileNumber);
    // Takes the target folder for the session (made when missing); refuses a folder another
    // session holds.
    bool LockTargetFolder();
    FolderLock m_folderLock;
    // A break asked for between two files ends the session there.
    bool BreakBeforeNextFile(bool& stoppedByUser);
    // "Trying read file number ..." for this tape file; returns its disk file name.
    std::string AnnounceFile(int32_t fileNumber);
    bool SkipFiles(TapeDevice& device, int64_t firstFile, int32_t lastFile);
    void LoadAll(TapeDevice& device, bool& stoppedByUser);
    void StopReadingAll(const char* format, int count);
    void LoadSelection(TapeDevice& device, const FileSelection& selection, bool& stoppedByUser);
    void NoteSelectionShort(int32_t firstMissing);
    void WriteSessionSummary();
    // The session summary's lines about bad blocks: none when there were none.
    void WriteBadBlockSummary(const char* countLabel = "######## Bad blocks skipped\t: ");
    // The end of a session however it went: a break leaves the tape where it stands, else
    // it is rewound; then the device, the report and the read buffer go.
    void CloseSession(TapeDevicePtr device, bool stoppedByUser);

    // Steps of TransferFile; the first two throw ReTapeOpsException.
    struct FileEnd {
        bool readOk = true;                 // the last read succeeded
        uint32_t lastError = 0;             // its result
        uint32_t blockLength = 0;           // of a block too long or of the wrong size, if known
        int64_t damageAt = -1;              // a damaged tape image: the byte where it goes wrong
        bool breakRequested = false;        // seen after the last block
        bool breakImmediate = false;        // and at once: the file is cut where it stands
    };
    // Makes the disk file under its temporary name (DiskPartName) and counts it as read.
    std::unique_ptr<WritableFile> CreateDiskFile(const std::string& fileName);
    // A scan's stand-in for it: counts the bytes, keeps none (ScanSession.cpp).
    std::unique_ptr<WritableFile> CreateScanSink();
    FileEnd CopyBlocks(TapeDevice& device, PendingDiskFile& diskFile);
    // Writes the staged blocks and counts them; a failed write throws like any other.
    void WriteStagedBlocks(PendingDiskFile& diskFile);
    BlockStage m_stage;  // the blocks read and not yet written
    // After a data error in CopyBlocks, as the load options ask: read the block again, or
    // pass it over. Recovered: end and bytesRead hold the result of the last read, to be
    // taken as any read's; Skipped: the block is recorded, the tape after it; FileEnds: end
    // says why (the error, a break, or the filemark reached by spacing over the file's rest).
    enum class Rescue { Recovered, Skipped, FileEnds };
    Rescue RescueBlock(TapeDevice& device, void* buffer, uint32_t& bytesRead, FileEnd& end);
    bool RescueWanted() const;
    // Records the block and writes its line; true when the run of bad blocks is at the limit.
    bool RecordBadBlock(uint32_t error);
    // The rest of a file after too many bad blocks in a row: spaced to its filemark.
    void SpaceOverRestOfFile(TapeDevice& device, FileEnd& end);
    // Flushes the disk file; a failure throws like a failed write.
    void FlushDiskFile(WritableFile& diskFile);
    // Writes why the file ended; false when the session ends with this file.
    bool ReportFileEnd(const FileEnd& end, bool& endOfTape, bool& stoppedByUser);
    // Writes the text of an end of the tape's data (end of media, no more data) and says
    // whether error was one.
    bool WriteEndOfTape(uint32_t error);
    // After the text of a read error: the line with the sizes or the block it concerns.
    void WriteReadFailureReason(uint32_t error, uint32_t blockLength, int64_t damageAt = -1);
    // Closes the disk file and gives it its name, or deletes it when it stayed empty (an
    // unmade file of the read past the tape's last one reads as deleted too). False when the
    // name could not be given, after writing why.
    bool WriteFileSummary(const std::string& fileName, PendingDiskFile& diskFile, bool probeOnly, bool whole);
    // After the last file: flushes the directory of the disk files (and the levels above
    // it that the session made); a failure is written like a failed write.
    void SyncDiskDirectories();
    bool m_bMadeDirectories = false;  // the session created directories for its files

    // The checksums and the report (SessionHooks.cpp); each does nothing without them.
    void StartSessionReport();
    // The device is open: the report takes its facts (a tape image is hashed here).
    void NoteDeviceOpen();
    void NoteBlockMode();
    // The buffer the next block is read into: its place in the stage.
    void* ReadBuffer() { return m_stage.ReadPosition(); }
    // A free chunk for the stage: the read buffer, or the hasher's next free one.
    void* StageChunk();
    // The bytes of the chunk just written, for its checksum.
    void NoteChunkWritten(uint64_t bytes);
    void NoteFileStart(int32_t fileNumber);
    void NoteBlockCopied(const void* data, uint32_t size);
    void NoteFileEnd(const FileEnd& end);
    void NoteFileFailure(const ReTapeOpsException& e);
    // kept: a disk file stays; whole: under its final name, else cut short (why).
    void NoteFileDone(bool kept, bool whole = true, const std::string& cut = {});
    void NoteSessionError(const std::string& text);
    // A block passed over or kept as bad data: listed (up to a bound) and counted.
    void NoteBadBlock(const BadBlock& bad);
    void NoteRestOfFileSkipped();
    // The block of the file being read the drive is at: a load does not count its bad
    // blocks among the file's, a capture does.
    uint64_t FilePlace() const;

    bool m_bFileEndedOnBadBlock = false;  // for the map: the file's last read was a data error
    bool m_bFileCut = false;              // for the map: the file ended before its end
    // Writes both files; a failure is written to the log and fails the session.
    void FinishSessionReport();
    std::unique_ptr<SessionReport> m_pReport;

    // A bag (BagSession.cpp). The data files' base: the given one, in a bag under data/.
    std::string DataBase() const;
    // Before anything is written: a bag needs the report and an empty or new folder.
    bool CheckBagTarget();
    // The session ended: a completed one seals the bag, any other leaves no bag behind.
    void FinishBag();
    std::unique_ptr<BagWriter> m_pBag;

    // Standard tape labels (LabelSession.cpp): followed file by file; what they say of each
    // data file goes to the log and the report, and may name its disk file.
    LabelTracker m_labels;
    std::string m_strFileSuffix;  // "_IDENTIFIER" of the file being read, or ""
    // The name's end for tape file fileNumber: from the header labels just read, if asked.
    std::string LabelNameSuffix(int32_t fileNumber) const;
    void NoteFileLabels(bool kept, bool whole);
    void NoteLabelledFiles(const std::vector<LabelledFile>& files);
    void FinishLabels();

    // Steps of RunCapture.
    enum class CaptureEnd { EndOfTape, UserBreak, Failed };
    bool CheckImageName(const std::string& imagePath);
    CaptureEnd CaptureTape(TapeDevice& device, TapeImageFile& image, int32_t firstFile = 0, uint64_t firstBlock = 0);
    // A resumed capture: where the partial image ends, and its last record.
    struct ResumePoint {
        uint64_t keep = 0;       // bytes of whole records and marks
        int32_t file = 0;        // tapemarks in them: the tape file the capture goes on in
        uint64_t block = 0;      // records of that file in them
        std::string lastRecord;  // the last of those, read again to check the tape
    };
    bool FindResumePoint(const std::string& partial, ResumePoint& point);
    bool PositionForResume(TapeDevice& device, const ResumePoint& point);
    struct EarlierImage;
    bool OpenEarlierImage(EarlierImage& earlier);
    CaptureEnd RetryBadRecords(TapeDevice& device, TapeImageFile& image);
    // Reads a block that gave a data error again, as often as the options say; the result
    // of the last read, and its bytes, stand.
    uint32_t RereadBadBlock(TapeDevice& device, void* buffer, uint32_t& bytesRead);
    // Records the block, writes its line; true when the run of them is at the limit.
    // imageOffset: where its record will start in the image, -1 when it is left out.
    bool KeepBadBlock(uint32_t error, int64_t imageOffset);
    void EndCapturedFile(uint32_t error, bool breakRequested);
    bool FinishImage(TapeImageFile& image, CaptureEnd end);
    uint32_t PutBadBlock(TapeImageFile& image, uint32_t bytesRead);
    void WriteCaptureSummary(double seconds);
    int32_t m_nTapeFile = 0;          // the tape file being read (set by AnnounceFile)
    uint64_t m_nFileBadBlocks = 0;    // blocks of this file passed over
    uint32_t m_nBadBlocksInARow = 0;  // the last ones of them, with no good block between
    uint64_t m_nLastBadBlock = 0;     // the number of the last of them
    uint32_t m_nRereads = 0;          // reads again of the last block that gave a data error
};

// The name a disk file is written under until its summary gives it its own: a file left
// with it was cut off.
std::string DiskPartName(const std::string& fileName);

// Creates the directories on the path of a file name, level by level ("/" separates).
// The root ("/" of an absolute path, the first component of a relative one) is never
// created. False when the name has no directory part below the root or a level fails.
bool CreateDirectoryPath(const std::string& fileName);
// The same, with the error and the path of the level that could not be made.
bool CreateDirectoryPath(const std::string& fileName, uint32_t& error, std::string& failedPath);

// Worker-thread procedures: run the job's operation, remove the job, end the thread.
void EjectThreadProc(TapeJob* job);
void RewindThreadProc(TapeJob* job);
void LoadThreadProc(TapeJob* job);
void CaptureThreadProc(TapeJob* job);

// Starts the procedure for the job's kind on a worker thread of the job's list. False when
// no thread could be started; the job is then removed again and nothing runs.
bool StartJobThread(TapeJob* job);
