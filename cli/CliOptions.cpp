#include "cli/CliOptions.h"

#include "frontend/CommandLineItems.h"
#include "selection/FileSelection.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Which options each verb takes.
enum OptionBit : unsigned {
    kTapeImage = 1u << 0,
    kDevice = 1u << 1,
    kDir = 1u << 2,
    kBase = 1u << 3,
    kSelect = 1u << 4,
    kDriveOptions = 1u << 5,
    kBlockSize = 1u << 6,
    kNoReport = 1u << 7,
    kReadErrors = 1u << 8,
    kNoClobber = 1u << 9,
    kRetries = 1u << 10,
    kFormat = 1u << 11,
    kImageFormat = 1u << 12,
    kRetryBad = 1u << 13,
    kResume = 1u << 14,
    kBag = 1u << 15,
    kNameFromLabels = 1u << 16,
};

// The most re-reads of one block --retries takes: a drive spends up to minutes on each.
constexpr uint64_t kMaxReadRetries = 100;

struct VerbRule {
    const char* name;
    CliVerb verb;
    unsigned options;
};

const VerbRule kVerbs[] = {
    {"load", CliVerb::Load,
     kTapeImage | kDevice | kDir | kBase | kSelect | kDriveOptions | kImageFormat | kNoReport | kReadErrors |
         kRetries | kNoClobber | kBag | kNameFromLabels},
    {"scan", CliVerb::Scan, kTapeImage | kDevice | kDir | kBase | kDriveOptions | kImageFormat | kReadErrors | kRetries},
    {"rewind", CliVerb::Rewind, kTapeImage | kDevice | kDriveOptions | kImageFormat},
    {"eject", CliVerb::Eject, kTapeImage | kDevice | kDriveOptions | kImageFormat},
    {"mktape", CliVerb::MkTape, kBlockSize},
    {"drives", CliVerb::Drives, kTapeImage | kDriveOptions | kImageFormat},
    {"capture", CliVerb::Capture, kTapeImage | kDevice | kDriveOptions | kImageFormat | kRetries | kFormat | kRetryBad |
                                    kResume},
    {"convert", CliVerb::Convert, kImageFormat | kFormat},
    {"validate", CliVerb::Validate, kImageFormat},
    {"merge", CliVerb::Merge, kImageFormat | kFormat},
};

struct OptionRule {
    const char* name;
    OptionBit bit;
};

const OptionRule kOptions[] = {
    {"--tape-image", kTapeImage},          {"--device", kDevice},
    {"--dir", kDir},                       {"--base", kBase},
    {"--select", kSelect},                 {"--fixed-block-size", kDriveOptions},
    {"--max-block-size", kDriveOptions},   {"--block-size", kBlockSize},
    {"--on-error", kReadErrors},           {"--retries", kRetries},
    {"--format", kFormat},                 {"--compress", kFormat},
    {"--image-format", kImageFormat},      {"--retry-bad", kRetryBad},
};

// --format simh|e11|aws|het and --compress none|zlib|bzip2: the image a capture or convert
// writes.
bool TakeImageFormatOption(const std::string& name, const std::string& value, CliOptions& options, std::string& error)
{
    if (name == "--format") {
        const std::optional<ImageFormat> format = ImageFormatFromName(value);
        if (!format || !CanWriteImageFormat(*format)) {
            error = "option --format takes " + ImageFormatNames(true) + ", not '" + value + "'" +
                    (format ? ": that format can be read, not written" : "");
            return false;
        }
        options.captureOptions.format = *format;
        options.haveFormat = true;
        return true;
    }
    const std::optional<ImageCompression> compression = ImageCompressionFromName(value);
    if (!compression) {
        error = "option --compress takes none, zlib or bzip2, not '" + value + "'";
        return false;
    }
    options.captureOptions.compression = *compression;
    return true;
}

