// AWS and HET images: reader, shape check and encoder. (Being written.)
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"

ImageReaderPtr MakeAwsReader(int, uint64_t, bool) { return nullptr; }
bool LooksLikeAws(const unsigned char*, size_t, uint64_t, bool& compressed)
{
    compressed = false;
    return false;
}
ImageEncoderPtr MakeAwsEncoder(bool, ImageCompression) { return nullptr; }
