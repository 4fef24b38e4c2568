// The drive scan: which units are listed, in which order, with which names; and the drive
// part of the start-up log built from it.
#include "AspiFixture.h"

#include "aspi/DriveReport.h"

#include <cstring>

namespace {

using ScanTest = AspiTest;
using List = std::vector<std::string>;

TEST_F(ScanTest, DriveAtAdapterOneTargetFiveIsListedWithTrimmedNames)
{
    auto bus = MakeBus(2);
    bus->adapters[1].units[5] = SimulatedUnit::Tape("ACME    ", "SuperTape 3000");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    ASSERT_EQ(aspi.m_devices.size(), 1u);
    const AspiDevice& drive = aspi.m_devices.front();
    EXPECT_EQ(drive.nHostAdapter, 1);
    EXPECT_EQ(drive.nTarget, 5);
    EXPECT_STREQ(drive.szVendor, "ACME");
    EXPECT_STREQ(drive.szProduct, "SuperTape 3000");
    EXPECT_EQ(DescribeTapeDrives(aspi),
              "ASPI initialized\nFollowing tape drives found:\n\t[1:5] -- ACME -- SuperTape 3000\n\n");
}

TEST_F(ScanTest, FullWidthFieldsKeepAllTheirCharactersAndInnerBlanks)
{
    auto bus = MakeBus();
    SimulatedUnit unit = SimulatedUnit::Tape("", "");
    // Vendor fills all 8 bytes; product has blanks inside and zero bytes at its end.
    std::memcpy(&unit.inquiry[8], "QUANTUMX", 8);
    std::memcpy(&unit.inquiry[16], "DLT  7000\0\0 \0  \0", 16);
    bus->adapters[0].units[0] = unit;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    ASSERT_EQ(aspi.m_devices.size(), 1u);
    EXPECT_STREQ(aspi.m_devices.front().szVendor, "QUANTUMX");
    EXPECT_STREQ(aspi.m_devices.front().szProduct, "DLT  7000");
}

TEST_F(ScanTest, OrderIsAdaptersThenTargetsAscending)
{
    auto bus = MakeBus(2);
    bus->adapters[1].units[0] = SimulatedUnit::Tape("C", "third");
    bus->adapters[0].units[4] = SimulatedUnit::Tape("B", "second");
    bus->adapters[0].units[2] = SimulatedUnit::Tape("A", "first");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:2] A|first", "[0:4] B|second", "[1:0] C|third"}));
}

TEST_F(ScanTest, RescanTwiceListsEachDriveOnce)
{
    auto bus = MakeBus();
    bus->adapters[0].units[1] = SimulatedUnit::Tape("A", "one");
    bus->adapters[0].units[6] = SimulatedUnit::Tape("B", "two");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] A|one", "[0:6] B|two"}));
}

TEST_F(ScanTest, OnlySequentialAccessDevicesAreListed)
{
    auto bus = MakeBus();
    bus->adapters[0].maxTargets = 16;
    for (uint8_t type = 0; type <= 9; ++type)
        bus->adapters[0].units[type] = SimulatedUnit::OfType(type, "V" + std::to_string(type), "P");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] V1|P"}));
    // A disk or a CD-ROM is not even asked for its INQUIRY.
    EXPECT_EQ(bus->CountCalls("EXEC 0:0:0"), 0u);
    EXPECT_EQ(bus->CountCalls("EXEC 0:5:0"), 0u);
}

TEST_F(ScanTest, TapeTypeWithDifferentInquiryPeripheralIsSkipped)
{
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::Tape("A", "gone");
    bus->adapters[0].units[0].inquiry[0] = 0x21;      // qualifier 1: not connected
    bus->adapters[0].units[1] = SimulatedUnit::Tape("B", "kept");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] B|kept"}));
}

TEST_F(ScanTest, TargetsProbedAreZeroToSevenUnlessTheAdapterReportsSixteen)
{
    auto bus = MakeBus(3);
    bus->adapters[0].maxTargets = 0;
    bus->adapters[1].maxTargets = 16;
    bus->adapters[2].maxTargets = 32;
    for (auto& adapter : bus->adapters) {
        adapter.units[7] = SimulatedUnit::Tape("LOW", "seven");
        adapter.units[15] = SimulatedUnit::Tape("HIGH", "fifteen");
    }
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:7] LOW|seven", "[1:7] LOW|seven", "[1:15] HIGH|fifteen", "[2:7] LOW|seven"}));
    EXPECT_EQ(bus->CountCalls("GDEV 0:"), 8u);
    EXPECT_EQ(bus->CountCalls("GDEV 1:"), 16u);
    EXPECT_EQ(bus->CountCalls("GDEV 2:"), 8u);
    EXPECT_EQ(bus->CountCalls("GDEV 1:15:0"), 1u);
}

