// The day classes: whether the running engine filters them (else the
// samples were chosen through their source), their tallies, and the
// summary engine, whose tally adds its blocks' samples.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "cpu/CountingEngine.h"
#include "cpu/SummaryEngine.h"
#include "engine/EngineState.h"

namespace HeatmapEngine {

using namespace detail;

ControlSettings detail::forTheEngine(const ControlSettings& settings) {
    ControlSettings asked = settings;
    if (!filtersDayClasses()) asked.day_classes = kAllDayClasses;
    return asked;
}

SampleTally summaryTally(const Summary& summary, const std::vector<std::int64_t>& blockSamples,
                         std::uint8_t dayClasses) {
    SampleTally tally;
    const auto steps = static_cast<std::uint32_t>(summary.stepsPerDay());
    for (std::size_t b = 0; b < summary.blockIds.size() && b < blockSamples.size(); ++b) {
        const std::uint32_t id = summary.blockIds[b];
        const auto dayClass = id / steps / kSummaryGroups;
        if (!((dayClasses >> dayClass) & 1u)) continue;
        const int group = static_cast<int>(id / steps % kSummaryGroups);
        const auto step = static_cast<std::int32_t>(id % steps);
        tally.addSpread(group == kModeCount ? -1 : group, step * summary.stepSeconds, summary.stepSeconds,
                        blockSamples[b]);
    }
    return tally;
}

PreparedEnginePtr prepare(std::shared_ptr<const Summary> summary, int) {
    PreparedEnginePtr prepared(new PreparedEngine);
    std::vector<std::int64_t>& blockSamples = prepared->summaryBlockSamples;
    blockSamples.resize(summary->blockIds.size());
    for (std::size_t b = 0; b < summary->blockIds.size(); ++b) {
        std::int64_t samples = 0;
        for (std::uint64_t e = summary->blockStart[b]; e < summary->blockStart[b + 1]; ++e)
            samples += static_cast<std::int64_t>(summary->counts[e]);
        blockSamples[b] = samples;
    }
    prepared->tally = summaryTally(*summary, blockSamples, kAllDayClasses);
    auto active = std::make_unique<engine::SummaryEngine>(std::move(summary), engine::hardwareThreads());
    prepared->counter = active.get();
    prepared->announcement = "Density engine: " + active->name();
    prepared->active = std::move(active);
    return prepared;
}

bool filtersDayClasses() {
    if (const auto* summary = dynamic_cast<const engine::SummaryEngine*>(state.active.get()))
        return summary->summary().dated;
    const auto* cpu = dynamic_cast<const engine::CountingEngine*>(state.active.get());
    return cpu && cpu->dated();
}

std::optional<SampleTally> dayClassTally(std::uint8_t dayClasses) {
    if (const auto* summary = dynamic_cast<const engine::SummaryEngine*>(state.active.get())) {
        if (!summary->summary().dated) return std::nullopt;
        return summaryTally(summary->summary(), state.summaryBlockSamples, dayClasses);
    }
    const auto* cpu = dynamic_cast<const engine::CountingEngine*>(state.active.get());
    if (!cpu || !cpu->dated()) return std::nullopt;
    return cpu->tally(dayClasses);
}

}  // namespace HeatmapEngine
