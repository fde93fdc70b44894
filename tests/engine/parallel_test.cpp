// The CPU engine's one threading primitive.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>

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

}  // namespace
