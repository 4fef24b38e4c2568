#include "tape/Fixity.h"

BlockHasher::BlockHasher(void* readBuffer, size_t bufferSize, unsigned slots)
{
    m_slots.push_back(readBuffer);
    for (unsigned i = 1; i < slots; ++i) {
        PageBuffer buffer = PageBuffer::Allocate(bufferSize);
        if (!buffer)
            break;
        m_slots.push_back(buffer.data());
        m_owned.push_back(std::move(buffer));
    }
    // A power of two, so that the slot of a count stays right when the count wraps.
    while (m_slots.size() & (m_slots.size() - 1)) {
        m_slots.pop_back();
        m_owned.pop_back();
    }
    m_sizes.assign(m_slots.size(), 0);
    if (m_slots.size() < 2)
        return;
    try {
        m_thread = std::thread(&BlockHasher::HashLoop, this);
    } catch (const std::system_error&) {
        m_slots.resize(1);  // no thread: digest in place
        m_sizes.resize(1);
        m_owned.clear();
    }
}

BlockHasher::~BlockHasher()
{
    if (m_thread.joinable()) {
        m_bStop.store(true, std::memory_order_release);
        m_nWake.fetch_add(1, std::memory_order_release);
        m_nWake.notify_one();
        m_thread.join();
    }
}

void* BlockHasher::NextBuffer()
{
    uint32_t submitted = m_nSubmitted.load(std::memory_order_relaxed);
    for (;;) {
        uint32_t hashed = m_nHashed.load(std::memory_order_acquire);
        if (submitted - hashed < m_slots.size())
            break;
        m_nHashed.wait(hashed, std::memory_order_acquire);
    }
    return m_slots[submitted % m_slots.size()];
}

void BlockHasher::Submit(uint32_t size)
{
    uint32_t submitted = m_nSubmitted.load(std::memory_order_relaxed);
    if (!m_thread.joinable()) {
        m_hash.Update(m_slots[0], size);
        return;
    }
    // A small block is digested sooner than it is handed over: with the hasher idle (every
    // block before it digested, so the digest is this thread's to touch) it is done here.
    // The old tapes' records of 512 bytes to a few KiB would otherwise pay a hand-over each.
    if (size <= kInlineBlockSize && m_nHashed.load(std::memory_order_acquire) == submitted) {
        m_hash.Update(m_slots[submitted % m_slots.size()], size);
        return;
    }
    m_sizes[submitted % m_slots.size()] = size;
    m_nSubmitted.store(submitted + 1, std::memory_order_release);
    m_nWake.fetch_add(1, std::memory_order_release);
    m_nWake.notify_one();
}

std::string BlockHasher::FinishFile()
{
    uint32_t submitted = m_nSubmitted.load(std::memory_order_relaxed);
    for (;;) {
        uint32_t hashed = m_nHashed.load(std::memory_order_acquire);
        if (hashed == submitted)
            break;
        m_nHashed.wait(hashed, std::memory_order_acquire);
    }
    // The hasher is idle until the next Submit, which publishes this thread's writes to it.
    return m_hash.Final();
}

void BlockHasher::HashLoop()
{
    uint32_t hashed = 0;
    for (;;) {
        uint32_t wake = m_nWake.load(std::memory_order_acquire);
        if (m_nSubmitted.load(std::memory_order_acquire) == hashed) {
            if (m_bStop.load(std::memory_order_acquire))
                return;
            m_nWake.wait(wake, std::memory_order_acquire);
            continue;
        }
        size_t slot = hashed % m_slots.size();
        m_hash.Update(m_slots[slot], m_sizes[slot]);
        m_nHashed.store(++hashed, std::memory_order_release);
        m_nHashed.notify_one();
    }
}
