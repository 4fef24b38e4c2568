// The Linux provider over a fake sysfs tree and a stand-in for SG_IO: the device order the
// tape backend relies on, how kernel addresses fold into ASPI ones, virtual drives for tape
// images, and commands that hang.
#include "AspiFixture.h"

#include "aspi/AspiEvent.h"
#include "aspi/AspiProviders.h"
#include "aspi/LinuxAspiProvider.h"
#include "aspi/LinuxScsiTopology.h"
#include "platform/Errors.h"
#include "tests/common/TestSupport.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

namespace fs = std::filesystem;

namespace {

using List = std::vector<std::string>;

// A sysfs tree with class/scsi_generic/sgN/device linking to devices/H:C:T:L.
class FakeSysfs {
public:
    void Add(int sg, const std::string& address, int type, const std::string& vendor,
             const std::string& model, int st = -1)
    {
        const fs::path device = fs::path(m_dir.path()) / "devices" / address;
        fs::create_directories(device);
        WriteWholeFile((device / "type").string(), std::to_string(type) + "\n");
        // The kernel pads these with blanks.
        WriteWholeFile((device / "vendor").string(), vendor + std::string(8 - std::min<size_t>(8, vendor.size()), ' ') + "\n");
        WriteWholeFile((device / "model").string(), model + "   \n");
        WriteWholeFile((device / "rev").string(), "0100\n");
        if (st >= 0) {
            fs::create_directories(device / "scsi_tape" / ("st" + std::to_string(st)));
            fs::create_directories(device / "scsi_tape" / ("nst" + std::to_string(st)));
            fs::create_directories(device / "scsi_tape" / ("st" + std::to_string(st) + "a"));
        }
        const fs::path sgDir = fs::path(m_dir.path()) / "class" / "scsi_generic" / ("sg" + std::to_string(sg));
        fs::create_directories(sgDir);
        fs::create_directory_symlink(fs::path("../../../devices") / address, sgDir / "device");
    }
    std::string root() const { return m_dir.path(); }

private:
    TempDir m_dir;
};

// Answers INQUIRY for each node from the INQUIRY data given; records what it was asked.
class FakeSg {
public:
    std::map<std::string, std::vector<uint8_t>> inquiry;
    std::map<std::string, int> openError;
    std::map<std::string, int> unitAttentions;
    std::set<std::string> hangOn;            // nodes whose commands block until released

    SgIoFunction Function()
    {
        return [this](SgIoRequest& request) { Run(request); };
    }
    void Release()
    {
        std::lock_guard guard(m_lock);
        hangOn.clear();
        m_cond.notify_all();
    }
    void Release(const std::string& node)
    {
        std::lock_guard guard(m_lock);
        hangOn.erase(node);
        m_cond.notify_all();
    }
    // Waits until that many commands have reached SG_IO.
    void WaitForRequests(size_t count)
    {
        std::unique_lock guard(m_lock);
        m_cond.wait(guard, [&] { return m_requests.size() >= count; });
    }
    List Requests()
    {
        std::lock_guard guard(m_lock);
        return m_requests;
    }

private:
    void Run(SgIoRequest& request)
    {
        std::unique_lock guard(m_lock);
        m_requests.push_back(request.node + " " + std::to_string(request.cdb.at(0)) + " dir " +
                             std::to_string(request.direction) + " len " + std::to_string(request.data.size()));
        m_cond.notify_all();
        m_cond.wait(guard, [&] { return !hangOn.count(request.node); });
        if (openError.count(request.node)) {
            request.error = openError[request.node];
            return;
        }
        if (unitAttentions[request.node] > 0) {
            --unitAttentions[request.node];
            request.status = STATUS_CHKCOND;
            request.driverStatus = 0x08;
            request.sense = {0x70, 0, SENSE_KEY_UNIT_ATTENTION, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0x29, 0};
            return;
        }
        const auto& data = inquiry.at(request.node);
        std::copy_n(data.begin(), std::min(data.size(), request.data.size()), request.data.begin());
    }

