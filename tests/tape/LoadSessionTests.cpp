// A whole load: given a tape of these files, a load of this selection writes these texts
// and these bytes.
#include "tape/ByteFigure.h"
#include "tape/TapeJob.h"
#include "tape/TapeJobList.h"
#include "platform/Files.h"
#include "tests/common/TestSupport.h"
#include "tests/tape/FakeTape.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <functional>
#include <set>

namespace {

const std::string kStars = std::string(102, '*') + "\n";

// A receiver that runs a hook on every counters record: lets a test break at an exact block.
class HookedNotify : public RecordingNotify {
public:
    std::function<void(const TapeCounters&)> onCounters;
    std::function<void(const std::string&)> onLog;  // before the text is recorded
    void Send(uint32_t message, TaskMemBlock block) override
    {
        if (message == UM_LOG_TEXT && onLog)
            onLog(std::string(block.data()));
        if (message == UM_COUNTERS && onCounters) {
            TapeCounters c;
            std::memcpy(&c, block.data(), sizeof c);
            onCounters(c);
        }
        RecordingNotify::Send(message, std::move(block));
    }
};

class LoadTest : public ::testing::Test {
protected:
    ScopedFakeTape tape;
    TempDir dir;
    std::unique_ptr<TapeJobList> jobs = std::make_unique<TapeJobList>();
    HookedNotify notify;
    TapeJobResult result{};
    int32_t filesRead = -1;
    uint64_t blocksTotal = 0, bytesTotal = 0;

    FakeTapeState& T() { return *tape.state; }

    std::string Load(const std::string& selection, const std::string& path = "")
    {
        // A fresh list each time, so every load is job 0 and writes "[00][TAPE0] -- ".
        jobs = std::make_unique<TapeJobList>();
        TapeJob* job = jobs->AddJob(path.empty() ? dir.path() : path, "file", selection, 0, jobs.get(), &notify,
                                   TAPE_JOB_LOAD);
        breakList = jobs.get();
        job->RunLoad();
        result = job->m_nResult;
        filesRead = job->m_nFilesRead;
        blocksTotal = job->m_nBlocksTotal;
        bytesTotal = job->m_nBytesTotal;
        EXPECT_FALSE(job->m_pBuffer);  // released on every path
        jobs->RemoveJob(job);
        return notify.Log();
    }
    std::string Disk(int n)
    {
        char name[32];
        std::snprintf(name, sizeof name, "file%04d", n);
        return dir / name;
    }
    std::string Part(int n) { return Disk(n) + ".part"; }  // the name while it is written
    TapeJobList* breakList = nullptr;  // the running load's list, for break hooks
    static bool EndsWith(const std::string& log, const std::string& text)
    {
        return log.size() >= text.size() && log.compare(log.size() - text.size(), text.size(), text) == 0;
    }
    static bool Has(const std::string& log, const std::string& text) { return log.find(text) != std::string::npos; }
    static size_t CountOf(const std::string& log, const std::string& text)
    {
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    }
};

} // namespace

TEST_F(LoadTest, AllFilesToTheEndOfData)
{
    T().File({32768, 32768, 32768}).File({1000}).File({70000 - 65536, 5});
    std::string log = Load("*");

    for (int f = 0; f < 3; ++f) {
        ASSERT_TRUE(FileExists(Disk(f))) << f;
        EXPECT_EQ(ReadWholeFile(Disk(f)), T().FileContent(f)) << f;
    }
    EXPECT_FALSE(FileExists(Disk(3)));  // the empty fourth file is deleted
    EXPECT_EQ(filesRead, 3);
    EXPECT_EQ(result, TapeJobResult::Completed);

    std::string p = "[00][TAPE0] -- ";
    EXPECT_TRUE(Has(log, p + "Rewinding\n\n" + kStars + p + "Trying read file number 0000 from tape to disk file '" +
                             Disk(0) + "'\n\n"));
    EXPECT_TRUE(Has(log, p + "*********\tFILE  " + Disk(0) + " SUMMARY\t\n" + p +
                             "********* Blocks successfully read : 3\n" + p +
                             "********* Bytes successfully read  : 98304   (96.00 Kb)\n"));
    EXPECT_EQ(CountOf(log, "------ FILEMARK DETECTED-------\n\n"), 3u);
    EXPECT_TRUE(Has(log, p + "------ NO MORE DATA ON THE TAPE -------\n\n"));
    EXPECT_TRUE(Has(log, p + "********* No data in file. File deleted.\n"));
    EXPECT_TRUE(Has(log, p + "######## Files read \t\t: 3\n" + p + "######## Blocks read\t\t: 6\n" + p +
                             "######## Bytes  read\t\t: 103773  (101.34 Kb)\n"));
    // "Www Mmm dd hh:mm:ss yyyy\n": the fixed 24-character form, day with a leading zero.
    size_t at = log.find("######## Session completed at ");
    ASSERT_NE(at, std::string::npos);
    std::string when = log.substr(at + 30, 25);
    const std::string shape = "Aaa Aaa 00 00:00:00 0000\n";
    for (size_t i = 0; i < shape.size(); ++i) {
        char c = when[i];
        bool ok = std::isalpha(static_cast<unsigned char>(shape[i])) ? std::isalpha(static_cast<unsigned char>(c))
                : shape[i] == '0' ? std::isdigit(static_cast<unsigned char>(c))
                                  : c == shape[i];
        EXPECT_TRUE(ok) << "time text " << when;
    }
    // Ends with the rewind; two rewinds in all.
    EXPECT_TRUE(EndsWith(log, "\n\n" + p + "Rewinding\n\n"));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "rewind"), 2);
    EXPECT_EQ(notify.Count(UM_COUNTERS), 6u + 3u);  // one per block, one at the start, two at the end
}

