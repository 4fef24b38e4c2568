// The smaller platform services: disk files, page buffers, error texts and the device
// namespace that maps TAPEn to a backend.
#include "platform/DeviceNamespace.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/PageBuffer.h"
#include "platform/Sha256.h"
#include "platform/SimhTapeWriter.h"
#include "tests/common/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

// --- Files --------------------------------------------------------------------------------

TEST(FilesTest, CreateWriteSizeDelete)
{
    TempDir dir;
    const std::string name = dir / "out.bin";
    WriteWholeFile(name, "old content that must go");
    uint32_t error = 99;
    auto file = RealFiles().CreateAlways(name, error);
    ASSERT_TRUE(file);
    EXPECT_EQ(error, ERROR_SUCCESS);
    uint64_t size = 99;
    ASSERT_EQ(file->GetSize(size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);  // truncated
    uint32_t written = 0;
    ASSERT_EQ(file->Write("hello", 5, written), ERROR_SUCCESS);
    EXPECT_EQ(written, 5u);
    ASSERT_EQ(file->Write("", 0, written), ERROR_SUCCESS);
    ASSERT_EQ(file->GetSize(size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    file.reset();
    EXPECT_EQ(ReadWholeFile(name), "hello");

    EXPECT_EQ(RealFiles().DeleteFile(name), ERROR_SUCCESS);
    EXPECT_FALSE(FileExists(name));
    EXPECT_NE(RealFiles().DeleteFile(name), ERROR_SUCCESS);
}

TEST(FilesTest, CreateInMissingDirectoryIsPathNotFound)
{
    TempDir dir;
    uint32_t error = 0;
    EXPECT_FALSE(RealFiles().CreateAlways(dir / "missing/out.bin", error));
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
}

TEST(FilesTest, CreateDirectoryOneLevel)
{
    TempDir dir;
    EXPECT_EQ(RealFiles().CreateDirectory(dir / "a"), ERROR_SUCCESS);
    EXPECT_EQ(RealFiles().CreateDirectory(dir / "a"), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RealFiles().CreateDirectory(dir / "x/y"), ERROR_PATH_NOT_FOUND);
    WriteWholeFile(dir / "file", "");
    EXPECT_EQ(RealFiles().CreateDirectory(dir / "file"), ERROR_ALREADY_EXISTS);
}

TEST(FilesTest, WriteToFullDiskFails)
{
    if (!FileExists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    uint32_t error = 0;
    auto file = RealFiles().CreateAlways("/dev/full", error);
    ASSERT_TRUE(file) << error;
    uint32_t written = 0;
    EXPECT_EQ(file->Write("data", 4, written), ERROR_DISK_FULL);
    EXPECT_EQ(written, 0u);
}

TEST(FilesTest, ScopedFileSystemStandsInAndRestores)
{
    struct NoFiles final : FileSystem {
        std::unique_ptr<WritableFile> CreateAlways(const std::string&, uint32_t& error) override
        {
            error = ERROR_WRITE_PROTECT;
            return nullptr;
        }
        uint32_t DeleteFile(const std::string&) override { return ERROR_WRITE_PROTECT; }
        uint32_t CreateDirectory(const std::string&) override { return ERROR_WRITE_PROTECT; }
    } fake;
    EXPECT_EQ(&Files(), &RealFiles());
    {
        ScopedFileSystem scope(fake);
        EXPECT_EQ(&Files(), &fake);
        EXPECT_EQ(Files().DeleteFile("x"), ERROR_WRITE_PROTECT);
    }
    EXPECT_EQ(&Files(), &RealFiles());
}

// --- PageBuffer ---------------------------------------------------------------------------

TEST(PageBufferTest, PageAlignedWritableAndReleasedOnce)
{
    const size_t live = PageBuffer::LiveBuffers();
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    PageBuffer buffer = PageBuffer::Allocate(3 * page + 1);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data()) % page, 0u);
    EXPECT_EQ(buffer.size(), 3 * page + 1);
    std::memset(buffer.data(), 0x5A, buffer.size());  // committed: every byte writable
    EXPECT_EQ(PageBuffer::LiveBuffers(), live + 1);

    buffer.Release();
    EXPECT_FALSE(buffer);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(PageBuffer::LiveBuffers(), live);
    buffer.Release();  // the second release does nothing
    EXPECT_EQ(PageBuffer::LiveBuffers(), live);
}

TEST(PageBufferTest, MovesHandOverOwnership)
{
    const size_t live = PageBuffer::LiveBuffers();
    {
        PageBuffer a = PageBuffer::Allocate(4096);
        void* p = a.data();
        PageBuffer b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.data(), p);
        EXPECT_EQ(PageBuffer::LiveBuffers(), live + 1);

        PageBuffer c = PageBuffer::Allocate(8192);
        EXPECT_EQ(PageBuffer::LiveBuffers(), live + 2);
        c = std::move(b);  // c's own buffer is released
        EXPECT_EQ(c.data(), p);
        EXPECT_EQ(PageBuffer::LiveBuffers(), live + 1);
        c = std::move(c);
        EXPECT_EQ(c.data(), p);
    }
    EXPECT_EQ(PageBuffer::LiveBuffers(), live);
}

TEST(PageBufferTest, FailedAndEmptyAllocations)
{
    const size_t live = PageBuffer::LiveBuffers();
    EXPECT_FALSE(PageBuffer::Allocate(0));
    PageBuffer::FailAllocationsForTesting(true);
    EXPECT_FALSE(PageBuffer::Allocate(4096));
    PageBuffer::FailAllocationsForTesting(false);
    EXPECT_TRUE(PageBuffer::Allocate(4096));
    EXPECT_EQ(PageBuffer::LiveBuffers(), live);
}

// --- error texts --------------------------------------------------------------------------

// Every code Errors.h declares, read from the header itself so that a code added later
// without a text is caught here.
std::vector<std::pair<std::string, uint32_t>> DeclaredErrorCodes()
{
    std::ifstream in(std::string(KV_SOURCE_DIR) + "/platform/Errors.h");
    std::vector<std::pair<std::string, uint32_t>> codes;
    const std::string prefix = "inline constexpr uint32_t ";
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(prefix, 0) != 0)
            continue;
        std::istringstream declaration(line.substr(prefix.size()));
        std::string name, equals, value;
        declaration >> name >> equals >> value;  // NAME = VALUE;
        if (name.rfind("ERROR_", 0) == 0 && equals == "=")
            codes.emplace_back(name, static_cast<uint32_t>(std::stoul(value, nullptr, 0)));
    }
    return codes;
}

