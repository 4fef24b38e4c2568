// The map of a tape as a session has seen it: per tape file, which blocks were read whole,
// which could not be read, which were spaced over without reading, and where the drive is.
// The job writes it as it goes; the window reads a copy whenever it draws, and the session
// leaves it beside its report as <base>.map.json and <base>.map.svg (docs/MAP.md).
//
// Good blocks cost nothing on the way: the job says only where a file begins and ends,
// which blocks were bad and how far it has read (an atomic store). A file's good blocks are
// whatever lies between the bad ones.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class MapState : uint8_t {
    Good,     // read whole
    Bad,      // could not be read (kept as a bad record, left out, or where the file stopped)
    Skipped,  // spaced over after too many bad blocks in a row: never read
    Unread,   // not read: files outside the selection, the tape past where the session ended
};

const char* MapStateName(MapState state);

enum class MapEnd { Whole, OnBadBlock, Cut };

// Blocks [first, first + count) of one file in one state. count is empty when nobody knows
// how many there are (a file spaced over, the rest of a file skipped).
struct MapRun {
    uint64_t first = 0;
    std::optional<uint64_t> count;
    MapState state = MapState::Good;
};

struct MapFile {
    int32_t number = 0;
    int32_t last = 0;              // files number..last when spaced over together, else number
    std::vector<MapRun> runs;      // in order, adjacent runs of one state joined
    bool reading = false;          // the file the drive is in now
};

struct TapeMapSnapshot {
    std::string tape;              // what was read, as the user named it
    std::string kind;              // "load", "scan" or "capture"
    bool running = true;
    bool endOfTape = false;        // the session reached the end of the recorded data
    std::vector<MapFile> files;
    // Where the drive is: a file and the number of the next block in it; -1 when not in one.
    int32_t placeFile = -1;
    uint64_t placeBlock = 0;

    uint64_t Count(MapState state) const;  // blocks of a known count
};

class TapeMap {
public:
    TapeMap() = default;
    TapeMap(std::string tape, std::string kind) { Name(std::move(tape), std::move(kind)); }
    // What is read ("TAPE0" or an image's path) and by what ("load", "scan", "capture").
    void Name(std::string tape, std::string kind);

    // A file is read from its block 0 (or from firstBlock when a capture goes on).
    void BeginFile(int32_t number, uint64_t firstBlock = 0);
    // Block number of the file being read could not be read.
    void Bad(uint64_t block);
    // The rest of the file being read, from block number on, was spaced over.
    void RestSkipped(uint64_t block);
    // The file being read ends after blocks blocks (bad ones counted): at its filemark or the
    // end of the data (Whole), at a block that could not be read (OnBadBlock: that block is
    // bad and the rest of the file unread), or cut short otherwise (the rest unread).
    void EndFile(uint64_t blocks, MapEnd how = MapEnd::Whole);
    // The file begun was none: the read found the end of the data.
    void DropFile();
    // Files first..last spaced over without reading.
    void FilesSpacedOver(int32_t first, int32_t last);
    // The recorded data ended: nothing lies beyond the last file.
    void EndOfTape();
    // The session is over.
    void Finish();

    // How far the file being read has been read: cheap, for every block.
    void SetPlace(uint64_t block) { m_place.store(block, std::memory_order_relaxed); }

    TapeMapSnapshot Snapshot() const;

private:
    void CloseFile(uint64_t blocks);
    static void Append(MapFile& file, uint64_t first, std::optional<uint64_t> count, MapState state);

    mutable std::mutex m_mutex;
    TapeMapSnapshot m_map;
    bool m_bInFile = false;
    uint64_t m_nAccounted = 0;     // blocks of the file being read that are in its runs
    std::atomic<uint64_t> m_place{0};
};

// The map file: JSON as docs/MAP.md describes it.
std::string MapJson(const TapeMapSnapshot& map);

// The map laid out as cells on a grid, for any toolkit to draw and for the SVG: a row per
// file (wrapping when a file needs more cells than a row has), each cell standing for
// blocksPerCell blocks and showing the worst state among them (bad, skipped, unread, good).
struct MapCell {
    int x = 0, y = 0;               // in cells
    MapState state = MapState::Good;
    int32_t file = 0;
    uint64_t firstBlock = 0;        // the blocks it stands for
    uint64_t lastBlock = 0;
    bool known = true;              // false: a run of unknown length, drawn as one cell
    bool place = false;             // the drive is here
};

struct MapRowLabel {
    int y = 0;                      // the row
    std::string text;               // "file 3", "files 4-9", "rest of tape"
};

struct MapLayout {
    int columns = 0;
    int rows = 0;
    uint64_t blocksPerCell = 1;
    std::vector<MapCell> cells;
    std::vector<MapRowLabel> labels;
};

// columns: cells per row; maxRows: the rows wanted at most (more blocks per cell until the
// files fit, but never less than a row per file).
MapLayout LayOutMap(const TapeMapSnapshot& map, int columns = 64, int maxRows = 200);

// The colour of a state, "#rrggbb", the same in the window and the picture.
const char* MapStateColour(MapState state);

// A picture of the map (SVG), with a legend and the counts.
std::string MapSvg(const TapeMapSnapshot& map, const MapLayout& layout);
