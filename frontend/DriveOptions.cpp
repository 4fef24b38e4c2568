#include "frontend/DriveOptions.h"

#include "platform/ImageFormat.h"
#include "platform/SimhTape.h"

#include <algorithm>

const std::vector<std::string>& DriveOptionNames()
{
    static const std::vector<std::string> names = {"--tape-image", "--fixed-block-size", "--max-block-size",
                                                   "--image-format"};
    return names;
}

bool IsDriveOption(const std::string& name)
{
    const auto& names = DriveOptionNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool TakeNumberOption(const std::string& name, const std::string& value, uint64_t low, uint64_t high,
                      uint64_t& number, std::string& error)
{
    uint64_t v = 0;
    bool ok = !value.empty() && value.size() <= 12;
    for (size_t i = 0; ok && i < value.size(); ++i) {
        ok = value[i] >= '0' && value[i] <= '9';
        v = v * 10 + static_cast<uint64_t>(value[i] - '0');
    }
    if (ok && v >= low && v <= high) {
        number = v;
        return true;
    }
    error = "option " + name + " needs a number from " + std::to_string(low) + " to " + std::to_string(high) +
            ", not '" + value + "'";
    return false;
}

bool TakeDriveOption(const std::string& name, const std::string& value, DriveOptions& options, std::string& error)
{
    uint64_t number = 0;
    if (name == "--tape-image") {
        if (value.empty()) {
            error = "option --tape-image needs a file name";
            return false;
        }
        options.tapeImages.push_back(value);
    } else if (name == "--image-format") {
        const std::optional<ImageFormat> format = ImageFormatFromName(value);
        if (!format) {
            error = "option --image-format takes " + ImageFormatNames(false) + ", not '" + value + "'";
            return false;
        }
        options.driveOptions.format = format;
        options.haveDriveOptions = true;
    } else if (name == "--fixed-block-size") {
        if (!TakeNumberOption(name, value, 0, kLargestBlockSize, number, error))
            return false;
        options.driveOptions.fixedBlockSize = static_cast<uint32_t>(number);
        options.haveDriveOptions = true;
    } else {
        if (!TakeNumberOption(name, value, 1, kLargestBlockSize, number, error))
            return false;
        options.driveOptions.maxBlockSize = static_cast<uint32_t>(number);
        options.haveDriveOptions = true;
    }
    return true;
}
