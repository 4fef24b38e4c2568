#include "tests/gui/GuiTestSupport.h"

#include "app/MainFrame.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "testsupport/SimulatedAspiBus.h"
#include "view/ChildView.h"

#include <cstring>
#include <cctype>

void Gate::Wait()
{
    std::unique_lock lock(m_lock);
    ++m_nWaiting;
    m_changed.wait(lock, [&] { return m_bOpen; });
    --m_nWaiting;
}

void Gate::Open()
{
    {
        std::lock_guard lock(m_lock);
        m_bOpen = true;
    }
    m_changed.notify_all();
}

void Gate::Close()
{
    std::lock_guard lock(m_lock);
    m_bOpen = false;
}

int Gate::Waiting() const
{
    std::lock_guard lock(m_lock);
    return m_nWaiting;
}

GatedTape::GatedTape(std::shared_ptr<Gate> gate, std::vector<std::vector<std::string>> files)
    : m_gate(std::move(gate)), m_files(std::move(files))
{
}

uint32_t GatedTape::GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& params)
{
    params = {};
    params.FeaturesLow = TAPE_DRIVE_VARIABLE_BLOCK;
    params.MaximumBlockSize = 65536;
    return ERROR_SUCCESS;
}

uint32_t GatedTape::GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& params)
{
    params = {};
    return ERROR_SUCCESS;
}

uint32_t GatedTape::SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS&)
{
    return ERROR_SUCCESS;
}

uint32_t GatedTape::SetTapePosition(uint32_t method, uint32_t, uint32_t offsetLow, uint32_t, bool)
{
    m_gate->Wait();
    if (method == TAPE_REWIND) {
        m_nFile = 0;
        m_nRecord = 0;
        return ERROR_SUCCESS;
    }
    m_nFile += offsetLow;
    m_nRecord = 0;
    return m_nFile <= m_files.size() ? ERROR_SUCCESS : ERROR_NO_DATA_DETECTED;
}

uint32_t GatedTape::PrepareTape(uint32_t, bool)
{
    m_gate->Wait();
    return ERROR_SUCCESS;
}

uint32_t GatedTape::Read(void* buffer, uint32_t size, uint32_t& bytesRead)
{
    m_gate->Wait();
    bytesRead = 0;
    if (m_nFile >= m_files.size()) {
        return ERROR_NO_DATA_DETECTED;
    }
    const auto& file = m_files[m_nFile];
    if (m_nRecord >= file.size()) {
        ++m_nFile;
        m_nRecord = 0;
        return ERROR_FILEMARK_DETECTED;
    }
    const std::string& record = file[m_nRecord++];
    bytesRead = static_cast<uint32_t>(std::min<size_t>(size, record.size()));
    std::memcpy(buffer, record.data(), bytesRead);
    return bytesRead < record.size() ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

GatedDrives::GatedDrives(std::vector<std::vector<std::string>> files)
{
    DeviceNamespace::SetOpenerForTesting([this, files](int index, uint32_t& error) -> TapeDevicePtr {
        {
            std::lock_guard lock(m_lock);
            m_opened.push_back(index);
        }
        error = ERROR_SUCCESS;
        return std::make_unique<GatedTape>(gate, files);
    });
}

GatedDrives::~GatedDrives()
{
    gate->Open();
    DeviceNamespace::SetOpenerForTesting({});
}

std::vector<int> GatedDrives::OpenedIndices() const
{
    std::lock_guard lock(m_lock);
    return m_opened;
}

void UseNoAspi()
{
    UnregisterAspiProvider();
}

void UseAspiWithoutDrives()
{
    auto bus = std::make_shared<SimulatedAspiBus>();
    bus->supportStatus = SS_NO_ADAPTERS;
    RegisterSimulatedAspi(bus);
}

void UseAspiWithTwoDrives()
{
    auto bus = std::make_shared<SimulatedAspiBus>();
    bus->adapters.resize(1);
    bus->adapters[0].units[1] = SimulatedUnit::OfType(0, "DISKCO", "D1");
    bus->adapters[0].units[3] = SimulatedUnit::Tape("ACME", "DLT1");
    bus->adapters[0].units[5] = SimulatedUnit::Tape("ZETA", "Z2");
    RegisterSimulatedAspi(bus);
}

std::shared_ptr<ModalAnswer> ModalAnswer::Start(std::function<bool(QWidget*)> handler, int timeoutMs)
{
    auto answer = std::make_shared<ModalAnswer>();
    answer->m_handler = std::move(handler);
    answer->m_nTicksLeft = timeoutMs / 10;
    answer->m_self = answer;
    answer->m_timer.setInterval(10);
    QObject::connect(&answer->m_timer, &QTimer::timeout, [raw = answer.get()] { raw->Poll(); });
    answer->m_timer.start();
    return answer;
}

void ModalAnswer::Poll()
{
    if (m_bAnswered) {
        return;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible() && m_handler(modal)) {
        m_bAnswered = true;
        m_timer.stop();
        return;
    }
    if (--m_nTicksLeft <= 0) {
        m_timer.stop();
        // Nothing we expected showed up: close whatever is modal so the test does not hang.
        if (modal) {
            modal->close();
        }
    }
}

std::unique_ptr<CMainFrame> MakeFrame()
{
    auto frame = std::make_unique<CMainFrame>();
    frame->LoadFrame();
    frame->resize(800, 600);
    return frame;
}

std::string LogText(const CMainFrame& frame)
{
    return frame.GetView()->toPlainText().toLocal8Bit().toStdString();
}

// True when text holds the time form "Www Mmm dd hh:mm:ss yyyy" at pos (the day may be
// blank-padded). Hand-made rather than std::regex, inside which GCC 12 warns.
static bool IsTimeAt(const std::string& text, size_t pos)
{
    static const std::string shape = "Aaa Aaa _0 00:00:00 0000";
    if (pos + shape.size() > text.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[pos + i]);
        bool ok = false;
        switch (shape[i]) {
        case 'A': ok = std::isupper(c); break;
        case 'a': ok = std::islower(c); break;
        case '0': ok = std::isdigit(c); break;
        case '_': ok = c == ' ' || std::isdigit(c); break;
        default: ok = c == static_cast<unsigned char>(shape[i]); break;
        }
        if (!ok)
            return false;
    }
    return true;
}

std::string MaskTimes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (IsTimeAt(text, i)) {
            out += "<time>";
            i += 24;
        } else {
            out += text[i++];
        }
    }
    return out;
}
