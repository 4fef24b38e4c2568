// A read-ahead window over an image file: the readers of the formats with small headers
// take them, and small records, out of one pread of many records' worth instead of a
// system call each.
#pragma once
#include "platform/Errors.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <unistd.h>

class ImageWindow {
public:
    explicit ImageWindow(int fd, uint32_t size = 1u << 20) : m_fd(fd), m_nSize(size) {}

    void Drop() { m_nLen = 0; }

    // Copies [pos, pos + length) of an image of imageSize bytes into dest: through the
    // window when it fits, straight from the file when longer. ERROR_TAPE_IMAGE_TRUNCATED
    // when the file holds fewer bytes (it shrank), _UNREADABLE when it cannot be read.
    uint32_t Read(uint64_t pos, void* dest, size_t length, uint64_t imageSize)
    {
        if (length == 0)
            return ERROR_SUCCESS;
        if (length > m_nSize / 2)
            return ReadFully(pos, static_cast<char*>(dest), length);
        if (!Holds(pos, length)) {
            if (uint32_t err = Fill(pos, imageSize))
                return err;
            if (!Holds(pos, length))
                return ERROR_TAPE_IMAGE_TRUNCATED;
        }
        std::memcpy(dest, m_data.get() + (pos - m_nPos), length);
        return ERROR_SUCCESS;
    }

private:
    bool Holds(uint64_t pos, size_t length) const
    {
        return pos >= m_nPos && pos - m_nPos <= m_nLen && m_nLen - (pos - m_nPos) >= length;
    }

    uint32_t Fill(uint64_t pos, uint64_t imageSize)
    {
        if (!m_data)
            m_data = std::make_unique_for_overwrite<unsigned char[]>(m_nSize);
        m_nLen = 0;
        const size_t wanted = pos < imageSize ? static_cast<size_t>(std::min<uint64_t>(m_nSize, imageSize - pos)) : 0;
        size_t got = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(m_fd, m_data.get() + got, wanted - got, static_cast<off_t>(pos + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return ERROR_TAPE_IMAGE_UNREADABLE;
            if (n == 0)
                break;
            got += static_cast<size_t>(n);
        }
        m_nPos = pos;
        m_nLen = got;
        return ERROR_SUCCESS;
    }

    uint32_t ReadFully(uint64_t pos, char* dest, size_t length)
    {
        size_t got = 0;
        while (got < length) {
            const ssize_t n = ::pread(m_fd, dest + got, length - got, static_cast<off_t>(pos + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return ERROR_TAPE_IMAGE_UNREADABLE;
            if (n == 0)
                return ERROR_TAPE_IMAGE_TRUNCATED;
            got += static_cast<size_t>(n);
        }
        return ERROR_SUCCESS;
    }

    const int m_fd;
    const uint32_t m_nSize;
    std::unique_ptr<unsigned char[]> m_data;
    uint64_t m_nPos = 0;
    size_t m_nLen = 0;
};
