#include "selection/FileSelection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

struct Case {
    const char* text;
    bool valid;
    bool all;
    std::vector<int32_t> members;
};

const Case kCases[] = {
    // Blank input.
    {"", false, false, {}},
    {"   ", false, false, {}},
    {"\t\n", false, false, {}},
    // Everything.
    {"*", true, true, {}},
    {"  *  ", true, true, {}},
    {"*\t", true, true, {}},
    {"\n*\r\n", true, true, {}},
    {"*1", false, false, {}},
    {"* 1", false, false, {}},
    {"*,1", false, false, {}},
    {"1,*", false, false, {}},
    {"**", false, false, {}},
    {"1-*", false, false, {}},
    // Single numbers, leading zeros.
    {"0", true, false, {0}},
    {"007", true, false, {7}},
    {"  5  ", true, false, {5}},
    // Lists and ranges, in any order.
    {"0-1,5, 7-8", true, false, {0, 1, 5, 7, 8}},
    {"7-8, 0-1,5", true, false, {0, 1, 5, 7, 8}},
    {"1 - 3 , 5", true, false, {1, 2, 3, 5}},
    {"3-3", true, false, {3}},
    {"5-3", false, false, {}},
    {"3,3", true, false, {3}},
    {"2-4,3", true, false, {2, 3, 4}},
    {"12,3", true, false, {3, 12}},
    {"9-10", true, false, {9, 10}},
    {"100,5-6", true, false, {5, 6, 100}},
    {"1,\n2", true, false, {1, 2}},
    {"1\t,\t2\v-\f3\r", true, false, {1, 2, 3}},
    {"4-6,1-2,3", true, false, {1, 2, 3, 4, 5, 6}},
    // Malformed lists.
    {"1,", false, false, {}},
    {"1, ", false, false, {}},
    {"1,,2", false, false, {}},
    {",1", false, false, {}},
    {"1-", false, false, {}},
    {"1- ", false, false, {}},
    {"-1", false, false, {}},
    {"+1", false, false, {}},
    {"1 2", false, false, {}},
    {"1-2 3", false, false, {}},
    {"1-2-3", false, false, {}},
    {"1;2", false, false, {}},
    {"1.5", false, false, {}},
    {"a", false, false, {}},
    {"1a", false, false, {}},
    {"1\x80", false, false, {}},
    {"\xa0" "1", false, false, {}},  // no-break space of Latin-1 is not whitespace here
    // 32-bit bounds: the largest index is accepted, anything above is a syntax error.
    {"2147483647", true, false, {INT32_MAX}},
    {"2147483646-2147483647", true, false, {INT32_MAX - 1, INT32_MAX}},
    {"00000000000000000000002147483647", true, false, {INT32_MAX}},
    {"2147483648", false, false, {}},
    {"0-2147483648", false, false, {}},
    {"99999999999999999999999", false, false, {}},
    {"4294967296", false, false, {}},  // would wrap to 0 in 32 bits
    {"4294967297-4294967298", false, false, {}},
};

TEST(FileSelectionGrammar, Table)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(testing::Message() << "text \"" << c.text << "\"");
        EXPECT_EQ(IsValidFileSelection(c.text), c.valid);
        FileSelection sel;
        sel.Add(42, 42);  // parse must start from an empty selection
        sel.loadAll = true;
        ASSERT_EQ(ParseFileSelection(c.text, sel), c.valid);
        if (!c.valid)
            continue;
        EXPECT_EQ(sel.loadAll, c.all);
        EXPECT_EQ(sel.Members(), c.members);
        EXPECT_EQ(sel.Count(), c.members.size());
    }
}

TEST(FileSelectionGrammar, NullTextIsRejected)
{
    FileSelection sel;
    EXPECT_FALSE(IsValidFileSelection(nullptr));
    EXPECT_FALSE(ParseFileSelection(nullptr, sel));
}

