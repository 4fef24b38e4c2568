// The system calls of the Linux SCSI layer (the st tape backend, SG_IO for the ASPI
// provider), behind one small interface so that tests can stand in for the kernel. Every
// call returns a negative errno value on failure, never -1 with errno set: a fake then needs
// no thread-local state, and the caller cannot pick up a stale errno from something called
// in between. The kernel's calls are retried when a signal cuts them short.
#pragma once
#include "platform/FileDescriptor.h"

#include <sys/types.h>

#include <string>

struct mtop;
struct mtget;
struct sg_io_hdr;

// Descriptors it opens are held in a UniqueFd that closes them through it.
class StSystem : public FdCloser {
public:
    virtual ~StSystem() = default;

    // open(2): a descriptor, or -errno.
    virtual int Open(const std::string& path, int flags) = 0;
    void Close(int fd) override = 0;
    // read(2): the byte count, or -errno.
    virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
    // ioctl(fd, MTIOCTOP / MTIOCGET / SG_IO, ...): 0, or -errno.
    virtual int TapeOperation(int fd, const mtop& op) = 0;
    virtual int TapeStatus(int fd, mtget& status) = 0;
    virtual int ScsiCommand(int fd, sg_io_hdr& request) = 0;
};

// The kernel itself.
StSystem& RealStSystem();
