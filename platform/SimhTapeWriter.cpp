#include "platform/SimhTapeWriter.h"

#include "platform/SimhTape.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

// Big enough that writing a benchmark image costs a few system calls per megabyte.
constexpr size_t kBufferSize = 4u << 20;

constexpr uint32_t kBadClass = 0x80000000;

} // namespace

SimhTapeWriter::~SimhTapeWriter()
{
    Close();
}

SimhTapeWriter::SimhTapeWriter(SimhTapeWriter&& other) noexcept
    : m_fd(std::move(other.m_fd)),
      m_strPath(std::move(other.m_strPath)),
      m_strError(std::move(other.m_strError)),
      m_buffer(std::move(other.m_buffer)),
      m_nWritten(std::exchange(other.m_nWritten, 0))
{
}

SimhTapeWriter& SimhTapeWriter::operator=(SimhTapeWriter&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = std::move(other.m_fd);
        m_strPath = std::move(other.m_strPath);
        m_strError = std::move(other.m_strError);
        m_buffer = std::move(other.m_buffer);
        m_nWritten = std::exchange(other.m_nWritten, 0);
    }
    return *this;
}

bool SimhTapeWriter::Open(const std::string& path)
{
    Close();
    m_strPath = path;
    m_strError.clear();
    m_nWritten = 0;
    UniqueFd fd(RetryOnInterrupt([&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
    if (!fd.valid())
        return Fail("cannot create", errno);
    m_fd = std::move(fd);
    m_buffer.clear();
    m_buffer.reserve(kBufferSize);
    return true;
}

bool SimhTapeWriter::Fail(const std::string& what, int err)
{
    if (m_strError.empty())
        m_strError = m_strPath + ": " + what + ": " + std::strerror(err);
    return false;
}

bool SimhTapeWriter::Flush()
{
    size_t done = 0;
    while (done < m_buffer.size()) {
        ssize_t n = RetryOnInterrupt(
            [&] { return ::write(m_fd.get(), m_buffer.data() + done, m_buffer.size() - done); });
        if (n <= 0) {
            // Nothing written and no error: no room (looping on it would never end).
            const int err = n < 0 ? errno : ENOSPC;
            m_buffer.clear();
            return Fail("write failed", err);
        }
        done += static_cast<size_t>(n);
    }
    m_buffer.clear();
    return true;
}

bool SimhTapeWriter::WriteRawBytes(const void* data, size_t size)
{
    if (!m_fd.valid())
        return m_strError.empty() ? Fail("not open", EBADF) : false;
    if (!m_strError.empty())
        return false;
    const char* p = static_cast<const char*>(data);
    m_nWritten += size;
    while (size > 0) {
        if (m_buffer.size() == kBufferSize && !Flush())
            return false;
        const size_t n = std::min(size, kBufferSize - m_buffer.size());
        m_buffer.insert(m_buffer.end(), p, p + n);
        p += n;
        size -= n;
    }
    return true;
}

bool SimhTapeWriter::WriteRawWord(uint32_t word)
{
    const unsigned char bytes[4] = {static_cast<unsigned char>(word),
                                    static_cast<unsigned char>(word >> 8),
                                    static_cast<unsigned char>(word >> 16),
                                    static_cast<unsigned char>(word >> 24)};
    return WriteRawBytes(bytes, sizeof bytes);
}

bool SimhTapeWriter::WriteRecord(const void* data, uint32_t length, bool bad)
{
    if (length > SIMH_MAX_RECORD) {
        if (m_strError.empty())
            m_strError = m_strPath + ": record of " + std::to_string(length) + " bytes is too long";
        return false;
    }
    const uint32_t word = length | (bad ? kBadClass : 0);
    static const char pad = 0;
    return WriteRawWord(word) && WriteRawBytes(data, length) &&
           ((length & 1) == 0 || WriteRawBytes(&pad, 1)) && WriteRawWord(word);
}

bool SimhTapeWriter::WriteRecord(std::string_view data)
{
    return WriteRecord(data.data(), static_cast<uint32_t>(data.size()), false);
}

bool SimhTapeWriter::WriteBadRecord(std::string_view data)
{
    return WriteRecord(data.data(), static_cast<uint32_t>(data.size()), true);
}

bool SimhTapeWriter::WriteTapemark()
{
    return WriteRawWord(SIMH_TAPEMARK);
}

bool SimhTapeWriter::WriteEraseGap()
{
    return WriteRawWord(SIMH_ERASE_GAP);
}

bool SimhTapeWriter::WriteHalfGap()
{
    return WriteRawWord(SIMH_HALF_GAP);
}

bool SimhTapeWriter::WriteEndOfMedium()
{
    return WriteRawWord(SIMH_END_OF_MEDIUM);
}

bool SimhTapeWriter::Close()
{
    if (!m_fd.valid())
        return m_strError.empty();
    bool ok = m_strError.empty() && Flush();
    if (int err = m_fd.Close(); err != 0 && ok)
        ok = Fail("close failed", err);
    m_buffer = {};
    return ok && m_strError.empty();
}

bool WriteTapeImage(const std::string& path, const std::vector<std::vector<std::string>>& files,
                    std::string& error, bool endOfMedium)
{
    SimhTapeWriter tape;
    bool ok = tape.Open(path);
    for (const auto& file : files) {
        for (const auto& record : file)
            ok = ok && tape.WriteRecord(record);
        ok = ok && tape.WriteTapemark();
    }
    if (endOfMedium)
        ok = ok && tape.WriteEndOfMedium();
    ok = tape.Close() && ok;
    error = tape.Error();
    return ok;
}
