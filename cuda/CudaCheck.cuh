#pragma once
// Checked CUDA calls, for the module's .cu files only. A failed call throws
// std::runtime_error naming the call and where it was made; the dispatcher
// then carries on with the CPU engine.
#include <cuda_runtime.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace engine::detail {

inline std::string cudaFailure(const char* call, const char* file, int line, cudaError_t status) {
    return std::string(call) + " failed at " + file + ":" + std::to_string(line) + ": " + cudaGetErrorString(status);
}

// One per engine (and per test helper call). Once a checked call has failed,
// whoever catches the exception reports it; the frees that follow as that
// engine is dropped fail with the same sticky error and stay quiet. A later
// engine starts with a clean flag and reports its own failures.
struct FailureFlag {
    bool raised = false;
};

inline void check(cudaError_t status, const char* call, const char* file, int line, FailureFlag& flag) {
    if (status == cudaSuccess) return;
    flag.raised = true;
    throw std::runtime_error(cudaFailure(call, file, line, status));
}

// For release paths (destructors): report once and go on.
inline void report(cudaError_t status, const char* call, const char* file, int line, FailureFlag& flag) {
    if (status == cudaSuccess || flag.raised) return;
    flag.raised = true;
    std::printf("%s\n", cudaFailure(call, file, line, status).c_str());
}

}  // namespace engine::detail

#define TRACKORA_CUDA_CHECK(flag, call) ::engine::detail::check((call), #call, __FILE__, __LINE__, (flag))
#define TRACKORA_CUDA_REPORT(flag, call) ::engine::detail::report((call), #call, __FILE__, __LINE__, (flag))

namespace engine::detail {

// A launch's own errors (a bad shape, no kernel image for this device).
inline void checkLaunch(FailureFlag& flag) { TRACKORA_CUDA_CHECK(flag, cudaGetLastError()); }

}  // namespace engine::detail
