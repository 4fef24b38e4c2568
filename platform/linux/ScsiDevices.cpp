#include "platform/linux/ScsiDevices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <tuple>

namespace fs = std::filesystem;

namespace {

using ScanKey = std::tuple<int, int, int, int>;  // host, channel, target, lun

// The two drivers whose nodes a device is listed by, and the node each gives it.
struct Driver {
    const char* subsystem;   // sysfs class
    const char* prefix;      // its devices are prefix + number
    const char* nodePath;    // the node to open is nodePath + name ("/dev/n": no rewind)
    std::string ScsiDevice::*node;
};
const Driver kDrivers[] = {
    {"scsi_tape", "st", "/dev/n", &ScsiDevice::stNode},
    {"scsi_generic", "sg", "/dev/", &ScsiDevice::sgNode},
};

std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back())))
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

ScsiDevice DeviceAt(const ScanKey& key, const fs::path& deviceDir)
{
    ScsiDevice device;
    std::tie(device.host, device.channel, device.target, device.lun) = key;
    device.vendor = ReadAttribute(deviceDir / "vendor");
    device.model = ReadAttribute(deviceDir / "model");
    device.revision = ReadAttribute(deviceDir / "rev");
    for (const Driver& driver : kDrivers) {
        if (std::string name = BoundName(deviceDir, driver.subsystem, driver.prefix); !name.empty())
            device.*driver.node = driver.nodePath + name;
    }
    const std::string type = ReadAttribute(deviceDir / "type");
    if (!type.empty() && type.size() < 4 && std::all_of(type.begin(), type.end(), ::isdigit))
        device.type = std::stoi(type);
    return device;
}

} // namespace

std::vector<ScsiDevice> EnumerateScsiDevices(const std::string& sysfsRoot)
{
    std::map<ScanKey, ScsiDevice> byScanOrder;
    const fs::path root(sysfsRoot);
    for (const Driver& driver : kDrivers) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(root / "class" / driver.subsystem, ec)) {
            const std::string name = entry.path().filename().string();
            if (!IsNumberedName(name, driver.prefix))
                continue;
            fs::path deviceDir;
            ScanKey key;
            if (!DeviceOf(entry.path(), deviceDir, key))
                continue;
            auto it = byScanOrder.find(key);
            if (it == byScanOrder.end())
                it = byScanOrder.emplace(key, DeviceAt(key, deviceDir)).first;
            // The class entry names the node even where the device directory does not.
            std::string& node = it->second.*driver.node;
            if (node.empty())
                node = driver.nodePath + name;
        }
    }
    std::vector<ScsiDevice> devices;
    devices.reserve(byScanOrder.size());
    for (auto& [key, device] : byScanOrder) {
        if (device.type == kScsiTypeUnknown && !device.stNode.empty())
            device.type = kScsiTypeSequentialAccess;  // st binds nothing else
        devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<ScsiDevice> EnumerateLinuxTapeDrives(const std::string& sysfsRoot)
{
    std::vector<ScsiDevice> drives = EnumerateScsiDevices(sysfsRoot);
    std::erase_if(drives, [](const ScsiDevice& device) { return !IsTapeDrive(device); });
    return drives;
}