TEST_F(LoadTest, SelectionsSpaceOverTheGaps)
{
    for (int f = 0; f < 4; ++f)
        T().File({100u + f});
    std::string p = "[00][TAPE0] -- ";

    std::string log = Load("0");
    EXPECT_FALSE(Has(log, "Skiping"));
    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_EQ(T().calls[1], "rewind");
    EXPECT_EQ(T().calls[2], "read");

    notify.Clear();
    T().calls.clear();
    log = Load("1");
    EXPECT_TRUE(Has(log, kStars + p + "Skiping file number 0000 \n\n"));
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
    EXPECT_EQ(T().calls[2], "space 1");
    EXPECT_EQ(result, TapeJobResult::Completed);

    notify.Clear();
    T().calls.clear();
    log = Load("2,9");
    EXPECT_EQ(ReadWholeFile(Disk(2)), T().FileContent(2));
    EXPECT_TRUE(Has(log, p + "Skiping files number 0000-0001 \n\n"));
    EXPECT_TRUE(Has(log, p + "Skiping files number 0003-0008 \n\n" + p + "------ NO MORE DATA ON THE TAPE -------\n\n" +
                             p + "--//--//-- ERROR --//--//--\n" + p +
                             "The tape ended before selected file 0009\n" + p + "###"));
    EXPECT_FALSE(Has(log, "file0009"));
    // The tape has no file 9: the log says where it ended, the session is not a done one.
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(LoadTest, TheLargestIndexSpacesToTheEndOfData)
{
    T().File({5}).File({6});
    std::string log = Load("1, 2147483647");
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
    EXPECT_TRUE(Has(log, "Skiping files number 0002-2147483646 \n\n[00][TAPE0] -- ------ NO MORE DATA ON THE TAPE"));
    EXPECT_EQ(result, TapeJobResult::Failed);  // file 2147483647 was selected and is not there
}

TEST_F(LoadTest, NeighbouringSelectionsReadWithoutSpacing)
{
    for (int f = 0; f < 8; ++f)
        T().File({10u + f});
    std::string log = Load("5,6");
    EXPECT_TRUE(Has(log, "Skiping files number 0000-0004 \n\n"));
    EXPECT_EQ(CountOf(log, "Skiping"), 1u);
    EXPECT_EQ(ReadWholeFile(Disk(5)), T().FileContent(5));
    EXPECT_EQ(ReadWholeFile(Disk(6)), T().FileContent(6));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "space 5"), 1);
}

TEST_F(LoadTest, BreakImmediatelyKeepsWhatWasReadAndDoesNotRewind)
{
    T().File({100, 100, 100, 100}).File({7});
    notify.onCounters = [&](const TapeCounters& c) {
        if (c.nFileBlocks == 2)
            breakList->SetBreakRequest(1, 1);
    };
    WriteWholeFile(Disk(0), "a complete copy of an earlier session");
    std::string log = Load("*");
    // The cut copy keeps its temporary name and never replaces the complete one.
    EXPECT_EQ(ReadWholeFile(Part(0)), T().FileContent(0).substr(0, 200));
    EXPECT_EQ(ReadWholeFile(Disk(0)), "a complete copy of an earlier session");
    EXPECT_TRUE(Has(log, "------ TERMINATED BY USER-------\n\n"));
    EXPECT_FALSE(Has(log, "FILEMARK"));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "rewind"), 1);
    EXPECT_TRUE(EndsWith(log, "[00][TAPE0] -- " + std::string(59, '#') + "\n\n"));
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
}

TEST_F(LoadTest, BreakAfterTheCurrentFileFinishesIt)
{
    T().File({100, 100, 100}).File({7});
    notify.onCounters = [&](const TapeCounters& c) {
        if (c.nFileBlocks == 1)
            breakList->SetBreakRequest(1, 0);
    };
    std::string log = Load("*");
    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_FALSE(FileExists(Part(0)));
    EXPECT_FALSE(FileExists(Disk(1)));
    // The file reached its filemark: it ended as any file does, and then the session.
    EXPECT_TRUE(Has(log, "------ FILEMARK DETECTED-------\n\n[00][TAPE0] -- ------ TERMINATED BY USER-------\n\n"));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "rewind"), 1);
    EXPECT_EQ(result, TapeJobResult::BrokenByUser);
}

