#include "platform/linux/SgIo.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/linux/ScsiSense.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <scsi/sg.h>

namespace {

constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusReservationConflict = 0x18;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint8_t kAscPowerOnOrReset = 0x29;
constexpr uint16_t kHostNoConnect = 0x01;
constexpr uint16_t kHostTimeOut = 0x03;
constexpr uint16_t kHostReset = 0x08;

ScsiSense SenseOf(const SgIoRequest& request)
{
    if (request.status != kStatusCheckCondition)
        return {};
    return DecodeSense(request.sense.data(), request.sense.size());
}

} // namespace

void SendScsiCommand(StSystem& system, int fd, SgIoRequest& request)
{
    uint8_t sense[32] = {};
    sg_io_hdr_t header = {};
    header.interface_id = 'S';
    header.dxfer_direction = request.direction == SgIoRequest::FromDevice ? SG_DXFER_FROM_DEV
                             : request.direction == SgIoRequest::ToDevice ? SG_DXFER_TO_DEV
                                                                          : SG_DXFER_NONE;
    header.cmd_len = static_cast<unsigned char>(request.cdb.size());
    header.cmdp = request.cdb.data();
    header.dxfer_len = static_cast<unsigned int>(request.data.size());
    header.dxferp = request.data.empty() ? nullptr : request.data.data();
    header.mx_sb_len = sizeof sense;
    header.sbp = sense;
    header.timeout = request.timeoutMs;
    if (int rc = system.ScsiCommand(fd, header); rc < 0) {
        request.error = -rc;
        return;
    }
    request.error = 0;
    request.status = header.status;
    request.hostStatus = header.host_status;
    request.driverStatus = header.driver_status;
    request.residual = header.resid;
    request.sense.assign(sense, sense + std::min<size_t>(header.sb_len_wr, sizeof sense));
}

void RunSgIo(SgIoRequest& request, StSystem& system)
{
    int fd = system.Open(request.node, O_RDWR | O_NONBLOCK);
    if (fd == -EACCES || fd == -EROFS)
        fd = system.Open(request.node, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        request.error = -fd;
        return;
    }
    UniqueFd node(fd, &system);
    SendScsiCommand(system, node.get(), request);
}

uint32_t ScsiCommandError(const SgIoRequest& request)
{
    if (request.error)
        return ErrorFromErrno(request.error);
    if (request.Succeeded())
        return ERROR_SUCCESS;
    switch (request.hostStatus) {
    case 0: break;
    case kHostNoConnect: return ERROR_DEVICE_NOT_CONNECTED;
    case kHostTimeOut: return ERROR_TIMEOUT;
    case kHostReset: return ERROR_BUS_RESET;
    default: return ERROR_IO_DEVICE;
    }
    if (request.status == kStatusBusy)
        return ERROR_NOT_READY;
    if (request.status == kStatusReservationConflict)
        return ERROR_SHARING_VIOLATION;
    const ScsiSense sense = SenseOf(request);
    if (!sense.valid)
        return ERROR_IO_DEVICE;
    switch (sense.key) {
    case kSenseKeyNotReady:
        return sense.asc == kAscMediumNotPresent ? ERROR_NO_MEDIA_IN_DRIVE : ERROR_NOT_READY;
    case kSenseKeyMediumError: return ERROR_CRC;
    case kSenseKeyIllegalRequest: return ERROR_NOT_SUPPORTED;
    case kSenseKeyUnitAttention:
        return sense.asc == kAscPowerOnOrReset ? ERROR_BUS_RESET : ERROR_MEDIA_CHANGED;
    default: return ERROR_IO_DEVICE;
    }
}

bool IsUnitAttention(const SgIoRequest& request)
{
    const ScsiSense sense = SenseOf(request);
    return sense.valid && sense.key == kSenseKeyUnitAttention;
}
