// The virtual drive over a tape image of any readable format (platform/ImageFormat.h).
#pragma once
#include "platform/DeviceNamespace.h"
#include "platform/ImageFormat.h"
#include "platform/TapeDevice.h"

#include <cstdint>
#include <optional>
#include <string>

// Opens the image as a virtual drive, exclusively (a second open of the same image fails
// with ERROR_SHARING_VIOLATION until the first is closed), in options.format or else the
// format its content shows (ERROR_TAPE_IMAGE_UNKNOWN_FORMAT when none fits). Null and
// error on failure.
TapeDevicePtr OpenVirtualDrive(const std::string& image, const VirtualDriveOptions& options, uint32_t& error);

// The format of the image open on fd (size bytes; path for its extension), from its first
// bytes. Nothing, with error set, when it cannot be read or no format fits.
std::optional<ImageFormat> DetectOpenImageFormat(int fd, uint64_t size, const std::string& path, uint32_t& error);
