#include "model/LoadError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

LoadCancelled::LoadCancelled(const std::string& path)
    : std::runtime_error("loading " + pathMessage(path, "cancelled")) {}

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

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string_view kind) {
    // Non-blocking: a FIFO's open must not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        struct stat link {};
        if (error == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            std::string target(4096, '\0');
            const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
            throw DataFileError(path, "it is a link to nothing (\"" + echoPath(target) + "\" does not exist)");
        }
        // None, or no room for one beside a name at the length limit.
        if (error == ENOENT || error == ENAMETOOLONG) return std::nullopt;
        throw DataFileError(path, systemReason(error));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat status {};
    if (::fstat(fd, &status) != 0) throw DataFileError(path, systemReason(errno));
    if (!S_ISREG(status.st_mode)) throw DataFileError(path, notRegularFileReason(status.st_mode));
    const auto tooLarge = [&] {
        return DataFileError(path, "it is larger than " + std::to_string(limit / 1024) + " KiB, more than " +
                                       std::string(kind) + " holds");
    };
    if (static_cast<std::uint64_t>(status.st_size) > limit) throw tooLarge();
    // Read to one byte past the limit: the file may have grown since.
    std::string text(limit + 1, '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t got = ::read(fd, text.data() + have, text.size() - have);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw DataFileError(path, systemReason(errno));
        }
        if (got == 0) break;
        have += static_cast<std::size_t>(got);
    }
    if (have > limit) throw tooLarge();
    text.resize(have);
    return text;
}

std::string loadFailureMessage(const std::string& path, const std::exception& error) {
    const std::string what = error.what();
    std::string message = "Could not load samples from ";
    // The loaders' own messages start with the quoted path already.
    std::string quoted = pathMessage(path, "");
    quoted.resize(quoted.size() - 2);  // without the ": "
    if (what.rfind(quoted, 0) == 0) return message.append(what);
    return message.append(pathMessage(path, echoText(what, kReasonCharacters)));
}

std::string echoPath(std::string_view path) { return echoText(path, std::string_view::npos); }

std::string pathMessage(std::string_view path, std::string_view reason) {
    std::string message(1, '"');
    message.append(echoPath(path)).append("\": ").append(reason);
    return message;
}

namespace {

// Characters that print as nothing or as a plain space and so hide in a
// message: no-break and other spaces of unusual width, zero-width and
// joining characters, direction marks, the soft hyphen and the byte-order
// mark. `at` is a lead byte; returns the code point and its length in
// bytes when the UTF-8 sequence there is one of them, else 0.
std::size_t invisibleAt(std::string_view text, std::size_t at, char32_t& code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    std::size_t length = 0;
    if (byte(0) == 0xC2 && at + 1 < text.size()) {
        length = 2;
        code = static_cast<char32_t>(byte(1) & 0x3F) | 0x80;
        if (code != 0xA0 && code != 0xAD) return 0;
        return (byte(1) & 0xC0) == 0x80 ? length : 0;
    }
    if ((byte(0) & 0xF0) != 0xE0 || at + 2 >= text.size()) return 0;
    if ((byte(1) & 0xC0) != 0x80 || (byte(2) & 0xC0) != 0x80) return 0;
    length = 3;
    code = static_cast<char32_t>((byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F));
    const bool hidden = code == 0x061C || code == 0x180E || (code >= 0x2000 && code <= 0x200F) ||
                        (code >= 0x2028 && code <= 0x202F) || (code >= 0x205F && code <= 0x206F) ||
                        code == 0x3000 || code == 0xFEFF;
    return hidden ? length : 0;
}

}  // namespace

std::string echoText(std::string_view text, std::size_t limit) {
    bool cut = false;
    if (text.size() > limit) {
        std::size_t end = limit;
        // Never split a UTF-8 sequence: back up over continuation bytes.
        while (end > 0 && end + 3 > limit && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        text = text.substr(0, end);
        cut = true;
    }
    std::string shown;
    shown.reserve(text.size() + 8);
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        char32_t code = 0;
        if (const std::size_t length = byte >= 0xC2 ? invisibleAt(text, at, code) : 0) {
            char named[16];
            std::snprintf(named, sizeof named, "<U+%04X>", static_cast<unsigned>(code));
            shown += named;
            at += length - 1;
            continue;
        }
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
