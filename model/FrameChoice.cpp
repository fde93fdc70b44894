#include "model/FrameChoice.h"

#include <stdexcept>

#include "model/RawFormats.h"

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// 1,234,567
std::string count(std::int64_t n) {
    const std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

FrameRequest parseFrameRequest(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || text == "auto") return {};
    if (text == "fit") return {FrameRequest::Kind::fit, GeoFrame{}};
    return {FrameRequest::Kind::given, parseFrame(text)};
}

std::string frameRequestText(const FrameRequest& request) {
    switch (request.kind) {
    case FrameRequest::Kind::automatic: return "auto";
    case FrameRequest::Kind::fit: return "fit";
    case FrameRequest::Kind::given: break;
    }
    return frameText(request.frame);
}

GeoFrame chooseFrame(const std::vector<Datapoint>& degrees, const FrameRequest& request) {
    if (request.kind == FrameRequest::Kind::given) return request.frame;
    if (request.kind == FrameRequest::Kind::automatic) {
        const FrameBounds box = boundsOf(GeoFrame{});
        std::size_t inside = 0;
        float x = 0.0f, y = 0.0f;
        for (const Datapoint& fix : degrees) inside += placeFix(fix.x, fix.y, false, box, x, y) ? 1 : 0;
        if (degrees.empty() || 2 * inside > degrees.size()) return GeoFrame{};
    }
    std::vector<float> latitudes, longitudes;
    latitudes.reserve(degrees.size());
    longitudes.reserve(degrees.size());
    for (const Datapoint& fix : degrees) {
        latitudes.push_back(fix.x);
        longitudes.push_back(fix.y);
    }
    return fitFrame(latitudes, longitudes);
}

std::string noSamplesReason(std::int64_t read, const ImportReport& report, const GeoFrame& frame) {
    const std::string where = "the frame " + frameText(frame);
    if (read > 0 && report.outside == read)
        return read == 1 ? "its one point lies outside " + where
                         : "all " + count(read) + " points lie outside " + where;
    std::vector<std::string> parts;
    if (report.outside > 0) parts.push_back(count(report.outside) + " outside " + where);
    if (report.skippedPoints > 0) parts.push_back(count(report.skippedPoints) + " bad points skipped");
    if (report.badLines.count > 0) parts.push_back(count(report.badLines.count) + " bad lines skipped");
    if (report.ignoredFeatures > 0)
        parts.push_back(count(report.ignoredFeatures) + " features that are not points (lines, waypoints) ignored");
    if (!report.unreadable.empty())
        parts.push_back(count(static_cast<std::int64_t>(report.unreadable.size())) + " files unreadable");
    std::string text = read > 0 ? count(read) + " points read" : "it holds no points";
    for (std::size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? ": " : ", ") + parts[i];
    return text;
}
