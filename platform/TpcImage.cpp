// TPC images: a 16-bit little-endian length before each record, the data, a pad byte after
// an odd-length one; a length of 0 is a tapemark; the end of the file ends the data. Nothing
// marks a bad record, and nothing leads back: the reader keeps the start of every item it
// has passed (8 bytes each), which is how it steps back. The last record of an image may
// lack its pad byte: it is read all the same.
#include "platform/Errors.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"
#include "platform/ImageWindow.h"

#include <vector>

namespace {

constexpr uint64_t kTapemarkBit = uint64_t{1} << 63;  // in m_passed: the item was a tapemark

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
        m_passed.clear();
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
        m_passed.push_back(item.offset | (item.kind == Kind::Tapemark ? kTapemarkBit : 0));
        m_nPos = item.offset + item.size;
        return ERROR_SUCCESS;
    }

    uint32_t StepBack() override
    {
        if (m_passed.empty())
            return ERROR_BEGINNING_OF_MEDIA;
        const uint64_t start = m_passed.back();
        m_passed.pop_back();
        m_nPos = start & ~kTapemarkBit;
        return (start & kTapemarkBit) ? ERROR_FILEMARK_DETECTED : ERROR_SUCCESS;
    }

private:
    ImageWindow m_window;
    uint64_t m_nImageSize;
    uint64_t m_nPos = 0;
    std::vector<uint64_t> m_passed;  // the start of every item between the beginning and the position
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
// longer one must show a tapemark within the head. TPC is also the last format tried.
bool LooksLikeTpc(const unsigned char* head, size_t size, uint64_t imageSize)
{
    if (imageSize == 0)
        return false;
    uint64_t pos = 0;
    bool tapemark = false;
    while (pos + 2 <= size && pos < imageSize) {
        const uint32_t length = head[pos] | uint32_t{head[pos + 1]} << 8;
        if (length == 0) {
            tapemark = true;
            pos += 2;
            continue;
        }
        const uint64_t next = pos + 2 + length + (length & 1);
        if (next > imageSize)
            return pos + 2 + length == imageSize;  // only the last record's pad may be missing
        pos = next;
    }
    if (imageSize <= size)
        return pos == imageSize;
    return tapemark;
}
