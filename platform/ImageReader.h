// Reading a tape image record by record, one format per implementation. The virtual drive
// (platform/ImageDrive.cpp) turns these steps into the tape device's answers; `validate`
// walks an image with them. Every reader starts at the beginning of the image and moves
// only by these calls, so a reader whose format has no way back (TPC) can keep a map of
// what it has passed.
#pragma once
#include "platform/ImageFormat.h"

#include <cstdint>
#include <memory>

class ImageReader {
public:
    enum class Kind { Tapemark, EndOfData, Record, Damaged };

    // What stands at the position, gaps passed.
    struct Item {
        Kind kind = Kind::EndOfData;
        uint32_t length = 0;  // a record's data bytes (after decompression)
        bool bad = false;     // a record the format marks as unreadable on the tape
        uint32_t error = 0;   // Kind::Damaged: ERROR_TAPE_IMAGE_TRUNCATED, _INCONSISTENT, ...
        uint64_t offset = 0;  // where it starts in the image (Damaged: where the damage is)
        uint64_t size = 0;    // bytes it takes in the image (an end marker's own, 0 at the end of the file)
    };

    virtual ~ImageReader() = default;

    virtual ImageFormat Format() const = 0;

    // Back to the beginning of an image of imageSize bytes; everything read ahead or kept
    // is dropped (the file may have changed since).
    virtual void Load(uint64_t imageSize) = 0;
    // Back to the beginning; what is known of the image stays.
    virtual void Rewind() = 0;

    // What stands at the position. Passing gaps moves the position; nothing else does.
    // A record's whole shape is checked here or in Take before any of its data is given.
    virtual Item Peek() = 0;

    // Past the item Peek just gave. A record's first `deliver` bytes (deliver <= its
    // length) go to dest first. On failure (damage found only now) nothing moves, nothing
    // past what the record holds is written to dest, and the error is returned; Peek then
    // gives the damage. Tapemark: past it. EndOfData, Damaged: not to be called.
    virtual uint32_t Take(const Item& item, char* dest, uint32_t deliver) = 0;

    // Back over the item just before the position (gaps passed): ERROR_SUCCESS for a record
    // (before it), ERROR_FILEMARK_DETECTED for a tapemark (before it),
    // ERROR_BEGINNING_OF_MEDIA at the beginning, or damage (ERROR_TAPE_IMAGE_INCONSISTENT ...)
    // with nothing moved.
    virtual uint32_t StepBack() = 0;

    // The position as a byte offset into the image.
    virtual uint64_t Position() const = 0;
    // Erase gaps passed since Load (the formats that have them).
    virtual uint64_t GapsPassed() const { return 0; }
};

using ImageReaderPtr = std::unique_ptr<ImageReader>;

// A reader of the format over fd (not owned; it must stay open while the reader is used),
// at the beginning of an image of imageSize bytes.
ImageReaderPtr MakeImageReader(ImageFormat format, int fd, uint64_t imageSize);

// Each format's reader and shape check (DetectImageFormat asks each; true when the records
// in head fit the format, head being the first bytes of an image of imageSize bytes).
ImageReaderPtr MakeSimhReader(int fd, uint64_t imageSize, bool padOddRecords);
ImageReaderPtr MakeAwsReader(int fd, uint64_t imageSize, bool het);
ImageReaderPtr MakeTpcReader(int fd, uint64_t imageSize);
// SIMH, and E11 when !padOddRecords: E11 only where an odd-length record shows its layout
// (without one the two are the same bytes); sawOdd, when given, tells whether one did.
bool LooksLikeSimh(const unsigned char* head, size_t size, uint64_t imageSize, bool padOddRecords,
                   bool* sawOdd = nullptr);
bool LooksLikeAws(const unsigned char* head, size_t size, uint64_t imageSize, bool& compressed);
bool LooksLikeTpc(const unsigned char* head, size_t size, uint64_t imageSize);
