#include "dialogs/ImageFileTypes.h"

const std::vector<ImageFileType>& SaveImageFileTypes()
{
    static const std::vector<ImageFileType> types = {
        {"SIMH", ImageFormat::Simh, ImageCompression::None, ".tap"},
        {"E11", ImageFormat::E11, ImageCompression::None, ".e11"},
        {"AWS", ImageFormat::Aws, ImageCompression::None, ".aws"},
        {"HET with zlib", ImageFormat::Het, ImageCompression::Zlib, ".het"},
        {"HET with bzip2", ImageFormat::Het, ImageCompression::Bzip2, ".het"},
    };
    return types;
}

std::string ImageFileTypeFilter(const ImageFileType& type)
{
    return std::string(type.label) + " (*" + type.extension + ")";
}

std::string WithImageExtension(const std::string& path, const ImageFileType& type)
{
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    // A dot that starts the name (".tape") makes a hidden file, not an extension.
    if (dot != std::string::npos && dot > nameStart)
        return path;
    return path + type.extension;
}
