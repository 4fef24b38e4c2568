#include "platform/linux/DriveFacts.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/linux/ScsiSense.h"
#include "platform/linux/SgIo.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kReadBlockLimits = 0x05;
constexpr uint8_t kModeSense6 = 0x1A;
constexpr uint8_t kLogSense = 0x4D;
constexpr uint8_t kVpdUnitSerialNumber = 0x80;
constexpr uint8_t kLogPageReadErrors = 0x03;
constexpr uint8_t kLogPageTapeAlert = 0x2E;
constexpr uint8_t kLogCumulativeValues = 0x40;  // page control 01b
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kSenseKeyRecoveredError = 0x1;
constexpr uint32_t kFactsTimeoutMs = 30000;
constexpr uint16_t kLogAllocation = 4096;

// The counters of the read error page by their parameter codes; others are named by code.
const char* const kReadErrorNames[] = {
    "corrected_without_delay",         // 0000h
    "corrected_with_delay",            // 0001h
    "total_rereads",                   // 0002h
    "total_corrected",                 // 0003h
    "correction_algorithm_processed",  // 0004h
    "bytes_processed",                 // 0005h
    "uncorrected",                     // 0006h
};

// st's statistics, as its sysfs folder names them; those a kernel has are read.
const char* const kStStatNames[] = {"read_byte_cnt", "read_cnt", "read_ns", "write_byte_cnt", "write_cnt",
                                    "write_ns", "other_cnt", "resid_cnt", "in_flight", "io_ns"};

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

const char* SenseKeyName(uint8_t key)
{
    static const char* const names[] = {"no sense", "recovered error", "not ready", "medium error",
                                        "hardware error", "illegal request", "unit attention", "data protect",
                                        "blank check", "vendor specific", "copy aborted", "aborted command",
                                        "reserved", "volume overflow", "miscompare", "completed"};
    return names[key & 0x0F];
}

// Bytes of an answer as text: ASCII fields are padded with blanks (serial numbers on
// either side) and sometimes with NULs.
std::string FieldText(const std::vector<uint8_t>& data, size_t from, size_t length)
{
    if (from >= data.size())
        return {};
    length = std::min(length, data.size() - from);
    std::string text(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(from + length));
    auto blank = [](char c) { return c == ' ' || c == '\0'; };
    while (!text.empty() && blank(text.back()))
        text.pop_back();
    const size_t first = std::find_if_not(text.begin(), text.end(), blank) - text.begin();
    return text.substr(first);
}

// What the drive answered to one command: the bytes it sent, or why there are none.
struct Answer {
    bool ok = false;
    std::vector<uint8_t> data;
    std::string reason;
};

