#include "platform/Notify.h"

#include <atomic>
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
