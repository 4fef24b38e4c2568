// Runs inside a throw-away virtual machine whose kernel emulates a tape drive (scsi_debug
// with ptype=1): writes a few tape files through /dev/nst0, then reads them back through the
// st backend as \\.\TAPE0 and checks blocks, filemarks, the end of data, spacing and data
// errors (injected through scsi_debug's debugfs), and prints the drive's facts as a session
// report gives them. The emulated drive keeps only each block's length and first four bytes,
// so every block carries its length in its first four bytes.
// Prints one PASS/FAIL line per check (SKIP where this drive cannot show it) and a verdict.
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/linux/DriveFacts.h"
#include "platform/linux/LinuxTape.h"
#include "platform/linux/ScsiDevices.h"
#include "platform/linux/SgIo.h"
#include "platform/linux/StSystem.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Check(bool ok, const std::string& what)
{
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    if (!ok)
        ++g_failures;
}

constexpr int FM = -1;
// file 0: three blocks; file 1: empty; file 2: three blocks; file 3: one odd-sized block
// (the emulated drive's smallest block is 512 bytes)
const std::vector<int> kTape = {512, 10240, 65536, FM, FM, 32768, 32768, 32768, FM, 777, FM};

bool Mt(int fd, short op, int count)
{
    mtop request{};
    request.mt_op = op;
    request.mt_count = count;
    if (ioctl(fd, MTIOCTOP, &request) == 0)
        return true;
    std::printf("  MTIOCTOP %d %d: %s\n", op, count, std::strerror(errno));
    return false;
}

bool WriteTape()
{
    int fd = open("/dev/nst0", O_RDWR);
    if (fd < 0) {
        std::printf("  open /dev/nst0: %s\n", std::strerror(errno));
        return false;
    }
    bool ok = Mt(fd, MTSETBLK, 0) && Mt(fd, MTREW, 1);
    std::vector<char> block(65536);
    for (int item : kTape) {
        if (!ok)
            break;
        if (item == FM) {
            ok = Mt(fd, MTWEOF, 1);
            continue;
        }
        uint32_t tag = static_cast<uint32_t>(item);
        std::memcpy(block.data(), &tag, sizeof(tag));
        ssize_t n = write(fd, block.data(), static_cast<size_t>(item));
        if (n != item) {
            std::printf("  write %d: %zd %s\n", item, n, std::strerror(errno));
            ok = false;
        }
    }
    ok = Mt(fd, MTREW, 1) && ok;
    close(fd);
    return ok;
}

std::string Name(uint32_t rc)
{
    switch (rc) {
    case ERROR_SUCCESS: return "success";
    case ERROR_FILEMARK_DETECTED: return "filemark";
    case ERROR_NO_DATA_DETECTED: return "no data";
    case ERROR_END_OF_MEDIA: return "end of media";
    case ERROR_MORE_DATA: return "more data";
    case ERROR_INVALID_BLOCK_LENGTH: return "invalid block length";
    case ERROR_CRC: return "data error";
    default: return "error " + std::to_string(rc);
    }
}

// scsi_debug's error injection (debugfs, kernels from 6.7): the drive's next `count` READ(6)
// commands fail with CHECK CONDITION, MEDIUM ERROR, unrecovered read error (11/00). The file
// is the device's own, named by its address (beside it are the targets' folders, which have
// none). False when this kernel has no such file.
bool InjectMediumErrors(const ScsiDevice& drive, int count)
{
    const std::string path = "/sys/kernel/debug/scsi_debug/" + std::to_string(drive.host) + ":" +
                             std::to_string(drive.channel) + ":" + std::to_string(drive.target) + ":" +
                             std::to_string(drive.lun) + "/error";
    int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return false;
    // type 2 (fail with sense), -count (that many times), READ(6), host and driver byte 0,
    // status 2, sense key 3, ASC 0x11, ASCQ 0
    const std::string rule = "2 " + std::to_string(-count) + " 0x08 0 0 0x2 0x3 0x11 0x0\n";
    const bool ok = write(fd, rule.data(), rule.size()) == static_cast<ssize_t>(rule.size());
    close(fd);
    return ok;
}

