#include "platform/linux/LinuxTape.h"

#include "platform/Errors.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/mtio.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kReadBlockLimits = 0x05;
constexpr unsigned kScsiTimeoutMs = 60000;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusBusy = 0x08;
constexpr uint8_t kStatusReservationConflict = 0x18;
constexpr uint8_t kSenseNotReady = 0x2;
constexpr uint8_t kSenseMediumError = 0x3;
constexpr uint8_t kSenseIllegalRequest = 0x5;
constexpr uint8_t kSenseUnitAttention = 0x6;
constexpr uint8_t kAscMediumNotPresent = 0x3A;
constexpr uint8_t kAscPowerOnOrReset = 0x29;
constexpr uint16_t kHostNoConnect = 0x01;
constexpr uint16_t kHostTimeOut = 0x03;
constexpr uint16_t kHostReset = 0x08;

uint32_t BlockSizeOf(const mtget& status)
{
    return static_cast<uint32_t>((status.mt_dsreg & MT_ST_BLKSIZE_MASK) >> MT_ST_BLKSIZE_SHIFT);
}

// Why a drive cannot serve a request needing a tape, from its status; ERROR_SUCCESS if it can.
uint32_t NotReadyError(const mtget& status)
{
    if (GMT_DR_OPEN(status.mt_gstat))
        return ERROR_NO_MEDIA_IN_DRIVE;
    if (!GMT_ONLINE(status.mt_gstat))
        return ERROR_NOT_READY;
    return ERROR_SUCCESS;
}

// The result of a SCSI command sent with SG_IO, as an error number.
uint32_t ScsiError(const sg_io_hdr& io, const uint8_t* sense)
{
    if ((io.info & SG_INFO_OK_MASK) == SG_INFO_OK && io.status == 0 && io.host_status == 0 &&
        io.driver_status == 0)
        return ERROR_SUCCESS;
    if (io.host_status != 0) {
        switch (io.host_status) {
        case kHostNoConnect: return ERROR_DEVICE_NOT_CONNECTED;
        case kHostTimeOut: return ERROR_TIMEOUT;
        case kHostReset: return ERROR_BUS_RESET;
        default: return ERROR_IO_DEVICE;
        }
    }
    if (io.status == kStatusBusy)
        return ERROR_NOT_READY;
    if (io.status == kStatusReservationConflict)
        return ERROR_SHARING_VIOLATION;
    if (io.status == kStatusCheckCondition && io.sb_len_wr >= 3) {
        // Fixed format (0x70/0x71) or descriptor format (0x72/0x73) sense data.
        const bool descriptor = (sense[0] & 0x7E) == 0x72;
        const uint8_t key = (descriptor ? sense[1] : sense[2]) & 0x0F;
        const uint8_t asc = descriptor ? sense[2] : (io.sb_len_wr > 12 ? sense[12] : 0);
        switch (key) {
        case kSenseNotReady:
            return asc == kAscMediumNotPresent ? ERROR_NO_MEDIA_IN_DRIVE : ERROR_NOT_READY;
        case kSenseMediumError: return ERROR_CRC;
        case kSenseIllegalRequest: return ERROR_NOT_SUPPORTED;
        case kSenseUnitAttention:
            return asc == kAscPowerOnOrReset ? ERROR_BUS_RESET : ERROR_MEDIA_CHANGED;
        default: return ERROR_IO_DEVICE;
        }
    }
    return ERROR_IO_DEVICE;
}

bool IsUnitAttention(const sg_io_hdr& io, const uint8_t* sense)
{
    if (io.status != kStatusCheckCondition || io.sb_len_wr < 3)
        return false;
    const bool descriptor = (sense[0] & 0x7E) == 0x72;
    return ((descriptor ? sense[1] : sense[2]) & 0x0F) == kSenseUnitAttention;
}

