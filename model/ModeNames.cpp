#include "model/ModeNames.h"

#include <algorithm>
#include <cctype>
#include <charconv>

std::unordered_map<std::string, TransportationMode> makeModeNameTable() {
    return {
        {"walk", mode::WALK},     {"bike", mode::BIKE},         {"bus", mode::BUS},
        {"car", mode::CAR},       {"taxi", mode::CAR},          {"subway", mode::SUBWAY},
        {"train", mode::TRAIN},   {"airplane", mode::AIRPLANE}, {"boat", mode::BOAT},
        {"run", mode::RUN},       {"motorcycle", mode::MOTORCYCLE},
    };
}

std::string_view modeDisplayName(TransportationMode mode) {
    for (int i = 0; i < kModeCount; ++i)
        if (kModes[i] == mode) return kModeDisplayNames[i];
    return {};
}

std::optional<TransportationMode> parseModeName(std::string_view name) {
    static const auto table = makeModeNameTable();
    std::string word(name);
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (word == "unknown") return mode::UNKNOWN;
    if (const auto it = table.find(word); it != table.end()) return it->second;
    return std::nullopt;
}

std::optional<std::int32_t> parseModeMask(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (text == "all") return kAllModes;
    std::int32_t number = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (!text.empty() && ec == std::errc() && end == text.data() + text.size())
        return (number >= 0 && number <= kAllModes) ? std::optional(number) : std::nullopt;

    static const auto table = makeModeNameTable();
    std::int32_t mask = 0;
    while (!text.empty()) {
        auto comma = text.find(',');
        std::string word(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        std::transform(word.begin(), word.end(), word.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (word == "unknown") {
            mask |= mode::UNKNOWN;
        } else if (auto it = table.find(word); it != table.end()) {
            mask |= it->second;
        } else {
            return std::nullopt;
        }
    }
    return mask;
}
