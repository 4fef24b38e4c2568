#include "cli/MkTape.h"

#include "platform/FileDescriptor.h"
#include "platform/SimhTapeWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class InputFile {
public:
    explicit InputFile(const std::string& path)
        : m_fd(RetryOnInterrupt([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }))
    {
    }
    bool IsOpen() const { return m_fd.valid(); }

    // Fills up to size bytes, fewer only at the end of the input; -1 on a read error.
    ssize_t ReadFull(char* buffer, size_t size)
    {
        size_t filled = 0;
        while (filled < size) {
            ssize_t got = RetryOnInterrupt([&] { return read(m_fd.get(), buffer + filled, size - filled); });
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            filled += static_cast<size_t>(got);
        }
        return static_cast<ssize_t>(filled);
    }

private:
    UniqueFd m_fd;
};

// The temporary image: removed again unless Keep() was called.
class TempName {
public:
    explicit TempName(std::string name) : m_strName(std::move(name)) {}
    ~TempName()
    {
        if (!m_bKept && !m_strName.empty())
            unlink(m_strName.c_str());
    }
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    const std::string& Name() const { return m_strName; }
    void Keep() { m_bKept = true; }

private:
    std::string m_strName;
    bool m_bKept = false;
};

std::string Reason(int err)
{
    return std::strerror(err);
}

} // namespace

bool MakeTapeImage(const std::string& out, const std::vector<MkTapeInput>& inputs, MkTapeSummary& summary,
                   std::string& error)
{
    summary = MkTapeSummary{};

    // A unique name next to the image, so the final rename stays within one file system.
    std::string pattern = out + ".tmp-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    UniqueFd fd(mkstemp(name.data()));
    if (!fd.valid()) {
        error = "cannot create '" + out + "': " + Reason(errno);
        return false;
    }
    TempName temp(name.data());
    // mkstemp makes it private; the image gets the mode any new file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd.get(), 0666 & ~mask);
    fd.Reset();

    SimhTapeWriter tape;
    if (!tape.Open(temp.Name())) {
        error = "cannot write '" + out + "': " + tape.Error();
        return false;
    }

    uint32_t largest = 0;
    for (const MkTapeInput& input : inputs)
        largest = std::max(largest, input.blockSize);
    std::vector<char> buffer(largest);

    for (const MkTapeInput& input : inputs) {
        InputFile file(input.path);
        if (!file.IsOpen()) {
            error = "cannot open '" + input.path + "': " + Reason(errno);
            return false;
        }
        for (;;) {
            ssize_t got = file.ReadFull(buffer.data(), input.blockSize);
            if (got < 0) {
                error = "cannot read '" + input.path + "': " + Reason(errno);
                return false;
            }
            if (got == 0)
                break;
            if (!tape.WriteRecord(buffer.data(), static_cast<uint32_t>(got))) {
                error = "cannot write '" + out + "': " + tape.Error();
                return false;
            }
            ++summary.records;
            summary.bytes += static_cast<uint64_t>(got);
            if (static_cast<size_t>(got) < input.blockSize)
                break;
        }
        if (!tape.WriteTapemark()) {
            error = "cannot write '" + out + "': " + tape.Error();
            return false;
        }
        ++summary.files;
    }
    if (!tape.WriteEndOfMedium() || !tape.Close()) {
        error = "cannot write '" + out + "': " + tape.Error();
        return false;
    }
    if (rename(temp.Name().c_str(), out.c_str()) != 0) {
        error = "cannot create '" + out + "': " + Reason(errno);
        return false;
    }
    temp.Keep();
    return true;
}
