#pragma once
// Differential checks of the fast readers against the straightforward ones
// (std::getline, std::stof, std::get_time). Each returns an empty string when
// both agree, or what differs. Shared by the fuzz targets and the unit tests.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/FastParse.h"
#include "model/ModeNames.h"
#include "model/RawFormats.h"
#include "tests/support/ReferenceParse.h"

namespace differential {

inline bool sameFloat(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    std::uint32_t x, y;
    std::memcpy(&x, &a, 4);
    std::memcpy(&y, &b, 4);
    return x == y;
}

inline std::string show(const TimeFields& t) {
    return std::to_string(t.year) + "/" + std::to_string(t.mon) + "/" + std::to_string(t.mday) + " " +
           std::to_string(t.hour) + ":" + std::to_string(t.min) + ":" + std::to_string(t.sec);
}

// One field read as a float and with each of the three time patterns.
inline std::string checkField(std::string_view text) {
    const FloatResult fast = parseFloatField(text);
    const FloatResult reference = referenceFloat(text);
    if (fast.status != reference.status ||
        (fast.status == NumberStatus::ok && !sameFloat(fast.value, reference.value)))
        return "float differs";
    if (!(parseClock(text) == referenceTimeFields(text, "%T"))) return "clock differs: " + show(parseClock(text));
    if (!(parseDate(text) == referenceTimeFields(text, "%Y-%m-%d"))) return "date differs";
    if (!(parseLabelTime(text) == referenceTimeFields(text, "%Y/%m/%d %H:%M:%S"))) return "label time differs";
    return {};
}

// The outcome of a parse: the records, or the exception's type and text.
struct Outcome {
    std::vector<Datapoint> points;
    std::string error;
};

template <typename Parse>
Outcome capture(Parse parse) {
    Outcome outcome;
    try {
        outcome.points = parse();
    } catch (const std::invalid_argument& e) {
        outcome.error = std::string("invalid_argument: ") + e.what();
    } catch (const std::out_of_range& e) {
        outcome.error = std::string("out_of_range: ") + e.what();
    }
    return outcome;
}

inline std::string compare(const Outcome& fast, const Outcome& reference) {
    if (fast.error != reference.error) return "errors differ: [" + fast.error + "] vs [" + reference.error + "]";
    if (fast.points.size() != reference.points.size()) return "record counts differ";
    for (std::size_t i = 0; i < fast.points.size(); ++i) {
        const Datapoint& a = fast.points[i];
        const Datapoint& b = reference.points[i];
        if (!sameFloat(a.x, b.x) || !sameFloat(a.y, b.y) || a.mode != b.mode || a.time != b.time)
            return "record " + std::to_string(i) + " differs";
    }
    return {};
}

// A whole trajectory file, with and without normalisation, with labels on
// two days so the date field matters.
inline std::string checkTrajectory(std::string_view content) {
    LabelIndex labels;
    labels.add(109 * 10000 + 5 * 100 + 1, 0, 43200, mode::WALK);
    labels.add(109 * 10000 + 5 * 100 + 1, 30000, 86400, mode::BUS);
    labels.add(0, 0, 86400, mode::BOAT);  // the key of a date that does not parse
    const FrameBounds frame;
    for (bool normalize : {true, false}) {
        for (const LabelIndex* index : {static_cast<const LabelIndex*>(&labels), static_cast<const LabelIndex*>(nullptr)}) {
            const LabelIndex none;
            const LabelIndex& inForce = index ? *index : none;
            const Outcome fast = capture([&] {
                std::vector<Datapoint> out;
                TrajectoryCounts counts;
                parseTrajectoryText(content, "f.plt", normalize, inForce, frame, out, counts);
                if (counts.kept != static_cast<std::int64_t>(out.size()) || counts.kept + counts.outside != counts.lines)
                    throw std::logic_error("counts do not add up");
                return out;
            });
            const Outcome reference = capture([&] {
                std::istringstream in{std::string(content)};
                return referenceParseTrajectory(in, "f.plt", normalize, inForce, frame);
            });
            const std::string difference = compare(fast, reference);
            if (!difference.empty()) return difference;
        }
    }
    return {};
}

inline std::string checkLabels(std::string_view content) {
    static const auto names = makeModeNameTable();
    LabelCounts counts;
    LabelIndex fast;
    LabelIndex reference;
    std::string fastError;
    std::string referenceError;
    try {
        fast = parseLabelsText(content, "labels.txt", names, counts);
    } catch (const std::invalid_argument& e) {
        fastError = e.what();
    }
    try {
        std::istringstream in{std::string(content)};
        reference = referenceParseLabels(in, "labels.txt", names);
    } catch (const std::invalid_argument& e) {
        referenceError = e.what();
    }
    if (fastError != referenceError) return "errors differ: [" + fastError + "] vs [" + referenceError + "]";
    if (fast.days().size() != reference.days().size()) return "day counts differ";
    for (auto a = fast.days().begin(), b = reference.days().begin(); a != fast.days().end(); ++a, ++b) {
        if (a->first != b->first || a->second.size() != b->second.size()) return "days differ";
        for (std::size_t i = 0; i < a->second.size(); ++i) {
            const LabelInterval& x = a->second[i];
            const LabelInterval& y = b->second[i];
            if (x.start != y.start || x.end != y.end || x.mode != y.mode) return "intervals differ";
        }
    }
    if (counts.lines < counts.unknownNames) return "label counts do not add up";
    return {};
}

// The grammar property: a trajectory file the parser accepts holds only fix
// lines of the format (before its first empty line), as the regular
// expressions of the reference reading define it.
inline std::string checkTrajectoryGrammar(std::string_view content) {
    std::vector<Datapoint> out;
    TrajectoryCounts counts;
    try {
        parseTrajectoryText(content, "f.plt", true, LabelIndex(), FrameBounds(), out, counts);
    } catch (const std::logic_error&) {
        return {};  // rejected: the differential check says whether rightly
    }
    LineReader reader(content);
    std::string_view line;
    for (int i = 0; i < 6; ++i)
        if (!reader.next(line)) return {};
    while (reader.next(line) && !line.empty())
        if (!referenceTrajectoryLine(line)) return "accepted a line outside the grammar: " + std::string(line);
    return {};
}

}  // namespace differential
