// The disk file of one tape file as the copy writes it. It is made only when the first
// block is written to it, or when the copy asks for it once the tape has answered, so a read
// that finds nothing leaves whatever has the name alone. A write that fails partway is cut
// back to the blocks written before it: the disk then holds what the log counts.
#pragma once
#include "platform/Files.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class PendingDiskFile final : public WritableFile {
public:
    // Makes the file; throws when it cannot (ReTapeOpsException, through Write as well).
    using Opener = std::function<std::unique_ptr<WritableFile>()>;
    explicit PendingDiskFile(Opener opener) : m_opener(std::move(opener)) {}

    bool IsOpen() const { return m_file != nullptr; }
    void Open()
    {
        if (!m_file)
            m_file = m_opener();
    }

    uint32_t Write(const void* data, uint32_t size, uint32_t& written) override
    {
        Open();
        uint32_t error = m_file->Write(data, size, written);
        if (error == ERROR_SUCCESS) {
            m_nWhole += size;
            return ERROR_SUCCESS;
        }
        // A full disk takes part of a block: that part is not counted, so it goes again. A
        // failed cut leaves the error as it is, the write failed all the same.
        m_file->Truncate(m_nWhole);
        written = 0;
        return error;
    }
    // Writes the blocks of sizes, back to back at data, in one write. When that fails the
    // file is cut back to the whole blocks that reached it and the rest go one at a time,
    // so a filling disk keeps every block that fits, as block-by-block writes would.
    // kept: the blocks on disk, from the first; the error of the write that failed, if any.
    uint32_t WriteBlocks(const char* data, const std::vector<uint32_t>& sizes, size_t& kept)
    {
        kept = 0;
        uint64_t total = 0;
        for (uint32_t size : sizes)
            total += size;
        uint32_t written = 0;
        Open();
        uint32_t error = total <= UINT32_MAX ? m_file->Write(data, static_cast<uint32_t>(total), written)
                                             : ERROR_INVALID_PARAMETER;
        if (error == ERROR_SUCCESS) {
            m_nWhole += total;
            kept = sizes.size();
            return ERROR_SUCCESS;
        }
        uint64_t whole = 0;
        while (kept < sizes.size() && whole + sizes[kept] <= written)
            whole += sizes[kept++];
        if (m_file->Truncate(m_nWhole + whole) != ERROR_SUCCESS && written != whole)
            return error;  // no cut: the whole blocks count, the file stays a cut copy
        m_nWhole += whole;
        for (data += whole; kept < sizes.size(); data += sizes[kept++]) {
            uint32_t blockWritten = 0;
            error = Write(data, sizes[kept], blockWritten);
            if (error != ERROR_SUCCESS)
                return error;
        }
        return ERROR_SUCCESS;
    }
    uint32_t GetSize(uint64_t& size) override
    {
        size = 0;
        return m_file ? m_file->GetSize(size) : ERROR_SUCCESS;
    }
    uint32_t Truncate(uint64_t size) override { return m_file ? m_file->Truncate(size) : ERROR_SUCCESS; }
    uint32_t Sync() override { return m_file ? m_file->Sync() : ERROR_SUCCESS; }

    // The file made, if any, for its closing.
    std::unique_ptr<WritableFile> Release() { return std::move(m_file); }

private:
    Opener m_opener;
    std::unique_ptr<WritableFile> m_file;
    uint64_t m_nWhole = 0;  // bytes of the blocks written in full
};
