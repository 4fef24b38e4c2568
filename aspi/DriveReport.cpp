#include "aspi/DriveReport.h"

#include "aspi/ReAspiManager.h"

#include <cstdio>

std::string DescribeTapeDrives(ReAspiManager& aspi)
{
    if (!aspi.m_bInitialized)
        return "ASPI did not initialize\n";

    std::string text = "ASPI initialized\n";
    aspi.Rescan();
    if (aspi.m_devices.empty())
        return text + "Tape drives not found.\n\n";

    text += "Following tape drives found:\n";
    for (const AspiDevice& device : aspi.m_devices) {
        char line[128];
        std::snprintf(line, sizeof line, "\t[%d:%d] -- %s -- %s\n", device.nHostAdapter,
                      device.nTarget, device.szVendor, device.szProduct);
        text += line;
    }
    return text + "\n";
}
