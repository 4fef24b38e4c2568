// Installing the "WNASPI32" provider both programs use at start-up.
#pragma once
#include <string>

// Registers the Linux provider under "WNASPI32": the virtual drives of the device namespace
// when tape images are given, otherwise the SCSI generic devices found under sysfsRoot.
// With neither, loading it fails with ERROR_DLL_NOT_FOUND (the program then runs without
// ASPI). Call before the ASPI manager initialises.
void RegisterLinuxAspiProvider(const std::string& sysfsRoot = "/sys");
