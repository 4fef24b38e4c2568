// Finding an image's format from its content: each format's own images are found as that
// format whatever they are named, the name decides only between formats that fit alike, and
// an image damaged at its start is read in the format of its name, so the damage is shown
// where it is.
#include "platform/Errors.h"
#include "platform/ImageDrive.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageFormat.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Record(size_t size, char fill)
{
    return std::string(size, fill);
}

std::vector<unsigned char> Image(ImageFormat format, const std::vector<std::vector<std::string>>& files,
                                 ImageCompression compression = ImageCompression::None)
{
    ImageEncoderPtr encoder = format == ImageFormat::Tpc ? MakeTpcEncoder() : MakeImageEncoder(format, compression);
    EXPECT_TRUE(encoder);
    MemoryImageSink sink;
    if (!encoder)
        return {};
    for (const auto& file : files) {
        for (const std::string& record : file)
            EXPECT_EQ(encoder->Record(sink, record.data(), static_cast<uint32_t>(record.size()), false), 0u);
        EXPECT_EQ(encoder->Tapemark(sink), 0u);
    }
    EXPECT_EQ(encoder->EndOfMedium(sink), 0u);
    return sink.bytes;
}

std::optional<ImageFormat> Detect(const std::vector<unsigned char>& image, const std::string& name)
{
    return DetectImageFormat(image.data(), image.size(), image.size(), name);
}

// Tapes as people have them: labels of 80 bytes, blocks of common sizes, an odd one, an
// empty file, a record longer than the detector's look.
const std::vector<std::vector<std::vector<std::string>>> kTapes = {
    {{Record(80, 'V'), Record(80, 'H'), Record(80, 'H')}, {Record(512, 'a'), Record(512, 'b')}, {Record(80, 'E')}},
    {{Record(10240, 'x'), Record(10240, 'y'), Record(777, 'z')}, {}, {Record(32768, 'q')}},
    {{Record(65535, 'w'), Record(1, 'o')}},
};

TEST(ImageFormatTest, EachFormatsOwnImagesAreFoundAsItWhateverTheirName)
{
    for (const auto& tape : kTapes) {
        for (ImageFormat format : {ImageFormat::Simh, ImageFormat::Aws, ImageFormat::Tpc}) {
            const auto image = Image(format, tape);
            for (const char* name : {"tape", "tape.tap", "tape.aws", "tape.tpc"})
                EXPECT_EQ(Detect(image, name), format) << ImageFormatName(format) << " named " << name;
        }
        // HET with compressed records is HET by any name.
        const auto het = Image(ImageFormat::Het, tape, ImageCompression::Zlib);
        EXPECT_EQ(Detect(het, "tape.aws"), ImageFormat::Het);
        EXPECT_EQ(Detect(het, "tape"), ImageFormat::Het);
    }
}

TEST(ImageFormatTest, TheNameDecidesOnlyBetweenFormatsThatFitAlike)
{
    // Even-length records only: SIMH and E11 are the same bytes.
    const auto even = Image(ImageFormat::Simh, {{Record(80, 'a'), Record(512, 'b')}});
    EXPECT_EQ(Detect(even, "tape"), ImageFormat::Simh);
    EXPECT_EQ(Detect(even, "tape.e11"), ImageFormat::E11);
    // An odd-length record shows E11 for what it is, whatever the name says.
    const auto odd = Image(ImageFormat::E11, {{Record(81, 'a'), Record(512, 'b')}});
    EXPECT_EQ(Detect(odd, "tape.tap"), ImageFormat::E11);
    EXPECT_EQ(Detect(Image(ImageFormat::Simh, {{Record(81, 'a')}}), "tape.e11"), ImageFormat::Simh);
    // A blank image is any format: the name's, else SIMH.
    EXPECT_EQ(Detect({}, "blank.aws"), ImageFormat::Aws);
    EXPECT_EQ(Detect({}, "blank"), ImageFormat::Simh);
}

TEST(ImageFormatTest, ImageDamagedAtItsStartIsReadAsItsNameSaysOrRefused)
{
    auto image = Image(ImageFormat::Simh, {{Record(80, 'a'), Record(80, 'b')}});
    image[4 + 80] ^= 0x40;  // the first record's trailing length
    EXPECT_EQ(Detect(image, "tape.tap"), ImageFormat::Simh);
    EXPECT_EQ(Detect(image, "tape"), std::nullopt);

    TempDir dir;
    WriteWholeFile(dir / "tape.tap", std::string(image.begin(), image.end()));
    WriteWholeFile(dir / "tape", std::string(image.begin(), image.end()));
    uint32_t error = 0;
    TapeDevicePtr drive = OpenVirtualDrive(dir / "tape.tap", {}, error);
    ASSERT_TRUE(drive);
    char buffer[128];
    uint32_t bytes = 0;
    EXPECT_EQ(drive->Read(buffer, sizeof buffer, bytes), ERROR_TAPE_IMAGE_INCONSISTENT);
    EXPECT_FALSE(OpenVirtualDrive(dir / "tape", {}, error));
    EXPECT_EQ(error, ERROR_TAPE_IMAGE_UNKNOWN_FORMAT);
    // Told the format, it opens and shows the damage.
    VirtualDriveOptions simh;
    simh.format = ImageFormat::Simh;
    drive = OpenVirtualDrive(dir / "tape", simh, error);
    ASSERT_TRUE(drive);
    EXPECT_EQ(drive->Read(buffer, sizeof buffer, bytes), ERROR_TAPE_IMAGE_INCONSISTENT);
}

TEST(ImageFormatTest, NamesAndOptionsRoundTrip)
{
    for (ImageFormat format : kImageFormats) {
        EXPECT_EQ(ImageFormatFromName(ImageFormatName(format)), format);
        EXPECT_EQ(ImageFormatFromName(ImageFormatTitle(format)), format);  // any case
    }
    EXPECT_EQ(ImageFormatFromName("vhs"), std::nullopt);
    EXPECT_FALSE(CanWriteImageFormat(ImageFormat::Tpc));
    EXPECT_EQ(ImageFormatNames(true), "simh, e11, aws, het");
    EXPECT_EQ(ImageFormatFromExtension("/a.b/tape"), std::nullopt);
    EXPECT_EQ(ImageFormatFromExtension("/x/T.HET"), ImageFormat::Het);
}

} // namespace
