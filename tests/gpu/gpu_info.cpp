// The GPU check's first step: names the device the CUDA engine would use,
// or says plainly why there is none. Exit status: 0 with a device; 3 when
// there is no GPU to use (the driver reports no device, or no NVIDIA driver
// is loaded); 5 when the driver is too old for this CUDA runtime; 6 when
// CUDA refuses the device for another reason. tests/gpu/run passes these on.
#include <cstdio>
#include <cstring>
#include <string>

#include "cuda/CudaEngineStart.h"

int main(int argc, char** argv) {
    // Answered without touching CUDA: the run asks it only to see that the
    // program loads here.
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("usage: gpu_info   names the CUDA device, or says why there is none\n");
        return 0;
    }
    const engine::CudaDeviceStatus status = engine::cudaDeviceStatus();
    switch (status.availability) {
    case engine::CudaAvailability::ready:
        std::printf("GPU: %s\n", engine::cudaDeviceDescription().c_str());
        return 0;
    case engine::CudaAvailability::noDevice:
        std::printf("No GPU found: %s\n", status.problem.c_str());
        return 3;
    case engine::CudaAvailability::driverTooOld:
        std::printf("CUDA driver too old: %s\n", status.problem.c_str());
        return 5;
    case engine::CudaAvailability::failed:
        break;
    }
    std::printf("CUDA cannot use the device: %s\n", status.problem.c_str());
    return 6;
}
