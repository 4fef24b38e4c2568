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
        int fd = RetryOnInterrupt([&] { return ::open(path.c_str(), flags | O_CLOEXEC); });
        return fd >= 0 ? fd : -errno;
    }

    void Close(int fd) override { ::close(fd); }

    ssize_t Read(int fd, void* buffer, size_t size) override
    {
        ssize_t n = RetryOnInterrupt([&] { return ::read(fd, buffer, size); });
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
        int rc = RetryOnInterrupt([&] { return ::ioctl(fd, request, arg); });
        return rc >= 0 ? 0 : -errno;
    }
};

} // namespace

StSystem& RealStSystem()
{
    static KernelStSystem system;
    return system;
}
