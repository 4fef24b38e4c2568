#include "selection/FileSelection.h"

#include <algorithm>

namespace {

// Character classes of the POSIX locale, byte by byte, independent of the process locale.
bool IsSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// The one scanner behind both the check and the parse, so they cannot disagree about the
// language. Sink receives the items: OnAll() for "*", OnRange(a, b) for "a" (a == b) and
// "a-b". A number that does not fit a 32-bit signed integer is a syntax error. On an error,
// problem (when given) tells where the text stopped making sense, and why.
template <typename Sink>
bool Scan(const char* text, Sink& sink, FileSelectionError* problem = nullptr)
{
    if (text == nullptr)
        return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const start = p;
    auto fail = [&](const unsigned char* at, FileSelectionFault fault = FileSelectionFault::Syntax,
                    size_t length = 0) {
        if (problem)
            *problem = {fault, static_cast<size_t>(at - start), length};
        return false;
    };
    size_t digits = 0;  // of the number readNumber read last

    auto skipSpace = [&p] {
        while (IsSpace(*p))
            ++p;
    };
    // Reads the longest run of digits at p (at least one is there).
    auto readNumber = [&p, &digits](int32_t& value) {
        const unsigned char* const from = p;
        int64_t v = 0;
        bool tooBig = false;
        while (IsDigit(*p)) {
            if (!tooBig) {
                v = v * 10 + (*p - '0');
                if (v > INT32_MAX)
                    tooBig = true;
            }
            ++p;
        }
        value = static_cast<int32_t>(v);
        digits = static_cast<size_t>(p - from);
        if (tooBig)
            p = from;  // the error is the number, not what follows it
        return !tooBig;
    };

    skipSpace();
    if (*p == '\0')
        return fail(p);
    if (*p == '*') {
        ++p;
        skipSpace();
        if (*p != '\0')
            return fail(p);
        sink.OnAll();
        return true;
    }
    for (;;) {
        if (!IsDigit(*p))
            return fail(p);
        int32_t first = 0;
        if (!readNumber(first))
            return fail(p, FileSelectionFault::NumberTooLarge, digits);
        int32_t last = first;
        skipSpace();
        if (*p == '-') {
            ++p;
            skipSpace();
            if (!IsDigit(*p))
                return fail(p);
            const unsigned char* const lastAt = p;
            if (!readNumber(last))
                return fail(p, FileSelectionFault::NumberTooLarge, digits);
            if (last < first)
                return fail(lastAt, FileSelectionFault::ReversedRange, digits);
            skipSpace();
        }
        sink.OnRange(first, last);
        if (*p == '\0')
            return true;
        if (*p != ',')
            return fail(p);
        ++p;
        skipSpace();
        // Loop head: end or anything but a digit fails (trailing comma, ",,", ",*").
    }
}

struct CheckSink {
    void OnAll() {}
    void OnRange(int32_t, int32_t) {}
};

// Collects the items as written; the selection sorts and merges them once at the end, so a
// list in any order parses in n log n.
struct ParseSink {
    bool all = false;
    std::vector<FileSelection::Range> items;
    void OnAll() { all = true; }
    void OnRange(int32_t first, int32_t last) { items.push_back({first, last}); }
};

} // namespace

uint64_t FileSelection::Count() const
{
    uint64_t count = 0;
    for (const Range& r : m_ranges)
        count += static_cast<uint64_t>(static_cast<int64_t>(r.last) - r.first + 1);
    return count;
}

bool FileSelection::Contains(int32_t index) const
{
    auto it = std::upper_bound(m_ranges.begin(), m_ranges.end(), index,
                               [](int32_t value, const Range& r) { return value < r.first; });
    if (it == m_ranges.begin())
        return false;
    --it;
    return index <= it->last;
}

std::vector<int32_t> FileSelection::Members(size_t limit) const
{
    std::vector<int32_t> members;
    for (auto it = begin(); it != end() && members.size() < limit; ++it)
        members.push_back(*it);
    return members;
}

FileSelection::Iterator& FileSelection::Iterator::operator++()
{
    if (m_nRange == kEnd)
        return *this;
    const Range& r = m_pOwner->m_ranges[m_nRange];
    // Compare before stepping: a range ending at INT32_MAX must not be incremented past it.
    if (m_nValue < r.last) {
        ++m_nValue;
        return *this;
    }
    ++m_nRange;
    if (m_nRange >= m_pOwner->m_ranges.size()) {
        m_nRange = kEnd;
        m_nValue = 0;
    } else {
        m_nValue = m_pOwner->m_ranges[m_nRange].first;
    }
    return *this;
}

