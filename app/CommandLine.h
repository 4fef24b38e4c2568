// The window program's command line: the drive options (tape images for the virtual
// drives and their block sizes) and --help.
#pragma once
#include "frontend/DriveOptions.h"

#include <string>
#include <vector>

struct CommandLineOptions : DriveOptions {
    bool help = false;
};

// False with error set on an unknown option, a missing or bad value.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions& options, std::string& error);
std::string CommandLineUsage(const std::string& program);
