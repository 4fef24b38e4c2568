// A load over blocks that cannot be read: read again, passed over, or the end of the
// session, as the load options say; every good block still reaches its disk file.
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace {

using Item = FakeTapeState::Item;

// A receiver that runs a hook on every log text: lets a test break in the middle of retries.
class LogHookNotify : public RecordingNotify {
public:
    std::function<void(const std::string&)> onLog;
    void Send(uint32_t message, TaskMemBlock block) override
    {
        if (message == UM_LOG_TEXT && onLog)
            onLog(static_cast<const char*>(block.data()));
        RecordingNotify::Send(message, std::move(block));
    }
};

class ReadErrorTest : public ::testing::Test {
protected:
    ScopedFakeTape tape;
    TempDir dir;
    std::unique_ptr<TapeJobList> jobs;
    LogHookNotify notify;
    LoadOptions options;
    TapeJobResult result{};
    std::vector<BadBlock> badBlocks;
    uint64_t blocksTotal = 0;

    FakeTapeState& T() { return *tape.state; }

    std::string Load()
    {
        jobs = std::make_unique<TapeJobList>();
        notify.Clear();
        TapeJob* job = jobs->AddJob(dir.path(), "file", "*", 0, jobs.get(), &notify, TAPE_JOB_LOAD);
        job->m_loadOptions = options;
        job->RunLoad();
        result = job->m_nResult;
        badBlocks = job->m_badBlocks;
        blocksTotal = job->m_nBlocksTotal;
        jobs->RemoveJob(job);
        return notify.Log();
    }
    std::string Disk(int n)
    {
        char name[32];
        std::snprintf(name, sizeof name, "file%04d", n);
        return dir / name;
    }
    // What file f holds when the blocks listed are left out (by record number on the tape).
    std::string ContentWithout(size_t f, std::vector<size_t> leftOut)
    {
        std::string content;
        size_t file = 0;
        for (size_t i = 0; i < T().items.size(); ++i) {
            const Item& item = T().items[i];
            if (item.kind == Item::Mark) {
                ++file;
            } else if (file == f && item.HasData() &&
                       std::find(leftOut.begin(), leftOut.end(), T().RecordNumber(i)) == leftOut.end()) {
                for (uint32_t b = 0; b < item.length; ++b)
                    content += FakeTapeState::Byte(T().RecordNumber(i), b);
            }
        }
        return content;
    }
    size_t Reads() const { return static_cast<size_t>(std::count(tape.state->calls.begin(), tape.state->calls.end(), "read")); }
    size_t CallsOf(const std::string& call) const
    {
        return static_cast<size_t>(std::count(tape.state->calls.begin(), tape.state->calls.end(), call));
    }
    static size_t CountOf(const std::string& log, const std::string& text)
    {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }
    static bool Has(const std::string& log, const std::string& text) { return log.find(text) != std::string::npos; }

    const std::string p = "[00][TAPE0] -- ";
};

} // namespace

TEST_F(ReadErrorTest, BlockThatFailsTwiceIsReadOnTheSecondRetryAndCopiedWhole)
{
    options.readRetries = 2;
    T().Add(Item::Record, 100).Add(Item::Flaky, 200, 2).Add(Item::Record, 300).Add(Item::Mark).File({50});
    std::string log = Load();

    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
    EXPECT_EQ(result, TapeJobResult::Completed);
    EXPECT_TRUE(badBlocks.empty());
    EXPECT_EQ(blocksTotal, 4u);
    EXPECT_EQ(CallsOf("space blocks -1"), 2u);
    const std::string crc = "A block could not be read: bad data on the tape.\n";
    EXPECT_TRUE(Has(log, p + "Read error in block 1, reading it again (1 of 2): " + crc + p +
                             "Read error in block 1, reading it again (2 of 2): " + crc + p +
                             "Block 1 read on attempt 2\n"));
    EXPECT_FALSE(Has(log, "Bad block"));
    EXPECT_FALSE(Has(log, "--//--//-- ERROR"));
}

