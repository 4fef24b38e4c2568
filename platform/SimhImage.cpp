// SIMH .tap images, and E11 (the same without the pad byte after an odd-length record):
// the reader the virtual drive turns into tape answers, the shape check, and the encoder.
//
// What each marker reads as:
//   tapemark            a tapemark
//   end-of-medium word  the end of the data (the position stays on the marker)
//   end of the file     the end of the data
//   erase gap, half gap passed. A half gap is passed as a plain 4-byte marker; should an
//                       image use it to shift the word alignment instead, the words that
//                       follow fail the trailer check and read as damage, never as data.
//   class 0 record      a record
//   class 1-14 record   a bad record. Class 8 is "bad data" (and bit 31 alone marks it on
//                       older writers); the private and reserved classes hold nothing a
//                       tape copy could use as data, so they read as unreadable blocks.
//   other class-15 word ERROR_TAPE_IMAGE_UNKNOWN_MARKER: not a marker we know, the image
//                       cannot be followed past it.
// A damaged image (a partial length word, a record running past the end of the file, a
// trailing length that differs from the leading one) gives ERROR_TAPE_IMAGE_TRUNCATED or
// ERROR_TAPE_IMAGE_INCONSISTENT with the position before the damage.
//
// Backwards: the word before the position. A record's trailer leads back to its leading
// length word, which must match; a tapemark is passed; gaps are passed; anything else (a
// trailer without its record) is ERROR_TAPE_IMAGE_INCONSISTENT, nothing moved.
//
// A record's trailing length is checked before any of its bytes reach the caller's buffer,
// so nothing past what a read reports is ever written. A record of up to kWindowedRecord
// bytes is copied out of a read-ahead window of the image (one pread fills kWindowSize
// bytes, many records' worth), together with its trailer and the next length word; a
// longer one costs one small read of its trailer and the next length word first (unless
// the window holds them), then its data go straight into the caller's buffer (the extra
// call is lost in the time the data take). The window holds bytes by their place in the
// image, so spacing and rewinding may reuse it; Load empties it, since the file may have
// changed in between.
#include "platform/SimhTape.h"

#include "platform/Errors.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Reads exactly the bytes iov describes (iov is consumed). A short read means the file
// became shorter than it was when measured.
uint32_t PreadFully(int fd, iovec* iov, int count, uint64_t offset)
{
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        ssize_t n = ::preadv(fd, iov, count, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return ERROR_TAPE_IMAGE_UNREADABLE;
        }
        if (n == 0)
            return ERROR_TAPE_IMAGE_TRUNCATED;
        offset += static_cast<uint64_t>(n);
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return ERROR_SUCCESS;
}

#ifndef KV_IMAGE_WINDOW
// Records up to this length come out of the read-ahead window: per record, one copy out of
// the window costs less than the one or two preads it saves. Above it, the second copy
// costs more than the calls (bench_image_read on tmpfs: 64 KiB records read 12% faster
// through the window, 128 KiB ones 13% slower).
constexpr uint32_t kWindowedRecord = 65536;
// The read-ahead window: big enough that 64 KiB records still take 16 to a pread, small
// enough to stay in the cache while they are copied out of it (a 4 MiB window read small
// records 10-15% slower).
constexpr uint32_t kWindowSize = 1u << 20;
#else
// A fuzz build shrinks the window (-DKV_IMAGE_WINDOW=bytes) so that its tiny images cross
// the window's edges and take both ways in.
constexpr uint32_t kWindowSize = KV_IMAGE_WINDOW;
constexpr uint32_t kWindowedRecord = KV_IMAGE_WINDOW / 2;
#endif
// A windowed record with its length words and the next record's length word fit in it.
static_assert(kWindowSize >= kWindowedRecord + 12);

