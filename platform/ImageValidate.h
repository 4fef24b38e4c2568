// validate: walks a tape image forwards to its end, then backwards to its beginning, and
// checks that both walks met the same items; counts what the image holds and says where it
// first goes wrong.
#pragma once
#include "platform/ImageFormat.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

struct ImageValidation {
    ImageFormat format = ImageFormat::Simh;
    uint64_t imageSize = 0;
    uint64_t files = 0;          // tape files: each tapemark ends one, data after the last one is one more
    uint64_t records = 0;        // every record, bad ones too
    uint64_t bytes = 0;          // data bytes of the records
    uint64_t badRecords = 0;
    uint64_t tapemarks = 0;
    uint64_t gaps = 0;           // erase gaps passed
    std::map<uint32_t, uint64_t> recordSizes;  // record length -> how many
    uint64_t dataEnd = 0;        // the offset where the recorded data ends (after its end marker)
    uint64_t bytesAfterEnd = 0;  // bytes of the file past that
    bool damaged = false;
    uint64_t damageOffset = 0;   // where the image goes wrong
    std::string damage;          // what is wrong there, one line
};

// Validates the image at path, in format or the one its content shows. progress, when given,
// is called now and then with the bytes walked so far (both walks together: up to twice the
// size) and stops the walk when it returns false (error "stopped"). False with error set
// when the image cannot be opened or walked at all; damage is not such a failure: it is
// reported in the result.
bool ValidateImage(const std::string& path, std::optional<ImageFormat> format, ImageValidation& result,
                   std::string& error, const std::function<bool(uint64_t walked)>& progress = {});

// The report as printed by `validate` and shown by the window, one line each, ending in "\n".
std::string ValidationText(const std::string& path, const ImageValidation& result);