TEST(SystemMessageTest, EveryDeclaredCodeHasItsOwnLine)
{
    const auto codes = DeclaredErrorCodes();
    ASSERT_GE(codes.size(), 39u);  // the header's codes were found
    EXPECT_EQ(codes.back().first, "ERROR_TAPE_IMAGE_UNREADABLE");
    for (const auto& [name, code] : codes) {
        const std::string text = SystemMessage(code);
        ASSERT_GE(text.size(), 2u) << name;
        EXPECT_EQ(text.back(), '\n') << name;
        EXPECT_EQ(text.find('\n'), text.size() - 1) << name << ": one line";
        EXPECT_EQ(text.find("Unknown error"), std::string::npos) << name << " has no text";
    }
}

TEST(SystemMessageTest, UnknownCodesStillGetALine)
{
    for (uint32_t code : {9999u, 0xFFFFFFFFu, 0x20000099u}) {
        const std::string text = SystemMessage(code);
        EXPECT_NE(text.find(std::to_string(code)), std::string::npos) << text;
        EXPECT_EQ(text.back(), '\n');
    }
}

TEST(SystemMessageTest, ErrnoMapping)
{
    EXPECT_EQ(ErrorFromErrno(0), ERROR_SUCCESS);
    EXPECT_EQ(ErrorFromErrno(ENOENT), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(ErrorFromErrno(EACCES), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ErrorFromErrno(EEXIST), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ErrorFromErrno(ENOSPC), ERROR_DISK_FULL);
    EXPECT_NE(ErrorFromErrno(12345), ERROR_SUCCESS);
}

// --- device namespace ---------------------------------------------------------------------

class DeviceNamespaceTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        DeviceNamespace::SetTapeImages({});
        DeviceNamespace::SetRealDriveOpener({});
        DeviceNamespace::SetOpenerForTesting({});
    }

    std::string Image(const std::string& name, const std::string& content)
    {
        std::string error;
        EXPECT_TRUE(WriteTapeImage(m_dir / name, {{content}}, error)) << error;
        return m_dir / name;
    }

    static std::string FirstRecord(TapeDevice& drive, uint32_t size = 64)
    {
        char buffer[64];
        uint32_t n = 0;
        EXPECT_EQ(drive.Read(buffer, size, n), ERROR_SUCCESS);
        return std::string(buffer, n);
    }

    TempDir m_dir;
};