uint32_t LittleEndian(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

class SimhReader final : public ImageReader {
public:
    SimhReader(int fd, uint64_t imageSize, bool padOddRecords)
        : m_fd(fd), m_nImageSize(imageSize), m_bPad(padOddRecords) {}

    ImageFormat Format() const override { return m_bPad ? ImageFormat::Simh : ImageFormat::E11; }

    void Load(uint64_t imageSize) override
    {
        m_nImageSize = imageSize;
        m_nPos = 0;
        m_bCacheValid = false;
        m_nWindowLen = 0;
        m_nGaps = 0;
    }

    void Rewind() override { m_nPos = 0; }
    uint64_t Position() const override { return m_nPos; }
    uint64_t GapsPassed() const override { return m_nGaps; }

    Item Peek() override
    {
        Item item;
        for (;;) {
            item.offset = m_nPos;
            if (m_nPos >= m_nImageSize) {
                item.kind = Kind::EndOfData;
                return item;
            }
            if (m_nImageSize - m_nPos < 4) {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_TRUNCATED;
                return item;
            }
            uint32_t word = 0;
            if (uint32_t err = ReadWord(m_nPos, word)) {
                item.kind = Kind::Damaged;
                item.error = err;
                return item;
            }
            if (word == SIMH_ERASE_GAP || word == SIMH_HALF_GAP) {
                m_nPos += 4;
                ++m_nGaps;
                continue;
            }
            item.size = 4;
            if (word == SIMH_TAPEMARK) {
                item.kind = Kind::Tapemark;
                return item;
            }
            if (word == SIMH_END_OF_MEDIUM) {
                item.kind = Kind::EndOfData;
                return item;
            }
            const uint32_t cls = word >> 28;
            if (cls == 0xF) {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_UNKNOWN_MARKER;
                return item;
            }
            item.kind = Kind::Record;
            item.length = word & SIMH_MAX_RECORD;
            item.bad = cls != 0;
            item.size = 8 + uint64_t{PaddedLength(item.length)};
            m_nWord = word;
            if (m_nPos + item.size > m_nImageSize) {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_TRUNCATED;
            }
            return item;
        }
    }

    uint32_t Take(const Item& item, char* dest, uint32_t deliver) override
    {
        if (item.kind == Kind::Tapemark) {
            m_nPos += 4;
            return ERROR_SUCCESS;
        }
        return TakeRecord(item, dest, deliver);
    }

    uint32_t StepBack() override
    {
        for (;;) {
            if (m_nPos < 4)
                return m_nPos == 0 ? ERROR_BEGINNING_OF_MEDIA : ERROR_TAPE_IMAGE_INCONSISTENT;
            uint32_t word = 0;
            if (uint32_t err = ReadWord(m_nPos - 4, word))
                return err;
            if (word == SIMH_ERASE_GAP || word == SIMH_HALF_GAP) {
                m_nPos -= 4;
                continue;
            }
            if (word == SIMH_TAPEMARK) {
                m_nPos -= 4;
                return ERROR_FILEMARK_DETECTED;
            }
            return StepBackOverRecord(word);
        }
    }

private:
    uint32_t PaddedLength(uint32_t length) const { return m_bPad ? length + (length & 1) : length; }

    // The bytes [pos, pos + length) of the image when the window holds them all, else null.
    const unsigned char* InWindow(uint64_t pos, uint32_t length) const
    {
        if (pos < m_nWindowPos || pos - m_nWindowPos > m_nWindowLen ||
            m_nWindowLen - (pos - m_nWindowPos) < length)
            return nullptr;
        return m_window.get() + (pos - m_nWindowPos);
    }

    // Refills the window with the image from pos on. A file that has become shorter than
    // when it was measured leaves the window short, and whatever needed the missing bytes
    // finds them not there.
    uint32_t FillWindow(uint64_t pos)
    {
        if (!m_window)
            m_window = std::make_unique_for_overwrite<unsigned char[]>(kWindowSize);
        m_nWindowLen = 0;
        const size_t wanted = pos < m_nImageSize ? std::min<uint64_t>(kWindowSize, m_nImageSize - pos) : 0;
        size_t got = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(m_fd, m_window.get() + got, wanted - got, static_cast<off_t>(pos + got));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return ERROR_TAPE_IMAGE_UNREADABLE;
            }
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        m_nWindowPos = pos;
        m_nWindowLen = static_cast<uint32_t>(got);
        return ERROR_SUCCESS;
    }

    uint32_t ReadWord(uint64_t pos, uint32_t& word)
    {
        if (const unsigned char* bytes = InWindow(pos, 4)) {
            word = LittleEndian(bytes);
            return ERROR_SUCCESS;
        }
        if (m_bCacheValid && m_nCachePos == pos) {
            word = m_nCacheWord;
            return ERROR_SUCCESS;
        }
        unsigned char bytes[4];
        iovec iov{bytes, sizeof bytes};
        if (uint32_t err = PreadFully(m_fd, &iov, 1, pos))
            return err;
        word = LittleEndian(bytes);
        return ERROR_SUCCESS;
    }

    // Checks the record's trailing length, then delivers the first `delivered` bytes of its
    // data into dest (0 for none); the next length word, when the image holds one, comes
    // along and is kept for the next Peek. On success the position is past the record;
    // on failure nothing moved and dest is untouched.
    uint32_t TakeRecord(const Item& item, char* dest, uint32_t delivered)
    {
        const uint32_t padded = PaddedLength(item.length);
        const uint64_t trailerPos = m_nPos + 4 + padded;
        const uint64_t afterRecord = trailerPos + 4;
        const uint32_t nextWord = m_nImageSize - afterRecord >= 4 ? 4 : 0;
        const unsigned char* tail;
        unsigned char trailer[8];
        if (padded <= kWindowedRecord) {
            // length word, data, pad, trailer and the next length word, all from the window
            const uint32_t span = 4 + padded + 4 + nextWord;
            const unsigned char* record = InWindow(m_nPos, span);
            if (!record) {
                if (uint32_t err = FillWindow(m_nPos))
                    return err;
                record = InWindow(m_nPos, span);
                if (!record)
                    return ERROR_TAPE_IMAGE_TRUNCATED;
            }
            tail = record + 4 + padded;
            if (LittleEndian(tail) != m_nWord)
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (delivered > 0)
                std::memcpy(dest, record + 4, delivered);
        } else {
            tail = InWindow(trailerPos, 4 + nextWord);
            if (!tail) {
                iovec iov{trailer, 4u + nextWord};
                if (uint32_t err = PreadFully(m_fd, &iov, 1, trailerPos))
                    return err;
                tail = trailer;
            }
            if (LittleEndian(tail) != m_nWord)
                return ERROR_TAPE_IMAGE_INCONSISTENT;
            if (delivered > 0) {
                iovec data{dest, delivered};
                if (uint32_t err = PreadFully(m_fd, &data, 1, m_nPos + 4))
                    return err;
            }
        }
        (void)item;
        m_nPos = afterRecord;
        m_bCacheValid = nextWord != 0;
        if (m_bCacheValid) {
            m_nCachePos = afterRecord;
            m_nCacheWord = LittleEndian(tail + 4);
        }
        return ERROR_SUCCESS;
    }

    // The record whose trailing length word (trailer) ends just before the position: back
    // to its leading length word, which must say the same. Nothing moves on a mismatch.
    uint32_t StepBackOverRecord(uint32_t trailer)
    {
        if (trailer == SIMH_END_OF_MEDIUM || trailer >> 28 == 0xF)
            return ERROR_TAPE_IMAGE_INCONSISTENT;
        const uint64_t span = 8 + uint64_t{PaddedLength(trailer & SIMH_MAX_RECORD)};
        if (span > m_nPos)
            return ERROR_TAPE_IMAGE_INCONSISTENT;
        uint32_t leading = 0;
        if (uint32_t err = ReadWord(m_nPos - span, leading))
            return err;
        if (leading != trailer)
            return ERROR_TAPE_IMAGE_INCONSISTENT;
        m_nPos -= span;
        return ERROR_SUCCESS;
    }

    const int m_fd;
    uint64_t m_nImageSize;
    const bool m_bPad;
    uint64_t m_nPos = 0;
    uint64_t m_nGaps = 0;
    uint32_t m_nWord = 0;  // the length word of the record Peek gave last
    // The read-ahead window: m_nWindowLen bytes of the image from m_nWindowPos on.
    std::unique_ptr<unsigned char[]> m_window;
    uint64_t m_nWindowPos = 0;
    uint32_t m_nWindowLen = 0;
    // The length word read ahead with the previous long record.
    bool m_bCacheValid = false;
    uint64_t m_nCachePos = 0;
    uint32_t m_nCacheWord = 0;
};

