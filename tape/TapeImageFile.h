// The SIMH .tap image a capture writes. It grows under a temporary name beside the final one
// (NAME.tmp) and takes the final name only in Commit, so a partial image never stands under
// the name the user asked for; one not committed is deleted when the object goes. Its SHA-256
// is taken from the bytes as they are written: the image is put together in chunks of a small
// ring (BlockHasher), each written and then digested on the hasher thread while the next one
// fills. Each record is read straight into its place in a chunk, one write per chunk.
#pragma once
#include "platform/FileDescriptor.h"
#include "platform/PageBuffer.h"
#include "tape/Fixity.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class TapeImageFile {
public:
    TapeImageFile() = default;
    ~TapeImageFile();
    TapeImageFile(const TapeImageFile&) = delete;
    TapeImageFile& operator=(const TapeImageFile&) = delete;

    // Creates the temporary file for the image named path, for records of up to maxRecord
    // bytes read in place (RecordSpace). An error number on failure.
    uint32_t Create(const std::string& path, uint32_t maxRecord = 0);

    // Where the next record's bytes go, read there by the caller (up to the maxRecord given
    // to Create): the record then costs no copy. Null after a failure. CommitRecord makes
    // them a record of length bytes, class 8 (bad data) when bad; until then the space is
    // the caller's scratch.
    char* RecordSpace();
    uint32_t CommitRecord(uint32_t length, bool bad);

    // Every call returns the first failure so far once something failed.
    uint32_t PutTapemark();
    uint32_t PutEndOfMedium();

    // Writes the rest, flushes the file to the disk, gives it the final name and flushes the
    // folder. After a failure the temporary is gone and the final name untouched.
    uint32_t Commit();
    // Deletes the temporary (nothing when committed or never created).
    void Discard();

    const std::string& Path() const { return m_strPath; }
    std::string TemporaryPath() const { return m_strPath + ".tmp"; }
    uint64_t Size() const { return m_nSize; }
    // The image's SHA-256 in hex, once committed.
    const std::string& Sha256() const { return m_strSha256; }

private:
    uint32_t PutWord(uint32_t word);
    uint32_t Append(const void* data, size_t size);
    uint32_t WriteChunk();

    std::string m_strPath;
    UniqueFd m_fd;
    PageBuffer m_firstChunk;                // the ring's first chunk; the hasher makes the others
    std::unique_ptr<BlockHasher> m_pHasher; // after m_firstChunk: goes first, it reads the chunks
    char* m_pChunk = nullptr;               // the chunk being filled
    size_t m_nFill = 0;
    size_t m_nChunkRoom = 0;                // a chunk's size: kChunkSize and one record's room
    uint64_t m_nSize = 0;
    uint64_t m_nFlushedUpTo = 0;            // written and handed to the disk's write-back
    uint32_t m_nError = 0;
    bool m_bCreated = false;
    std::string m_strSha256;
};

// True when both names lead to the same existing file.
bool IsSameFile(const std::string& a, const std::string& b);