// A read that yields nothing replaces nothing: a file of that name from an earlier session
// stays (the report says the tape file was empty).
TEST_F(LoadTest, EmptyTapeFileLeavesAnOldDiskFileOfThatNameAlone)
{
    T().File({}).File({5});
    WriteWholeFile(Disk(0), "old content");
    std::string log = Load("0");
    EXPECT_EQ(ReadWholeFile(Disk(0)), "old content");
    EXPECT_FALSE(FileExists(Part(0)));
    EXPECT_TRUE(Has(log, "********* Blocks successfully read : 0\n"));
    EXPECT_TRUE(Has(log, "********* Bytes successfully read  : 0\n"));
    EXPECT_TRUE(Has(log, "######## Files read \t\t: 0\n"));
}

TEST_F(LoadTest, MissingFoldersAreCreatedAndAnImpossibleOneEndsTheSession)
{
    T().File({64}).File({64});
    Load("*", dir / "new/deeper");
    EXPECT_EQ(ReadWholeFile(dir / "new/deeper/file0001"), T().FileContent(1));

    notify.Clear();
    WriteWholeFile(dir / "blocker", "");
    std::string log = Load("*", dir / "blocker/sub");
    EXPECT_TRUE(Has(log, "[00][TAPE0] -- --//--//-- ERROR --//--//--\n[00][TAPE0] -- Couldn't create file on disk\n"));
    EXPECT_EQ(CountOf(log, "SUMMARY"), 1u);  // the session's: the folder fails before any file
    EXPECT_TRUE(Has(log, "######## Files read \t\t: 0\n"));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

namespace {

// Fails every write once a byte budget is spent, like a disk that fills.
class FillingFiles : public FileSystem {
public:
    explicit FillingFiles(uint64_t budget) : m_nBudget(budget) {}
    std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) override
    {
        auto real = RealFiles().CreateAlways(name, error);
        if (!real)
            return nullptr;
        return std::make_unique<File>(std::move(real), m_nBudget, m_bPartly, m_nWrites);
    }
    bool m_bPartly = false;  // the last write takes what still fits, as a real disk does
    int m_nWrites = 0;
    uint32_t DeleteFile(const std::string& name) override { return RealFiles().DeleteFile(name); }
    uint32_t CreateDirectory(const std::string& name) override { return RealFiles().CreateDirectory(name); }

private:
    struct File : WritableFile {
        File(std::unique_ptr<WritableFile> f, uint64_t& budget, bool partly, int& writes)
            : real(std::move(f)), left(budget), partly(partly), writes(writes) {}
        uint32_t Write(const void* data, uint32_t size, uint32_t& written) override
        {
            ++writes;
            if (size > left) {
                written = 0;
                if (partly && left > 0) {
                    real->Write(data, static_cast<uint32_t>(left), written);
                    left = 0;
                }
                return ERROR_DISK_FULL;
            }
            left -= size;
            return real->Write(data, size, written);
        }
        uint32_t GetSize(uint64_t& size) override { return real->GetSize(size); }
        uint32_t Truncate(uint64_t size) override { return real->Truncate(size); }
        std::unique_ptr<WritableFile> real;
        uint64_t& left;
        bool partly;
        int& writes;
    };
    uint64_t m_nBudget;
};

// Swallows every byte: lets a test move more data than the disk holds.
class NullFiles : public FileSystem {
    struct File : WritableFile {
        uint64_t n = 0;
        uint32_t Write(const void*, uint32_t size, uint32_t& written) override
        {
            n += size;
            written = size;
            return 0;
        }
        uint32_t GetSize(uint64_t& size) override
        {
            size = n;
            return 0;
        }
    };
    std::unique_ptr<WritableFile> CreateAlways(const std::string&, uint32_t& error) override
    {
        error = 0;
        return std::make_unique<File>();
    }
    uint32_t DeleteFile(const std::string&) override { return 0; }
    uint32_t CreateDirectory(const std::string&) override { return 0; }
    uint32_t Rename(const std::string&, const std::string&, bool) override { return 0; }
    bool Exists(const std::string&) override { return false; }
};

} // namespace

TEST_F(LoadTest, DiskThatFillsKeepsThePartialFileAndDoesNotCountTheFailedBlock)
{
    T().File({100, 100, 100, 100}).File({100});
    FillingFiles files(250);
    ScopedFileSystem scope(files);
    std::string log = Load("*");
    EXPECT_EQ(ReadWholeFile(Part(0)), T().FileContent(0).substr(0, 200));
    EXPECT_TRUE(Has(log, "Error writing file on disk.\tDisk full or restricted access?\n"));
    EXPECT_TRUE(Has(log, "********* Blocks successfully read : 2\n"));
    EXPECT_FALSE(FileExists(Disk(1)));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "rewind"), 2);
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(LoadTest, FixedBlockDrive)
{
    T().variable = false;
    T().mediaBlockSize = 512;
    T().File({512, 512}).File({512});
    std::string log = Load("*");
    EXPECT_TRUE(Has(log, "Variable block mode is NOT supported\n\n"));
    EXPECT_TRUE(Has(log, "Media fixed block size is 512\n\n"));
    EXPECT_FALSE(Has(log, "Setting media block size"));
    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
}

