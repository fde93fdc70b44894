#include "python/SyntheticCity.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "cpu/SummaryBuilder.h"

namespace {

// splitmix64: tiny state, so every chunk of every shard seeds its own.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Two uniforms of 32 bits from one draw: enough for positions on a
    // 1000-cell grid and halves the generator's cost.
    void pair(float& a, float& b) {
        const std::uint64_t bits = next();
        a = static_cast<float>(bits >> 40) * (1.0f / 16777216.0f);
        b = static_cast<float>((bits >> 8) & 0xFFFFFF) * (1.0f / 16777216.0f);
    }
};

struct Hotspot {
    float x, y, spread;
};
struct Corridor {
    float x0, y0, dx, dy;
};

// The city's plan, the same for every seed: the seed varies the samples.
struct Plan {
    std::vector<Hotspot> hotspots;
    std::vector<Corridor> corridors;
    // Standard normals, looked up instead of computed: the log and cosine
    // of Box-Muller were most of a sample's cost.
    std::vector<float> normals;
    Plan() {
        Random layout{20240611};
        float a, b;
        for (int i = 0; i < 32; ++i) {
            layout.pair(a, b);
            const float spread = 0.002f + 0.004f * static_cast<float>(layout.next() >> 40) / 16777216.0f;
            hotspots.push_back({0.15f + 0.7f * a, 0.15f + 0.7f * b, spread});
        }
        for (int i = 0; i < 24; ++i) {
            float x0, y0, x1, y1;
            layout.pair(x0, y0);
            layout.pair(x1, y1);
            corridors.push_back({x0, y0, x1 - x0, y1 - y0});
        }
        for (int i = 0; i < 6; ++i) {  // ring roads
            const float r = 0.08f * static_cast<float>(i + 1);
            corridors.push_back({0.5f - r, 0.5f - r, 2 * r, 0});
            corridors.push_back({0.5f - r, 0.5f + r, 2 * r, 0});
        }
        constexpr int kNormals = 1 << 16;
        normals.resize(kNormals);
        for (int i = 0; i < kNormals; ++i) {
            // Quantiles of the normal distribution by bisection on erfc.
            const double p = (i + 0.5) / kNormals;
            double lo = -6, hi = 6;
            for (int k = 0; k < 60; ++k) {
                const double mid = (lo + hi) / 2;
                (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
            }
            normals[static_cast<std::size_t>(i)] = static_cast<float>((lo + hi) / 2);
        }
    }
};

const Plan& plan() {
    static const Plan city;
    return city;
}

// Few modes per kind of place, as in real fleets' data: the summary's size
// follows the (mode, step, cell) keys the city occupies.
constexpr std::int32_t kRoadModes[] = {mode::CAR, mode::CAR, mode::CAR, mode::CAR,
                                       mode::BUS, mode::BUS, mode::BIKE, mode::MOTORCYCLE};
constexpr std::int32_t kPlaceModes[] = {mode::WALK, mode::WALK, mode::WALK, mode::WALK,
                                        mode::WALK, mode::BIKE, mode::BIKE, mode::UNKNOWN};

// Morning and evening peaks over a day from 05:00 to 24:00.
std::int32_t pickTime(Random& random, const std::vector<float>& normals) {
    const std::uint64_t bits = random.next();
    const std::uint32_t u = static_cast<std::uint32_t>(bits & 3);
    const float n = normals[(bits >> 2) & 0xFFFF];
    float hours;
    if (u == 0)
        hours = 8.0f + 0.7f * n;
    else if (u == 1)
        hours = 18.0f + 0.8f * n;
    else
        hours = 5.0f + 19.0f * static_cast<float>(bits >> 40) / 16777216.0f;
    return std::clamp(static_cast<std::int32_t>(hours * 3600.0f), 0, 86399);
}

}  // namespace

Summary summariseCityShard(const CityShard& request) {
    const Plan& city = plan();
    engine::SummaryBuilder builder(GeoFrame{}, request.stepSeconds, "UTC");
    // A chunk is made from its own seed: the shard's samples do not depend
    // on how the work inside it is split.
    constexpr std::uint64_t kChunk = std::uint64_t{1} << 20;
    std::vector<Datapoint> points(kChunk);
    const std::vector<float>& normals = city.normals;
    for (std::uint64_t first = 0; first < request.samples; first += kChunk) {
        const std::uint64_t n = std::min(kChunk, request.samples - first);
        Random random{request.seed * 0x9E3779B97F4A7C15ull ^ (request.shard << 32) ^ (first / kChunk)};
        random.next();
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t bits = random.next();
            const std::uint32_t kind = static_cast<std::uint32_t>(bits & 0xFF);
            const float na = normals[(bits >> 8) & 0xFFFF];
            const float nb = normals[(bits >> 24) & 0xFFFF];
            const std::uint32_t pick = static_cast<std::uint32_t>(bits >> 40);
            float x, y;
            std::int32_t mode;
            if (kind < 110) {  // around the centres and stations
                const Hotspot& h = city.hotspots[pick % city.hotspots.size()];
                x = h.x + h.spread * na;
                y = h.y + h.spread * nb;
                mode = kPlaceModes[(pick >> 8) & 7];
            } else {  // along the roads and lines
                const Corridor& c = city.corridors[pick % city.corridors.size()];
                const float along = static_cast<float>((pick >> 6) & 0x3FFF) * (1.0f / 16384.0f);
                x = c.x0 + along * c.dx + 0.0003f * na;
                y = c.y0 + along * c.dy + 0.0003f * nb;
                // Every fifth line a railway or subway line.
                mode = (pick % city.corridors.size()) % 5 == 0 ? ((pick % city.corridors.size()) % 2 ? mode::TRAIN : mode::SUBWAY) : kRoadModes[(pick >> 20) & 7];
            }
            points[i] = Datapoint(std::clamp(x, 0.0f, 0.9999f), std::clamp(y, 0.0f, 0.9999f),
                                  static_cast<TransportationMode>(mode), pickTime(random, normals));
        }
        builder.add(points.data(), nullptr, n);
    }
    return builder.finish();
}
