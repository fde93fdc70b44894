#pragma once
// Marks functions that both the host compiler and nvcc compile, so the CPU
// engine and the CUDA kernels run one definition of the per-element logic.
#if defined(__CUDACC__)
#define TRACKORA_HD __host__ __device__
#else
#define TRACKORA_HD
#endif