TEST_F(LoadTest, SetUpFailuresEndBeforeTheFirstFile)
{
    T().File({5});
    T().setParamsError = ERROR_INVALID_PARAMETER;
    std::string log = Load("*");
    EXPECT_TRUE(Has(log, "--//--//-- ERROR --//--//--\n[00][TAPE0] -- " + SystemMessage(ERROR_INVALID_PARAMETER)));
    EXPECT_FALSE(Has(log, "SUMMARY"));
    EXPECT_TRUE(T().calls.back() == "setblock 0");  // no rewind, no read
    EXPECT_EQ(notify.Count(UM_COUNTERS), 0u);
    EXPECT_EQ(result, TapeJobResult::Failed);

    notify.Clear();
    T().setParamsError = 0;
    PageBuffer::FailAllocationsForTesting(true);
    log = Load("*");
    PageBuffer::FailAllocationsForTesting(false);
    EXPECT_TRUE(Has(log, "[00][TAPE0] -- --//--//-- ERROR --//--//--\n[00][TAPE0] -- Couldn't allocate memory for buffer\n"));
    EXPECT_FALSE(Has(log, "SUMMARY"));
}

TEST_F(LoadTest, BadSelectionAndMissingDeviceTouchNothing)
{
    EXPECT_EQ(Load("1,"), "[00][TAPE0] -- Invalid file selection syntax\n");
    EXPECT_EQ(result, TapeJobResult::BadSelection);
    EXPECT_TRUE(T().calls.empty());

    notify.Clear();
    TapeJobList list;
    TapeJob* job = list.AddJob(dir.path(), "file", "*", 3, &list, &notify, TAPE_JOB_LOAD);
    job->RunLoad();
    EXPECT_EQ(notify.Log(), "[00][TAPE3] -- Can't access specified device\n\n"
                            "[00][TAPE3] -- Reason: not found: 'TAPE3'\n");
    EXPECT_EQ(job->m_nResult, TapeJobResult::Failed);
    list.RemoveJob(job);
}

TEST_F(LoadTest, JobWithoutNotifyWindowRunsSilently)
{
    T().File({10}).File({20});
    TapeJobList list;
    TapeJob* job = list.AddJob(dir.path(), "file", "*", 0, &list, nullptr, TAPE_JOB_LOAD);
    job->RunLoad();
    EXPECT_EQ(job->m_nFilesRead, 2);
    list.RemoveJob(job);
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
}

// A read error used to let the session go on from wherever the tape stood, copying the
// wrong bytes under the next file's name.
TEST_F(LoadTest, ReadErrorEndsTheSessionKeepingTheGoodBlocks)
{
    T().File({50, 50}).Add(FakeTapeState::Item::Record, 50).Add(FakeTapeState::Item::Error, ERROR_CRC)
        .Add(FakeTapeState::Item::Record, 50).Add(FakeTapeState::Item::Mark).File({9});
    std::string log = Load("*");
    std::string p = "[00][TAPE0] -- ";
    EXPECT_TRUE(Has(log, p + "--//--//-- ERROR --//--//--\n" + p + SystemMessage(ERROR_CRC) + p +
                             "Reason: bad data in block 1 of tape file 0001 (both counted from 0)\n" + p + "*****"));
    EXPECT_TRUE(Has(log, "********* Blocks successfully read : 1\n"));
    EXPECT_EQ(ReadWholeFile(Part(1)), T().FileContent(1).substr(0, 50));
    EXPECT_FALSE(FileExists(Disk(1)));  // a failed read leaves a cut copy
    EXPECT_FALSE(FileExists(Disk(2)));
    EXPECT_TRUE(Has(log, "READ SESSION SUMMARY"));
    EXPECT_TRUE(EndsWith(log, "\n\n" + p + "Rewinding\n\n"));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(LoadTest, MoreDataThanTheBufferIsAnErrorNotATruncatedCopy)
{
    T().maxBlockSize = 4096;
    T().File({100, 5000, 100});
    std::string log = Load("0");
    EXPECT_TRUE(Has(log, SystemMessage(ERROR_MORE_DATA) + "[00][TAPE0] -- Reason: a record of 5000 bytes, longer than 4096 bytes, "
                         "the largest block the drive reads; for a tape image give a larger --max-block-size (at most "
                         + std::to_string(kMaxTapeBlockSize) + ")\n"));
    EXPECT_EQ(ReadWholeFile(Part(0)), T().FileContent(0).substr(0, 100));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

// The drive's text used to speak of a multivolume partition; the log now says what the
// record was and where.
TEST_F(LoadTest, RecordOfTheWrongLengthInFixedModeSaysTheBlockSizeAndWhere)
{
    T().variable = false;
    T().mediaBlockSize = 512;
    T().File({512}).Add(FakeTapeState::Item::Record, 512).Add(FakeTapeState::Item::Record, 512)
        .Add(FakeTapeState::Item::Error, ERROR_INVALID_BLOCK_LENGTH);
    std::string log = Load("*");
    const std::string p = "[00][TAPE0] -- ";
    EXPECT_TRUE(Has(log, p + "A block's length differs from the fixed block size the tape is read with.\n" + p +
                             "Reason: a record whose length is not the fixed block size of 512 bytes, in block 2 of "
                             "tape file 0001\n"));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(LoadTest, FailedSpacingOrRewindNeverReadsFromAnUnknownPlace)
{
    T().File({5}).File({6}).File({7});
    T().spaceError = ERROR_IO_DEVICE;
    std::string log = Load("2");
    EXPECT_TRUE(Has(log, "--//--//-- ERROR --//--//--\n[00][TAPE0] -- " + SystemMessage(ERROR_IO_DEVICE)));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "read"), 0);
    EXPECT_TRUE(Has(log, "READ SESSION SUMMARY"));
    EXPECT_EQ(result, TapeJobResult::Failed);

    notify.Clear();
    T().calls.clear();
    T().spaceError = 0;
    T().rewindError = ERROR_NOT_READY;
    log = Load("*");
    EXPECT_TRUE(Has(log, "Rewinding\n\n[00][TAPE0] -- --//--//-- ERROR --//--//--\n[00][TAPE0] -- " +
                             SystemMessage(ERROR_NOT_READY)));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "read"), 0);
    EXPECT_TRUE(Has(log, "######## Files read \t\t: 0\n"));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(LoadTest, AllFilesWalkEndsWhenReadsBringNothing)
{
    T().File({5}).Add(FakeTapeState::Item::EmptyRead);
    std::string log = Load("*");
    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_TRUE(Has(log, "------ NO DATA IN THE LAST 16 FILES, READING STOPPED -------\n\n"));
    EXPECT_EQ(CountOf(log, "Trying read file number"), 17u);
    EXPECT_EQ(result, TapeJobResult::Failed);
}

