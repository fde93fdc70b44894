#pragma once
// Runs one function on several threads at once and waits for all of them:
// the only threading the host engines and the finishing step need (every
// phase splits its work into equal parts and joins before the next phase
// reads the results). The threads are oneTBB's pool, started once per
// process: a phase or a frame costs tasks, never thread creation.
#include <cstddef>

namespace engine {

namespace detail {
// Calls call(work, index) for index 0 .. threads - 1 as tasks of an arena
// of that many threads (Parallel.cpp keeps TBB's headers out of this one).
void runParallelTasks(unsigned threads, void (*call)(const void* work, unsigned index), const void* work);
}  // namespace detail

// Calls work(index) for index 0 .. threads - 1, at most threads of them at
// once (fewer where the machine has fewer cores; no part waits for another).
// An exception thrown by any of them (std::bad_alloc while indexing, say)
// reaches the caller once all have finished, instead of ending the process:
// the first one by index is rethrown.
template <typename Work>
void runParallel(unsigned threads, const Work& work) {
    if (threads <= 1) {
        work(0u);
        return;
    }
    detail::runParallelTasks(
        threads, [](const void* w, unsigned index) { (*static_cast<const Work*>(w))(index); }, &work);
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
