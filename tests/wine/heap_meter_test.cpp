// The heap meter of the working-memory benchmark (heap_meter.h): what it
// patches in the real DLL's import table, how it counts each kind of call,
// and that Detach leaves the DLL's calls uncounted again.
#include <gtest/gtest.h>

#include "archive_fixture.h"
#include "heap_meter.h"

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/test_content.h"

using namespace testing_plugin;

namespace {

class HeapMeterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = ReadSettings();
        Reload(plugin, 0, 0);
        ASSERT_NE(plugin.module, nullptr);
        patched = heap_meter::Attach(plugin.module);
    }
    void TearDown() override
    {
        heap_meter::Detach();
        if (plugin.module) FreeLibrary(plugin.module);
        RestoreSettings(saved);
        if (!archive.empty()) DeleteFileA(archive.c_str());
    }

    // Three entries under kind-and-size heads, probed.
    std::string SmallArchive()
    {
        test_archive::Options options;
        options.layout = test_archive::Layout::KindSize;
        archive = WriteArchive("heap-meter.dat",
                               test_archive::BuildArchive({test_archive::Compressed(test_content::Bitmap(300, 1)),
                                                     test_archive::Plain(test_content::Text(500)),
                                                     test_archive::Compressed(test_content::Text(2000, 2))},
                                                    options));
        EXPECT_EQ(Probe(plugin, archive), 1);
        return archive;
    }

    SavedSettings saved;
    Exports plugin;
    std::vector<std::string> patched;
    std::string archive;
};

bool Has(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(HeapMeterTest, PatchesTheAllocationImportsOfTheDll)
{
    EXPECT_TRUE(Has(patched, "msvcrt.dll!malloc"));
    EXPECT_TRUE(Has(patched, "msvcrt.dll!free"));
    EXPECT_TRUE(Has(patched, "kernel32.dll!LocalAlloc"));
    EXPECT_TRUE(Has(patched, "kernel32.dll!LocalFree"));
    // A second meter on the same module would count every call twice.
    EXPECT_TRUE(heap_meter::Attach(plugin.module).empty());
}

TEST_F(HeapMeterTest, CountsEachKindOfCallBySize)
{
    heap_meter::Mark();
    void* a = heap_meter::detail::Malloc(1000);
    void* b = heap_meter::detail::Calloc(10, 100);
    EXPECT_EQ(heap_meter::work.Net(), 2000);
    a = heap_meter::detail::Realloc(a, 5000);
    EXPECT_EQ(heap_meter::work.Net(), 6000);
    a = heap_meter::detail::Realloc(a, 10);
    EXPECT_EQ(heap_meter::work.Net(), 1010);
    heap_meter::detail::Free(a);
    heap_meter::detail::Free(b);
    heap_meter::detail::Free(nullptr);
    EXPECT_EQ(heap_meter::work.Net(), 0);
    EXPECT_EQ(heap_meter::work.PeakBeyondStart(), 6000);
    EXPECT_EQ(heap_meter::work.taken, 4u);
    EXPECT_EQ(heap_meter::work.largest, 5000u);

    HLOCAL h = heap_meter::detail::CountingLocalAlloc(LMEM_MOVEABLE | LMEM_ZEROINIT, 300);
    EXPECT_EQ(heap_meter::host.Net(), 300);
    heap_meter::detail::CountingLocalFree(h);
    EXPECT_EQ(heap_meter::host.Net(), 0);
    EXPECT_EQ(heap_meter::host.PeakBeyondStart(), 300);
    EXPECT_EQ(heap_meter::work.Net(), 0);  // the families are counted apart

    // A new mark starts the peaks from the current count.
    heap_meter::Mark();
    EXPECT_EQ(heap_meter::work.PeakBeyondStart(), 0);
    EXPECT_EQ(heap_meter::work.taken, 0u);
}

TEST_F(HeapMeterTest, SeesTheListingsBuffersAndItsListBlock)
{
    std::string path = SmallArchive();
    heap_meter::Mark();
    HLOCAL block = nullptr;
    ASSERT_EQ(plugin.GetArchiveInfo(path.c_str(), 0, 0, &block), 0);
    // The host's block, and nothing else, outlives the call.
    EXPECT_EQ(heap_meter::host.Net(), (int64_t)LocalSize(block));
    EXPECT_EQ(LocalSize(block), 4 * kRecordSize);  // three records and the end mark
    EXPECT_EQ(heap_meter::work.Net(), 0);
    // The size table, whatever else it takes.
    EXPECT_GE(heap_meter::work.PeakBeyondStart(), 4 * 3 + 32);
    EXPECT_GT(heap_meter::work.taken, 0u);
    LocalFree(block);

    heap_meter::Detach();
    heap_meter::Mark();
    ASSERT_EQ(plugin.GetArchiveInfo(path.c_str(), 0, 0, &block), 0);
    LocalFree(block);
    EXPECT_EQ(heap_meter::work.taken, 0u);
    EXPECT_EQ(heap_meter::host.taken, 0u);
}

}  // namespace