// Where the drive stands: READ POSITION (short form), the address of the next block or
// filemark from the beginning; -1 when the drive cannot say.
long DrivePosition(const ScsiDevice& drive)
{
    SgIoRequest request;
    request.node = drive.sgNode;
    request.cdb = {0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    request.direction = SgIoRequest::FromDevice;
    request.data.assign(20, 0);
    RunSgIo(request, RealStSystem());
    if (!request.Succeeded() || (request.data[0] & 0x04))  // BPU: position unknown
        return -1;
    return (long{request.data[4]} << 24) | (long{request.data[5]} << 16) | (long{request.data[6]} << 8) |
           request.data[7];
}

uint32_t SpaceBlocks(TapeDevice& tape, int64_t count)
{
    const auto raw = static_cast<uint64_t>(count);
    return tape.SetTapePosition(TAPE_SPACE_RELATIVE_BLOCKS, 0, static_cast<uint32_t>(raw),
                                static_cast<uint32_t>(raw >> 32), false);
}

// One fact as a line: its value, or "null" and the reason.
template <class T, class Show>
bool PrintFact(const char* name, const Fact<T>& fact, Show show)
{
    if (fact.value)
        std::printf("  %s: %s\n", name, show(*fact.value).c_str());
    else
        std::printf("  %s: null (%s)\n", name, fact.reason.c_str());
    return fact.value || !fact.reason.empty();
}

std::string CountersText(const Counters& counters)
{
    std::string text;
    for (const auto& [name, value] : counters)
        text += (text.empty() ? "" : " ") + name + "=" + std::to_string(value);
    return text.empty() ? "(none)" : text;
}

// The facts a session report gives of this drive, printed: each is a value or the reason
// there is none. Only what every drive gives is checked.
void CheckDriveFacts(const ScsiDevice& unit)
{
    DriveFacts facts;
    ReadLinuxDriveFacts(unit, "/sys", RealStSystem(), FactsMoment::SessionStart, facts);
    ReadLinuxDriveFacts(unit, "/sys", RealStSystem(), FactsMoment::SessionEnd, facts);
    auto text = [](const std::string& value) { return "'" + value + "'"; };
    auto number = [](uint32_t value) { return std::to_string(value); };
    // One line each, in this order.
    bool told = PrintFact("vendor", facts.vendor, text);
    told = PrintFact("product", facts.product, text) && told;
    told = PrintFact("revision", facts.revision, text) && told;
    told = PrintFact("serial number", facts.serialNumber, text) && told;
    told = PrintFact("block limits", facts.blockLimits, [](const BlockLimits& l) {
               return std::to_string(l.minimum) + ".." + std::to_string(l.maximum);
           }) && told;
    told = PrintFact("density code", facts.densityCode, number) && told;
    told = PrintFact("medium type", facts.mediumType, number) && told;
    told = PrintFact("write protected", facts.writeProtected, [](bool wp) { return std::string(wp ? "yes" : "no"); }) &&
           told;
    told = PrintFact("read errors before", facts.readErrorsBefore, CountersText) && told;
    told = PrintFact("read errors after", facts.readErrorsAfter, CountersText) && told;
    told = PrintFact("TapeAlert flags", facts.tapeAlertFlags, [](const std::vector<uint32_t>& flags) {
               std::string list;
               for (uint32_t flag : flags)
                   list += " " + std::to_string(flag);
               return list.empty() ? std::string("(none set)") : list;
           }) && told;
    told = PrintFact("st stats before", facts.driverStatsBefore, CountersText) && told;
    told = PrintFact("st stats after", facts.driverStatsAfter, CountersText) && told;
    Check(told, "every drive fact is a value or a reason");
    Check(facts.vendor.value && !facts.vendor.value->empty(), "the drive's vendor is known");
    Check(facts.blockLimits.value.has_value(), "READ BLOCK LIMITS answered for the facts");
}

} // namespace

