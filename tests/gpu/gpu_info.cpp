// The GPU check's first step: names the device the CUDA engine would use,
// or says plainly that there is none. Exit status 0 with a device, 3
// without (the check's own code for "nothing could be checked here").
#include <cstdio>
#include <string>

#include "cuda/heatmap.h"

int main() {
    const std::string problem = engine::cudaDeviceProblem();
    if (!problem.empty()) {
        std::printf("No GPU found: %s\n", problem.c_str());
        return 3;
    }
    std::printf("GPU: %s\n", engine::cudaDeviceDescription().c_str());
    return 0;
}
