#include "tape/TapeMap.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

using Json = nlohmann::ordered_json;

namespace {

// The order in which a cell standing for several blocks shows them: the worst one wins, so
// that one bad block among a million good ones is never hidden.
int Severity(MapState state)
{
    switch (state) {
    case MapState::Bad: return 3;
    case MapState::Skipped: return 2;
    case MapState::Unread: return 1;
    case MapState::Good: return 0;
    }
    return 0;
}

uint64_t KnownEnd(const MapFile& file)
{
    uint64_t end = 0;
    for (const MapRun& run : file.runs)
        if (run.count)
            end = std::max(end, run.first + *run.count);
    return end;
}

size_t UnknownRuns(const MapFile& file)
{
    return static_cast<size_t>(std::count_if(file.runs.begin(), file.runs.end(),
                                             [](const MapRun& run) { return !run.count; }));
}

std::string FileLabel(const MapFile& file)
{
    char text[48];
    if (file.last != file.number)
        std::snprintf(text, sizeof text, "files %d-%d", file.number, file.last);
    else
        std::snprintf(text, sizeof text, "file %d", file.number);
    return text;
}

std::string XmlEscaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t')
                out += c;
        }
    }
    return out;
}

} // namespace

const char* MapStateName(MapState state)
{
    switch (state) {
    case MapState::Good: return "good";
    case MapState::Bad: return "bad";
    case MapState::Skipped: return "skipped";
    case MapState::Unread: return "unread";
    }
    return "unread";
}

const char* MapStateColour(MapState state)
{
    switch (state) {
    case MapState::Good: return "#3a9d3a";
    case MapState::Bad: return "#d62728";
    case MapState::Skipped: return "#f0a30a";
    case MapState::Unread: return "#b8b8b8";
    }
    return "#b8b8b8";
}

uint64_t TapeMapSnapshot::Count(MapState state) const
{
    uint64_t total = 0;
    for (const MapFile& file : files)
        for (const MapRun& run : file.runs)
            if (run.state == state && run.count)
                total += *run.count;
    return total;
}

void TapeMap::Name(std::string tape, std::string kind)
{
    std::lock_guard lock(m_mutex);
    m_map.tape = std::move(tape);
    m_map.kind = std::move(kind);
}

void TapeMap::Append(MapFile& file, uint64_t first, std::optional<uint64_t> count, MapState state)
{
    if (count && *count == 0)
        return;
    if (!file.runs.empty()) {
        MapRun& before = file.runs.back();
        if (before.state == state && before.count && count && before.first + *before.count == first) {
            *before.count += *count;
            return;
        }
    }
    file.runs.push_back({first, count, state});
}

void TapeMap::BeginFile(int32_t number, uint64_t firstBlock)
{
    std::lock_guard lock(m_mutex);
    if (m_bInFile)
        CloseFile(m_place.load(std::memory_order_relaxed));
    MapFile file;
    file.number = file.last = number;
    file.reading = true;
    Append(file, 0, firstBlock, MapState::Good);  // a capture going on: what it kept was read
    m_map.files.push_back(std::move(file));
    m_bInFile = true;
    m_nAccounted = firstBlock;
    m_place.store(firstBlock, std::memory_order_relaxed);
    m_map.placeFile = number;
}

void TapeMap::Bad(uint64_t block)
{
    std::lock_guard lock(m_mutex);
    if (!m_bInFile || block < m_nAccounted)
        return;
    MapFile& file = m_map.files.back();
    Append(file, m_nAccounted, block - m_nAccounted, MapState::Good);
    Append(file, block, 1, MapState::Bad);
    m_nAccounted = block + 1;
    if (m_place.load(std::memory_order_relaxed) < m_nAccounted)
        m_place.store(m_nAccounted, std::memory_order_relaxed);
}

