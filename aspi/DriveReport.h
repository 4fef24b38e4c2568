// The drive part of the start-up log, shared by the log view and kellovaran-cli.
#pragma once
#include <string>

class ReAspiManager;

// Initialised: "ASPI initialized\n", a fresh Rescan, then the drives found ("Following tape
// drives found:\n", one "\t[%d:%d] -- %s -- %s\n" each, "\n") or "Tape drives not
// found.\n\n". Not initialised: "ASPI did not initialize\n".
std::string DescribeTapeDrives(ReAspiManager& aspi);