void PutWord(unsigned char* at, uint32_t word)
{
    at[0] = static_cast<unsigned char>(word);
    at[1] = static_cast<unsigned char>(word >> 8);
    at[2] = static_cast<unsigned char>(word >> 16);
    at[3] = static_cast<unsigned char>(word >> 24);
}

class SimhEncoder final : public ImageEncoder {
public:
    explicit SimhEncoder(bool padOddRecords) : m_bPad(padOddRecords) {}

    ImageFormat Format() const override { return m_bPad ? ImageFormat::Simh : ImageFormat::E11; }

    uint32_t Record(ImageSink& sink, const char* data, uint32_t length, bool bad) override
    {
        // A length word of 0 is a tapemark: a record without data cannot be written.
        if (length == 0 || length > SIMH_MAX_RECORD)
            return ERROR_INVALID_BLOCK_LENGTH;
        unsigned char word[5];
        PutWord(word, length | (bad ? 0x80000000u : 0));
        word[4] = 0;
        if (uint32_t err = sink.Append(word, 4))
            return err;
        if (uint32_t err = sink.Append(data, length))
            return err;
        if (m_bPad && (length & 1)) {
            if (uint32_t err = sink.Append(word + 4, 1))
                return err;
        }
        return sink.Append(word, 4);
    }

