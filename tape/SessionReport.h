// The record a load leaves beside its disk files: DIR/<base>.sha256, one line per kept file
// in the form `sha256sum -c` checks from DIR, and DIR/<base>.json, what a program needs to
// know about the capture (docs/REPORT.md). Both are written under temporary names and
// renamed when the session ends, however it ends; the log knows nothing of them.
#pragma once
#include "platform/DeviceFacts.h"
#include "platform/FileDescriptor.h"
#include "tape/Fixity.h"
#include "tape/TapeLabels.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class TapeMap;

// How one tape file ended, as the log says it.
enum class FileEndKind { Filemark, EndOfMedia, NoMoreData, UserBreak, EmptyRead, Error };

struct RecordSizeCount {
    uint32_t size;
    uint64_t count;
};

struct FileReport {
    // A file keeps a count for each of its first kMaxRecordSizes distinct record sizes;
    // records of further sizes are counted together.
    static constexpr size_t kMaxRecordSizes = 8;
    // Content type is read from this many first bytes of the file.
    static constexpr size_t kHeadSize = 65536;

    int32_t number = 0;
    std::string diskFile;  // relative to the folder; empty when no file was kept
    std::string nameSuffix;  // after the number: "_IDENTIFIER" from the tape's labels, or ""
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    uint32_t smallest = 0;
    uint32_t largest = 0;
    std::vector<RecordSizeCount> sizes;  // in the order first seen
    uint64_t otherSizes = 0;
    FileEndKind end = FileEndKind::Error;
    uint32_t errorCode = 0;
    std::string errorText;
    std::string sha256;
    std::string head;
    // Whole: read to its end. A copy cut short stays under its temporary name (diskFile
    // then ends in ".part") and has no checksum line; cut says why.
    bool whole = true;
    std::string cut;
    uint64_t badBlocks = 0;      // blocks passed over in this file
    bool restSkipped = false;    // the rest of the file spaced over after too many in a row
    std::optional<std::string> contentType;
    std::optional<std::string> mimeType;

    void CountRecord(uint32_t size);
};

// A bad record of an earlier capture read again: where it was in that image and is in the
// new one (-1: left out), the reads of it after the first, and whether it was read whole.
struct RetriedRecord {
    int32_t file;
    uint64_t block;
    uint64_t oldOffset;
    int64_t offset;
    uint32_t retries;
    bool whole;
};

// A capture's one image file, which stands in the report for the disk files of a load.
struct ImageReport {
    std::string file;          // relative to the folder
    bool written = false;      // on disk under that name
    uint64_t size = 0;
    std::string sha256;
    uint64_t badRecords = 0;   // records kept as bad data
    std::string format = "simh";
    std::string compression;   // HET: "none", "zlib" or "bzip2"; empty (null) otherwise
    bool badRecordsMarked = true;  // false: the format has no mark, bad blocks went in as ordinary records
    // A retry of an earlier capture's bad records (else empty and -1): that image, how many
    // bad records it had, and how many of them were read whole this time.
    std::string retryOf;
    int64_t badRecordsBefore = -1;
    int64_t recovered = -1;
    std::vector<RetriedRecord> retried;  // the first kMaxListedBadBlocks of them
};

class BagWriter;

class SessionReport {
public:
    // directory and base as the load names its disk files: directory + "/" + base + "0000".
    SessionReport(std::string directory, std::string base, std::string selection, int32_t tapeIndex);
    ~SessionReport();
    SessionReport(const SessionReport&) = delete;
    SessionReport& operator=(const SessionReport&) = delete;

