// The checksum of a disk file, computed from the blocks as they are written, on a thread of
// its own so that hashing overlaps the next read and write: the copy reads each block into
// the next free buffer of a small ring, writes it, and hands it to the hasher, which digests
// it and frees the buffer. One read and one write per block, no copy. A bag wants SHA-512 as
// well: it is taken from the same buffers, on a second thread where the machine has a second
// processor (else by the same hasher after the SHA-256), and a buffer is free again once both
// digests have it.
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
    BlockHasher(void* readBuffer, size_t bufferSize, unsigned slots = 4, bool sha512 = false);
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
    // The file's SHA-512 as the last FinishFile ended it ("" without SHA-512 or on failure).
    const std::string& LastSha512() const { return m_strSha512; }

    bool Overlapped() const { return m_thread.joinable(); }

    // Blocks up to this size are digested on the caller's thread when the hasher is idle.
    static constexpr uint32_t kInlineBlockSize = 16 * 1024;

private:
    // second: the SHA-512 thread, else the SHA-256 one (which takes SHA-512 too when there
    // is no second thread).
    void HashLoop(bool second);
    // Waits until at most most of the submitted blocks are still with the hasher(s).
    void WaitForHashers(uint32_t submitted, uint32_t most);
    void HashInPlace(const void* data, uint32_t size);
    void StopThreads();

    std::vector<void*> m_slots;
    std::vector<PageBuffer> m_owned;
    std::vector<uint32_t> m_sizes;
    Sha256 m_hash;
    bool m_bSha512 = false;
    bool m_bSecondThread = false;  // SHA-512 has a thread of its own
    Sha512 m_hash512;
    std::string m_strSha512;
    // Single producer (the copy), single consumer (the hasher); both counters only grow
    // (mod 2^32). m_nSubmitted - m_nHashed blocks are in the hasher's hands.
    std::atomic<uint32_t> m_nSubmitted{0};
    std::atomic<uint32_t> m_nHashed{0};
    std::atomic<uint32_t> m_nHashed512{0};  // the SHA-512 thread's, when there is one
    std::atomic<uint32_t> m_nWake{0};  // bumped on every submit and on stop: the hasher sleeps on it
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
    std::thread m_thread512;
};
