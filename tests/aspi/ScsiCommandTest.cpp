// One SCSI command: its outcome in the caller's block, the time limit, and what becomes of a
// request the provider completes after we stopped waiting.
#include "AspiFixture.h"

#include <chrono>
#include <thread>

namespace {

using ScsiCommandTest = AspiTest;
using List = std::vector<std::string>;
using Completion = SimulatedUnit::Completion;

const uint8_t kInquiryCdb[6] = {0x12, 0, 0, 0, 56, 0};

// Waits (without depending on speed: the limit is generous) until the condition holds.
template <typename Condition>
bool Eventually(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST_F(ScsiCommandTest, OutcomeComesBackInTheCallersBlockAndBuffer)
{
    auto bus = MakeBus();
    bus->adapters[0].units[4] = SimulatedUnit::Tape("ACME", "T1");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());

    uint8_t data[56] = {};
    SRB_ExecSCSICmd srb;
    ASSERT_TRUE(aspi.ExecScsiCommand(0, SRB_DIR_IN, 4, 0, sizeof data, data, 6, kInquiryCdb, srb));
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(srb.SRB_Target, 4);
    EXPECT_EQ(srb.SRB_BufPointer, data);
    EXPECT_EQ(srb.SRB_SenseLen, SENSE_LEN);
    EXPECT_EQ(srb.SRB_CDBLen, 6);
    EXPECT_EQ(srb.CDBByte[4], 56);
    EXPECT_EQ(data[0], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 8), "ACME    ");

    const uint8_t unknownCdb[6] = {0x99, 0, 0, 0, 0, 0};
    EXPECT_FALSE(aspi.ExecScsiCommand(0, 0, 4, 0, 0, nullptr, 6, unknownCdb, srb));
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, STATUS_CHKCOND);
    EXPECT_EQ(srb.SenseArea[2] & 0x0F, SENSE_KEY_ILLEGAL_REQUEST);
}

TEST_F(ScsiCommandTest, HungUnitIsGivenUpWithdrawnAndSkipped)
{
    auto bus = MakeBus();
    // The others answer at once: only the hung unit meets the time limit.
    bus->adapters[0].units[1] = SimulatedUnit::Tape("A", "before");
    bus->adapters[0].units[1].completion = Completion::Immediate;
    bus->adapters[0].units[2] = SimulatedUnit::Tape("HUNG", "forever");
    bus->adapters[0].units[2].completion = Completion::Never;
    bus->adapters[0].units[3] = SimulatedUnit::Tape("B", "after");
    bus->adapters[0].units[3].completion = Completion::Immediate;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    aspi.m_nCommandTimeoutMs = 100;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] A|before", "[0:3] B|after"}));
    EXPECT_EQ(bus->CountCalls("ABORT 0:2"), 1u);
    EXPECT_EQ(bus->CountCalls("EXEC 0:2:0 12"), 1u) << "a time-out is not retried";
    EXPECT_EQ(bus->RequestsPending(), 0u);
    EXPECT_EQ(aspi.AbandonedRequests(), 0u);
}

TEST_F(ScsiCommandTest, TimedOutCommandReportsAbortedAndLeavesTheCallersBufferAlone)
{
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::Tape("HUNG", "forever");
    bus->adapters[0].units[0].completion = Completion::Never;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    aspi.m_nCommandTimeoutMs = 50;
    ASSERT_TRUE(aspi.Initialize());
    uint8_t data[56];
    std::fill(std::begin(data), std::end(data), 0xAA);
    SRB_ExecSCSICmd srb;
    EXPECT_FALSE(aspi.ExecScsiCommand(0, SRB_DIR_IN, 0, 0, sizeof data, data, 6, kInquiryCdb, srb));
    EXPECT_EQ(srb.SRB_Status, SS_ABORTED);
    EXPECT_EQ(data[0], 0xAA);
}

TEST_F(ScsiCommandTest, LateCompletionAfterAFailedWithdrawalWritesOnlyIntoTheKeptRequest)
{
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::Tape("SLOW", "late");
    bus->adapters[0].units[0].completion = Completion::LateIgnoringAbort;
    bus->adapters[0].units[0].lateDelay = std::chrono::milliseconds(200);
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    aspi.m_nCommandTimeoutMs = 20;
    ASSERT_TRUE(aspi.Initialize());
    {
        // The caller's block and buffer go out of scope long before the completion.
        uint8_t data[56] = {};
        SRB_ExecSCSICmd srb;
        EXPECT_FALSE(aspi.ExecScsiCommand(0, SRB_DIR_IN, 0, 0, sizeof data, data, 6, kInquiryCdb, srb));
        EXPECT_EQ(data[0], 0);
    }
    EXPECT_EQ(aspi.AbandonedRequests(), 1u);
    EXPECT_TRUE(Eventually([&] { return aspi.AbandonedRequests() == 0; }));
}

TEST_F(ScsiCommandTest, ManagerDestroyedBeforeALateCompletionLeavesNothingDangling)
{
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::Tape("SLOW", "late");
    bus->adapters[0].units[0].completion = Completion::LateIgnoringAbort;
    bus->adapters[0].units[0].lateDelay = std::chrono::milliseconds(200);
    bus->adapters[0].units[1] = SimulatedUnit::Tape("OK", "fine");
    bus->adapters[0].units[1].completion = Completion::Immediate;
    RegisterSimulatedAspi(bus);
    {
        ReAspiManager aspi;
        aspi.m_nCommandTimeoutMs = 20;
        ASSERT_TRUE(aspi.Initialize());
        aspi.Rescan();
        EXPECT_EQ(Listed(aspi), (List{"[0:1] OK|fine"}));
    }
    // The provider completed it while being released, into memory still held for it.
    EXPECT_EQ(bus->Calls().back(), "free");
    EXPECT_EQ(bus->RequestsPending(), 0u);
}

TEST_F(ScsiCommandTest, ProviderThatCannotWithdrawKeepsTheRequestUntilReleased)
{
    auto bus = MakeBus();
    bus->supportsAbort = false;
    bus->adapters[0].units[0] = SimulatedUnit::Tape("HUNG", "forever");
    bus->adapters[0].units[0].completion = Completion::Never;
    RegisterSimulatedAspi(bus);
    {
        ReAspiManager aspi;
        aspi.m_nCommandTimeoutMs = 20;
        ASSERT_TRUE(aspi.Initialize());
        aspi.Rescan();
        EXPECT_TRUE(aspi.m_devices.empty());
        EXPECT_EQ(aspi.AbandonedRequests(), 1u);
        EXPECT_EQ(bus->RequestsPending(), 1u);
    }
    EXPECT_EQ(bus->RequestsPending(), 0u);
}

} // namespace
