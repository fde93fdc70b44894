#pragma once
// How many samples each transportation mode has, over the day in quarter
// hours: what the panel's counts and histogram show. Counted while the
// samples are indexed, so a file read in pieces needs no pass of its own.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "model/Datapoint.h"
#include "model/ModeNames.h"

struct SampleTally {
    static constexpr int kBins = 96;  // a bin per 15 minutes
    // Per mode, in TransportationMode bit order.
    std::array<std::int64_t, kModeCount> counts{};
    std::array<std::array<std::int64_t, kBins>, kModeCount> bins{};
    std::int64_t total = 0;       // samples of the eleven modes
    std::int64_t otherModes = 0;  // samples whose mode is none of the eleven, counted in no mode

    // One sample of mode `mode` (modeIndex's value, -1 for none of the
    // eleven) at `time`; times outside the day count for the mode but in no bin.
    void add(int mode, std::int32_t time) {
        if (mode < 0) {
            ++otherModes;
            return;
        }
        ++total;
        ++counts[static_cast<std::size_t>(mode)];
        if (time >= 0 && time < 86400) ++bins[static_cast<std::size_t>(mode)][static_cast<std::size_t>(time / 900)];
    }
    // n samples of mode `mode` spread over the seconds [start, start +
    // seconds) of the day, each quarter hour taking the share of n its
    // seconds hold: a summary's step of 30 or 60 minutes is not all in its
    // first quarter hour. The shares are whole, add up to n, and are those
    // of n samples laid evenly over the span, rounded at the span's
    // cumulative edges.
    void addSpread(int mode, std::int32_t start, std::int32_t seconds, std::int64_t n) {
        if (mode < 0) {
            otherModes += n;
            return;
        }
        total += n;
        counts[static_cast<std::size_t>(mode)] += n;
        if (seconds <= 0 || start < 0 || start + seconds > 86400) return;
        // n * x / seconds as (n / seconds) * x + (n % seconds) * x / seconds:
        // no product passes 64 bits for a step of a day at most.
        const auto upTo = [&](std::int32_t x) {
            return n / seconds * x + n % seconds * x / seconds;
        };
        for (std::int32_t q = start / 900; q * 900 < start + seconds; ++q) {
            const std::int32_t lo = std::max(start, q * 900) - start;
            const std::int32_t hi = std::min(start + seconds, (q + 1) * 900) - start;
            bins[static_cast<std::size_t>(mode)][static_cast<std::size_t>(q)] += upTo(hi) - upTo(lo);
        }
    }
    void add(const Datapoint* samples, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) add(modeIndex(samples[i].mode), samples[i].time);
    }

    void merge(const SampleTally& other) {
        for (int m = 0; m < kModeCount; ++m) {
            counts[static_cast<std::size_t>(m)] += other.counts[static_cast<std::size_t>(m)];
            for (int b = 0; b < kBins; ++b)
                bins[static_cast<std::size_t>(m)][static_cast<std::size_t>(b)] +=
                    other.bins[static_cast<std::size_t>(m)][static_cast<std::size_t>(b)];
        }
        total += other.total;
        otherModes += other.otherModes;
    }
};
