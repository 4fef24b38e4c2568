// The facts of a real drive (platform/DeviceFacts.h), asked of the drive itself through its
// SCSI generic node and read from st's statistics in sysfs:
//
//   start of a session   INQUIRY (vendor, product, revision), its unit serial number page,
//                        READ BLOCK LIMITS, MODE SENSE(6) (medium type, write protection,
//                        density code), LOG SENSE of the read error counters, st's stats
//   end of a session     LOG SENSE of the read error counters and of the TapeAlert flags,
//                        st's stats
//
// Every command is sent on its own; one the drive refuses leaves its facts without a value
// and with the reason, and the others are asked all the same. Nothing here fails a session.
#pragma once
#include "platform/DeviceFacts.h"
#include "platform/DeviceNamespace.h"
#include "platform/linux/ScsiDevices.h"
#include "platform/linux/StSystem.h"

#include <string>

void ReadLinuxDriveFacts(const ScsiDevice& drive, const std::string& sysfsRoot, StSystem& system,
                         FactsMoment moment, DriveFacts& facts);

// The reader for TAPEn, the n-th drive of EnumerateLinuxTapeDrives(sysfsRoot).
DeviceNamespace::FactsReader MakeLinuxFactsReader(std::string sysfsRoot, StSystem& system);
