// load --bag: the folder becomes a BagIt bag that an outside checker (check-bag.sh, the
// plain tools only) accepts, and one that a changed byte, a refused folder or an unfinished
// session never passes for.
#include "tests/cli/ChildProcess.h"
#include "tests/common/TestSupport.h"

#include "platform/SimhTapeWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sys/wait.h>

namespace {

int CheckBag(const std::string& folder)
{
    const std::string command = "bash '" KV_CHECK_BAG "' '" + folder + "' 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::set<std::string> Names(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        names.insert(std::filesystem::relative(entry.path(), folder).string());
    return names;
}

class CliBag : public testing::Test {
protected:
    void SetUp() override
    {
        // A file of two records, an empty one (deleted, so no payload), one of odd sizes.
        std::string error;
        ASSERT_TRUE(WriteTapeImage(m_image, {{std::string(5000, 'a'), "tail"}, {}, {"x", std::string(777, 'y')}},
                                   error))
            << error;
    }
    TempDir m_dir;
    std::string m_image = m_dir / "t.tap";
};

} // namespace

TEST_F(CliBag, ACompletedLoadIsABagThatValidatesUntilOneByteChanges)
{
    const std::string bag = m_dir / "bag";
    RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", bag, "--bag"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("The folder is a complete bag: '" + bag + "' (2 files, 5782 bytes)"), std::string::npos)
        << r.out;
    const std::set<std::string> expected = {"bagit.txt", "bag-info.txt", "manifest-sha256.txt", "manifest-sha512.txt",
                                            "tagmanifest-sha256.txt", "tagmanifest-sha512.txt", "file.sha256",
                                            "file.json", "file.log", "file.map.json", "file.map.svg", "data",
                                            "data/file0000", "data/file0002"};
    EXPECT_EQ(Names(bag), expected);
    // The map is a tag file like the report.
    EXPECT_NE(ReadWholeFile(bag + "/tagmanifest-sha256.txt").find("  file.map.svg\n"), std::string::npos);
    EXPECT_EQ(ReadWholeFile(bag + "/data/file0002"), "x" + std::string(777, 'y'));
    EXPECT_EQ(CheckBag(bag), 0);

    const std::string info = ReadWholeFile(bag + "/bag-info.txt");
    EXPECT_NE(info.find("Payload-Oxum: 5782.2\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Bag-Software-Agent: kellovaran "), std::string::npos) << info;
    EXPECT_NE(info.find("External-Description: Files of the tape in "), std::string::npos) << info;
    EXPECT_NE(info.find("t.tap"), std::string::npos) << info;
    // The session's own files are tag files, their checksums in both tag manifests; the
    // checksum file names the files where they are, so sha256sum -c still works in the bag.
    for (const char* tag : {"tagmanifest-sha256.txt", "tagmanifest-sha512.txt"})
        for (const char* name : {"  file.json\n", "  file.sha256\n", "  file.log\n", "  bagit.txt\n",
                                 "  manifest-sha512.txt\n", "  bag-info.txt\n"})
            EXPECT_NE(ReadWholeFile(bag + "/" + tag).find(name), std::string::npos) << tag << name;
    EXPECT_EQ(std::system(("cd '" + bag + "' && sha256sum --quiet -c file.sha256").c_str()), 0);
    EXPECT_NE(ReadWholeFile(bag + "/file.log").find("READ SESSION SUMMARY"), std::string::npos);
    EXPECT_NE(ReadWholeFile(bag + "/file.json").find("\"disk_file\": \"data/file0002\""), std::string::npos);

    // One byte of a payload file changed: the bag no longer validates.
    std::string content = ReadWholeFile(bag + "/data/file0002");
    content[300] ^= 1;
    WriteWholeFile(bag + "/data/file0002", content);
    EXPECT_EQ(CheckBag(bag), 1);
    content[300] ^= 1;
    WriteWholeFile(bag + "/data/file0002", content);
    ASSERT_EQ(CheckBag(bag), 0);
    // A file slipped into the payload does not pass either.
    WriteWholeFile(bag + "/data/extra", "");
    EXPECT_EQ(CheckBag(bag), 1);
}

TEST_F(CliBag, AFolderThatHoldsAnythingIsRefusedAndNothingIsWritten)
{
    const std::string bag = m_dir / "bag";
    std::filesystem::create_directories(bag);
    WriteWholeFile(bag + "/notes.txt", "mine");
    RunResult r = RunCli({"load", "--tape-image", m_image, "--dir", bag, "--bag"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("The folder cannot be made a bag"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("holds 'notes.txt'"), std::string::npos) << r.out;
    EXPECT_EQ(Names(bag), std::set<std::string>{"notes.txt"});
    EXPECT_EQ(ReadWholeFile(bag + "/notes.txt"), "mine");

    // Options that cannot make a bag are usage errors, before anything is touched.
    EXPECT_EQ(RunCli({"load", "--tape-image", m_image, "--dir", m_dir / "b2", "--bag", "--no-report"}).status, 2);
    EXPECT_EQ(RunCli({"load", "--tape-image", m_image, "--dir", m_dir / "b2", "--bag", "--base", "sub/x"}).status, 2);
    EXPECT_FALSE(FileExists(m_dir / "b2"));
}

TEST_F(CliBag, ASessionThatDoesNotCompleteLeavesNoBag)
{
    // The selection names a file the tape does not have; a damaged tape stops the other.
    SimhTapeWriter tape;
    ASSERT_TRUE(tape.Open(m_dir / "bad.tap"));
    tape.WriteRecord("good");
    tape.WriteBadRecord("unreadable");
    tape.WriteTapemark();
    tape.WriteEndOfMedium();
    ASSERT_TRUE(tape.Close());
    const std::vector<std::pair<std::string, std::string>> runs = {{m_image, "0,2,7"}, {m_dir / "bad.tap", "*"}};
    for (const auto& [image, selection] : runs) {
        const std::string bag = m_dir / ("bag" + selection);
        RunResult r = RunCli({"load", "--tape-image", image, "--dir", bag, "--select", selection, "--bag"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("The folder is not made a bag: the session did not complete"), std::string::npos) << r.out;
        for (const char* name : {"bagit.txt", "manifest-sha256.txt", "manifest-sha512.txt", "tagmanifest-sha256.txt",
                                 "manifest-sha256.txt.tmp", "bag-info.txt"})
            EXPECT_FALSE(FileExists(bag + "/" + name)) << name;
        EXPECT_TRUE(FileExists(bag + "/file.json"));  // the report and log of what happened stay
        EXPECT_TRUE(FileExists(bag + "/file.log"));
        EXPECT_TRUE(FileExists(bag + "/data/file0000") || FileExists(bag + "/data/file0000.part"));
        EXPECT_EQ(CheckBag(bag), 1);
    }
}
