#include "model/SystemMemory.h"

#include <sys/resource.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>

namespace {

constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

// A "Key:   1234 kB" line of a /proc file, in bytes; nothing when absent.
std::optional<std::size_t> procBytes(const char* file, const std::string& wanted) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, wanted.size(), wanted) == 0) {
            std::size_t kilobytes = 0;
            const std::string rest = line.substr(wanted.size());
            const std::size_t digits = rest.find_first_of("0123456789");
            if (digits == std::string::npos) return std::nullopt;
            const auto [end, error] = std::from_chars(rest.data() + digits, rest.data() + rest.size(), kilobytes);
            if (error != std::errc()) return std::nullopt;
            return kilobytes * 1024;
        }
    return std::nullopt;
}

// The first number in a small control-group file; none for "max", a
// missing file or anything else.
std::optional<std::size_t> fileNumber(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text)) return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::size_t leftUnder(const std::optional<std::size_t>& limit, const std::optional<std::size_t>& used) {
    if (!limit) return kNoLimit;
    const std::size_t inUse = used.value_or(0);
    return *limit > inUse ? *limit - inUse : 0;
}

}  // namespace

std::size_t cgroupMemoryLeft(const char* cgroupRoot, const char* procSelfCgroup) {
    const std::string root = cgroupRoot;
    std::istringstream lines{std::string(procSelfCgroup)};
    std::string line;
    std::size_t left = kNoLimit;
    while (std::getline(lines, line)) {
        // "0::/path" (version 2) or "7:memory:/path" (version 1).
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string group = line.substr(second + 1);
        if (group == "/") group.clear();
        if (controllers.empty()) {
            // The limit of the group and of every group above it holds.
            for (std::string at = group;; at = at.substr(0, at.rfind('/'))) {
                const std::string dir = root + at;
                left = std::min(left, leftUnder(fileNumber(dir + "/memory.max"), fileNumber(dir + "/memory.current")));
                if (at.empty()) break;
            }
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            // The group's own folder, or the controller's root where the
            // container sees its group there.
            std::string dir = root + "/memory" + group;
            std::optional<std::size_t> limit = fileNumber(dir + "/memory.limit_in_bytes");
            if (!limit) {
                dir = root + "/memory";
                limit = fileNumber(dir + "/memory.limit_in_bytes");
            }
            // Version 1 writes a huge number for "no limit".
            if (limit && *limit < (std::size_t{1} << 60))
                left = std::min(left, leftUnder(limit, fileNumber(dir + "/memory.usage_in_bytes")));
        }
    }
    return left;
}

std::size_t memoryAvailable() {
    std::size_t available = procBytes("/proc/meminfo", "MemAvailable:").value_or(kNoLimit);
    // A limit on the process's data caps what it can allocate, whatever is free.
    rlimit limit{};
    if (::getrlimit(RLIMIT_DATA, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::size_t used = procBytes("/proc/self/status", "VmData:").value_or(0);
        const std::size_t cap = static_cast<std::size_t>(limit.rlim_cur);
        available = std::min(available, cap > used ? cap - used : 0);
    }
    std::ifstream self("/proc/self/cgroup");
    std::ostringstream text;
    text << self.rdbuf();
    return std::min(available, cgroupMemoryLeft("/sys/fs/cgroup", text.str().c_str()));
}
