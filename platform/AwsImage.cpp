// AWS and HET images. Every chunk has a 6-byte header: its data length and the length of the
// chunk before it (16-bit little-endian; 0 before the first), then flags (0x80 begins a
// record, 0x20 ends one, 0x40 a tapemark; HET adds 0x01 zlib and 0x02 bzip2) and a second
// flags byte. A record is one chunk or several; a compressed record is compressed whole and
// then cut into chunks, each carrying the compression bits (as Hercules' hetupd writes it).
// There is no end marker: the end of the file ends the data; nor a bad-record mark. Bus-Tech
// writes zlib records with 0x80 in the second flags byte instead (Hercules reads those too);
// any other bit there is unknown, and so damage: a record read as plain bytes that are
// really compressed would be wrong data delivered as good.
//
// A record of no data bytes (a lone chunk of length 0 that is not a tapemark; Hercules'
// hetmap counts it as a block) is damage here: no drive delivers an empty block, and
// passing over it silently would change the count of blocks of the copy.
//
// The reader checks each chunk against the one before (its back link), the flags (no record
// begun inside another, none left unended, no tapemark inside one) and that the data are in
// the file, and reports what it finds wrong at the chunk where it goes wrong. Back links lead
// backwards. A compressed record is inflated once, when it is first looked at, and kept until
// the reader moves on; what inflates past the largest block a drive reads is damage too.
#include "platform/Errors.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"
#include "platform/ImageWindow.h"
#include "platform/TapeDevice.h"

#include <bzlib.h>
#include <zlib.h>

#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t kBeginRecord = 0x80;
constexpr uint8_t kTapemark = 0x40;
constexpr uint8_t kEndRecord = 0x20;
constexpr uint8_t kZlib = 0x01;
constexpr uint8_t kBzip2 = 0x02;
constexpr uint8_t kCompression = kZlib | kBzip2;
constexpr uint8_t kUnknownFlags = 0x1C;
constexpr uint8_t kBusTechZlib = 0x80;  // in the second flags byte
constexpr uint32_t kMaxChunk = 0xFFFF;
// The most compressed bytes one record may take: a record that does not shrink is stored as
// it is, so anything much past the largest block is not a record.
constexpr uint64_t kMaxStored = uint64_t{kMaxTapeBlockSize} + 65536;

struct Header {
    uint32_t length = 0;
    uint32_t previous = 0;
    uint8_t flags = 0;
    uint8_t flags2 = 0;
};

Header Decode(const unsigned char* p)
{
    return Header{uint32_t{p[0]} | uint32_t{p[1]} << 8, uint32_t{p[2]} | uint32_t{p[3]} << 8, p[4], p[5]};
}

// Inflates a whole compressed record into out (at most kMaxTapeBlockSize bytes).
uint32_t Inflate(uint8_t method, const std::vector<unsigned char>& in, std::vector<unsigned char>& out,
                 uint32_t& length)
{
    out.resize(kMaxTapeBlockSize);
    if (method == kZlib) {
        uLongf size = static_cast<uLongf>(out.size());
        if (::uncompress(out.data(), &size, in.data(), static_cast<uLong>(in.size())) != Z_OK)
            return ERROR_TAPE_IMAGE_BAD_COMPRESSION;
        length = static_cast<uint32_t>(size);
    } else if (method == kBzip2) {
        unsigned int size = static_cast<unsigned int>(out.size());
        if (::BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &size,
                                         const_cast<char*>(reinterpret_cast<const char*>(in.data())),
                                         static_cast<unsigned int>(in.size()), 0, 0) != BZ_OK)
            return ERROR_TAPE_IMAGE_BAD_COMPRESSION;
        length = size;
    } else {
        return ERROR_TAPE_IMAGE_INCONSISTENT;  // both bits: no such method
    }
    return length == 0 ? ERROR_TAPE_IMAGE_BAD_COMPRESSION : ERROR_SUCCESS;
}

class AwsReader final : public ImageReader {
public:
    AwsReader(int fd, uint64_t imageSize, bool het) : m_window(fd), m_nImageSize(imageSize), m_bHet(het) {}

    ImageFormat Format() const override { return m_bHet ? ImageFormat::Het : ImageFormat::Aws; }

    void Load(uint64_t imageSize) override
    {
        m_nImageSize = imageSize;
        m_window.Drop();
        m_behind.clear();
        Rewind();
        m_nCachedAt = kNone;
    }

    void Rewind() override
    {
        m_nPos = 0;
        m_nPrevious = 0;
    }

