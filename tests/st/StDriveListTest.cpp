// The drive list from a sysfs tree laid out the way the kernel lays it out, and the opener
// that turns TAPEk into the k-th drive of it.
#include "aspi/LibraryLoader.h"
#include "aspi/LinuxAspiProvider.h"
#include "aspi/ReAspiManager.h"
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/linux/LinuxTape.h"
#include "platform/linux/ScsiDevices.h"
#include "tests/common/TestSupport.h"
#include "tests/st/FakeSt.h"
#include "tests/st/FakeSysfs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string Hctl(const ScsiDevice& d)
{
    return std::to_string(d.host) + ":" + std::to_string(d.channel) + ":" +
           std::to_string(d.target) + ":" + std::to_string(d.lun);
}

TEST(StDriveList, DrivesComeInScanOrderWithTheirNodes)
{
    FakeSysfs sysfs;
    // st numbers follow the order the drives appeared, not the scan order
    sysfs.AddDevice(3, 0, 0, 0, 1, "HP", "Ultrium 5-SCSI  ", 0, 4);
    sysfs.AddDevice(0, 0, 10, 0, 1, "IBM", "ULT3580-TD6", 1, 2);
    sysfs.AddDevice(0, 0, 2, 0, 1, "SONY", "SDX-700C", 2, 1);
    sysfs.AddDevice(0, 0, 2, 1, 1, "SONY", "SDX-700C", 3, 3);
    sysfs.AddDevice(0, 0, 0, 0, 0, "ATA", "disk", -1, 0);  // a disk is no tape drive

    auto drives = EnumerateLinuxTapeDrives(sysfs.root());
    ASSERT_EQ(drives.size(), 4u);
    EXPECT_EQ(Hctl(drives[0]), "0:0:2:0");
    EXPECT_EQ(Hctl(drives[1]), "0:0:2:1");
    EXPECT_EQ(Hctl(drives[2]), "0:0:10:0");  // numeric order: 10 after 2
    EXPECT_EQ(Hctl(drives[3]), "3:0:0:0");

    EXPECT_EQ(drives[0].stNode, "/dev/nst2");
    EXPECT_EQ(drives[0].sgNode, "/dev/sg1");
    EXPECT_EQ(drives[2].stNode, "/dev/nst1");
    EXPECT_EQ(drives[2].sgNode, "/dev/sg2");
    EXPECT_EQ(drives[3].stNode, "/dev/nst0");
    EXPECT_EQ(drives[3].vendor, "HP");
    EXPECT_EQ(drives[3].model, "Ultrium 5-SCSI");
}

TEST(StDriveList, SequentialDeviceWithoutStKeepsItsPlace)
{
    FakeSysfs sysfs;
    sysfs.AddDevice(0, 0, 1, 0, 1, "A", "first", 0, 0);
    sysfs.AddDevice(0, 0, 3, 0, 1, "B", "unbound", -1, 1);
    sysfs.AddDevice(0, 0, 5, 0, 1, "C", "third", 1, -1);  // st without sg

    auto drives = EnumerateLinuxTapeDrives(sysfs.root());
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[1].model, "unbound");
    EXPECT_EQ(drives[1].stNode, "");
    EXPECT_EQ(drives[1].sgNode, "/dev/sg1");
    EXPECT_EQ(drives[2].stNode, "/dev/nst1");
    EXPECT_EQ(drives[2].sgNode, "");
}

TEST(StDriveList, NoTreeNoDrives)
{
    TempDir empty;
    EXPECT_TRUE(EnumerateLinuxTapeDrives(empty.path()).empty());
    EXPECT_TRUE(EnumerateLinuxTapeDrives(empty / "missing").empty());
}

TEST(StDriveList, TransferLimitFollowsStsSegmentCount)
{
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    FakeSysfs sysfs;
    EXPECT_EQ(StTransferLimit(sysfs.root()), 256 * 64 * page);  // module not loaded: defaults
    sysfs.SetMaxSgSegs("16\n");
    EXPECT_EQ(StTransferLimit(sysfs.root()), 16 * 64 * page);
    sysfs.SetMaxSgSegs("junk");
    EXPECT_EQ(StTransferLimit(sysfs.root()), 256 * 64 * page);
}

class StOpenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysfs.AddDevice(1, 0, 4, 0, 1, "B", "second", 0, 3);
        sysfs.AddDevice(0, 0, 6, 0, 1, "A", "first", 1, 2);
        sysfs.AddDevice(1, 0, 5, 0, 1, "C", "no st", -1, 4);
        sysfs.SetMaxSgSegs("1");  // 64 pages
    }
    void TearDown() override { DeviceNamespace::SetRealDriveOpener({}); }

    FakeSysfs sysfs;
    FakeSt st;
};