// The drive's generic node, open for the commands of one moment.
class SgNode {
public:
    SgNode(StSystem& system, const std::string& node) : m_sys(system)
    {
        if (node.empty()) {
            m_strReason = "the drive has no SCSI generic (sg) node";
            return;
        }
        int fd = system.Open(node, O_RDWR | O_NONBLOCK);
        if (fd == -EACCES || fd == -EROFS)
            fd = system.Open(node, O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            m_strReason = node + " cannot be opened: " + FailureReason(fd == -ENOENT ? ERROR_FILE_NOT_FOUND
                                                                                    : ErrorFromErrno(-fd));
        else
            m_fd = UniqueFd(fd, &system);
    }

    Answer Ask(const std::string& what, std::vector<uint8_t> cdb, size_t length)
    {
        Answer answer;
        if (!m_fd.valid()) {
            answer.reason = m_strReason;
            return answer;
        }
        SgIoRequest request;
        // A unit attention (tape changed, bus reset) is reported once; ask again after it.
        for (int attempt = 0; attempt < 2; ++attempt) {
            request = {};
            request.cdb = cdb;
            request.direction = SgIoRequest::FromDevice;
            request.data.assign(length, 0);
            request.timeoutMs = kFactsTimeoutMs;
            SendScsiCommand(m_sys, m_fd.get(), request);
            if (request.error != 0 || !IsUnitAttention(request))
                break;
        }
        const ScsiSense sense = request.status == kStatusCheckCondition
                                    ? DecodeSense(request.sense.data(), request.sense.size())
                                    : ScsiSense{};
        const bool recovered = request.error == 0 && request.hostStatus == 0 && sense.valid &&
                               sense.key == kSenseKeyRecoveredError;
        if (request.Succeeded() || recovered) {
            const size_t received = request.residual > 0 && static_cast<size_t>(request.residual) < length
                                        ? length - static_cast<size_t>(request.residual)
                                        : request.residual > 0 ? 0 : length;
            request.data.resize(received);
            answer.ok = true;
            answer.data = std::move(request.data);
        } else if (request.error != 0) {
            answer.reason = what + " could not be sent: " + FailureReason(ErrorFromErrno(request.error));
        } else if (request.hostStatus != 0) {
            answer.reason = what + " failed in the host adapter (host status " + Hex(request.hostStatus, 2) + ")";
        } else if (sense.valid) {
            answer.reason = what + " was refused: " + SenseKeyName(sense.key) + " (ASC " + Hex(sense.asc, 2) +
                            ", ASCQ " + Hex(sense.ascq, 2) + ")";
        } else if (request.status != 0) {
            answer.reason = what + " failed with SCSI status " + Hex(request.status, 2);
        } else {
            answer.reason = what + " failed in the driver (driver status " + Hex(request.driverStatus, 2) + ")";
        }
        return answer;
    }

private:
    StSystem& m_sys;
    UniqueFd m_fd;
    std::string m_strReason;
};

std::string TooShort(const std::string& what, size_t received)
{
    return what + ": the drive's answer is too short (" + std::to_string(received) + " bytes)";
}

void ReadInquiry(SgNode& sg, const ScsiDevice& drive, DriveFacts& facts)
{
    const std::string what = "INQUIRY";
    Answer answer = sg.Ask(what, {kInquiry, 0, 0, 0, 96, 0}, 96);
    // Not every adapter reports a short transfer: the data's own length (byte 4 gives what
    // follows it) bounds the fields too.
    const size_t received = answer.data.size() >= 5 ? std::min(answer.data.size(), size_t{answer.data[4]} + 5) : 0;
    struct Field {
        Fact<std::string>& fact;
        size_t from, length;
        const std::string& scanned;  // what the kernel's own scan read, in sysfs
    };
    for (const Field& field : {Field{facts.vendor, 8, 8, drive.vendor}, Field{facts.product, 16, 16, drive.model},
                               Field{facts.revision, 32, 4, drive.revision}}) {
        if (answer.ok && received >= field.from + field.length)
            field.fact.Set(FieldText(answer.data, field.from, field.length));
        else if (!field.scanned.empty())  // the same data, as the kernel asked for it at its scan
            field.fact.Set(field.scanned);
        else
            field.fact.Fail(answer.ok ? TooShort(what, received) : answer.reason);
    }
}

void ReadSerialNumber(SgNode& sg, DriveFacts& facts)
{
    const std::string what = "INQUIRY of the unit serial number page";
    Answer answer = sg.Ask(what, {kInquiry, 0x01, kVpdUnitSerialNumber, 0, 252, 0}, 252);
    if (!answer.ok)
        return facts.serialNumber.Fail(answer.reason);
    const std::vector<uint8_t>& data = answer.data;
    if (data.size() < 4)
        return facts.serialNumber.Fail(TooShort(what, data.size()));
    if (data[1] != kVpdUnitSerialNumber)
        return facts.serialNumber.Fail(what + ": the drive answered with page " + Hex(data[1], 2));
    const size_t length = (size_t{data[2]} << 8) | data[3];
    if (data.size() < 4 + length)
        return facts.serialNumber.Fail(TooShort(what, data.size()));
    std::string serial = FieldText(data, 4, length);
    if (serial.empty())
        return facts.serialNumber.Fail(what + ": the drive gives an empty serial number");
    facts.serialNumber.Set(serial);
}

void ReadBlockLimits(SgNode& sg, DriveFacts& facts)
{
    const std::string what = "READ BLOCK LIMITS";
    Answer answer = sg.Ask(what, {kReadBlockLimits, 0, 0, 0, 0, 0}, 6);
    if (!answer.ok)
        return facts.blockLimits.Fail(answer.reason);
    const std::vector<uint8_t>& d = answer.data;
    if (d.size() < 6)
        return facts.blockLimits.Fail(TooShort(what, d.size()));
    BlockLimits limits;
    limits.maximum = (uint32_t{d[1]} << 16) | (uint32_t{d[2]} << 8) | d[3];
    limits.minimum = (uint32_t{d[4]} << 8) | d[5];
    facts.blockLimits.Set(limits);
}

// The mode parameter header and the block descriptor, without a page.
void ReadModeSense(SgNode& sg, DriveFacts& facts)
{
    const std::string what = "MODE SENSE(6)";
    Answer answer = sg.Ask(what, {kModeSense6, 0, 0, 0, 12, 0}, 12);
    const std::vector<uint8_t>& d = answer.data;
    if (!answer.ok || d.size() < 4) {
        const std::string why = answer.ok ? TooShort(what, d.size()) : answer.reason;
        facts.mediumType.Fail(why);
        facts.writeProtected.Fail(why);
        facts.densityCode.Fail(why);
        return;
    }
    facts.mediumType.Set(d[1]);
    facts.writeProtected.Set((d[2] & 0x80) != 0);
    if (d[3] < 8 || d.size() < 12)
        facts.densityCode.Fail(what + ": the drive gives no block descriptor");
    else
        facts.densityCode.Set(d[4]);
}

// The parameters of a log page as (code, value); a value longer than 8 bytes is left out.
bool ReadLogPage(SgNode& sg, uint8_t page, std::vector<std::pair<uint16_t, uint64_t>>& parameters,
                 std::string& reason)
{
    const std::string what = "LOG SENSE of page " + Hex(page, 2);
    Answer answer = sg.Ask(what, {kLogSense, 0, static_cast<uint8_t>(kLogCumulativeValues | page), 0, 0, 0, 0,
                                  static_cast<uint8_t>(kLogAllocation >> 8), static_cast<uint8_t>(kLogAllocation & 0xFF), 0},
                           kLogAllocation);
    if (!answer.ok) {
        reason = answer.reason;
        return false;
    }
    const std::vector<uint8_t>& d = answer.data;
    if (d.size() < 4) {
        reason = TooShort(what, d.size());
        return false;
    }
    if ((d[0] & 0x3F) != page) {
        reason = what + ": the drive answered with page " + Hex(d[0] & 0x3F, 2);
        return false;
    }
    const size_t end = std::min(d.size(), 4 + ((size_t{d[2]} << 8) | d[3]));
    parameters.clear();
    for (size_t at = 4; at + 4 <= end;) {
        const uint16_t code = static_cast<uint16_t>((d[at] << 8) | d[at + 1]);
        const size_t length = d[at + 3];
        if (at + 4 + length > end)
            break;  // cut off by the allocation: only whole parameters count
        if (length <= 8) {
            uint64_t value = 0;
            for (size_t i = 0; i < length; ++i)
                value = (value << 8) | d[at + 4 + i];
            parameters.emplace_back(code, value);
        }
        at += 4 + length;
    }
    return true;
}

void ReadErrorCounters(SgNode& sg, Fact<Counters>& fact)
{
    std::vector<std::pair<uint16_t, uint64_t>> parameters;
    std::string reason;
    if (!ReadLogPage(sg, kLogPageReadErrors, parameters, reason))
        return fact.Fail(reason);
    Counters counters;
    for (const auto& [code, value] : parameters)
        counters.emplace_back(code < std::size(kReadErrorNames) ? kReadErrorNames[code] : "parameter_" + Hex(code, 4),
                              value);
    fact.Set(counters);
}

void ReadTapeAlerts(SgNode& sg, DriveFacts& facts)
{
    std::vector<std::pair<uint16_t, uint64_t>> parameters;
    std::string reason;
    if (!ReadLogPage(sg, kLogPageTapeAlert, parameters, reason))
        return facts.tapeAlertFlags.Fail(reason);
    std::vector<uint32_t> set;
    for (const auto& [code, value] : parameters)
        if (code >= 1 && code <= 64 && (value & 1) != 0)
            set.push_back(code);
    std::sort(set.begin(), set.end());
    facts.tapeAlertFlags.Set(set);
}

void ReadStStats(const ScsiDevice& drive, const std::string& sysfsRoot, Fact<Counters>& fact)
{
    if (drive.stNode.empty())
        return fact.Fail("the st driver has not bound the drive");
    const std::string name = std::filesystem::path(drive.stNode).filename().string();
    const std::string folder = sysfsRoot + "/class/scsi_tape/" + name + "/stats";
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        return fact.Fail("st gives no statistics (no folder " + folder + ")");
    Counters counters;
    for (const char* stat : kStStatNames) {
        std::ifstream in(folder + "/" + stat);
        unsigned long long value = 0;
        if (in >> value)
            counters.emplace_back(stat, value);
    }
    if (counters.empty())
        return fact.Fail("none of st's statistics could be read in " + folder);
    fact.Set(counters);
}

} // namespace

