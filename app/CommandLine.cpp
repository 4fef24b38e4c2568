#include "app/CommandLine.h"

#include "frontend/CommandLineItems.h"

bool ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions& options, std::string& error)
{
    CommandLineItems line;
    if (!SplitCommandLine(args, DriveOptionNames(), false, line, error))
        return false;
    for (const std::string& arg : line.unknown) {
        if (arg != "--help" && arg != "-h") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        options.help = true;
    }
    for (const CommandLineItem& item : line.items)
        if (!TakeDriveOption(item.name, item.value, options, error))
            return false;
    return true;
}

std::string CommandLineUsage(const std::string& program)
{
    return "Usage: " + program + " [--tape-image FILE]... [--image-format FORMAT] [--fixed-block-size N]\n"
           "       [--max-block-size N]\n"
           "\n"
           "  --tape-image FILE       a tape image as a virtual drive; repeat for TAPE1, TAPE2, ...\n"
           "                          (without images TAPEn are the machine's tape drives)\n"
           "  --image-format FORMAT   read the images as simh, e11, aws, het or tpc (default: the\n"
           "                          format each one's content shows)\n"
           "  --fixed-block-size N    the virtual drives read fixed blocks of N bytes only\n"
           "  --max-block-size N      largest block the virtual drives read (default 16777215)\n"
           "  --help                  this text\n";
}