    uint64_t Position() const override { return m_nPos; }

    Item Peek() override
    {
        Item item;
        item.offset = m_nPos;
        if (m_nPos >= m_nImageSize)
            return item;
        Header first;
        if (uint32_t err = ReadHeader(m_nPos, first))
            return Damage(item, m_nPos, err);
        if (first.previous != m_nPrevious || (first.flags & kUnknownFlags) || (first.flags2 & ~kBusTechZlib) ||
            ((first.flags & kCompression) && first.flags2))
            return Damage(item, m_nPos, ERROR_TAPE_IMAGE_INCONSISTENT);
        if (first.flags & kTapemark) {
            if (first.length != 0 || first.flags2 || (first.flags & (kBeginRecord | kEndRecord | kCompression)))
                return Damage(item, m_nPos, ERROR_TAPE_IMAGE_INCONSISTENT);
            item.kind = Kind::Tapemark;
            item.size = 6;
            return item;
        }
        if (!(first.flags & kBeginRecord))
            return Damage(item, m_nPos, ERROR_TAPE_IMAGE_INCONSISTENT);
        // The record's chunks, to the one that ends it.
        m_chunks.clear();
        uint64_t at = m_nPos;
        Header chunk = first;
        uint64_t stored = 0;
        for (;;) {
            if (at + 6 + chunk.length > m_nImageSize)
                return Damage(item, at, ERROR_TAPE_IMAGE_TRUNCATED);
            m_chunks.push_back({at + 6, chunk.length});
            stored += chunk.length;
            if (stored > kMaxStored)
                return Damage(item, at, ERROR_TAPE_IMAGE_INCONSISTENT);
            const uint64_t next = at + 6 + chunk.length;
            if (chunk.flags & kEndRecord) {
                item.size = next - m_nPos;
                m_nLastChunk = chunk.length;
                break;
            }
            Header following;
            if (next >= m_nImageSize)
                return Damage(item, next, ERROR_TAPE_IMAGE_TRUNCATED);  // a record never ended
            if (uint32_t err = ReadHeader(next, following))
                return Damage(item, next, err);
            if (following.previous != chunk.length || (following.flags & (kBeginRecord | kTapemark | kUnknownFlags)) ||
                (following.flags & kCompression) != (first.flags & kCompression) || following.flags2 != first.flags2)
                return Damage(item, next, ERROR_TAPE_IMAGE_INCONSISTENT);
            at = next;
            chunk = following;
        }
        item.kind = Kind::Record;
        m_nCompression = first.flags2 ? kZlib : first.flags & kCompression;
        if (m_nCompression) {
            if (uint32_t err = InflateRecord(item.offset, stored))
                return Damage(item, item.offset, err);
            item.length = m_nCachedLength;
        } else {
            if (stored == 0 || stored > kMaxTapeBlockSize)  // nothing a drive could have read
                return Damage(item, item.offset, ERROR_TAPE_IMAGE_INCONSISTENT);
            item.length = static_cast<uint32_t>(stored);
        }
        m_nPeeked = item.offset;
        return item;
    }

    uint32_t Take(const Item& item, char* dest, uint32_t deliver) override
    {
        if (item.kind == Kind::Tapemark) {
            m_nPos = item.offset + 6;
            m_nPrevious = 0;
            return ERROR_SUCCESS;
        }
        if (m_nPeeked != item.offset)
            return ERROR_TAPE_IMAGE_INCONSISTENT;  // not what Peek just gave
        if (deliver > 0) {
            if (m_nCompression) {
                std::memcpy(dest, m_inflated.data(), deliver);
            } else {
                uint32_t done = 0;
                for (const auto& [from, length] : m_chunks) {
                    if (done >= deliver)
                        break;
                    const uint32_t n = std::min(length, deliver - done);
                    if (uint32_t err = m_window.Read(from, dest + done, n, m_nImageSize))
                        return err;
                    done += n;
                }
            }
        }
        m_nPos = item.offset + item.size;
        m_nPrevious = m_nLastChunk;
        return ERROR_SUCCESS;
    }