TEST_F(DeviceNamespaceTest, ImagesAreTapeZeroOnwardsInOrder)
{
    VirtualDriveOptions options;
    options.fixedBlockSize = 6;
    DeviceNamespace::SetTapeImages({Image("a.tap", "image0"), Image("b.tap", "image1")}, options);
    EXPECT_EQ(DeviceNamespace::TapeImages().size(), 2u);
    EXPECT_EQ(DeviceNamespace::ImageOptions().fixedBlockSize, 6u);

    uint32_t error = 99;
    auto tape1 = DeviceNamespace::OpenTape(1, error);
    ASSERT_TRUE(tape1) << error;
    EXPECT_EQ(FirstRecord(*tape1, 6), "image1");
    auto tape0 = DeviceNamespace::OpenTape(0, error);
    ASSERT_TRUE(tape0) << error;
    TAPE_GET_DRIVE_PARAMETERS params;
    ASSERT_EQ(tape0->GetDriveParameters(params), ERROR_SUCCESS);
    EXPECT_EQ(params.MaximumBlockSize, 6u);  // the options reach the drive
    EXPECT_EQ(FirstRecord(*tape0, 6), "image0");

    EXPECT_FALSE(DeviceNamespace::OpenTape(0, error));  // still open
    EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
}

TEST_F(DeviceNamespaceTest, IndexOutsideTheImagesFails)
{
    DeviceNamespace::SetTapeImages({Image("a.tap", "image0")});
    for (int index : {1, 2, -1}) {
        uint32_t error = ERROR_SUCCESS;
        EXPECT_FALSE(DeviceNamespace::OpenTape(index, error)) << index;
        EXPECT_NE(error, ERROR_SUCCESS) << index;
    }
}

TEST_F(DeviceNamespaceTest, MissingImageFileFails)
{
    DeviceNamespace::SetTapeImages({m_dir / "gone.tap"});
    uint32_t error = ERROR_SUCCESS;
    EXPECT_FALSE(DeviceNamespace::OpenTape(0, error));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceNamespaceTest, NoImagesAndNoRealDrivesIsBadUnit)
{
    DeviceNamespace::SetTapeImages({});
    DeviceNamespace::SetRealDriveOpener({});
    uint32_t error = ERROR_SUCCESS;
    EXPECT_FALSE(DeviceNamespace::OpenTape(0, error));
    EXPECT_EQ(error, ERROR_BAD_UNIT);
}

TEST_F(DeviceNamespaceTest, RealDriveOpenerServesWhenNoImagesAreGiven)
{
    int asked = -1;
    DeviceNamespace::SetRealDriveOpener([&](int index, uint32_t& error) -> TapeDevicePtr {
        asked = index;
        error = ERROR_NOT_READY;
        return nullptr;
    });
    uint32_t error = ERROR_SUCCESS;
    EXPECT_FALSE(DeviceNamespace::OpenTape(3, error));
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(error, ERROR_NOT_READY);

    // Images, once given, take precedence over the real drives.
    DeviceNamespace::SetTapeImages({Image("a.tap", "image0")});
    asked = -1;
    auto tape = DeviceNamespace::OpenTape(0, error);
    ASSERT_TRUE(tape) << error;
    EXPECT_EQ(asked, -1);
}

TEST_F(DeviceNamespaceTest, TestOpenerStandsInForEveryDevice)
{
    DeviceNamespace::SetTapeImages({Image("a.tap", "image0")});
    DeviceNamespace::SetOpenerForTesting([](int, uint32_t& error) -> TapeDevicePtr {
        error = ERROR_DEVICE_NOT_CONNECTED;
        return nullptr;
    });
    uint32_t error = ERROR_SUCCESS;
    EXPECT_FALSE(DeviceNamespace::OpenTape(0, error));
    EXPECT_EQ(error, ERROR_DEVICE_NOT_CONNECTED);
    DeviceNamespace::SetOpenerForTesting({});
    EXPECT_TRUE(DeviceNamespace::OpenTape(0, error));
}

TEST_F(DeviceNamespaceTest, DeviceNames)
{
    EXPECT_EQ(DeviceNamespace::DeviceName(0), "\\\\.\\TAPE0");
    EXPECT_EQ(DeviceNamespace::DeviceName(12), "\\\\.\\TAPE12");
}

} // namespace

TEST(Sha256Test, KnownDigestsAndBlocksInAnyCutGiveTheWholeDigest)
{
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 13);
    const std::string whole = Sha256Hex(data.data(), data.size());
    Sha256 hash;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1)
        hash.Update(data.data() + at, std::min(step, data.size() - at));
    EXPECT_EQ(hash.Final(), whole);
    // Final starts a new digest.
    hash.Update("abc", 3);
    EXPECT_EQ(hash.Final(), Sha256Hex("abc", 3));
}