TEST_F(LoadTest, CountersBeyondFourGigabytesStayExact)
{
    const uint32_t block = 16 * 1024 * 1024;
    T().maxBlockSize = block;
    T().fillData = false;
    std::vector<uint32_t> blocks(300, block);  // 4.69 GiB
    T().File(blocks);
    NullFiles files;
    ScopedFileSystem scope(files);
    uint64_t lastKBytes = 0;
    notify.onCounters = [&](const TapeCounters& c) { lastKBytes = c.nKBytesTotal; };
    std::string log = Load("0");
    EXPECT_EQ(bytesTotal, 300ull * block);
    EXPECT_EQ(lastKBytes, 300ull * block / 1024);
    EXPECT_TRUE(Has(log, "********* Bytes successfully read  : 5033164800   (4.69 Gb)\n"));
    EXPECT_TRUE(Has(log, "######## Bytes  read\t\t: 5033164800  (4.69 Gb)\n"));
    EXPECT_TRUE(Has(log, "######## Blocks read\t\t: 300\n"));
}

namespace {

// Real files whose flushes are recorded, each with the length the log had then, and fail
// for the names in failing (a file's name, or a directory's).
class SyncingFiles : public FileSystem {
public:
    explicit SyncingFiles(const RecordingNotify& notify) : m_notify(notify) {}
    struct Sync {
        std::string name;
        size_t logSize;
    };
    std::vector<Sync> syncs;
    std::set<std::string> failing;

    std::unique_ptr<WritableFile> CreateAlways(const std::string& name, uint32_t& error) override
    {
        auto real = RealFiles().CreateAlways(name, error);
        if (!real)
            return nullptr;
        return std::make_unique<File>(*this, std::move(real), name);
    }
    uint32_t DeleteFile(const std::string& name) override { return RealFiles().DeleteFile(name); }
    uint32_t CreateDirectory(const std::string& name) override { return RealFiles().CreateDirectory(name); }
    uint32_t SyncDirectory(const std::string& name) override { return Record(name, RealFiles().SyncDirectory(name)); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const Sync& s : syncs)
            names.push_back(s.name);
        return names;
    }

private:
    uint32_t Record(const std::string& name, uint32_t realError)
    {
        syncs.push_back({name, m_notify.Log().size()});
        return failing.count(name) ? ERROR_IO_DEVICE : realError;
    }
    struct File : WritableFile {
        File(SyncingFiles& o, std::unique_ptr<WritableFile> f, std::string n) : owner(o), real(std::move(f)), name(n) {}
        uint32_t Write(const void* data, uint32_t size, uint32_t& written) override
        {
            return real->Write(data, size, written);
        }
        uint32_t GetSize(uint64_t& size) override { return real->GetSize(size); }
        uint32_t Sync() override { return owner.Record(name, real->Sync()); }
        SyncingFiles& owner;
        std::unique_ptr<WritableFile> real;
        std::string name;
    };
    const RecordingNotify& m_notify;
};

} // namespace

