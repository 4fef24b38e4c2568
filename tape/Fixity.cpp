#include "tape/Fixity.h"

BlockHasher::BlockHasher(void* readBuffer, size_t bufferSize, unsigned slots, bool sha512) : m_bSha512(sha512)
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
    // With one processor a second thread would only take turns with the first. The SHA-512
    // thread starts first: whether there is one is settled before the SHA-256 thread looks.
    if (m_bSha512 && std::thread::hardware_concurrency() >= 2) {
        try {
            m_thread512 = std::thread(&BlockHasher::HashLoop, this, true);
            m_bSecondThread = true;
        } catch (const std::system_error&) {
            // the SHA-256 thread takes both
        }
    }
    try {
        m_thread = std::thread(&BlockHasher::HashLoop, this, false);
    } catch (const std::system_error&) {
        StopThreads();
        m_bStop.store(false, std::memory_order_relaxed);
        m_bSecondThread = false;
        m_slots.resize(1);  // no thread: digest in place
        m_sizes.resize(1);
        m_owned.clear();
    }
}

void BlockHasher::StopThreads()
{
    m_bStop.store(true, std::memory_order_release);
    m_nWake.fetch_add(1, std::memory_order_release);
    m_nWake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_thread512.joinable())
        m_thread512.join();
}

BlockHasher::~BlockHasher()
{
    StopThreads();
}

void BlockHasher::WaitForHashers(uint32_t submitted, uint32_t most)
{
    for (std::atomic<uint32_t>* hashed : {&m_nHashed, &m_nHashed512}) {
        if (hashed == &m_nHashed512 && !m_bSecondThread)
            break;
        for (;;) {
            uint32_t done = hashed->load(std::memory_order_acquire);
            if (submitted - done <= most)
                break;
            hashed->wait(done, std::memory_order_acquire);
        }
    }
}

void* BlockHasher::NextBuffer()
{
    uint32_t submitted = m_nSubmitted.load(std::memory_order_relaxed);
    WaitForHashers(submitted, static_cast<uint32_t>(m_slots.size() - 1));
    return m_slots[submitted % m_slots.size()];
}

void BlockHasher::HashInPlace(const void* data, uint32_t size)
{
    m_hash.Update(data, size);
    if (m_bSha512)
        m_hash512.Update(data, size);
}

void BlockHasher::Submit(uint32_t size)
{
    uint32_t submitted = m_nSubmitted.load(std::memory_order_relaxed);
    if (!m_thread.joinable()) {
        HashInPlace(m_slots[0], size);
        return;
    }
    // A small block is digested sooner than it is handed over: with the hashers idle (every
    // block before it digested, so the digests are this thread's to touch) it is done here.
    // The old tapes' records of 512 bytes to a few KiB would otherwise pay a hand-over each.
    if (size <= kInlineBlockSize && m_nHashed.load(std::memory_order_acquire) == submitted &&
        (!m_bSecondThread || m_nHashed512.load(std::memory_order_acquire) == submitted)) {
        HashInPlace(m_slots[submitted % m_slots.size()], size);
        return;
    }
    m_sizes[submitted % m_slots.size()] = size;
    m_nSubmitted.store(submitted + 1, std::memory_order_release);
    m_nWake.fetch_add(1, std::memory_order_release);
    m_nWake.notify_all();
}

std::string BlockHasher::FinishFile()
{
    WaitForHashers(m_nSubmitted.load(std::memory_order_relaxed), 0);
    // The hashers are idle until the next Submit, which publishes this thread's writes to them.
    m_strSha512 = m_bSha512 ? m_hash512.Final() : std::string();
    return m_hash.Final();
}

void BlockHasher::HashLoop(bool second)
{
    std::atomic<uint32_t>& counter = second ? m_nHashed512 : m_nHashed;
    const bool both = !second && m_bSha512 && !m_bSecondThread;
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
        if (second) {
            m_hash512.Update(m_slots[slot], m_sizes[slot]);
        } else {
            m_hash.Update(m_slots[slot], m_sizes[slot]);
            if (both)
                m_hash512.Update(m_slots[slot], m_sizes[slot]);
        }
        counter.store(++hashed, std::memory_order_release);
        counter.notify_one();
    }
}
