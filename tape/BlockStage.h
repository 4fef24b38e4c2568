// The blocks of a tape file on their way to its disk file. They are read back to back into a
// chunk of 1 MiB, which goes to the disk in one write when it is full, when the file
// ends, before a break and before anything is said about the file: a record of 512 bytes
// then costs one read into place instead of a read, a write and a hand-over to the hasher.
// A large record lands in the chunk as it comes (the chunk has room for one more block of
// the largest size past its nominal end), so no record is ever copied.
#pragma once
#include <cstdint>
#include <vector>

class BlockStage {
public:
    // A chunk is written once it holds this much. Small enough to stay in the processor's
    // cache between the read and the write (bench/load/run.sh, 1 GiB on tmpfs: with 4 MiB
    // chunks a load of 64 KiB records ran at 0.88 of dd's pace, with 1 MiB at 1.04), large
    // enough that 2048 records of 512 bytes share one write.
    static constexpr uint32_t kChunkSize = 1u << 20;

    // Starts on a chunk of kChunkSize plus room for one largest block.
    void Start(char* chunk)
    {
        m_pChunk = chunk;
        m_nFill = 0;
        m_sizes.clear();
    }
    // Drops what is staged (a file that failed), keeping the chunk.
    void Clear() { Start(m_pChunk); }
    // Where the next block is read to.
    char* ReadPosition() const { return m_pChunk + m_nFill; }
    // The block of size bytes just read at ReadPosition() is kept.
    void Add(uint32_t size)
    {
        m_sizes.push_back(size);
        m_nFill += size;
    }
    bool Full() const { return m_nFill >= kChunkSize; }
    bool Empty() const { return m_sizes.empty(); }

    const char* Chunk() const { return m_pChunk; }
    uint32_t Fill() const { return m_nFill; }
    const std::vector<uint32_t>& Sizes() const { return m_sizes; }

private:
    char* m_pChunk = nullptr;
    uint32_t m_nFill = 0;
    std::vector<uint32_t> m_sizes;  // the blocks in the chunk, in order
};