    // Without a read buffer no checksums are taken of the files (a capture's are not kept).
    // The read buffer is the first of the hasher's ring, of capacity bytes (the read buffer's
    // size and the stage's room).
    void SetBlockMode(bool variable, uint32_t bufferSize, void* readBuffer, size_t capacity = 0);
    // Makes the report a capture's, from the moment the tape is reached: the checksum file
    // holds the image's line, and only once the image is written.
    void SetImage(ImageReport image);
    // The device's facts: a drive's first ones or a tape image's, once the device is open
    // (an image is hashed whole then; stop, asked between its chunks, abandons that). A
    // drive's last ones are read by Finish, for a report that is written.
    void ReadDeviceFactsAtStart(const std::function<bool()>& stop = {});
    // A bag (tape/BagIt.h): before SetBlockMode, so that SHA-512 is taken too. Each whole
    // file goes to bag's manifests; the checksum file and the report are named after
    // sideBase (the base without the payload folder) and stand at the bag's top.
    void MakeBag(BagWriter* bag, std::string sideBase);
    // A scan's report: the files are read, hashed and typed but not kept, so no entry names
    // a disk file and no checksum file is written (an earlier one is left as it is).
    void MakeScan() { m_bScan = true; }
    // The next free buffer of the hasher's ring, for the stage's next chunk.
    void* BlockBuffer();
    // The chunk from BlockBuffer() holds bytes of written blocks: they go to the checksum.
    void ChunkWritten(uint64_t bytes);
    void BeginFile(int32_t number);
    // The file being read is named BASEnnnn + suffix (from its labels).
    void SetFileNameSuffix(const std::string& suffix);
    void BlockWritten(const void* data, uint32_t size);
    void EndFile(FileEndKind end, uint32_t code, const std::string& text);
    // The file's summary is written; kept: its disk file stays, under its final name when
    // whole, else under its temporary name (cut says why). Takes its checksum and content
    // type, and adds its checksum line for a whole file.
    void FinishFile(bool kept, bool whole = true, const std::string& cut = {});
    // What standard labels said of a data file (tape/TapeLabels.h): listed under
    // "labelled_files", the first kMaxListedBadBlocks of them.
    void NoteLabelledFile(const LabelledFile& file);
    // The first failure of the session is how it ended.
    void NoteError(const std::string& text);
    // A block the drive could not read, passed over or kept as bad data, as it happens: it
    // counts in the file being read. The first kMaxListedBadBlocks are listed.
    static constexpr size_t kMaxListedBadBlocks = 10000;
    // imageOffset: a capture's, where the block's record starts in the image (-1: none);
    // retries: the reads of it after the first.
    void NoteBadBlock(int32_t file, uint64_t block, uint32_t code, const std::string& text,
                      int64_t imageOffset = -1, uint32_t retries = 0);
    // The rest of the file being read was spaced over after too many bad blocks in a row.
    void NoteRestOfFileSkipped();
    // status: "done", "failed" or "broken_by_user". Writes and renames both files (none
    // when the session tried no tape file); false when either could not be written, and
    // then FailureReason says which and why. The report says "done" only when the
    // checksum file is written. The checksum file keeps the lines of earlier sessions for
    // the files this one did not write anew; an earlier report is kept beside the new one
    // (KeptReportPath).
    bool Finish(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes);
    const std::string& FailureReason() const { return m_strFailure; }

    // The map of the tape (tape/TapeMap.h) goes beside the report when the session ends, as
    // <base>.map.json and <base>.map.svg; finished by then.
    void SetMap(std::shared_ptr<TapeMap> map) { m_pMap = std::move(map); }

    // The checksum file's and the report's names, and the map's.
    std::string ChecksumPath() const;
    std::string ReportPath() const;
    std::string MapPath() const;
    std::string MapPicturePath() const;
    // The name an earlier report written at started (as in its "started") is kept under.
    std::string KeptReportPath(const std::string& started) const;
    // The report as it stands, as JSON text.
    std::string ReportText(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes) const;

private:
    struct Magic;
    void AppendChecksumLine(const FileReport& file);
    bool OpenChecksumTemporary();
    // The files' entries go to a spool as each file ends: the report costs the same memory
    // however many files the tape has.
    void SpoolFileEntry(const FileReport& file);
    void ReadDeviceFactsAtEnd();
    bool CarryOverChecksumLines();
    bool KeepEarlierReport();
    bool WriteMap();
    std::string ReportHead(const char* status, int32_t filesRead, uint64_t blocks, uint64_t bytes) const;
    std::string ReportTail() const;
    bool CopySpool(const std::function<bool(const char*, size_t)>& put) const;

    std::string m_strDirectory;
    std::string m_strBase;
    std::string m_strSideBase;  // the checksum file's and the report's names begin with it
    BagWriter* m_pBag = nullptr;
    std::string m_strSelection;
    int32_t m_nTapeIndex;
    std::string m_strStarted;
    std::string m_strEnded;
    bool m_bHaveBlockMode = false;
    bool m_bVariableBlock = false;
    uint32_t m_nBufferSize = 0;
    std::unique_ptr<BlockHasher> m_pHasher;
    std::unique_ptr<Magic> m_pMagic;
    FileReport m_file;           // the file being read
    uint64_t m_nFileEntries = 0;  // entries in the spool
    UniqueFd m_spool;             // an unnamed file with the entries' text
    bool m_bSpoolFailed = false;
    // The numbers of the files written under their final names, as ranges [first, last].
    std::vector<std::pair<int64_t, int64_t>> m_written;
    // Those written under a name with a suffix (from labels): the number alone does not say
    // which of the earlier lines they replace.
    std::set<std::string> m_writtenNames;
    std::vector<LabelledFile> m_labelled;
    uint64_t m_nLabelledNotListed = 0;
    std::string LabelledFilesText() const;
    std::optional<ImageReport> m_image;
    std::shared_ptr<TapeMap> m_pMap;
    DriveFacts m_driveFacts;
    std::optional<ImageFacts> m_imageFacts;  // a tape image's, once read
    bool m_bStartFactsRead = false;
    struct BadBlockEntry {
        int32_t file;
        uint64_t block;
        uint32_t code;
        std::string text;
        int64_t imageOffset;
        uint32_t retries;
    };
    std::vector<BadBlockEntry> m_badBlocks;
    uint64_t m_nBadBlocks = 0;    // listed or not
    bool m_bInFile = false;
    std::string m_strError;
    std::string m_strFailure;
    UniqueFd m_checksumFile;  // the temporary checksum file, opened with its first line
    bool m_bWriteFailed = false;
    bool m_bScan = false;
};

// A line of a `sha256sum -c` file: "HEX  NAME\n", with the tool's escapes when NAME holds a
// backslash or a line break.
std::string ChecksumLine(const std::string& hex, const std::string& name);
