// An allocation that fails on one of the engine's helper threads while a
// load indexes the samples: the viewer must get its one-line message, not be
// ended by std::terminate. The test binary replaces operator new so that,
// once armed, every allocation off the test's own thread fails.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "tests/TempDir.h"
#include "app/DataLoading.h"
#include "kde/Backend.h"
#include "model/Datapoint.h"
#include "model/SystemMemory.h"

namespace {

std::atomic<bool> failOtherThreads{false};
std::atomic<int> failedElsewhere{0};
std::thread::id testThread;

}  // namespace

void* operator new(std::size_t size) {
    if (failOtherThreads.load(std::memory_order_relaxed) && std::this_thread::get_id() != testThread) {
        ++failedElsewhere;
        throw std::bad_alloc();
    }
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
        points.emplace_back((i % 997) / 997.0f, (i % 991) / 991.0f, mode::WALK, i % 86400);
    const std::string path = dir.write(
        "many.bin", std::string_view(reinterpret_cast<const char*>(points.data()), points.size() * sizeof(Datapoint)));
    testThread = std::this_thread::get_id();
    // The pool's threads take parts as they come: on a busy machine the
    // calling thread may run every part of a load itself, so the load is
    // repeated until a part has run (and failed) on another thread.
    for (int attempt = 0; attempt < 50; ++attempt) {
        failedElsewhere = 0;
        failOtherThreads = true;
        const LoadedData loaded = loadData(path, 5, [](const std::string&, float) {});
        failOtherThreads = false;
        if (failedElsewhere == 0) continue;
        EXPECT_EQ(loaded.error, "Could not load samples from \"" + path + "\": not enough memory");
        EXPECT_FALSE(loaded.dataset);
        EXPECT_FALSE(loaded.engine);
        return;
    }
    GTEST_SKIP() << "no part of 50 loads ran off the calling thread";
}

}  // namespace

namespace {

// A sample file of `count` records in a few cells of two modes, written a
// block at a time.
std::string writeLargeFile(const TempDir& dir, std::size_t count) {
    const std::string path = (dir.root() / "large.bin").string();
    std::ofstream out(path, std::ios::binary);
    std::vector<Datapoint> block(1 << 20);
    for (std::size_t first = 0; first < count; first += block.size()) {
        const std::size_t n = std::min(block.size(), count - first);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t k = first + i;
            block[i] = Datapoint(0.25f + 0.001f * static_cast<float>(k % 7), 0.5f, k % 3 ? mode::WALK : mode::CAR,
                                 static_cast<std::int32_t>(k % 86400));
        }
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n * sizeof(Datapoint)));
    }
    return path;
}

// Runs a load of `path` in a child process whose data may not exceed
// `limitBytes`; the child's exit status: 0 when the load gave `count`
// samples, 1 when it failed with `expectedError`, 2 otherwise.
int loadUnderLimit(const std::string& path, std::size_t limitBytes, std::int32_t count,
                   const std::string& expectedError) {
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{limitBytes, limitBytes};
        if (::setrlimit(RLIMIT_DATA, &limit) != 0) ::_exit(3);
        const LoadedData loaded = loadData(path, 5, [](const std::string&, float) {});
        if (loaded.ok() && loaded.dataset->count == count && loaded.summary.total == count) ::_exit(0);
        if (!loaded.ok() && loaded.error.find(expectedError) != std::string::npos) ::_exit(1);
        std::fprintf(stderr, "load under a %zu-byte limit: %s\n", limitBytes, loaded.error.c_str());
        ::_exit(2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A sample file twice the size of the memory the process may take loads:
// it is indexed as it is read, and no copy of it is held. Under a limit its
// index does not fit either, the load says so before reading, naming the
// file, instead of running out of memory part-way.
TEST(LoadMemory, SampleFileLargerThanTheMemoryLimitLoads) {
    constexpr std::size_t kSamples = 32 << 20;  // 512 MiB of records
    constexpr std::size_t kMiB = 1 << 20;
    TempDir dir;
    const std::string path = writeLargeFile(dir, kSamples);
    EXPECT_EQ(loadUnderLimit(path, 448 * kMiB, kSamples, ""), 0);
    EXPECT_EQ(loadUnderLimit(path, 160 * kMiB, kSamples,
                             "Could not load samples from \"" + path + "\": its 33554432 samples need about"),
              1);
}

}  // namespace

// A container's memory limit is enforced by killing the process, so the load
// checks must hear it: the control group's limit less its usage, through
// every group above it (version 2) or the memory controller's (version 1,
// in the group's folder or, seen from inside a container, at its root).
TEST(LoadMemory, ControlGroupLimitsAreHeard) {
    TempDir dir;
    dir.write("v2/memory.max", "max\n");
    dir.write("v2/app/memory.max", "1000000000\n");
    dir.write("v2/app/memory.current", "400000000\n");
    dir.write("v2/app/job/memory.max", "max\n");
    dir.write("v2/app/job/memory.current", "300000000\n");
    dir.write("v2/free/memory.max", "max\n");
    dir.write("v1/memory/box/memory.limit_in_bytes", "2000000000\n");
    dir.write("v1/memory/box/memory.usage_in_bytes", "500000000\n");
    dir.write("v1ns/memory/memory.limit_in_bytes", "800000000\n");
    dir.write("v1ns/memory/memory.usage_in_bytes", "900000000\n");
    dir.write("v1none/memory/memory.limit_in_bytes", "9223372036854771712\n");
    const std::size_t none = std::numeric_limits<std::size_t>::max();
    const struct {
        const char* root;
        const char* cgroup;
        std::size_t left;
    } cases[] = {
        {"v2", "0::/app/job\n", 600000000},  // the parent's limit holds
        {"v2", "0::/free\n", none},
        {"v1", "9:pids:/\n4:memory:/box\n0::/\n", 1500000000},
        {"v1ns", "4:cpuacct,memory:/elsewhere/box\n", 0},  // over its limit already
        {"v1none", "4:memory:/\n", none},
        {"missing", "0::/\n", none},
    };
    for (const auto& c : cases) {
        const std::string root = (dir.root() / c.root).string();
        EXPECT_EQ(cgroupMemoryLeft(root.c_str(), c.cgroup), c.left) << c.root << " " << c.cgroup;
    }
    EXPECT_LE(memoryAvailable(), cgroupMemoryLeft("/sys/fs/cgroup", "0::/\n"));
}
