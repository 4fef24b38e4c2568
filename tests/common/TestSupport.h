// Helpers shared by the tests: a notify window that records what a job sends, and a
// scratch directory removed at the end of the test.
#pragma once
#include "platform/Notify.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct RecordedMessage {
    uint32_t message;
    std::vector<char> block;
    std::string Text() const { return std::string(block.data()); }
};

class RecordingNotify : public NotifyWindow {
public:
    void Send(uint32_t message, TaskMemBlock block) override;

    std::vector<RecordedMessage> Messages() const;
    // The log as the log view would show it: every UM_LOG_TEXT concatenated.
    std::string Log() const;
    std::vector<std::string> StatusTexts() const;
    size_t Count(uint32_t message) const;
    void Clear();

private:
    mutable std::mutex m_lock;
    std::vector<RecordedMessage> m_messages;
};

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_strPath; }
    std::string operator/(const std::string& name) const { return m_strPath + "/" + name; }

private:
    std::string m_strPath;
};

std::string ReadWholeFile(const std::string& name);
void WriteWholeFile(const std::string& name, const std::string& content);
bool FileExists(const std::string& name);
