// A capture of a whole tape into one image: what the drive gives is what the image holds,
// and an image that is not whole never stands under the name asked for.
#include "platform/DeviceNamespace.h"
#include "platform/Sha256.h"
#include "platform/SimhTape.h"
#include "platform/SimhTapeWriter.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <functional>

namespace {

class BreakingNotify : public RecordingNotify {
public:
    std::function<void(uint64_t blocks)> onCounters;
    void Send(uint32_t message, TaskMemBlock block) override
    {
        if (message == UM_COUNTERS && onCounters) {
            TapeCounters c;
            std::memcpy(&c, block.data(), sizeof c);
            onCounters(c.nBlocksTotal);
        }
        RecordingNotify::Send(message, std::move(block));
    }
};

class CaptureTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string source = dir / "source.tap";
    std::string out = dir / "out.tap";
    BreakingNotify notify;
    TapeJobList jobs;
    TapeJobResult result{};

    ~CaptureTest() override { DeviceNamespace::SetTapeImages({}); }

    static void Write(const std::string& path, const std::function<void(SimhTapeWriter&)>& write)
    {
        SimhTapeWriter tape;
        ASSERT_TRUE(tape.Open(path)) << tape.Error();
        write(tape);
        ASSERT_TRUE(tape.Close()) << tape.Error();
    }
    std::string Capture(LoadOptions options = {}, CaptureOptions capture = {})
    {
        TapeJob* job = jobs.AddJob(dir.path(), "out.tap", "*", 0, &jobs, &notify, TAPE_JOB_CAPTURE);
        job->m_loadOptions = options;
        job->m_captureOptions = capture;
        job->RunCapture();
        result = job->m_nResult;
        jobs.RemoveJob(job);
        return notify.Log();
    }
    bool NothingUnderTheName() const
    {
        return !FileExists(out) && !FileExists(out + ".tmp") && !FileExists(out + ".sha256");
    }
};

} // namespace

