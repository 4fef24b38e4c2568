// The one owner of a file descriptor, and the one loop that retries a system call a signal
// cut short.
#pragma once
#include <cerrno>
#include <unistd.h>

#include <string_view>
#include <utility>

// Calls call() again for as long as it fails with EINTR: a signal arriving (Ctrl-C handled,
// a debugger attaching) must not turn into a failed open, read or write. Returns the last
// result; errno is that call's.
template <typename Call>
auto RetryOnInterrupt(Call&& call) -> decltype(call())
{
    for (;;) {
        auto result = call();
        if (!(result < 0 && errno == EINTR))
            return result;
    }
}

// Closes descriptors for whoever opened them other than through open(2) (a stand-in kernel).
class FdCloser {
public:
    virtual void Close(int fd) = 0;

protected:
    ~FdCloser() = default;
};

// Owns one descriptor and closes it exactly once: on destruction, Reset() or Close().
// close(2) is not retried after EINTR: on Linux the descriptor is released either way, and
// a retry could close one another thread has just been given.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd, FdCloser* closer = nullptr) noexcept : m_nFd(fd), m_pCloser(closer) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept
        : m_nFd(std::exchange(other.m_nFd, -1)), m_pCloser(other.m_pCloser)
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_nFd = std::exchange(other.m_nFd, -1);
            m_pCloser = other.m_pCloser;
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_nFd; }
    bool valid() const { return m_nFd >= 0; }

    void Reset() noexcept { Close(); }

    // Closes now; 0, or the errno close(2) failed with (a write-back error surfaces here).
    int Close() noexcept
    {
        if (m_nFd < 0)
            return 0;
        const int fd = std::exchange(m_nFd, -1);
        if (m_pCloser) {
            m_pCloser->Close(fd);
            return 0;
        }
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int m_nFd = -1;
    FdCloser* m_pCloser = nullptr;
};

// Writes all of text to fd. False with errno set on failure (ENOSPC when the file system took
// nothing at all).
inline bool WriteAll(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = RetryOnInterrupt([&] { return ::write(fd, text.data() + done, text.size() - done); });
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}
