#include "frontend/DriveOptions.h"

#include "aspi/AspiProviders.h"
#include "platform/linux/LinuxTape.h"

void InstallPlatformServices(const DriveOptions& options)
{
    DeviceNamespace::SetTapeImages(options.tapeImages, options.driveOptions);
    InstallLinuxTapeBackend();
    RegisterLinuxAspiProvider();
}
