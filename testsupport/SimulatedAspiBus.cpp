#include "testsupport/SimulatedAspiBus.h"

#include "aspi/AspiEvent.h"
#include "aspi/LibraryLoader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::mutex g_busLock;
std::shared_ptr<SimulatedAspiBus> g_bus;

std::shared_ptr<SimulatedAspiBus> CurrentBus()
{
    std::lock_guard guard(g_busLock);
    return g_bus;
}

uint32_t SimGetASPI32SupportInfo() { return CurrentBus()->SupportInfo(); }
uint32_t SimSendASPI32Command(void* srb) { return CurrentBus()->Send(srb); }
int SimGetASPI32Buffer(ASPI32BUFF* buffer) { return CurrentBus()->GetBuffer(buffer); }
int SimFreeASPI32Buffer(ASPI32BUFF* buffer) { return CurrentBus()->FreeBuffer(buffer); }
int SimTranslateASPI32Address(uint32_t*, uint32_t*) { return 0; }

void PutField(uint8_t* out, size_t width, const std::string& text)
{
    std::memset(out, ' ', width);
    std::memcpy(out, text.data(), std::min(width, text.size()));
}

void SetCheckCondition(SRB_ExecSCSICmd* srb, uint8_t senseKey)
{
    srb->SRB_Status = SS_ERR;
    srb->SRB_TargStat = STATUS_CHKCOND;
    std::memset(srb->SenseArea, 0, sizeof srb->SenseArea);
    srb->SenseArea[0] = 0x70;
    srb->SenseArea[2] = senseKey;
    srb->SenseArea[7] = SENSE_LEN - 8;
}

} // namespace

std::vector<uint8_t> MakeInquiryData(uint8_t peripheral, const std::string& vendor,
                                     const std::string& product, const std::string& revision)
{
    std::vector<uint8_t> data(56, 0);
    data[0] = peripheral;
    data[1] = 0x80;                         // removable medium
    data[2] = 0x05;
    data[3] = 0x02;
    data[4] = static_cast<uint8_t>(data.size() - 5);
    PutField(&data[8], 8, vendor);
    PutField(&data[16], 16, product);
    PutField(&data[32], 4, revision);
    return data;
}

SimulatedUnit SimulatedUnit::OfType(uint8_t type, const std::string& vendor, const std::string& product)
{
    SimulatedUnit unit;
    unit.type = type;
    unit.inquiry = MakeInquiryData(type, vendor, product);
    return unit;
}

SimulatedUnit SimulatedUnit::Tape(const std::string& vendor, const std::string& product)
{
    return OfType(DTYPE_SEQD, vendor, product);
}

SimulatedAspiBus::~SimulatedAspiBus()
{
    JoinThreads();
}

void SimulatedAspiBus::Record(std::string call)
{
    m_calls.push_back(std::move(call));
}

std::vector<std::string> SimulatedAspiBus::Calls() const
{
    std::lock_guard guard(m_lock);
    return m_calls;
}

size_t SimulatedAspiBus::CountCalls(const std::string& prefix) const
{
    std::lock_guard guard(m_lock);
    return static_cast<size_t>(std::count_if(m_calls.begin(), m_calls.end(), [&](const std::string& call) {
        return call.compare(0, prefix.size(), prefix) == 0;
    }));
}

size_t SimulatedAspiBus::BuffersOutstanding() const
{
    std::lock_guard guard(m_lock);
    return m_buffers.size();
}

size_t SimulatedAspiBus::RequestsPending() const
{
    std::lock_guard guard(m_lock);
    return m_pending.size();
}

uint32_t SimulatedAspiBus::Attach()
{
    std::lock_guard guard(m_lock);
    Record("load");
    return loadError;
}

void SimulatedAspiBus::Detach()
{
    {
        std::lock_guard guard(m_lock);
        m_bDetaching = true;
        m_cond.notify_all();
    }
    JoinThreads();
    std::lock_guard guard(m_lock);
    m_bDetaching = false;
    m_pending.clear();
    m_withdrawalsRefused.clear();
    Record("free");
}

void SimulatedAspiBus::JoinThreads()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(m_lock);
        threads.swap(m_threads);
    }
    for (auto& thread : threads)
        thread.join();
}

uint32_t SimulatedAspiBus::SupportInfo()
{
    std::lock_guard guard(m_lock);
    if (supportStatus != SS_COMP)
        return static_cast<uint32_t>(supportStatus) << 8;
    return (static_cast<uint32_t>(SS_COMP) << 8) | static_cast<uint32_t>(std::min<size_t>(adapters.size(), 255));
}

