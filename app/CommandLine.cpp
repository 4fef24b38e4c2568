#include "app/CommandLine.h"

#include <charconv>

namespace {

bool ParseSize(const std::string& text, uint32_t low, uint32_t high, uint32_t& value)
{
    uint64_t parsed = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || ec != std::errc() || ptr != end || parsed < low || parsed > high) {
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

} // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions& options, std::string& error)
{
    constexpr uint32_t kLargest = kMaxTapeBlockSize;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        if (name != "--tape-image" && name != "--fixed-block-size" && name != "--max-block-size") {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            value = args[++i];
        }
        if (name == "--tape-image") {
            if (value.empty()) {
                error = "option '--tape-image' needs a file name";
                return false;
            }
            options.tapeImages.push_back(value);
        } else if (name == "--fixed-block-size") {
            if (!ParseSize(value, 1, kLargest, options.driveOptions.fixedBlockSize)) {
                error = "bad block size '" + value + "' (1 to " + std::to_string(kLargest) + ")";
                return false;
            }
        } else if (!ParseSize(value, 1, kLargest, options.driveOptions.maxBlockSize)) {
            error = "bad block size '" + value + "' (1 to " + std::to_string(kLargest) + ")";
            return false;
        }
    }
    return true;
}

std::string CommandLineUsage(const std::string& program)
{
    return "Usage: " + program + " [--tape-image FILE]... [--fixed-block-size N] [--max-block-size N]\n"
           "\n"
           "  --tape-image FILE       a SIMH .tap image as a virtual drive; repeat for TAPE1, TAPE2, ...\n"
           "                          (without images TAPEn are the machine's tape drives)\n"
           "  --fixed-block-size N    the virtual drives read fixed blocks of N bytes only\n"
           "  --max-block-size N      largest block the virtual drives read (default " +
           std::to_string(kMaxTapeBlockSize) + ")\n"
           "  --help                  this text\n";
}
