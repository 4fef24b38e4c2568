// How the kernel's SCSI addresses fold into ASPI adapters and targets (see
// LinuxAspiProvider.h for the rule). The devices themselves come from the Linux SCSI layer's
// one list, EnumerateScsiDevices.
#pragma once
#include "platform/linux/ScsiDevices.h"

#include <array>
#include <cstdint>
#include <vector>

struct AspiAdapterLayout {
    uint8_t maxTargets = 8;           // HA_Unique[3]
    std::array<int, 16> unit;         // index into the device list per ASPI target, or -1
};

// The devices must be sorted as EnumerateScsiDevices gives them.
std::vector<AspiAdapterLayout> FoldIntoAdapters(const std::vector<ScsiDevice>& devices);
