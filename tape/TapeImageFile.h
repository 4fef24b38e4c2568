// The tape image a capture writes, in any writable format (platform/ImageFormat.h). It grows under a temporary name beside the final one
// (NAME.tmp) and takes the final name only in Commit, so a partial image never stands under
// the name the user asked for; one not committed is deleted when the object goes. Its SHA-256
// is taken from the bytes as they are written: the image is put together in chunks of a small
// ring (BlockHasher), each written and then digested on the hasher thread while the next one
// fills. In SIMH and E11 each record is read straight into its place in a chunk, one write per
// chunk; the other formats take it from a scratch buffer through their encoder (AWS cuts it
// into chunks with headers, HET compresses it first).
#pragma once
#include "platform/FileDescriptor.h"
#include "platform/ImageEncoder.h"
#include "platform/ImageFormat.h"
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

    // Creates the temporary file for the image named path, in format, for records of up to
    // maxRecord bytes read in place (RecordSpace). An error number on failure.
    uint32_t Create(const std::string& path, uint32_t maxRecord = 0, ImageFormat format = ImageFormat::Simh,
                    ImageCompression compression = ImageCompression::None);

    // Where the next record's bytes go, read there by the caller (up to the maxRecord given
    // to Create): the record then costs no copy. Null after a failure. CommitRecord makes
    // them a record of length bytes, marked bad when bad and the format can (class 8 in
    // SIMH and E11; elsewhere an ordinary record: the caller says so); until then the space
    // is the caller's scratch.
    char* RecordSpace();
    uint32_t CommitRecord(uint32_t length, bool bad);

    // Every call returns the first failure so far once something failed.
    uint32_t PutTapemark();
    uint32_t PutEndOfMedium();

    // Goes on with the partial image an interrupted capture kept (PartialPath()): its first
    // keep bytes (whole records and marks, checked by the caller) stay, anything after them
    // goes, and they are digested first so the image's SHA-256 covers them. SIMH and E11
    // only: their records carry no link to the one before. It becomes the temporary again.
    uint32_t Resume(const std::string& path, uint32_t maxRecord, ImageFormat format, uint64_t keep);
    // A capture cut short keeps what it has, whole records and marks up to where it stopped,
    // flushed to the disk under PartialPath() for a later Resume. Nothing kept when the
    // image holds nothing.
    uint32_t KeepPartial();

    // Writes the rest, flushes the file to the disk, gives it the final name and flushes the
    // folder. After a failure the temporary is gone and the final name untouched.
    uint32_t Commit();
    // Deletes the temporary (nothing when committed or never created).
    void Discard();

    const std::string& Path() const { return m_strPath; }
    std::string TemporaryPath() const { return m_strPath + ".tmp"; }
    std::string PartialPath() const { return m_strPath + ".partial"; }
    uint64_t Size() const { return m_nSize; }
    // The image's SHA-256 in hex, once committed.
    const std::string& Sha256() const { return m_strSha256; }

    ImageFormat Format() const { return m_format; }

private:
    // The encoder's bytes go into the chunks like any others.
    class ChunkSink final : public ImageSink {
    public:
        explicit ChunkSink(TapeImageFile& file) : m_file(file) {}
        uint32_t Append(const void* data, size_t size) override { return m_file.Append(data, size); }

    private:
        TapeImageFile& m_file;
    };
    bool InPlace() const { return m_format == ImageFormat::Simh || m_format == ImageFormat::E11; }
    uint32_t Append(const void* data, size_t size);
    uint32_t Prepare(uint32_t maxRecord, ImageFormat format, ImageCompression compression);
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
    ImageFormat m_format = ImageFormat::Simh;
    ImageEncoderPtr m_pEncoder;
    ChunkSink m_sink{*this};
    PageBuffer m_scratch;                   // a record of the formats not written in place
};

// Where a bad record of bytesRead bytes committed next starts in the image; -1 when the
// format leaves it out (it has no bad-record mark and there are no bytes to keep).
int64_t BadRecordOffset(const TapeImageFile& image, uint32_t bytesRead);

// True when both names lead to the same existing file.
bool IsSameFile(const std::string& a, const std::string& b);
