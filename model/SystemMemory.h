#pragma once
// How much memory this process may still take, for the checks that refuse a
// load up front instead of running out of memory part-way.
#include <cstddef>

// The smallest of: the system's available memory (MemAvailable), what a
// limit on the process's data leaves (RLIMIT_DATA less VmData), and what
// the process's control group leaves (memory.max less memory.current, or
// the version 1 limit less its usage), where such limits are set. A
// container's limit is the one the kernel enforces by killing the process,
// so it must be heard before the system's.
std::size_t memoryAvailable();

// The control group's share alone, from its files under `cgroupRoot` (the
// mount point, /sys/fs/cgroup) for the group named in `procSelfCgroup` (the
// text of /proc/self/cgroup); none (the largest size_t) without a limit.
std::size_t cgroupMemoryLeft(const char* cgroupRoot, const char* procSelfCgroup);
