// The tape device interface: the operations the tape jobs perform on \\.\TAPEn, with the
// parameter blocks' named fields and results as error numbers (platform/Errors.h).
#pragma once
#include <cstdint>
#include <memory>

// GetTapeParameters operations
inline constexpr uint32_t GET_TAPE_MEDIA_INFORMATION = 0;
inline constexpr uint32_t GET_TAPE_DRIVE_INFORMATION = 1;
// SetTapeParameters operations
inline constexpr uint32_t SET_TAPE_MEDIA_INFORMATION = 0;
inline constexpr uint32_t SET_TAPE_DRIVE_INFORMATION = 1;
// SetTapePosition methods
inline constexpr uint32_t TAPE_REWIND = 0;
inline constexpr uint32_t TAPE_SPACE_RELATIVE_BLOCKS = 5;
inline constexpr uint32_t TAPE_SPACE_FILEMARKS = 6;
// PrepareTape operations
inline constexpr uint32_t TAPE_LOAD = 0;
inline constexpr uint32_t TAPE_UNLOAD = 1;
// FeaturesLow bit: the drive reads and writes variable-length blocks.
inline constexpr uint32_t TAPE_DRIVE_VARIABLE_BLOCK = 0x800;

// The largest block anything here reads or sizes a buffer for. SCSI READ carries the
// length of a variable block in 24 bits, and READ BLOCK LIMITS names the maximum in 24
// bits, so no drive ever hands over a longer one. (A .tap length word has room for 28 bits,
// but a longer record cannot have come from a tape.)
inline constexpr uint32_t kMaxTapeBlockSize = 0xFFFFFF;  // 16 777 215

// Both parameter blocks are 32 bytes, the size the callers pass.
struct TAPE_GET_DRIVE_PARAMETERS {
    uint8_t ECC = 0;
    uint8_t Compression = 0;
    uint8_t DataPadding = 0;
    uint8_t ReportSetmarks = 0;
    uint32_t DefaultBlockSize = 0;
    uint32_t MaximumBlockSize = 0;
    uint32_t MinimumBlockSize = 0;
    uint32_t MaximumPartitionCount = 0;
    uint32_t FeaturesLow = 0;
    uint32_t FeaturesHigh = 0;
    uint32_t EOTWarningZoneSize = 0;
};
static_assert(sizeof(TAPE_GET_DRIVE_PARAMETERS) == 32);

struct TAPE_GET_MEDIA_PARAMETERS {
    int64_t Capacity = 0;
    int64_t Remaining = 0;
    uint32_t BlockSize = 0;
    uint32_t PartitionCount = 0;
    uint8_t WriteProtected = 0;
};
static_assert(sizeof(TAPE_GET_MEDIA_PARAMETERS) == 32);

struct TAPE_SET_MEDIA_PARAMETERS {
    uint32_t BlockSize = 0;  // 0 selects variable-length blocks
};

