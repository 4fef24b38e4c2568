// The selection grammar under libFuzzer. The input is the text typed by the user (up to its
// first NUL); the same bytes, read as pairs of 32-bit numbers, also feed Assign and Add,
// which must build the same ranges.
#include "selection/FileSelection.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A walk longer than this is cut short; Count() is compared only below it. Ranges from raw
// numbers are nearly always wide, so their walks stop sooner.
constexpr uint64_t kWalkCap = 10000;
constexpr uint64_t kRawWalkCap = 1000;

#define CHECK(cond)                                                               \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                         \
        }                                                                         \
    } while (0)

// Sorted, disjoint and apart by at least one number, as the header promises.
void CheckRanges(const FileSelection& sel)
{
    const auto& ranges = sel.Ranges();
    for (size_t i = 0; i < ranges.size(); ++i) {
        CHECK(ranges[i].first <= ranges[i].last);
        if (i > 0)
            CHECK(int64_t{ranges[i].first} > int64_t{ranges[i - 1].last} + 1);
        // Just outside a range is outside every range.
        if (ranges[i].first > INT32_MIN)
            CHECK(!sel.Contains(ranges[i].first - 1));
        if (ranges[i].last < INT32_MAX)
            CHECK(!sel.Contains(ranges[i].last + 1));
        CHECK(sel.Contains(ranges[i].first) && sel.Contains(ranges[i].last));
    }
}

void CheckWalk(const FileSelection& sel, uint64_t cap = kWalkCap)
{
    std::vector<int32_t> walked;
    auto it = sel.begin();
    for (; it != sel.end() && walked.size() < cap; ++it) {
        const int32_t value = *it;
        if (!walked.empty())
            CHECK(value > walked.back());
        CHECK(sel.Contains(value));
        walked.push_back(value);
    }
    if (sel.Count() < cap) {
        CHECK(it == sel.end());
        CHECK(walked.size() == sel.Count());
    } else {
        CHECK(walked.size() == cap);
    }
    CHECK(sel.Members(cap) == walked);
}

// What a valid list says, read off the text on its own terms: every number in it fits 32
// bits and is selected, and "a-b" has a <= b.
void CheckNumbers(const char* text, const FileSelection& sel)
{
    int64_t previous = -1;
    bool dash = false;
    for (const char* p = text; *p;) {
        if (*p < '0' || *p > '9') {
            if (*p == '-')
                dash = true;
            ++p;
            continue;
        }
        int64_t value = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            if (value <= INT32_MAX)
                value = value * 10 + (*p - '0');
        CHECK(value <= INT32_MAX);
        CHECK(sel.Contains(static_cast<int32_t>(value)));
        if (dash)
            CHECK(previous <= value);
        previous = value;
        dash = false;
    }
}

bool SameRanges(const FileSelection& a, const FileSelection& b)
{
    if (a.Ranges().size() != b.Ranges().size())
        return false;
    for (size_t i = 0; i < a.Ranges().size(); ++i)
        if (a.Ranges()[i].first != b.Ranges()[i].first || a.Ranges()[i].last != b.Ranges()[i].last)
            return false;
    return true;
}

void CheckText(const std::string& text)
{
    const char* const t = text.c_str();
    const bool valid = IsValidFileSelection(t);
    FileSelection sel;
    CHECK(ParseFileSelection(t, sel) == valid);
    const size_t offset = FileSelectionErrorOffset(t);
    CHECK((offset == SIZE_MAX) == valid);
    if (!valid) {
        CHECK(offset <= std::strlen(t));
        return;
    }
    if (sel.loadAll) {
        CHECK(sel.Empty());
        return;
    }
    CHECK(!sel.Empty());
    CheckNumbers(t, sel);
    CheckRanges(sel);
    CheckWalk(sel);

    // The ranges written out again parse to the same selection.
    std::string again;
    for (const auto& r : sel.Ranges()) {
        if (!again.empty())
            again += ',';
        again += std::to_string(r.first);
        if (r.last != r.first)
            again += '-' + std::to_string(r.last);
    }
    FileSelection reparsed;
    CHECK(ParseFileSelection(again.c_str(), reparsed));
    CHECK(!reparsed.loadAll && SameRanges(sel, reparsed));
}

void CheckAssignAgainstAdd(const uint8_t* data, size_t size)
{
    std::vector<FileSelection::Range> ranges;
    for (size_t i = 0; i + 8 <= size && ranges.size() < 64; i += 8) {
        FileSelection::Range r;
        std::memcpy(&r.first, data + i, 4);
        std::memcpy(&r.last, data + i + 4, 4);
        ranges.push_back(r);
    }
    FileSelection added;
    for (const auto& r : ranges)
        added.Add(r.first, r.last);
    FileSelection assigned;
    assigned.loadAll = true;
    assigned.Assign(ranges);
    CHECK(!assigned.loadAll);
    CHECK(SameRanges(added, assigned));
    CheckRanges(assigned);
    for (const auto& r : ranges)
        CHECK(assigned.Contains(r.first) && assigned.Contains(r.last));
    CheckWalk(assigned, kRawWalkCap);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CheckText(std::string(reinterpret_cast<const char*>(data), size));
    CheckAssignAgainstAdd(data, size);
    return 0;
}
