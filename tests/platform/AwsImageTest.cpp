// AWS and HET against the Hercules tools (Debian's hercules package): images hetupd and
// hetinit write, compressed with zlib or bzip2 and cut into small chunks, read record for
// record; images we write, decompressed by hetupd to exactly our AWS and mapped by hetmap and
// tapemap to the same files and blocks. Then records over many chunks, the way back, damage at
// known places, and inflating bounded by the largest block.
#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"
#include "platform/TapeDevice.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>

namespace {

using Files = std::vector<std::vector<std::string>>;

Files SomeFiles()
{
    std::mt19937 random(7);
    std::string noise(5000, '\0');
    for (char& c : noise)
        c = static_cast<char>(random());
    std::string text;
    while (text.size() < 36000)
        text += "hello tape ";
    return {{std::string(80, 'A'), noise, text, std::string(65535, 'Z')}, {"ten bytes!"}, {}};
}

std::vector<std::string> ReadAll(const std::string& path, ImageFormat format, std::vector<uint32_t>* errors = nullptr)
{
    VirtualDriveOptions options;
    options.format = format;
    uint32_t error = 0;
    TapeDevicePtr drive = OpenVirtualDrive(path, options, error);
    EXPECT_TRUE(drive) << error;
    std::vector<std::string> items;
    if (!drive)
        return items;
    std::string buffer(1 << 20, '\0');
    for (int i = 0; i < 100; ++i) {
        uint32_t bytes = 0;
        error = drive->Read(buffer.data(), static_cast<uint32_t>(buffer.size()), bytes);
        if (error == ERROR_FILEMARK_DETECTED)
            items.push_back("<tapemark>");
        else if (error == ERROR_SUCCESS)
            items.push_back(buffer.substr(0, bytes));
        else
            break;
    }
    if (errors)
        errors->push_back(error);
    return items;
}

std::vector<std::string> Expected(const Files& files)
{
    std::vector<std::string> items;
    for (const auto& file : files) {
        items.insert(items.end(), file.begin(), file.end());
        items.push_back("<tapemark>");
    }
    return items;
}

bool HaveHercules()
{
    return std::system("command -v hetupd >/dev/null 2>&1 && command -v hetmap >/dev/null 2>&1") == 0;
}

std::string Output(const std::string& command)
{
    std::string out;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

TEST(AwsImageTest, ImagesHetupdWritesReadRecordForRecord)
{
    if (!HaveHercules())
        GTEST_SKIP() << "the hercules tools (hetupd, hetmap) are not installed";
    TempDir dir;
    const Files files = SomeFiles();
    std::string error;
    ASSERT_TRUE(WriteImage(dir / "in.aws", ImageFormat::Aws, files, error)) << error;
    // zlib, bzip2, and zlib in chunks of 4096: compressed and plain records over several chunks.
    const std::vector<std::pair<std::string, std::string>> ways = {
        {"-z", "z.het"}, {"-b", "b.het"}, {"-c 4096 -z", "c.het"}, {"-c 4096 -d", "c.aws"}};
    for (const auto& [options, name] : ways) {
        SCOPED_TRACE(name);
        const std::string command = "hetupd " + options + " '" + (dir / "in.aws") + "' '" + (dir / name) + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const ImageFormat format = name.ends_with(".het") ? ImageFormat::Het : ImageFormat::Aws;
        uint32_t detectError = 0;
        EXPECT_EQ(DetectImageFileFormat(dir / name, detectError), format);
        std::vector<uint32_t> ends;
        EXPECT_TRUE(ReadAll(dir / name, format, &ends) == Expected(files));
        EXPECT_EQ(ends.back(), ERROR_NO_DATA_DETECTED);
    }
    // hetinit's labelled blank tape, zlib by default: VOL1 and HDR1 (EBCDIC), a tapemark.
    const std::string init = "hetinit '" + (dir / "init.het") + "' TST001 >/dev/null 2>&1";
    ASSERT_EQ(std::system(init.c_str()), 0);
    const auto labels = ReadAll(dir / "init.het", ImageFormat::Het);
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_EQ(labels[0].substr(0, 10), "\xE5\xD6\xD3\xF1\xE3\xE2\xE3\xF0\xF0\xF1");  // VOL1TST001
    EXPECT_EQ(labels[1].substr(0, 4), "\xC8\xC4\xD9\xF1");                            // HDR1
    EXPECT_EQ(labels[1].size(), 80u);
    EXPECT_EQ(labels[2], "<tapemark>");
}

TEST(AwsImageTest, ImagesWeWriteAreWhatHerculesReads)
{
    if (!HaveHercules())
        GTEST_SKIP() << "the hercules tools (hetupd, hetmap) are not installed";
    TempDir dir;
    const Files files = SomeFiles();
    std::string error;
    ASSERT_TRUE(WriteImage(dir / "ours.aws", ImageFormat::Aws, files, error)) << error;
    const std::string tapemap = Output("tapemap '" + (dir / "ours.aws") + "' 2>&1");
    EXPECT_NE(tapemap.find("File 1: Blocks=4, block size min=80, max=65535\nFile 2: Blocks=1, block size min=10, "
                           "max=10\nFile 3: Blocks=0"),
              std::string::npos)
        << tapemap;
    for (auto [compression, name] : {std::pair{ImageCompression::Zlib, "z.het"}, {ImageCompression::Bzip2, "b.het"}}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(WriteImage(dir / name, ImageFormat::Het, files, error, compression)) << error;
        const std::string back = dir / (std::string(name) + ".aws");
        const std::string command = "hetupd -d '" + (dir / name) + "' '" + back + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_TRUE(ReadWholeFile(back) == ReadWholeFile(dir / "ours.aws"));
        // hetmap: three files of 4, 1 and 0 blocks, every byte counted.
        const std::string map = Output("hetmap '" + (dir / name) + "' 2>&1");
        EXPECT_NE(map.find("Blocks              : 4\n"), std::string::npos) << map;
        size_t firstFile = 0;
        for (const std::string& record : files[0])
            firstFile += record.size();
        EXPECT_NE(map.find("Uncompressed bytes  : " + std::to_string(firstFile) + "\n"), std::string::npos) << map;
        EXPECT_NE(map.find("File #              : 3\nBlocks              : 0\n"), std::string::npos) << map;
    }
}

TEST(AwsImageTest, LongRecordsTakeManyChunksAndTheWayBackCrossesThem)
{
    TempDir dir;
    const std::string big(200000, 'L');
    std::string error;
    for (auto format : {ImageFormat::Aws, ImageFormat::Het}) {
        const std::string path = dir / (format == ImageFormat::Aws ? "l.aws" : "l.het");
        ASSERT_TRUE(WriteImage(path, format, {{"a", big}, {big}}, error, ImageCompression::None)) << error;
        uint32_t err = 0;
        VirtualDriveOptions options;
        options.format = format;
        TapeDevicePtr drive = OpenVirtualDrive(path, options, err);
        ASSERT_TRUE(drive);
        std::string buffer(1 << 20, '\0');
        uint32_t bytes = 0;
        ASSERT_EQ(drive->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 2, 0, false), ERROR_SUCCESS);
        EXPECT_EQ(drive->Read(buffer.data(), 1 << 20, bytes), ERROR_NO_DATA_DETECTED);
        // Back from the end of the file: a tapemark, then a record of four chunks, then
        // over it again and the tapemark before it.
        const auto back = [&](uint32_t n) {
            const uint64_t count = 0 - uint64_t{n};
            return drive->SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(count),
                                          static_cast<uint32_t>(count >> 32), false);
        };
        EXPECT_EQ(back(1), ERROR_FILEMARK_DETECTED);
        EXPECT_EQ(back(1), ERROR_SUCCESS);
        EXPECT_EQ(drive->Read(buffer.data(), 1 << 20, bytes), ERROR_SUCCESS);
        EXPECT_TRUE(buffer.substr(0, bytes) == big);
        EXPECT_EQ(back(2), ERROR_FILEMARK_DETECTED);
        EXPECT_EQ(back(1), ERROR_SUCCESS);
        EXPECT_EQ(drive->Read(buffer.data(), 1 << 20, bytes), ERROR_SUCCESS);
        EXPECT_TRUE(buffer.substr(0, bytes) == big);
    }
}

