#include "aspi/LinuxScsiTopology.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace fs = std::filesystem;

namespace {

std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The st driver names the device st<N> under device/scsi_tape/ (older kernels: an entry
// "scsi_tape:st<N>" in the device directory). We open the no-rewind node.
std::string FindTapeNode(const fs::path& device)
{
    std::error_code ec;
    std::vector<std::string> names;
    if (fs::is_directory(device / "scsi_tape", ec)) {
        for (const auto& entry : fs::directory_iterator(device / "scsi_tape", ec))
            names.push_back(entry.path().filename().string());
    }
    for (const auto& entry : fs::directory_iterator(device, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("scsi_tape:", 0) == 0)
            names.push_back(name.substr(10));
    }
    for (const auto& name : names) {
        if (name.size() > 2 && name.compare(0, 2, "st") == 0 && AllDigits(name.substr(2)))
            return "/dev/nst" + name.substr(2);
    }
    return {};
}

} // namespace

std::vector<ScsiDeviceInfo> EnumerateScsiDevices(const std::string& sysfsRoot)
{
    std::vector<ScsiDeviceInfo> devices;
    std::error_code ec;
    const fs::path classDir = fs::path(sysfsRoot) / "class" / "scsi_generic";
    for (const auto& entry : fs::directory_iterator(classDir, ec)) {
        const std::string sgName = entry.path().filename().string();
        if (sgName.size() < 3 || sgName.compare(0, 2, "sg") != 0 || !AllDigits(sgName.substr(2)))
            continue;
        // device links to the SCSI device's own directory, named host:channel:target:lun.
        std::error_code linkError;
        const fs::path device = fs::canonical(entry.path() / "device", linkError);
        if (linkError)
            continue;
        ScsiDeviceInfo info;
        char tail = 0;
        if (std::sscanf(device.filename().c_str(), "%d:%d:%d:%d%c", &info.host, &info.channel,
                        &info.target, &info.lun, &tail) != 4)
            continue;
        const std::string type = ReadAttribute(device / "type");
        if (AllDigits(type))
            info.type = std::stoi(type);
        info.vendor = ReadAttribute(device / "vendor");
        info.model = ReadAttribute(device / "model");
        info.revision = ReadAttribute(device / "rev");
        info.sgNode = "/dev/" + sgName;
        info.stNode = FindTapeNode(device);
        devices.push_back(std::move(info));
    }
    std::sort(devices.begin(), devices.end(), [](const ScsiDeviceInfo& a, const ScsiDeviceInfo& b) {
        return std::tie(a.host, a.channel, a.target, a.lun) < std::tie(b.host, b.channel, b.target, b.lun);
    });
    return devices;
}
