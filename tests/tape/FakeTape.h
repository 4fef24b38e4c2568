// An in-memory tape drive for job tests: files of records, filemarks, and errors on demand.
#pragma once
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/TapeDevice.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct FakeTapeState {
    struct Item {
        // Flaky: a record whose first `failures` reads fail with ERROR_CRC (the tape
        // after it, as a drive leaves it); the reads after that deliver it.
        enum Kind { Record, Mark, Error, EmptyRead, Flaky } kind;
        uint32_t length = 0;  // Record, Flaky: bytes; Error: the error number
        uint32_t failures = 0;
        bool HasData() const { return kind == Record || kind == Flaky; }
    };
    std::vector<Item> items;
    size_t pos = 0;
    bool variable = true;
    uint32_t maxBlockSize = 65536;
    uint32_t mediaBlockSize = 0;
    bool fillData = true;  // false: leave the buffer as it is (for huge reads)

    uint32_t driveParamsError = 0, mediaParamsError = 0, setParamsError = 0;
    uint32_t rewindError = 0, spaceError = 0, unloadError = 0;
    uint32_t blockSpaceError = 0;  // TAPE_SPACE_RELATIVE_BLOCKS fails with this
    std::vector<std::string> calls;  // "rewind", "space 3", "unload", "read", "setblock 0"
    bool open = false;

    FakeTapeState& File(std::vector<uint32_t> lengths)
    {
        for (uint32_t n : lengths)
            items.push_back({Item::Record, n});
        items.push_back({Item::Mark, 0});
        return *this;
    }
    FakeTapeState& Add(Item::Kind kind, uint32_t length = 0, uint32_t failures = 0)
    {
        items.push_back({kind, length, failures});
        return *this;
    }
    // Byte i of record r: what the disk file must hold.
    static char Byte(size_t record, size_t i) { return static_cast<char>((record * 31 + i * 7) & 0xFF); }
    size_t RecordNumber(size_t itemIndex) const
    {
        size_t n = 0;
        for (size_t i = 0; i < itemIndex; ++i)
            n += items[i].HasData();
        return n;
    }
    // The expected content of tape file f (records between the f-th and f+1-th mark).
    std::string FileContent(size_t f) const
    {
        std::string content;
        size_t file = 0;
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i].kind == Item::Mark) {
                ++file;
                continue;
            }
            if (file == f && items[i].HasData())
                for (uint32_t b = 0; b < items[i].length; ++b)
                    content += Byte(RecordNumber(i), b);
        }
        return content;
    }
};

class FakeTape final : public TapeDevice {
public:
    explicit FakeTape(std::shared_ptr<FakeTapeState> state) : m_state(std::move(state)) { m_state->open = true; }
    ~FakeTape() override { m_state->open = false; }

    uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& p) override
    {
        if (m_state->driveParamsError)
            return m_state->driveParamsError;
        p.FeaturesLow = m_state->variable ? TAPE_DRIVE_VARIABLE_BLOCK : 0;
        p.MaximumBlockSize = m_state->maxBlockSize;
        return ERROR_SUCCESS;
    }
    uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& p) override
    {
        if (m_state->mediaParamsError)
            return m_state->mediaParamsError;
        p.BlockSize = m_state->mediaBlockSize;
        return ERROR_SUCCESS;
    }
    uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& p) override
    {
        m_state->calls.push_back("setblock " + std::to_string(p.BlockSize));
        if (m_state->setParamsError)
            return m_state->setParamsError;
        m_state->mediaBlockSize = p.BlockSize;
        return ERROR_SUCCESS;
    }
    uint32_t SetTapePosition(uint32_t method, uint32_t, uint32_t offsetLow, uint32_t offsetHigh, bool) override
    {
        if (method == TAPE_REWIND) {
            m_state->calls.push_back("rewind");
            if (m_state->rewindError)
                return m_state->rewindError;
            m_state->pos = 0;
            return ERROR_SUCCESS;
        }
        if (method == TAPE_SPACE_RELATIVE_BLOCKS)
            return SpaceBlocks(static_cast<int64_t>(uint64_t{offsetHigh} << 32 | offsetLow));
        m_state->calls.push_back("space " + std::to_string(offsetLow));
        if (m_state->spaceError)
            return m_state->spaceError;
        for (uint32_t n = 0; n < offsetLow;) {
            if (m_state->pos >= m_state->items.size())
                return ERROR_NO_DATA_DETECTED;
            n += m_state->items[m_state->pos++].kind == FakeTapeState::Item::Mark;
        }
        return ERROR_SUCCESS;
    }
    uint32_t PrepareTape(uint32_t, bool) override
    {
        m_state->calls.push_back("unload");
        return m_state->unloadError;
    }
    uint32_t LastBlockLength() const override { return m_nLastBlockLength; }
    uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) override
    {
        m_state->calls.push_back("read");
        bytesRead = 0;
        m_nLastBlockLength = 0;
        if (m_state->pos >= m_state->items.size())
            return ERROR_NO_DATA_DETECTED;
        size_t index = m_state->pos++;
        const auto& item = m_state->items[index];
        switch (item.kind) {
        case FakeTapeState::Item::Mark: return ERROR_FILEMARK_DETECTED;
        case FakeTapeState::Item::Error: return item.length;
        case FakeTapeState::Item::EmptyRead: --m_state->pos; return ERROR_SUCCESS;  // moves nothing
        case FakeTapeState::Item::Flaky:
            if (m_state->items[index].failures > 0) {
                --m_state->items[index].failures;
                return ERROR_CRC;
            }
            break;
        case FakeTapeState::Item::Record: break;
        }
        if (item.length > size) {
            bytesRead = size;
            m_nLastBlockLength = item.length;
            return ERROR_MORE_DATA;
        }
        if (m_state->fillData) {
            size_t record = m_state->RecordNumber(index);
            char* out = static_cast<char*>(buffer);
            for (uint32_t i = 0; i < item.length; ++i)
                out[i] = FakeTapeState::Byte(record, i);
        }
        bytesRead = item.length;
        return ERROR_SUCCESS;
    }

private:
    // Records, bad ones too, count; a filemark stops it (after it forwards, before it
    // backwards), as the contract has it.
    uint32_t SpaceBlocks(int64_t count)
    {
        m_state->calls.push_back("space blocks " + std::to_string(count));
        if (m_state->blockSpaceError)
            return m_state->blockSpaceError;
        auto& items = m_state->items;
        size_t& pos = m_state->pos;
        for (; count > 0; --count) {
            if (pos >= items.size())
                return ERROR_NO_DATA_DETECTED;
            if (items[pos++].kind == FakeTapeState::Item::Mark)
                return ERROR_FILEMARK_DETECTED;
        }
        for (; count < 0; ++count) {
            if (pos == 0)
                return ERROR_BEGINNING_OF_MEDIA;
            if (items[pos - 1].kind == FakeTapeState::Item::Mark)
                return ERROR_FILEMARK_DETECTED;
            --pos;
        }
        return ERROR_SUCCESS;
    }

    std::shared_ptr<FakeTapeState> m_state;
    uint32_t m_nLastBlockLength = 0;
};

// Makes every TAPEn the fake drive (index 0 only; others are not there) for one test.
class ScopedFakeTape {
public:
    ScopedFakeTape() : state(std::make_shared<FakeTapeState>())
    {
        auto s = state;
        DeviceNamespace::SetOpenerForTesting([s](int index, uint32_t& error) -> TapeDevicePtr {
            if (index != 0) {
                error = ERROR_FILE_NOT_FOUND;
                return nullptr;
            }
            if (s->open) {
                error = ERROR_SHARING_VIOLATION;
                return nullptr;
            }
            return std::make_unique<FakeTape>(s);
        });
    }
    ~ScopedFakeTape() { DeviceNamespace::SetOpenerForTesting({}); }
    std::shared_ptr<FakeTapeState> state;
};
