// A simulated "WNASPI32" for tests: host adapters with units of any device type, INQUIRY
// data, and the failures a real bus shows (adapters that do not answer, units that report
// UNIT ATTENTION, commands that never complete, libraries lacking entry points).
//
//   auto bus = std::make_shared<SimulatedAspiBus>();
//   bus->adapters.resize(1);
//   bus->adapters[0].units[3] = SimulatedUnit::Tape("ACME", "DLT 8000");
//   RegisterSimulatedAspi(bus);     // replaces whatever provider was registered
//   ReAspiManager aspi; aspi.Initialize(); aspi.Rescan();
//
// Set the bus up before registering it; afterwards it is read from the provider's threads.
#pragma once
#include "aspi/Aspi.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Standard INQUIRY data: the peripheral byte, then vendor (8), product (16) and revision (4)
// padded with blanks, 56 bytes in all.
std::vector<uint8_t> MakeInquiryData(uint8_t peripheral, const std::string& vendor,
                                     const std::string& product, const std::string& revision = "0001");

struct SimulatedUnit {
    enum class Completion {
        Immediate,          // SendASPI32Command answers with the final status
        Async,              // SS_PENDING, completed from another thread soon after
        Never,              // SS_PENDING and never completed (until withdrawn)
        LateIgnoringAbort,  // SS_PENDING; refuses to be withdrawn and completes lateDelay after
                            // the attempt (or when the library is released)
    };

    uint8_t type = 0x1F;                // answer to SC_GET_DEV_TYPE
    bool answersDeviceType = true;      // false: SC_GET_DEV_TYPE fails (unit does not answer)
    std::vector<uint8_t> inquiry;       // INQUIRY data
    bool inquiryFails = false;          // INQUIRY ends in CHECK CONDITION, ILLEGAL REQUEST
    int unitAttentions = 0;             // this many commands report UNIT ATTENTION first
    Completion completion = Completion::Async;
    std::chrono::milliseconds lateDelay{300};

    static SimulatedUnit Tape(const std::string& vendor, const std::string& product);
    static SimulatedUnit OfType(uint8_t type, const std::string& vendor, const std::string& product);
};

struct SimulatedAdapter {
    bool inquiryFails = false;          // SC_HA_INQUIRY answers SS_INVALID_HA
    uint8_t maxTargets = 8;             // HA_Unique[3]
    std::map<uint8_t, SimulatedUnit> units;   // by target id, logical unit 0
};

class SimulatedAspiBus {
public:
    SimulatedAspiBus() = default;
    ~SimulatedAspiBus();
    SimulatedAspiBus(const SimulatedAspiBus&) = delete;
    SimulatedAspiBus& operator=(const SimulatedAspiBus&) = delete;

    // --- set-up ---
    std::vector<SimulatedAdapter> adapters;
    uint8_t supportStatus = SS_COMP;    // status byte of GetASPI32SupportInfo
    uint32_t loadError = 0;             // nonzero: loading the library fails with this error
    bool hasSupportInfo = true;
    bool hasSendCommand = true;
    bool hasGetBuffer = true;
    bool hasFreeBuffer = true;
    uint32_t largestBufferGranted = 0x80000;  // GetASPI32Buffer refuses anything larger
    bool supportsAbort = true;          // SC_ABORT_SRB withdraws a pending request

    // --- what happened ---
    // In order: "load", "GetASPI32Buffer 524288" (with "-> refused" when refused),
    // "FreeASPI32Buffer 262144", "HA 0", "GDEV 0:3:0", "EXEC 0:3:0 12", "ABORT 0:3",
    // "free" (the library released).
    std::vector<std::string> Calls() const;
    size_t CountCalls(const std::string& prefix) const;
    size_t BuffersOutstanding() const;
    size_t RequestsPending() const;

    // --- the provider side (called through the registered entry points) ---
    uint32_t Attach();
    void Detach();
    uint32_t SupportInfo();
    uint32_t Send(void* srb);
    int GetBuffer(ASPI32BUFF* buffer);
    int FreeBuffer(ASPI32BUFF* buffer);

private:
    void Record(std::string call);
    uint32_t ExecScsi(SRB_ExecSCSICmd* srb);
    // Writes the unit's answer into the block; the caller holds m_lock.
    void Complete(SRB_ExecSCSICmd* srb, SimulatedUnit& unit);
    void JoinThreads();

    mutable std::mutex m_lock;
    std::vector<std::string> m_calls;
    std::map<uint8_t*, std::unique_ptr<uint8_t[]>> m_buffers;
    std::vector<SRB_ExecSCSICmd*> m_pending;   // taken and not yet completed or withdrawn
    std::vector<SRB_ExecSCSICmd*> m_withdrawalsRefused;
    bool m_bDetaching = false;
    std::condition_variable m_cond;
    std::vector<std::thread> m_threads;
};

// Registers the bus as the "WNASPI32" module (replacing any other provider). Its entry
// points reach the bus registered last.
void RegisterSimulatedAspi(std::shared_ptr<SimulatedAspiBus> bus);
// Removes the "WNASPI32" module: loading it then fails with ERROR_DLL_NOT_FOUND.
void UnregisterAspiProvider();
