// The completion event of an ASPI request: manual reset, initially not signalled. The
// provider sets it as its very last touch of a request.
#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

class AspiEvent {
public:
    void Set();
    void Reset();
    bool IsSet() const;
    // True when the event was set within the time.
    bool Wait(std::chrono::milliseconds timeout);

private:
    mutable std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_bSet = false;
};
