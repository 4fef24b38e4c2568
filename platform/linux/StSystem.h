// The system calls the st tape backend makes, behind one small interface so that tests can
// stand in for the kernel. Every call returns a negative errno value on failure, never -1
// with errno set: a fake then needs no thread-local state, and the caller cannot pick up a
// stale errno from something called in between.
#pragma once
#include <sys/types.h>

#include <string>

struct mtop;
struct mtget;
struct sg_io_hdr;

class StSystem {
public:
    virtual ~StSystem() = default;

    // open(2): a descriptor, or -errno.
    virtual int Open(const std::string& path, int flags) = 0;
    virtual void Close(int fd) = 0;
    // read(2): the byte count, or -errno.
    virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
    // ioctl(fd, MTIOCTOP / MTIOCGET / SG_IO, ...): 0, or -errno.
    virtual int TapeOperation(int fd, const mtop& op) = 0;
    virtual int TapeStatus(int fd, mtget& status) = 0;
    virtual int ScsiCommand(int fd, sg_io_hdr& request) = 0;
};

// The kernel itself.
StSystem& RealStSystem();

// Owns one descriptor opened through an StSystem and closes it exactly once.
class StFd {
public:
    StFd() = default;
    StFd(StSystem& sys, int fd) : m_pSys(&sys), m_nFd(fd) {}
    ~StFd() { Reset(); }
    StFd(StFd&& other) noexcept : m_pSys(other.m_pSys), m_nFd(other.m_nFd) { other.m_nFd = -1; }
    StFd& operator=(StFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_pSys = other.m_pSys;
            m_nFd = other.m_nFd;
            other.m_nFd = -1;
        }
        return *this;
    }
    StFd(const StFd&) = delete;
    StFd& operator=(const StFd&) = delete;

    int get() const { return m_nFd; }
    bool valid() const { return m_nFd >= 0; }
    void Reset()
    {
        if (m_nFd >= 0 && m_pSys)
            m_pSys->Close(m_nFd);
        m_nFd = -1;
    }

private:
    StSystem* m_pSys = nullptr;
    int m_nFd = -1;
};
