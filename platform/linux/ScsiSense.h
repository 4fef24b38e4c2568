// Sense data as a SCSI device returns it, in either of its two formats: fixed (response
// codes 0x70/0x71) or descriptor (0x72/0x73). Everything in the program that looks at sense
// data looks at it through this.
#pragma once
#include <cstddef>
#include <cstdint>

struct ScsiSense {
    bool valid = false;   // a response code of either format and room for the sense key
    uint8_t key = 0;
    uint8_t asc = 0;      // additional sense code, 0 when not returned
    uint8_t ascq = 0;     // its qualifier, 0 when not returned
};

ScsiSense DecodeSense(const uint8_t* data, size_t length);

inline constexpr uint8_t kSenseKeyNotReady = 0x2;
inline constexpr uint8_t kSenseKeyMediumError = 0x3;
inline constexpr uint8_t kSenseKeyIllegalRequest = 0x5;
inline constexpr uint8_t kSenseKeyUnitAttention = 0x6;
