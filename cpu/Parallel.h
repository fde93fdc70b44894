#pragma once
// Runs one function on several threads at once and waits for all of them:
// the only threading the CPU engine needs (every phase splits its work into
// equal parts and joins before the next phase reads the results).
#include <cstddef>
#include <thread>
#include <vector>

namespace engine {

// Calls work(index) for index 0 .. threads - 1, index 0 on the calling thread.
template <typename Work>
void runParallel(unsigned threads, const Work& work) {
    if (threads <= 1) {
        work(0u);
        return;
    }
    std::vector<std::jthread> helpers;
    helpers.reserve(threads - 1);
    for (unsigned index = 1; index < threads; ++index) helpers.emplace_back([&work, index] { work(index); });
    work(0u);
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
