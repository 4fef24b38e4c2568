// Writes SIMH .tap images: the fixtures of the tests and the images of the benchmarks.
//
// Usage:
//     SimhTapeWriter tape;
//     if (!tape.Open(path)) fail(tape.Error());
//     tape.WriteRecord("first block");     // one block of a tape file
//     tape.WriteRecord(buffer, length);    // another, from memory
//     tape.WriteBadRecord("unreadable");   // a block the drive reads as a data error
//     tape.WriteTapemark();                // ends the tape file
//     tape.WriteEndOfMedium();             // ends the recorded data
//     if (!tape.Close()) fail(tape.Error());
//
// Writes are buffered; Close() flushes and reports any failure so far (every call returns
// false once something failed, and Error() tells what). The destructor closes as well but
// cannot report. WriteRawWord and WriteRawBytes put anything at all into the image, for
// tests that need damaged ones (a wrong trailer, a record cut short, a partial word).
#pragma once
#include "platform/FileDescriptor.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class SimhTapeWriter {
public:
    SimhTapeWriter() = default;
    ~SimhTapeWriter();
    SimhTapeWriter(SimhTapeWriter&& other) noexcept;
    SimhTapeWriter& operator=(SimhTapeWriter&& other) noexcept;
    SimhTapeWriter(const SimhTapeWriter&) = delete;
    SimhTapeWriter& operator=(const SimhTapeWriter&) = delete;

    // Creates the image (an existing file is truncated).
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd.valid(); }

    // One record: length word, data, a pad byte when the length is odd, length word.
    // bad marks it as bad data (class 8), as WriteBadRecord does. Lengths above
    // 0x0FFFFFFF cannot be written.
    bool WriteRecord(const void* data, uint32_t length, bool bad = false);
    bool WriteRecord(std::string_view data);
    bool WriteBadRecord(std::string_view data);
    bool WriteTapemark();
    bool WriteEraseGap();
    bool WriteHalfGap();
    bool WriteEndOfMedium();

    // Exactly these bytes; a word is written little-endian.
    bool WriteRawWord(uint32_t word);
    bool WriteRawBytes(const void* data, size_t size);

    // Bytes handed to the writer so far (the image's size once closed).
    uint64_t Size() const { return m_nWritten; }

    bool Close();
    const std::string& Error() const { return m_strError; }

private:
    bool Flush();
    bool Fail(const std::string& what, int err);

    UniqueFd m_fd;
    std::string m_strPath;
    std::string m_strError;
    std::vector<char> m_buffer;
    uint64_t m_nWritten = 0;
};

// A whole image in one call: each entry of files is one tape file, its records written in
// order and followed by a tapemark; the image ends with the end-of-medium marker when
// endOfMedium is set (otherwise it simply ends). False with error set on failure.
bool WriteTapeImage(const std::string& path, const std::vector<std::vector<std::string>>& files,
                    std::string& error, bool endOfMedium = true);
