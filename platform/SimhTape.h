// SIMH .tap tape images: the words of the format (platform/SimhImage.cpp reads and writes
// them; platform/ImageDrive.h opens an image of any format as a drive).
//
// Layout: little-endian 32-bit words. A record is its length word, the data, one pad byte
// when the length is odd, and the length word again. Length word: bits 0-27 the length,
// bits 28-31 the class (0 good, 8 bad; older writers set bit 31 alone for "bad").
// Markers: 0x00000000 tapemark, 0xFFFFFFFF end of medium, 0xFFFFFFFE erase gap,
// 0xFFFEFFFF half gap.
#pragma once
#include "platform/ImageDrive.h"
#include "platform/TapeDevice.h"

#include <cstdint>
#include <string>

inline constexpr uint32_t SIMH_TAPEMARK = 0x00000000;
inline constexpr uint32_t SIMH_END_OF_MEDIUM = 0xFFFFFFFF;
inline constexpr uint32_t SIMH_ERASE_GAP = 0xFFFFFFFE;
inline constexpr uint32_t SIMH_HALF_GAP = 0xFFFEFFFF;
inline constexpr uint32_t SIMH_MAX_RECORD = 0x0FFFFFFF;