// --on-error stop|skip and --retries N: what a load does with a block it cannot read.
bool TakeReadErrorOption(const std::string& name, const std::string& value, LoadOptions& load, std::string& error)
{
    if (name == "--retries") {
        uint64_t number = 0;
        if (!TakeNumberOption(name, value, 0, kMaxReadRetries, number, error))
            return false;
        load.readRetries = static_cast<uint32_t>(number);
    } else if (value == "stop") {
        load.onReadError = LoadOptions::ReadErrors::Stop;
    } else if (value == "skip") {
        load.onReadError = LoadOptions::ReadErrors::Skip;
    } else {
        error = "option --on-error takes stop or skip, not '" + value + "'";
        return false;
    }
    return true;
}

// --select @FILE: a selection too long for one argument, read whole from FILE (line ends
// are blanks to the grammar).
bool ReadSelectionFile(const std::string& path, std::string& selection, std::string& error)
{
    constexpr std::uintmax_t kLargest = 64u << 20;
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    if (!in || std::filesystem::is_directory(path, ec)) {
        error = "cannot read the selection file '" + path + "'";
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad() || text.str().size() > kLargest) {
        error = "cannot read the selection file '" + path + "'" + (in.bad() ? "" : ": larger than 64 MiB");
        return false;
    }
    selection = text.str();
    return true;
}

// Options without a value: the splitter leaves them among the unknown arguments.
const OptionRule kFlags[] = {
    {"--no-report", kNoReport},
    {"--no-clobber", kNoClobber},
    {"--resume", kResume},
    {"--bag", kBag},
    {"--name-from-labels", kNameFromLabels},
};

// Takes arg when it is a flag: true. False for anything else, with error set when it is a
// flag misused.
bool TakeFlag(const VerbRule& verb, const std::string& arg, CliOptions& options, std::string& error)
{
    for (const OptionRule& rule : kFlags) {
        const std::string name = rule.name;
        if (arg != name && arg.rfind(name + "=", 0) != 0)
            continue;
        if ((verb.options & rule.bit) == 0) {
            error = "option " + name + " does not apply to '" + verb.name + "'";
            return false;
        }
        if (arg != name) {
            error = "option " + name + " takes no value";
            return false;
        }
        if (rule.bit == kNoReport)
            options.writeReport = false;
        else if (rule.bit == kNoClobber)
            options.noClobber = true;
        else if (rule.bit == kResume)
            options.captureOptions.resume = true;
        else if (rule.bit == kBag)
            options.loadOptions.bag = true;
        else if (rule.bit == kNameFromLabels)
            options.loadOptions.nameFromLabels = true;
        return true;
    }
    return false;
}

bool AsksForHelp(int argc, const char* const* argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return true;
    return false;
}

// What the parser does not know: an option (given as --name or --name=VALUE) or a word.
std::string Unknown(const std::string& arg)
{
    if (arg.size() >= 2 && arg[0] == '-')
        return "unknown option '" + arg.substr(0, arg.find('=')) + "'";
    return "unexpected argument '" + arg + "'";
}

// mktape's words: the image, then the files, each cut at the block size given before it.
struct MkTapeWords {
    bool haveOut = false;
    uint32_t blockSize = kDefaultMkTapeBlockSize;
};

