#include "cpu/SummaryBuilder.h"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <utility>

#include "kde/KdeLogic.h"

namespace engine {

static_assert(Summary::kCountSide == kde::kCountSide && Summary::kCountPad == kde::kCountPad &&
                  Summary::kGridSide == kde::kSide,
              "a summary's cells are the count grid's");
static_assert(kSummaryGroups == kModeCount + 1);

namespace {
constexpr std::uint64_t kCells = Summary::kCountCells;
// Days gathered before they are deduplicated, besides at each fold.
constexpr std::size_t kDaysBeforeDedup = std::size_t{1} << 16;

void dedupDays(std::vector<std::int32_t>& days) {
    std::sort(days.begin(), days.end());
    days.erase(std::unique(days.begin(), days.end()), days.end());
}

// Sorts keys by their low `bits` bits (the rest are zero) in passes of at
// most 12 bits, through `scratch`: a few sequential passes instead of
// std::sort's comparisons, which were half of a build's time.
void radixSort(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& scratch, int bits) {
    const int passes = std::max(1, (bits + 11) / 12);
    const int digit = (bits + passes - 1) / passes;
    const std::uint64_t mask = (std::uint64_t{1} << digit) - 1;
    std::vector<std::size_t> starts(std::size_t{1} << digit);
    scratch.resize(keys.size());
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = pass * digit;
        std::fill(starts.begin(), starts.end(), 0);
        for (const std::uint64_t key : keys) ++starts[(key >> shift) & mask];
        std::size_t sum = 0;
        for (std::size_t& start : starts) sum += std::exchange(start, sum);
        for (const std::uint64_t key : keys) scratch[starts[(key >> shift) & mask]++] = key;
        keys.swap(scratch);
    }
}
}  // namespace

SummaryBuilder::SummaryBuilder(const GeoFrame& frame, std::int32_t stepSeconds, std::string clock,
                               std::size_t pendingKeys)
    : pendingLimit_(std::max<std::size_t>(1, pendingKeys)) {
    if (!isSummaryStep(stepSeconds))
        throw std::invalid_argument("a step of " + std::to_string(stepSeconds) + " s is not one a summary has");
    header_.frame = frame;
    header_.stepSeconds = stepSeconds;
    header_.clock = std::move(clock);
    pending_.reserve(std::min(pendingLimit_, kPendingKeys));
}

void SummaryBuilder::add(const Datapoint* samples, const std::int32_t* days, std::size_t count) {
    SummaryTotals& totals = header_.totals;
    totals.samples += count;
    const std::int32_t step = header_.stepSeconds;
    const std::int32_t steps = header_.stepsPerDay();
    for (std::size_t i = 0; i < count; ++i) {
        const Datapoint& point = samples[i];
        // Every sample's day is kept, wherever it lies, as the sample
        // files' date spans count them.
        const std::int32_t day = days ? days[i] : kUnknownDay;
        if (day != kUnknownDay && day != lastDay_) {
            header_.dated = true;
            lastDay_ = day;
            days_.push_back(day);
            if (days_.size() >= kDaysBeforeDedup) dedupDays(days_);
        }
        const kde::Cell cell = kde::cell_of(point);
        const kde::Place place = kde::place_of(cell);
        if (place == kde::Place::dropped) {
            ++totals.dropped;
            continue;
        }
        if (place == kde::Place::far) {
            ++totals.far;
            continue;
        }
        if (point.time < 0 || point.time >= 86400) {
            ++totals.outsideDay;
            continue;
        }
        const std::uint64_t block = static_cast<std::uint64_t>(
            (dayClassOf(day) * kSummaryGroups + summaryGroupOf(point.mode)) * steps + point.time / step);
        pending_.push_back(block * kCells + kde::count_index(cell));
        if (pending_.size() >= pendingLimit_) fold();
    }
}

void SummaryBuilder::add(const SampleSource& source) {
    source.forEachDatedChunk([&](const Datapoint* samples, const std::int32_t* days, std::size_t count, std::size_t) {
        add(samples, days, count);
    });
}

// Sorts the pending keys, counts each run and merges the runs into the
// counts so far.
void SummaryBuilder::fold() {
    if (pending_.empty()) return;
    const std::uint64_t largest = *std::max_element(pending_.begin(), pending_.end());
    radixSort(pending_, scratch_, std::bit_width(largest));
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> counts;
    keys.reserve(keys_.size() + pending_.size());
    counts.reserve(keys.capacity());
    std::size_t old = 0;
    for (std::size_t i = 0; i < pending_.size();) {
        const std::uint64_t key = pending_[i];
        std::size_t j = i + 1;
        while (j < pending_.size() && pending_[j] == key) ++j;
        while (old < keys_.size() && keys_[old] < key) {
            keys.push_back(keys_[old]);
            counts.push_back(counts_[old++]);
        }
        std::uint64_t count = j - i;
        if (old < keys_.size() && keys_[old] == key) count += counts_[old++];
        keys.push_back(key);
        counts.push_back(count);
        i = j;
    }
    keys.insert(keys.end(), keys_.begin() + static_cast<std::ptrdiff_t>(old), keys_.end());
    counts.insert(counts.end(), counts_.begin() + static_cast<std::ptrdiff_t>(old), counts_.end());
    keys.shrink_to_fit();
    counts.shrink_to_fit();
    keys_ = std::move(keys);
    counts_ = std::move(counts);
    pending_.clear();
    dedupDays(days_);
}

Summary SummaryBuilder::finish() {
    fold();
    Summary summary = std::move(header_);
    summary.days = std::move(days_);
    dedupDays(summary.days);
    summary.cells.reserve(keys_.size());
    summary.counts.reserve(keys_.size());
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        const auto block = static_cast<std::uint32_t>(keys_[i] / kCells);
        if (summary.blockIds.empty() || summary.blockIds.back() != block) {
            if (!summary.blockIds.empty()) summary.blockStart.push_back(summary.cells.size());
            summary.blockIds.push_back(block);
        }
        summary.cells.push_back(static_cast<std::uint32_t>(keys_[i] % kCells));
        summary.counts.push_back(counts_[i]);
        summary.totals.counted += counts_[i];
    }
    if (!summary.blockIds.empty()) summary.blockStart.push_back(summary.cells.size());
    const GeoFrame frame = summary.frame;
    header_ = Summary{};
    header_.frame = frame;
    header_.stepSeconds = summary.stepSeconds;
    header_.clock = summary.clock;
    keys_.clear();
    counts_.clear();
    days_.clear();
    lastDay_ = kUnknownDay;
    return summary;
}

Summary summarise(const SampleSource& source, const GeoFrame& frame, std::int32_t stepSeconds,
                  const std::string& clock) {
    SummaryBuilder builder(frame, stepSeconds, clock);
    builder.add(source);
    return builder.finish();
}

}  // namespace engine
