// The options that choose the drives, read alike by both programs: --tape-image FILE
// (repeatable: TAPE0, TAPE1, ... in order), --fixed-block-size N, --max-block-size N and
// --image-format NAME for the images' drives.
#pragma once
#include "platform/DeviceNamespace.h"

#include <cstdint>
#include <string>
#include <vector>

// The largest block any size option takes: the largest a tape drive can transfer.
inline constexpr uint32_t kLargestBlockSize = kMaxTapeBlockSize;

struct DriveOptions {
    std::vector<std::string> tapeImages;  // in order
    VirtualDriveOptions driveOptions;
    bool haveDriveOptions = false;        // a block-size or format option was given
};

// The names of the drive options.
const std::vector<std::string>& DriveOptionNames();
bool IsDriveOption(const std::string& name);

// Takes one value of a drive option. False with the reason when the value is bad.
bool TakeDriveOption(const std::string& name, const std::string& value, DriveOptions& options, std::string& error);

// A plain decimal number (no sign, no blanks) from low to high. False with the reason
// ("option NAME needs a number from LOW to HIGH, not 'VALUE'") otherwise.
bool TakeNumberOption(const std::string& name, const std::string& value, uint64_t low, uint64_t high,
                      uint64_t& number, std::string& error);

// The platform services both programs set up before anything looks for drives: the tape
// images (TAPE0..) or the Linux st backend for \\.\TAPEn, and the "WNASPI32" provider.
void InstallPlatformServices(const DriveOptions& options);