// A chunk cut short, a back link that does not match, compressed bytes that do not inflate:
// each an error at its place, nothing of it delivered, the same again on reading on.
TEST(AwsImageTest, DamageIsAnErrorAtItsChunk)
{
    TempDir dir;
    std::string error;
    const Files files = {{"first", std::string(3000, 'x')}};
    ASSERT_TRUE(WriteImage(dir / "z.het", ImageFormat::Het, files, error, ImageCompression::Zlib)) << error;
    const std::string image = ReadWholeFile(dir / "z.het");
    const size_t second = 6 + 5;  // "first" does not shrink: stored as it is
    struct Case {
        const char* name;
        std::string bytes;
        uint32_t error;
    };
    std::string link = image, inflate = image;
    link[second + 2] ^= 1;          // the second chunk's back link
    inflate[second + 6 + 4] ^= 0x55;  // inside the second record's compressed bytes
    const Case cases[] = {{"cut", image.substr(0, second + 20), ERROR_TAPE_IMAGE_TRUNCATED},
                          {"link", link, ERROR_TAPE_IMAGE_INCONSISTENT},
                          {"inflate", inflate, ERROR_TAPE_IMAGE_BAD_COMPRESSION}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(dir / "d.het", c.bytes);
        std::vector<uint32_t> ends;
        const auto items = ReadAll(dir / "d.het", ImageFormat::Het, &ends);
        EXPECT_EQ(items, std::vector<std::string>{"first"});
        EXPECT_EQ(ends.back(), c.error);
    }
}

std::string Chunk(const std::string& data, uint32_t previous, uint8_t flags, uint8_t flags2 = 0)
{
    const char header[6] = {static_cast<char>(data.size()), static_cast<char>(data.size() >> 8),
                            static_cast<char>(previous), static_cast<char>(previous >> 8),
                            static_cast<char>(flags), static_cast<char>(flags2)};
    return std::string(header, 6) + data;
}

