#include "platform/linux/ScsiSense.h"

#include <algorithm>

ScsiSense DecodeSense(const uint8_t* data, size_t length)
{
    ScsiSense sense;
    if (!data || length < 3)
        return sense;
    const uint8_t response = data[0] & 0x7F;
    if (response == 0x70 || response == 0x71) {
        // Byte 7 says how much follows it; bytes past that are not the device's.
        if (length >= 8)
            length = std::min<size_t>(length, 8 + size_t{data[7]});
        sense.valid = true;
        sense.key = data[2] & 0x0F;
        sense.asc = length > 12 ? data[12] : 0;
        sense.ascq = length > 13 ? data[13] : 0;
    } else if (response == 0x72 || response == 0x73) {
        sense.valid = true;
        sense.key = data[1] & 0x0F;
        sense.asc = data[2];
        sense.ascq = length > 3 ? data[3] : 0;
    }
    return sense;
}
