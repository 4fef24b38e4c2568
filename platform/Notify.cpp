#include "platform/Notify.h"

#include <atomic>
#include <cstring>
#include <new>

namespace {
std::atomic<bool> g_bFailAllocations{false};
}

TaskMemBlock TaskMemBlock::Alloc(size_t size)
{
    TaskMemBlock block;
    if (g_bFailAllocations)
        return block;
    block.m_data.reset(new (std::nothrow) char[size ? size : 1]());
    if (block.m_data)
        block.m_nSize = size;
    return block;
}

void TaskMemBlock::FailAllocationsForTesting(bool fail)
{
    g_bFailAllocations = fail;
}

void NotifyWindow::PostLatest(uint32_t message, const void* record, size_t size)
{
    TaskMemBlock block = TaskMemBlock::Alloc(size);
    if (!block)
        return;
    std::memcpy(block.data(), record, size);
    Send(message, std::move(block));
}