void ReadLinuxDriveFacts(const ScsiDevice& drive, const std::string& sysfsRoot, StSystem& system,
                         FactsMoment moment, DriveFacts& facts)
{
    SgNode sg(system, drive.sgNode);
    if (moment == FactsMoment::SessionStart) {
        ReadInquiry(sg, drive, facts);
        ReadSerialNumber(sg, facts);
        ReadBlockLimits(sg, facts);
        ReadModeSense(sg, facts);
        ReadErrorCounters(sg, facts.readErrorsBefore);
        ReadStStats(drive, sysfsRoot, facts.driverStatsBefore);
    } else {
        ReadErrorCounters(sg, facts.readErrorsAfter);
        ReadTapeAlerts(sg, facts);
        ReadStStats(drive, sysfsRoot, facts.driverStatsAfter);
    }
}

DeviceNamespace::FactsReader MakeLinuxFactsReader(std::string sysfsRoot, StSystem& system)
{
    return [root = std::move(sysfsRoot), &system](int index, FactsMoment moment, DriveFacts& facts) {
        std::vector<ScsiDevice> drives = EnumerateLinuxTapeDrives(root);
        if (index < 0 || static_cast<size_t>(index) >= drives.size())
            return FailDriveFacts(facts, moment, "the drive is no longer in the list of tape drives");
        ReadLinuxDriveFacts(drives[static_cast<size_t>(index)], root, system, moment, facts);
    };
}
