#include "aspi/AspiEvent.h"

void AspiEvent::Set()
{
    // Notify under the lock: the waiter may free the event as soon as it sees it set.
    std::lock_guard guard(m_lock);
    m_bSet = true;
    m_cond.notify_all();
}

void AspiEvent::Reset()
{
    std::lock_guard guard(m_lock);
    m_bSet = false;
}

bool AspiEvent::IsSet() const
{
    std::lock_guard guard(m_lock);
    return m_bSet;
}

bool AspiEvent::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock guard(m_lock);
    return m_cond.wait_for(guard, timeout, [this] { return m_bSet; });
}
