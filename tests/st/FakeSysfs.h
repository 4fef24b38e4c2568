// A sysfs tree laid out the way the kernel lays out its SCSI devices, their st and sg class
// entries, st's module parameters and statistics.
#pragma once
#include "tests/common/TestSupport.h"

#include <filesystem>
#include <map>
#include <string>

class FakeSysfs {
public:
    using path = std::filesystem::path;

    const std::string& root() const { return m_dir.path(); }

    // One SCSI device; stIndex / sgIndex < 0 when that driver has not bound it.
    void AddDevice(int h, int c, int t, int l, int type, const std::string& vendor,
                   const std::string& model, int stIndex, int sgIndex)
    {
        const std::string hctl = std::to_string(h) + ":" + std::to_string(c) + ":" +
                                 std::to_string(t) + ":" + std::to_string(l);
        const path rel = path("devices/pci0000:00/0000:00:10.0") / ("host" + std::to_string(h)) /
                         ("target" + std::to_string(h) + ":" + std::to_string(c) + ":" + std::to_string(t)) / hctl;
        const path dev = path(root()) / rel;
        std::filesystem::create_directories(dev);
        WriteWholeFile((dev / "type").string(), std::to_string(type) + "\n");
        WriteWholeFile((dev / "vendor").string(), vendor + "\n");
        WriteWholeFile((dev / "model").string(), model + "\n");
        if (stIndex >= 0) {
            // st makes sixteen nodes per drive; only "stN" names the drive.
            const std::string n = std::to_string(stIndex);
            for (std::string name : {"st" + n, "nst" + n, "st" + n + "a", "nst" + n + "l"}) {
                std::filesystem::create_directories(dev / "scsi_tape" / name);
                std::filesystem::create_symlink("../../../" + hctl, dev / "scsi_tape" / name / "device");
                Link("class/scsi_tape/" + name, rel / "scsi_tape" / name);
            }
        }
        if (sgIndex >= 0) {
            const std::string name = "sg" + std::to_string(sgIndex);
            std::filesystem::create_directories(dev / "scsi_generic" / name);
            std::filesystem::create_symlink("../../../" + hctl, dev / "scsi_generic" / name / "device");
            Link("class/scsi_generic/" + name, rel / "scsi_generic" / name);
        }
    }

    // st's statistics of drive stIndex, file by file (name, content).
    void AddStStats(int stIndex, const std::map<std::string, std::string>& files)
    {
        const path stats = path(root()) / "class/scsi_tape" / ("nst" + std::to_string(stIndex)) / "stats";
        std::filesystem::create_directories(stats);
        for (const auto& [name, content] : files)
            WriteWholeFile((stats / name).string(), content);
    }

    void SetMaxSgSegs(const std::string& value)
    {
        std::filesystem::create_directories(path(root()) / "module/st/parameters");
        WriteWholeFile(root() + "/module/st/parameters/max_sg_segs", value);
    }

private:
    // class/x/name -> ../../<target>, as the kernel's class links are made
    void Link(const std::string& at, const path& target)
    {
        path link = path(root()) / at;
        std::filesystem::create_directories(link.parent_path());
        std::filesystem::create_symlink(path("../..") / target, link);
    }

    TempDir m_dir;
};
