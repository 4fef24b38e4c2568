// TPC images: reader, shape check and the tests' encoder. (Being written.)
#include "platform/ImageEncoder.h"
#include "platform/ImageReader.h"

ImageReaderPtr MakeTpcReader(int, uint64_t) { return nullptr; }
bool LooksLikeTpc(const unsigned char*, size_t, uint64_t) { return false; }
ImageEncoderPtr MakeTpcEncoder() { return nullptr; }
