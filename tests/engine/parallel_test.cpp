// The CPU engine's one threading primitive.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <vector>

#include "kde/Parallel.h"

namespace {

// A failure on any thread reaches the caller once every part has run; a
// helper's used to end the process (std::terminate), so an allocation failure
// while indexing never reached the viewer's "not enough memory".
TEST(RunParallel, CarriesAnyThreadsExceptionToTheCaller) {
    for (unsigned failing : {0u, 1u, 3u}) {
        std::atomic<unsigned> finished{0};
        EXPECT_THROW(engine::runParallel(4,
                                         [&](unsigned index) {
                                             if (index == failing) throw std::bad_alloc();
                                             ++finished;
                                         }),
                     std::bad_alloc)
            << failing;
        EXPECT_EQ(finished.load(), 3u) << failing;
    }
    EXPECT_THROW(engine::runParallel(1, [](unsigned) { throw std::runtime_error("alone"); }), std::runtime_error);
}

// Every part runs once, whatever the count against the cores: a range split
// that merged, skipped or repeated a part would leave a slot at 0 or 2.
TEST(RunParallel, RunsEachPartExactlyOnce) {
    for (unsigned threads : {2u, 3u, 8u, 61u}) {
        std::vector<std::atomic<int>> calls(threads);
        engine::runParallel(threads, [&](unsigned index) { ++calls[index]; });
        for (unsigned index = 0; index < threads; ++index) EXPECT_EQ(calls[index].load(), 1) << index << " of " << threads;
    }
}

#ifndef TRACKORA_PORTABLE_BUILD
// The phases of a frame run on threads started once: thread ids (which
// Linux never hands out twice in a short run) seen over many calls stay
// within the pool, where a thread per part would show a new id every call.
TEST(RunParallel, StartsNoThreadPerCall) {
    std::mutex mutex;
    std::set<long> seen;
    for (int call = 0; call < 50; ++call)
        engine::runParallel(4, [&](unsigned) {
            const long id = syscall(SYS_gettid);
            const std::lock_guard lock(mutex);
            seen.insert(id);
        });
    EXPECT_LE(seen.size(), 8u);
}
#endif

}  // namespace