TEST_F(ReadErrorTest, RetriesOneShortOfTheBlockEndTheSessionUnderStopAsAnyReadError)
{
    options.readRetries = 1;
    T().Add(Item::Record, 100).Add(Item::Flaky, 200, 2).Add(Item::Record, 300).Add(Item::Mark).File({50});
    std::string log = Load();

    EXPECT_EQ(ReadWholeFile(Disk(0) + ".part"), ContentWithout(0, {1, 2}));
    EXPECT_FALSE(FileExists(Disk(1)));
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_TRUE(badBlocks.empty());  // not passed over: the session ended there
    EXPECT_EQ(CountOf(log, "reading it again"), 1u);
    EXPECT_TRUE(Has(log, p + "--//--//-- ERROR --//--//--\n" + p + "A block could not be read: bad data on the tape.\n"));
    EXPECT_FALSE(Has(log, "Bad block"));
}

TEST_F(ReadErrorTest, DefaultOptionsNeitherRereadNorSpace)
{
    T().File({100}).Add(Item::Record, 100).Add(Item::Error, ERROR_CRC).Add(Item::Record, 100).Add(Item::Mark);
    std::string log = Load();
    EXPECT_EQ(ReadWholeFile(Disk(1) + ".part"), ContentWithout(1, {2}));
    EXPECT_EQ(result, TapeJobResult::Failed);
    EXPECT_EQ(CallsOf("space blocks -1"), 0u);
    EXPECT_EQ(Reads(), 4u);  // 100, mark, 100, the bad one: and no more
    EXPECT_FALSE(Has(log, "again"));
    EXPECT_FALSE(Has(log, "Bad block"));
}

TEST_F(ReadErrorTest, BlockThatNeverRecoversIsPassedOverAfterItsRetriesAndTheCopyGoesOn)
{
    options.onReadError = LoadOptions::ReadErrors::Skip;
    options.readRetries = 3;
    T().Add(Item::Record, 100).Add(Item::Error, ERROR_CRC).Add(Item::Record, 300).Add(Item::Mark).File({50, 60});
    std::string log = Load();

    EXPECT_EQ(ReadWholeFile(Disk(0)), ContentWithout(0, {}));  // the bad one holds no data
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
    ASSERT_EQ(badBlocks.size(), 1u);
    EXPECT_EQ(badBlocks[0].tapeFile, 0);
    EXPECT_EQ(badBlocks[0].block, 1u);
    EXPECT_EQ(badBlocks[0].error, ERROR_CRC);
    EXPECT_EQ(badBlocks[0].text, "A block could not be read: bad data on the tape.");
    EXPECT_EQ(result, TapeJobResult::Failed);  // the copy went on, but blocks are missing
    EXPECT_EQ(CountOf(log, "reading it again"), 3u);
    EXPECT_EQ(CallsOf("space blocks -1"), 3u);
    EXPECT_TRUE(Has(log, p + "Bad block 1 of file 0000 skipped: A block could not be read: bad data on the tape.\n"));
    EXPECT_TRUE(Has(log, p + "######## Bytes  read\t\t: 510\n" + p + "######## Bad blocks skipped\t: 1\n" + p +
                             "######## Bad block\t\t: file 0000, block 1: A block could not be read: bad data on the tape.\n" + p +
                             "######## Session completed at "));
    EXPECT_TRUE(Has(log, p + "********* Blocks successfully read : 2\n"));
    EXPECT_EQ(blocksTotal, 4u);
    EXPECT_TRUE(Has(log, p + "------ NO MORE DATA ON THE TAPE -------\n\n"));
}