class StTapeDevice final : public TapeDevice {
public:
    StTapeDevice(StSystem& system, StFd tape, std::string sgNode, uint32_t transferLimit)
        : m_sys(system), m_tape(std::move(tape)), m_strSgNode(std::move(sgNode)),
          m_nTransferLimit(transferLimit)
    {
    }

    // The drive's limits come from READ BLOCK LIMITS: st does not pass them on.
    uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& params) override
    {
        uint8_t limits[6] = {};
        uint32_t error = ReadBlockLimits(limits);
        if (error != ERROR_SUCCESS)
            return error;
        const uint32_t maxLimit = (uint32_t{limits[1]} << 16) | (uint32_t{limits[2]} << 8) | limits[3];
        const uint32_t minLimit = (uint32_t{limits[4]} << 8) | limits[5];
        params = {};
        // A maximum of 0 means the drive names no limit: variable blocks up to st's limit
        // (and no more than a READ can carry).
        const uint32_t stLimit = std::min(m_nTransferLimit, kMaxTapeBlockSize);
        params.MaximumBlockSize = maxLimit == 0 ? stLimit : std::min(maxLimit, stLimit);
        params.MinimumBlockSize = minLimit;
        if (maxLimit == 0 || minLimit != maxLimit)
            params.FeaturesLow |= TAPE_DRIVE_VARIABLE_BLOCK;
        return ERROR_SUCCESS;
    }

    uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& params) override
    {
        mtget status{};
        if (int rc = m_sys.TapeStatus(m_tape.get(), status); rc < 0)
            return ErrorFromErrno(-rc);
        if (uint32_t error = NotReadyError(status); error != ERROR_SUCCESS)
            return error;
        params = {};
        params.BlockSize = BlockSizeOf(status);
        params.WriteProtected = GMT_WR_PROT(status.mt_gstat) ? 1 : 0;
        return ERROR_SUCCESS;
    }

    uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& params) override
    {
        if (params.BlockSize > INT_MAX)
            return ERROR_INVALID_BLOCK_LENGTH;
        int rc = Operation(MTSETBLK, static_cast<int>(params.BlockSize));
        if (rc == -EINVAL)  // outside the drive's block limits
            return ERROR_INVALID_BLOCK_LENGTH;
        return rc < 0 ? ErrorAfter(-rc, ERROR_IO_DEVICE) : ERROR_SUCCESS;
    }

    uint32_t SetTapePosition(uint32_t method, uint32_t, uint32_t offsetLow, uint32_t offsetHigh,
                             bool) override
    {
        if (method == TAPE_REWIND) {
            int rc = Operation(MTREW, 1);
            return rc < 0 ? ErrorAfter(-rc, ERROR_IO_DEVICE) : ERROR_SUCCESS;
        }
        if (method != TAPE_SPACE_FILEMARKS)
            return ERROR_NOT_SUPPORTED;
        // The offset is signed 64-bit: a negative count spaces backwards.
        const int64_t count = static_cast<int64_t>((uint64_t{offsetHigh} << 32) | offsetLow);
        if (count == 0)
            return ERROR_SUCCESS;
        if (count > INT_MAX || count < -static_cast<int64_t>(INT_MAX))
            return ERROR_INVALID_PARAMETER;
        int rc = count > 0 ? Operation(MTFSF, static_cast<int>(count))
                           : Operation(MTBSF, static_cast<int>(-count));
        if (rc == 0)
            return ERROR_SUCCESS;
        if (count < 0 && rc == -EIO) {
            mtget status{};
            if (m_sys.TapeStatus(m_tape.get(), status) == 0 && GMT_BOT(status.mt_gstat))
                return ERROR_BEGINNING_OF_MEDIA;
        }
        return ErrorAfter(-rc, ERROR_IO_DEVICE);
    }

    uint32_t PrepareTape(uint32_t operation, bool) override
    {
        int rc;
        if (operation == TAPE_LOAD)
            rc = Operation(MTLOAD, 1);
        else if (operation == TAPE_UNLOAD)
            rc = Operation(MTOFFL, 1);
        else
            return ERROR_NOT_SUPPORTED;
        return rc < 0 ? ErrorAfter(-rc, ERROR_IO_DEVICE) : ERROR_SUCCESS;
    }

    // st hands out one block per read() in variable mode, the block as recorded; in fixed
    // mode size / block size blocks, one with the buffer the caller sizes to the block. A
    // block of another length fails a fixed-block read with EIO and is left ahead.
    uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) override
    {
        bytesRead = 0;
        if (size == 0)
            return ERROR_INVALID_PARAMETER;  // a 0-byte read would look like a filemark
        ssize_t n = m_sys.Read(m_tape.get(), buffer, size);
        if (n > 0) {
            bytesRead = static_cast<uint32_t>(n);
            return ERROR_SUCCESS;
        }
        if (n == 0)
            return ZeroReadResult();
        if (n == -ENOMEM) {
            // Variable mode: the block was longer than the request. st has skipped it and
            // kept none of its bytes, so nothing is delivered.
            mtget status{};
            if (m_sys.TapeStatus(m_tape.get(), status) < 0 || BlockSizeOf(status) == 0)
                return ERROR_MORE_DATA;
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (n == -EIO && IsWrongLengthBlock())
            return ERROR_INVALID_BLOCK_LENGTH;
        return ErrorAfter(static_cast<int>(-n), ERROR_CRC);
    }

private:
    int Operation(short op, int count)
    {
        mtop request{};
        request.mt_op = op;
        request.mt_count = count;
        return m_sys.TapeOperation(m_tape.get(), request);
    }

    // st returns 0 bytes at a filemark and once more at the end of recorded data; the
    // status tells the two apart. Two filemarks in a row are an empty file, not the end.
    uint32_t ZeroReadResult()
    {
        mtget status{};
        if (m_sys.TapeStatus(m_tape.get(), status) < 0)
            return ERROR_FILEMARK_DETECTED;
        if (GMT_EOD(status.mt_gstat))
            return ERROR_NO_DATA_DETECTED;
        if (GMT_EOT(status.mt_gstat))
            return ERROR_END_OF_MEDIA;
        return ERROR_FILEMARK_DETECTED;
    }

    // Whether a fixed-block read that failed with EIO met a block of another length. st
    // says so only in the kernel log ("Incorrect block size"), but it spaces back over such
    // a block and so still knows its block number, while a data error leaves it not knowing
    // where the tape is (mt_blkno -1). Where st had lost count already (after a data error
    // or spacing back over a filemark, until the next filemark or rewind), a wrong length
    // reads as a data error.
    bool IsWrongLengthBlock()
    {
        mtget status{};
        if (m_sys.TapeStatus(m_tape.get(), status) < 0)
            return false;
        return BlockSizeOf(status) != 0 && NotReadyError(status) == ERROR_SUCCESS &&
               !GMT_EOD(status.mt_gstat) && !GMT_EOT(status.mt_gstat) && status.mt_blkno >= 0;
    }

    // The error number for a failed st call. EIO says little by itself: the drive's status
    // tells a missing tape, the end of data or the end of the tape from a real fault, which
    // is ioError (a data error for reads).
    uint32_t ErrorAfter(int err, uint32_t ioError)
    {
        if (err == ENOMEDIUM)
            return ERROR_NO_MEDIA_IN_DRIVE;
        if (err != EIO)
            return ErrorFromErrno(err);
        mtget status{};
        if (m_sys.TapeStatus(m_tape.get(), status) < 0)
            return ioError;
        if (uint32_t error = NotReadyError(status); error != ERROR_SUCCESS)
            return error;
        if (GMT_EOD(status.mt_gstat))
            return ERROR_NO_DATA_DETECTED;
        if (GMT_EOT(status.mt_gstat))
            return ERROR_END_OF_MEDIA;
        return ioError;
    }

    uint32_t ReadBlockLimits(uint8_t (&limits)[6])
    {
        if (m_strSgNode.empty())
            return ERROR_NOT_SUPPORTED;
        if (!m_sg.valid()) {
            int fd = m_sys.Open(m_strSgNode, O_RDWR | O_NONBLOCK);
            if (fd < 0)
                return fd == -ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(-fd);
            m_sg = StFd(m_sys, fd);
        }
        // A unit attention (tape changed, bus reset) is reported once; ask again after it.
        for (int attempt = 0;; ++attempt) {
            uint8_t cdb[6] = {kReadBlockLimits, 0, 0, 0, 0, 0};
            uint8_t sense[32] = {};
            sg_io_hdr io{};
            io.interface_id = 'S';
            io.dxfer_direction = SG_DXFER_FROM_DEV;
            io.cmdp = cdb;
            io.cmd_len = sizeof(cdb);
            io.dxferp = limits;
            io.dxfer_len = sizeof(limits);
            io.sbp = sense;
            io.mx_sb_len = sizeof(sense);
            io.timeout = kScsiTimeoutMs;
            if (int rc = m_sys.ScsiCommand(m_sg.get(), io); rc < 0)
                return ErrorFromErrno(-rc);
            if (attempt == 0 && IsUnitAttention(io, sense))
                continue;
            if (uint32_t error = ScsiError(io, sense); error != ERROR_SUCCESS)
                return error;
            if (io.resid < 0 || sizeof(limits) - static_cast<size_t>(io.resid) < sizeof(limits))
                return ERROR_IO_DEVICE;
            return ERROR_SUCCESS;
        }
    }

    StSystem& m_sys;
    StFd m_tape;
    std::string m_strSgNode;
    StFd m_sg;  // opened when the block limits are first asked for
    uint32_t m_nTransferLimit;
};

} // namespace

