// Writing a tape image: one encoder per format turns records and marks into the format's
// bytes, handed to a sink (the capture's chunked image file, a test's buffer).
#pragma once
#include "platform/ImageFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class ImageSink {
public:
    virtual ~ImageSink() = default;
    // Appends the bytes; an error number on failure.
    virtual uint32_t Append(const void* data, size_t size) = 0;
};

// A sink that keeps everything in memory.
class MemoryImageSink final : public ImageSink {
public:
    uint32_t Append(const void* data, size_t size) override;
    std::vector<unsigned char> bytes;
};

class ImageEncoder {
public:
    virtual ~ImageEncoder() = default;
    virtual ImageFormat Format() const = 0;
    // One record of length bytes (1 to MaxImageRecord). bad: unreadable on the tape; marked
    // so where the format can (CanMarkBadRecords), else written as an ordinary record (the
    // caller says so where people will read it).
    virtual uint32_t Record(ImageSink& sink, const char* data, uint32_t length, bool bad) = 0;
    virtual uint32_t Tapemark(ImageSink& sink) = 0;
    // The end of the recorded data: SIMH's and E11's end-of-medium marker; nothing in the
    // formats whose end is the end of the file.
    virtual uint32_t EndOfMedium(ImageSink& sink) = 0;
};

using ImageEncoderPtr = std::unique_ptr<ImageEncoder>;

// An encoder for the format (compression only for HET; None elsewhere). Null for a format
// that cannot be written.
ImageEncoderPtr MakeImageEncoder(ImageFormat format, ImageCompression compression = ImageCompression::None);
ImageEncoderPtr MakeSimhEncoder(bool padOddRecords);
ImageEncoderPtr MakeAwsEncoder(bool het, ImageCompression compression);
ImageEncoderPtr MakeTpcEncoder();  // for tests: the format is read only for the user

// A whole image in one call, in any format an encoder exists for (the tests' fixtures): each
// entry of files is one tape file, its records followed by a tapemark; then the end of the
// data. False with error set on failure.
bool WriteImage(const std::string& path, ImageFormat format, const std::vector<std::vector<std::string>>& files,
                std::string& error, ImageCompression compression = ImageCompression::None);