int SimulatedAspiBus::GetBuffer(ASPI32BUFF* buffer)
{
    std::lock_guard guard(m_lock);
    const uint32_t size = buffer->AB_BufLen;
    if (size > largestBufferGranted) {
        Record("GetASPI32Buffer " + std::to_string(size) + " -> refused");
        return 0;
    }
    Record("GetASPI32Buffer " + std::to_string(size));
    auto memory = std::make_unique<uint8_t[]>(size);
    buffer->AB_BufPointer = memory.get();
    m_buffers[memory.get()] = std::move(memory);
    return 1;
}

int SimulatedAspiBus::FreeBuffer(ASPI32BUFF* buffer)
{
    std::lock_guard guard(m_lock);
    Record("FreeASPI32Buffer " + std::to_string(buffer->AB_BufLen));
    return m_buffers.erase(buffer->AB_BufPointer) ? 1 : 0;
}

uint32_t SimulatedAspiBus::Send(void* srb)
{
    auto* header = static_cast<SRB_Header*>(srb);
    std::unique_lock guard(m_lock);
    switch (header->SRB_Cmd) {
    case SC_HA_INQUIRY: {
        auto* inquiry = static_cast<SRB_HAInquiry*>(srb);
        Record("HA " + std::to_string(inquiry->SRB_HaId));
        if (inquiry->SRB_HaId >= adapters.size() || adapters[inquiry->SRB_HaId].inquiryFails)
            return inquiry->SRB_Status = SS_INVALID_HA;
        inquiry->HA_Count = static_cast<uint8_t>(adapters.size());
        inquiry->HA_SCSI_ID = 7;
        std::memcpy(inquiry->HA_ManagerId, "ASPI for WIN32  ", 16);
        std::memcpy(inquiry->HA_Identifier, "SIMULATED       ", 16);
        inquiry->HA_Unique[3] = adapters[inquiry->SRB_HaId].maxTargets;
        return inquiry->SRB_Status = SS_COMP;
    }
    case SC_GET_DEV_TYPE: {
        auto* block = static_cast<SRB_GDEVBlock*>(srb);
        char call[32];
        std::snprintf(call, sizeof call, "GDEV %d:%d:%d", block->SRB_HaId, block->SRB_Target, block->SRB_Lun);
        Record(call);
        if (block->SRB_HaId >= adapters.size())
            return block->SRB_Status = SS_INVALID_HA;
        auto& units = adapters[block->SRB_HaId].units;
        auto unit = units.find(block->SRB_Target);
        if (block->SRB_Lun != 0 || unit == units.end() || !unit->second.answersDeviceType)
            return block->SRB_Status = SS_NO_DEVICE;
        block->SRB_DeviceType = unit->second.type;
        return block->SRB_Status = SS_COMP;
    }
    case SC_EXEC_SCSI_CMD:
        guard.unlock();
        return ExecScsi(static_cast<SRB_ExecSCSICmd*>(srb));
    case SC_ABORT_SRB: {
        auto* abort = static_cast<SRB_Abort*>(srb);
        auto* target = static_cast<SRB_ExecSCSICmd*>(abort->SRB_ToAbort);
        char call[32];
        std::snprintf(call, sizeof call, "ABORT %d:%d", target->SRB_HaId, target->SRB_Target);
        Record(call);
        auto pending = std::find(m_pending.begin(), m_pending.end(), target);
        if (pending == m_pending.end())
            return abort->SRB_Status = SS_COMP;       // nothing of it is held any more
        const auto& unit = adapters[target->SRB_HaId].units[target->SRB_Target];
        if (!supportsAbort || unit.completion == SimulatedUnit::Completion::LateIgnoringAbort) {
            m_withdrawalsRefused.push_back(target);
            m_cond.notify_all();
            return abort->SRB_Status = SS_ABORT_FAIL;
        }
        m_pending.erase(pending);
        return abort->SRB_Status = SS_COMP;
    }
    default:
        return header->SRB_Status = SS_INVALID_CMD;
    }
}