// One item of the command line, taken in order.
bool TakeItem(const VerbRule& verb, const CommandLineItem& item, MkTapeWords& words, CliOptions& options,
              std::string& error)
{
    const std::string& name = item.name;
    const std::string& value = item.value;
    if (name.empty() && verb.verb == CliVerb::Convert) {  // IN, then OUT
        if (options.tapeImages.empty()) {
            options.tapeImages.push_back(value);
            return true;
        }
        if (!options.captureOut.empty()) {
            error = "'convert' takes one input and one output image, not '" + value + "' as well";
            return false;
        }
        options.captureOut = value;
        return true;
    }
    if (name.empty() && verb.verb == CliVerb::Validate) {
        if (!options.validateImage.empty()) {
            error = "'validate' takes one image, not '" + value + "' as well";
            return false;
        }
        options.validateImage = value;
        return true;
    }
    if (name.empty() && verb.verb == CliVerb::Merge) {  // OUT, then IN...
        if (options.captureOut.empty())
            options.captureOut = value;
        else
            options.mergeInputs.push_back(value);
        return true;
    }
    if (name.empty() && verb.verb == CliVerb::Capture) {
        if (!options.captureOut.empty()) {
            error = "'capture' takes one image name, not '" + value + "' as well";
            return false;
        }
        options.captureOut = value;
        return true;
    }
    if (name.empty()) {  // only mktape and capture take words
        if (!words.haveOut)
            options.mktapeOut = value;
        else
            options.mktapeInputs.push_back({value, words.blockSize});
        words.haveOut = true;
        return true;
    }
    for (const OptionRule& rule : kOptions) {
        if (name == rule.name && (verb.options & rule.bit) == 0) {
            error = "option " + name + " does not apply to '" + verb.name + "'";
            return false;
        }
    }
    uint64_t number = 0;
    if (IsDriveOption(name))
        return TakeDriveOption(name, value, options, error);
    if (name == "--format" || name == "--compress")
        return TakeImageFormatOption(name, value, options, error);
    if (name == "--retry-bad") {
        if (value.empty()) {
            error = "option --retry-bad needs the earlier image";
            return false;
        }
        options.captureOptions.retryFrom = value;
        return true;
    }
    if (name == "--on-error" || name == "--retries")
        return TakeReadErrorOption(name, value, options.loadOptions, error);
    if (name == "--device") {
        if (options.device >= 0) {
            error = "only one --device can be given";
            return false;
        }
        if (!TakeNumberOption(name, value, 0, INT32_MAX, number, error))
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
        if (!value.empty() && value[0] == '@')
            return ReadSelectionFile(value.substr(1), options.selection, error);
        options.selection = value;
    } else {  // --block-size
        if (!TakeNumberOption(name, value, 1, kLargestBlockSize, number, error))
            return false;
        words.blockSize = static_cast<uint32_t>(number);
    }
    return true;
}

// What each verb needs once every item is in.
bool CheckComplete(const std::string& verb, const CliOptions& options, std::string& error)
{
    switch (options.verb) {
    case CliVerb::Load:
    case CliVerb::Scan:
    case CliVerb::Rewind:
    case CliVerb::Eject:
    case CliVerb::Capture:
        // One device model for both programs: the images are TAPE0, TAPE1, ... in order and
        // --device picks one of them (TAPE0 by default), or a real drive when none is given.
        if (options.tapeImages.empty() && options.device < 0)
            error = "'" + verb + "' needs --tape-image FILE or --device N";
        else if (!options.tapeImages.empty() && options.device >= static_cast<int64_t>(options.tapeImages.size()))
            error = "--device " + std::to_string(options.device) + " names no drive: the " +
                    std::to_string(options.tapeImages.size()) + " tape image(s) given are TAPE0 to TAPE" +
                    std::to_string(options.tapeImages.size() - 1);
        else if (options.verb == CliVerb::Capture && (options.captureOut.empty() || options.captureOut.back() == '/'))
            error = "'capture' needs the name of the image to write";
        else if (options.captureOptions.resume && !options.captureOptions.retryFrom.empty())
            error = "--resume and --retry-bad cannot be given together";
        else if (options.verb == CliVerb::Load && !FileBaseProblem(options.base).empty())
            error = "--base '" + options.base + "': " + FileBaseProblem(options.base);
        else if (options.loadOptions.bag && !options.writeReport)
            error = "--bag cannot be given with --no-report: a bag holds the checksums and the report";
        else if (options.loadOptions.bag && (options.base.empty() || options.base.find('/') != std::string::npos ||
                                             options.base[0] == '.'))
            error = "--bag takes a --base without folders or a leading dot, not '" + options.base + "'";
        break;

    case CliVerb::Convert:
        if (options.tapeImages.empty() || options.captureOut.empty() || options.captureOut.back() == '/')
            error = "'convert' needs the image to read and the name of the image to write";
        break;
    case CliVerb::Validate:
        if (options.validateImage.empty())
            error = "'validate' needs the image to check";
        break;
    case CliVerb::Merge:
        if (options.captureOut.empty() || options.captureOut.back() == '/' || options.mergeInputs.size() < 2)
            error = "'merge' needs the name of the image to write and at least two images to merge";
        break;

    case CliVerb::MkTape:
        if (options.mktapeOut.empty())
            error = "'mktape' needs the name of the image to write";
        else if (options.mktapeInputs.empty())
            error = "'mktape' needs at least one file to put on the tape";
        break;
    default:
        break;
    }
    if (error.empty() && options.haveDriveOptions && options.tapeImages.empty() && options.verb != CliVerb::Validate &&
        options.verb != CliVerb::Merge)
        error = "--fixed-block-size, --max-block-size and --image-format apply to tape images only";
    return error.empty();
}