void TapeMap::RestSkipped(uint64_t block)
{
    std::lock_guard lock(m_mutex);
    if (!m_bInFile)
        return;
    MapFile& file = m_map.files.back();
    if (block > m_nAccounted)
        Append(file, m_nAccounted, block - m_nAccounted, MapState::Good);
    Append(file, std::max(block, m_nAccounted), std::nullopt, MapState::Skipped);
    m_nAccounted = UINT64_MAX;  // nothing more of this file is known
}

void TapeMap::CloseFile(uint64_t blocks)
{
    MapFile& file = m_map.files.back();
    if (m_nAccounted != UINT64_MAX && blocks > m_nAccounted)
        Append(file, m_nAccounted, blocks - m_nAccounted, MapState::Good);
    file.reading = false;
    m_bInFile = false;
    m_map.placeFile = file.last + 1;  // past its filemark, at the next file's start
    m_place.store(0, std::memory_order_relaxed);
}

void TapeMap::EndFile(uint64_t blocks, MapEnd how)
{
    std::lock_guard lock(m_mutex);
    if (!m_bInFile)
        return;
    const bool skipped = m_nAccounted == UINT64_MAX;
    CloseFile(blocks);
    if (how == MapEnd::Whole || skipped)
        return;
    MapFile& file = m_map.files.back();
    // A capture has noted the block that stopped it already; a load that stops at one has not.
    if (how == MapEnd::OnBadBlock && KnownEnd(file) <= blocks)
        Append(file, blocks, 1, MapState::Bad);
    Append(file, KnownEnd(file), std::nullopt, MapState::Unread);  // what follows was never read
    m_map.placeFile = -1;  // the drive is somewhere in the file
}

void TapeMap::DropFile()
{
    std::lock_guard lock(m_mutex);
    if (!m_bInFile)
        return;
    const int32_t number = m_map.files.back().number;
    m_map.files.pop_back();
    m_bInFile = false;
    m_map.placeFile = number;
}

void TapeMap::FilesSpacedOver(int32_t first, int32_t last)
{
    std::lock_guard lock(m_mutex);
    if (m_bInFile)
        CloseFile(m_place.load(std::memory_order_relaxed));
    MapFile file;
    file.number = first;
    file.last = last;
    file.runs.push_back({0, std::nullopt, MapState::Unread});
    m_map.files.push_back(std::move(file));
    m_map.placeFile = last + 1;
}

void TapeMap::EndOfTape()
{
    std::lock_guard lock(m_mutex);
    m_map.endOfTape = true;
}

void TapeMap::Finish()
{
    std::lock_guard lock(m_mutex);
    if (m_bInFile)
        CloseFile(m_place.load(std::memory_order_relaxed));
    m_map.running = false;
    if (m_map.endOfTape)
        m_map.placeFile = -1;
}

TapeMapSnapshot TapeMap::Snapshot() const
{
    std::lock_guard lock(m_mutex);
    TapeMapSnapshot copy = m_map;
    copy.placeBlock = 0;
    if (m_bInFile) {
        const uint64_t place = m_place.load(std::memory_order_relaxed);
        copy.placeBlock = place;
        if (m_nAccounted != UINT64_MAX && place > m_nAccounted)
            Append(copy.files.back(), m_nAccounted, place - m_nAccounted, MapState::Good);
    }
    return copy;
}

std::string MapJson(const TapeMapSnapshot& map)
{
    Json root;
    root["kellovaran_map"] = 1;
    root["tape"] = map.tape;
    root["session"] = map.kind;
    root["running"] = map.running;
    root["end_of_tape"] = map.endOfTape;
    if (map.placeFile >= 0)
        root["place"] = {{"file", map.placeFile}, {"block", map.placeBlock}};
    else
        root["place"] = nullptr;
    root["totals"] = {{"files", map.files.empty() ? 0 : map.files.back().last + 1},
                      {"good", map.Count(MapState::Good)},
                      {"bad", map.Count(MapState::Bad)}};
    Json files = Json::array();
    for (const MapFile& file : map.files) {
        Json runs = Json::array();
        for (const MapRun& run : file.runs)
            runs.push_back({{"first", run.first},
                            {"count", run.count ? Json(*run.count) : Json(nullptr)},
                            {"state", MapStateName(run.state)}});
        files.push_back({{"file", file.number}, {"last", file.last}, {"runs", std::move(runs)}});
    }
    root["files"] = std::move(files);
    return root.dump(1) + "\n";
}

