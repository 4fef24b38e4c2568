// placeholder: being written
#include "platform/SimhTape.h"
#include "platform/Errors.h"
TapeDevicePtr OpenVirtualDrive(const std::string&, const VirtualDriveOptions&, uint32_t& error)
{
    error = ERROR_NOT_SUPPORTED;
    return nullptr;
}
