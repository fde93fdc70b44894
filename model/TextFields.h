#pragma once
// The line and field rules shared by every text format the loaders read.
#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

// Cuts one field off the front of `rest`: the text before the first
// separator, which is removed with it. Without a separator the whole rest is
// the field and `rest` is left as it is, so a short line repeats its last
// field for each missing one.
inline std::string_view cutField(std::string_view& rest, char separator) {
    const auto at = rest.find(separator);
    if (at == std::string_view::npos) return rest;
    std::string_view field = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    return field;
}

// Cuts exactly N fields off `line`, text after the last one ignored. False
// when the line holds fewer.
template <std::size_t N>
inline bool cutAllFields(std::string_view line, char separator, std::string_view (&fields)[N]) {
    for (std::size_t i = 0; i + 1 < N; ++i) {
        const auto at = line.find(separator);
        if (at == std::string_view::npos) return false;
        fields[i] = line.substr(0, at);
        line.remove_prefix(at + 1);
    }
    fields[N - 1] = line.substr(0, line.find(separator));
    return true;
}

// A UTF-8 byte-order mark that some editors put at the start of a file.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// std::getline without the line end: LF and CRLF files read alike.
inline bool readLine(std::istream& in, std::string& line) {
    if (!std::getline(in, line)) {
        line.clear();
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}