    std::mutex m_lock;
    std::condition_variable m_cond;
    List m_requests;
};

struct LinuxProviderTest : AspiTest {
    FakeSysfs sysfs;
    FakeSg sg;

    // Adds a unit to the tree and gives it the matching INQUIRY answer.
    void Add(int sg, const std::string& address, int type, const std::string& vendor,
             const std::string& model, int st = -1)
    {
        sysfs.Add(sg, address, type, vendor, model, st);
        this->sg.inquiry["/dev/sg" + std::to_string(sg)] = MakeInquiryData(static_cast<uint8_t>(type), vendor, model);
    }
    void Register() { RegisterLinuxAspiProvider(sysfs.root(), sg.Function()); }
};

TEST_F(LinuxProviderTest, TopologyIsSortedByHostChannelTargetLunWithTheNodesOfEachDevice)
{
    sysfs.Add(3, "1:0:2:0", 1, "HP", "Ultrium 5-SCSI", 1);
    sysfs.Add(0, "0:0:0:0", 0, "ATA", "Disk");
    sysfs.Add(10, "0:1:0:0", 1, "IBM", "ULT3580", 0);
    sysfs.Add(2, "0:0:10:0", 5, "TEAC", "CD");
    sysfs.Add(1, "0:0:10:1", 8, "STK", "L20");

    const auto devices = EnumerateScsiDevices(sysfs.root());
    ASSERT_EQ(devices.size(), 5u);
    List order;
    for (const auto& d : devices)
        order.push_back(std::to_string(d.host) + ":" + std::to_string(d.channel) + ":" + std::to_string(d.target) +
                        ":" + std::to_string(d.lun) + " " + d.sgNode);
    EXPECT_EQ(order, (List{"0:0:0:0 /dev/sg0", "0:0:10:0 /dev/sg2", "0:0:10:1 /dev/sg1", "0:1:0:0 /dev/sg10",
                           "1:0:2:0 /dev/sg3"}));
    EXPECT_EQ(devices[3].type, 1);
    EXPECT_EQ(devices[3].vendor, "IBM");
    EXPECT_EQ(devices[3].model, "ULT3580");
    EXPECT_EQ(devices[3].revision, "0100");
    EXPECT_EQ(devices[3].stNode, "/dev/nst0");
    EXPECT_EQ(devices[4].stNode, "/dev/nst1");
    EXPECT_EQ(devices[0].stNode, "");
}

TEST_F(LinuxProviderTest, TopologyIgnoresStrayEntriesAndAMissingTree)
{
    EXPECT_TRUE(EnumerateScsiDevices(sysfs.root() + "/nowhere").empty());
    sysfs.Add(0, "0:0:1:0", 1, "A", "B");
    fs::create_directories(fs::path(sysfs.root()) / "class/scsi_generic/sg7");          // no device link
    fs::create_directories(fs::path(sysfs.root()) / "class/scsi_generic/notsg");
    fs::create_directories(fs::path(sysfs.root()) / "devices/host0");
    fs::create_directory_symlink(fs::path(sysfs.root()) / "devices/host0",
                                 fs::path(sysfs.root()) / "class/scsi_generic/sg7/device");
    const auto devices = EnumerateScsiDevices(sysfs.root());
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].sgNode, "/dev/sg0");
}

TEST_F(LinuxProviderTest, EachHostChannelPairBecomesItsOwnAdapterAndOddAddressesAreRenumbered)
{
    auto device = [](int h, int c, int t, int l) {
        ScsiDevice info;
        info.host = h, info.channel = c, info.target = t, info.lun = l;
        return info;
    };
    const std::vector<ScsiDevice> devices = {
        device(0, 0, 2, 0), device(0, 0, 5, 0),                       // adapter 0: 8 targets
        device(0, 1, 12, 0),                                         // adapter 1: 16 targets
        device(2, 0, 0, 0), device(2, 0, 0, 1), device(2, 0, 40, 0),  // adapter 2: renumbered
    };
    const auto adapters = FoldIntoAdapters(devices);
    ASSERT_EQ(adapters.size(), 3u);
    EXPECT_EQ(adapters[0].maxTargets, 8);
    EXPECT_EQ(adapters[0].unit[2], 0);
    EXPECT_EQ(adapters[0].unit[5], 1);
    EXPECT_EQ(adapters[0].unit[0], -1);
    EXPECT_EQ(adapters[1].maxTargets, 16);
    EXPECT_EQ(adapters[1].unit[12], 2);
    EXPECT_EQ(adapters[2].maxTargets, 16);
    EXPECT_EQ(adapters[2].unit[0], 3);
    EXPECT_EQ(adapters[2].unit[1], 4);
    EXPECT_EQ(adapters[2].unit[2], 5);

    std::vector<ScsiDevice> many;
    for (int lun = 0; lun < 20; ++lun)
        many.push_back(device(0, 0, 1, lun));
    const auto split = FoldIntoAdapters(many);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[1].unit[3], 19);
}

