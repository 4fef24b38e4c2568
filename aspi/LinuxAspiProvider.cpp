#include "aspi/LinuxAspiProvider.h"

#include "aspi/Aspi.h"
#include "aspi/AspiEvent.h"
#include "aspi/AspiProviders.h"
#include "aspi/LibraryLoader.h"
#include "platform/DeviceNamespace.h"
#include "platform/ImageFormat.h"
#include "platform/Errors.h"
#include "platform/PageBuffer.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr uint8_t kInquiry = 0x12;
constexpr uint8_t kTestUnitReady = 0x00;
constexpr size_t kTargetsPerAdapter = 16;
constexpr uint8_t kHostSelectionTimeOut = 0x11;

struct Unit {
    bool isVirtual = false;
    ScsiDevice info;          // real units; for virtual ones type, vendor and model only
};

std::vector<uint8_t> StandardInquiry(const ScsiDevice& info)
{
    std::vector<uint8_t> data(56, 0);
    auto put = [&](size_t at, size_t width, const std::string& text) {
        std::memset(&data[at], ' ', width);
        std::memcpy(&data[at], text.data(), std::min(width, text.size()));
    };
    data[0] = static_cast<uint8_t>(info.type & 0x1F);
    data[1] = info.type == DTYPE_SEQD ? 0x80 : 0x00;
    data[2] = 0x05;
    data[3] = 0x02;
    data[4] = static_cast<uint8_t>(data.size() - 5);
    put(8, 8, info.vendor);
    put(16, 16, info.model);
    put(32, 4, info.revision);
    return data;
}

void SetSense(SRB_ExecSCSICmd* srb, uint8_t senseKey, uint8_t asc)
{
    srb->SRB_Status = SS_ERR;
    srb->SRB_TargStat = STATUS_CHKCOND;
    std::memset(srb->SenseArea, 0, sizeof srb->SenseArea);
    srb->SenseArea[0] = 0x70;
    srb->SenseArea[2] = senseKey;
    srb->SenseArea[7] = SENSE_LEN - 8;
    srb->SenseArea[12] = asc;
}

void CopyIn(SRB_ExecSCSICmd* srb, const std::vector<uint8_t>& data)
{
    if (srb->SRB_BufPointer && !data.empty())
        std::memcpy(srb->SRB_BufPointer, data.data(), std::min<size_t>(data.size(), srb->SRB_BufLen));
}

// INQUIRY for the standard data (not a vital product data page).
bool IsStandardInquiry(const uint8_t* cdb, size_t length)
{
    return length > 0 && cdb[0] == kInquiry && (length < 2 || !(cdb[1] & 0x01));
}

// Answers a standard INQUIRY from what is known of the unit without asking it.
void AnswerInquiry(SRB_ExecSCSICmd* srb, const ScsiDevice& info, uint8_t allocationLength)
{
    std::vector<uint8_t> data = StandardInquiry(info);
    data.resize(std::min<size_t>(data.size(), allocationLength));
    CopyIn(srb, data);
    srb->SRB_Status = SS_COMP;
}

void SignalCompletion(SRB_ExecSCSICmd* srb)
{
    if ((srb->SRB_Flags & SRB_EVENT_NOTIFY) && srb->SRB_PostProc)
        static_cast<AspiEvent*>(srb->SRB_PostProc)->Set();
}

class LinuxAspiProvider {
public:
    LinuxAspiProvider(std::vector<Unit> units, std::vector<AspiAdapterLayout> adapters, SgIoFunction sgio)
        : m_units(std::move(units)), m_adapters(std::move(adapters)), m_sgio(std::move(sgio))
    {
    }

    ~LinuxAspiProvider()
    {
        {
            std::lock_guard guard(m_lock);
            m_bStopping = true;
            for (auto& [node, worker] : m_workers)
                worker.queue.clear();
            m_pending.clear();
        }
        m_cond.notify_all();
        for (auto& [node, worker] : m_workers)
            worker.thread.join();
    }

    uint32_t SupportInfo() const
    {
        if (m_adapters.empty())
            return static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
        return (static_cast<uint32_t>(SS_COMP) << 8) | static_cast<uint32_t>(std::min<size_t>(m_adapters.size(), 255));
    }