// capture, convert and merge: the format --format names, else the one the output's extension means,
// else SIMH. HET records are compressed with zlib unless --compress says otherwise; other
// formats have no compression.
bool SettleImageFormat(CliOptions& options, bool compressGiven, std::string& error)
{
    if (!options.haveFormat) {
        const std::optional<ImageFormat> named = ImageFormatFromExtension(options.captureOut);
        if (named && CanWriteImageFormat(*named))
            options.captureOptions.format = *named;
    }
    if (options.captureOptions.format != ImageFormat::Het) {
        if (compressGiven && options.captureOptions.compression != ImageCompression::None) {
            error = "--compress applies to the het format only";
            return false;
        }
        options.captureOptions.compression = ImageCompression::None;
    } else if (!compressGiven) {
        options.captureOptions.compression = ImageCompression::Zlib;
    }
    return true;
}

} // namespace

bool ParseCliOptions(int argc, const char* const* argv, CliOptions& options, std::string& error)
{
    options = CliOptions{};
    if (argc < 2) {
        error = "no command given";
        return false;
    }
    if (AsksForHelp(argc, argv)) {
        options.verb = CliVerb::Help;
        return true;
    }
    const VerbRule* verb = nullptr;
    for (const VerbRule& v : kVerbs)
        if (std::strcmp(argv[1], v.name) == 0)
            verb = &v;
    if (verb == nullptr) {
        error = "unknown command '" + std::string(argv[1]) + "'";
        return false;
    }
    options.verb = verb->verb;

    std::vector<std::string> names;
    for (const OptionRule& rule : kOptions)
        names.push_back(rule.name);
    std::vector<std::string> args(argv + 2, argv + argc);
    CommandLineItems line;
    const bool takesWords = verb->verb == CliVerb::MkTape || verb->verb == CliVerb::Capture ||
                            verb->verb == CliVerb::Convert || verb->verb == CliVerb::Validate ||
                            verb->verb == CliVerb::Merge;
    if (!SplitCommandLine(args, names, takesWords, line, error))
        return false;
    for (const std::string& arg : line.unknown) {
        if (TakeFlag(*verb, arg, options, error))
            continue;
        if (error.empty())
            error = Unknown(arg);
        return false;
    }
    MkTapeWords words;
    bool compressGiven = false;
    for (const CommandLineItem& item : line.items) {
        if (!TakeItem(*verb, item, words, options, error))
            return false;
        compressGiven = compressGiven || item.name == "--compress";
    }
    if (!CheckComplete(verb->name, options, error))
        return false;
    if (options.verb == CliVerb::Capture || options.verb == CliVerb::Convert || options.verb == CliVerb::Merge)
        return SettleImageFormat(options, compressGiven, error);
    return true;
}

