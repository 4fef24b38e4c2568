// Binding to WNASPI32: the failure texts, the transfer-buffer ladder and the release order.
#include "AspiFixture.h"

#include "platform/Errors.h"
#include "platform/PageBuffer.h"

#include <algorithm>

namespace {

using InitializeTest = AspiTest;
using Calls = std::vector<std::string>;

TEST_F(InitializeTest, WithoutAProviderTheProgramRequiresAspi)
{
    ReAspiManager aspi;
    EXPECT_FALSE(aspi.Initialize());
    EXPECT_FALSE(aspi.m_bInitialized);
    EXPECT_STREQ(aspi.m_szLastError, "This program requires ASPI for Win32");
    EXPECT_TRUE(aspi.m_devices.empty());
}

TEST_F(InitializeTest, OtherLoadErrorsAreShownInHexWithOne)
{
    auto bus = MakeBus();
    bus->loadError = 193;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    EXPECT_FALSE(aspi.Initialize());
    EXPECT_STREQ(aspi.m_szLastError, "Unable to initialize ASPI for Win32 (c1/1).");
}

TEST_F(InitializeTest, ProviderThatFindsNothingToServeCountsAsMissing)
{
    auto bus = MakeBus();
    bus->loadError = ERROR_DLL_NOT_FOUND;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    EXPECT_FALSE(aspi.Initialize());
    EXPECT_STREQ(aspi.m_szLastError, "This program requires ASPI for Win32");
}

TEST_F(InitializeTest, MissingSendCommandOrSupportInfoFailsButKeepsTheLibraryUntilDestruction)
{
    for (bool missingSend : {true, false}) {
        auto bus = MakeBus();
        (missingSend ? bus->hasSendCommand : bus->hasSupportInfo) = false;
        RegisterSimulatedAspi(bus);
        {
            ReAspiManager aspi;
            EXPECT_FALSE(aspi.Initialize());
            EXPECT_STREQ(aspi.m_szLastError, "This program requires ASPI for Win32");
            EXPECT_EQ(bus->CountCalls("free"), 0u) << "released before destruction";
        }
        EXPECT_EQ(bus->Calls().back(), "free");
        EXPECT_EQ(bus->CountCalls("GetASPI32Buffer"), 0u) << "no buffer is asked for";
    }
}

TEST_F(InitializeTest, ErrorSupportStatusIsReportedWithZeroAndTheStatus)
{
    auto bus = MakeBus();
    bus->supportStatus = 0xE4;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    EXPECT_FALSE(aspi.Initialize());
    EXPECT_STREQ(aspi.m_szLastError, "Unable to initialize ASPI for Win32 (0/e4).");
    EXPECT_FALSE(aspi.m_bInitialized);
}

TEST_F(InitializeTest, NoAdaptersStillInitialisesAndEveryScanFindsNothing)
{
    auto bus = MakeBus();
    bus->supportStatus = SS_NO_ADAPTERS;
    bus->adapters[0].units[0] = SimulatedUnit::Tape("ACME", "T1");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    EXPECT_TRUE(aspi.m_bInitialized);
    aspi.Rescan();
    EXPECT_TRUE(aspi.m_devices.empty());
    EXPECT_EQ(bus->CountCalls("HA "), 0u);
}

TEST_F(InitializeTest, TakesTheLargestBufferOnOffer)
{
    auto bus = MakeBus();
    RegisterSimulatedAspi(bus);
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_TRUE(aspi.BufferFromAspi());
        EXPECT_EQ(aspi.TransferBuffer().AB_BufLen, 0x80000u);
        EXPECT_NE(aspi.TransferBuffer().AB_BufPointer, nullptr);
        EXPECT_EQ(bus->BuffersOutstanding(), 1u);
    }
    EXPECT_EQ(bus->BuffersOutstanding(), 0u);
}

TEST_F(InitializeTest, RefusedHalfMegabyteGives256KiBReturnedThroughAspiBeforeTheLibraryIsFreed)
{
    auto bus = MakeBus();
    bus->largestBufferGranted = 0x40000;
    RegisterSimulatedAspi(bus);
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_TRUE(aspi.BufferFromAspi());
        EXPECT_EQ(aspi.TransferBuffer().AB_BufLen, 262144u);
    }
    EXPECT_EQ(bus->Calls(), (Calls{"load", "GetASPI32Buffer 524288 -> refused", "GetASPI32Buffer 262144",
                                   "FreeASPI32Buffer 262144", "free"}));
    EXPECT_EQ(bus->BuffersOutstanding(), 0u);
}