    uint32_t Send(void* block)
    {
        auto* header = static_cast<SRB_Header*>(block);
        switch (header->SRB_Cmd) {
        case SC_HA_INQUIRY: return AdapterInquiry(static_cast<SRB_HAInquiry*>(block));
        case SC_GET_DEV_TYPE: return DeviceType(static_cast<SRB_GDEVBlock*>(block));
        case SC_EXEC_SCSI_CMD: return Execute(static_cast<SRB_ExecSCSICmd*>(block));
        case SC_ABORT_SRB: return Abort(static_cast<SRB_Abort*>(block));
        default: return header->SRB_Status = SS_INVALID_CMD;
        }
    }

    int GetBuffer(ASPI32BUFF* buffer)
    {
        PageBuffer memory = PageBuffer::Allocate(buffer->AB_BufLen);
        if (!memory)
            return 0;
        buffer->AB_BufPointer = static_cast<uint8_t*>(memory.data());
        std::lock_guard guard(m_lock);
        m_buffers[buffer->AB_BufPointer] = std::move(memory);
        return 1;
    }

    int FreeBuffer(ASPI32BUFF* buffer)
    {
        std::lock_guard guard(m_lock);
        return m_buffers.erase(buffer->AB_BufPointer) ? 1 : 0;
    }

private:
    // A block's address is no identity: once withdrawn, a block is freed and the next
    // request may well be made in the same memory. Each submission has a ticket of its own,
    // and only the job holding the block's current ticket may write into it.
    using Ticket = uint64_t;

    struct Job {
        SRB_ExecSCSICmd* srb;
        Ticket ticket;
        SgIoRequest request;
        const Unit* unit;
    };

    const Unit* Find(uint8_t adapter, uint8_t target, uint8_t lun) const
    {
        if (adapter >= m_adapters.size() || target >= kTargetsPerAdapter || lun != 0)
            return nullptr;
        const int index = m_adapters[adapter].unit[target];
        return index < 0 ? nullptr : &m_units[static_cast<size_t>(index)];
    }

    uint32_t AdapterInquiry(SRB_HAInquiry* inquiry)
    {
        if (inquiry->SRB_HaId >= m_adapters.size())
            return inquiry->SRB_Status = SS_INVALID_HA;
        inquiry->HA_Count = static_cast<uint8_t>(std::min<size_t>(m_adapters.size(), 255));
        inquiry->HA_SCSI_ID = 7;
        std::memcpy(inquiry->HA_ManagerId, "ASPI for WIN32  ", 16);
        std::memcpy(inquiry->HA_Identifier, "Linux SCSI gen. ", 16);
        inquiry->HA_Unique[3] = m_adapters[inquiry->SRB_HaId].maxTargets;
        return inquiry->SRB_Status = SS_COMP;
    }

    uint32_t DeviceType(SRB_GDEVBlock* block)
    {
        const Unit* unit = Find(block->SRB_HaId, block->SRB_Target, block->SRB_Lun);
        if (!unit)
            return block->SRB_Status = block->SRB_HaId < m_adapters.size() ? SS_NO_DEVICE : SS_INVALID_HA;
        block->SRB_DeviceType = static_cast<uint8_t>(unit->info.type & 0x1F);
        return block->SRB_Status = SS_COMP;
    }