TEST_F(ScanTest, AdapterFailingInquiryIsSkippedAndTheNextOneScanned)
{
    auto bus = MakeBus(3);
    bus->adapters[0].units[0] = SimulatedUnit::Tape("A", "first");
    bus->adapters[1].inquiryFails = true;
    bus->adapters[1].units[0] = SimulatedUnit::Tape("B", "unreachable");
    bus->adapters[2].units[3] = SimulatedUnit::Tape("C", "third");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:0] A|first", "[2:3] C|third"}));
    EXPECT_EQ(bus->CountCalls("GDEV 1:"), 0u);
}

TEST_F(ScanTest, UnitsThatDoNotAnswerOrFailInquiryAreSkipped)
{
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::Tape("A", "mute");
    bus->adapters[0].units[0].answersDeviceType = false;
    bus->adapters[0].units[1] = SimulatedUnit::Tape("B", "refuses");
    bus->adapters[0].units[1].inquiryFails = true;
    bus->adapters[0].units[2] = SimulatedUnit::Tape("C", "fine");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:2] C|fine"}));
    EXPECT_EQ(bus->CountCalls("EXEC 0:1:0 12"), 1u) << "ILLEGAL REQUEST is not retried";
}

TEST_F(ScanTest, UnitAttentionIsRetriedOnceOnly)
{
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::Tape("ONCE", "after reset");
    bus->adapters[0].units[0].unitAttentions = 1;
    bus->adapters[0].units[1] = SimulatedUnit::Tape("TWICE", "still resetting");
    bus->adapters[0].units[1].unitAttentions = 2;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:0] ONCE|after reset"}));
    EXPECT_EQ(bus->CountCalls("EXEC 0:0:0 12"), 2u);
    EXPECT_EQ(bus->CountCalls("EXEC 0:1:0 12"), 2u);
}

TEST_F(ScanTest, ImmediateCompletionNeedsNoEvent)
{
    auto bus = MakeBus();
    bus->adapters[0].units[3] = SimulatedUnit::Tape("FAST", "sync");
    bus->adapters[0].units[3].completion = SimulatedUnit::Completion::Immediate;
    bus->adapters[0].units[3].unitAttentions = 1;
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:3] FAST|sync"}));
}

TEST_F(ScanTest, DeviceTypeNames)
{
    auto bus = MakeBus();
    const std::pair<uint8_t, const char*> expected[] = {
        {0, "HDD"},      {1, "TAPE"},     {2, "PRINTER"},  {3, "PROCESSOR"}, {4, "WORM"},
        {5, "CDROM"},    {6, "SCANNER"},  {7, "OPTICAL"},  {8, "JUKEBOX"},   {9, "COMMDEV"},
        {10, "reserved"}, {11, "unknown"}, {29, "unknown"}, {30, "reserved"}, {31, "unknown"}};
    bus->adapters[0].units[0] = SimulatedUnit::OfType(0, "V", "P");
    RegisterSimulatedAspi(bus);
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    for (const auto& [type, name] : expected) {
        bus->adapters[0].units[0].type = type;
        std::string got = "untouched";
        EXPECT_EQ(aspi.GetDeviceType(0, 0, 0, got), type);
        EXPECT_EQ(got, name) << "type " << int(type);
    }
    std::string unchanged = "untouched";
    EXPECT_EQ(aspi.GetDeviceType(0, 6, 0, unchanged), 0xFF);
    EXPECT_EQ(unchanged, "untouched");
    EXPECT_EQ(aspi.GetDeviceType(0, 0, 1, unchanged), 0xFF) << "only logical unit 0 exists here";
}

TEST_F(ScanTest, StartupTextForEveryCase)
{
    {
        ReAspiManager aspi;
        EXPECT_FALSE(aspi.Initialize());
        EXPECT_EQ(DescribeTapeDrives(aspi), "ASPI did not initialize\n");
    }
    auto bus = MakeBus();
    bus->adapters[0].units[0] = SimulatedUnit::OfType(0, "DISK", "only");
    RegisterSimulatedAspi(bus);
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_EQ(DescribeTapeDrives(aspi), "ASPI initialized\nTape drives not found.\n\n");
    }
    bus->adapters[0].units[3] = SimulatedUnit::Tape("HP", "C1537A");
    bus->adapters[0].units[5] = SimulatedUnit::Tape("SONY", "SDX-500C");
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    const std::string twice = DescribeTapeDrives(aspi) + DescribeTapeDrives(aspi);
    const std::string once =
        "ASPI initialized\nFollowing tape drives found:\n\t[0:3] -- HP -- C1537A\n\t[0:5] -- SONY -- SDX-500C\n\n";
    EXPECT_EQ(twice, once + once) << "each report rescans: no drive listed twice";
}

} // namespace