TEST_F(InitializeTest, AspiIsNeverAskedFor64KiB)
{
    auto bus = MakeBus();
    bus->largestBufferGranted = 0x10000;
    RegisterSimulatedAspi(bus);
    const size_t pagesBefore = PageBuffer::LiveBuffers();
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_FALSE(aspi.BufferFromAspi());
        EXPECT_EQ(aspi.TransferBuffer().AB_BufLen, 65536u);
        EXPECT_EQ(PageBuffer::LiveBuffers(), pagesBefore + 1);
    }
    EXPECT_EQ(PageBuffer::LiveBuffers(), pagesBefore);
    EXPECT_EQ(bus->CountCalls("GetASPI32Buffer"), 3u);
    EXPECT_EQ(bus->CountCalls("GetASPI32Buffer 65536"), 0u);
    EXPECT_EQ(bus->CountCalls("FreeASPI32Buffer"), 0u) << "our own buffer is not ASPI's to free";
}

TEST_F(InitializeTest, WithoutGetBufferTheBufferIsOurOwn64KiB)
{
    auto bus = MakeBus();
    bus->hasGetBuffer = false;
    RegisterSimulatedAspi(bus);
    const size_t pagesBefore = PageBuffer::LiveBuffers();
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_FALSE(aspi.BufferFromAspi());
        EXPECT_EQ(aspi.TransferBuffer().AB_BufLen, 65536u);
        EXPECT_EQ(PageBuffer::LiveBuffers(), pagesBefore + 1);
    }
    EXPECT_EQ(PageBuffer::LiveBuffers(), pagesBefore);
}

TEST_F(InitializeTest, NoBufferAnywhereFailsWithInsufficientResources)
{
    auto bus = MakeBus();
    bus->hasGetBuffer = false;
    RegisterSimulatedAspi(bus);
    PageBuffer::FailAllocationsForTesting(true);
    ReAspiManager aspi;
    const bool initialised = aspi.Initialize();
    PageBuffer::FailAllocationsForTesting(false);
    EXPECT_FALSE(initialised);
    EXPECT_STREQ(aspi.m_szLastError, "Unable to initialize ASPI for Win32 (0/e9).");
}

TEST_F(InitializeTest, DestructionFreesBufferThenLibrary)
{
    auto bus = MakeBus();
    bus->adapters[0].units[2] = SimulatedUnit::Tape("ACME", "T1");
    RegisterSimulatedAspi(bus);
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        aspi.Rescan();
        ASSERT_EQ(aspi.m_devices.size(), 1u);
    }
    const Calls calls = bus->Calls();
    auto freeBuffer = std::find(calls.begin(), calls.end(), "FreeASPI32Buffer 524288");
    ASSERT_NE(freeBuffer, calls.end());
    EXPECT_EQ(freeBuffer + 1, calls.end() - 1);
    EXPECT_EQ(calls.back(), "free");
}

TEST_F(InitializeTest, SecondInitializeDoesNotLoadAgain)
{
    auto bus = MakeBus();
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    ASSERT_TRUE(aspi.Initialize());
    EXPECT_EQ(bus->CountCalls("load"), 1u);
    EXPECT_EQ(bus->CountCalls("GetASPI32Buffer"), 1u);
}

TEST_F(InitializeTest, UnboundManagerAnswersNothingAndDoesNotCrash)
{
    ReAspiManager aspi;
    EXPECT_FALSE(aspi.Initialize());
    aspi.Rescan();
    aspi.ScanDevices();
    EXPECT_TRUE(aspi.m_devices.empty());
    std::string name;
    EXPECT_EQ(aspi.GetDeviceType(0, 0, 0, name), 0xFF);
    const uint8_t cdb[6] = {0x00, 0, 0, 0, 0, 0};
    SRB_ExecSCSICmd srb;
    EXPECT_FALSE(aspi.ExecScsiCommand(0, 0, 0, 0, 0, nullptr, 6, cdb, srb));
}

} // namespace
