// The Linux "WNASPI32" provider: ASPI requests answered over the SCSI generic driver, or, when
// tape images are given, by virtual sequential-access devices standing for those images.
//
// Addressing. The kernel addresses a unit as host:channel:target:lun; ASPI has an adapter and
// a target, and the drive scan asks logical unit 0 only. Each (host, channel) pair becomes
// ASPI adapters of its own, pairs in ascending order. When all of a pair's units are at
// logical unit 0 with target ids below 16, it is one adapter and the ASPI target id is the
// kernel's (probed 0-7, or 0-15 when a target id above 7 is present). Otherwise the pair's
// units, in (target, lun) order, are numbered 0, 1, 2, ... and dealt out 16 to an adapter,
// so that a unit at another LUN or a high target id is still seen by the scan, as logical
// unit 0. Either way the scan's order (adapter, then target) is (host, channel, target,
// lun) order, the order the tape backend numbers TAPE0.. in.
//
// Virtual drives: with tape images in the device namespace, TAPE0.. are the images, so the
// provider presents the images only (no real device), as type-1 units on adapters of 16
// targets, image k at adapter k / 16, target k % 16. INQUIRY gives vendor "VIRTUAL" and the
// image's file name (cut to 16 characters) as product.
//
// Execution. GET DEVICE TYPE and adapter inquiry are answered from sysfs at once. SCSI
// commands for real units run through SG_IO on a worker thread per device node, so a hung
// unit holds up only itself, and complete by event; a request withdrawn with SC_ABORT_SRB
// is never written afterwards. A unit whose /dev/sg node we may not open (a user in the
// tape group but not in the disk group) still answers INQUIRY from what sysfs knows, so
// that it is listed where the tape backend will count it.
#pragma once
#include "aspi/LinuxScsiTopology.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One SCSI command through SG_IO.
struct SgIoRequest {
    enum Direction { None, FromDevice, ToDevice };

    std::string node;                 // "/dev/sgN"
    std::vector<uint8_t> cdb;
    Direction direction = None;
    std::vector<uint8_t> data;        // to send, or sized to receive
    uint32_t timeoutMs = 25000;
    // Results.
    int error = 0;                    // errno when the command could not be issued
    uint8_t status = 0;               // SCSI status byte
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    int residual = 0;
    std::vector<uint8_t> sense;
};
using SgIoFunction = std::function<void(SgIoRequest&)>;

// The real thing: opens the node and issues SG_IO.
void RunSgIo(SgIoRequest& request);

struct AspiAdapterLayout {
    uint8_t maxTargets = 8;           // HA_Unique[3]
    std::array<int, 16> unit;         // index into the device list per ASPI target, or -1
};
// Folds kernel addresses into ASPI adapters and targets as described above. The devices
// must be sorted as EnumerateScsiDevices gives them.
std::vector<AspiAdapterLayout> FoldIntoAdapters(const std::vector<ScsiDeviceInfo>& devices);

// Registers the provider under "WNASPI32", with a stand-in for SG_IO (tests).
void RegisterLinuxAspiProvider(const std::string& sysfsRoot, SgIoFunction sgio);
