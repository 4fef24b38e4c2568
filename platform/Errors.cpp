#include "platform/Errors.h"

#include <cerrno>
#include <cstdio>

std::string SystemMessage(uint32_t code)
{
    const char* text = nullptr;
    switch (code) {
    case ERROR_SUCCESS: text = "The operation completed successfully."; break;
    case ERROR_FILE_NOT_FOUND: text = "The system cannot find the file specified."; break;
    case ERROR_PATH_NOT_FOUND: text = "The system cannot find the path specified."; break;
    case ERROR_ACCESS_DENIED: text = "Access is denied."; break;
    case ERROR_INVALID_HANDLE: text = "The handle is invalid."; break;
    case ERROR_NOT_ENOUGH_MEMORY: text = "Not enough memory resources are available to process this command."; break;
    case ERROR_WRITE_PROTECT: text = "The media is write protected."; break;
    case ERROR_BAD_UNIT: text = "The system cannot find the device specified."; break;
    case ERROR_NOT_READY: text = "The device is not ready."; break;
    case ERROR_CRC: text = "Data error (cyclic redundancy check)."; break;
    case ERROR_WRITE_FAULT: text = "The system cannot write to the specified device."; break;
    case ERROR_READ_FAULT: text = "The system cannot read from the specified device."; break;
    case ERROR_GEN_FAILURE: text = "A device attached to the system is not functioning."; break;
    case ERROR_SHARING_VIOLATION: text = "The device is in use by another process."; break;
    case ERROR_NOT_SUPPORTED: text = "The request is not supported."; break;
    case ERROR_FILE_EXISTS: text = "The file exists."; break;
    case ERROR_INVALID_PARAMETER: text = "The parameter is incorrect."; break;
    case ERROR_DISK_FULL: text = "There is not enough space on the disk."; break;
    case ERROR_INVALID_NAME: text = "The filename, directory name, or volume label syntax is incorrect."; break;
    case ERROR_PROC_NOT_FOUND: text = "The specified procedure could not be found."; break;
    case ERROR_ALREADY_EXISTS: text = "Cannot create a file when that file already exists."; break;
    case ERROR_FILENAME_EXCED_RANGE: text = "The filename or extension is too long."; break;
    case ERROR_MORE_DATA: text = "More data is available."; break;
    case ERROR_END_OF_MEDIA: text = "The physical end of the tape has been reached."; break;
    case ERROR_FILEMARK_DETECTED: text = "A tape access reached a filemark."; break;
    case ERROR_BEGINNING_OF_MEDIA: text = "Beginning of the tape or a partition was encountered."; break;
    case ERROR_SETMARK_DETECTED: text = "A tape access reached the end of a set of files."; break;
    case ERROR_NO_DATA_DETECTED: text = "No more data is on the tape."; break;
    case ERROR_INVALID_BLOCK_LENGTH: text = "When accessing a new tape of a multivolume partition, the current block size is incorrect."; break;
    case ERROR_MEDIA_CHANGED: text = "The media in the drive may have changed."; break;
    case ERROR_BUS_RESET: text = "The I/O bus was reset."; break;
    case ERROR_NO_MEDIA_IN_DRIVE: text = "No media in drive."; break;
    case ERROR_IO_DEVICE: text = "The request could not be performed because of an I/O device error."; break;
    case ERROR_DLL_NOT_FOUND: text = "The specified module could not be found."; break;
    case ERROR_DEVICE_NOT_CONNECTED: text = "The device is not connected."; break;
    case ERROR_TIMEOUT: text = "This operation returned because the timeout period expired."; break;
    case ERROR_TAPE_IMAGE_TRUNCATED: text = "The tape image ends in the middle of a record (truncated image)."; break;
    case ERROR_TAPE_IMAGE_INCONSISTENT: text = "The tape image is damaged: a record's trailing length differs from its leading length."; break;
    case ERROR_TAPE_IMAGE_UNREADABLE: text = "The tape image file could not be read."; break;
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
    case EACCES: case EPERM: case EROFS: return ERROR_ACCESS_DENIED;
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
