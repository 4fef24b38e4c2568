#include "aspi/LinuxScsiTopology.h"

namespace {

constexpr size_t kTargetsPerAdapter = 16;

} // namespace

std::vector<AspiAdapterLayout> FoldIntoAdapters(const std::vector<ScsiDevice>& devices)
{
    std::vector<AspiAdapterLayout> adapters;
    size_t first = 0;
    while (first < devices.size()) {
        size_t end = first;
        bool plain = true;          // every unit at LUN 0 with a target id below 16
        bool wide = false;
        while (end < devices.size() && devices[end].host == devices[first].host &&
               devices[end].channel == devices[first].channel) {
            plain = plain && devices[end].lun == 0 && devices[end].target >= 0 &&
                    devices[end].target < static_cast<int>(kTargetsPerAdapter);
            wide = wide || devices[end].target > 7;
            ++end;
        }
        if (plain) {
            AspiAdapterLayout adapter;
            adapter.maxTargets = wide ? 16 : 8;
            adapter.unit.fill(-1);
            for (size_t i = first; i < end; ++i)
                adapter.unit[static_cast<size_t>(devices[i].target)] = static_cast<int>(i);
            adapters.push_back(adapter);
        } else {
            for (size_t i = first; i < end; ++i) {
                const size_t rank = i - first;
                if (rank % kTargetsPerAdapter == 0) {
                    adapters.emplace_back();
                    adapters.back().maxTargets = kTargetsPerAdapter;
                    adapters.back().unit.fill(-1);
                }
                adapters.back().unit[rank % kTargetsPerAdapter] = static_cast<int>(i);
            }
        }
        first = end;
    }
    return adapters;
}
