// The run-time loader: modules by name, entry points by name, reference counting.
#include "aspi/LibraryLoader.h"
#include "platform/Errors.h"

#include <gtest/gtest.h>

namespace {

int Seven() { return 7; }

struct LoaderTest : ::testing::Test {
    void TearDown() override { LibraryLoader::UnregisterModule("TESTLIB"); }
};

TEST_F(LoaderTest, UnknownLibraryIsNotFound)
{
    uint32_t error = 0;
    EXPECT_EQ(LibraryLoader::LoadLibrary("NOSUCHLIB", error), 0u);
    EXPECT_EQ(error, ERROR_DLL_NOT_FOUND);
}

TEST_F(LoaderTest, EntryPointsByNameAndCaseInsensitiveModuleNames)
{
    LibraryLoader::ModuleDefinition module;
    module.entryPoints["Seven"] = LibraryLoader::Entry(&Seven);
    LibraryLoader::RegisterModule("TestLib", module);

    uint32_t error = 99;
    auto handle = LibraryLoader::LoadLibrary("testlib", error);
    ASSERT_NE(handle, 0u);
    EXPECT_EQ(error, ERROR_SUCCESS);
    auto seven = reinterpret_cast<int (*)()>(LibraryLoader::GetProcAddress(handle, "Seven"));
    ASSERT_NE(seven, nullptr);
    EXPECT_EQ(seven(), 7);
    EXPECT_EQ(LibraryLoader::GetProcAddress(handle, "seven"), nullptr) << "entry points are case-sensitive";
    EXPECT_EQ(LibraryLoader::GetProcAddress(handle, "Eight"), nullptr);
    EXPECT_TRUE(LibraryLoader::FreeLibrary(handle));
    EXPECT_FALSE(LibraryLoader::FreeLibrary(handle));
    EXPECT_EQ(LibraryLoader::GetProcAddress(handle, "Seven"), nullptr) << "freed handles resolve nothing";
}

TEST_F(LoaderTest, AttachErrorFailsTheLoadAndDetachRunsWithTheLastFree)
{
    int attaches = 0;
    int detaches = 0;
    uint32_t attachError = 193;
    LibraryLoader::ModuleDefinition module;
    module.attach = [&] { ++attaches; return attachError; };
    module.detach = [&] { ++detaches; };
    LibraryLoader::RegisterModule("TESTLIB", module);

    uint32_t error = 0;
    EXPECT_EQ(LibraryLoader::LoadLibrary("TESTLIB", error), 0u);
    EXPECT_EQ(error, 193u);
    EXPECT_EQ(detaches, 0);

    attachError = 0;
    auto first = LibraryLoader::LoadLibrary("TESTLIB", error);
    auto second = LibraryLoader::LoadLibrary("TESTLIB", error);
    EXPECT_EQ(first, second);
    EXPECT_EQ(attaches, 2);
    LibraryLoader::FreeLibrary(first);
    EXPECT_EQ(detaches, 0);
    LibraryLoader::FreeLibrary(second);
    EXPECT_EQ(detaches, 1);
}

TEST_F(LoaderTest, ReplacingALoadedModuleKeepsTheOldOneUntilFreed)
{
    LibraryLoader::ModuleDefinition old;
    old.entryPoints["Seven"] = LibraryLoader::Entry(&Seven);
    LibraryLoader::RegisterModule("TESTLIB", old);
    uint32_t error = 0;
    auto handle = LibraryLoader::LoadLibrary("TESTLIB", error);
    LibraryLoader::RegisterModule("TESTLIB", LibraryLoader::ModuleDefinition{});
    EXPECT_NE(LibraryLoader::GetProcAddress(handle, "Seven"), nullptr);
    LibraryLoader::FreeLibrary(handle);
    handle = LibraryLoader::LoadLibrary("TESTLIB", error);
    EXPECT_EQ(LibraryLoader::GetProcAddress(handle, "Seven"), nullptr);
    LibraryLoader::FreeLibrary(handle);
}

} // namespace
