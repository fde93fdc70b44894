#pragma once
// The synthetic city of `trackora.dask demo`: samples made shard by shard
// from (seed, shard), each shard the same on any machine and in any order,
// counted into a summary as they are made, so billions of samples need
// neither disk nor memory beyond the summary builder's.
#include <cstddef>
#include <cstdint>

#include "model/Summary.h"

struct CityShard {
    std::uint64_t seed = 0;
    std::uint64_t shard = 0;
    std::uint64_t samples = 0;
    std::int32_t stepSeconds = kDefaultSummaryStep;
};

// The default box; no dates (the city has times of day only).
Summary summariseCityShard(const CityShard& request);