int main()
{
    for (const ScsiDevice& d : EnumerateLinuxTapeDrives())
        std::printf("  drive %d:%d:%d:%d %s %s st=%s sg=%s\n", d.host, d.channel, d.target, d.lun,
                    d.vendor.c_str(), d.model.c_str(), d.stNode.c_str(), d.sgNode.c_str());
    Check(EnumerateLinuxTapeDrives().size() == 1, "one tape drive listed");
    Check(WriteTape(), "tape written through /dev/nst0");

    InstallLinuxTapeBackend();
    uint32_t error = 0;
    TapeDevicePtr tape = DeviceNamespace::OpenTape(0, error);
    Check(tape != nullptr, "TAPE0 opens (" + Name(error) + ")");
    if (!tape) {
        std::printf("ST_PROBE RESULT: FAIL\n");
        return 1;
    }
    uint32_t second = 0;
    bool refused = DeviceNamespace::OpenTape(0, second) == nullptr;
    Check(refused && second == ERROR_SHARING_VIOLATION,
          "second open is a sharing violation (" + Name(second) + ")");

    TAPE_GET_DRIVE_PARAMETERS drive;
    uint32_t rc = tape->GetDriveParameters(drive);
    std::printf("  block limits: min %u max %u features 0x%x\n", drive.MinimumBlockSize,
                drive.MaximumBlockSize, drive.FeaturesLow);
    Check(rc == ERROR_SUCCESS && (drive.FeaturesLow & TAPE_DRIVE_VARIABLE_BLOCK) &&
              drive.MaximumBlockSize >= 65536,
          "drive parameters: variable blocks (" + Name(rc) + ")");
    TAPE_SET_MEDIA_PARAMETERS set;
    set.BlockSize = 0;
    Check(tape->SetMediaParameters(set) == ERROR_SUCCESS, "variable block mode set");
    TAPE_GET_MEDIA_PARAMETERS media;
    rc = tape->GetMediaParameters(media);
    Check(rc == ERROR_SUCCESS && media.BlockSize == 0, "media block size 0 (" + Name(rc) + ")");
    Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "rewind");

    const uint32_t size = std::min<uint32_t>(drive.MaximumBlockSize, 1u << 20);
    std::vector<char> buffer(size);
    std::vector<int> seen;
    bool tagsOk = true;
    for (int guard = 0; guard < 40; ++guard) {
        uint32_t bytes = 0;
        rc = tape->Read(buffer.data(), size, bytes);
        if (rc == ERROR_SUCCESS) {
            uint32_t tag;
            std::memcpy(&tag, buffer.data(), sizeof(tag));
            tagsOk = tagsOk && tag == bytes;
            seen.push_back(static_cast<int>(bytes));
        } else if (rc == ERROR_FILEMARK_DETECTED) {
            seen.push_back(FM);
        } else {
            std::printf("  read ended: %s\n", Name(rc).c_str());
            break;
        }
    }
    std::string got;
    for (int item : seen)
        got += item == FM ? " FM" : " " + std::to_string(item);
    std::printf("  read:%s\n", got.c_str());
    Check(seen == kTape, "blocks and filemarks read back in order, the empty file included");
    Check(tagsOk, "every block starts with its length");
    Check(rc == ERROR_NO_DATA_DETECTED, "end of data after the last filemark (" + Name(rc) + ")");
    uint32_t bytes = 0;
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_NO_DATA_DETECTED, "read again at the end: still no data (" + Name(rc) + ")");

    Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "rewind again");
    rc = tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 2, 0, false);
    Check(rc == ERROR_SUCCESS, "space over two filemarks (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 32768, "third file's first block after spacing");

    rc = tape->Read(buffer.data(), 1000, bytes);
    Check(rc == ERROR_MORE_DATA, "block longer than the request: more data (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 32768, "next block read after the long one");

    rc = tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 5, 0, false);
    Check(rc == ERROR_NO_DATA_DETECTED, "spacing past the data: no data (" + Name(rc) + ")");

    // fixed blocks of 512: the second block of file 0 (10240 bytes) has another length; st
    // spaces back over it, so it is met again until read in variable mode
    Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "rewind for fixed blocks");
    set.BlockSize = 512;
    Check(tape->SetMediaParameters(set) == ERROR_SUCCESS, "fixed block mode of 512 set");
    rc = tape->Read(buffer.data(), 512, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 512, "fixed mode: the 512-byte block (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), 512, bytes);
    Check(rc == ERROR_INVALID_BLOCK_LENGTH, "fixed mode: block of another length (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), 512, bytes);
    Check(rc == ERROR_INVALID_BLOCK_LENGTH, "fixed mode: still before that block (" + Name(rc) + ")");
    set.BlockSize = 0;
    Check(tape->SetMediaParameters(set) == ERROR_SUCCESS, "variable block mode set again");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 10240, "the odd block read whole in variable mode");

    // spacing by records (MTFSR / MTBSR): file 2 holds three blocks of 32768
    Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "rewind for record spacing");
    Check(tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 2, 0, false) == ERROR_SUCCESS, "to file 2");
    rc = SpaceBlocks(*tape, 2);
    Check(rc == ERROR_SUCCESS, "two records forward (" + Name(rc) + ")");
    rc = SpaceBlocks(*tape, -1);
    Check(rc == ERROR_SUCCESS, "one record back (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 32768, "the second block again after one back (" + Name(rc) + ")");
    rc = SpaceBlocks(*tape, 5);
    Check(rc == ERROR_FILEMARK_DETECTED, "forward into the filemark: filemark (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 777, "just after that filemark (" + Name(rc) + ")");
    rc = SpaceBlocks(*tape, -1);
    Check(rc == ERROR_SUCCESS, "back over the file's one block, up to the filemark (" + Name(rc) + ")");
    rc = SpaceBlocks(*tape, -1);
    Check(rc == ERROR_FILEMARK_DETECTED, "one back from just after the filemark: filemark (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_FILEMARK_DETECTED, "just before that filemark (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_SUCCESS && bytes == 777, "and after it the file's block (" + Name(rc) + ")");
    // the filemark as the last record of the count (scsi_debug passes it without a word)
    rc = SpaceBlocks(*tape, -2);
    Check(rc == ERROR_FILEMARK_DETECTED, "back over the block into the filemark: filemark (" + Name(rc) + ")");
    rc = tape->Read(buffer.data(), size, bytes);
    Check(rc == ERROR_FILEMARK_DETECTED, "just before that filemark (" + Name(rc) + ")");

    // A medium error on a read is a data error, and a drive moves past a block it gave up
    // on. scsi_debug's injection answers the READ itself, before its tape emulation runs
    // (sdebug_fail_cmd: schedule_resp(cmnd, devip, result, NULL, 0, 0), no response
    // function), so its tape stays before the block: the drive's own position says which
    // kind of drive this is, and only the checks that hold for it are made.
    const ScsiDevice unit = EnumerateLinuxTapeDrives().front();
    Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "rewind for a medium error");
    if (InjectMediumErrors(unit, 1)) {
        const long before = DrivePosition(unit);
        rc = tape->Read(buffer.data(), size, bytes);
        Check(rc == ERROR_CRC && bytes == 0, "injected medium error reads as a data error (" + Name(rc) + ")");
        const long after = DrivePosition(unit);
        std::printf("  drive position %ld before the failed read, %ld after it\n", before, after);
        if (before >= 0 && after == before + 1) {
            rc = tape->Read(buffer.data(), size, bytes);
            Check(rc == ERROR_SUCCESS && bytes == 10240, "after the bad block: the next block (" + Name(rc) + ")");
            rc = SpaceBlocks(*tape, -2);
            Check(rc == ERROR_SUCCESS, "two back: before the bad block (" + Name(rc) + ")");
            Check(InjectMediumErrors(unit, 1), "medium error armed again");
            rc = tape->Read(buffer.data(), size, bytes);
            Check(rc == ERROR_CRC, "the bad block read again: a data error again (" + Name(rc) + ")");
            rc = tape->Read(buffer.data(), size, bytes);
            Check(rc == ERROR_SUCCESS && bytes == 10240, "passed over: the next block (" + Name(rc) + ")");
        } else {
            Check(before >= 0 && after == before, "the backend moved nothing of its own after the data error");
            rc = tape->Read(buffer.data(), size, bytes);
            Check(rc == ERROR_SUCCESS && bytes == 512, "the block the drive stands before reads (" + Name(rc) + ")");
            std::printf("SKIP: this drive stays before a block it failed to read (scsi_debug answers an "
                        "injected READ without moving its tape): the position after a bad block, and "
                        "reading it again after spacing back one, are not checked\n");
        }

        // Too many bad blocks in a row: the rest of the file is spaced over, and the next
        // file is where it should be although st has lost count of the blocks.
        Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "rewind for bad blocks in a row");
        Check(tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 2, 0, false) == ERROR_SUCCESS, "to file 2 again");
        Check(InjectMediumErrors(unit, 2), "two medium errors armed");
        int errors = 0;
        for (int n = 0; n < 2; ++n)
            errors += tape->Read(buffer.data(), size, bytes) == ERROR_CRC ? 1 : 0;
        Check(errors == 2, "two data errors in a row (" + std::to_string(errors) + ")");
        rc = tape->SetTapePosition(TAPE_SPACE_FILEMARKS, 0, 1, 0, false);
        Check(rc == ERROR_SUCCESS, "the rest of the file spaced over (" + Name(rc) + ")");
        rc = tape->Read(buffer.data(), size, bytes);
        Check(rc == ERROR_SUCCESS && bytes == 777, "the next file's block after it (" + Name(rc) + ")");
    } else {
        std::printf("SKIP: no scsi_debug error injection in this kernel (no debugfs file "
                    "scsi_debug/%d:%d:%d:%d/error)\n", unit.host, unit.channel, unit.target, unit.lun);
    }

    CheckDriveFacts(unit);
    Check(tape->SetTapePosition(TAPE_REWIND, 0, 0, 0, false) == ERROR_SUCCESS, "final rewind");
    rc = tape->PrepareTape(TAPE_UNLOAD, false);
    std::printf("  unload: %s\n", Name(rc).c_str());
    tape.reset();

    std::printf("ST_PROBE RESULT: %s (%d failed)\n", g_failures ? "FAIL" : "PASS", g_failures);
    return g_failures ? 1 : 0;
}
