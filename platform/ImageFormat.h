// The tape image formats: their names, which of them can be written, and finding an image's
// format from its content.
//
//   simh  SIMH .tap: 32-bit little-endian length words before and after each record, odd
//         records padded to even; classes in the top four bits (8: bad data); markers for
//         tapemark (0), end of medium, erase gap and half gap.
//   e11   Ersatz-11: SIMH's layout without the pad byte after an odd-length record.
//   aws   AWSTAPE: a 6-byte header before each chunk (16-bit little-endian length of this
//         chunk, of the chunk before, flags 0x80 begins a record, 0x20 ends one, 0x40 a
//         tapemark); a record may take several chunks. No bad-record mark, no end marker.
//   het   Hercules emulated tape: AWS whose records may be compressed (flag 0x01 zlib,
//         0x02 bzip2), the compressed record split into chunks.
//   tpc   16-bit little-endian length before each record, none after, odd records padded,
//         length 0 a tapemark. Read only.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class ImageFormat { Simh, E11, Aws, Het, Tpc };

inline constexpr ImageFormat kImageFormats[] = {ImageFormat::Simh, ImageFormat::E11, ImageFormat::Aws,
                                                ImageFormat::Het, ImageFormat::Tpc};

// Compression of a HET image's records as written (reading takes whatever each record says).
enum class ImageCompression { None, Zlib, Bzip2 };

// "simh", "e11", "aws", "het", "tpc": the name options take and reports give.
std::string_view ImageFormatName(ImageFormat format);
// The name as people write it in lists: "SIMH", "E11", "AWS", "HET", "TPC".
std::string_view ImageFormatTitle(ImageFormat format);
// A format by its name, any case; nothing for an unknown name.
std::optional<ImageFormat> ImageFormatFromName(std::string_view name);
// "simh, e11, aws, het, tpc" (or only the writable ones), for messages.
std::string ImageFormatNames(bool writableOnly);

bool CanWriteImageFormat(ImageFormat format);
// Whether a record can be marked bad (unreadable on the tape) in the format.
bool CanMarkBadRecords(ImageFormat format);
// The longest record the format can hold.
uint32_t MaxImageRecord(ImageFormat format);

std::string_view ImageCompressionName(ImageCompression compression);
std::optional<ImageCompression> ImageCompressionFromName(std::string_view name);

// The format an extension usually means (".tap" simh, ".e11" e11, ".aws" aws, ".het" het,
// ".tpc" tpc, any case), nothing otherwise. Only ever a hint.
std::optional<ImageFormat> ImageFormatFromExtension(std::string_view path);

// The format of an image from its first bytes (head, of an image of imageSize bytes in all):
// each format's shape is checked over the records the head holds. Where more than one fits
// (an image of even-length records is SIMH and E11 alike; a blank image is anything), the
// extension of path decides, then the order simh, aws, het, e11, tpc. When none fits (an image
// damaged in its first records) the extension's format, so that reading it says where it
// goes wrong; nothing without one.
std::optional<ImageFormat> DetectImageFormat(const unsigned char* head, size_t size, uint64_t imageSize,
                                             std::string_view path);
// How many bytes of an image's beginning DetectImageFormat wants to see.
inline constexpr size_t kImageDetectBytes = 256 * 1024;

// The format of the image file at path, read from its beginning; error set when it cannot be
// read or no format fits (ERROR_TAPE_IMAGE_UNKNOWN_FORMAT).
std::optional<ImageFormat> DetectImageFileFormat(const std::string& path, uint32_t& error);