    uint32_t Tapemark(ImageSink& sink) override { return Word(sink, SIMH_TAPEMARK); }
    uint32_t EndOfMedium(ImageSink& sink) override { return Word(sink, SIMH_END_OF_MEDIUM); }

private:
    static uint32_t Word(ImageSink& sink, uint32_t value)
    {
        unsigned char word[4];
        PutWord(word, value);
        return sink.Append(word, 4);
    }

    const bool m_bPad;
};

// Follows the records in head: true when every one it holds is whole and its trailer
// matches, up to the end of head or of the image. A record running past head's end is
// taken on trust for its trailer.
bool ChainFits(const unsigned char* head, size_t size, uint64_t imageSize, bool pad, bool& sawOdd)
{
    sawOdd = false;
    uint64_t pos = 0;
    int items = 0;
    while (pos < imageSize && items < 4096) {
        if (imageSize - pos < 4)
            return false;
        if (pos + 4 > size)
            return items > 0;
        const uint32_t word = LittleEndian(head + pos);
        if (word == SIMH_END_OF_MEDIUM)
            return true;
        ++items;
        if (word == SIMH_TAPEMARK || word == SIMH_ERASE_GAP || word == SIMH_HALF_GAP) {
            pos += 4;
            continue;
        }
        if (word >> 28 == 0xF)
            return false;
        const uint32_t length = word & SIMH_MAX_RECORD;
        if (length > kMaxTapeBlockSize)
            return false;
        const uint64_t trailer = pos + 4 + length + (pad ? (length & 1) : 0);
        if (trailer + 4 > imageSize)
            return false;
        if (trailer + 4 > size)
            return true;
        if (LittleEndian(head + trailer) != word)
            return false;
        if (length & 1)
            sawOdd = true;
        pos = trailer + 4;
    }
    return true;
}

} // namespace

ImageReaderPtr MakeSimhReader(int fd, uint64_t imageSize, bool padOddRecords)
{
    return std::make_unique<SimhReader>(fd, imageSize, padOddRecords);
}

ImageEncoderPtr MakeSimhEncoder(bool padOddRecords)
{
    return std::make_unique<SimhEncoder>(padOddRecords);
}

bool LooksLikeSimh(const unsigned char* head, size_t size, uint64_t imageSize, bool padOddRecords, bool* odd)
{
    bool sawOdd = false;
    const bool fits = ChainFits(head, size, imageSize, padOddRecords, sawOdd);
    if (odd)
        *odd = sawOdd;
    if (!fits)
        return false;
    // Without an odd-length record both layouts are the same; E11 claims only what shows
    // its own shape.
    return padOddRecords || sawOdd;
}