    uint32_t StepBack() override
    {
        if (m_nPos == 0)
            return ERROR_BEGINNING_OF_MEDIA;
        uint64_t end = m_nPos;
        uint32_t length = m_nPrevious;
        bool last = true;  // the chunk just before the position
        for (;;) {
            if (end < 6 + uint64_t{length})
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            const uint64_t start = end - 6 - length;
            Header chunk;
            if (uint32_t err = ReadHeaderBehind(start, chunk))
                return err;
            if (chunk.length != length || (chunk.flags & kUnknownFlags))
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (chunk.flags & kTapemark) {
                if (!last)
                    return ERROR_TAPE_IMAGE_INCONSISTENT;
                return Land(start, chunk, ERROR_FILEMARK_DETECTED);
            }
            if (last && !(chunk.flags & kEndRecord))
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (!last && (chunk.flags & kEndRecord))
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (chunk.flags & kBeginRecord)
                return Land(start, chunk, ERROR_SUCCESS);
            end = start;
            length = chunk.previous;
            last = false;
        }
    }

private:
    static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

    Item Damage(Item item, uint64_t where, uint32_t error)
    {
        item.kind = Kind::Damaged;
        item.offset = where;
        item.error = error;
        return item;
    }

    uint32_t ReadHeader(uint64_t at, Header& header)
    {
        if (m_nImageSize - at < 6)
            return ERROR_TAPE_IMAGE_TRUNCATED;
        unsigned char bytes[6];
        if (uint32_t err = m_window.Read(at, bytes, 6, m_nImageSize))
            return err;
        header = Decode(bytes);
        return ERROR_SUCCESS;
    }

    // Headers met going backwards come out of a stretch read backwards from where the step
    // starts: the window reads forwards from where it is asked, and would fetch a fresh
    // stretch for every small record stepped over.
    uint32_t ReadHeaderBehind(uint64_t at, Header& header)
    {
        if (at < m_nBehindAt || at + 6 > m_nBehindAt + m_behind.size()) {
            constexpr uint64_t kSpan = 256 * 1024;
            const uint64_t end = at + 6;  // within the image: before the position
            m_nBehindAt = end > kSpan ? end - kSpan : 0;
            m_behind.resize(end - m_nBehindAt);
            if (uint32_t err = m_window.Read(m_nBehindAt, m_behind.data(), m_behind.size(), m_nImageSize)) {
                m_behind.clear();
                return err;
            }
        }
        header = Decode(m_behind.data() + (at - m_nBehindAt));
        return ERROR_SUCCESS;
    }

    uint32_t Land(uint64_t start, const Header& chunk, uint32_t result)
    {
        m_nPos = start;
        m_nPrevious = chunk.previous;
        return result;
    }

    uint32_t InflateRecord(uint64_t offset, uint64_t stored)
    {
        if (m_nCachedAt == offset)
            return ERROR_SUCCESS;
        m_nCachedAt = kNone;
        m_compressed.resize(stored);
        uint64_t done = 0;
        for (const auto& [from, length] : m_chunks) {
            if (uint32_t err = m_window.Read(from, m_compressed.data() + done, length, m_nImageSize))
                return err;
            done += length;
        }
        uint32_t length = 0;
        if (uint32_t err = Inflate(m_nCompression, m_compressed, m_inflated, length))
            return err;
        m_nCachedAt = offset;
        m_nCachedLength = length;
        return ERROR_SUCCESS;
    }

    ImageWindow m_window;
    uint64_t m_nImageSize;
    const bool m_bHet;
    uint64_t m_nPos = 0;
    uint32_t m_nPrevious = 0;  // the length of the chunk just before the position
    // What the last Peek found of a record.
    uint64_t m_nPeeked = kNone;
    std::vector<std::pair<uint64_t, uint32_t>> m_chunks;  // its chunks' data: where, how long
    uint32_t m_nLastChunk = 0;
    uint8_t m_nCompression = 0;
    // The last record inflated.
    uint64_t m_nCachedAt = kNone;
    uint32_t m_nCachedLength = 0;
    std::vector<unsigned char> m_compressed;
    std::vector<unsigned char> m_inflated;
    // What ReadHeaderBehind last read: the image's bytes from m_nBehindAt.
    uint64_t m_nBehindAt = 0;
    std::vector<unsigned char> m_behind;
};

// Chunks of up to 65535 bytes, as Hercules' hetupd writes by default. A record longer than
// that takes several chunks, which the format allows; Hercules 3.13's tools refuse records over
// 65535 bytes (SDL Hyperion's, over 2 MiB), so such an image is ours to read, not theirs.
class AwsEncoder final : public ImageEncoder {
public:
    AwsEncoder(bool het, ImageCompression compression)
        : m_bHet(het), m_compression(het ? compression : ImageCompression::None) {}

    ImageFormat Format() const override { return m_bHet ? ImageFormat::Het : ImageFormat::Aws; }

