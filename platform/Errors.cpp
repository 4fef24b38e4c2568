#include "platform/Errors.h"

#include <cerrno>
#include <cstdio>

std::string SystemMessage(uint32_t code)
{
    const char* text = nullptr;
    switch (code) {
    case ERROR_SUCCESS: text = "The operation completed successfully."; break;
    case ERROR_FILE_NOT_FOUND: text = "No such file or device."; break;
    case ERROR_PATH_NOT_FOUND: text = "A directory on the path does not exist."; break;
    case ERROR_ACCESS_DENIED: text = "Access is denied."; break;
    case ERROR_INVALID_HANDLE: text = "The handle is invalid."; break;
    case ERROR_NOT_ENOUGH_MEMORY: text = "Not enough memory resources are available to process this command."; break;
    case ERROR_WRITE_PROTECT: text = "The media is write protected."; break;
    case ERROR_BAD_UNIT: text = "No such tape drive."; break;
    case ERROR_NOT_READY: text = "The device is not ready."; break;
    case ERROR_CRC: text = "A block could not be read: bad data on the tape."; break;
    case ERROR_WRITE_FAULT: text = "The system cannot write to the specified device."; break;
    case ERROR_READ_FAULT: text = "The system cannot read from the specified device."; break;
    case ERROR_GEN_FAILURE: text = "The operation failed with an unexpected system error."; break;
    case ERROR_SHARING_VIOLATION: text = "The drive or tape image is in use by another job or program."; break;
    case ERROR_NOT_SUPPORTED: text = "The request is not supported."; break;
    case ERROR_FILE_EXISTS: text = "The file exists."; break;
    case ERROR_INVALID_PARAMETER: text = "The parameter is incorrect."; break;
    case ERROR_DISK_FULL: text = "There is not enough space on the disk."; break;
    case ERROR_INVALID_NAME: text = "The name is not valid."; break;
    case ERROR_PROC_NOT_FOUND: text = "The specified procedure could not be found."; break;
    case ERROR_ALREADY_EXISTS: text = "The name exists already."; break;
    case ERROR_FILENAME_EXCED_RANGE: text = "The name is too long."; break;
    case ERROR_MORE_DATA: text = "A record is longer than the read buffer, the drive's largest block."; break;
    case ERROR_END_OF_MEDIA: text = "The physical end of the tape has been reached."; break;
    case ERROR_FILEMARK_DETECTED: text = "A tape access reached a filemark."; break;
    case ERROR_BEGINNING_OF_MEDIA: text = "Beginning of the tape or a partition was encountered."; break;
    case ERROR_SETMARK_DETECTED: text = "A tape access reached the end of a set of files."; break;
    case ERROR_NO_DATA_DETECTED: text = "No more data is on the tape."; break;
    case ERROR_INVALID_BLOCK_LENGTH: text = "A block's length differs from the fixed block size the tape is read with."; break;
    case ERROR_MEDIA_CHANGED: text = "The media in the drive may have changed."; break;
    case ERROR_BUS_RESET: text = "The I/O bus was reset."; break;
    case ERROR_NO_MEDIA_IN_DRIVE: text = "No tape in the drive."; break;
    case ERROR_IO_DEVICE: text = "The request could not be performed because of an I/O device error."; break;
    case ERROR_DLL_NOT_FOUND: text = "No SCSI access is available for the drive scan."; break;
    case ERROR_DEVICE_NOT_CONNECTED: text = "The device is not connected."; break;
    case ERROR_TIMEOUT: text = "This operation returned because the timeout period expired."; break;
    case ERROR_TAPE_IMAGE_TRUNCATED: text = "The tape image ends in the middle of a record (truncated image)."; break;
    case ERROR_TAPE_IMAGE_INCONSISTENT: text = "The tape image is damaged: its record lengths or links do not agree."; break;
    case ERROR_TAPE_IMAGE_UNREADABLE: text = "The tape image file could not be read."; break;
    case ERROR_TAPE_IMAGE_UNKNOWN_FORMAT: text = "The file is not a tape image of a known format (simh, e11, aws, het, tpc)."; break;
    case ERROR_TAPE_IMAGE_BAD_COMPRESSION: text = "A compressed record of the tape image cannot be decompressed: the image is damaged."; break;
    case ERROR_TAPE_IMAGE_UNKNOWN_MARKER: text = "The tape image holds a marker of an unknown class: it cannot be read past it."; break;
    case ERROR_NOT_REGULAR_FILE: text = "The name is not a regular file (a directory, a pipe, a socket or a device)."; break;
    case ERROR_NOT_A_DIRECTORY: text = "A part of the path is not a directory."; break;
    case ERROR_READ_ONLY_FILE_SYSTEM: text = "The file system is read-only."; break;
    case ERROR_TOO_MANY_LINKS: text = "Too many levels of symbolic links on the path."; break;
    default: break;
    }
    if (text)
        return std::string(text) + "\n";
    char buf[64];
    std::snprintf(buf, sizeof buf, "Unknown error %u.\n", code);
    return buf;
}

uint32_t ErrorFromErrno(int err)
{
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_READ_ONLY_FILE_SYSTEM;
    case ELOOP: return ERROR_TOO_MANY_LINKS;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: case EDQUOT: case EFBIG: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENXIO: case ENODEV: return ERROR_BAD_UNIT;
    case ENOMEDIUM: return ERROR_NO_MEDIA_IN_DRIVE;
    case EIO: return ERROR_IO_DEVICE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case ENOSYS: case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
    }
}

std::string FailureReason(uint32_t code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_BAD_UNIT: return "not found";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_SHARING_VIOLATION: return "in use by another job or program";
    case ERROR_FILENAME_EXCED_RANGE: return "name too long";
    case ERROR_NOT_A_DIRECTORY: return "not a directory (a part of the path is a file)";
    case ERROR_READ_ONLY_FILE_SYSTEM: return "read-only file system";
    case ERROR_NOT_REGULAR_FILE: return "not a regular file";
    case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS: return "the name exists already";
    case ERROR_DISK_FULL: return "no space left on the disk";
    case ERROR_TOO_MANY_LINKS: return "too many levels of symbolic links";
    case ERROR_DEVICE_NOT_CONNECTED: return "device not connected";
    case ERROR_NO_MEDIA_IN_DRIVE: return "no tape in the drive";
    case ERROR_NOT_READY: return "drive not ready";
    case ERROR_INVALID_NAME: return "name not valid";
    default: break;
    }
    std::string text = SystemMessage(code);
    text.pop_back();  // the line's "\n"
    return text;
}
