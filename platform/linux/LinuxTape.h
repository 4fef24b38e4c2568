// Real tape drives through the Linux SCSI tape driver (st): \\.\TAPEn is the n-th drive of
// EnumerateLinuxTapeDrives, read through its non-rewinding node /dev/nstN, with the drive's
// block limits asked through its SCSI generic node.
#pragma once
#include "platform/DeviceNamespace.h"
#include "platform/TapeDevice.h"
#include "platform/linux/LinuxTapeList.h"
#include "platform/linux/StSystem.h"

#include <cstdint>
#include <string>

// Registers the st backend as the device namespace's opener for real drives. Both programs
// call it at start-up; tape images, when given, still take precedence.
void InstallLinuxTapeBackend();

// The opener behind InstallLinuxTapeBackend, with its sysfs tree and system calls given.
// The drive list is read afresh at every open, so a drive switched on later is found.
DeviceNamespace::Opener MakeLinuxTapeOpener(std::string sysfsRoot, StSystem& system);

// Opens one drive. transferLimit caps the maximum block size reported to the caller.
TapeDevicePtr OpenLinuxTape(const LinuxTapeDrive& drive, uint32_t transferLimit,
                            StSystem& system, uint32_t& error);
