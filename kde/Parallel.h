#pragma once
// Runs one function on several threads at once and waits for all of them:
// the only threading the host engines and the finishing step need (every
// phase splits its work into equal parts and joins before the next phase
// reads the results).
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace engine {

// Calls work(index) for index 0 .. threads - 1, index 0 on the calling thread.
// An exception thrown by any of them (std::bad_alloc while indexing, say)
// reaches the caller once all have finished, instead of ending the process:
// the first one by index is rethrown.
template <typename Work>
void runParallel(unsigned threads, const Work& work) {
    if (threads <= 1) {
        work(0u);
        return;
    }
    std::vector<std::exception_ptr> failures(threads);
    {
        std::vector<std::jthread> helpers;
        helpers.reserve(threads - 1);
        for (unsigned index = 1; index < threads; ++index)
            helpers.emplace_back([&work, &failures, index] {
                try {
                    work(index);
                } catch (...) {
                    failures[index] = std::current_exception();
                }
            });
        try {
            work(0u);
        } catch (...) {
            failures[0] = std::current_exception();
        }
    }  // joins the helpers
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
}

// The part [first, last) of n items that worker index of threads handles.
struct Span {
    std::size_t first;
    std::size_t last;
};
inline Span spanOf(std::size_t n, unsigned index, unsigned threads) {
    return Span{n * index / threads, n * (index + 1) / threads};
}

}  // namespace engine
