#pragma once
// CUDA streams and events destroyed when they go out of scope, for the
// module's .cu files only: an engine whose start throws halfway (a failed
// call, a cancelled load) leaves none behind. One template; a kind's traits
// say how it is made and destroyed.
#include <cuda_runtime.h>

#include "cuda/CudaCheck.cuh"

namespace engine::detail {

template <typename Kind>
class OwnedHandle {
public:
    using Handle = typename Kind::Handle;
    explicit OwnedHandle(FailureFlag& flag) : flag_(&flag) {}
    ~OwnedHandle() {
        if (handle_) report(Kind::destroy(handle_), Kind::destroyCall, __FILE__, __LINE__, *flag_);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    void create() {
        if (!handle_) check(Kind::create(&handle_), Kind::createCall, __FILE__, __LINE__, *flag_);
    }
    Handle get() const { return handle_; }

private:
    FailureFlag* flag_;
    Handle handle_ = nullptr;
};

struct StreamKind {
    using Handle = cudaStream_t;
    // Never synchronises with CUDA's legacy default stream.
    static cudaError_t create(Handle* stream) { return cudaStreamCreateWithFlags(stream, cudaStreamNonBlocking); }
    static cudaError_t destroy(Handle stream) { return cudaStreamDestroy(stream); }
    static constexpr const char* createCall = "cudaStreamCreateWithFlags(cudaStreamNonBlocking)";
    static constexpr const char* destroyCall = "cudaStreamDestroy";
};

struct EventKind {
    using Handle = cudaEvent_t;
    static cudaError_t create(Handle* event) { return cudaEventCreate(event); }
    static cudaError_t destroy(Handle event) { return cudaEventDestroy(event); }
    static constexpr const char* createCall = "cudaEventCreate";
    static constexpr const char* destroyCall = "cudaEventDestroy";
};

using OwnedStream = OwnedHandle<StreamKind>;
using OwnedEvent = OwnedHandle<EventKind>;

}  // namespace engine::detail