MapLayout LayOutMap(const TapeMapSnapshot& map, int columns, int maxRows)
{
    MapLayout layout;
    layout.columns = std::max(columns, 1);
    const auto cols = static_cast<uint64_t>(layout.columns);
    const bool restRow = !map.endOfTape;

    auto cellsOf = [&](const MapFile& file, uint64_t perCell) {
        uint64_t cells = (KnownEnd(file) + perCell - 1) / perCell + UnknownRuns(file);
        return std::max<uint64_t>(cells, 1);
    };
    auto rowsAt = [&](uint64_t perCell, bool& allFit) {
        uint64_t rows = restRow ? 1 : 0;
        allFit = true;
        for (const MapFile& file : map.files) {
            const uint64_t cells = cellsOf(file, perCell) + (file.reading ? 1 : 0);
            allFit = allFit && cells <= cols;
            rows += (cells + cols - 1) / cols;
        }
        return rows;
    };
    uint64_t perCell = 1;
    for (;;) {
        bool allFit = false;
        const uint64_t rows = rowsAt(perCell, allFit);
        if (rows <= static_cast<uint64_t>(std::max(maxRows, 1)) || allFit || perCell > (UINT64_MAX >> 2))
            break;
        perCell *= 2;
    }
    layout.blocksPerCell = perCell;

    int row = 0;
    for (const MapFile& file : map.files) {
        const uint64_t knownEnd = KnownEnd(file);
        const uint64_t knownCells = (knownEnd + perCell - 1) / perCell;
        std::vector<MapCell> cells(knownCells);
        for (uint64_t i = 0; i < knownCells; ++i) {
            cells[i].file = file.number;
            cells[i].firstBlock = i * perCell;
            cells[i].lastBlock = std::min(knownEnd, (i + 1) * perCell) - 1;
        }
        for (const MapRun& run : file.runs) {
            if (!run.count || *run.count == 0)
                continue;
            for (uint64_t i = run.first / perCell; i <= (run.first + *run.count - 1) / perCell && i < knownCells; ++i)
                if (Severity(run.state) > Severity(cells[i].state))
                    cells[i].state = run.state;
        }
        for (const MapRun& run : file.runs) {
            if (run.count)
                continue;
            MapCell cell;
            cell.file = file.number;
            cell.firstBlock = run.first;
            cell.lastBlock = run.first;
            cell.state = run.state;
            cell.known = false;
            cells.push_back(cell);
        }
        if (file.reading) {  // the drive is in this file: its place, and what is still to come
            MapCell next;
            next.file = file.number;
            next.firstBlock = next.lastBlock = knownEnd;
            next.state = MapState::Unread;
            next.known = false;
            cells.push_back(next);
            const uint64_t at = map.placeBlock / perCell;
            (at < knownCells ? cells[at] : cells.back()).place = true;
        }
        if (cells.empty()) {  // a file of no blocks: a tapemark right after the one before
            MapCell empty;
            empty.file = file.number;
            empty.known = false;
            empty.state = MapState::Good;
            cells.push_back(empty);
        }
        layout.labels.push_back({row, FileLabel(file)});
        for (size_t i = 0; i < cells.size(); ++i) {
            cells[i].x = static_cast<int>(i % cols);
            cells[i].y = row + static_cast<int>(i / cols);
            layout.cells.push_back(cells[i]);
        }
        row += static_cast<int>((cells.size() + cols - 1) / cols);
    }
    if (restRow) {
        MapCell rest;
        rest.file = map.files.empty() ? 0 : map.files.back().last + 1;
        rest.state = MapState::Unread;
        rest.known = false;
        rest.y = row;
        const bool inFile = !map.files.empty() && map.files.back().reading;
        rest.place = map.running && !inFile && map.placeFile >= 0;
        layout.cells.push_back(rest);
        layout.labels.push_back({row, map.running ? "rest of tape" : "not read"});
        ++row;
    }
    layout.rows = row;
    return layout;
}