    uint32_t Record(ImageSink& sink, const char* data, uint32_t length, bool) override
    {
        if (length == 0 || length > kMaxTapeBlockSize)
            return ERROR_INVALID_BLOCK_LENGTH;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data);
        uint64_t size = length;
        uint8_t method = 0;
        if (m_compression != ImageCompression::None && Compress(bytes, length)) {
            // Stored compressed only when that is smaller, as Hercules does.
            bytes = m_buffer.data();
            size = m_nCompressed;
            method = m_compression == ImageCompression::Zlib ? kZlib : kBzip2;
        }
        uint64_t done = 0;
        do {
            const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(kMaxChunk, size - done));
            uint8_t flags = method;
            if (done == 0)
                flags |= kBeginRecord;
            if (done + chunk == size)
                flags |= kEndRecord;
            if (uint32_t err = PutHeader(sink, chunk, flags))
                return err;
            if (uint32_t err = sink.Append(bytes + done, chunk))
                return err;
            done += chunk;
        } while (done < size);
        return ERROR_SUCCESS;
    }

    uint32_t Tapemark(ImageSink& sink) override { return PutHeader(sink, 0, kTapemark); }
    uint32_t EndOfMedium(ImageSink&) override { return ERROR_SUCCESS; }

private:
    uint32_t PutHeader(ImageSink& sink, uint32_t length, uint8_t flags)
    {
        const unsigned char header[6] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8),
                                         static_cast<unsigned char>(m_nPrevious),
                                         static_cast<unsigned char>(m_nPrevious >> 8), flags, 0};
        m_nPrevious = length;
        return sink.Append(header, sizeof header);
    }

    // Compresses into m_buffer; true when the result is smaller than the record.
    bool Compress(const unsigned char* data, uint32_t length)
    {
        if (m_compression == ImageCompression::Zlib) {
            uLongf size = ::compressBound(length);
            m_buffer.resize(size);
            if (::compress2(m_buffer.data(), &size, data, length, Z_DEFAULT_COMPRESSION) != Z_OK)
                return false;
            m_nCompressed = size;
        } else {
            unsigned int size = length + length / 100 + 600;
            m_buffer.resize(size);
            if (::BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(m_buffer.data()), &size,
                                           const_cast<char*>(reinterpret_cast<const char*>(data)), length, 9, 0,
                                           0) != BZ_OK)
                return false;
            m_nCompressed = size;
        }
        return m_nCompressed < length;
    }

    const bool m_bHet;
    const ImageCompression m_compression;
    uint32_t m_nPrevious = 0;
    std::vector<unsigned char> m_buffer;
    uint64_t m_nCompressed = 0;
};

} // namespace

ImageReaderPtr MakeAwsReader(int fd, uint64_t imageSize, bool het)
{
    return std::make_unique<AwsReader>(fd, imageSize, het);
}

ImageEncoderPtr MakeAwsEncoder(bool het, ImageCompression compression)
{
    return std::make_unique<AwsEncoder>(het, compression);
}

// The chunks in head must chain: the first links back to nothing, each next one to the one
// before, the flags are known ones, records begin and end in turn, a tapemark has no data,
// and every chunk's data lie within the image.
bool LooksLikeAws(const unsigned char* head, size_t size, uint64_t imageSize, bool& compressed)
{
    compressed = false;
    if (imageSize == 0)
        return false;
    uint64_t pos = 0;
    uint32_t previous = 0;
    bool inRecord = false;
    int chunks = 0;
    while (pos + 6 <= size && pos < imageSize) {
        const Header h = Decode(head + pos);
        if (h.previous != previous || (h.flags & kUnknownFlags) || (h.flags2 & ~kBusTechZlib) ||
            ((h.flags & kCompression) && h.flags2))
            return false;
        if (h.flags & kTapemark) {
            if (h.length != 0 || inRecord || h.flags2 || (h.flags & (kBeginRecord | kEndRecord | kCompression)))
                return false;
        } else {
            if (((h.flags & kBeginRecord) != 0) == inRecord)
                return false;  // a record begun inside another, or a chunk outside any
            inRecord = !(h.flags & kEndRecord);
            compressed = compressed || (h.flags & kCompression) || h.flags2;
        }
        if (pos + 6 + h.length > imageSize)
            return false;
        previous = h.length;
        pos += 6 + h.length;
        ++chunks;
    }
    if (pos < imageSize && pos + 6 > imageSize)
        return false;  // a partial header at the very end
    return chunks > 0;
}
