// The file selection typed by the user: "*" for every file on the tape, or a list of file
// numbers and ranges ("0-1,5, 7-8"). Numbers count tape files from 0.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class FileSelection {
public:
    struct Range {
        int32_t first;
        int32_t last;  // inclusive
    };

    bool loadAll = false;

    // The chosen file numbers, ascending, each once. Kept as disjoint, sorted ranges so a
    // range as wide as 0-2147483647 costs nothing until it is walked.
    const std::vector<Range>& Ranges() const { return m_ranges; }
    bool Empty() const { return m_ranges.empty(); }
    uint64_t Count() const;
    bool Contains(int32_t index) const;
    // Every member in ascending order, for tests and small selections.
    std::vector<int32_t> Members(size_t limit = SIZE_MAX) const;

    // Walks the members in ascending order: for (auto it = sel.begin(); ...) or range-for.
    class Iterator {
    public:
        int32_t operator*() const { return m_nValue; }
        Iterator& operator++();
        bool operator==(const Iterator& other) const
        {
            return m_nRange == other.m_nRange && (m_nRange == kEnd || m_nValue == other.m_nValue);
        }

    private:
        friend class FileSelection;
        static constexpr size_t kEnd = SIZE_MAX;
        const FileSelection* m_pOwner = nullptr;
        size_t m_nRange = kEnd;
        int32_t m_nValue = 0;
    };
    Iterator begin() const;
    Iterator end() const;

    void Clear();
    // One range into the selection as it stands: linear in the number of ranges, so a
    // long list is built with Assign instead.
    void Add(int32_t first, int32_t last);
    // Replaces the selection (loadAll cleared) by these ranges, in any order, overlapping
    // or not (a reversed range counts as its ends swapped): one sort and one merge.
    void Assign(std::vector<Range> ranges);

private:
    std::vector<Range> m_ranges;
};

// True when text is a valid selection.
bool IsValidFileSelection(const char* text);
// Checks and parses; false on a syntax error (selection then holds no meaning).
bool ParseFileSelection(const char* text, FileSelection& selection);
// Where a selection stops making sense: the offset of the character in text at which the
// syntax error stands (the text's length when it ends too soon); SIZE_MAX when it is valid.
size_t FileSelectionErrorOffset(const char* text);

// What is wrong with a selection, for a message better than the place alone.
enum class FileSelectionFault {
    None,            // it is valid
    Syntax,          // a character that does not belong where it stands, or an early end
    NumberTooLarge,  // a file number above 2147483647
    ReversedRange,   // a range whose last number is below its first
};
struct FileSelectionError {
    FileSelectionFault fault = FileSelectionFault::None;
    size_t offset = SIZE_MAX;  // as FileSelectionErrorOffset gives it
    size_t length = 0;         // NumberTooLarge, ReversedRange: the digits at offset at fault
};
FileSelectionError FindFileSelectionError(const char* text);

// What is wrong with a load's file name base, in a few words; empty when nothing is. The
// part after its last "/" names the files: empty, they would be "0000", ".sha256" and
// ".json", the last two hidden.
std::string FileBaseProblem(const std::string& base);

// The selection text for these file numbers, in any order, repeats allowed: ascending, runs
// of consecutive numbers as ranges ("0-2,5"). "" for none: no selection picks no file.
std::string FileSelectionText(std::vector<int32_t> numbers);
