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
inline constexpr uint32_t TAPE_SPACE_FILEMARKS = 6;
// PrepareTape operations
inline constexpr uint32_t TAPE_LOAD = 0;
inline constexpr uint32_t TAPE_UNLOAD = 1;
// FeaturesLow bit: the drive reads and writes variable-length blocks.
inline constexpr uint32_t TAPE_DRIVE_VARIABLE_BLOCK = 0x800;

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

// One open tape device. Every call returns ERROR_SUCCESS or an error number; the
// position after a failed call is whatever the drive reports it to be.
class TapeDevice {
public:
    virtual ~TapeDevice() = default;

    virtual uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& params) = 0;
    virtual uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& params) = 0;
    virtual uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& params) = 0;

    // method TAPE_REWIND, or TAPE_SPACE_FILEMARKS with the count in offsetLow.
    virtual uint32_t SetTapePosition(uint32_t method, uint32_t partition, uint32_t offsetLow,
                                     uint32_t offsetHigh, bool immediate) = 0;
    // operation TAPE_LOAD or TAPE_UNLOAD.
    virtual uint32_t PrepareTape(uint32_t operation, bool immediate) = 0;

    // Reads one block into buffer. On ERROR_SUCCESS bytesRead is the block's length
    // (0 is possible). ERROR_FILEMARK_DETECTED: a filemark was passed, 0 bytes.
    // ERROR_NO_DATA_DETECTED / ERROR_END_OF_MEDIA: nothing more to read.
    // ERROR_MORE_DATA: the block was longer than size; bytesRead = size bytes delivered.
    virtual uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) = 0;
};

using TapeDevicePtr = std::unique_ptr<TapeDevice>;
