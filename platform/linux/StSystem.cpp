#include "platform/linux/StSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <unistd.h>

namespace {

class KernelStSystem final : public StSystem {
public:
    int Open(const std::string& path, int flags) override
    {
        int fd;
        do {
            fd = ::open(path.c_str(), flags | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        return fd >= 0 ? fd : -errno;
    }

    void Close(int fd) override { ::close(fd); }

    ssize_t Read(int fd, void* buffer, size_t size) override
    {
        ssize_t n;
        do {
            n = ::read(fd, buffer, size);
        } while (n < 0 && errno == EINTR);
        return n >= 0 ? n : -errno;
    }

    int TapeOperation(int fd, const mtop& op) override
    {
        return Ioctl(fd, MTIOCTOP, const_cast<mtop*>(&op));
    }

    int TapeStatus(int fd, mtget& status) override { return Ioctl(fd, MTIOCGET, &status); }

    int ScsiCommand(int fd, sg_io_hdr& request) override { return Ioctl(fd, SG_IO, &request); }

private:
    static int Ioctl(int fd, unsigned long request, void* arg)
    {
        int rc;
        do {
            rc = ::ioctl(fd, request, arg);
        } while (rc < 0 && errno == EINTR);
        return rc >= 0 ? 0 : -errno;
    }
};

} // namespace

StSystem& RealStSystem()
{
    static KernelStSystem system;
    return system;
}
