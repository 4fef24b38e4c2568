// A read buffer of whole committed pages (mmap), released exactly once by its owner.
#pragma once
#include <cstddef>

class PageBuffer {
public:
    PageBuffer() = default;
    // Returns an empty buffer when the memory cannot be had.
    static PageBuffer Allocate(size_t size);

    PageBuffer(PageBuffer&& other) noexcept;
    PageBuffer& operator=(PageBuffer&& other) noexcept;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    ~PageBuffer();

    void Release();
    void* data() const { return m_pData; }
    size_t size() const { return m_nSize; }
    explicit operator bool() const { return m_pData != nullptr; }

    // Tests: fail every allocation while set.
    static void FailAllocationsForTesting(bool fail);
    // Number of mappings made and released so far (to check that nothing leaks).
    static size_t LiveBuffers();

private:
    void* m_pData = nullptr;
    size_t m_nSize = 0;
};
