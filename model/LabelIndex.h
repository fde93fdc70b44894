#pragma once
// The transportation-mode intervals of a label file, indexed by calendar day.
#include <cstdint>
#include <ctime>
#include <map>
#include <vector>

#include "model/Datapoint.h"

struct LabelInterval {
    std::int32_t start;       // first second of the span, inclusive
    std::int32_t end;         // last second, inclusive; 86400 is the end of the day
    TransportationMode mode;
};
static_assert(sizeof(LabelInterval) == 12);

// Identifies a calendar day of a broken-down time; only equality matters.
inline std::int32_t dateKey(const std::tm& tm) {
    return tm.tm_year * 10000 + tm.tm_mon * 100 + tm.tm_mday;
}

class LabelIndex {
public:
    // Appends to the day's intervals, keeping the order of the label file.
    void add(std::int32_t day, std::int32_t start, std::int32_t end, TransportationMode mode) {
        days_[day].push_back({start, end, mode});
    }
    void clear() { days_.clear(); }
    bool empty() const { return days_.empty(); }
    // The day's intervals, or nullptr when the day is not present.
    const std::vector<LabelInterval>* find(std::int32_t day) const {
        const auto it = days_.find(day);
        return it == days_.end() ? nullptr : &it->second;
    }
    std::size_t dayCount() const { return days_.size(); }
    const std::map<std::int32_t, std::vector<LabelInterval>>& days() const { return days_; }

    // The mode of the first interval of `day` that covers `second` (bounds
    // inclusive), or UNKNOWN.
    TransportationMode modeAt(std::int32_t day, std::int32_t second) const {
        if (const auto* intervals = find(day)) return firstCovering(*intervals, second);
        return mode::UNKNOWN;
    }
    static TransportationMode firstCovering(const std::vector<LabelInterval>& intervals,
                                            std::int32_t second) {
        for (const auto& interval : intervals)
            if (interval.start <= second && second <= interval.end) return interval.mode;
        return mode::UNKNOWN;
    }

private:
    std::map<std::int32_t, std::vector<LabelInterval>> days_;
};