TEST_F(LinuxProviderTest, TapeDrivesAreListedInKernelOrderSoPositionKIsTheKthSequentialDevice)
{
    Add(0, "0:0:0:0", 0, "ATA", "Disk");
    Add(4, "0:0:3:0", 1, "HP", "C1537A", 0);
    Add(1, "0:0:10:1", 1, "STK", "T9840", 2);         // a LUN other than 0
    Add(2, "1:0:2:0", 1, "IBM", "ULT3580-TD5", 1);
    Add(3, "1:0:4:0", 5, "TEAC", "CD-ROM");
    Register();

    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] HP|C1537A", "[0:2] STK|T9840", "[1:2] IBM|ULT3580-TD5"}));

    List sequential;
    for (const auto& d : EnumerateScsiDevices(sysfs.root()))
        if (d.type == 1)
            sequential.push_back(d.vendor);
    EXPECT_EQ(sequential, (List{"HP", "STK", "IBM"}));

    // INQUIRY went to the drive's own node, reading 56 bytes.
    EXPECT_EQ(sg.Requests().front(), "/dev/sg4 18 dir 1 len 56");
}

TEST_F(LinuxProviderTest, PlainAdapterKeepsTheKernelsTargetIds)
{
    Add(0, "0:0:3:0", 1, "HP", "C1537A");
    Add(1, "0:0:9:0", 1, "SONY", "SDX");
    Register();
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:3] HP|C1537A", "[0:9] SONY|SDX"}));
}

TEST_F(LinuxProviderTest, UnitAttentionThroughSgIsRetried)
{
    Add(0, "0:0:3:0", 1, "HP", "C1537A");
    sg.unitAttentions["/dev/sg0"] = 1;
    Register();
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:3] HP|C1537A"}));
    EXPECT_EQ(sg.Requests().size(), 2u);
}

TEST_F(LinuxProviderTest, NodeWeMayNotOpenAnswersInquiryFromSysfsOtherFailuresSkipTheUnit)
{
    Add(0, "0:0:1:0", 1, "HP", "C1537A");
    Add(1, "0:0:2:0", 1, "GONE", "Unplugged");
    sg.openError["/dev/sg0"] = EACCES;
    sg.openError["/dev/sg1"] = ENXIO;
    Register();
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] HP|C1537A"}));
}

TEST_F(LinuxProviderTest, NoGenericDeviceAndNoImageMeansNoAspi)
{
    Register();
    ReAspiManager aspi;
    EXPECT_FALSE(aspi.Initialize());
    EXPECT_STREQ(aspi.m_szLastError, "This program requires ASPI for Win32");
}

TEST_F(LinuxProviderTest, TapeImagesAloneAreListedAsVirtualDrives)
{
    Add(0, "0:0:3:0", 1, "HP", "C1537A");           // a real drive, hidden while images are given
    std::vector<std::string> images;
    for (int i = 0; i < 17; ++i)
        images.push_back("/data/tapes/image" + std::to_string(i) + ".tap");
    images[1] = "/data/tapes/a-rather-long-image-name.tap";
    DeviceNamespace::SetTapeImages(images);
    Register();

    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    const List listed = Listed(aspi);
    ASSERT_EQ(listed.size(), 17u);
    EXPECT_EQ(listed[0], "[0:0] SIMH|image0.tap");
    EXPECT_EQ(listed[1], "[0:1] SIMH|a-rather-long-im");
    EXPECT_EQ(listed[15], "[0:15] SIMH|image15.tap");
    EXPECT_EQ(listed[16], "[1:0] SIMH|image16.tap");
    EXPECT_TRUE(sg.Requests().empty()) << "no real device is touched";
}

