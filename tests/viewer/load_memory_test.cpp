// An allocation that fails on one of the engine's helper threads while a
// load indexes the samples: the viewer must get its one-line message, not be
// ended by std::terminate. The test binary replaces operator new so that,
// once armed, every allocation off the test's own thread fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tests/TempDir.h"
#include "app/DataLoading.h"
#include "engine/Backend.h"
#include "model/Datapoint.h"

namespace {

std::atomic<bool> failOtherThreads{false};
std::thread::id testThread;

}  // namespace

void* operator new(std::size_t size) {
    if (failOtherThreads.load(std::memory_order_relaxed) && std::this_thread::get_id() != testThread)
        throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
// GCC takes the free() for a mismatch; here new is malloc, so it matches.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

namespace {

TEST(LoadMemory, HelperThreadAllocationFailureReachesTheMessage) {
    if (engine::hardwareThreads() < 2) GTEST_SKIP() << "one hardware thread: the engine starts no helper";
    TempDir dir;
    std::vector<Datapoint> points;
    for (int i = 0; i < 200000; ++i)
        points.emplace_back((i % 997) / 997.0f, (i % 991) / 991.0f, WALK, i % 86400);
    const std::string path = dir.write(
        "many.bin", std::string_view(reinterpret_cast<const char*>(points.data()), points.size() * sizeof(Datapoint)));
    testThread = std::this_thread::get_id();
    failOtherThreads = true;
    const LoadedData loaded = loadData(path, 5, [](const std::string&, float) {});
    failOtherThreads = false;
    EXPECT_EQ(loaded.error, "Could not load samples from \"" + path + "\": not enough memory");
    EXPECT_FALSE(loaded.dataset);
    EXPECT_FALSE(loaded.engine);
}

}  // namespace
