// One SCSI command through the SG_IO ioctl, the one way the program sends a command to a
// device itself (the ASPI provider for its units, the st backend for READ BLOCK LIMITS).
#pragma once
#include "platform/linux/StSystem.h"

#include <cstdint>
#include <string>
#include <vector>

struct SgIoRequest {
    enum Direction { None, FromDevice, ToDevice };

    std::string node;                 // "/dev/sgN", for RunSgIo
    std::vector<uint8_t> cdb;
    Direction direction = None;
    std::vector<uint8_t> data;        // to send, or sized to receive
    uint32_t timeoutMs = 25000;
    // Results.
    int error = 0;                    // errno when the command could not be issued
    uint8_t status = 0;               // SCSI status byte
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    int residual = 0;
    std::vector<uint8_t> sense;

    // Issued, and completed with GOOD status. The driver's "sense data present" flag (0x08)
    // is no failure of its own.
    bool Succeeded() const
    {
        return error == 0 && status == 0 && hostStatus == 0 && (driverStatus & ~0x08) == 0;
    }
};

// Issues the command on a descriptor already open and fills in the results.
void SendScsiCommand(StSystem& system, int fd, SgIoRequest& request);

// Opens request.node (read-write, or read-only where writing is refused), issues the command
// and closes the node again.
void RunSgIo(SgIoRequest& request, StSystem& system);

// The outcome of a command as an error number: ERROR_SUCCESS, or why it failed, from the
// host status, the SCSI status and the sense data.
uint32_t ScsiCommandError(const SgIoRequest& request);

// A CHECK CONDITION with UNIT ATTENTION (tape changed, bus reset): a device reports it once,
// so the command is worth sending again.
bool IsUnitAttention(const SgIoRequest& request);
