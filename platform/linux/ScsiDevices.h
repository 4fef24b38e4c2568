// The SCSI devices of this machine, found under sysfs: the one list both the st tape
// backend and the ASPI provider are built on, so that the drive scan's list and TAPE0..
// agree by construction.
//
// A device is listed when the st driver or the SCSI generic driver has bound it (a device
// that neither has bound cannot be reached by either, and is in neither list). Order is
// (host, channel, target, lun) ascending. The tape drives are the devices of type 1
// (sequential access), in that order: the k-th of them is \\.\TAPEk, and the k-th tape
// drive the scan lists. A drive st has not bound still holds its place (it cannot be
// opened); a drive without a generic node holds its place too (the scan lists it from what
// sysfs says, see LinuxAspiProvider.h).
#pragma once
#include <string>
#include <vector>

struct ScsiDevice {
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;
    int type = 0x1F;          // peripheral device type ("type"); 0x1F when unknown
    std::string vendor;       // trailing blanks removed
    std::string model;        // trailing blanks removed
    std::string revision;     // trailing blanks removed
    std::string stNode;       // the non-rewinding node "/dev/nstN"; empty without the st driver
    std::string sgNode;       // "/dev/sgN"; empty without the SCSI generic driver
};

inline constexpr int kScsiTypeSequentialAccess = 1;
inline constexpr int kScsiTypeUnknown = 0x1F;

// Lists the devices of sysfsRoot/class/scsi_tape and sysfsRoot/class/scsi_generic, each
// once. Tests pass the root of a fake tree; no tree, no devices.
std::vector<ScsiDevice> EnumerateScsiDevices(const std::string& sysfsRoot = "/sys");

inline bool IsTapeDrive(const ScsiDevice& device)
{
    return device.type == kScsiTypeSequentialAccess;
}

// The tape drives among EnumerateScsiDevices(sysfsRoot): position k is TAPEk.
std::vector<ScsiDevice> EnumerateLinuxTapeDrives(const std::string& sysfsRoot = "/sys");