TEST_F(ReadErrorTest, BadBlocksInARowBelowTheLimitArePassedOverAndAtTheLimitTheRestOfTheFileIs)
{
    options.onReadError = LoadOptions::ReadErrors::Skip;
    options.maxBadBlocksInARow = 3;
    const Item bad{Item::Error, ERROR_CRC};
    T().Add(Item::Record, 10);
    T().items.insert(T().items.end(), {bad, bad});
    T().Add(Item::Record, 20);
    T().items.insert(T().items.end(), {bad, bad, bad});
    T().Add(Item::Record, 30).Add(Item::Record, 40).Add(Item::Mark).File({50}).File({});
    std::string log = Load();

    EXPECT_EQ(ReadWholeFile(Disk(0)), ContentWithout(0, {2, 3}));  // 10 and 20; 30 and 40 spaced over
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
    std::vector<uint64_t> numbers;
    for (const BadBlock& b : badBlocks)
        numbers.push_back(b.block);
    EXPECT_EQ(numbers, (std::vector<uint64_t>{1, 2, 4, 5, 6}));
    EXPECT_EQ(CallsOf("space 1"), 1u);
    EXPECT_EQ(CountOf(log, "BAD BLOCKS IN A ROW"), 1u);
    EXPECT_TRUE(Has(log, p + "Bad block 6 of file 0000 skipped: A block could not be read: bad data on the tape.\n" + p +
                             "------ 3 BAD BLOCKS IN A ROW, REST OF FILE SKIPPED -------\n" + p +
                             "------ FILEMARK DETECTED-------\n\n"));
    EXPECT_TRUE(Has(log, p + "######## Bad blocks skipped\t: 5\n"));
    EXPECT_EQ(CountOf(log, "######## Bad block\t\t: file 0000, block "), 5u);
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(ReadErrorTest, FileThatCannotBeSpacedOverOrBlockThatCannotBeReachedAgainEndsTheSession)
{
    options.onReadError = LoadOptions::ReadErrors::Skip;
    options.maxBadBlocksInARow = 1;
    T().File({10}).Add(Item::Error, ERROR_CRC).Add(Item::Record, 20).Add(Item::Mark).File({30});
    T().spaceError = ERROR_IO_DEVICE;
    std::string log = Load();
    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_FALSE(FileExists(Disk(1)));  // empty, so deleted: nothing of the bad file is kept
    EXPECT_FALSE(FileExists(Disk(2)));  // never begun
    EXPECT_EQ(badBlocks.size(), 1u);
    EXPECT_TRUE(Has(log, "REST OF FILE SKIPPED -------\n" + p + "--//--//-- ERROR --//--//--\n" + p +
                             "The request could not be performed because of an I/O device error.\n"));
    EXPECT_EQ(result, TapeJobResult::Failed);

    // Spacing back to the bad block for another read fails: nothing more is read there.
    tape.state->items.clear();
    tape.state->calls.clear();
    T().Add(Item::Record, 10).Add(Item::Error, ERROR_CRC).Add(Item::Record, 20).Add(Item::Mark);
    T().spaceError = 0;
    T().blockSpaceError = ERROR_IO_DEVICE;
    options.readRetries = 2;
    log = Load();
    EXPECT_EQ(CallsOf("space blocks -1"), 1u);
    EXPECT_EQ(Reads(), 2u);
    EXPECT_TRUE(badBlocks.empty());
    EXPECT_EQ(CountOf(log, "The request could not be performed because of an I/O device error.\n"), 1u);
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(ReadErrorTest, BreakDuringRetriesStopsThemAtOnce)
{
    options.onReadError = LoadOptions::ReadErrors::Skip;
    options.readRetries = 5;
    T().Add(Item::Record, 10).Add(Item::Error, ERROR_CRC).Add(Item::Record, 20).Add(Item::Mark).File({30});
    notify.onLog = [this](const std::string& text) {
        if (text.find("reading it again (1 of 5)") != std::string::npos)
            jobs->SetBreakRequest(1, 1);
    };
    std::string log = Load();
    EXPECT_EQ(Reads(), 3u);  // the block, one more try, and no further read at all
    EXPECT_EQ(CountOf(log, "reading it again"), 1u);
    EXPECT_TRUE(Has(log, p + "------ TERMINATED BY USER-------\n\n"));
    EXPECT_EQ(ReadWholeFile(Disk(0) + ".part"), ContentWithout(0, {1, 2}));
    EXPECT_FALSE(FileExists(Disk(1)));
    EXPECT_TRUE(badBlocks.empty());  // the break came before anything was decided about it
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
    EXPECT_EQ(T().calls.back(), "read");  // and no rewind after a break
}
