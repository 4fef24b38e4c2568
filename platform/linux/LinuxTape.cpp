#include "platform/linux/LinuxTape.h"

#include "platform/Errors.h"
#include "platform/linux/DriveFacts.h"
#include "platform/linux/SgIo.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/mtio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

constexpr uint8_t kReadBlockLimits = 0x05;
constexpr unsigned kScsiTimeoutMs = 60000;
constexpr uint64_t kStMaxPagesPerSegment = 64;  // st's largest buffer page order is 6
constexpr uint32_t kDefaultMaxSgSegs = 256;

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

class StTapeDevice final : public TapeDevice {
public:
    StTapeDevice(StSystem& system, UniqueFd tape, std::string sgNode, uint32_t transferLimit)
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
        // The offset is signed 64-bit: a negative count spaces backwards.
        const int64_t count = static_cast<int64_t>((uint64_t{offsetHigh} << 32) | offsetLow);
        if (method == TAPE_SPACE_RELATIVE_BLOCKS)
            return SpaceRecords(count);
        if (method != TAPE_SPACE_FILEMARKS)
            return ERROR_NOT_SUPPORTED;
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

    // MTFSR / MTBSR. A filemark ends the spacing with EIO, the drive past it (forwards) or
    // before it (backwards); st counts it in mt_fileno, which tells it from a fault. Some
    // drives (scsi_debug's tape among them) pass a filemark that is the last record of a
    // backward count without a word, already where a reported one leaves the tape; st's
    // block number in the file tells: more records back than it counted since the filemark.
    uint32_t SpaceRecords(int64_t count)
    {
        if (count == 0)
            return ERROR_SUCCESS;
        if (count > INT_MAX || count < -static_cast<int64_t>(INT_MAX))
            return ERROR_INVALID_PARAMETER;
        mtget before{};
        const bool haveBefore = m_sys.TapeStatus(m_tape.get(), before) == 0;
        int rc = count > 0 ? Operation(MTFSR, static_cast<int>(count))
                           : Operation(MTBSR, static_cast<int>(-count));
        if (rc == 0) {
            if (count < 0 && haveBefore && before.mt_blkno >= 0 && -count > before.mt_blkno)
                return before.mt_fileno == 0 ? ERROR_BEGINNING_OF_MEDIA : ERROR_FILEMARK_DETECTED;
            return ERROR_SUCCESS;
        }
        if (rc == -EIO) {
            mtget after{};
            if (m_sys.TapeStatus(m_tape.get(), after) == 0) {
                if (count < 0 && GMT_BOT(after.mt_gstat))
                    return ERROR_BEGINNING_OF_MEDIA;
                if (haveBefore && before.mt_fileno >= 0 && after.mt_fileno != before.mt_fileno)
                    return ERROR_FILEMARK_DETECTED;
            }
        }
        return ErrorAfter(-rc, ERROR_IO_DEVICE);
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
            m_sg = UniqueFd(fd, &m_sys);
        }
        // A unit attention (tape changed, bus reset) is reported once; ask again after it.
        for (int attempt = 0;; ++attempt) {
            SgIoRequest request;
            request.cdb = {kReadBlockLimits, 0, 0, 0, 0, 0};
            request.direction = SgIoRequest::FromDevice;
            request.data.assign(sizeof(limits), 0);
            request.timeoutMs = kScsiTimeoutMs;
            SendScsiCommand(m_sys, m_sg.get(), request);
            if (attempt == 0 && request.error == 0 && IsUnitAttention(request))
                continue;
            if (uint32_t error = ScsiCommandError(request); error != ERROR_SUCCESS)
                return error;
            if (request.residual != 0)
                return ERROR_IO_DEVICE;
            std::memcpy(limits, request.data.data(), sizeof(limits));
            return ERROR_SUCCESS;
        }
    }

    StSystem& m_sys;
    UniqueFd m_tape;
    std::string m_strSgNode;
    UniqueFd m_sg;  // opened when the block limits are first asked for
    uint32_t m_nTransferLimit;
};

} // namespace

TapeDevicePtr OpenLinuxTape(const ScsiDevice& drive, uint32_t transferLimit,
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
    UniqueFd tape(fd, &system);
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
        std::vector<ScsiDevice> drives = EnumerateLinuxTapeDrives(root);
        if (index < 0 || static_cast<size_t>(index) >= drives.size()) {
            error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        return OpenLinuxTape(drives[static_cast<size_t>(index)], StTransferLimit(root), system, error);
    };
}

uint32_t StTransferLimit(const std::string& sysfsRoot)
{
    uint64_t segments = kDefaultMaxSgSegs;
    std::ifstream in(sysfsRoot + "/module/st/parameters/max_sg_segs");
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    if (!value.empty()) {
        char* end = nullptr;
        unsigned long parsed = std::strtoul(value.c_str(), &end, 10);
        if (end && *end == '\0' && parsed > 0)
            segments = parsed;
    }
    long page = sysconf(_SC_PAGESIZE);
    uint64_t limit = segments * kStMaxPagesPerSegment * static_cast<uint64_t>(page > 0 ? page : 4096);
    return static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX));
}

void InstallLinuxTapeBackend()
{
    DeviceNamespace::SetRealDriveOpener(MakeLinuxTapeOpener("/sys", RealStSystem()));
    DeviceNamespace::SetRealDriveFactsReader(MakeLinuxFactsReader("/sys", RealStSystem()));
    DeviceNamespace::SetRealDriveNamer([](int index) {
        std::vector<ScsiDevice> drives = EnumerateLinuxTapeDrives("/sys");
        return index >= 0 && static_cast<size_t>(index) < drives.size() ? drives[static_cast<size_t>(index)].stNode
                                                                        : std::string();
    });
}