TEST_F(LinuxProviderTest, VirtualDriveAnswersInquiryAndTestUnitReadyOnly)
{
    DeviceNamespace::SetTapeImages({"/data/one.tap"});
    Register();
    ReAspiManager aspi;
    ASSERT_TRUE(aspi.Initialize());
    SRB_ExecSCSICmd srb;
    const uint8_t ready[6] = {0x00, 0, 0, 0, 0, 0};
    EXPECT_TRUE(aspi.ExecScsiCommand(0, 0, 0, 0, 0, nullptr, 6, ready, srb));
    const uint8_t read[6] = {0x08, 0, 0, 0, 1, 0};
    uint8_t block[512];
    EXPECT_FALSE(aspi.ExecScsiCommand(0, SRB_DIR_IN, 0, 0, sizeof block, block, 6, read, srb));
    EXPECT_EQ(srb.SRB_TargStat, STATUS_CHKCOND);
    EXPECT_EQ(srb.SenseArea[2] & 0x0F, SENSE_KEY_ILLEGAL_REQUEST);
    std::string name;
    EXPECT_EQ(aspi.GetDeviceType(0, 1, 0, name), 0xFF);
}

TEST_F(LinuxProviderTest, HungDeviceIsSkippedWithoutHoldingUpTheOthers)
{
    Add(0, "0:0:1:0", 1, "HUNG", "Drive");
    Add(1, "0:0:2:0", 1, "HP", "C1537A");
    sg.hangOn = {"/dev/sg0"};
    Register();
    ReAspiManager aspi;
    aspi.m_nCommandTimeoutMs = 100;
    ASSERT_TRUE(aspi.Initialize());
    aspi.Rescan();
    for (const AspiDevice& drive : aspi.m_devices)
        EXPECT_NE(drive.nTarget, 1) << "the hung unit is not listed";
    EXPECT_EQ(aspi.AbandonedRequests(), 0u) << "the provider withdrew it";

    // With the first unit still hung, the second one answers.
    aspi.m_nCommandTimeoutMs = 30000;
    const uint8_t inquiry[6] = {0x12, 0, 0, 0, 56, 0};
    uint8_t data[56] = {};
    SRB_ExecSCSICmd srb;
    EXPECT_TRUE(aspi.ExecScsiCommand(0, SRB_DIR_IN, 2, 0, sizeof data, data, 6, inquiry, srb));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 2), "HP");

    // Once the unit moves again, the next scan sees both drives.
    sg.Release();
    aspi.Rescan();
    EXPECT_EQ(Listed(aspi), (List{"[0:1] HUNG|Drive", "[0:2] HP|C1537A"}));
}

// An INQUIRY request block filled in the way a caller of the entry point fills one.
struct InquiryBlock {
    SRB_ExecSCSICmd srb;
    AspiEvent event;
    uint8_t data[56];

    void Fill(uint8_t target)
    {
        srb = {};
        std::memset(data, 0, sizeof data);
        event.Reset();
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
        srb.SRB_Target = target;
        srb.SRB_BufLen = sizeof data;
        srb.SRB_BufPointer = data;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = 6;
        const uint8_t cdb[6] = {0x12, 0, 0, 0, sizeof data, 0};
        std::memcpy(srb.CDBByte, cdb, sizeof cdb);
        srb.SRB_PostProc = &event;
    }
    std::string Vendor() const { return std::string(reinterpret_cast<const char*>(data + 8), 4); }
};