// One open tape device. Every call returns ERROR_SUCCESS or an error number. Below, per
// call, what it can give and where it leaves the tape; every backend (the image drive and
// the st drive) answers so, and tests/conformance holds both to it. Besides the results
// listed, any call can fail as the device does: ERROR_NO_MEDIA_IN_DRIVE, ERROR_NOT_READY,
// ERROR_IO_DEVICE and the other errors of a drive, with the position where the drive left it.
//
// GetDriveParameters
//   ERROR_SUCCESS        the limits; MinimumBlockSize <= MaximumBlockSize <= kMaxTapeBlockSize,
//                        TAPE_DRIVE_VARIABLE_BLOCK set when variable blocks can be read
//   ERROR_NOT_SUPPORTED  the drive cannot be asked (no SCSI generic node)
//   the position does not change.
// GetMediaParameters
//   ERROR_SUCCESS        BlockSize: 0 variable blocks, else the fixed block size in use
//   the position does not change.
// SetMediaParameters
//   ERROR_SUCCESS        BlockSize 0 selects variable blocks, n fixed blocks of n bytes
//   ERROR_INVALID_PARAMETER (image) / ERROR_INVALID_BLOCK_LENGTH (st)
//                        a size the drive cannot do; the block size stays as it was
//   the position does not change.
// SetTapePosition TAPE_REWIND
//   ERROR_SUCCESS        at the beginning of the tape
// SetTapePosition TAPE_SPACE_FILEMARKS, count n (offsetHigh:offsetLow, signed)
//   ERROR_SUCCESS        n > 0: just after the n-th filemark; n = 0: nothing moves
//   ERROR_NO_DATA_DETECTED  fewer than n filemarks before the end of the data: at the end,
//                        where Read gives ERROR_NO_DATA_DETECTED
//   ERROR_END_OF_MEDIA   (drives only) the physical end of the tape came first
//   ERROR_NOT_SUPPORTED  n < 0 on an image (st spaces backwards and gives
//                        ERROR_BEGINNING_OF_MEDIA when it reaches the beginning first);
//                        also any other method. Nothing moves.
// SetTapePosition TAPE_SPACE_RELATIVE_BLOCKS, count n (offsetHigh:offsetLow, signed)
//   ERROR_SUCCESS        n > 0: just after the n-th block ahead; n < 0: just before the
//                        -n-th block behind; n = 0: nothing moves. Every record counts, an
//                        unreadable one too: -1 after a Read's ERROR_CRC is before that block
//   ERROR_FILEMARK_DETECTED  a filemark came first: forwards just after it, backwards just
//                        before it (the next Read gives it)
//   ERROR_BEGINNING_OF_MEDIA  n < 0, the beginning of the tape came first: there
//   ERROR_NO_DATA_DETECTED  n > 0, the end of the recorded data came first: there
//   ERROR_TAPE_IMAGE_TRUNCATED / _INCONSISTENT / _UNKNOWN_MARKER  (images) damage, before it, as for Read
// PrepareTape
//   ERROR_SUCCESS        TAPE_LOAD: at the beginning, block size back to the drive's own;
//                        TAPE_UNLOAD: no tape until the next TAPE_LOAD; the calls that need
//                        one give ERROR_NO_MEDIA_IN_DRIVE (image) or ERROR_NOT_READY (st)
//   ERROR_NOT_SUPPORTED  any other operation
// Read(buffer, size, bytesRead): one block in variable mode, size / block size blocks in
// fixed-block mode. bytesRead is always set, never more than size; on an error it is 0
// except for ERROR_MORE_DATA and ERROR_CRC. Only the first bytesRead bytes of buffer are
// data, and nothing past size is ever written. In between: the image drive writes nothing there (unless the
// image file fails under it mid-read); a drive may have (st's direct I/O lets the drive
// put what it sent straight into the buffer, also for a read that then fails).
//   ERROR_SUCCESS        bytesRead bytes of data; after them. In fixed-block mode a request
//                        ends early, with the whole blocks it has, at anything that is not a
//                        block of the block size; that thing is reported by the next Read
//   ERROR_FILEMARK_DETECTED  a filemark, 0 bytes; after it (two in a row: an empty file)
//   ERROR_NO_DATA_DETECTED   the end of the recorded data, 0 bytes; stays there, so every
//                        further Read gives it again
//   ERROR_END_OF_MEDIA   (drives only) the physical end of the tape, 0 bytes
//   ERROR_MORE_DATA      variable mode, a block longer than size; after the block. bytesRead
//                        is size (its first bytes) on an image, 0 through st, which keeps
//                        none of such a block
//   ERROR_INVALID_BLOCK_LENGTH  fixed-block mode, a block of another length, 0 bytes; BEFORE
//                        it, as st leaves it, so the next Read gives the same error again
//                        (read it in variable mode to get it)
//   ERROR_INVALID_PARAMETER  size 0, or (image) not a whole number of blocks; nothing moves
//   ERROR_CRC            a block that cannot be read (a bad record of an image); bytesRead
//                        is what the drive got of it: 0 through st, a bad record's stored
//                        bytes on an image in variable mode (when they fit), else 0;
//                        AFTER it, on an image and through st alike (a drive moves past a
//                        block it gave up on), so spacing back one block reads it again
//   ERROR_TAPE_IMAGE_TRUNCATED / _INCONSISTENT / _UNKNOWN_MARKER  (images) damage, 0 bytes; before it, so
//                        reading on gives the same error again
class TapeDevice {
public:
    virtual ~TapeDevice() = default;

    virtual uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& params) = 0;
    virtual uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& params) = 0;
    virtual uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& params) = 0;

    // method TAPE_REWIND, or TAPE_SPACE_FILEMARKS / TAPE_SPACE_RELATIVE_BLOCKS with the
    // signed count in offsetHigh:offsetLow.
    virtual uint32_t SetTapePosition(uint32_t method, uint32_t partition, uint32_t offsetLow,
                                     uint32_t offsetHigh, bool immediate) = 0;
    // operation TAPE_LOAD or TAPE_UNLOAD.
    virtual uint32_t PrepareTape(uint32_t operation, bool immediate) = 0;

    virtual uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) = 0;

    // The length of the block that made the last Read give ERROR_MORE_DATA or
    // ERROR_INVALID_BLOCK_LENGTH, for the message that says both sizes; 0 when the drive
    // cannot tell (st keeps nothing of such a block) or the last Read gave neither.
    virtual uint32_t LastBlockLength() const { return 0; }

    // How far into its medium the drive is, for a progress figure: done of total bytes.
    // False when the drive cannot tell (st: a tape's length is not known); cheap enough to
    // ask after every block, and it moves nothing.
    virtual bool MediumProgress(uint64_t& done, uint64_t& total) const
    {
        (void)done;
        (void)total;
        return false;
    }
};

using TapeDevicePtr = std::unique_ptr<TapeDevice>;