    uint32_t Execute(SRB_ExecSCSICmd* srb)
    {
        const Unit* unit = Find(srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
        if (!unit)
            return srb->SRB_Status = SS_NO_DEVICE;
        const uint8_t opcode = srb->CDBByte[0];
        srb->SRB_TargStat = 0;
        srb->SRB_HaStat = 0;

        if (unit->isVirtual) {
            // A tape image has no SCSI device behind it: it answers who it is, and that it
            // is ready; everything else is an illegal request.
            if (IsStandardInquiry(srb->CDBByte, sizeof srb->CDBByte))
                AnswerInquiry(srb, unit->info, srb->CDBByte[4]);
            else if (opcode == kTestUnitReady) {
                srb->SRB_Status = SS_COMP;
            } else {
                SetSense(srb, SENSE_KEY_ILLEGAL_REQUEST, 0x20);
            }
            return srb->SRB_Status;
        }

        if (unit->info.sgNode.empty()) {
            if (IsStandardInquiry(srb->CDBByte, sizeof srb->CDBByte)) {
                AnswerInquiry(srb, unit->info, srb->CDBByte[4]);
            } else {
                srb->SRB_Status = SS_ERR;
                srb->SRB_HaStat = kHostSelectionTimeOut;
            }
            return srb->SRB_Status;
        }

        Job job{srb, 0, {}, unit};
        job.request.node = unit->info.sgNode;
        job.request.cdb.assign(srb->CDBByte, srb->CDBByte + std::min<size_t>(srb->SRB_CDBLen, sizeof srb->CDBByte));
        if (srb->SRB_BufLen && srb->SRB_BufPointer) {
            if (srb->SRB_Flags & SRB_DIR_OUT) {
                job.request.direction = SgIoRequest::ToDevice;
                job.request.data.assign(srb->SRB_BufPointer, srb->SRB_BufPointer + srb->SRB_BufLen);
            } else {
                job.request.direction = SgIoRequest::FromDevice;
                job.request.data.assign(srb->SRB_BufLen, 0);
            }
        }

        std::lock_guard guard(m_lock);
        if (m_bStopping)
            return srb->SRB_Status = SS_ERR;
        srb->SRB_Status = SS_PENDING;
        job.ticket = ++m_nLastTicket;
        m_pending[srb] = job.ticket;        // a block sent again replaces its old submission
        // One worker per device node: a unit that hangs holds up only its own commands.
        const std::string node = job.request.node;
        NodeWorker& worker = m_workers[node];
        worker.queue.push_back(std::move(job));
        if (!worker.thread.joinable())
            worker.thread = std::thread([this, &worker] { Work(worker); });
        m_cond.notify_all();
        return SS_PENDING;
    }

    uint32_t Abort(SRB_Abort* abort)
    {
        // Withdrawing always succeeds: the worker checks m_pending before it writes.
        std::lock_guard guard(m_lock);
        auto* target = static_cast<SRB_ExecSCSICmd*>(abort->SRB_ToAbort);
        m_pending.erase(target);
        for (auto& [node, worker] : m_workers)
            std::erase_if(worker.queue, [&](const Job& job) { return job.srb == target; });
        return abort->SRB_Status = SS_COMP;
    }

    struct NodeWorker {
        std::deque<Job> queue;
        std::thread thread;
    };

    void Work(NodeWorker& worker)
    {
        std::unique_lock guard(m_lock);
        for (;;) {
            m_cond.wait(guard, [&] { return m_bStopping || !worker.queue.empty(); });
            if (m_bStopping)
                return;
            Job job = std::move(worker.queue.front());
            worker.queue.pop_front();
            guard.unlock();
            m_sgio(job.request);
            guard.lock();
            auto pending = m_pending.find(job.srb);
            if (pending == m_pending.end() || pending->second != job.ticket)
                continue;                       // withdrawn while it ran
            m_pending.erase(pending);
            Finish(job);
        }
    }

    // Writes the outcome into the request block; runs under m_lock.
    static void Finish(Job& job)
    {
        SRB_ExecSCSICmd* srb = job.srb;
        const SgIoRequest& request = job.request;
        if (request.error) {
            if ((request.error == EACCES || request.error == EPERM) &&
                IsStandardInquiry(request.cdb.data(), request.cdb.size())) {
                AnswerInquiry(srb, job.unit->info, request.cdb.size() > 4 ? request.cdb[4] : 0xFF);
            } else {
                srb->SRB_Status = SS_ERR;
                srb->SRB_HaStat = kHostSelectionTimeOut;  // the unit is not there
            }
        } else {
            if (request.direction == SgIoRequest::FromDevice)
                CopyIn(srb, request.data);
            srb->SRB_TargStat = request.status;
            srb->SRB_HaStat = static_cast<uint8_t>(request.hostStatus);
            std::memset(srb->SenseArea, 0, sizeof srb->SenseArea);
            if (!request.sense.empty())
                std::memcpy(srb->SenseArea, request.sense.data(),
                            std::min(request.sense.size(), sizeof srb->SenseArea));
            srb->SRB_Status = request.Succeeded() ? SS_COMP : SS_ERR;
        }
        SignalCompletion(srb);
    }

    const std::vector<Unit> m_units;
    const std::vector<AspiAdapterLayout> m_adapters;
    const SgIoFunction m_sgio;

    std::mutex m_lock;
    std::condition_variable m_cond;
    std::map<std::string, NodeWorker> m_workers;     // nodes never move once made
    std::map<SRB_ExecSCSICmd*, Ticket> m_pending;    // the blocks in flight, each with its ticket
    Ticket m_nLastTicket = 0;
    std::map<uint8_t*, PageBuffer> m_buffers;
    bool m_bStopping = false;
};

std::mutex g_providerLock;
std::shared_ptr<LinuxAspiProvider> g_provider;

std::shared_ptr<LinuxAspiProvider> Provider()
{
    std::lock_guard guard(g_providerLock);
    return g_provider;
}

uint32_t LinuxGetASPI32SupportInfo()
{
    auto provider = Provider();
    return provider ? provider->SupportInfo() : static_cast<uint32_t>(SS_NO_ADAPTERS) << 8;
}

uint32_t LinuxSendASPI32Command(void* srb)
{
    auto provider = Provider();
    if (!provider)
        return static_cast<SRB_Header*>(srb)->SRB_Status = SS_NO_ADAPTERS;
    return provider->Send(srb);
}

int LinuxGetASPI32Buffer(ASPI32BUFF* buffer)
{
    auto provider = Provider();
    return provider ? provider->GetBuffer(buffer) : 0;
}

int LinuxFreeASPI32Buffer(ASPI32BUFF* buffer)
{
    auto provider = Provider();
    return provider ? provider->FreeBuffer(buffer) : 0;
}

int LinuxTranslateASPI32Address(uint32_t*, uint32_t*)
{
    return 0;
}

std::vector<Unit> VirtualUnits(const std::vector<std::string>& images)
{
    std::vector<Unit> units;
    for (const auto& image : images) {
        Unit unit;
        unit.isVirtual = true;
        unit.info.type = DTYPE_SEQD;
        // The vendor names the image's format, as the drive list shows it: the one asked
        // for, else the content's, else the name's ("IMAGE" when none says: opening it will
        // say why).
        uint32_t error = 0;
        std::optional<ImageFormat> format = DeviceNamespace::ImageOptions().format;
        if (!format)
            format = DetectImageFileFormat(image, error);
        if (!format)
            format = ImageFormatFromExtension(image);
        unit.info.vendor = format ? std::string(ImageFormatTitle(*format)) : "IMAGE";
        unit.info.model = std::filesystem::path(image).filename().string().substr(0, 16);
        unit.info.revision = "0001";
        units.push_back(std::move(unit));
    }
    return units;
}

std::vector<AspiAdapterLayout> SequentialAdapters(size_t count)
{
    std::vector<AspiAdapterLayout> adapters;
    for (size_t i = 0; i < count; ++i) {
        if (i % kTargetsPerAdapter == 0) {
            adapters.emplace_back();
            adapters.back().maxTargets = kTargetsPerAdapter;
            adapters.back().unit.fill(-1);
        }
        adapters.back().unit[i % kTargetsPerAdapter] = static_cast<int>(i);
    }
    return adapters;
}

} // namespace

