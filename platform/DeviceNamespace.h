// Which backend stands behind \\.\TAPEn. With tape images configured, TAPE0.. are those
// images in order; otherwise TAPEn is the n-th real drive, reached through the opener of
// the real-drive backend (none registered: opening fails with ERROR_BAD_UNIT).
#pragma once
#include "platform/DeviceFacts.h"
#include "platform/ImageFormat.h"
#include "platform/TapeDevice.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Options of the virtual drives, given on both programs' command lines.
struct VirtualDriveOptions {
    uint32_t fixedBlockSize = 0;          // nonzero: the drive is fixed-block only, this size
    uint32_t maxBlockSize = kMaxTapeBlockSize;
    std::optional<ImageFormat> format;    // --image-format: read every image so; else each as its content shows
};

namespace DeviceNamespace {

using Opener = std::function<TapeDevicePtr(int index, uint32_t& error)>;

// Configures the namespace. Called once at start-up, before any job runs.
void SetTapeImages(std::vector<std::string> images, VirtualDriveOptions options = {});
const std::vector<std::string>& TapeImages();
// Adds one image after the others (the window's "Open tape image..."), or finds it when it
// is there already; returns its n. Only while no job runs: TapeImages() is read unlocked.
int AddTapeImage(const std::string& image);
const VirtualDriveOptions& ImageOptions();

// The backend for real drives (set by the Linux st backend at start-up).
void SetRealDriveOpener(Opener opener);

// The path behind TAPEn for the real-drive backend (its st node), for messages.
void SetRealDriveNamer(std::function<std::string(int index)> namer);

// Tests may stand in for every device; an empty function restores the normal namespace.
void SetOpenerForTesting(Opener opener);

// What the backend can tell of a drive besides its data (DeviceFacts.h), at the start of a
// session or at its end: the real-drive backend's reader (set with its opener), or the one a
// test gives with its stand-in.
using FactsReader = std::function<void(int index, FactsMoment moment, DriveFacts& facts)>;
void SetRealDriveFactsReader(FactsReader reader);
void SetFactsReaderForTesting(FactsReader reader);

// Fills in the facts of the moment for TAPEn, a drive; where no reader serves it, each of
// them says so. Never fails.
void ReadDriveFacts(int index, FactsMoment moment, DriveFacts& facts);

// Whether TAPEn is a tape image (and which), rather than a drive.
bool IsTapeImage(int index);
// The facts of the tape image TAPEn (IsTapeImage), read in the format the drive reads it
// in; stop as ReadImageFileFacts takes it.
ImageFacts ReadTapeImageFacts(int index, const std::function<bool()>& stop = {});

// Opens \\.\TAPEn exclusively. Returns null and sets error when it cannot.
TapeDevicePtr OpenTape(int index, uint32_t& error);

// "\\.\TAPE%d": the device's name as the log and the messages give it.
std::string DeviceName(int index);

// What TAPEn opens, for a message that says why it could not: the tape image's path, the
// real drive's node, or the name the user knows it by ("TAPE3") when neither is known.
std::string DevicePath(int index);

} // namespace DeviceNamespace
