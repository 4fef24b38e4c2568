// The facts of a real drive in the session report, asked of a drive played by FakeSt: a
// drive that answers every command, and one that refuses them, which leaves each fact null
// with the reason and the load as it would be without them.
#include "platform/DeviceNamespace.h"
#include "platform/linux/DriveFacts.h"
#include "platform/linux/LinuxTape.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tests/common/TestSupport.h"
#include "tests/st/FakeSt.h"
#include "tests/st/FakeSysfs.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>

using Json = nlohmann::json;

namespace {

constexpr int FM = FakeSt::kFilemark;

// Puts an answer in the command's buffer, as much as it has room for.
int Answer(sg_io_hdr& io, std::vector<uint8_t> data)
{
    const size_t n = std::min<size_t>(io.dxfer_len, data.size());
    std::memcpy(io.dxferp, data.data(), n);
    io.resid = static_cast<int>(io.dxfer_len - n);
    return 0;
}

std::vector<uint8_t> Ascii(std::vector<uint8_t> data, size_t at, const std::string& text)
{
    std::copy(text.begin(), text.end(), data.begin() + static_cast<long>(at));
    return data;
}

// A log parameter: code, length, value big-endian.
void Parameter(std::vector<uint8_t>& page, uint16_t code, size_t length, uint64_t value)
{
    page.insert(page.end(), {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code), 0x00,
                             static_cast<uint8_t>(length)});
    for (size_t i = length; i-- > 0;)
        page.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
}

std::vector<uint8_t> LogPage(uint8_t code, std::vector<uint8_t> parameters)
{
    std::vector<uint8_t> page(4 + parameters.size());
    page[0] = code;
    page[2] = static_cast<uint8_t>(parameters.size() >> 8);
    page[3] = static_cast<uint8_t>(parameters.size());
    std::copy(parameters.begin(), parameters.end(), page.begin() + 4);
    return page;
}

// A drive that answers every command the facts are read with; its read error counters grow
// by 4 from one LOG SENSE of them to the next (one goes down).
struct GoodDrive {
    int readErrorPages = 0;

    int operator()(sg_io_hdr& io)
    {
        const uint8_t* cdb = io.cmdp;
        switch (cdb[0]) {
        case 0x12: {
            if (cdb[1] & 1) {  // the unit serial number page, blanks on both sides
                std::vector<uint8_t> page = {0x01, 0x80, 0, 10};
                page.resize(14);
                return Answer(io, Ascii(page, 4, "  SN0042  "));
            }
            std::vector<uint8_t> data(36, ' ');
            data[4] = 31;  // bytes after this one
            return Answer(io, Ascii(Ascii(Ascii(data, 8, "ACME"), 16, "TAPE-9000"), 32, "R2D2"));
        }
        case 0x05:
            return BlockLimitsAnswer(1 << 20, 1)(io);
        case 0x1A:  // medium type 0x2C, write protected, buffered; density 0x5E
            return Answer(io, {11, 0x2C, 0x90, 8, 0x5E, 0, 0, 0, 0, 0, 0, 0});
        case 0x4D: {
            std::vector<uint8_t> parameters;
            if ((cdb[2] & 0x3F) == 0x2E) {
                for (uint16_t flag = 1; flag <= 64; ++flag)
                    Parameter(parameters, flag, 1, flag == 3 || flag == 20 ? 1 : 0);
                return Answer(io, LogPage(0x2E, parameters));
            }
            const uint64_t grown = 4 * static_cast<uint64_t>(readErrorPages++);
            Parameter(parameters, 0x0000, 2, 5 + grown);
            Parameter(parameters, 0x0003, 4, 70000 + grown);
            Parameter(parameters, 0x0005, 8, 0x0102030405060708ull);  // bytes processed: all eight bytes
            Parameter(parameters, 0x0006, 1, 1);
            Parameter(parameters, 0x8001, 12, 0);  // too long for a counter: left out
            Parameter(parameters, 0x8002, 2, 100 - grown);  // goes down: no difference
            return Answer(io, LogPage(0x03, parameters));
        }
        }
        SetCheckCondition(io, 0x5, 0x20);
        return 0;
    }
};

// Refuses everything but READ BLOCK LIMITS, without which no load gets going.
int RefusingDrive(sg_io_hdr& io)
{
    if (io.cmdp[0] == 0x05)
        return BlockLimitsAnswer(65536, 1)(io);
    SetCheckCondition(io, 0x5, 0x24);  // illegal request, invalid field in CDB
    return 0;
}

class DriveFactsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sysfs.AddDevice(0, 0, 3, 0, 1, "", "", 0, 2);
        st.tape = {100, 200, FM, 50, FM};
        DeviceNamespace::SetRealDriveOpener(MakeLinuxTapeOpener(sysfs.root(), st));
        DeviceNamespace::SetRealDriveFactsReader(MakeLinuxFactsReader(sysfs.root(), st));
    }
    void TearDown() override
    {
        DeviceNamespace::SetRealDriveOpener({});
        DeviceNamespace::SetRealDriveFactsReader({});
    }

    // Loads every file of the tape with its report (or captures the tape), and gives the
    // report's device.
    Json LoadDevice(int32_t kind = TAPE_JOB_LOAD)
    {
        TapeJobList jobs;
        const std::string base = kind == TAPE_JOB_LOAD ? "f" : "c.tap";
        TapeJob* job = jobs.AddJob(out.path(), base, "*", 0, &jobs, &notify, kind);
        job->m_loadOptions.writeChecksumsAndReport = true;
        if (kind == TAPE_JOB_LOAD)
            job->RunLoad();
        else
            job->RunCapture();
        result = job->m_nResult;
        jobs.RemoveJob(job);
        return Json::parse(ReadWholeFile(out / (base + ".json")))["device"];
    }

    FakeSysfs sysfs;
    FakeSt st;
    TempDir out;
    RecordingNotify notify;
    TapeJobResult result{};
};

} // namespace

TEST_F(DriveFactsTest, DriveThatAnswersGivesEveryFactAndTheCountersTheSessionAdded)
{
    st.scsi = GoodDrive();
    sysfs.AddStStats(0, {{"read_cnt", "3\n"}, {"read_byte_cnt", "350\n"}, {"in_flight", "0\n"}, {"io_ns", "junk\n"}});
    Json device = LoadDevice();
    ASSERT_EQ(result, TapeJobResult::Completed) << notify.Log();
    EXPECT_EQ(device["kind"], "drive");
    EXPECT_EQ(device["vendor"], "ACME");
    EXPECT_EQ(device["product"], "TAPE-9000");
    EXPECT_EQ(device["revision"], "R2D2");
    EXPECT_EQ(device["serial_number"], "SN0042");
    EXPECT_EQ(device["block_limits"], (Json{{"maximum", 1 << 20}, {"minimum", 1}}));
    EXPECT_EQ(device["density_code"], 0x5E);
    EXPECT_EQ(device["medium_type"], 0x2C);
    EXPECT_EQ(device["write_protected"], true);
    for (const char* fact : {"vendor", "serial_number", "block_limits", "density_code", "tape_alert_flags"})
        EXPECT_TRUE(device[std::string(fact) + "_reason"].is_null()) << fact;

    const Json& errors = device["read_errors"];
    EXPECT_EQ(errors["before"], (Json{{"corrected_without_delay", 5}, {"total_corrected", 70000},
                                      {"bytes_processed", 0x0102030405060708ull}, {"uncorrected", 1},
                                      {"parameter_0x8002", 100}}));
    EXPECT_EQ(errors["after"]["total_corrected"], 70004);
    EXPECT_EQ(errors["difference"], (Json{{"corrected_without_delay", 4}, {"total_corrected", 4},
                                          {"bytes_processed", 0}, {"uncorrected", 0}}));
    EXPECT_EQ(device["tape_alert_flags"], (Json{3, 20}));
    // Only the statistics st has, each as a number; one that is not a number is left out.
    EXPECT_EQ(device["st_stats"]["before"], (Json{{"read_byte_cnt", 350}, {"read_cnt", 3}, {"in_flight", 0}}));
    EXPECT_EQ(device["st_stats"]["after"], device["st_stats"]["before"]);
    // Every command went to the drive's generic node, none to its tape node.
    EXPECT_EQ(st.scsiPath, "/dev/sg2");
    EXPECT_EQ(st.openCount, 0);

    // A capture's report gives them the same way.
    device = LoadDevice(TAPE_JOB_CAPTURE);
    ASSERT_EQ(result, TapeJobResult::Completed) << notify.Log();
    EXPECT_EQ(device["serial_number"], "SN0042");
    EXPECT_EQ(device["read_errors"]["difference"]["total_corrected"], 4);
    EXPECT_EQ(device["tape_alert_flags"], (Json{3, 20}));
}