std::string CliUsage()
{
    return "Usage:\n"
           "  kellovaran-cli load   (--tape-image FILE... [--device N] | --device N) [--dir DIR] [--base BASE]\n"
           "                        [--select SELECTION]\n"
           "                        [--no-report]\n"
           "                        [--on-error stop|skip] [--retries N]\n"
           "                        [--no-clobber] [--bag] [--name-from-labels]\n"
           "  kellovaran-cli scan   (--tape-image FILE... [--device N] | --device N) [--dir DIR] [--base BASE]\n"
           "                        [--on-error stop|skip] [--retries N]\n"
           "  kellovaran-cli rewind (--tape-image FILE... [--device N] | --device N)\n"
           "  kellovaran-cli eject  (--tape-image FILE... [--device N] | --device N)\n"
           "  kellovaran-cli capture (--tape-image FILE... [--device N] | --device N) [--retries N]\n"
           "                        [--format FORMAT] [--compress zlib|bzip2|none] [--retry-bad OLD | --resume] OUT\n"
           "  kellovaran-cli convert [--image-format FORMAT] [--format FORMAT] [--compress zlib|bzip2|none] IN OUT\n"
           "  kellovaran-cli validate [--image-format FORMAT] IMAGE\n"
           "  kellovaran-cli merge  [--image-format FORMAT] [--format FORMAT] [--compress zlib|bzip2|none] OUT IN...\n"
           "  kellovaran-cli mktape [--block-size N] OUT.tap FILE...\n"
           "  kellovaran-cli drives [--tape-image FILE]...\n"
           "  kellovaran-cli --help\n"
           "\n"
           "load     copies the selected files of the tape into DIR/BASEnnnn, one disk file per\n"
           "         tape file (nnnn: the tape file number, from 0). DIR defaults to the current\n"
           "         directory (a relative DIR is taken from there; missing levels are made),\n"
           "         BASE to \"file\", SELECTION to \"*\" (every file), e.g. \"0-1,5, 7-8\";\n"
           "         --select @FILE reads the selection from FILE.\n"
           "         Beside the files it writes DIR/BASE.sha256 (the files' SHA-256, for\n"
           "         sha256sum -c run in DIR) and DIR/BASE.json (the session's report).\n"
           "scan     reads every file of the tape as load does, but writes no data file and no\n"
           "         checksum file: only the report DIR/BASE.json (\"kellovaran-scan-report\": per\n"
           "         file its blocks, bytes, record sizes, SHA-256, content type, labels) and the\n"
           "         map. Files of an earlier load in DIR are left as they are. At the end it\n"
           "         prints a table of the files.\n"
           "rewind   rewinds the tape.\n"
           "eject    rewinds and unloads the tape.\n"
           "capture  copies the whole tape, to the end of its data, into the tape image OUT:\n"
           "         every record with its length, every filemark, a block that cannot be read as a\n"
           "         bad-data record (after 16 in a row the capture stops). The image is written as\n"
           "         OUT.tmp and renamed when complete; a capture that fails or is stopped leaves\n"
           "         no OUT. Beside it: OUT.sha256 (for sha256sum -c run in its folder) and\n"
           "         OUT.json (the session's report). FORMAT: simh (the default), e11, aws or het,\n"
           "         else the one OUT's extension names (.tap .e11 .aws .het); het compresses\n"
           "         with zlib unless --compress says otherwise. aws and het have no mark for a\n"
           "         bad block: its bytes go in as an ordinary record (none: left out), and the\n"
           "         log and the report list it. --retry-bad OLD takes OLD, an earlier capture of\n"
           "         the same tape, and reads only its bad records again (spacing to each, with\n"
           "         --retries N each): a record read whole now replaces the bad one; everything\n"
           "         else is copied from OLD, never read again. A SIMH or E11 capture that is\n"
           "         stopped or fails keeps what it read as OUT.partial; --resume spaces the tape\n"
           "         to its end, checks that its last record reads the same, and goes on.\n"
           "convert  copies the tape image IN, record for record, into the image OUT, as capture\n"
           "         does from a drive (the same log, checksum file and report; every bad record\n"
           "         is kept, however many in a row).\n"
           "validate walks the tape image forwards, then backwards, checks that both walks agree,\n"
           "         and prints what it holds: files, records, bytes, bad records, gaps, the record\n"
           "         sizes, the end of the data and any bytes after it. Exit status 0 when clean,\n"
           "         1 when damaged (with the offset and what is wrong there).\n"
           "merge    combines images of one tape (captures of it, at least two) into the image OUT:\n"
           "         the inputs are walked together and must hold the same records, tapemarks and\n"
           "         end of data (else nothing is written: exit 1, the first place they differ\n"
           "         is named). Per record a good read wins over a bad one; all bad keeps the\n"
           "         first input's bytes as bad; good reads that differ are a conflict, listed,\n"
           "         and the first good read is kept. OUT is written as capture writes it (FORMAT,\n"
           "         OUT.tmp, OUT.sha256) with the merge report OUT.json. Exit status 0 when OUT\n"
           "         has no bad record and there was no conflict, else 1.\n"
           "mktape   writes a SIMH tape image: each FILE becomes one tape file, cut into records of\n"
           "         N bytes (default 65536; the last record may be shorter). --block-size may be\n"
           "         given again before any FILE and applies to the files after it.\n"
           "drives   lists the tape drives found.\n"
           "\n"
           "--tape-image FILE      use the tape image FILE as a drive; repeated, the images\n"
           "                       are TAPE0, TAPE1, ... in order and no real drive is used\n"
           "--image-format FORMAT  read the images as simh, e11, aws, het or tpc (default: the\n"
           "                       format each one's content shows)\n"
           "--format FORMAT        capture, convert, merge: write simh, e11, aws or het\n"
           "--compress METHOD      capture, convert, merge: het's records compressed with zlib (the\n"
           "                       default), bzip2, or none\n"
           "--retry-bad OLD        capture: read only the bad records of the earlier image OLD again\n"
           "--resume               capture: go on with OUT.partial, what an interrupted capture kept\n"
           "--device N             use the tape drive TAPEN (with images: the N-th image, default 0)\n"
           "--fixed-block-size N   the image's drive reads fixed blocks of N bytes only\n"
           "--max-block-size N     the largest block the image's drive reads\n"
           "--no-report            load: write neither the checksum file nor the report\n"
           "--on-error stop|skip   load, scan: what a block that cannot be read does: stop ends the load\n"
           "                       there (the default), skip leaves it out of the disk file, logs it\n"
           "                       and goes on; after 16 such blocks in a row the rest of the tape\n"
           "                       file is passed over\n"
           "--retries N            load, scan, capture: read such a block again up to N times first\n"
           "                       (default 0, at most 100)\n"
           "--no-clobber           load: stop with an error at a disk file name that exists,\n"
           "                       never overwriting it\n"
           "--bag                  load: make DIR a BagIt bag (RFC 8493): the files under DIR/data,\n"
           "                       SHA-256 and SHA-512 manifests, bag-info.txt, and BASE.sha256,\n"
           "                       BASE.json and the log BASE.log as tag files. DIR must be empty\n"
           "                       or new; only a load that completes is sealed with bagit.txt\n"
           "--name-from-labels     load: a data file after standard (IBM or ANSI) header labels\n"
           "                       is named BASEnnnn_IDENTIFIER, after HDR1's file identifier\n"
           "\n"
           "The log of a job goes to standard output. Ctrl-C once stops a load after the current\n"
           "file, twice stops it at once; SIGTERM and SIGHUP stop it at once.\n"
           "Exit status: 0 done, 1 ended on an error, 2 usage error or bad selection,\n"
           "130 stopped by the user, 143 or 129 stopped by SIGTERM or SIGHUP.\n"
           "A load that passed over bad blocks exits with 1, also when it went on to the end, and\n"
           "so does a load of a selection naming a file the tape does not have; so does a capture\n"
           "that kept bad blocks (its image is written). Ctrl-C stops a capture at once.\n";
}
