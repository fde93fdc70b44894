#pragma once
// Failures of reading sample input, naming the file and the reason so the
// caller can print one line a person can act on.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A load stopped on request (the viewer closing, say), not a failure.
class LoadCancelled : public std::runtime_error {
public:
    explicit LoadCancelled(const std::string& path);
};

// The system's text for an errno value ("No such file or directory").
std::string systemReason(int errnoValue);

// Why a file of this kind (st_mode) is not read as a sample or recording
// file: "Is a directory", "not a regular file (a FIFO)", ... Reading a FIFO
// or a device would block or never end.
std::string notRegularFileReason(unsigned mode);

// Throws DataFileError when `path` exists and is not a regular file.
void refuseIrregularFile(const std::string& path);

// The whole of a small text file (a frame file, say), or nothing when there
// is no file at `path`. Throws DataFileError naming the file when it is
// not a regular file (a FIFO would block the read, a device never end), a
// link to nothing, or larger than `limit` bytes: more than any `kind` ("a
// frame file") holds, which is read no further than that.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string_view kind);

// One line for the console: 'Could not load samples from "PATH": REASON'.
std::string loadFailureMessage(const std::string& path, const std::exception& error);

// Text taken from a file, made fit for a one-line message: control
// characters and NUL escaped (\t, \r, \n, \0, \xNN), characters that would
// not show (no-break and zero-width spaces, direction marks, a byte-order
// mark) named (<U+00A0>, <U+200B>, <U+FEFF>), cut after `limit`
// characters (80 unless said) with an ellipsis. Every message that shows
// text from a file, or a reason that may quote one, goes through it.
inline constexpr std::size_t kEchoedCharacters = 80;
std::string echoText(std::string_view text, std::size_t limit = kEchoedCharacters);

// A reason that may quote a file (GDAL's, or a library's message) is shown
// escaped and cut longer, since it is mostly our own or the library's words.
inline constexpr std::size_t kReasonCharacters = 240;

// A file name for a message: escaped as echoText escapes, never cut (a path
// helps only whole).
std::string echoPath(std::string_view path);

// '"PATH": REASON', the path shown by echoPath.
std::string pathMessage(std::string_view path, std::string_view reason);

class DataFileError : public std::runtime_error {
public:
    DataFileError(std::string path, std::string reason)
        : std::runtime_error(pathMessage(path, reason)),
          path_(std::move(path)), reason_(std::move(reason)) {}

    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

// A file that cannot be read as its format at all (GDAL does not know it,
// a CSV without coordinate columns, broken XML), as against a bad record in
// a file that can: a tree skips such a file with a warning and goes on.
class UnreadableFileError : public DataFileError {
public:
    using DataFileError::DataFileError;
};

// Text-format errors keep the standard library's exception types
// (std::invalid_argument, std::out_of_range) but say where the text was.
template <typename Exception>
[[noreturn]] void throwFieldError(const std::string& path, long long lineNumber,
                                  std::string_view text, const char* problem) {
    throw Exception("\"" + echoPath(path) + "\" line " + std::to_string(lineNumber) + ": \"" + echoText(text) +
                    "\" " + problem);
}

// Lines that broke their format and were skipped instead of ending the load:
// how many, and where the first few were.
struct BadLines {
    static constexpr std::size_t kKept = 5;
    struct Place {
        std::string path;
        std::int64_t line = 0;
        std::string text;  // as echoText shows it
    };
    std::int64_t count = 0;
    std::vector<Place> first;

    void add(const std::string& path, std::int64_t line, std::string_view text);
    void merge(const BadLines& other);  // `other` came later in the load
};
