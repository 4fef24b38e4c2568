// The real tape drives of this machine, found under sysfs.
//
// Position k in the drive list is TAPEk. The list is every sequential-access SCSI device in
// scan order, (host, channel, target, lun) ascending: the same rule and the same set of
// devices the drive scan uses for its list, so the k-th drive the user sees there is the one
// opened as \\.\TAPEk. A sequential-access device that the st driver has not bound still holds
// its position (it cannot be opened); otherwise every later drive would shift by one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct LinuxTapeDrive {
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;
    std::string vendor;  // trailing blanks removed
    std::string model;   // trailing blanks removed
    std::string stNode;  // the non-rewinding node "/dev/nstN"; empty without the st driver
    std::string sgNode;  // "/dev/sgN"; empty without the SCSI generic driver
};

// Lists the drives from sysfsRoot/class/scsi_tape and the sequential-access devices of
// sysfsRoot/class/scsi_generic. Tests pass the root of a fake tree; no tree, no drives.
std::vector<LinuxTapeDrive> EnumerateLinuxTapeDrives(const std::string& sysfsRoot = "/sys");

// The largest block one read() through st can take: st grows its buffer to at most
// max_sg_segs segments (module parameter, 256 by default) of 64 pages each (its largest page
// order, 6), which is 64 MiB with 4 KiB pages and so more than READ BLOCK LIMITS can name;
// a smaller max_sg_segs lowers it.
uint32_t StTransferLimit(const std::string& sysfsRoot = "/sys");