TEST_F(LinuxProviderTest, LateAnswerToAWithdrawnRequestDoesNotCompleteTheNextRequestInTheSameBlock)
{
    Add(0, "0:0:1:0", 1, "HUNG", "Drive");
    Add(1, "0:0:2:0", 1, "HP", "C1537A");
    sg.hangOn = {"/dev/sg0", "/dev/sg1"};
    Register();
    uint32_t error = 0;
    const LibraryLoader::ModuleHandle module = LibraryLoader::LoadLibrary("WNASPI32", error);
    ASSERT_NE(module, 0u);
    auto send = reinterpret_cast<uint32_t (*)(void*)>(LibraryLoader::GetProcAddress(module, "SendASPI32Command"));

    // Unit A hangs; the request is withdrawn and its block, freed, comes back for unit B,
    // which is held too.
    InquiryBlock block;
    block.Fill(1);
    ASSERT_EQ(send(&block.srb), SS_PENDING);
    sg.WaitForRequests(1);
    SRB_Abort abort = {};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &block.srb;
    ASSERT_EQ(send(&abort), SS_COMP);
    block.Fill(2);
    ASSERT_EQ(send(&block.srb), SS_PENDING);

    // A answers late. A second request to A queues behind the withdrawn one, so once it
    // completes, A's worker is done with the late answer.
    sg.Release("/dev/sg0");
    InquiryBlock probe;
    probe.Fill(1);
    ASSERT_EQ(send(&probe.srb), SS_PENDING);
    ASSERT_TRUE(probe.event.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(probe.Vendor(), "HUNG");
    EXPECT_FALSE(block.event.IsSet()) << "B's request was completed by A's late answer";

    sg.Release("/dev/sg1");
    ASSERT_TRUE(block.event.Wait(std::chrono::seconds(10)));
    EXPECT_EQ(block.srb.SRB_Status, SS_COMP);
    EXPECT_EQ(block.Vendor(), "HP  ");
    LibraryLoader::FreeLibrary(module);
}

TEST_F(LinuxProviderTest, ReleasingTheProviderWhileAUnitHangsWaitsForItThenLeavesNothing)
{
    Add(0, "0:0:1:0", 1, "HUNG", "Drive");
    sg.hangOn = {"/dev/sg0"};
    Register();
    std::thread releaser;
    {
        ReAspiManager aspi;
        aspi.m_nCommandTimeoutMs = 50;
        ASSERT_TRUE(aspi.Initialize());
        aspi.Rescan();
        EXPECT_TRUE(aspi.m_devices.empty());
        // SG_IO ends by the kernel's own time-out at the latest; here, a little later.
        releaser = std::thread([this] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sg.Release();
        });
    }
    releaser.join();
    EXPECT_EQ(LibraryLoader::LoadedHandles(), 0u);
}

TEST_F(LinuxProviderTest, BufferFromTheProviderIsPageMemoryReturnedOnRelease)
{
    Add(0, "0:0:1:0", 1, "HP", "C1537A");
    Register();
    const size_t before = PageBuffer::LiveBuffers();
    {
        ReAspiManager aspi;
        ASSERT_TRUE(aspi.Initialize());
        EXPECT_TRUE(aspi.BufferFromAspi());
        EXPECT_EQ(aspi.TransferBuffer().AB_BufLen, 0x80000u);
        EXPECT_EQ(PageBuffer::LiveBuffers(), before + 1);
    }
    EXPECT_EQ(PageBuffer::LiveBuffers(), before);
}

TEST(SgIoTest, RealCallReportsWhyItCouldNotRun)
{
    SgIoRequest missing;
    missing.node = "/nonexistent/sg0";
    missing.cdb = {0x12, 0, 0, 0, 56, 0};
    RunSgIo(missing, RealStSystem());
    EXPECT_EQ(missing.error, ENOENT);

    TempDir dir;
    WriteWholeFile(dir / "plain", "not a device");
    SgIoRequest plain;
    plain.node = dir / "plain";
    plain.cdb = {0x12, 0, 0, 0, 56, 0};
    plain.direction = SgIoRequest::FromDevice;
    plain.data.resize(56);
    RunSgIo(plain, RealStSystem());
    EXPECT_NE(plain.error, 0) << "SG_IO on a plain file must fail, not pass for a device";
}

} // namespace
