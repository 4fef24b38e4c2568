#include "cli/MkTape.h"

#include "platform/Errors.h"
#include "platform/FileDescriptor.h"
#include "platform/Files.h"
#include "platform/SimhTape.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
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
        if (!m_bKept)
            Files().DeleteFile(m_strName);
    }
    TempName(const TempName&) = delete;
    TempName& operator=(const TempName&) = delete;
    const std::string& Name() const { return m_strName; }
    void Keep() { m_bKept = true; }

private:
    std::string m_strName;
    bool m_bKept = false;
};

// The image's words and bytes on their way to the temporary file, gathered so that small
// records do not cost a write each. The first failure sticks: later calls do nothing.
class ImageOutput {
public:
    explicit ImageOutput(WritableFile& file) : m_file(file) { m_buffer.reserve(kBufferSize); }

    void Word(uint32_t word)
    {
        const char bytes[4] = {static_cast<char>(word), static_cast<char>(word >> 8), static_cast<char>(word >> 16),
                               static_cast<char>(word >> 24)};
        Bytes(bytes, sizeof bytes);
    }
    void Record(const char* data, uint32_t length)
    {
        Word(length);
        Bytes(data, length);
        if (length & 1)
            Bytes("", 1);
        Word(length);
    }
    // Flushes what is gathered and then the file to its disk: a rename must not publish an
    // image whose bytes are still only in memory.
    uint32_t Finish()
    {
        Flush();
        if (m_nError == ERROR_SUCCESS)
            m_nError = m_file.Sync();
        return m_nError;
    }
    uint32_t Error() const { return m_nError; }

private:
    static constexpr size_t kBufferSize = 1u << 20;

    void Bytes(const char* data, size_t size)
    {
        if (m_buffer.size() + size > kBufferSize)
            Flush();
        if (size >= kBufferSize)
            Write(data, size);  // a large record goes straight through
        else
            m_buffer.insert(m_buffer.end(), data, data + size);
    }
    void Flush()
    {
        Write(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
    }
    void Write(const char* data, size_t size)
    {
        if (m_nError != ERROR_SUCCESS || size == 0)
            return;
        uint32_t written = 0;
        m_nError = m_file.Write(data, static_cast<uint32_t>(size), written);
    }

    WritableFile& m_file;
    std::vector<char> m_buffer;
    uint32_t m_nError = ERROR_SUCCESS;
};

std::string Reason(int err)
{
    return std::strerror(err);
}

// The image would replace an input before, or while, it is read: out and each input are
// compared as files (device and inode, links followed), so another name for the same file
// (a hard or symbolic link, another path) is caught as well. Empty when out is no input.
std::string InputThatIsTheOutput(const std::string& out, const std::vector<MkTapeInput>& inputs)
{
    struct stat target {};
    if (stat(out.c_str(), &target) != 0)
        return {};  // nothing there yet (or a dangling link): it cannot be an input
    for (const MkTapeInput& input : inputs) {
        struct stat st {};
        if (stat(input.path.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
            return input.path;
    }
    return {};
}

// A name next to the image, so the final rename stays within one file system, and one no
// other run picks: CreateAlways replaces whatever has the name.
std::string TemporaryName(const std::string& out)
{
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%08x", static_cast<long>(getpid()), random());
    return out + suffix;
}

} // namespace

bool MakeTapeImage(const std::string& out, const std::vector<MkTapeInput>& inputs, MkTapeSummary& summary,
                   std::string& error)
{
    summary = MkTapeSummary{};

    if (const std::string input = InputThatIsTheOutput(out, inputs); !input.empty()) {
        error = input == out ? "cannot write '" + out + "': it is also one of the files to put on the tape"
                             : "cannot write '" + out + "': it is the same file as the input '" + input + "'";
        return false;
    }

    // Created new, never through a link or another name of an existing file, with the
    // mode any new file gets.
    const std::string tempName = TemporaryName(out);
    uint32_t code = ERROR_SUCCESS;
    std::unique_ptr<WritableFile> file = Files().CreateAlways(tempName, code);
    if (!file) {
        error = "cannot create '" + out + "': " + DescribeFailure(code, tempName);
        return false;
    }
    TempName temp(tempName);
    ImageOutput tape(*file);
    auto writeFailed = [&] {
        error = "cannot write '" + out + "': " + DescribeFailure(tape.Error(), out);
        return false;
    };

    uint32_t largest = 0;
    for (const MkTapeInput& input : inputs)
        largest = std::max(largest, input.blockSize);
    std::vector<char> buffer(largest);

    for (const MkTapeInput& input : inputs) {
        InputFile in(input.path);
        if (!in.IsOpen()) {
            error = "cannot open '" + input.path + "': " + Reason(errno);
            return false;
        }
        for (;;) {
            ssize_t got = in.ReadFull(buffer.data(), input.blockSize);
            if (got < 0) {
                error = "cannot read '" + input.path + "': " + Reason(errno);
                return false;
            }
            if (got == 0)
                break;
            tape.Record(buffer.data(), static_cast<uint32_t>(got));
            if (tape.Error() != ERROR_SUCCESS)
                return writeFailed();
            ++summary.records;
            summary.bytes += static_cast<uint64_t>(got);
            if (static_cast<size_t>(got) < input.blockSize)
                break;
        }
        tape.Word(SIMH_TAPEMARK);
        if (tape.Error() != ERROR_SUCCESS)
            return writeFailed();
        ++summary.files;
    }
    tape.Word(SIMH_END_OF_MEDIUM);
    if (tape.Finish() != ERROR_SUCCESS)
        return writeFailed();
    file.reset();
    if (uint32_t renamed = Files().Rename(temp.Name(), out, true); renamed != ERROR_SUCCESS) {
        error = "cannot create '" + out + "': " + DescribeFailure(renamed, out);
        return false;
    }
    temp.Keep();
    return true;
}
