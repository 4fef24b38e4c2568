// TPC images built by hand from the format's description (no other program writes them):
// odd records with their pad byte, tapemarks, the last record without its pad, stepping back
// from the end, and damage at a known place.
#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/ImageDrive.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"
#include "tests/common/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>

namespace {

std::string Length(uint32_t n)
{
    return std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)};
}

// A TPC record as the format describes it: length word, data, a pad byte after odd data.
std::string Tpc(const std::string& data)
{
    return Length(static_cast<uint32_t>(data.size())) + data + (data.size() & 1 ? std::string(1, '\0') : "");
}

TapeDevicePtr Open(const std::string& path)
{
    VirtualDriveOptions tpc;
    tpc.format = ImageFormat::Tpc;
    uint32_t error = 0;
    TapeDevicePtr drive = OpenVirtualDrive(path, tpc, error);
    EXPECT_EQ(error, ERROR_SUCCESS);
    return drive;
}

uint32_t Read(TapeDevice& drive, std::string& data)
{
    data.assign(70000, '\0');
    uint32_t bytes = 0;
    const uint32_t error = drive.Read(data.data(), static_cast<uint32_t>(data.size()), bytes);
    data.resize(bytes);
    return error;
}

uint32_t Space(TapeDevice& drive, int64_t n)
{
    const auto raw = static_cast<uint64_t>(n);
    return drive.SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(raw),
                                 static_cast<uint32_t>(raw >> 32), false);
}

TEST(TpcImageTest, RecordsMarksAndTheWayBack)
{
    TempDir dir;
    const std::string big(65535, 'B');
    WriteWholeFile(dir / "t.tpc", Length(3) + "abc" + '\0' + Length(2) + "de" + Length(0) + Length(65535) + big +
                                      '\0' + Length(0) + Length(5) + "fghij");  // no pad at the very end
    TapeDevicePtr drive = Open(dir / "t.tpc");
    ASSERT_TRUE(drive);
    std::string data;
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "abc");
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "de");
    EXPECT_EQ(Read(*drive, data), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_TRUE(data == big);
    EXPECT_EQ(Read(*drive, data), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "fghij");
    EXPECT_EQ(Read(*drive, data), ERROR_NO_DATA_DETECTED);
    // Back from the end: over the last record, then stopped by the tapemark before it.
    EXPECT_EQ(Space(*drive, -5), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Read(*drive, data), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Space(*drive, -2), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Space(*drive, -1), ERROR_SUCCESS);  // over the long record
    EXPECT_EQ(Space(*drive, -1), ERROR_FILEMARK_DETECTED);
    EXPECT_EQ(Space(*drive, -1), ERROR_SUCCESS);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "de");
    EXPECT_EQ(Space(*drive, -9), ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
    EXPECT_EQ(data, "abc");
}

TEST(TpcImageTest, DamageIsAnErrorWhereItIsAndStays)
{
    TempDir dir;
    // A record claims 40 bytes and the file ends 12 bytes in; then a lone length byte.
    WriteWholeFile(dir / "cut.tpc", Length(4) + "abcd" + Length(40) + std::string(12, 'x'));
    WriteWholeFile(dir / "odd.tpc", Length(4) + "abcd" + std::string(1, '\x07'));
    for (const char* name : {"cut.tpc", "odd.tpc"}) {
        TapeDevicePtr drive = Open(dir / name);
        ASSERT_TRUE(drive);
        std::string data;
        EXPECT_EQ(Read(*drive, data), ERROR_SUCCESS);
        EXPECT_EQ(Read(*drive, data), ERROR_TAPE_IMAGE_TRUNCATED) << name;
        EXPECT_EQ(Read(*drive, data), ERROR_TAPE_IMAGE_TRUNCATED) << name;  // not data from past it
        TAPE_GET_MEDIA_PARAMETERS media;
        ASSERT_EQ(drive->GetMediaParameters(media), ERROR_SUCCESS);
        EXPECT_EQ(media.Capacity - media.Remaining, 6) << name;  // before the damage
    }
}