TEST_F(StOpenerTest, TapeKIsTheKthDriveInScanOrder)
{
    DeviceNamespace::SetRealDriveOpener(MakeLinuxTapeOpener(sysfs.root(), st));
    uint32_t error = 0;
    TapeDevicePtr tape0 = DeviceNamespace::OpenTape(0, error);
    ASSERT_TRUE(tape0);
    EXPECT_EQ(st.opens.back().path, "/dev/nst1");
    TapeDevicePtr tape1 = DeviceNamespace::OpenTape(1, error);
    ASSERT_TRUE(tape1);
    EXPECT_EQ(st.opens.back().path, "/dev/nst0");

    // the drive's own generic node answers READ BLOCK LIMITS, capped at st's transfer limit
    st.scsi = BlockLimitsAnswer(0xFFFFFF, 1);
    TAPE_GET_DRIVE_PARAMETERS drive;
    ASSERT_EQ(tape1->GetDriveParameters(drive), ERROR_SUCCESS);
    EXPECT_EQ(st.opens.back().path, "/dev/sg3");
    EXPECT_EQ(drive.MaximumBlockSize, 64 * static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
}

TEST_F(StOpenerTest, MissingOrUnboundDrivesAreNotOpened)
{
    auto opener = MakeLinuxTapeOpener(sysfs.root(), st);
    uint32_t error = 0;
    EXPECT_FALSE(opener(2, error));  // sequential device without st
    EXPECT_EQ(error, ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(opener(3, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(opener(-1, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(st.opens.empty());
}

TEST_F(StOpenerTest, TapeImagesStillComeFirst)
{
    DeviceNamespace::SetRealDriveOpener(MakeLinuxTapeOpener(sysfs.root(), st));
    DeviceNamespace::SetTapeImages({"/nonexistent/image.tap"});
    uint32_t error = 0;
    TapeDevicePtr device = DeviceNamespace::OpenTape(0, error);
    DeviceNamespace::SetTapeImages({});
    EXPECT_TRUE(st.opens.empty());
}

// The drive scan's list and TAPE0.. are read from the same devices, through the same kernel.
class ScsiLayerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        LibraryLoader::UnregisterModule("WNASPI32");
        DeviceNamespace::SetRealDriveOpener({});
    }

    // Answers INQUIRY on each generic node with the data of the device behind it.
    void AnswerInquiry(const std::map<std::string, std::vector<uint8_t>>& byNode)
    {
        st.scsi = [this, byNode](sg_io_hdr& io) {
            const std::vector<uint8_t>& data = byNode.at(st.scsiPath);
            std::memcpy(io.dxferp, data.data(), std::min<size_t>(io.dxfer_len, data.size()));
            io.resid = 0;
            return 0;
        };
    }
    static std::vector<uint8_t> Inquiry(uint8_t type, const std::string& vendor, const std::string& model)
    {
        std::vector<uint8_t> data(56, ' ');
        data[0] = type;
        std::memcpy(&data[8], vendor.data(), std::min<size_t>(8, vendor.size()));
        std::memcpy(&data[16], model.data(), std::min<size_t>(16, model.size()));
        return data;
    }

    FakeSysfs sysfs;
    FakeSt st;
};

TEST_F(ScsiLayerTest, DriveWithoutGenericNodeIsListedInItsPlaceSoTheKthListedDriveIsTapeK)
{
    sysfs.AddDevice(0, 0, 1, 0, 1, "AAA", "first", 0, 0);
    sysfs.AddDevice(0, 0, 2, 0, 1, "BBB", "no sg", 1, -1);
    sysfs.AddDevice(0, 0, 3, 0, 0, "ATA", "disk", -1, 1);
    sysfs.AddDevice(0, 0, 4, 0, 1, "CCC", "third", 2, 2);
    AnswerInquiry({{"/dev/sg0", Inquiry(1, "AAA", "first")},
                   {"/dev/sg1", Inquiry(0, "ATA", "disk")},
                   {"/dev/sg2", Inquiry(1, "CCC", "third")}});
    RegisterLinuxAspiProvider(sysfs.root(), [this](SgIoRequest& request) { RunSgIo(request, st); });

    std::vector<std::string> listed;
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        aspi.Rescan();
        for (const AspiDevice& d : aspi.m_devices)
            listed.push_back(std::to_string(d.nTarget) + " " + d.szVendor);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"1 AAA", "2 BBB", "4 CCC"}));
    EXPECT_EQ(st.openCount, 0) << "every generic node opened for a command is closed again";

    auto opener = MakeLinuxTapeOpener(sysfs.root(), st);
    const std::string expected[] = {"/dev/nst0", "/dev/nst1", "/dev/nst2"};
    for (int k = 0; k < 3; ++k) {
        uint32_t error = 0;
        TapeDevicePtr tape = opener(k, error);
        ASSERT_TRUE(tape) << "TAPE" << k;
        EXPECT_EQ(st.opens.back().path, expected[k]) << "TAPE" << k;
    }
}

} // namespace
