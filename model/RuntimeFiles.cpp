#include "model/RuntimeFiles.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string executableDirectory() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.parent_path().string();
}

}  // namespace

std::string runtimeFile(std::string_view relative, const std::string& executableDirectory) {
    std::string path(relative);
    std::replace(path.begin(), path.end(), '\\', '/');
    std::error_code error;
    if (fs::exists(path, error) || fs::path(path).is_absolute() || executableDirectory.empty()) return path;
    const fs::path installed = fs::path(executableDirectory) / ".." / "share" / "trackora" / path;
    if (fs::exists(installed, error)) return installed.lexically_normal().string();
    return path;
}

std::string runtimeFile(std::string_view relative) { return runtimeFile(relative, executableDirectory()); }
