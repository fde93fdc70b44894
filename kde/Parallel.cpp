#include "kde/Parallel.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace engine::detail {

namespace {

// One arena per thread count asked for, kept for the process: an arena
// caps how many of the pool's threads a phase uses, and making one per
// phase would cost what the pool saves.
tbb::task_arena& arenaFor(unsigned threads) {
    static std::mutex mutex;
    static std::map<unsigned, std::unique_ptr<tbb::task_arena>> arenas;
    const std::lock_guard lock(mutex);
    std::unique_ptr<tbb::task_arena>& arena = arenas[threads];
    if (!arena) arena = std::make_unique<tbb::task_arena>(static_cast<int>(threads));
    return *arena;
}

}  // namespace

void runParallelTasks(unsigned threads, void (*call)(const void* work, unsigned index), const void* work) {
    // Each part catches its own failure, so a throwing part cancels none of
    // the others and the one rethrown is the first by index, not the first
    // in time.
    std::vector<std::exception_ptr> failures(threads);
    arenaFor(threads).execute([&] {
        // One task per part (a grain of one, never merged): the parts are
        // the callers' equal shares of the work.
        tbb::parallel_for(
            tbb::blocked_range<unsigned>(0, threads, 1),
            [&](const tbb::blocked_range<unsigned>& range) {
                for (unsigned index = range.begin(); index != range.end(); ++index) {
                    try {
                        call(work, index);
                    } catch (...) {
                        failures[index] = std::current_exception();
                    }
                }
            },
            tbb::simple_partitioner());
    });
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace engine::detail