FileSelection::Iterator FileSelection::begin() const
{
    Iterator it;
    it.m_pOwner = this;
    if (!m_ranges.empty()) {
        it.m_nRange = 0;
        it.m_nValue = m_ranges.front().first;
    }
    return it;
}

FileSelection::Iterator FileSelection::end() const
{
    Iterator it;
    it.m_pOwner = this;
    return it;
}

void FileSelection::Clear()
{
    loadAll = false;
    m_ranges.clear();
}

void FileSelection::Assign(std::vector<Range> ranges)
{
    for (Range& r : ranges)
        if (r.last < r.first)
            std::swap(r.first, r.last);
    // A merge sort: lists typed by hand or generated come in long runs (ascending,
    // descending, repeated), which introsort's pivots handle several times slower.
    std::stable_sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    // Merge in place: out is the last kept range; a range that overlaps or touches it
    // widens it (64-bit, as last + 1 may pass INT32_MAX).
    size_t out = 0;
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (static_cast<int64_t>(ranges[i].first) <= static_cast<int64_t>(ranges[out].last) + 1)
            ranges[out].last = std::max(ranges[out].last, ranges[i].last);
        else
            ranges[++out] = ranges[i];
    }
    if (!ranges.empty())
        ranges.resize(out + 1);
    loadAll = false;
    m_ranges = std::move(ranges);
}

// Keeps m_ranges sorted, disjoint and non-adjacent: the new range swallows every range it
// overlaps or touches.
void FileSelection::Add(int32_t first, int32_t last)
{
    if (last < first)
        std::swap(first, last);
    // First range that could touch [first, last]: its last + 1 >= first.
    auto lo = std::lower_bound(m_ranges.begin(), m_ranges.end(), first, [](const Range& r, int32_t value) {
        return static_cast<int64_t>(r.last) + 1 < value;
    });
    // Ranges from lo that start no later than last + 1 are merged.
    auto hi = lo;
    int64_t newFirst = first;
    int64_t newLast = last;
    while (hi != m_ranges.end() && static_cast<int64_t>(hi->first) <= newLast + 1) {
        newFirst = std::min<int64_t>(newFirst, hi->first);
        newLast = std::max<int64_t>(newLast, hi->last);
        ++hi;
    }
    Range merged{static_cast<int32_t>(newFirst), static_cast<int32_t>(newLast)};
    if (lo == hi) {
        m_ranges.insert(lo, merged);
    } else {
        *lo = merged;
        m_ranges.erase(lo + 1, hi);
    }
}

bool IsValidFileSelection(const char* text)
{
    CheckSink sink;
    return Scan(text, sink);
}

bool ParseFileSelection(const char* text, FileSelection& selection)
{
    ParseSink sink;
    bool ok = Scan(text, sink);
    selection.Assign(std::move(sink.items));
    selection.loadAll = sink.all;
    return ok;
}

size_t FileSelectionErrorOffset(const char* text)
{
    return FindFileSelectionError(text).offset;
}

FileSelectionError FindFileSelectionError(const char* text)
{
    if (text == nullptr)
        return {FileSelectionFault::Syntax, 0, 0};
    CheckSink sink;
    FileSelectionError problem;
    return Scan(text, sink, &problem) ? FileSelectionError{} : problem;
}

std::string FileBaseProblem(const std::string& base)
{
    if (base.empty())
        return "the file name base is empty";
    if (base.back() == '/')
        return "the file name base ends in '/': it needs a name after its folders";
    return {};
}

std::string FileSelectionText(std::vector<int32_t> numbers)
{
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::string text;
    for (size_t i = 0; i < numbers.size();) {
        size_t last = i;
        while (last + 1 < numbers.size() && numbers[last + 1] == numbers[last] + 1)
            ++last;
        if (!text.empty())
            text += ',';
        text += std::to_string(numbers[i]);
        if (last > i)
            text += (last == i + 1 ? "," : "-") + std::to_string(numbers[last]);
        i = last + 1;
    }
    return text;
}
