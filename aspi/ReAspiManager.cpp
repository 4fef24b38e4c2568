#include "aspi/ReAspiManager.h"

#include "aspi/AspiEvent.h"
#include "platform/Errors.h"
#include "platform/linux/ScsiSense.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// One SCSI command as handed to the provider. It lives on the heap, apart from the caller's
// block and data buffer, so that a provider that completes after we stopped waiting writes
// into memory that is still ours.
struct ReAspiManager::PendingRequest {
    SRB_ExecSCSICmd srb = {};
    std::vector<uint8_t> data;
    AspiEvent event;
};

namespace {

constexpr const char* kLibraryName = "WNASPI32";
constexpr const char* kRequiresAspi = "This program requires ASPI for Win32";
constexpr uint32_t kAspiBufferSizes[] = {0x80000, 0x40000, 0x20000};
constexpr uint32_t kOwnBufferSize = 0x10000;
constexpr uint8_t kNoUnit = 0xFF;
constexpr uint8_t kInquiryLength = 56;

// Requests that were still pending when their manager went away, with a provider that
// could not withdraw them. Kept for the rest of the run rather than freed under its feet.
std::vector<std::shared_ptr<ReAspiManager::PendingRequest>>& LostRequests()
{
    static std::vector<std::shared_ptr<ReAspiManager::PendingRequest>> lost;
    return lost;
}

const char* DeviceTypeName(uint8_t type)
{
    static const char* const names[] = {"HDD",     "TAPE",    "PRINTER", "PROCESSOR",
                                        "WORM",    "CDROM",   "SCANNER", "OPTICAL",
                                        "JUKEBOX", "COMMDEV", "reserved"};
    if (type < std::size(names))
        return names[type];
    if (type == 30)
        return "reserved";
    return "unknown";
}

// Copies an INQUIRY text field and cuts the blanks and zero bytes off its end.
template <size_t N>
void CopyTrimmed(char (&out)[N], const uint8_t* field)
{
    std::memset(out, 0, N);
    std::memcpy(out, field, N - 1);
    for (size_t i = N - 1; i-- > 0;) {
        if (out[i] != ' ' && out[i] != '\0')
            break;
        out[i] = '\0';
    }
}

template <typename Fn>
Fn Lookup(LibraryLoader::ModuleHandle module, const char* name)
{
    return reinterpret_cast<Fn>(LibraryLoader::GetProcAddress(module, name));
}

} // namespace

ReAspiManager::ReAspiManager() = default;

ReAspiManager::~ReAspiManager()
{
    // The transfer buffer goes back to whoever gave it, before the library that may own it
    // is released; only then the list.
    if (m_bufferFromAspi && m_pfnFreeASPI32Buffer)
        m_pfnFreeASPI32Buffer(&m_transferBuffer);
    m_ownBuffer.Release();
    if (m_hModule)
        LibraryLoader::FreeLibrary(m_hModule);
    m_devices.clear();

    // A provider lets go of its requests when it is released; whatever it still holds stays
    // allocated for the rest of the run.
    ReleaseAbandoned();
    for (auto& request : m_abandoned)
        LostRequests().push_back(std::move(request));
    m_abandoned.clear();
}

bool ReAspiManager::Fail(const char* text)
{
    std::snprintf(m_szLastError, sizeof m_szLastError, "%s", text);
    return false;
}

bool ReAspiManager::FailFormatted(unsigned long a, unsigned long b)
{
    std::snprintf(m_szLastError, sizeof m_szLastError,
                  "Unable to initialize ASPI for Win32 (%lx/%lx).", a, b);
    return false;
}