// Odd lengths (pad bytes), an empty file, a record across the writer's 4 MiB chunks, and a
// bad record between good ones with its bytes: all of it again, byte for byte.
TEST_F(CaptureTest, ImageOfAGapFreeImageIsTheSameBytes)
{
    Write(source, [](SimhTapeWriter& t) {
        t.WriteRecord("a");
        t.WriteRecord("abc");
        t.WriteRecord(std::string(4095, 'q'));
        t.WriteTapemark();
        t.WriteTapemark();
        t.WriteRecord(std::string((5u << 20) + 1, 'L'));
        t.WriteBadRecord("unreadable");
        t.WriteRecord("after");
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    DeviceNamespace::SetTapeImages({source});
    const std::string log = Capture();

    const std::string image = ReadWholeFile(out);
    EXPECT_EQ(image, ReadWholeFile(source));
    EXPECT_EQ(ReadWholeFile(out + ".sha256"), Sha256Hex(image.data(), image.size()) + "  out.tap\n");
    EXPECT_FALSE(FileExists(out + ".tmp"));
    // the image is whole, the tape's data are not: as a load that passed over a block
    EXPECT_EQ(result, TapeJobResult::Failed);
    const std::string p = "[00][TAPE0] -- ";
    EXPECT_NE(log.find(p + "File number 0001 captured: 0 blocks, 0 bytes\n"), std::string::npos) << log;
    EXPECT_NE(log.find(p + "Bad block 1 of file 0002 kept as bad data: "), std::string::npos) << log;
    EXPECT_NE(log.find(p + "File number 0002 captured: 3 blocks (1 bad), 5242896 bytes\n"), std::string::npos);
    EXPECT_NE(log.find(p + "######## Files captured\t\t: 3\n"), std::string::npos);
}

TEST_F(CaptureTest, EraseGapsAreLeftOutAndTheRecordsAndMarksStay)
{
    auto tape = [](bool gaps) {
        return [gaps](SimhTapeWriter& t) {
            if (gaps)
                t.WriteEraseGap();
            t.WriteRecord("one");
            if (gaps) {
                t.WriteEraseGap();
                t.WriteHalfGap();
            }
            t.WriteTapemark();
            t.WriteBadRecord("x");
            if (gaps)
                t.WriteEraseGap();
            t.WriteTapemark();
        };
    };
    Write(source, tape(true));
    Write(dir / "expected.tap", [&](SimhTapeWriter& t) {
        tape(false)(t);
        t.WriteEndOfMedium();  // the end of the data is marked; the source just ended
    });
    DeviceNamespace::SetTapeImages({source});
    Capture();
    EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(dir / "expected.tap"));
}

TEST_F(CaptureTest, BreakLeavesTheNameAsItWas)
{
    Write(source, [](SimhTapeWriter& t) {
        for (int r = 0; r < 10; ++r)
            t.WriteRecord(std::string(1000, 'r'));
        t.WriteTapemark();
    });
    WriteWholeFile(out, "an earlier image");
    DeviceNamespace::SetTapeImages({source});
    notify.onCounters = [&](uint64_t blocks) {
        if (blocks == 3)
            jobs.SetBreakRequest(1, 0);  // even "after the file": half an image is no image
    };
    const std::string log = Capture();
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    EXPECT_EQ(ReadWholeFile(out), "an earlier image");
    EXPECT_FALSE(FileExists(out + ".tmp"));
    EXPECT_NE(log.find("Blocks captured\t: 3\n"), std::string::npos) << log;
}

// What ends a capture before the end of the tape, each with its text and no image.
TEST_F(CaptureTest, FailuresLeaveNoImage)
{
    {
        SCOPED_TRACE("a record longer than the buffer");
        Write(source, [](SimhTapeWriter& t) { t.WriteRecord(std::string(2000, 'x')); });
        VirtualDriveOptions drive;
        drive.maxBlockSize = 1024;
        DeviceNamespace::SetTapeImages({source}, drive);
        EXPECT_NE(Capture().find("Block longer than the read buffer of 1024 bytes"), std::string::npos);
        EXPECT_EQ(result, TapeJobResult::Failed);
        EXPECT_TRUE(NothingUnderTheName());
    }
    {
        SCOPED_TRACE("the image being read");
        DeviceNamespace::SetTapeImages({out});
        Write(out, [](SimhTapeWriter& t) { t.WriteRecord("source"); });
        const std::string before = ReadWholeFile(out);
        EXPECT_NE(Capture().find("The image file is the tape image being read"), std::string::npos);
        EXPECT_EQ(ReadWholeFile(out), before);
        std::remove(out.c_str());
        DeviceNamespace::SetTapeImages({});
    }
    ScopedFakeTape tape;
    using Item = FakeTapeState::Item;
    tape.state->File({10}).Add(Item::Error, ERROR_CRC).Add(Item::Error, ERROR_CRC).Add(Item::Error, ERROR_CRC);
    tape.state->Add(Item::Record, 10).Add(Item::Mark);
    LoadOptions options;
    options.maxBadBlocksInARow = 3;
    {
        SCOPED_TRACE("bad blocks in a row");
        EXPECT_NE(Capture(options).find("------ 3 BAD BLOCKS IN A ROW, CAPTURE STOPPED -------"), std::string::npos);
        EXPECT_EQ(result, TapeJobResult::Failed);
        EXPECT_TRUE(NothingUnderTheName());
    }
    {
        SCOPED_TRACE("one short of the limit: the capture goes on, reading each again first");
        tape.state->items[3] = {Item::Flaky, 7, 1};
        options.readRetries = 1;
        const std::string log = Capture(options);
        EXPECT_NE(log.find("Block 1 of file 0001 read on attempt 1\n"), std::string::npos) << log;
        EXPECT_TRUE(FileExists(out));
        EXPECT_NE(log.find("File number 0001 captured: 4 blocks (2 bad), 17 bytes\n"), std::string::npos) << log;
    }
}

// A second pass reads only the earlier image's bad records: one the tape now gives whole
// takes its place, one still bad keeps the earlier bytes, and a good record of the earlier
// image is never read again (here it differs from the tape, and the image's stays).
TEST_F(CaptureTest, RetryOfBadRecordsReadsOnlyThoseAndNeverReplacesGoodData)
{
    Write(source, [](SimhTapeWriter& t) {  // the tape, as the drive now reads it
        t.WriteRecord("A0");
        t.WriteRecord("A1 read whole now");
        t.WriteRecord("A2");
        t.WriteRecord("tape's A3");
        t.WriteTapemark();
        t.WriteBadRecord("tape's B0");
        t.WriteRecord("B1");
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    const std::string earlier = dir / "earlier.tap";
    Write(earlier, [](SimhTapeWriter& t) {
        t.WriteRecord("A0");
        t.WriteBadRecord("A1 junk");
        t.WriteRecord("A2");
        t.WriteRecord("image's A3");
        t.WriteTapemark();
        t.WriteBadRecord("image's B0");
        t.WriteRecord("B1");
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    Write(dir / "expected.tap", [](SimhTapeWriter& t) {
        t.WriteRecord("A0");
        t.WriteRecord("A1 read whole now");
        t.WriteRecord("A2");
        t.WriteRecord("image's A3");
        t.WriteTapemark();
        t.WriteBadRecord("image's B0");
        t.WriteRecord("B1");
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    DeviceNamespace::SetTapeImages({source});
    LoadOptions options;
    options.readRetries = 2;
    CaptureOptions retry;
    retry.retryFrom = earlier;
    const std::string log = Capture(options, retry);
    EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(dir / "expected.tap"));
    EXPECT_EQ(result, TapeJobResult::Failed);  // one record is still bad
    EXPECT_NE(log.find("Bad block 1 of file 0000 read whole now: 17 bytes\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Read error in block 0 of file 0001, reading it again (2 of 2)"), std::string::npos) << log;
    EXPECT_NE(log.find("######## Bad before, read again\t: 2\n"), std::string::npos) << log;
    EXPECT_NE(log.find("######## Read whole now\t: 1\n"), std::string::npos) << log;
    // The report gives each of them: where it was and is (records of 4 + length, padded
    // to even, + 4 bytes; a tapemark 4), how often it was read again, and how it came out.
    using nlohmann::json;
    const json report = json::parse(ReadWholeFile(out + ".json"));
    ASSERT_EQ(report["image"]["retried"].size(), 2u) << report.dump(1);
    EXPECT_EQ(report["image"]["retried"][0], (json{{"file", 0}, {"block", 1}, {"retry_of_offset", 10},
                                                  {"image_offset", 10}, {"retries", 0}, {"read_whole", true}}));
    EXPECT_EQ(report["image"]["retried"][1], (json{{"file", 1}, {"block", 0}, {"retry_of_offset", 58},
                                                  {"image_offset", 68}, {"retries", 2}, {"read_whole", false}}));
    ASSERT_EQ(report["bad_blocks"].size(), 1u);
    EXPECT_EQ(report["bad_blocks"][0]["image_offset"], 68);
    EXPECT_EQ(report["bad_blocks"][0]["retries"], 2);

    // A tape that does not match the image is not patched into it.
    Write(source, [](SimhTapeWriter& t) {
        t.WriteRecord("A0");
        t.WriteTapemark();
        t.WriteEndOfMedium();
    });
    EXPECT_NE(Capture(options, retry).find("The tape differs from the earlier image at block 1 of file 0000"),
              std::string::npos);
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(dir / "expected.tap"));  // the earlier result stays
}

// A capture broken off keeps what it read as out.tap.partial; --resume goes on from there,
// also after a crash left half a record at its end, and the image is the same bytes as an
// uninterrupted capture's. A different tape is refused, and the partial image stays.
TEST_F(CaptureTest, ResumedCaptureIsTheUninterruptedImage)
{
    Write(source, [](SimhTapeWriter& t) {
        for (int f = 0; f < 3; ++f) {
            for (int r = 0; r < 5; ++r)
                t.WriteRecord(std::string(1000 + 37 * r + f, static_cast<char>('a' + r)));
            t.WriteTapemark();
        }
        t.WriteEndOfMedium();
    });
    DeviceNamespace::SetTapeImages({source});
    Capture();
    ASSERT_EQ(result, TapeJobResult::Completed);
    const std::string whole = ReadWholeFile(out);
    std::remove(out.c_str());

    notify.onCounters = [&](uint64_t blocks) {
        if (blocks == 7)  // in the second file
            jobs.SetBreakRequest(1, 0);
    };
    std::string log = Capture();
    notify.onCounters = nullptr;
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    EXPECT_FALSE(FileExists(out));
    ASSERT_TRUE(FileExists(out + ".partial")) << log;
    EXPECT_NE(log.find("capture --resume goes on from there"), std::string::npos) << log;
    // As a crash would leave it: half a record more at the end.
    WriteWholeFile(out + ".partial", ReadWholeFile(out + ".partial") + whole.substr(0, 300));

    CaptureOptions resume;
    resume.resume = true;
    log = Capture({}, resume);
    EXPECT_EQ(result, TapeJobResult::Completed) << log;
    EXPECT_NE(log.find("Going on with the partial image after"), std::string::npos) << log;
    EXPECT_TRUE(ReadWholeFile(out) == whole);
    EXPECT_FALSE(FileExists(out + ".partial"));
    EXPECT_FALSE(FileExists(out + ".tmp"));
    EXPECT_EQ(ReadWholeFile(out + ".sha256").substr(0, 64), Sha256Hex(whole.data(), whole.size()));

    // A partial image of another tape: its last whole record does not read the same.
    std::string other = whole.substr(0, 2 * (8 + 1000));  // a record and part of one
    other[10] = 'X';
    WriteWholeFile(out + ".partial", other);
    log = Capture({}, resume);
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_NE(log.find("does not read as the partial image has it"), std::string::npos) << log;
    EXPECT_EQ(ReadWholeFile(out + ".partial"), other.substr(0, 8 + 1000));  // kept, whole records only
}