// The reader on its own: where it says the damage is, and that it stays before it (reading on
// finds the same; the way back still works).
TEST(AwsImageTest, TheReaderNamesTheChunkWhereItGoesWrongAndStaysBeforeIt)
{
    TempDir dir;
    const std::string first = Chunk("first", 0, 0xA0);  // then a record of two chunks at 11
    const std::string head = first + Chunk("abc", 5, 0x80);
    struct Case {
        const char* name;
        std::string bytes;
        uint32_t error;
        uint64_t at;
    };
    const Case cases[] = {
        {"link", head + Chunk("de", 4, 0x20), ERROR_TAPE_IMAGE_INCONSISTENT, 20},
        {"begun twice", head + Chunk("de", 3, 0xA0), ERROR_TAPE_IMAGE_INCONSISTENT, 20},
        {"tapemark inside", head + Chunk("", 3, 0x40), ERROR_TAPE_IMAGE_INCONSISTENT, 20},
        {"cut", head + Chunk("de", 3, 0x20).substr(0, 7), ERROR_TAPE_IMAGE_TRUNCATED, 20},
        {"never ended", head, ERROR_TAPE_IMAGE_TRUNCATED, 20},
        {"unknown second flags", first + Chunk("abc", 5, 0xA0, 0x01), ERROR_TAPE_IMAGE_INCONSISTENT, 11},
        {"empty record", first + Chunk("", 5, 0xA0), ERROR_TAPE_IMAGE_INCONSISTENT, 11},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(dir / "d.aws", c.bytes);
        UniqueFd fd(::open((dir / "d.aws").c_str(), O_RDONLY | O_CLOEXEC));
        ImageReaderPtr reader = MakeAwsReader(fd.get(), c.bytes.size(), false);
        ImageReader::Item item = reader->Peek();
        char data[8] = {};
        ASSERT_EQ(item.kind, ImageReader::Kind::Record);
        ASSERT_EQ(reader->Take(item, data, item.length), ERROR_SUCCESS);
        EXPECT_EQ(std::string(data, item.length), "first");
        for (int again = 0; again < 2; ++again) {
            item = reader->Peek();
            EXPECT_EQ(item.kind, ImageReader::Kind::Damaged);
            EXPECT_EQ(item.error, c.error);
            EXPECT_EQ(item.offset, c.at);
            EXPECT_EQ(reader->Position(), 11u);
        }
        EXPECT_EQ(reader->StepBack(), ERROR_SUCCESS);
        EXPECT_EQ(reader->Position(), 0u);
    }
}

// Inflating stops at the largest block: a record of exactly that size reads, one byte more is
// damage (not a bigger buffer). Bus-Tech's zlib flag in the second flags byte inflates too.
TEST(AwsImageTest, CompressedRecordsInflateNoFurtherThanTheLargestBlock)
{
    TempDir dir;
    const auto zlibRecord = [](uint32_t length, uint32_t previous, uint8_t flags, uint8_t flags2) {
        const std::string data(length, 'q');
        std::string packed(::compressBound(length), '\0');
        uLongf size = packed.size();
        EXPECT_EQ(::compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
                              reinterpret_cast<const Bytef*>(data.data()), length, 9),
                  Z_OK);
        EXPECT_LE(size, 65535u);  // a few kilobytes: one chunk
        packed.resize(size);
        return std::pair{Chunk(packed, previous, flags, flags2), static_cast<uint32_t>(size)};
    };
    const auto [busTech, busTechSize] = zlibRecord(3000, 0, 0xA0, 0x80);
    const auto [largest, largestSize] = zlibRecord(kMaxTapeBlockSize, busTechSize, 0xA1, 0);
    const auto [bomb, bombSize] = zlibRecord(kMaxTapeBlockSize + 1, largestSize, 0xA1, 0);
    const std::string image = busTech + largest + bomb;
    WriteWholeFile(dir / "z.het", image);
    UniqueFd fd(::open((dir / "z.het").c_str(), O_RDONLY | O_CLOEXEC));
    ImageReaderPtr reader = MakeAwsReader(fd.get(), image.size(), true);
    std::string data(kMaxTapeBlockSize, '\0');
    for (uint32_t length : {3000u, kMaxTapeBlockSize}) {
        const ImageReader::Item item = reader->Peek();
        ASSERT_EQ(item.kind, ImageReader::Kind::Record);
        ASSERT_EQ(item.length, length);
        ASSERT_EQ(reader->Take(item, data.data(), length), ERROR_SUCCESS);
        EXPECT_TRUE(data.substr(0, length) == std::string(length, 'q'));
    }
    const ImageReader::Item item = reader->Peek();
    EXPECT_EQ(item.kind, ImageReader::Kind::Damaged);
    EXPECT_EQ(item.error, ERROR_TAPE_IMAGE_BAD_COMPRESSION);
    EXPECT_EQ(item.offset, busTech.size() + largest.size());
    EXPECT_EQ(reader->Position(), busTech.size() + largest.size());
}

} // namespace