uint32_t SimulatedAspiBus::ExecScsi(SRB_ExecSCSICmd* srb)
{
    std::lock_guard guard(m_lock);
    char call[48];
    std::snprintf(call, sizeof call, "EXEC %d:%d:%d %02x", srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun,
                  srb->CDBByte[0]);
    Record(call);
    if (srb->SRB_HaId >= adapters.size())
        return srb->SRB_Status = SS_INVALID_HA;
    auto& units = adapters[srb->SRB_HaId].units;
    auto found = units.find(srb->SRB_Target);
    if (srb->SRB_Lun != 0 || found == units.end())
        return srb->SRB_Status = SS_NO_DEVICE;
    SimulatedUnit& unit = found->second;

    if (unit.completion == SimulatedUnit::Completion::Immediate) {
        Complete(srb, unit);
        return srb->SRB_Status;
    }

    srb->SRB_Status = SS_PENDING;
    m_pending.push_back(srb);
    if (unit.completion == SimulatedUnit::Completion::Never)
        return SS_PENDING;

    const bool late = unit.completion == SimulatedUnit::Completion::LateIgnoringAbort;
    const auto delay = unit.lateDelay;
    m_threads.emplace_back([this, srb, delay, late] {
        if (late) {
            // Only once the caller has given up (or the library goes), so that the
            // completion is late whatever the speed of the machine.
            {
                std::unique_lock wait(m_lock);
                m_cond.wait(wait, [&] {
                    return m_bDetaching || std::find(m_withdrawalsRefused.begin(), m_withdrawalsRefused.end(),
                                                     srb) != m_withdrawalsRefused.end();
                });
            }
            std::this_thread::sleep_for(delay);
        }
        std::lock_guard completion(m_lock);
        std::erase(m_withdrawalsRefused, srb);
        auto pending = std::find(m_pending.begin(), m_pending.end(), srb);
        if (pending == m_pending.end() && !late)
            return;                                    // withdrawn meanwhile
        if (pending != m_pending.end())
            m_pending.erase(pending);
        Complete(srb, adapters[srb->SRB_HaId].units[srb->SRB_Target]);
    });
    return SS_PENDING;
}

void SimulatedAspiBus::Complete(SRB_ExecSCSICmd* srb, SimulatedUnit& unit)
{
    srb->SRB_TargStat = 0;
    srb->SRB_HaStat = 0;
    if (unit.unitAttentions > 0) {
        --unit.unitAttentions;
        SetCheckCondition(srb, SENSE_KEY_UNIT_ATTENTION);
    } else if (srb->CDBByte[0] == 0x12) {
        if (unit.inquiryFails) {
            SetCheckCondition(srb, SENSE_KEY_ILLEGAL_REQUEST);
        } else {
            size_t length = std::min<size_t>({srb->SRB_BufLen, srb->CDBByte[4], unit.inquiry.size()});
            if (srb->SRB_BufPointer)
                std::memcpy(srb->SRB_BufPointer, unit.inquiry.data(), length);
            srb->SRB_Status = SS_COMP;
        }
    } else if (srb->CDBByte[0] == 0x00) {
        srb->SRB_Status = SS_COMP;
    } else {
        SetCheckCondition(srb, SENSE_KEY_ILLEGAL_REQUEST);
    }
    // Setting the event is the last touch of the request.
    if ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc)
        static_cast<AspiEvent*>(srb->SRB_PostProc)->Set();
}

void RegisterSimulatedAspi(std::shared_ptr<SimulatedAspiBus> bus)
{
    {
        std::lock_guard guard(g_busLock);
        g_bus = bus;
    }
    using LibraryLoader::Entry;
    LibraryLoader::ModuleDefinition module;
    if (bus->hasSupportInfo)
        module.entryPoints["GetASPI32SupportInfo"] = Entry(&SimGetASPI32SupportInfo);
    if (bus->hasSendCommand)
        module.entryPoints["SendASPI32Command"] = Entry(&SimSendASPI32Command);
    if (bus->hasGetBuffer)
        module.entryPoints["GetASPI32Buffer"] = Entry(&SimGetASPI32Buffer);
    if (bus->hasFreeBuffer)
        module.entryPoints["FreeASPI32Buffer"] = Entry(&SimFreeASPI32Buffer);
    module.entryPoints["TranslateASPI32Address"] = Entry(&SimTranslateASPI32Address);
    module.attach = [bus] { return bus->Attach(); };
    module.detach = [bus] { bus->Detach(); };
    LibraryLoader::RegisterModule("WNASPI32", std::move(module));
}

void UnregisterAspiProvider()
{
    LibraryLoader::UnregisterModule("WNASPI32");
    std::lock_guard guard(g_busLock);
    g_bus.reset();
}
