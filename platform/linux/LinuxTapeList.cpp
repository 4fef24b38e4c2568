#include "platform/linux/LinuxTapeList.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

namespace fs = std::filesystem;

namespace {

using ScanKey = std::tuple<int, int, int, int>;  // host, channel, target, lun

constexpr int kSequentialAccess = 1;
constexpr uint64_t kStMaxPagesPerSegment = 64;  // st's largest buffer page order is 6
constexpr uint32_t kDefaultMaxSgSegs = 256;

std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

// "stN", "sgN": a name made of prefix and a number, nothing else (this skips nst0, st0a, ...).
bool IsNumberedName(const std::string& name, const std::string& prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

bool ParseScanKey(const std::string& name, ScanKey& key)
{
    int h, c, t, l, used = 0;
    if (std::sscanf(name.c_str(), "%d:%d:%d:%d%n", &h, &c, &t, &l, &used) != 4 ||
        static_cast<size_t>(used) != name.size())
        return false;
    key = {h, c, t, l};
    return true;
}

// The SCSI device directory ("H:C:T:L") that a class entry's "device" link leads to.
bool DeviceOf(const fs::path& classEntry, fs::path& deviceDir, ScanKey& key)
{
    std::error_code ec;
    deviceDir = fs::canonical(classEntry / "device", ec);
    return !ec && ParseScanKey(deviceDir.filename().string(), key);
}

// The node of the given driver ("scsi_tape"/"st", "scsi_generic"/"sg") bound to a SCSI
// device: a subdirectory holding "stN", or in older kernels a link "scsi_tape:stN".
std::string BoundName(const fs::path& deviceDir, const std::string& subsystem,
                      const std::string& prefix)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(deviceDir / subsystem, ec)) {
        std::string name = entry.path().filename().string();
        if (IsNumberedName(name, prefix))
            return name;
    }
    const std::string legacy = subsystem + ":";
    for (const auto& entry : fs::directory_iterator(deviceDir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, legacy.size(), legacy) == 0 &&
            IsNumberedName(name.substr(legacy.size()), prefix))
            return name.substr(legacy.size());
    }
    return {};
}

LinuxTapeDrive DriveAt(const ScanKey& key, const fs::path& deviceDir)
{
    LinuxTapeDrive drive;
    std::tie(drive.host, drive.channel, drive.target, drive.lun) = key;
    drive.vendor = ReadAttribute(deviceDir / "vendor");
    drive.model = ReadAttribute(deviceDir / "model");
    if (std::string st = BoundName(deviceDir, "scsi_tape", "st"); !st.empty())
        drive.stNode = "/dev/n" + st;
    if (std::string sg = BoundName(deviceDir, "scsi_generic", "sg"); !sg.empty())
        drive.sgNode = "/dev/" + sg;
    return drive;
}

} // namespace

std::vector<LinuxTapeDrive> EnumerateLinuxTapeDrives(const std::string& sysfsRoot)
{
    std::map<ScanKey, LinuxTapeDrive> byScanOrder;
    std::error_code ec;
    const fs::path root(sysfsRoot);

    for (const auto& entry : fs::directory_iterator(root / "class" / "scsi_tape", ec)) {
        if (!IsNumberedName(entry.path().filename().string(), "st"))
            continue;
        fs::path deviceDir;
        ScanKey key;
        if (DeviceOf(entry.path(), deviceDir, key))
            byScanOrder.try_emplace(key, DriveAt(key, deviceDir));
    }
    // Sequential-access devices that st has not bound keep their place in the list.
    for (const auto& entry : fs::directory_iterator(root / "class" / "scsi_generic", ec)) {
        if (!IsNumberedName(entry.path().filename().string(), "sg"))
            continue;
        fs::path deviceDir;
        ScanKey key;
        if (!DeviceOf(entry.path(), deviceDir, key) || byScanOrder.count(key))
            continue;
        if (ReadAttribute(deviceDir / "type") == std::to_string(kSequentialAccess))
            byScanOrder.emplace(key, DriveAt(key, deviceDir));
    }

    std::vector<LinuxTapeDrive> drives;
    drives.reserve(byScanOrder.size());
    for (auto& [key, drive] : byScanOrder)
        drives.push_back(std::move(drive));
    return drives;
}

uint32_t StTransferLimit(const std::string& sysfsRoot)
{
    uint64_t segments = kDefaultMaxSgSegs;
    std::string value = ReadAttribute(fs::path(sysfsRoot) / "module/st/parameters/max_sg_segs");
    if (!value.empty()) {
        char* end = nullptr;
        unsigned long parsed = std::strtoul(value.c_str(), &end, 10);
        if (end && *end == '\0' && parsed > 0)
            segments = parsed;
    }
    long page = sysconf(_SC_PAGESIZE);
    uint64_t limit = segments * kStMaxPagesPerSegment * static_cast<uint64_t>(page > 0 ? page : 4096);
    return static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX));
}