TEST_F(LoadTest, EveryCopiedFileIsOnDiskBeforeItsSummaryAndItsFolderBeforeTheSessionSummary)
{
    T().File({100, 100}).File({}).File({50});
    SyncingFiles files(notify);
    ScopedFileSystem scope(files);
    std::string log = Load("*");
    // The empty file is deleted, not flushed; the folder follows the last file.
    ASSERT_EQ(files.Names(), (std::vector<std::string>{Part(0), Part(2), dir.path()}));
    for (int i : {0, 1}) {
        const auto& sync = files.syncs[i];
        std::string before = log.substr(0, sync.logSize);
        EXPECT_TRUE(EndsWith(before, "------ FILEMARK DETECTED-------\n\n")) << sync.name;
        EXPECT_FALSE(Has(before, "FILE  " + Disk(i * 2) + " SUMMARY")) << sync.name;
    }
    std::string beforeFolder = log.substr(0, files.syncs[2].logSize);
    EXPECT_TRUE(Has(beforeFolder, "FILE  " + Disk(2) + " SUMMARY"));
    EXPECT_FALSE(Has(beforeFolder, "READ SESSION SUMMARY"));
    EXPECT_EQ(result, TapeJobResult::Completed);

    // Folders made for the files are new names in the folders above them.
    notify.Clear();
    files.syncs.clear();
    Load("0", dir / "new/deeper");
    std::vector<std::string> names = files.Names();
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 4),
              (std::vector<std::string>{dir / "new/deeper/file0000.part", dir / "new/deeper", dir / "new", dir.path()}));
    EXPECT_EQ(names.back(), "/");
    EXPECT_EQ(result, TapeJobResult::Completed);

    // A session that copied nothing has no folder to flush.
    notify.Clear();
    files.syncs.clear();
    Load("1");
    EXPECT_TRUE(files.syncs.empty());
}

TEST_F(LoadTest, FailedFlushOfAFileOrItsFolderIsAWriteFailureNotASuccess)
{
    const std::string p = "[00][TAPE0] -- ";
    const std::string failure = p + "--//--//-- ERROR --//--//--\n" + p +
                                "Error writing file on disk.\tDisk full or restricted access?\n";
    T().File({100, 100, 100}).File({100});
    SyncingFiles files(notify);
    ScopedFileSystem scope(files);

    files.failing = {Part(0)};
    std::string log = Load("*");
    EXPECT_TRUE(Has(log, p + "------ FILEMARK DETECTED-------\n\n" + failure + p + "*****"));
    EXPECT_FALSE(FileExists(Disk(1)));  // the session ends with the file
    EXPECT_TRUE(Has(log, "READ SESSION SUMMARY"));
    EXPECT_EQ(std::count(T().calls.begin(), T().calls.end(), "rewind"), 2);
    EXPECT_EQ(result, TapeJobResult::Failed);

    // A break does not turn the failure into an ordinary stop.
    notify.Clear();
    T().calls.clear();
    notify.onCounters = [&](const TapeCounters& c) {
        if (c.nFileBlocks == 1)
            breakList->SetBreakRequest(1, 1);
    };
    log = Load("*");
    notify.onCounters = nullptr;
    EXPECT_TRUE(Has(log, p + "------ TERMINATED BY USER-------\n\n" + failure));
    EXPECT_EQ(result, TapeJobResult::Failed);

    notify.Clear();
    files.failing = {dir.path()};
    log = Load("*");
    size_t at = log.find(failure);
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(log.rfind("FILE  " + Disk(1) + " SUMMARY"), at);
    EXPECT_LT(at, log.find("READ SESSION SUMMARY"));
    EXPECT_EQ(ReadWholeFile(Disk(1)), T().FileContent(1));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

// A full disk takes part of the block whose write fails; that part is not counted, so it
// must not stay on disk either.
TEST_F(LoadTest, WriteThatFailsPartwayIsCutBackToTheCountedBytes)
{
    T().File({100, 100, 100, 100}).File({100});
    FillingFiles files(250);
    files.m_bPartly = true;
    ScopedFileSystem scope(files);
    std::string log = Load("*");
    EXPECT_TRUE(Has(log, "Error writing file on disk.\tDisk full or restricted access?\n"));
    EXPECT_TRUE(Has(log, "********* Bytes successfully read  : 200\n"));
    EXPECT_EQ(ReadWholeFile(Part(0)), T().FileContent(0).substr(0, 200));
    EXPECT_FALSE(FileExists(Disk(0)));  // cut short: it keeps the name of a cut copy
    EXPECT_EQ(result, TapeJobResult::Failed);
}

// Small records are staged: a thousand of them reach the disk in a few writes, and a large
// record among them lands in place, byte for byte.
TEST_F(LoadTest, SmallRecordsGoToTheDiskAChunkAtATime)
{
    T().maxBlockSize = 1u << 20;
    std::vector<uint32_t> sizes(1100, 4096);
    sizes[900] = 1u << 20;  // past the chunk's nominal end: the room for one largest block
    T().File(sizes).File({5});
    FillingFiles files(UINT64_MAX);
    ScopedFileSystem scope(files);
    Load("0");
    EXPECT_EQ(ReadWholeFile(Disk(0)), T().FileContent(0));
    EXPECT_LE(files.m_nWrites, 8);  // a write a chunk, not one of the 1100 a block
    EXPECT_EQ(result, TapeJobResult::Completed);
}

// The same through the real file code: a file size limit makes write() stop partway and then
// fail with EFBIG, as a filling disk does.
TEST_F(LoadTest, RealFileCutBackAfterTheFileSizeLimit)
{
    T().File({100, 100, 100, 100}).File({100});
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 250;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::string log = Load("*");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(Has(log, "Error writing file on disk.\tDisk full or restricted access?\n"));
    EXPECT_TRUE(Has(log, "********* Blocks successfully read : 2\n"));
    EXPECT_EQ(ReadWholeFile(Part(0)), T().FileContent(0).substr(0, 200));
    EXPECT_EQ(result, TapeJobResult::Failed);
}

// A link at a target name used to be written through: its target, outside the folder, got
// the tape's data. The link is replaced by the file; the target stays as it was.
TEST_F(LoadTest, SymbolicLinksAtTargetNamesAreReplacedNeverWrittenThrough)
{
    T().File({10}).File({20}).File({});
    TempDir outside;
    WriteWholeFile(outside / "victim", "victim");
    WriteWholeFile(outside / "victim2", "victim2");
    WriteWholeFile(outside / "victim3", "victim3");
    std::filesystem::create_symlink(outside / "victim", Disk(0));
    std::filesystem::create_symlink(outside / "victim2", Part(1));
    std::filesystem::create_symlink(outside / "victim3", Disk(2));  // an empty tape file's name: left alone
    std::filesystem::create_symlink(outside / "absent", Disk(1));   // dangling: nothing is made there
    std::string log = Load("*");
    EXPECT_EQ(result, TapeJobResult::Completed);
    EXPECT_EQ(ReadWholeFile(outside / "victim"), "victim");
    EXPECT_EQ(ReadWholeFile(outside / "victim2"), "victim2");
    EXPECT_EQ(ReadWholeFile(outside / "victim3"), "victim3");
    EXPECT_FALSE(FileExists(outside / "absent"));
    for (int f : {0, 1}) {
        EXPECT_FALSE(std::filesystem::is_symlink(Disk(f))) << f;
        EXPECT_EQ(ReadWholeFile(Disk(f)), T().FileContent(f)) << f;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Part(f)))) << f;
    }
    EXPECT_TRUE(std::filesystem::is_symlink(Disk(2)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Part(2))));
}

