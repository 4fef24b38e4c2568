// The tape map: runs kept from the few calls a session makes, its file, and its layout.
#include "tape/TapeMap.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

namespace {

std::string Runs(const MapFile& file)
{
    std::string text;
    for (const MapRun& run : file.runs)
        text += std::string(text.empty() ? "" : " ") + MapStateName(run.state) + "@" + std::to_string(run.first) + "+" +
                (run.count ? std::to_string(*run.count) : "?");
    return text;
}

} // namespace

// A load that meets every way a file can go: whole, bad blocks passed over and the rest
// skipped, files outside the selection, a file stopped at a bad block, and the read past
// the last file that finds nothing.
TEST(TapeMap, KeepsEveryWayAFileCanGo)
{
    TapeMap map("demo.tap", "load");
    map.BeginFile(0);
    map.SetPlace(100);
    map.EndFile(100);
    map.BeginFile(1);
    map.Bad(5);
    map.Bad(6);
    map.Bad(8);
    map.RestSkipped(9);
    map.EndFile(9);
    map.FilesSpacedOver(2, 4);
    map.BeginFile(5);
    map.EndFile(7, MapEnd::OnBadBlock);  // a load that stops at a bad block has not noted it
    map.BeginFile(6);
    map.DropFile();
    map.EndOfTape();
    map.Finish();

    const TapeMapSnapshot s = map.Snapshot();
    ASSERT_EQ(s.files.size(), 4u);
    EXPECT_EQ(Runs(s.files[0]), "good@0+100");
    EXPECT_EQ(Runs(s.files[1]), "good@0+5 bad@5+2 good@7+1 bad@8+1 skipped@9+?");
    EXPECT_EQ(s.files[2].number, 2);
    EXPECT_EQ(s.files[2].last, 4);
    EXPECT_EQ(Runs(s.files[2]), "unread@0+?");
    EXPECT_EQ(Runs(s.files[3]), "good@0+7 bad@7+1 unread@8+?");
    EXPECT_EQ(s.Count(MapState::Good), 113u);
    EXPECT_EQ(s.Count(MapState::Bad), 4u);
    EXPECT_FALSE(s.running);
    EXPECT_EQ(s.placeFile, -1);

    const auto json = nlohmann::json::parse(MapJson(s));
    EXPECT_EQ(json["totals"]["bad"], 4);
    EXPECT_EQ(json["files"][1]["runs"][4]["state"], "skipped");
    EXPECT_TRUE(json["files"][1]["runs"][4]["count"].is_null());
    EXPECT_TRUE(json["place"].is_null());
}

// A capture notes the bad block that stops it before the file ends: it is not counted twice.
// While a file is read, its good run reaches the drive's place and the layout marks it.
TEST(TapeMap, CaptureStopAndRunningPlace)
{
    TapeMap map("/dev/nst0", "capture");
    map.BeginFile(0);
    map.Bad(3);
    map.EndFile(3, MapEnd::OnBadBlock);
    EXPECT_EQ(Runs(map.Snapshot().files[0]), "good@0+3 bad@3+1 unread@4+?");

    map.BeginFile(1);
    map.SetPlace(250);
    const TapeMapSnapshot s = map.Snapshot();
    EXPECT_TRUE(s.running);
    EXPECT_EQ(Runs(s.files[1]), "good@0+250");
    EXPECT_EQ(s.placeFile, 1);
    EXPECT_EQ(s.placeBlock, 250u);
    const MapLayout layout = LayOutMap(s, 16, 100);
    int placed = 0;
    for (const MapCell& cell : layout.cells)
        if (cell.place) {
            ++placed;
            EXPECT_EQ(cell.file, 1);
            EXPECT_LE(cell.firstBlock, 250u);
            EXPECT_GE(cell.lastBlock, 250u);
        }
    EXPECT_EQ(placed, 1);
    EXPECT_EQ(layout.labels.back().text, "rest of tape");  // the end has not been reached
}

// However many blocks a cell stands for, one bad block among millions shows, and the rows
// stay within the limit asked for.
TEST(TapeMap, LayoutNeverHidesABadBlock)
{
    TapeMap map("big.tap", "load");
    map.BeginFile(0);
    map.Bad(3'000'001);
    map.EndFile(10'000'000);
    map.BeginFile(1);
    map.EndFile(1);
    map.EndOfTape();
    map.Finish();
    const MapLayout layout = LayOutMap(map.Snapshot(), 64, 20);
    EXPECT_LE(layout.rows, 20);
    EXPECT_GT(layout.blocksPerCell, 1u);
    int bad = 0;
    uint64_t covered = 0;
    for (const MapCell& cell : layout.cells) {
        if (cell.state == MapState::Bad) {
            ++bad;
            EXPECT_LE(cell.firstBlock, 3'000'001u);
            EXPECT_GE(cell.lastBlock, 3'000'001u);
        }
        if (cell.file == 0)
            covered += cell.lastBlock - cell.firstBlock + 1;
    }
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(covered, 10'000'000u);  // every block in exactly one cell
    const std::string svg = MapSvg(map.Snapshot(), layout);
    EXPECT_NE(svg.find(MapStateColour(MapState::Bad)), std::string::npos);
    EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
}

// The job writes while the window reads.
TEST(TapeMap, ReadWhileWritten)
{
    TapeMap map("t", "load");
    std::thread writer([&] {
        for (int32_t f = 0; f < 200; ++f) {
            map.BeginFile(f);
            for (uint64_t b = 0; b < 50; ++b) {
                map.SetPlace(b);
                if (b % 17 == 3)
                    map.Bad(b);
            }
            map.EndFile(50);
        }
        map.Finish();
    });
    size_t seen = 0;
    while (seen < 200) {
        const TapeMapSnapshot s = map.Snapshot();
        EXPECT_GE(s.files.size(), seen);
        seen = s.files.size();
        LayOutMap(s);
        if (!s.running)
            break;
    }
    writer.join();
    EXPECT_EQ(map.Snapshot().Count(MapState::Bad), 200u * 3);
}
