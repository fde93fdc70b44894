// One read of the samples feeds the GPU upload and the CPU index: a source
// tapped while the CPU engine indexes it hands every sample to the tap once
// and in order, whether the index reads it once (times within the day) or
// again after stopping its first pass early (times outside the day), and a
// cancel stops the read and the tap together.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "EngineTestData.h"
#include "cpu/CountingEngine.h"
#include "model/LoadError.h"
#include "model/SampleSource.h"

namespace {

// Samples from memory in chunks of `chunk`, counting the passes made over
// them; cancelled (as another thread would) before chunk `cancelAt`.
class CountedSource final : public SampleSource {
public:
    CountedSource(const std::vector<Datapoint>& points, std::size_t chunk, std::size_t cancelAt = SIZE_MAX)
        : points_(points), chunk_(chunk), cancelAt_(cancelAt) {
        cancel = &cancelled_;
    }
    std::size_t size() const override { return points_.size(); }
    const std::string& path() const override { return path_; }
    void forEachChunk(const Visit& visit) const override {
        ++passes;
        std::size_t index = 0;
        for (std::size_t first = 0; first < points_.size(); first += chunk_, ++index) {
            if (index == cancelAt_) cancelled_ = true;
            stopIfCancelled();
            visit(points_.data() + first, std::min(chunk_, points_.size() - first), first);
        }
    }
    mutable int passes = 0;

private:
    const std::vector<Datapoint>& points_;
    std::size_t chunk_;
    std::size_t cancelAt_;
    std::string path_ = "counted.bin";
    mutable std::atomic<bool> cancelled_{false};
};

std::vector<Datapoint> withinTheDay(int count) {
    std::vector<Datapoint> points;
    for (int i = 0; i < count; ++i)
        points.emplace_back(0.3f + 0.004f * static_cast<float>(i % 97), 0.3f + 0.004f * static_cast<float>(i % 89),
                            kModes[i % kModeCount], (i * 37) % 86400);
    return points;
}

TEST(TappedSource, TheTapSeesEverySampleOnceInOrderAsTheIndexReads) {
    struct Case {
        const char* name;
        std::vector<Datapoint> points;
        bool onePass;
    };
    const Case cases[] = {
        {"times within the day", withinTheDay(10000), true},
        {"times outside the day too", adversarialPoints(3, 5000), false},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        CountedSource source(test.points, 700);
        std::vector<Datapoint> seen;
        const TappedSource tapped(source, [&](const Datapoint* chunk, std::size_t count, std::size_t first) {
            EXPECT_EQ(first, seen.size());
            seen.insert(seen.end(), chunk, chunk + count);
        });
        engine::CountingEngine cpu(tapped, 2);
        EXPECT_EQ(tapped.tapped(), test.points.size());
        ASSERT_EQ(seen.size(), test.points.size());
        // Bytes, not values: the data hold NaN coordinates.
        EXPECT_EQ(std::memcmp(seen.data(), test.points.data(), seen.size() * sizeof(Datapoint)), 0);
        if (test.onePass)
            EXPECT_EQ(source.passes, 1);
        else
            EXPECT_GT(source.passes, 1);  // else this case shows nothing the first does not
        // The tap takes nothing from the index.
        engine::CountingEngine plain(test.points, 2);
        ControlSettings settings;
        settings.mode_mask = kAllModes;
        EXPECT_EQ(cpu.compute(settings), plain.compute(settings));
    }
}

TEST(TappedSource, CancelStopsTheReadAndTheTap) {
    const auto points = withinTheDay(10000);
    CountedSource source(points, 700, 4);
    std::size_t tappedCount = 0;
    const TappedSource tapped(source, [&](const Datapoint*, std::size_t count, std::size_t) { tappedCount += count; });
    EXPECT_THROW(engine::CountingEngine(tapped, 2), LoadCancelled);
    EXPECT_EQ(tappedCount, 4u * 700u);
}

}  // namespace
