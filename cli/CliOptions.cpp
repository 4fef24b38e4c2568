#include "cli/CliOptions.h"

#include <cstring>

namespace {

// A plain decimal number (no sign, no blanks) between low and high.
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t& value)
{
    if (text.empty() || text.size() > 12)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v < low || v > high)
        return false;
    value = v;
    return true;
}

struct VerbName {
    const char* name;
    CliVerb verb;
};

const VerbName kVerbs[] = {
    {"load", CliVerb::Load},     {"rewind", CliVerb::Rewind}, {"eject", CliVerb::Eject},
    {"mktape", CliVerb::MkTape}, {"drives", CliVerb::Drives},
};

// Which options each verb takes.
enum OptionBit : unsigned {
    kTapeImage = 1u << 0,
    kDevice = 1u << 1,
    kDir = 1u << 2,
    kBase = 1u << 3,
    kSelect = 1u << 4,
    kDriveOptions = 1u << 5,
    kBlockSize = 1u << 6,
};

unsigned AllowedOptions(CliVerb verb)
{
    switch (verb) {
    case CliVerb::Load: return kTapeImage | kDevice | kDir | kBase | kSelect | kDriveOptions;
    case CliVerb::Rewind:
    case CliVerb::Eject: return kTapeImage | kDevice | kDriveOptions;
    case CliVerb::MkTape: return kBlockSize;
    case CliVerb::Drives: return kTapeImage | kDriveOptions;
    default: return 0;
    }
}

struct OptionName {
    const char* name;
    OptionBit bit;
};

const OptionName kOptions[] = {
    {"--tape-image", kTapeImage},          {"--device", kDevice},
    {"--dir", kDir},                       {"--base", kBase},
    {"--select", kSelect},                 {"--fixed-block-size", kDriveOptions},
    {"--max-block-size", kDriveOptions},   {"--block-size", kBlockSize},
};

} // namespace

bool ParseCliOptions(int argc, const char* const* argv, CliOptions& options, std::string& error)
{
    options = CliOptions{};
    if (argc < 2) {
        error = "no command given";
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            options.verb = CliVerb::Help;
            return true;
        }
        if (std::strcmp(argv[i], "--") == 0)
            break;
    }

    const std::string verbText = argv[1];
    for (const VerbName& v : kVerbs)
        if (verbText == v.name)
            options.verb = v.verb;
    if (options.verb == CliVerb::None) {
        error = "unknown command '" + verbText + "'";
        return false;
    }
    const unsigned allowed = AllowedOptions(options.verb);

    uint32_t blockSize = kDefaultMkTapeBlockSize;
    bool endOfOptions = false;
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (endOfOptions || arg.size() < 2 || arg[0] != '-') {
            if (options.verb != CliVerb::MkTape) {
                error = "unexpected argument '" + arg + "'";
                return false;
            }
            if (options.mktapeOut.empty() && positional.empty())
                options.mktapeOut = arg;
            else
                options.mktapeInputs.push_back({arg, blockSize});
            positional.push_back(arg);
            continue;
        }
        if (arg == "--" && options.verb == CliVerb::MkTape) {
            endOfOptions = true;
            continue;
        }

        // --name VALUE or --name=VALUE
        std::string name = arg;
        std::string value;
        bool haveValue = false;
        if (size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            haveValue = true;
        }
        const OptionName* option = nullptr;
        for (const OptionName& o : kOptions)
            if (name == o.name)
                option = &o;
        if (option == nullptr || (allowed & option->bit) == 0) {
            error = option == nullptr ? "unknown option '" + name + "'"
                                      : "option " + name + " does not apply to '" + verbText + "'";
            return false;
        }
        if (!haveValue) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }

        uint64_t number = 0;
        auto needNumber = [&](uint64_t low, uint64_t high) {
            if (ParseNumber(value, low, high, number))
                return true;
            error = "option " + name + " needs a number from " + std::to_string(low) + " to " +
                    std::to_string(high) + ", not '" + value + "'";
            return false;
        };

        if (name == "--tape-image") {
            if (value.empty()) {
                error = "option --tape-image needs a file name";
                return false;
            }
            if (options.verb != CliVerb::Drives && !options.tapeImages.empty()) {
                error = "only one --tape-image can be given to '" + verbText + "'";
                return false;
            }
            options.tapeImages.push_back(value);
        } else if (name == "--device") {
            if (options.device >= 0) {
                error = "only one --device can be given";
                return false;
            }
            if (!needNumber(0, INT32_MAX))
                return false;
            options.device = static_cast<int32_t>(number);
        } else if (name == "--dir") {
            if (value.empty()) {
                error = "option --dir needs a directory";
                return false;
            }
            options.dir = value;
            options.haveDir = true;
        } else if (name == "--base") {
            options.base = value;
        } else if (name == "--select") {
            options.selection = value;
        } else if (name == "--fixed-block-size") {
            if (!needNumber(0, kLargestBlockSize))
                return false;
            options.driveOptions.fixedBlockSize = static_cast<uint32_t>(number);
            options.haveDriveOptions = true;
        } else if (name == "--max-block-size") {
            if (!needNumber(1, kLargestBlockSize))
                return false;
            options.driveOptions.maxBlockSize = static_cast<uint32_t>(number);
            options.haveDriveOptions = true;
        } else if (name == "--block-size") {
            if (!needNumber(1, kLargestBlockSize))
                return false;
            blockSize = static_cast<uint32_t>(number);
        }
    }

    switch (options.verb) {
    case CliVerb::Load:
    case CliVerb::Rewind:
    case CliVerb::Eject:
        if (options.tapeImages.empty() == (options.device < 0)) {
            error = "'" + verbText + "' needs either --tape-image FILE or --device N";
            return false;
        }
        if (options.haveDriveOptions && options.tapeImages.empty()) {
            error = "--fixed-block-size and --max-block-size apply to tape images only";
            return false;
        }
        break;
    case CliVerb::MkTape:
        if (options.mktapeOut.empty()) {
            error = "'mktape' needs the name of the image to write";
            return false;
        }
        if (options.mktapeInputs.empty()) {
            error = "'mktape' needs at least one file to put on the tape";
            return false;
        }
        break;
    case CliVerb::Drives:
        if (options.haveDriveOptions && options.tapeImages.empty()) {
            error = "--fixed-block-size and --max-block-size apply to tape images only";
            return false;
        }
        break;
    default:
        break;
    }
    return true;
}