TEST_F(DriveFactsTest, DriveThatRefusesLeavesEachFactNullWithTheReasonAndTheLoadDone)
{
    st.scsi = RefusingDrive;
    const std::string log = [&] {
        Json device = LoadDevice();
        for (const char* fact : {"vendor", "product", "revision", "serial_number", "density_code", "medium_type",
                                 "write_protected", "tape_alert_flags"}) {
            EXPECT_TRUE(device[fact].is_null()) << fact;
            EXPECT_NE(device[std::string(fact) + "_reason"].get<std::string>().find("was refused: illegal request (ASC 0x24"),
                      std::string::npos)
                << fact << ": " << device[std::string(fact) + "_reason"];
        }
        for (const char* moment : {"before", "after", "difference"})
            EXPECT_TRUE(device["read_errors"][moment].is_null()) << moment;
        EXPECT_NE(device["read_errors"]["after_reason"].get<std::string>().find("LOG SENSE of page 0x03"), std::string::npos);
        EXPECT_NE(device["st_stats"]["before_reason"].get<std::string>().find("st gives no statistics"), std::string::npos);
        EXPECT_FALSE(device["block_limits"].is_null());
        return notify.Log();
    }();
    EXPECT_EQ(result, TapeJobResult::Completed) << log;
    EXPECT_EQ(ReadWholeFile(out / "f0001").size(), 50u);

    // READ BLOCK LIMITS refused too, asked on its own; and the kernel's scan stands in for a
    // refused INQUIRY.
    ScsiDevice drive = EnumerateLinuxTapeDrives(sysfs.root()).at(0);
    drive.vendor = "SCANNED";
    st.scsi = [](sg_io_hdr& io) {
        SetCheckCondition(io, 0x5, 0x20);
        return 0;
    };
    DriveFacts facts;
    ReadLinuxDriveFacts(drive, sysfs.root(), st, FactsMoment::SessionStart, facts);
    EXPECT_FALSE(facts.blockLimits.value);
    EXPECT_EQ(facts.blockLimits.reason, "READ BLOCK LIMITS was refused: illegal request (ASC 0x20, ASCQ 0x00)");
    EXPECT_EQ(facts.vendor.value, "SCANNED");
    EXPECT_EQ(facts.product.reason, "INQUIRY was refused: illegal request (ASC 0x20, ASCQ 0x00)");
}

TEST_F(DriveFactsTest, NoGenericNodeOrAnAnswerThatDoesNotFitGivesNoValue)
{
    ScsiDevice drive = EnumerateLinuxTapeDrives(sysfs.root()).at(0);
    drive.sgNode.clear();
    DriveFacts facts;
    ReadLinuxDriveFacts(drive, sysfs.root(), st, FactsMoment::SessionEnd, facts);
    EXPECT_EQ(facts.tapeAlertFlags.reason, "the drive has no SCSI generic (sg) node");
    EXPECT_TRUE(st.cdbs.empty());

    drive.sgNode = "/dev/sg2";
    st.openErrors["/dev/sg2"] = EACCES;
    ReadLinuxDriveFacts(drive, sysfs.root(), st, FactsMoment::SessionEnd, facts);
    EXPECT_EQ(facts.readErrorsAfter.reason, "/dev/sg2 cannot be opened: permission denied");
    st.openErrors.clear();

    // Answers cut short (an INQUIRY whose transfer the adapter says was whole, its own length
    // says not), a serial number page of another page, a log page of another page.
    st.scsi = [](sg_io_hdr& io) {
        if (io.cmdp[0] == 0x12 && (io.cmdp[1] & 1))
            return Answer(io, {0x01, 0x83, 0, 0});
        if (io.cmdp[0] == 0x12) {
            std::vector<uint8_t> data(io.dxfer_len, 0);
            data[4] = 15;
            return Answer(io, Ascii(data, 8, "AAAAAAAA"));
        }
        if (io.cmdp[0] == 0x1A)  // a header without a block descriptor
            return Answer(io, {3, 0, 0, 0});
        if (io.cmdp[0] == 0x4D)
            return Answer(io, LogPage(0x2F, {}));
        return Answer(io, {0, 1});
    };
    facts = {};
    ReadLinuxDriveFacts(drive, sysfs.root(), st, FactsMoment::SessionStart, facts);
    EXPECT_EQ(facts.vendor.value, "AAAAAAAA");  // bytes 8-15 came
    EXPECT_EQ(facts.product.reason, "INQUIRY: the drive's answer is too short (20 bytes)");
    EXPECT_EQ(facts.serialNumber.reason, "INQUIRY of the unit serial number page: the drive answered with page 0x83");
    EXPECT_EQ(facts.blockLimits.reason, "READ BLOCK LIMITS: the drive's answer is too short (2 bytes)");
    EXPECT_EQ(facts.mediumType.value, 0u);
    EXPECT_EQ(facts.densityCode.reason, "MODE SENSE(6): the drive gives no block descriptor");
    EXPECT_EQ(facts.readErrorsBefore.reason, "LOG SENSE of page 0x03: the drive answered with page 0x2f");
    EXPECT_EQ(st.openCount, 0);
}
