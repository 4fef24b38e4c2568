#include "tests/common/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

void RecordingNotify::Send(uint32_t message, TaskMemBlock block)
{
    RecordedMessage m{message, std::vector<char>(block.data(), block.data() + block.size())};
    m.block.push_back('\0');
    std::lock_guard guard(m_lock);
    m_messages.push_back(std::move(m));
}

std::vector<RecordedMessage> RecordingNotify::Messages() const
{
    std::lock_guard guard(m_lock);
    return m_messages;
}

std::string RecordingNotify::Log() const
{
    std::lock_guard guard(m_lock);
    std::string log;
    for (const auto& m : m_messages)
        if (m.message == 1034)
            log += m.Text();
    return log;
}

std::vector<std::string> RecordingNotify::StatusTexts() const
{
    std::lock_guard guard(m_lock);
    std::vector<std::string> texts;
    for (const auto& m : m_messages)
        if (m.message == 1036)
            texts.push_back(m.Text());
    return texts;
}

size_t RecordingNotify::Count(uint32_t message) const
{
    std::lock_guard guard(m_lock);
    size_t n = 0;
    for (const auto& m : m_messages)
        n += m.message == message;
    return n;
}

void RecordingNotify::Clear()
{
    std::lock_guard guard(m_lock);
    m_messages.clear();
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvtest.XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_strPath = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(m_strPath, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    for (auto& e : std::filesystem::recursive_directory_iterator(m_strPath, ec))
        std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_strPath, ec);
}

std::string ReadWholeFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteWholeFile(const std::string& name, const std::string& content)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

bool FileExists(const std::string& name)
{
    return std::filesystem::exists(name);
}
