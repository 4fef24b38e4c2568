// Error numbers of the tape and file services. The values are the Windows ones the
// program has always reported and tested for; every backend maps its own errors to them.
#pragma once
#include <cstdint>
#include <string>

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_BAD_UNIT = 20;
inline constexpr uint32_t ERROR_NOT_READY = 21;
inline constexpr uint32_t ERROR_CRC = 23;
inline constexpr uint32_t ERROR_WRITE_FAULT = 29;
inline constexpr uint32_t ERROR_READ_FAULT = 30;
inline constexpr uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_PROC_NOT_FOUND = 127;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_MORE_DATA = 234;
inline constexpr uint32_t ERROR_END_OF_MEDIA = 1100;
inline constexpr uint32_t ERROR_FILEMARK_DETECTED = 1101;
inline constexpr uint32_t ERROR_BEGINNING_OF_MEDIA = 1102;
inline constexpr uint32_t ERROR_SETMARK_DETECTED = 1103;
inline constexpr uint32_t ERROR_NO_DATA_DETECTED = 1104;
inline constexpr uint32_t ERROR_INVALID_BLOCK_LENGTH = 1106;
inline constexpr uint32_t ERROR_MEDIA_CHANGED = 1110;
inline constexpr uint32_t ERROR_BUS_RESET = 1111;
inline constexpr uint32_t ERROR_NO_MEDIA_IN_DRIVE = 1112;
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr uint32_t ERROR_DLL_NOT_FOUND = 1157;
inline constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr uint32_t ERROR_TIMEOUT = 1460;

// Our own codes carry bit 29, the bit Windows leaves to applications.
inline constexpr uint32_t ERROR_TAPE_IMAGE_TRUNCATED = 0x20000001;
inline constexpr uint32_t ERROR_TAPE_IMAGE_INCONSISTENT = 0x20000002;
inline constexpr uint32_t ERROR_TAPE_IMAGE_UNKNOWN_MARKER = 0x20000004;
inline constexpr uint32_t ERROR_NOT_REGULAR_FILE = 0x20000005;
inline constexpr uint32_t ERROR_NOT_A_DIRECTORY = 0x20000006;
inline constexpr uint32_t ERROR_READ_ONLY_FILE_SYSTEM = 0x20000007;
inline constexpr uint32_t ERROR_TOO_MANY_LINKS = 0x20000008;
inline constexpr uint32_t ERROR_TAPE_IMAGE_UNKNOWN_FORMAT = 0x20000009;
inline constexpr uint32_t ERROR_TAPE_IMAGE_BAD_COMPRESSION = 0x2000000A;
inline constexpr uint32_t ERROR_TAPE_IMAGE_UNREADABLE = 0x20000003;

// The errors of a tape image that cannot be followed past a place (not of a drive).
inline bool IsTapeImageDamage(uint32_t code)
{
    return code == ERROR_TAPE_IMAGE_TRUNCATED || code == ERROR_TAPE_IMAGE_INCONSISTENT ||
           code == ERROR_TAPE_IMAGE_UNKNOWN_MARKER || code == ERROR_TAPE_IMAGE_BAD_COMPRESSION;
}

// The text shown in the log for an error number, one line ending in "\n" (the log writes
// it right after the error banner). Never empty.
std::string SystemMessage(uint32_t code);

// The cause of a failure in a few words ("permission denied", "not found"), for the line
// that follows a failure's own text. Never empty.
std::string FailureReason(uint32_t code);

// Maps an errno value of a file or device call to the nearest error number above.
uint32_t ErrorFromErrno(int err);
