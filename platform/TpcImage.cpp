// TPC images: a 16-bit little-endian length before each record, the data, a pad byte after
// an odd-length one; a length of 0 is a tapemark; the end of the file ends the data. Nothing
// marks a bad record, and nothing leads back: the reader keeps the lengths of the items it
// has passed, run-length coded (a tape is mostly runs of one block size, so a few bytes per
// run), which is how it steps back. The last record of an image may lack its pad byte: it is
// read all the same.
#include "platform/Errors.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"
#include "platform/ImageWindow.h"

#include <vector>

namespace {

// Behind the position, how much of the read-ahead window a step back leaves (the rest is
// ahead of it, for the record there).
constexpr uint64_t kBackwardsReach = 768u << 10;

// The lengths of the items between the beginning and the position (0: a tapemark), in runs.
class PassedItems {
public:
    void Clear() { m_runs.clear(); }
    bool Empty() const { return m_runs.empty(); }

    void Push(uint16_t length)
    {
        if (!m_runs.empty() && m_runs.back().length == length && m_runs.back().more < 0xFFFF)
            ++m_runs.back().more;
        else
            m_runs.push_back({length, 0});
    }

    uint16_t Pop()
    {
        Run& last = m_runs.back();
        const uint16_t length = last.length;
        if (last.more > 0)
            --last.more;
        else
            m_runs.pop_back();
        return length;
    }

private:
    struct Run {
        uint16_t length;
        uint16_t more;  // how many more of the same length follow the first
    };
    std::vector<Run> m_runs;
};

class TpcReader final : public ImageReader {
public:
    TpcReader(int fd, uint64_t imageSize) : m_window(fd), m_nImageSize(imageSize) {}

    ImageFormat Format() const override { return ImageFormat::Tpc; }

    void Load(uint64_t imageSize) override
    {
        m_nImageSize = imageSize;
        m_window.Drop();
        Rewind();
    }

    void Rewind() override
    {
        m_nPos = 0;
        m_passed.Clear();
        m_bBackwards = false;
        m_nBehindFrom = kNowhere;
    }

    uint64_t Position() const override { return m_nPos; }

    Item Peek() override
    {
        Item item;
        item.offset = m_nPos;
        if (m_nPos >= m_nImageSize)
            return item;  // the end of the data
        unsigned char word[2];
        if (m_nImageSize - m_nPos < 2) {
            item.kind = Kind::Damaged;
            item.error = ERROR_TAPE_IMAGE_TRUNCATED;
            return item;
        }
        if (m_bBackwards && !(m_nPos >= m_nBehindFrom && m_nPos - m_nBehindFrom < kBackwardsReach)) {
            // The window fills forwards from where it is asked for: going back, ask first
            // for a place well before, so the steps back that follow find their lengths in
            // it too instead of reading the window afresh each.
            m_nBehindFrom = m_nPos > kBackwardsReach ? m_nPos - kBackwardsReach : 0;
            unsigned char ignored[2];
            (void)m_window.Read(m_nBehindFrom, ignored, 2, m_nImageSize);  // a failure shows just below
        }
        if (uint32_t err = m_window.Read(m_nPos, word, 2, m_nImageSize)) {
            item.kind = Kind::Damaged;
            item.error = err;
            return item;
        }
        const uint32_t length = word[0] | uint32_t{word[1]} << 8;
        if (length == 0) {
            item.kind = Kind::Tapemark;
            item.size = 2;
            return item;
        }
        item.kind = Kind::Record;
        item.length = length;
        item.size = 2 + uint64_t{length} + (length & 1);
        if (m_nPos + item.size > m_nImageSize) {
            if (m_nPos + 2 + length == m_nImageSize) {
                item.size = 2 + uint64_t{length};  // the last record, its pad byte left off
            } else {
                item.kind = Kind::Damaged;
                item.error = ERROR_TAPE_IMAGE_TRUNCATED;
            }
        }
        return item;
    }

