// The file types "Save tape image..." offers: what each is called in the chooser, the image
// it makes and the extension its files get. Plain C++: the chooser only draws this table.
#pragma once
#include "platform/ImageFormat.h"

#include <cstddef>
#include <string>
#include <vector>

struct ImageFileType {
    const char* label;      // "SIMH", "HET with zlib", ...
    ImageFormat format;
    ImageCompression compression;
    const char* extension;  // with its dot
};

// In the chooser's order; the first is the one offered until the user picks another.
const std::vector<ImageFileType>& SaveImageFileTypes();

// "SIMH (*.tap)": the chooser's filter for the type.
std::string ImageFileTypeFilter(const ImageFileType& type);

// path with the type's extension added when its name has none ("x" -> "x.het"); a name
// with an extension of its own keeps it.
std::string WithImageExtension(const std::string& path, const ImageFileType& type);
