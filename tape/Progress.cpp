#include "tape/Progress.h"

#include "selection/FileSelection.h"

#include <cmath>
#include <cstdio>

void ProgressMeter::Start(Clock::time_point now, uint64_t filesToRead)
{
    m_start = now;
    m_nFiles = filesToRead;
}

ProgressFigures ProgressMeter::Take(const TapeCounters& counters, Clock::time_point now) const
{
    ProgressFigures figures;
    figures.blocks = counters.nBlocksTotal;
    figures.kbytes = counters.nKBytesTotal;
    figures.elapsed = std::chrono::duration<double>(now - m_start).count();
    if (figures.elapsed > 0.05)
        figures.mbPerSecond = static_cast<double>(counters.nKBytesTotal) * 1024.0 / figures.elapsed / 1e6;
    figures.file = counters.nFilesDone + 1;
    figures.files = m_nFiles;
    if (m_nFiles > 0 && static_cast<uint64_t>(figures.file) > m_nFiles)
        figures.file = static_cast<int32_t>(m_nFiles);
    if (counters.nMediumTotal > 0 && counters.nMediumDone <= counters.nMediumTotal) {
        const double fraction =
            static_cast<double>(counters.nMediumDone) / static_cast<double>(counters.nMediumTotal);
        figures.percent = static_cast<int>(std::floor(fraction * 100.0));
        // Once there is something to go by: a second, and a little of the medium.
        if (figures.elapsed >= 1.0 && fraction >= 0.005)
            figures.left = figures.elapsed * (1.0 - fraction) / fraction;
    } else if (m_nFiles > 0 && counters.nFilesDone > 0 && figures.elapsed >= 1.0) {
        // Files of a selection, taken as alike: the files done say how long the rest take.
        const double fraction = static_cast<double>(counters.nFilesDone) / static_cast<double>(m_nFiles);
        if (fraction < 1.0)
            figures.left = figures.elapsed * (1.0 - fraction) / fraction;
    }
    return figures;
}

uint64_t FilesToRead(const std::string& selection)
{
    FileSelection parsed;
    if (!ParseFileSelection(selection.c_str(), parsed) || parsed.loadAll)
        return 0;
    const uint64_t count = parsed.Count();
    return count > 1'000'000 ? 0 : count;
}

std::string GroupedNumber(uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

std::string DurationText(double seconds)
{
    const auto whole = static_cast<unsigned long long>(seconds < 0 ? 0 : std::llround(seconds));
    char text[48];
    if (whole >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60, whole % 60);
    else
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    return text;
}

std::string ProgressLine(const ProgressFigures& figures)
{
    std::string line;
    auto add = [&line](const std::string& part) { line += (line.empty() ? "" : ", ") + part; };
    if (figures.files > 0)
        add("file " + GroupedNumber(static_cast<uint64_t>(figures.file)) + " of " + GroupedNumber(figures.files));
    if (figures.percent >= 0)
        add(std::to_string(figures.percent) + " %");
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f MB/s", figures.mbPerSecond);
    add(rate);
    add(DurationText(figures.elapsed) + " elapsed");
    if (figures.left >= 0)
        add(DurationText(figures.left) + " left");
    return line;
}
