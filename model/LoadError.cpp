#include "model/LoadError.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string systemReason(int errnoValue) { return std::strerror(errnoValue); }

std::string notRegularFileReason(unsigned mode) {
    if (S_ISDIR(mode)) return systemReason(EISDIR);
    if (S_ISFIFO(mode)) return "not a regular file (a FIFO)";
    if (S_ISCHR(mode)) return "not a regular file (a character device)";
    if (S_ISBLK(mode)) return "not a regular file (a block device)";
    if (S_ISSOCK(mode)) return "not a regular file (a socket)";
    return "not a regular file";
}

void refuseIrregularFile(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode))
        throw DataFileError(path, notRegularFileReason(status.st_mode));
}

std::string loadFailureMessage(const std::string& path, const std::exception& error) {
    const std::string what = error.what();
    // The loaders' own messages start with the quoted path already.
    if (what.rfind("\"" + path + "\"", 0) == 0) return "Could not load samples from " + what;
    return "Could not load samples from \"" + path + "\": " + what;
}

std::string echoText(std::string_view text) {
    constexpr std::size_t kShown = 80;
    bool cut = false;
    if (text.size() > kShown) {
        std::size_t end = kShown;
        // Never split a UTF-8 sequence: back up over continuation bytes.
        while (end > kShown - 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        text = text.substr(0, end);
        cut = true;
    }
    std::string shown;
    shown.reserve(text.size() + 8);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\t': shown += "\\t"; break;
            case '\r': shown += "\\r"; break;
            case '\n': shown += "\\n"; break;
            case '\0': shown += "\\0"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                    shown += escaped;
                } else {
                    shown += c;
                }
        }
    }
    if (cut) shown += "\u2026";
    return shown;
}

void BadLines::add(const std::string& path, std::int64_t line, std::string_view text) {
    ++count;
    if (first.size() < kKept) first.push_back({path, line, echoText(text)});
}

void BadLines::merge(const BadLines& other) {
    count += other.count;
    for (const auto& place : other.first)
        if (first.size() < kKept) first.push_back(place);
}