// Why a selection fails, and where: what the program's message is built from. A number too
// large is reported at its first digit, and its length covers all of it (leading zeros too).
TEST(FileSelectionGrammar, ErrorsSayWhyAndWhere)
{
    struct ErrorCase {
        const char* text;
        FileSelectionFault fault;
        size_t offset;
        size_t length;
    };
    const ErrorCase cases[] = {
        {"2147483647", FileSelectionFault::None, SIZE_MAX, 0},
        {"2147483648", FileSelectionFault::NumberTooLarge, 0, 10},
        {"1, 0002147483648,5", FileSelectionFault::NumberTooLarge, 3, 13},
        {"0 - 4294967296", FileSelectionFault::NumberTooLarge, 4, 10},
        {"4294967297-4294967298", FileSelectionFault::NumberTooLarge, 0, 10},
        {"5-3", FileSelectionFault::ReversedRange, 2, 1},
        {"7,9 - 08", FileSelectionFault::ReversedRange, 6, 2},
        {"1,,2", FileSelectionFault::Syntax, 2, 0},
        {"1-", FileSelectionFault::Syntax, 2, 0},
        {"", FileSelectionFault::Syntax, 0, 0},
        {nullptr, FileSelectionFault::Syntax, 0, 0},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text \"" << (c.text ? c.text : "(null)") << "\"");
        const FileSelectionError e = FindFileSelectionError(c.text);
        EXPECT_EQ(e.fault, c.fault);
        EXPECT_EQ(e.offset, c.offset);
        EXPECT_EQ(FileSelectionErrorOffset(c.text), c.offset);
        if (c.fault != FileSelectionFault::Syntax) {
            EXPECT_EQ(e.length, c.length);
        }
    }
}

TEST(FileSelectionGrammar, WholeIndexSpaceIsStoredAsOneRangeAndWalkedLazily)
{
    FileSelection sel;
    // A member-by-member representation would need 8 GiB here.
    ASSERT_TRUE(ParseFileSelection("0-2147483647, 5, 10-20, 2147483647", sel));
    ASSERT_EQ(sel.Ranges().size(), 1u);
    EXPECT_EQ(sel.Count(), uint64_t(INT32_MAX) + 1);
    EXPECT_TRUE(sel.Contains(0));
    EXPECT_TRUE(sel.Contains(INT32_MAX));
    EXPECT_FALSE(sel.Contains(-1));
    EXPECT_EQ(sel.Members(4), (std::vector<int32_t>{0, 1, 2, 3}));
}

TEST(FileSelectionIterator, StopsAtInt32MaxWithoutOverflow)
{
    FileSelection sel;
    ASSERT_TRUE(ParseFileSelection("2147483645-2147483647,3", sel));
    std::vector<int32_t> seen;
    for (int32_t v : sel)
        seen.push_back(v);
    EXPECT_EQ(seen, (std::vector<int32_t>{3, INT32_MAX - 2, INT32_MAX - 1, INT32_MAX}));
    auto it = sel.end();
    ++it;  // incrementing the end stays at the end
    EXPECT_TRUE(it == sel.end());
}

TEST(FileSelectionRanges, MergeOverlappingAndAdjacent)
{
    FileSelection sel;
    sel.Add(10, 12);
    sel.Add(1, 2);
    sel.Add(20, 20);
    ASSERT_EQ(sel.Ranges().size(), 3u);
    sel.Add(3, 9);  // touches both neighbours: 1-12 becomes one range
    ASSERT_EQ(sel.Ranges().size(), 2u);
    EXPECT_EQ(sel.Ranges()[0].first, 1);
    EXPECT_EQ(sel.Ranges()[0].last, 12);
    sel.Add(0, 30);  // swallows everything
    ASSERT_EQ(sel.Ranges().size(), 1u);
    EXPECT_EQ(sel.Count(), 31u);
    sel.Add(INT32_MAX, INT32_MAX);
    sel.Add(31, INT32_MAX - 1);
    ASSERT_EQ(sel.Ranges().size(), 1u);
    EXPECT_EQ(sel.Ranges()[0].last, INT32_MAX);
    EXPECT_FALSE(sel.Contains(-5));
}

TEST(FileSelectionRanges, ContainsMatchesMembers)
{
    FileSelection sel;
    ASSERT_TRUE(ParseFileSelection("2, 5-7, 11, 13-13, 20-22", sel));
    std::set<int32_t> members;
    for (int32_t v : sel)
        members.insert(v);
    for (int32_t v = -2; v < 25; ++v)
        EXPECT_EQ(sel.Contains(v), members.count(v) == 1) << v;
    EXPECT_EQ(sel.Count(), members.size());
}

