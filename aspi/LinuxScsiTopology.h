// The SCSI devices of this machine as the kernel lists them under sysfs, in the one order
// both the drive scan and the tape backend use: (host, channel, target, lun) ascending.
// The k-th entry of type 1 (sequential access) is \\.\TAPEk.
#pragma once
#include <string>
#include <vector>

struct ScsiDeviceInfo {
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;
    int type = 0x1F;          // peripheral device type from sysfs ("type")
    std::string vendor;       // trailing blanks removed
    std::string model;        // trailing blanks removed
    std::string revision;     // trailing blanks removed
    std::string sgNode;       // "/dev/sgN"
    std::string stNode;       // "/dev/nstX" when the st driver has the device, else empty
};

// Lists every SCSI generic device under sysfsRoot/class/scsi_generic. Tests pass the root of
// a fake tree; an absent tree gives an empty list.
std::vector<ScsiDeviceInfo> EnumerateScsiDevices(const std::string& sysfsRoot = "/sys");
