#pragma once
// Every file the program writes goes through OutputFile: the bytes go to a
// temporary file beside the target and replace it in one rename, so a failed
// or interrupted write leaves the old file exactly as it was.
#include <cstddef>
#include <stdexcept>
#include <string>

// A write that failed, with the target's path and the system's reason.
class OutputError : public std::runtime_error {
public:
    OutputError(const std::string& path, const std::string& reason)
        : std::runtime_error("cannot write \"" + path + "\": " + reason) {}
};

class OutputFile {
public:
    // Creates the temporary file beside target; throws OutputError when the
    // target cannot be written, before any long work starts.
    explicit OutputFile(std::string target);
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, std::size_t size);

    // The temporary file, for a library that writes by path; commit() then
    // flushes what it wrote, since it is the same file.
    const std::string& temporaryPath() const { return temporary_; }
    const std::string& target() const { return target_; }

    // fsync, close and rename over the target.
    void commit();

private:
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

// Removes a pending temporary file when the process is interrupted (SIGINT,
// SIGTERM, SIGHUP). Tools call it once at start.
void removeTemporaryFilesOnSignals();
