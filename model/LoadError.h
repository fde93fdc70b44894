#pragma once
// Failures of reading sample input, naming the file and the reason so the
// caller can print one line a person can act on.
#include <stdexcept>
#include <string>
#include <string_view>

class DataFileError : public std::runtime_error {
public:
    DataFileError(std::string path, std::string reason)
        : std::runtime_error("\"" + path + "\": " + reason),
          path_(std::move(path)), reason_(std::move(reason)) {}

    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

// The system's text for an errno value ("No such file or directory").
std::string systemReason(int errnoValue);

// One line for the console: 'Could not load samples from "PATH": REASON'.
std::string loadFailureMessage(const std::string& path, const std::exception& error);

// Text-format number errors keep the standard library's exception types
// (std::invalid_argument, std::out_of_range) but say where the text was.
template <typename Exception>
[[noreturn]] void throwFieldError(const std::string& path, long long lineNumber,
                                  std::string_view text, const char* problem) {
    throw Exception("\"" + path + "\" line " + std::to_string(lineNumber) + ": \"" +
                    std::string(text) + "\" " + problem);
}
