// What a scan found on a tape, as rows: the table kellovaran-cli scan prints at its end and
// the list the window's "Tape contents" dialog draws, both read from the scan's report.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct TapeContentsRow {
    int32_t number = 0;
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    uint32_t largest = 0;      // the largest record, 0 in a file without any
    std::string recordSizes;   // "80", "80, 800", "80 ... 65536 (12 sizes)"
    std::string contentType;   // libmagic's description, "" when none
    std::string mimeType;
    std::string label;         // the file identifier of the header labels before it, if any
    bool whole = true;         // read to its end
};

// The rows of a report's text (a scan's, or a load's), in tape order; the read past the
// last file, which found only the end of the data, is no row. False, with why, when the
// text is not such a report.
bool TapeContentsFromReport(const std::string& reportText, std::vector<TapeContentsRow>& rows, std::string& error);
// The same from the report file at path.
bool ReadTapeContents(const std::string& path, std::vector<TapeContentsRow>& rows, std::string& error);

// The rows as a plain-text table, one line a file, with a heading; long types are cut.
std::string TapeContentsTable(const std::vector<TapeContentsRow>& rows);
