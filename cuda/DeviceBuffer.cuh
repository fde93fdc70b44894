#pragma once
// A device array freed when it goes out of scope, for the module's .cu files
// only: an engine whose start fails or is cancelled halfway leaves nothing
// allocated on the device.
#include <cuda_runtime.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "cuda/CudaCheck.cuh"

namespace engine::detail {

template <typename T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(FailureFlag& flag) : flag_(&flag) {}
    DeviceBuffer(FailureFlag& flag, std::size_t count) : flag_(&flag) { allocate(count); }
    ~DeviceBuffer() { reset(); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    // Keeps the memory it has when count fits: a free waits for the whole
    // device, the upload of an engine loading beside this one included.
    void allocate(std::size_t count) {
        if (count > capacity_) {
            reset();
            TRACKORA_CUDA_CHECK(*flag_, cudaMalloc(reinterpret_cast<void**>(&pointer_), count * sizeof(T)));
            capacity_ = count;
        }
        count_ = count;
    }
    // Enqueues the copy of count values into [at, at + count) on stream; data
    // must stay as it is until the stream has done the copy.
    void copyIn(std::size_t at, const T* data, std::size_t count, cudaStream_t stream) {
        if (at > count_ || count > count_ - at)
            throw std::out_of_range("device copy of " + std::to_string(count) + " values at " + std::to_string(at) +
                                    " into a buffer of " + std::to_string(count_));
        if (count == 0) return;
        TRACKORA_CUDA_CHECK(*flag_, cudaMemcpyAsync(pointer_ + at, data, count * sizeof(T), cudaMemcpyHostToDevice, stream));
    }
    // The whole buffer from data; returns once the copy is done, so data may
    // go right after.
    void upload(const T* data, std::size_t count, cudaStream_t stream) {
        allocate(count);
        if (count == 0) return;
        copyIn(0, data, count, stream);
        TRACKORA_CUDA_CHECK(*flag_, cudaStreamSynchronize(stream));
    }
    void reset() {
        if (pointer_) TRACKORA_CUDA_REPORT(*flag_, cudaFree(pointer_));
        pointer_ = nullptr;
        count_ = 0;
        capacity_ = 0;
    }
    T* get() const { return pointer_; }
    std::size_t count() const { return count_; }
    // What the buffer holds on the device.
    std::size_t bytes() const { return capacity_ * sizeof(T); }

private:
    FailureFlag* flag_;
    T* pointer_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

// Host memory for copies to and from the device: page-locked when the
// runtime grants it, so a copy goes at the bus's speed and an upload's copy
// runs while the next chunk is read; ordinary memory when it does not (a
// locked-memory limit, a full machine), which copies as before.
template <typename T>
class HostStaging {
public:
    HostStaging(FailureFlag& flag, std::size_t count) : flag_(&flag), count_(count) {
        void* memory = nullptr;
        if (count > 0 && cudaMallocHost(&memory, count * sizeof(T)) == cudaSuccess) {
            pointer_ = static_cast<T*>(memory);
            pinned_ = true;
        } else {
            cudaGetLastError();  // the refusal is not sticky: clear it for the next check
            fallback_.resize(count);
            pointer_ = fallback_.data();
        }
    }
    ~HostStaging() {
        if (pinned_) TRACKORA_CUDA_REPORT(*flag_, cudaFreeHost(pointer_));
    }
    HostStaging(const HostStaging&) = delete;
    HostStaging& operator=(const HostStaging&) = delete;
    T* data() const { return pointer_; }
    std::size_t count() const { return count_; }
    bool pinned() const { return pinned_; }

private:
    FailureFlag* flag_;
    std::size_t count_;
    T* pointer_ = nullptr;
    bool pinned_ = false;
    std::vector<T> fallback_;
};

}  // namespace engine::detail
