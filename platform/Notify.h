// The notify window: how a job reports. Send is synchronous (it returns once the receiver
// has handled the message) and hands the block over: the receiver owns it. PostLatest is
// for records of which only the newest matters (the running counters of a load).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

// A zero-filled block of task memory, moved from sender to receiver.
class TaskMemBlock {
public:
    TaskMemBlock() = default;
    // Empty block when the memory cannot be had (the message is then dropped).
    static TaskMemBlock Alloc(size_t size);

    char* data() const { return m_data.get(); }
    size_t size() const { return m_nSize; }
    explicit operator bool() const { return m_data != nullptr; }

    // Tests: make every allocation fail while set.
    static void FailAllocationsForTesting(bool fail);

private:
    std::unique_ptr<char[]> m_data;
    size_t m_nSize = 0;
};

class NotifyWindow {
public:
    virtual ~NotifyWindow() = default;
    // lParam is always 0 and is not carried.
    virtual void Send(uint32_t message, TaskMemBlock block) = 0;
    // A record that a later one of the same message makes stale. A receiver may take it
    // without making the sender wait and show only the newest; the record is copied, the
    // caller keeps its own. By default it is sent as a block of its own (and dropped when
    // the block cannot be had), like any other message.
    virtual void PostLatest(uint32_t message, const void* record, size_t size);
};
