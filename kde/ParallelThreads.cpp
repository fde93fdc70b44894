#include "kde/Parallel.h"

#include <exception>
#include <thread>
#include <vector>

namespace engine::detail {

// The portable build's parts (the GPU check, carried to a machine without
// oneTBB): a thread per part for the call's length. Failures as in
// Parallel.cpp: each part's own, the first by index rethrown.
void runParallelTasks(unsigned threads, void (*call)(const void* work, unsigned index), const void* work) {
    std::vector<std::exception_ptr> failures(threads);
    const auto part = [&](unsigned index) {
        try {
            call(work, index);
        } catch (...) {
            failures[index] = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(threads - 1);
        for (unsigned index = 1; index < threads; ++index) helpers.emplace_back(part, index);
        part(0u);
    }  // joins the helpers
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

}  // namespace engine::detail
