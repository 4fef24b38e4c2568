// What the window tests share: a tape device whose operations wait at a gate the test
// opens (so a job can be held in the middle deterministically), answering modal dialogs
// from the event loop, and the three ways the drive scan can come out.
#pragma once
#include "platform/TapeDevice.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CMainFrame;

// Closed: every gated operation waits until the test opens it.
class Gate {
public:
    void Wait();
    void Open();
    void Close();
    int Waiting() const;

private:
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_bOpen = false;
    int m_nWaiting = 0;
};

// A variable-block drive holding the given files. Rewind, spacing, unload and every read
// pass the gate first.
class GatedTape : public TapeDevice {
public:
    GatedTape(std::shared_ptr<Gate> gate, std::vector<std::vector<std::string>> files);

    uint32_t GetDriveParameters(TAPE_GET_DRIVE_PARAMETERS& params) override;
    uint32_t GetMediaParameters(TAPE_GET_MEDIA_PARAMETERS& params) override;
    uint32_t SetMediaParameters(const TAPE_SET_MEDIA_PARAMETERS& params) override;
    uint32_t SetTapePosition(uint32_t method, uint32_t partition, uint32_t offsetLow, uint32_t offsetHigh,
                             bool immediate) override;
    uint32_t PrepareTape(uint32_t operation, bool immediate) override;
    uint32_t Read(void* buffer, uint32_t size, uint32_t& bytesRead) override;

private:
    std::shared_ptr<Gate> m_gate;
    std::vector<std::vector<std::string>> m_files;
    size_t m_nFile = 0;
    size_t m_nRecord = 0;
};

// Puts GatedTape drives behind every \\.\TAPEn while alive, and records the indices opened.
class GatedDrives {
public:
    explicit GatedDrives(std::vector<std::vector<std::string>> files = {{"block-a", "block-b"}, {"block-c"}});
    ~GatedDrives();
    GatedDrives(const GatedDrives&) = delete;
    GatedDrives& operator=(const GatedDrives&) = delete;

    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::vector<int> OpenedIndices() const;

private:
    mutable std::mutex m_lock;
    std::vector<int> m_opened;
};

// The drive scan's three outcomes, each registered as the "WNASPI32" provider.
void UseNoAspi();
void UseAspiWithoutDrives();
// Two drives on adapter 0: ACME DLT1 at target 3 and ZETA Z2 at target 5.
void UseAspiWithTwoDrives();

// Calls handler with the next modal widget of type T, from the event loop, as soon as it
// is the active modal widget. Fails the test (through the returned flag) when none shows
// up in time.
class ModalAnswer {
public:
    template <typename T>
    static std::shared_ptr<ModalAnswer> When(std::function<void(T*)> handler, int timeoutMs = 10000)
    {
        return Start([handler](QWidget* widget) {
            T* typed = dynamic_cast<T*>(widget);
            if (typed) {
                handler(typed);
            }
            return typed != nullptr;
        }, timeoutMs);
    }
    bool Answered() const { return m_bAnswered; }

private:
    static std::shared_ptr<ModalAnswer> Start(std::function<bool(QWidget*)> handler, int timeoutMs);
    void Poll();

    std::function<bool(QWidget*)> m_handler;
    QTimer m_timer;
    int m_nTicksLeft = 0;
    bool m_bAnswered = false;
    std::weak_ptr<ModalAnswer> m_self;
};

// Creates and loads a frame the way start-up does, without showing it.
std::unique_ptr<CMainFrame> MakeFrame();
// The view's whole text.
std::string LogText(const CMainFrame& frame);
// Replaces the time of a "ctime" line ("Tue Dec 08 01:35:10 2026") by "<time>".
std::string MaskTimes(const std::string& text);