TapeDevicePtr OpenLinuxTape(const LinuxTapeDrive& drive, uint32_t transferLimit,
                            StSystem& system, uint32_t& error)
{
    if (drive.stNode.empty()) {
        error = ERROR_NOT_SUPPORTED;  // a sequential-access device without the st driver
        return nullptr;
    }
    // O_NONBLOCK: an empty drive opens at once instead of holding the job until st gives up
    // waiting for a tape. A write-protected tape refuses O_RDWR.
    int fd = system.Open(drive.stNode, O_RDWR | O_NONBLOCK);
    if (fd == -EROFS || fd == -EACCES)
        fd = system.Open(drive.stNode, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        switch (-fd) {
        case EBUSY: error = ERROR_SHARING_VIOLATION; break;  // st allows one open
        case ENOENT: error = ERROR_FILE_NOT_FOUND; break;
        case ENXIO: case ENODEV: error = ERROR_DEVICE_NOT_CONNECTED; break;
        default: error = ErrorFromErrno(-fd); break;
        }
        return nullptr;
    }
    StFd tape(system, fd);
    // The status answers also without a tape (the drive opens empty, as eject expects); a
    // node that cannot give it is no tape drive.
    mtget status{};
    if (int rc = system.TapeStatus(tape.get(), status); rc < 0) {
        error = rc == -ENOTTY || rc == -EINVAL ? ERROR_BAD_UNIT : ErrorFromErrno(-rc);
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return std::make_unique<StTapeDevice>(system, std::move(tape), drive.sgNode, transferLimit);
}

DeviceNamespace::Opener MakeLinuxTapeOpener(std::string sysfsRoot, StSystem& system)
{
    return [root = std::move(sysfsRoot), &system](int index, uint32_t& error) -> TapeDevicePtr {
        std::vector<LinuxTapeDrive> drives = EnumerateLinuxTapeDrives(root);
        if (index < 0 || static_cast<size_t>(index) >= drives.size()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        return OpenLinuxTape(drives[static_cast<size_t>(index)], StTransferLimit(root), system, error);
    };
}

void InstallLinuxTapeBackend()
{
    DeviceNamespace::SetRealDriveOpener(MakeLinuxTapeOpener("/sys", RealStSystem()));
}
