#include "platform/PageBuffer.h"

#include <atomic>
#include <sys/mman.h>
#include <utility>

namespace {
std::atomic<bool> g_bFailAllocations{false};
std::atomic<size_t> g_nLiveBuffers{0};
} // namespace

PageBuffer PageBuffer::Allocate(size_t size)
{
    PageBuffer buffer;
    if (size == 0 || g_bFailAllocations)
        return buffer;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return buffer;
    buffer.m_pData = p;
    buffer.m_nSize = size;
    ++g_nLiveBuffers;
    return buffer;
}

PageBuffer::PageBuffer(PageBuffer&& other) noexcept
    : m_pData(std::exchange(other.m_pData, nullptr)), m_nSize(std::exchange(other.m_nSize, 0))
{
}

PageBuffer& PageBuffer::operator=(PageBuffer&& other) noexcept
{
    if (this != &other) {
        Release();
        m_pData = std::exchange(other.m_pData, nullptr);
        m_nSize = std::exchange(other.m_nSize, 0);
    }
    return *this;
}

PageBuffer::~PageBuffer()
{
    Release();
}

void PageBuffer::Release()
{
    if (m_pData) {
        ::munmap(m_pData, m_nSize);
        --g_nLiveBuffers;
    }
    m_pData = nullptr;
    m_nSize = 0;
}

void PageBuffer::FailAllocationsForTesting(bool fail)
{
    g_bFailAllocations = fail;
}

size_t PageBuffer::LiveBuffers()
{
    return g_nLiveBuffers;
}
