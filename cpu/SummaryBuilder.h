#pragma once
// Builds a summary (model/Summary.h) from samples as they stream by: each
// counted sample's key (day class, mode group, step of the day, count-grid
// cell) goes into a buffer that is sorted and folded into the sorted counts
// so far whenever it fills. Memory: the buffer (8 bytes a key,
// kPendingKeys of them, 128 MiB, and as much again to sort it) plus 16
// bytes per occupied key, twice that while a fold merges; never per sample.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/SampleSource.h"
#include "model/Summary.h"

namespace engine {

class SummaryBuilder {
public:
    static constexpr std::size_t kPendingKeys = std::size_t{1} << 24;

    // Throws std::invalid_argument for a step that is not one of kSummarySteps.
    SummaryBuilder(const GeoFrame& frame, std::int32_t stepSeconds, std::string clock,
                   std::size_t pendingKeys = kPendingKeys);

    // Samples with their dates (days null when they have none).
    void add(const Datapoint* samples, const std::int32_t* days, std::size_t count);
    // Every sample of a source, a chunk at a time (its dates when it has them).
    void add(const SampleSource& source);

    // The summary of everything added; the builder is empty afterwards.
    Summary finish();

private:
    void fold();

    Summary header_;
    std::size_t pendingLimit_;
    std::vector<std::uint64_t> pending_;  // block * cells + cell, unsorted
    std::vector<std::uint64_t> scratch_;  // the sort's other buffer
    std::vector<std::uint64_t> keys_;     // folded keys, ascending
    std::vector<std::uint64_t> counts_;   // their counts
    std::vector<std::int32_t> days_;      // known days seen, unsorted, deduplicated at each fold
    std::int32_t lastDay_ = kUnknownDay;
};

// The summary of a whole source.
Summary summarise(const SampleSource& source, const GeoFrame& frame, std::int32_t stepSeconds,
                  const std::string& clock);

}  // namespace engine
