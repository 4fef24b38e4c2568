// Prints how long ParseFileSelection takes for long lists, written ascending, descending and
// as overlapping ranges. A parse that inserts item by item into a sorted vector grows with
// the square of the list for the descending case; collected and sorted once, all three stay
// close to the ascending time.
//
//   bench_selection [ITEMS] [ROUNDS]      (defaults 400000 and 5; the median is printed)
#include "selection/FileSelection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Every second file number, so no two items merge: the selection keeps n ranges.
std::string Ascending(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i) {
        if (i)
            text += ',';
        text += std::to_string(2 * i);
    }
    return text;
}

std::string Descending(int n)
{
    std::string text;
    for (int i = n - 1; i >= 0; --i)
        text += std::to_string(2 * i) + (i ? "," : "");
    return text;
}

// Ranges "4k-4k+4" from the top down, each overlapping its neighbours, then every number
// of them once more: one range in the end, reached through n merges and n duplicates.
std::string Overlapping(int n)
{
    std::string text;
    for (int i = n / 2 - 1; i >= 0; --i)
        text += std::to_string(4 * i) + "-" + std::to_string(4 * i + 4) + ",";
    for (int i = n / 2 - 1; i >= 0; --i)
        text += std::to_string(4 * i) + (i ? "," : "");
    return text;
}

// Median parse time in milliseconds; exits when the parse is wrong.
double Time(const char* name, const std::string& text, uint64_t expectedCount, int rounds)
{
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        FileSelection sel;
        auto t0 = std::chrono::steady_clock::now();
        bool ok = ParseFileSelection(text.c_str(), sel);
        auto t1 = std::chrono::steady_clock::now();
        if (!ok || sel.Count() != expectedCount) {
            std::fprintf(stderr, "%s: parse failed or wrong count\n", name);
            std::exit(1);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int n = argc > 1 ? std::atoi(argv[1]) : 400000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (n < 1 || rounds < 1) {
        std::fprintf(stderr, "usage: bench_selection [ITEMS] [ROUNDS]\n");
        return 2;
    }
    std::printf("%d items, median of %d parses\n", n, rounds);
    std::printf("ascending   : %10.2f ms\n", Time("ascending", Ascending(n), n, rounds));
    std::printf("descending  : %10.2f ms\n", Time("descending", Descending(n), n, rounds));
    std::printf("overlapping : %10.2f ms\n", Time("overlapping", Overlapping(n), 4ull * (n / 2) + 1, rounds));
    return 0;
}
