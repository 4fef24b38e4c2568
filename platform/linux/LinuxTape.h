// Real tape drives through the Linux SCSI tape driver (st): \\.\TAPEn is the n-th drive of
// EnumerateLinuxTapeDrives, read through its non-rewinding node /dev/nstN, with the drive's
// block limits asked through its SCSI generic node.
#pragma once
#include "platform/DeviceNamespace.h"
#include "platform/TapeDevice.h"
#include "platform/linux/ScsiDevices.h"
#include "platform/linux/StSystem.h"

#include <cstdint>
#include <string>

// Registers the st backend as the device namespace's opener for real drives, and its reader
// of drive facts (DriveFacts.h). Both programs call it at start-up; tape images, when given,
// still take precedence.
void InstallLinuxTapeBackend();

// The opener behind InstallLinuxTapeBackend, with its sysfs tree and system calls given.
// The drive list is read afresh at every open, so a drive switched on later is found.
DeviceNamespace::Opener MakeLinuxTapeOpener(std::string sysfsRoot, StSystem& system);

// Opens one drive. transferLimit caps the maximum block size reported to the caller.
TapeDevicePtr OpenLinuxTape(const ScsiDevice& drive, uint32_t transferLimit,
                            StSystem& system, uint32_t& error);

// The largest block one read() through st can take: st grows its buffer to at most
// max_sg_segs segments (module parameter, 256 by default) of 64 pages each (its largest page
// order, 6), which is 64 MiB with 4 KiB pages and so more than READ BLOCK LIMITS can name;
// a smaller max_sg_segs lowers it.
uint32_t StTransferLimit(const std::string& sysfsRoot = "/sys");