std::string MapSvg(const TapeMapSnapshot& map, const MapLayout& layout)
{
    constexpr int kCell = 10, kGap = 2, kLabel = 96, kTop = 46, kMargin = 10;
    const int width = kMargin * 2 + kLabel + layout.columns * (kCell + kGap);
    const int gridHeight = layout.rows * (kCell + kGap);
    const int height = kTop + gridHeight + 50;
    std::string svg;
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                  "font-family=\"DejaVu Sans, sans-serif\" font-size=\"11\">\n"
                  "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n",
                  width, height, width, height);
    svg += buf;
    svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"18\" font-size=\"14\" font-weight=\"bold\">Tape map: " +
           XmlEscaped(map.tape) + "</text>\n";
    std::snprintf(buf, sizeof buf,
                  "<text x=\"%d\" y=\"36\">%s, %s. %llu blocks good, %llu bad. One cell: %llu block%s.</text>\n", kMargin,
                  map.kind.c_str(), map.running ? "running" : (map.endOfTape ? "to the end of the tape" : "ended before the end of the tape"),
                  static_cast<unsigned long long>(map.Count(MapState::Good)),
                  static_cast<unsigned long long>(map.Count(MapState::Bad)),
                  static_cast<unsigned long long>(layout.blocksPerCell), layout.blocksPerCell == 1 ? "" : "s");
    svg += buf;
    for (const MapRowLabel& label : layout.labels) {
        std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\">%s</text>\n", kMargin,
                      kTop + label.y * (kCell + kGap) + kCell - 1, XmlEscaped(label.text).c_str());
        svg += buf;
    }
    for (const MapCell& cell : layout.cells) {
        const int x = kMargin + kLabel + cell.x * (kCell + kGap);
        const int y = kTop + cell.y * (kCell + kGap);
        std::string title = "file " + std::to_string(cell.file);
        if (cell.known)
            title += ", blocks " + std::to_string(cell.firstBlock) + "-" + std::to_string(cell.lastBlock);
        else
            title += ", from block " + std::to_string(cell.firstBlock);
        title += ": ";
        title += MapStateName(cell.state);
        std::snprintf(buf, sizeof buf, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"%s><title>%s</title></rect>\n",
                      x, y, kCell, kCell, MapStateColour(cell.state),
                      cell.known ? "" : " fill-opacity=\"0.55\"", title.c_str());
        svg += buf;
        if (cell.place) {
            std::snprintf(buf, sizeof buf,
                          "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"none\" stroke=\"#000000\" stroke-width=\"2\"/>\n",
                          x - 1, y - 1, kCell + 2, kCell + 2);
            svg += buf;
        }
    }
    int x = kMargin;
    const int y = kTop + gridHeight + 16;
    for (MapState state : {MapState::Good, MapState::Bad, MapState::Skipped, MapState::Unread}) {
        std::snprintf(buf, sizeof buf,
                      "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%s</text>\n",
                      x, y, kCell, kCell, MapStateColour(state), x + kCell + 4, y + kCell - 1, MapStateName(state));
        svg += buf;
        x += 90;
    }
    std::snprintf(buf, sizeof buf,
                  "<text x=\"%d\" y=\"%d\">A pale cell: blocks of unknown number. A framed cell: where the drive is.</text>\n",
                  kMargin, y + kCell + 18);
    svg += buf;
    svg += "</svg>\n";
    return svg;
}