void RegisterLinuxAspiProvider(const std::string& sysfsRoot, SgIoFunction sgio)
{
    using LibraryLoader::Entry;
    LibraryLoader::ModuleDefinition module;
    module.entryPoints["GetASPI32SupportInfo"] = Entry(&LinuxGetASPI32SupportInfo);
    module.entryPoints["SendASPI32Command"] = Entry(&LinuxSendASPI32Command);
    module.entryPoints["GetASPI32Buffer"] = Entry(&LinuxGetASPI32Buffer);
    module.entryPoints["FreeASPI32Buffer"] = Entry(&LinuxFreeASPI32Buffer);
    module.entryPoints["TranslateASPI32Address"] = Entry(&LinuxTranslateASPI32Address);
    module.attach = [sysfsRoot, sgio]() -> uint32_t {
        std::vector<Unit> units;
        std::vector<AspiAdapterLayout> adapters;
        const auto& images = DeviceNamespace::TapeImages();
        if (!images.empty()) {
            units = VirtualUnits(images);
            adapters = SequentialAdapters(units.size());
        } else {
            std::vector<ScsiDevice> devices = EnumerateScsiDevices(sysfsRoot);
            adapters = FoldIntoAdapters(devices);
            for (auto& device : devices)
                units.push_back(Unit{false, std::move(device)});
        }
        if (units.empty())
            return ERROR_DLL_NOT_FOUND;
        auto provider = std::make_shared<LinuxAspiProvider>(std::move(units), std::move(adapters), sgio);
        std::lock_guard guard(g_providerLock);
        g_provider = std::move(provider);
        return ERROR_SUCCESS;
    };
    module.detach = [] {
        std::shared_ptr<LinuxAspiProvider> provider;
        {
            std::lock_guard guard(g_providerLock);
            provider.swap(g_provider);
        }
        // Destroyed here, its worker joined, unless an entry point call still holds it.
    };
    LibraryLoader::RegisterModule("WNASPI32", std::move(module));
}

void RegisterLinuxAspiProvider(const std::string& sysfsRoot)
{
    RegisterLinuxAspiProvider(sysfsRoot, [](SgIoRequest& request) { RunSgIo(request, RealStSystem()); });
}