bool ReAspiManager::Initialize()
{
    if (m_bInitialized)
        return true;
    if (m_hModule) {
        // An earlier attempt failed after loading: do not stack a second reference on it.
        LibraryLoader::FreeLibrary(m_hModule);
        m_hModule = 0;
    }

    uint32_t error = ERROR_SUCCESS;
    m_hModule = LibraryLoader::LoadLibrary(kLibraryName, error);
    if (!m_hModule) {
        if (error == ERROR_DLL_NOT_FOUND)
            return Fail(kRequiresAspi);
        return FailFormatted(error, 1);
    }

    m_pfnGetASPI32SupportInfo = Lookup<GetASPI32SupportInfoFn>(m_hModule, "GetASPI32SupportInfo");
    m_pfnSendASPI32Command = Lookup<SendASPI32CommandFn>(m_hModule, "SendASPI32Command");
    m_pfnGetASPI32Buffer = Lookup<GetASPI32BufferFn>(m_hModule, "GetASPI32Buffer");
    m_pfnFreeASPI32Buffer = Lookup<FreeASPI32BufferFn>(m_hModule, "FreeASPI32Buffer");
    m_pfnTranslateASPI32Address =
        Lookup<TranslateASPI32AddressFn>(m_hModule, "TranslateASPI32Address");

    if (!m_pfnGetASPI32SupportInfo || !m_pfnSendASPI32Command)
        return Fail(kRequiresAspi);

    const uint32_t support = m_pfnGetASPI32SupportInfo();
    const uint8_t status = static_cast<uint8_t>(support >> 8);
    if (status != SS_COMP && status != SS_NO_ADAPTERS)
        return FailFormatted(0, status);

    m_bufferFromAspi = 0;
    if (m_pfnGetASPI32Buffer) {
        for (uint32_t size : kAspiBufferSizes) {
            m_transferBuffer = {};
            m_transferBuffer.AB_BufLen = size;
            m_transferBuffer.AB_ZeroFill = 0;
            m_bufferFromAspi = static_cast<uint32_t>(m_pfnGetASPI32Buffer(&m_transferBuffer));
            if (m_bufferFromAspi)
                break;
        }
    }
    if (!m_bufferFromAspi) {
        m_ownBuffer = PageBuffer::Allocate(kOwnBufferSize);
        m_transferBuffer.AB_BufLen = kOwnBufferSize;
        m_transferBuffer.AB_BufPointer = static_cast<uint8_t*>(m_ownBuffer.data());
    }
    if (!m_transferBuffer.AB_BufPointer)
        return FailFormatted(0, SS_INSUFFICIENT_RESOURCES);

    m_bInitialized = true;
    return true;
}

void ReAspiManager::Rescan()
{
    m_devices.clear();
    // Without a bound library there is nothing to ask.
    if (!m_bInitialized)
        return;
    ScanDevices();
}

void ReAspiManager::ScanDevices()
{
    if (!m_bInitialized)
        return;
    const uint32_t support = m_pfnGetASPI32SupportInfo();
    if (static_cast<uint8_t>(support >> 8) != SS_COMP)
        return;
    const uint8_t adapters = static_cast<uint8_t>(support & 0xFF);

    for (unsigned adapter = 0; adapter < adapters; ++adapter) {
        SRB_HAInquiry inquiry = {};
        inquiry.SRB_Cmd = SC_HA_INQUIRY;
        inquiry.SRB_HaId = static_cast<uint8_t>(adapter);
        inquiry.SRB_Flags = SRB_DIR_IN;
        m_pfnSendASPI32Command(&inquiry);
        if (inquiry.SRB_Status != SS_COMP)
            continue;

        const unsigned targets = inquiry.HA_Unique[3] == 16 ? 16 : 8;
        for (unsigned target = 0; target < targets; ++target) {
            const auto ha = static_cast<uint8_t>(adapter);
            const auto id = static_cast<uint8_t>(target);
            std::string name;
            if (GetDeviceType(ha, id, 0, name) != DTYPE_SEQD)
                continue;

            uint8_t data[kInquiryLength] = {};
            const uint8_t cdb[6] = {0x12, 0x00, 0x00, 0x00, kInquiryLength, 0x00};
            SRB_ExecSCSICmd srb;
            if (!ExecScsiCommand(ha, SRB_DIR_IN, id, 0, sizeof data, data, sizeof cdb, cdb, srb))
                continue;
            if (data[0] != 0x01)
                continue;

            AspiDevice device;
            device.nHostAdapter = ha;
            device.nTarget = id;
            CopyTrimmed(device.szVendor, data + 8);
            CopyTrimmed(device.szProduct, data + 16);
            m_devices.push_back(device);
        }
    }
}