// A file cut off (a signal, a crash, a break) must not carry the name of a complete one: it
// is NAME.part until its summary is written, and NAME from then on only when it is whole.
TEST_F(LoadTest, FilesAreWrittenUnderAPartNameUntilTheirSummary)
{
    T().File({100, 100}).File({100, 100, 100}).File({5});
    WriteWholeFile(Disk(1), "an older copy");
    std::vector<std::string> seen;
    int firstBlocks = 0;
    notify.onCounters = [&](const TapeCounters& c) {
        if (c.nFileBlocks == 1 && c.bFinal == 0) {
            seen.push_back(std::string(FileExists(Part(0)) ? "part0 " : "") + (FileExists(Disk(0)) ? "file0 " : "") +
                           (FileExists(Part(1)) ? "part1 " : "") + ReadWholeFile(Disk(1)).substr(0, 8));
            if (++firstBlocks == 2)
                breakList->SetBreakRequest(1, 1);  // a break in the middle of file 1
        }
    };
    notify.onLog = [&](const std::string& text) {
        if (Has(text, " SUMMARY\t\n"))
            seen.push_back(Has(text, Disk(0)) ? std::string(FileExists(Disk(0)) && !FileExists(Part(0)) ? "named0" : "")
                                              : std::string(FileExists(Disk(1)) && !FileExists(Part(1)) ? "named1" : ""));
    };
    std::string log = Load("*");
    // A block read is staged with the next ones: nothing of the file is on the disk yet, and
    // whatever is there by its name stays until the whole file takes it.
    EXPECT_EQ(seen, (std::vector<std::string>{"an older", "named0", "file0 an older", ""}));
    EXPECT_TRUE(Has(log, "------ TERMINATED BY USER-------\n\n"));
    EXPECT_EQ(ReadWholeFile(Part(1)), T().FileContent(1).substr(0, 100));
    EXPECT_EQ(ReadWholeFile(Disk(1)), "an older copy");  // the cut copy replaced nothing
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 3);
}

// The all-files walk reads once past the last tape file to find the end of the data. That
// read used to make BASE<n+1> and delete it as empty: a user's file of that name was lost.
TEST_F(LoadTest, ReadPastTheLastTapeFileLeavesAnExistingFileOfThatNameAlone)
{
    T().File({5}).File({6});
    WriteWholeFile(Disk(2), "the user's own");
    std::string log = Load("*");
    EXPECT_EQ(ReadWholeFile(Disk(2)), "the user's own");
    // The texts stay those of a file made and deleted.
    EXPECT_TRUE(Has(log, "FILE  " + Disk(2) + " SUMMARY\t\n[00][TAPE0] -- ********* Blocks successfully read : 0\n"));
    EXPECT_EQ(CountOf(log, "********* No data in file. File deleted.\n"), 1u);
    EXPECT_TRUE(Has(log, "######## Files read \t\t: 2\n"));
    EXPECT_EQ(result, TapeJobResult::Completed);
    EXPECT_FALSE(FileExists(Part(2)));

    // The end of the medium is the end of the data too; the probe also makes no directory.
    notify.Clear();
    T().items.clear();
    T().File({5}).Add(FakeTapeState::Item::Error, ERROR_END_OF_MEDIA);
    Load("*", dir / "fresh");
    EXPECT_EQ(ReadWholeFile(dir / "fresh/file0000"), T().FileContent(0));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "fresh"), {}), 1);
}

