// The window program's command line: tape images for the virtual drives and their options.
#pragma once
#include "platform/DeviceNamespace.h"

#include <string>
#include <vector>

struct CommandLineOptions {
    std::vector<std::string> tapeImages;
    VirtualDriveOptions driveOptions;
    bool help = false;
};

// False with error set on an unknown option, a missing or bad value.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions& options, std::string& error);
std::string CommandLineUsage(const std::string& program);
