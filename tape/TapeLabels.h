// Standard tape labels: IBM's (EBCDIC) and ANSI's (ASCII), 80-byte records in tape files of
// their own around each data file: VOL1 HDR1 HDR2 | data | EOF1 EOF2 | HDR1 HDR2 | data | ...
// ParseLabel reads one record, LabelField one field of it (from one table of fields), and
// LabelTracker follows a load file by file: which file is a header label file, which data
// file its labels describe, and whether the trailer's block count matches the blocks read.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class LabelStandard { Ibm, Ansi };

struct TapeLabel {
    LabelStandard standard = LabelStandard::Ansi;
    std::string id;    // "VOL1", "HDR1", "EOF2", ...
    std::string text;  // the 80 characters, EBCDIC turned into ASCII
};

inline constexpr uint32_t kLabelSize = 80;

// The label in a record of 80 bytes that starts with a label's name in EBCDIC or in ASCII;
// nullopt for any other record.
std::optional<TapeLabel> ParseLabel(const void* data, uint32_t size);

// One field of a label by its name ("file_identifier", "block_count", ...; the table in
// TapeLabels.cpp), trailing and leading blanks removed; "" when the label has no such field.
std::string LabelField(const TapeLabel& label, const std::string& field);

// The creation or expiration date "cyyddd" (c: blank 19xx, 0 20xx, 1 21xx, ...) as
// "YYYY-MM-DD"; "" when it is blank, zero or no date.
std::string LabelDate(const std::string& cyyddd);

// A file identifier made fit to end a disk file name: blanks at both ends removed, "/",
// control characters and blanks inside replaced by "_", dots at its start removed.
std::string LabelNamePart(const std::string& identifier);

// What the labels say of one data file.
struct LabelledFile {
    LabelStandard standard = LabelStandard::Ansi;
    int32_t headerFile = -1;   // the tape file of HDR1
    int32_t dataFile = -1;     // the one after it
    int32_t trailerFile = -1;  // the one after that, when it held EOF1 or EOV1
    std::string volumeSerial;  // of the last VOL1 read; "" when none was
    std::string fileIdentifier;
    int64_t sequence = -1;
    std::string creationDate;  // ISO; "" when not given
    std::string recordFormat;
    int64_t blockLength = -1;
    int64_t recordLength = -1;
    bool dataRead = false;
    uint64_t blocksRead = 0;
    int64_t trailerBlockCount = -1;
    std::string diskFile;      // the data file's name as written (relative), "" when none
    // The trailer's block count against the blocks read: "" when they agree or cannot be
    // compared, else the warning.
    std::string warning;
};

class LabelTracker {
public:
    // A tape file begins; every file read is announced, in order (files spaced over are not).
    void BeginFile(int32_t number);
    // Each block of it, as written.
    void Block(const void* data, uint32_t size);
    // It has ended with blocks blocks written; diskFile: its disk file (relative), if kept.
    // The labelled file it completes, if any (a trailer read, or a data file whose trailer
    // will not come because the next file is not its trailer).
    std::vector<LabelledFile> EndFile(uint64_t blocks, const std::string& diskFile);
    // The labels of a data file read without its trailer, at the end of the session.
    std::vector<LabelledFile> Flush();
    // The labels of the header file just before number, when number is a data file's.
    const LabelledFile* HeaderFor(int32_t number) const;
    // Whether the file that just ended was a header label file (for the log).
    bool LastWasHeader() const { return m_bLastWasHeader; }
    const LabelledFile* Pending() const { return m_pending ? &*m_pending : nullptr; }

private:
    static constexpr size_t kMaxLabelsInFile = 16;
    int32_t m_nFile = -1;
    int32_t m_nPreviousFile = -1;
    std::vector<TapeLabel> m_labels;  // of the current file, while all its blocks are labels
    bool m_bAllLabels = true;
    uint64_t m_nBlocks = 0;
    std::string m_strVolume;
    std::optional<LabelledFile> m_pending;  // header read, waiting for its data or trailer
    bool m_bLastWasHeader = false;
};
