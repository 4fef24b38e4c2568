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
// targets, image k at adapter k / 16, target k % 16. INQUIRY gives the image's format as vendor ("SIMH", "AWS", ...) and the
// image's file name (cut to 16 characters) as product.
//
// Execution. GET DEVICE TYPE and adapter inquiry are answered from sysfs at once. SCSI
// commands for real units run through SG_IO on a worker thread per device node, so a hung
// unit holds up only itself, and complete by event; a request withdrawn with SC_ABORT_SRB
// is never written afterwards. A unit whose /dev/sg node we may not open (a user in the
// tape group but not in the disk group) still answers INQUIRY from what sysfs knows, so
// that it is listed where the tape backend will count it.
//
// A tape drive without a generic node (st bound, sg not loaded or not bound) is a unit like
// the others, at its own address: it answers INQUIRY from what sysfs knows, at once, so the
// scan lists it in its place and position k stays TAPEk; every other command fails as a
// selection time-out, since nothing can carry it to the drive. Reading the tape goes
// through st and does not need the generic node.
#pragma once
#include "aspi/LinuxScsiTopology.h"
#include "platform/linux/SgIo.h"

#include <functional>
#include <string>

// Runs one command; the real one is RunSgIo over the kernel, tests stand in for it.
using SgIoFunction = std::function<void(SgIoRequest&)>;

// Registers the provider under "WNASPI32", with a stand-in for SG_IO (tests).
void RegisterLinuxAspiProvider(const std::string& sysfsRoot, SgIoFunction sgio);
