#pragma once
// A summary of samples: how many fell in each cell of the count grid, by day
// class, mode group and step of the day, for one frame and one step length.
// Counts add, so summaries built apart (one per file, month or machine)
// merge into the summary of all their samples, and a grid computed from it
// is the grid of those samples: its size grows with the occupied keys, not
// with the samples.
//
// The file (.tsum) is documented in the README; everything little-endian.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/Datapoint.h"
#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/SampleDays.h"

// The mode groups: the eleven modes in bit order, then every other mode value.
inline constexpr int kSummaryGroups = kModeCount + 1;
// The step lengths a summary may have, in seconds.
inline constexpr std::int32_t kSummarySteps[] = {60, 300, 600, 900, 1800, 3600};
inline constexpr std::int32_t kDefaultSummaryStep = 900;
bool isSummaryStep(std::int32_t seconds);
// "15m", "1h", "900s", "900": a step's seconds; nothing for any other text or
// a length that is not one of kSummarySteps.
std::optional<std::int32_t> parseSummaryStep(std::string_view text);

// The mode group of a sample's mode value.
inline int summaryGroupOf(std::int32_t mode) {
    for (int bit = 0; bit < kModeCount; ++bit)
        if (mode == (std::int32_t{1} << bit)) return bit;
    return kModeCount;
}

// Where the samples that are not in any cell went, and how many were read.
struct SummaryTotals {
    std::uint64_t samples = 0;     // every sample read
    std::uint64_t counted = 0;     // in a cell: the sum of every count
    std::uint64_t far = 0;         // centred beyond the count grid, within the largest table's reach
    std::uint64_t dropped = 0;     // further out, or coordinates that are no number
    std::uint64_t outsideDay = 0;  // on the count grid, at a time outside 0 .. 86399
    friend bool operator==(const SummaryTotals&, const SummaryTotals&) = default;
};

class Summary {
public:
    // The count grid the cells index: the density grid with a 64-cell margin
    // (kde/KdeLogic.h's kCountSide, which the builder checks this against),
    // so tables up to 129 cells a side stay exact.
    static constexpr std::int32_t kGridSide = 1000;
    static constexpr std::int32_t kCountPad = 64;
    static constexpr std::int32_t kCountSide = kGridSide + 2 * kCountPad;
    static constexpr std::uint32_t kCountCells = static_cast<std::uint32_t>(kCountSide) * kCountSide;

    GeoFrame frame;
    std::int32_t stepSeconds = kDefaultSummaryStep;
    std::string clock = "UTC";  // the clock the times of day (and dates) are in
    bool dated = false;          // some sample had a known date (days is not empty)
    std::vector<std::int32_t> days;  // the known days present, ascending
    SummaryTotals totals;

    // The occupied keys, blocks in ascending order of blockOf, each block's
    // cells ascending: block b's entries are [blockStart[b], blockStart[b + 1]).
    std::vector<std::uint32_t> blockIds;
    std::vector<std::uint64_t> blockStart{0};
    std::vector<std::uint32_t> cells;
    std::vector<std::uint64_t> counts;

    std::int32_t stepsPerDay() const { return 86400 / stepSeconds; }
    std::uint32_t blockOf(int dayClass, int group, int step) const {
        return static_cast<std::uint32_t>((dayClass * kSummaryGroups + group) * stepsPerDay() + step);
    }
    std::size_t blockCount() const { return blockIds.size(); }
    std::size_t entries() const { return cells.size(); }
    // Appends a block after the last (ascending ids, ascending cells, no zero counts).
    void appendBlock(std::uint32_t id, const std::uint32_t* blockCells, const std::uint64_t* blockCounts,
                     std::size_t n);

    friend bool operator==(const Summary&, const Summary&) = default;
};

// A summary that cannot be read, written or merged: the file and the reason.
class SummaryError : public DataFileError {
public:
    using DataFileError::DataFileError;
};

// True when the file begins with a summary's magic (the loaders' dispatch).
bool looksLikeSummary(const std::string& path);

// Reads a .tsum file whole. Throws SummaryError naming the file for one that
// cannot be read, is not a summary, is of a version this program does not
// know, is truncated, fails its checksum or holds keys out of order or range.
Summary readSummary(const std::string& path);

// The same from the file's bytes held in memory (a summary passed between
// processes); `path` names them in messages.
Summary decodeSummary(const std::string& bytes, const std::string& path);

// The file's bytes; writeSummary writes them through OutputFile.
std::string encodeSummary(const Summary& summary);
void writeSummary(const Summary& summary, const std::string& path);

// Adds `other` (read from otherPath, named in messages) into `into`, key by
// key. Throws SummaryError naming otherPath, leaving `into` as it was, when
// the frame, step or clock differ or a count or total would pass 2^64 - 1.
void mergeSummary(Summary& into, const Summary& other, const std::string& otherPath);

// The header and totals, one "name: value" line each (trackora-summary info).
std::string summaryInfo(const Summary& summary);