std::string CliUsage()
{
    return "Usage:\n"
           "  kellovaran-cli load   (--tape-image FILE | --device N) [--dir DIR] [--base BASE] [--select SELECTION]\n"
           "  kellovaran-cli rewind (--tape-image FILE | --device N)\n"
           "  kellovaran-cli eject  (--tape-image FILE | --device N)\n"
           "  kellovaran-cli mktape [--block-size N] OUT.tap FILE...\n"
           "  kellovaran-cli drives [--tape-image FILE]...\n"
           "  kellovaran-cli --help\n"
           "\n"
           "load     copies the selected files of the tape into DIR/BASEnnnn, one disk file per\n"
           "         tape file (nnnn: the tape file number, from 0). DIR defaults to the current\n"
           "         directory (a relative DIR is taken from there; missing levels are made),\n"
           "         BASE to \"file\", SELECTION to \"*\" (every file), e.g. \"0-1,5, 7-8\".\n"
           "rewind   rewinds the tape.\n"
           "eject    rewinds and unloads the tape.\n"
           "mktape   writes a SIMH tape image: each FILE becomes one tape file, cut into records of\n"
           "         N bytes (default 65536; the last record may be shorter). --block-size may be\n"
           "         given again before any FILE and applies to the files after it.\n"
           "drives   lists the tape drives found.\n"
           "\n"
           "--tape-image FILE      use the SIMH tape image FILE as the drive (TAPE0)\n"
           "--device N             use the tape drive TAPEN\n"
           "--fixed-block-size N   the image's drive reads fixed blocks of N bytes only\n"
           "--max-block-size N     the largest block the image's drive reads\n"
           "\n"
           "The log of a job goes to standard output. Ctrl-C once stops a load after the current\n"
           "file, twice stops it at once.\n"
           "Exit status: 0 done, 1 ended on an error, 2 usage error or bad selection,\n"
           "130 stopped by the user.\n";
}
