// The command line of kellovaran-cli: what to do and with which settings.
#pragma once
#include "frontend/DriveOptions.h"
#include "tape/TapeJob.h"

#include <cstdint>
#include <string>
#include <vector>

enum class CliVerb { None, Help, Load, Scan, Rewind, Eject, MkTape, Drives, Capture, Convert, Validate, Merge };

// One input of mktape with the record size it is cut into.
struct MkTapeInput {
    std::string path;
    uint32_t blockSize;
};

inline constexpr uint32_t kDefaultMkTapeBlockSize = 65536;

// The drive options (--tape-image, --fixed-block-size, --max-block-size) and the rest.
struct CliOptions : DriveOptions {
    CliVerb verb = CliVerb::None;
    int32_t device = -1;                  // --device N
    bool haveDir = false;
    std::string dir;                      // --dir; the current directory when not given
    std::string base = "file";            // --base
    std::string selection = "*";          // --select
    bool writeReport = true;              // load: checksums and report; --no-report turns both off
    bool noClobber = false;               // --no-clobber
    std::string mktapeOut;                // mktape: OUT.tap
    std::vector<MkTapeInput> mktapeInputs;
    std::string captureOut;               // capture, convert: OUT
    bool haveFormat = false;              // --format given
    CaptureOptions captureOptions;        // capture, convert: --format, --compress
    std::string validateImage;            // validate: IMAGE
    std::vector<std::string> mergeInputs; // merge: IN... (captureOut is OUT)
    LoadOptions loadOptions;              // load: --on-error, --retries; capture: --retries

    // The device index of the job: 0 for the tape image, else N.
    // TAPEn of the job: --device, or the first image when only images are given.
    int32_t TapeIndex() const { return device >= 0 ? device : 0; }
};

// Parses argv[1..argc-1]. False with a one-line reason in error on a usage error.
bool ParseCliOptions(int argc, const char* const* argv, CliOptions& options, std::string& error);

// The text of --help and of every usage error.
std::string CliUsage();