// Items in any order, repeated or overlapping, mean the same set: the walk must match the
// one of the same items written ascending, for lists long enough that the order in which
// the parser merges them matters.
TEST(FileSelectionRanges, ListInAnyOrderWalksLikeTheAscendingList)
{
    std::mt19937 rng(4711);
    std::uniform_int_distribution<int32_t> start(0, 3000);
    std::uniform_int_distribution<int32_t> width(0, 6);
    std::vector<std::pair<int32_t, int32_t>> items;
    for (int i = 0; i < 1500; ++i) {
        int32_t a = start(rng);
        items.emplace_back(a, a + width(rng));
    }
    // The top of the index space, split so that merging must join touching ends there.
    items.emplace_back(INT32_MAX, INT32_MAX);
    items.emplace_back(INT32_MAX - 3, INT32_MAX - 1);
    std::set<int64_t> expected;
    for (const auto& [a, b] : items)
        for (int64_t v = a; v <= b; ++v)
            expected.insert(v);

    auto text = [](const std::vector<std::pair<int32_t, int32_t>>& list) {
        std::string t;
        for (const auto& [a, b] : list)
            t += (t.empty() ? "" : ", ") + std::to_string(a) + (a == b ? "" : "-" + std::to_string(b));
        return t;
    };
    auto walk = [](const std::string& t) {
        FileSelection sel;
        EXPECT_TRUE(ParseFileSelection(t.c_str(), sel));
        EXPECT_FALSE(sel.loadAll);
        return std::pair(sel.Members(), sel.Ranges().size());
    };

    std::sort(items.begin(), items.end());
    auto [ascending, rangeCount] = walk(text(items));
    ASSERT_EQ(ascending.size(), expected.size());
    EXPECT_TRUE(std::equal(ascending.begin(), ascending.end(), expected.begin()));

    std::vector<std::pair<int32_t, int32_t>> descending(items.rbegin(), items.rend());
    std::vector<std::pair<int32_t, int32_t>> shuffled = items;
    shuffled.insert(shuffled.end(), items.begin(), items.begin() + 400);  // duplicates
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (const auto& list : {descending, shuffled}) {
        auto [members, count] = walk(text(list));
        EXPECT_EQ(members, ascending);
        EXPECT_EQ(count, rangeCount);
    }
}

// A second, independent reading of the grammar for short strings: split at "," and "-",
// trim whitespace, and require plain digit runs; the meaning is a plain list of items.
struct Reference {
    bool valid = false;
    bool all = false;
    std::vector<std::pair<int64_t, int64_t>> items;  // as written

    bool Contains(int64_t v) const
    {
        for (const auto& [a, b] : items)
            if (a <= v && v <= b)
                return true;
        return false;
    }
};

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::string Trim(const std::string& s)
{
    static const char* ws = " \t\n\v\f\r";
    size_t b = s.find_first_not_of(ws);
    if (b == std::string::npos)
        return "";
    return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// Value of a run of digits; -1 when it is not one, INT64_MAX when it is far too long.
int64_t Number(const std::string& s)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    int64_t v = 0;
    for (char c : s) {
        v = v * 10 + (c - '0');
        if (v > INT32_MAX)
            return INT64_MAX;
    }
    return v;
}

Reference ReferenceParse(const std::string& text)
{
    Reference ref;
    if (text.find_first_not_of("0123456789*,- \t\n\v\f\r") != std::string::npos)
        return ref;
    std::vector<std::string> pieces = Split(text, ',');
    if (pieces.size() == 1 && Trim(pieces[0]) == "*") {
        ref.valid = ref.all = true;
        return ref;
    }
    for (const std::string& piece : pieces) {
        std::vector<std::string> ends = Split(piece, '-');
        if (ends.size() > 2)
            return Reference{};
        int64_t a = Number(Trim(ends[0]));
        int64_t b = ends.size() == 2 ? Number(Trim(ends[1])) : a;
        if (a < 0 || b < 0 || a > INT32_MAX || b > INT32_MAX || b < a)
            return Reference{};
        ref.items.emplace_back(a, b);
    }
    ref.valid = true;
    return ref;
}