// With "never overwrite" a taken name refuses the session before the tape is read: nothing
// is written, not even a report. With "*" the tape's length is not known beforehand, so any
// file of the base counts.
TEST_F(LoadTest, NoClobberRefusesATakenNameBeforeWritingAnything)
{
    T().File({5}).File({6}).File({7});
    WriteWholeFile(Disk(1), "keep me");
    WriteWholeFile(Disk(3), "past the end");
    jobs = std::make_unique<TapeJobList>();
    TapeJob* job = jobs->AddJob(dir.path(), "file", "*", 0, jobs.get(), &notify, TAPE_JOB_LOAD);
    job->m_loadOptions.noClobber = true;
    job->RunLoad();
    std::string log = notify.Log();
    const std::string p = "[00][TAPE0] -- ";
    EXPECT_TRUE(Has(log, p + "--//--//-- ERROR --//--//--\n" + p + "Couldn't create file on disk\n" + p +
                             "Reason: the name exists already and files are never overwritten: '"));
    EXPECT_FALSE(FileExists(Disk(0)));
    EXPECT_EQ(ReadWholeFile(Disk(1)), "keep me");
    EXPECT_FALSE(FileExists(Part(1)));
    EXPECT_FALSE(FileExists(Disk(2)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    EXPECT_TRUE(T().calls.empty() || std::count(T().calls.begin(), T().calls.end(), "read") == 0);
    EXPECT_EQ(job->m_nFilesRead, 0);
    EXPECT_EQ(job->m_nResult, TapeJobResult::Failed);
    jobs->RemoveJob(job);

    // A selection names its files: one outside it is no conflict.
    notify.Clear();
    T().items.clear();
    T().File({5});
    jobs = std::make_unique<TapeJobList>();
    job = jobs->AddJob(dir / "other", "file", "0", 0, jobs.get(), &notify, TAPE_JOB_LOAD);
    job->m_loadOptions.noClobber = true;
    std::filesystem::create_directory(dir / "other");
    WriteWholeFile(dir / "other/file0001", "past the end");
    job->RunLoad();
    EXPECT_EQ(job->m_nResult, TapeJobResult::Completed);
    EXPECT_EQ(ReadWholeFile(dir / "other/file0001"), "past the end");
    EXPECT_EQ(ReadWholeFile(dir / "other/file0000"), T().FileContent(0));
    jobs->RemoveJob(job);
}

TEST_F(LoadTest, AFileThatCannotBeMadeSaysWhyAndWhere)
{
    T().File({5});
    const std::string p = "[00][TAPE0] -- ";
    WriteWholeFile(dir / "blocker", "");
    std::string log = Load("*", dir / "blocker/sub");
    // The folder that cannot be made is named, with its own cause.
    EXPECT_TRUE(Has(log, p + "Couldn't create file on disk\n" + p + "Reason: not a directory (a part of the path is a file): '" +
                             dir.path() + "/blocker/sub'\n"));

    notify.Clear();
    std::filesystem::create_directory(Part(0));
    log = Load("*");
    EXPECT_TRUE(Has(log, p + "Couldn't create file on disk\n" + p + "Reason: is a directory: '" + Part(0) + "'\n"));

    notify.Clear();
    jobs = std::make_unique<TapeJobList>();
    TapeJob* job = jobs->AddJob(dir.path(), std::string(300, 'n'), "*", 0, jobs.get(), &notify, TAPE_JOB_LOAD);
    job->RunLoad();
    EXPECT_TRUE(Has(notify.Log(), p + "Reason: name too long: '"));
    jobs->RemoveJob(job);
}

TEST(ByteFigure, ThresholdsAreAThousandTimesAPowerOf1024)
{
    const char* h = "n: ";
    EXPECT_EQ(ByteFigure(h, "  ", 999), "n: 999\n");
    EXPECT_EQ(ByteFigure(h, "  ", 1000), "n: 1000  (0.98 Kb)\n");
    EXPECT_EQ(ByteFigure(h, "  ", 1023999), "n: 1023999  (1000.00 Kb)\n");
    EXPECT_EQ(ByteFigure(h, "  ", 1024000), "n: 1024000  (0.98 Mb)\n");
    EXPECT_EQ(ByteFigure(h, "   ", 1048576000), "n: 1048576000   (0.98 Gb)\n");
    EXPECT_EQ(ByteFigure(h, " ", 5ull << 40), "n: 5497558138880 (5120.00 Gb)\n");  // Gb stays the top unit
}
