// The checksum of a disk file, computed from the blocks as they are written, on a thread of
// its own so that hashing overlaps the next read and write: the copy reads each block into
// the next free buffer of a small ring, writes it, and hands it to the hasher, which digests
// it and frees the buffer. One read and one write per block, no copy.
#pragma once
#include "platform/PageBuffer.h"
#include "platform/Sha256.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class BlockHasher {
public:
    // The ring: readBuffer (the session's read buffer, which stays the caller's) and
    // slots - 1 more of the same size. Without the extra buffers or the thread, blocks are
    // digested on the caller's thread as they come (slower, still exact).
    BlockHasher(void* readBuffer, size_t bufferSize, unsigned slots = 4);
    ~BlockHasher();
    BlockHasher(const BlockHasher&) = delete;
    BlockHasher& operator=(const BlockHasher&) = delete;

    // The buffer the next block is to be read into; waits while the hasher still holds it.
    // Asking again without a Submit in between gives the same buffer.
    void* NextBuffer();
    // The block of size bytes in the buffer NextBuffer gave is written: digest it.
    void Submit(uint32_t size);
    // Waits until every submitted block is digested and gives the file's SHA-256 in hex
    // ("" when the library failed); the next Submit starts the next file.
    std::string FinishFile();

    bool Overlapped() const { return m_thread.joinable(); }

    // Blocks up to this size are digested on the caller's thread when the hasher is idle.
    static constexpr uint32_t kInlineBlockSize = 16 * 1024;

private:
    void HashLoop();

    std::vector<void*> m_slots;
    std::vector<PageBuffer> m_owned;
    std::vector<uint32_t> m_sizes;
    Sha256 m_hash;
    // Single producer (the copy), single consumer (the hasher); both counters only grow
    // (mod 2^32). m_nSubmitted - m_nHashed blocks are in the hasher's hands.
    std::atomic<uint32_t> m_nSubmitted{0};
    std::atomic<uint32_t> m_nHashed{0};
    std::atomic<uint32_t> m_nWake{0};  // bumped on every submit and on stop: the hasher sleeps on it
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};
