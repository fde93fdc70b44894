#pragma once
// Every file the program writes goes through OutputFile: the bytes go to a
// temporary file beside the target and replace it in one rename, so a failed
// or interrupted write leaves the old file exactly as it was.
#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/LoadError.h"

// A write that failed, with the target's path and the system's reason.
class OutputError : public std::runtime_error {
public:
    OutputError(const std::string& path, const std::string& reason)
        : std::runtime_error("cannot write " + pathMessage(path, echoText(reason, kReasonCharacters))) {}
};

class OutputFile {
public:
    // Creates the temporary file beside target; throws OutputError when the
    // target cannot be written, before any long work starts. A symbolic link
    // is followed: the file it points to is replaced and the link stays. An
    // existing target that is not a regular file (a directory, device, FIFO
    // or socket) is refused, never replaced. Missing directories above the
    // target are made, and removed again unless the output is committed.
    // Temporary files of the same target older than this run, which no
    // writer holds (a crash left them), are removed.
    explicit OutputFile(std::string target);
    // Removes the temporary file, and the directories made for it, unless
    // committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Throws OutputError when `input` is the file that would be replaced
    // (same device and inode): the output would destroy its own input.
    void refuseSameFile(const std::string& input) const;

    void write(const void* data, std::size_t size);

    // The temporary file, for a library that writes by path; commit() then
    // flushes what it wrote, since it is the same file.
    const std::string& temporaryPath() const { return temporary_; }
    const std::string& target() const { return target_; }
    // The file commit() replaces: the target, or where its link points.
    const std::string& replacedPath() const { return replaced_; }

    // fsync and close: every byte is on the disk and only the rename is
    // left, so that outputs that must commit together can fail before
    // any of them replaces its target.
    void prepare();
    // prepare (when not done yet) and rename over the target.
    void commit();

private:
    void makeDirectories(const std::filesystem::path& parent);
    void removeDirectories();
    [[noreturn]] void fail(const std::string& reason);

    std::vector<std::string> made_;  // directories made for the target, outermost first
    std::string target_;
    std::string replaced_;
    std::string temporary_;
    int fd_ = -1;
    int slot_ = -1;
    bool committed_ = false;
};

// True when `name` is a temporary file that an OutputFile for a target file
// named `targetName` creates (".NAME.tmp-XXXXXX", NAME shortened when the
// whole would pass the file system's name limit).
bool isTemporaryFileName(std::string_view name, std::string_view targetName);

// Removes pending temporary files, and the directories made for them, when
// a signal would end the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE
// and the other catchable ones that end it), and lets a write past the
// file-size limit fail with a message instead of killing the process. Tools
// call it once at start.
void removeTemporaryFilesOnSignals();
