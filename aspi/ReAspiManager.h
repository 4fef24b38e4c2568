// Binds the program to the "WNASPI32" provider at run time and keeps the list of the tape
// drives found on its host adapters. Position k in m_devices is the device \\.\TAPEk.
// All of it runs on the user-interface thread.
#pragma once
#include "aspi/Aspi.h"
#include "aspi/LibraryLoader.h"
#include "platform/PageBuffer.h"

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

// One tape drive found by the scan. The logical unit is always 0 and is not stored.
struct AspiDevice {
    uint8_t nHostAdapter = 0;
    uint8_t nTarget = 0;
    char szVendor[9] = {};     // INQUIRY vendor id, trailing blanks removed
    char szProduct[17] = {};   // INQUIRY product id, trailing blanks removed
};

class ReAspiManager {
public:
    ReAspiManager();
    virtual ~ReAspiManager();
    ReAspiManager(const ReAspiManager&) = delete;
    ReAspiManager& operator=(const ReAspiManager&) = delete;

    // Binds ASPI; on failure leaves the reason in m_szLastError. Called once.
    bool Initialize();
    // Empties m_devices and scans again. Only when m_bInitialized.
    void Rescan();
    // Appends every tape drive found to m_devices.
    void ScanDevices();
    // The peripheral device type of the unit, or 0xFF when it does not answer; sets the
    // type name ("HDD", "TAPE", ...) when it answers.
    uint8_t GetDeviceType(uint8_t adapter, uint8_t target, uint8_t lun, std::string& name);
    // Runs one SCSI command and waits for it, at most m_nCommandTimeoutMs per attempt; a
    // request that does not complete in time counts as failed. The outcome (status,
    // target status, sense) is copied into srb; data comes back in pData.
    bool ExecScsiCommand(uint8_t adapter, uint8_t flags, uint8_t target, uint8_t lun,
                         uint32_t nDataLen, uint8_t* pData, uint8_t nCdbLen, const uint8_t* pCdb,
                         SRB_ExecSCSICmd& srb);

    // Read by the frame, the log view and the choose-tape dialog.
    bool m_bInitialized = false;
    std::list<AspiDevice> m_devices;     // tape drives in scan order; count: m_devices.size()
    char m_szLastError[256] = {};        // why Initialize failed

    // How long one SCSI command may take before it is given up (tests shorten it).
    uint32_t m_nCommandTimeoutMs = 30000;

    // Inspection for tests and diagnostics.
    bool BufferFromAspi() const { return m_bufferFromAspi != 0; }
    const ASPI32BUFF& TransferBuffer() const { return m_transferBuffer; }
    // Requests given up on whose provider could not withdraw them and that have not
    // completed yet; they are kept alive so that a late completion writes only into them.
    size_t AbandonedRequests();

    struct PendingRequest;

private:
    bool Fail(const char* text);
    bool FailFormatted(unsigned long a, unsigned long b);
    // Sends one attempt and waits; false when it did not complete in time.
    bool SendAndWait(const std::shared_ptr<PendingRequest>& request);
    void ReleaseAbandoned();

    LibraryLoader::ModuleHandle m_hModule = 0;
    GetASPI32SupportInfoFn m_pfnGetASPI32SupportInfo = nullptr;
    SendASPI32CommandFn m_pfnSendASPI32Command = nullptr;
    GetASPI32BufferFn m_pfnGetASPI32Buffer = nullptr;
    FreeASPI32BufferFn m_pfnFreeASPI32Buffer = nullptr;
    TranslateASPI32AddressFn m_pfnTranslateASPI32Address = nullptr;   // kept, never called
    uint32_t m_bufferFromAspi = 0;
    ASPI32BUFF m_transferBuffer = {};
    PageBuffer m_ownBuffer;              // the transfer buffer when ASPI gave none
    std::vector<std::shared_ptr<PendingRequest>> m_abandoned;
};