uint8_t ReAspiManager::GetDeviceType(uint8_t adapter, uint8_t target, uint8_t lun, std::string& name)
{
    if (!m_pfnSendASPI32Command)
        return kNoUnit;
    SRB_GDEVBlock block = {};
    block.SRB_Cmd = SC_GET_DEV_TYPE;
    block.SRB_HaId = adapter;
    block.SRB_Target = target;
    block.SRB_Lun = lun;
    m_pfnSendASPI32Command(&block);
    if (block.SRB_Status != SS_COMP)
        return kNoUnit;
    name = DeviceTypeName(block.SRB_DeviceType);
    return block.SRB_DeviceType;
}

bool ReAspiManager::ExecScsiCommand(uint8_t adapter, uint8_t flags, uint8_t target, uint8_t lun,
                                    uint32_t nDataLen, uint8_t* pData, uint8_t nCdbLen,
                                    const uint8_t* pCdb, SRB_ExecSCSICmd& srb)
{
    ReleaseAbandoned();

    srb = {};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = adapter;
    srb.SRB_Flags = flags;
    srb.SRB_Target = target;
    srb.SRB_Lun = lun;
    srb.SRB_BufLen = nDataLen;
    srb.SRB_BufPointer = pData;
    srb.SRB_CDBLen = std::min<uint8_t>(nCdbLen, sizeof srb.CDBByte);
    srb.SRB_SenseLen = SENSE_LEN;
    if (pCdb)
        std::memcpy(srb.CDBByte, pCdb, srb.SRB_CDBLen);

    if (!m_pfnSendASPI32Command) {
        srb.SRB_Status = SS_NO_ADAPTERS;
        return false;
    }

    auto request = std::make_shared<PendingRequest>();
    request->data.assign(pData ? nDataLen : 0, 0);
    if ((flags & SRB_DIR_OUT) && !request->data.empty())
        std::memcpy(request->data.data(), pData, request->data.size());
    request->srb = srb;
    request->srb.SRB_BufLen = static_cast<uint32_t>(request->data.size());
    request->srb.SRB_BufPointer = request->data.empty() ? nullptr : request->data.data();

    for (bool firstAttempt = true;; firstAttempt = false) {
        if (!SendAndWait(request)) {
            // Given up: the provider may still hold the request, so nothing of it is read.
            srb.SRB_Status = SS_ABORTED;
            return false;
        }
        // Copy the outcome back into the caller's block; its buffer pointer stays the caller's.
        uint8_t* const callerBuffer = srb.SRB_BufPointer;
        srb = request->srb;
        srb.SRB_BufPointer = callerBuffer;
        srb.SRB_BufLen = nDataLen;
        srb.SRB_PostProc = nullptr;
        if ((flags & SRB_DIR_IN) && !request->data.empty())
            std::memcpy(pData, request->data.data(), request->data.size());

        if (srb.SRB_Status == SS_COMP)
            return true;
        const bool unitAttention = srb.SRB_TargStat == STATUS_CHKCOND &&
                                   DecodeSense(srb.SenseArea, sizeof srb.SenseArea).key == SENSE_KEY_UNIT_ATTENTION;
        if (!firstAttempt || !unitAttention)
            return false;
    }
}

bool ReAspiManager::SendAndWait(const std::shared_ptr<PendingRequest>& request)
{
    request->event.Reset();
    request->srb.SRB_Flags |= SRB_EVENT_NOTIFY;
    request->srb.SRB_PostProc = &request->event;

    if (m_pfnSendASPI32Command(&request->srb) != SS_PENDING)
        return true;
    if (request->event.Wait(std::chrono::milliseconds(m_nCommandTimeoutMs)))
        return true;

    // Too late: withdraw it. A provider that cannot withdraw keeps writing into the request,
    // so it stays alive until it has completed.
    SRB_Abort abort = {};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_HaId = request->srb.SRB_HaId;
    abort.SRB_ToAbort = &request->srb;
    const uint32_t aborted = m_pfnSendASPI32Command(&abort);
    if (request->event.IsSet())
        return true;        // it completed while we gave up on it
    if (aborted != SS_COMP)
        m_abandoned.push_back(request);
    return false;
}

void ReAspiManager::ReleaseAbandoned()
{
    std::erase_if(m_abandoned, [](const auto& request) { return request->event.IsSet(); });
}

size_t ReAspiManager::AbandonedRequests()
{
    ReleaseAbandoned();
    return m_abandoned.size();
}