    uint32_t Take(const Item& item, char* dest, uint32_t deliver) override
    {
        if (item.kind == Kind::Record && deliver > 0) {
            if (uint32_t err = m_window.Read(item.offset + 2, dest, deliver, m_nImageSize))
                return err;
        }
        m_passed.Push(item.kind == Kind::Tapemark ? 0 : static_cast<uint16_t>(item.length));
        m_nPos = item.offset + item.size;
        m_bBackwards = false;
        m_nBehindFrom = kNowhere;  // the window may have moved
        return ERROR_SUCCESS;
    }

    uint32_t StepBack() override
    {
        if (m_passed.Empty())
            return ERROR_BEGINNING_OF_MEDIA;
        const uint32_t length = m_passed.Pop();
        // Every item but a last record without its pad takes an even number of bytes, so
        // only the position just past that one is odd.
        const uint64_t size = 2 + uint64_t{length} + ((length & 1) && !(m_nPos & 1) ? 1 : 0);
        m_nPos -= size;
        m_bBackwards = true;
        return length == 0 ? ERROR_FILEMARK_DETECTED : ERROR_SUCCESS;
    }

private:
    ImageWindow m_window;
    uint64_t m_nImageSize;
    uint64_t m_nPos = 0;
    PassedItems m_passed;
    // Going back (no Take since the last step back), the window holds from m_nBehindFrom on.
    bool m_bBackwards = false;
    static constexpr uint64_t kNowhere = ~uint64_t{0};
    uint64_t m_nBehindFrom = kNowhere;
};

class TpcEncoder final : public ImageEncoder {
public:
    ImageFormat Format() const override { return ImageFormat::Tpc; }

    uint32_t Record(ImageSink& sink, const char* data, uint32_t length, bool) override
    {
        if (length == 0 || length > 0xFFFF)
            return ERROR_INVALID_BLOCK_LENGTH;
        const unsigned char word[3] = {static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8), 0};
        if (uint32_t err = sink.Append(word, 2))
            return err;
        if (uint32_t err = sink.Append(data, length))
            return err;
        return (length & 1) ? sink.Append(word + 2, 1) : ERROR_SUCCESS;
    }

    uint32_t Tapemark(ImageSink& sink) override
    {
        const unsigned char word[2] = {0, 0};
        return sink.Append(word, 2);
    }

    uint32_t EndOfMedium(ImageSink&) override { return ERROR_SUCCESS; }
};

} // namespace

ImageReaderPtr MakeTpcReader(int fd, uint64_t imageSize)
{
    return std::make_unique<TpcReader>(fd, imageSize);
}

ImageEncoderPtr MakeTpcEncoder()
{
    return std::make_unique<TpcEncoder>();
}

// Nearly any bytes can be read as a chain of 16-bit lengths, so the shape asked for is
// strict: an image the head holds whole must end exactly where its last record does, and a
// longer one must show a tapemark within the head. SIMH and AWS images whose records hold
// zeros chain as TPC too (their length words' high halves read as tapemarks), so where the
// head reads as one of those as well, it is not TPC; a head of tapemarks alone is left to
// the name to settle.
bool LooksLikeTpc(const unsigned char* head, size_t size, uint64_t imageSize)
{
    if (imageSize == 0)
        return false;
    uint64_t pos = 0;
    bool tapemark = false;
    bool record = false;
    bool fits = true;
    while (pos + 2 <= size && pos < imageSize) {
        const uint32_t length = head[pos] | uint32_t{head[pos + 1]} << 8;
        if (length == 0) {
            tapemark = true;
            pos += 2;
            continue;
        }
        record = true;
        const uint64_t next = pos + 2 + length + (length & 1);
        if (next > imageSize) {
            fits = pos + 2 + length == imageSize;  // only the last record's pad may be missing
            pos = imageSize;
            break;
        }
        pos = next;
    }
    if (!fits)
        return false;
    if (imageSize <= size ? pos != imageSize : !tapemark)
        return false;
    bool compressed = false;
    return !record || !(LooksLikeSimh(head, size, imageSize, true) || LooksLikeSimh(head, size, imageSize, false) ||
                        LooksLikeAws(head, size, imageSize, compressed));
}
