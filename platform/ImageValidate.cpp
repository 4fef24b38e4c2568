// validate. (Being written.)
#include "platform/ImageValidate.h"

bool ValidateImage(const std::string&, std::optional<ImageFormat>, ImageValidation&, std::string& error,
                   const std::function<bool(uint64_t)>&)
{
    error = "not built yet";
    return false;
}

std::string ValidationText(const std::string&, const ImageValidation&) { return {}; }