// The reader keeps what it passed as runs of one length: a run longer than its counter,
// a tapemark between runs and a last record without its pad must all lead back to the
// byte each item starts at.
TEST(TpcImageTest, StepsBackToTheStartOfEveryItemPassed)
{
    TempDir dir;
    std::string image;
    for (int i = 0; i < 65539; ++i)
        image += Tpc("r");
    image += Length(0) + Tpc("ab") + Tpc("cd") + Length(3) + "xyz";
    WriteWholeFile(dir / "runs.tpc", image);
    UniqueFd fd(::open((dir / "runs.tpc").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    ImageReaderPtr reader = MakeTpcReader(fd.get(), image.size());
    std::vector<ImageReader::Item> passed;
    for (;;) {
        const ImageReader::Item item = reader->Peek();
        ASSERT_NE(item.kind, ImageReader::Kind::Damaged) << item.offset;
        if (item.kind == ImageReader::Kind::EndOfData)
            break;
        ASSERT_EQ(reader->Take(item, nullptr, 0), ERROR_SUCCESS);
        passed.push_back(item);
    }
    ASSERT_EQ(passed.size(), 65539u + 4);
    EXPECT_EQ(reader->Position(), image.size());
    while (!passed.empty()) {
        const ImageReader::Item want = passed.back();
        passed.pop_back();
        const bool tapemark = want.kind == ImageReader::Kind::Tapemark;
        ASSERT_EQ(reader->StepBack(), tapemark ? ERROR_FILEMARK_DETECTED : ERROR_SUCCESS) << want.offset;
        ASSERT_EQ(reader->Position(), want.offset);
        const ImageReader::Item again = reader->Peek();
        ASSERT_EQ(again.kind, want.kind);
        ASSERT_EQ(again.length, want.length);
        ASSERT_EQ(again.size, want.size);
    }
    EXPECT_EQ(reader->StepBack(), ERROR_BEGINNING_OF_MEDIA);
    EXPECT_EQ(reader->Position(), 0u);
}

// TPC's shape is weak (most byte strings chain as 16-bit lengths somehow), so the check must
// not claim the images of the other formats, zero-filled records included, while taking
// TPC images of the same records.
TEST(TpcImageTest, ShapeCheckTakesTpcButNotSimhE11OrAws)
{
    const auto encoded = [](ImageEncoderPtr encoder, const std::vector<std::vector<std::string>>& files) {
        MemoryImageSink sink;
        for (const auto& file : files) {
            for (const std::string& record : file)
                EXPECT_EQ(encoder->Record(sink, record.data(), static_cast<uint32_t>(record.size()), false), 0u);
            EXPECT_EQ(encoder->Tapemark(sink), 0u);
        }
        EXPECT_EQ(encoder->Tapemark(sink), 0u);
        EXPECT_EQ(encoder->EndOfMedium(sink), 0u);
        return std::string(sink.bytes.begin(), sink.bytes.end());
    };
    const auto looks = [](const std::string& image) {
        const auto* head = reinterpret_cast<const unsigned char*>(image.data());
        return LooksLikeTpc(head, std::min(image.size(), kImageDetectBytes), image.size());
    };
    for (uint32_t size : {80u, 512u, 10240u, 32768u}) {
        for (char fill : {'\0', 'x', '\x40'}) {
            // Small tapes the head holds whole, and long ones it sees only the start of.
            for (size_t count : {size_t{3}, size_t{400000 / size + 1}}) {
                SCOPED_TRACE(std::to_string(size) + " x " + std::to_string(count) + " of " + std::to_string(fill));
                // Labels, then files of blocks: a long image shows a tapemark early on.
                std::vector<std::vector<std::string>> files(3, std::vector<std::string>(count, std::string(size, fill)));
                files[0].assign(3, std::string(80, fill));
                files[1].insert(files[1].begin(), std::string(size + 1, fill));  // an odd one too
                EXPECT_FALSE(looks(encoded(MakeSimhEncoder(true), files))) << "SIMH";
                EXPECT_FALSE(looks(encoded(MakeSimhEncoder(false), files))) << "E11";
                EXPECT_FALSE(looks(encoded(MakeAwsEncoder(false, ImageCompression::None), files))) << "AWS";
                std::string tpc;
                for (const auto& file : files) {
                    for (const std::string& record : file)
                        tpc += Tpc(record);
                    tpc += Length(0);
                }
                EXPECT_TRUE(looks(tpc)) << "TPC";
                tpc.pop_back();
                EXPECT_EQ(looks(tpc), tpc.size() > kImageDetectBytes) << "TPC cut short";
            }
        }
    }
    EXPECT_TRUE(looks(Length(0) + Length(0)));  // a blank tape's two tapemarks
    EXPECT_TRUE(looks(Tpc("abc").substr(0, 5)));  // the last record's pad left off
    EXPECT_FALSE(looks(""));
    // A long file of text chains as lengths without ever meeting a tapemark.
    std::string text;
    while (text.size() < 2 * kImageDetectBytes)
        text += "The quick brown fox jumps over the lazy dog. ";
    EXPECT_FALSE(looks(text));
}

} // namespace