TEST(FileSelectionProperty, CheckAndParseAgreeWithEachOtherAndWithReference)
{
    static const char alphabet[] = {'0', '1', '2', '9', '7', '*', ',', '-', ' ', '\t', '\n',
                                    'a', ';', '+', '.', '\r', static_cast<char>(0x80)};
    // Weights favour the grammar's own characters so that many strings are valid.
    std::mt19937 rng(20261208);
    std::discrete_distribution<int> pick({8, 6, 5, 3, 3, 2, 6, 5, 4, 1, 1, 1, 1, 1, 1, 1, 1});
    std::uniform_int_distribution<int> length(0, 14);
    int valid = 0;
    for (int round = 0; round < 60000; ++round) {
        std::string text;
        int n = length(rng);
        for (int i = 0; i < n; ++i)
            text += alphabet[pick(rng)];
        SCOPED_TRACE(testing::Message() << "text \"" << text << "\"");

        FileSelection sel;
        bool parsed = ParseFileSelection(text.c_str(), sel);
        ASSERT_EQ(IsValidFileSelection(text.c_str()), parsed);
        ASSERT_EQ(FindFileSelectionError(text.c_str()).fault == FileSelectionFault::None, parsed);
        Reference ref = ReferenceParse(text);
        ASSERT_EQ(parsed, ref.valid);
        if (!parsed)
            continue;
        ++valid;
        ASSERT_EQ(sel.loadAll, ref.all);
        if (ref.all) {
            ASSERT_TRUE(sel.Empty());
            continue;
        }
        // Ranges ascending, disjoint and not touching.
        const auto& ranges = sel.Ranges();
        for (size_t i = 0; i < ranges.size(); ++i) {
            ASSERT_LE(ranges[i].first, ranges[i].last);
            if (i > 0) {
                ASSERT_GT(int64_t(ranges[i].first), int64_t(ranges[i - 1].last) + 1);
            }
        }
        // Membership at every interesting point: the ends of each item and their neighbours.
        std::set<int64_t> probes = {0, INT32_MAX};
        for (const auto& [a, b] : ref.items)
            for (int64_t v : {a - 1, a, a + 1, b - 1, b, b + 1})
                if (v >= 0 && v <= INT32_MAX)
                    probes.insert(v);
        for (int64_t v : probes)
            ASSERT_EQ(sel.Contains(int32_t(v)), ref.Contains(v)) << v;
        // For small selections, the walk equals the reference set exactly.
        if (sel.Count() <= 5000) {
            std::set<int64_t> expected;
            for (const auto& [a, b] : ref.items)
                for (int64_t v = a; v <= b; ++v)
                    expected.insert(v);
            std::vector<int32_t> walked = sel.Members();
            ASSERT_EQ(walked.size(), expected.size());
            ASSERT_TRUE(std::equal(walked.begin(), walked.end(), expected.begin()));
        }
    }
    // The generator must actually reach the valid part of the language.
    EXPECT_GT(valid, 3000);
}

} // namespace

// The ticks of the window's list become the load's selection: runs as ranges, and the text
// picks exactly the ticked files.
TEST(FileSelectionText, TicksBecomeRangesThatSelectExactlyThem)
{
    EXPECT_EQ(FileSelectionText({}), "");
    EXPECT_EQ(FileSelectionText({5, 0, 1, 2}), "0-2,5");
    EXPECT_EQ(FileSelectionText({3, 4, 4}), "3,4");
    EXPECT_EQ(FileSelectionText({7, 9, 11, 10, 12}), "7,9-12");
    EXPECT_EQ(FileSelectionText({INT32_MAX - 1, INT32_MAX}), "2147483646,2147483647");
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::set<int32_t> ticked;
        for (int i = 0; i < 12; ++i)
            if (random() % 2)
                ticked.insert(static_cast<int32_t>(random() % 20));
        const std::string text = FileSelectionText(std::vector<int32_t>(ticked.rbegin(), ticked.rend()));
        if (ticked.empty())
            continue;
        FileSelection parsed;
        ASSERT_TRUE(ParseFileSelection(text.c_str(), parsed)) << text;
        EXPECT_EQ(parsed.Members(), std::vector<int32_t>(ticked.begin(), ticked.end())) << text;
    }
}
