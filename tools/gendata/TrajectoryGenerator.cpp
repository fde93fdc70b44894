#include "tools/gendata/TrajectoryGenerator.h"

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "model/FastParse.h"

namespace fs = std::filesystem;

// ---------------------------------------------------------------- raster

namespace {
constexpr double kNorth = 40.1;
constexpr double kSouth = 39.75;
constexpr double kWest = 116.15;
constexpr double kEast = 116.6;
constexpr double kMetresPerDegree = 111'320.0;
constexpr double kPi = 3.14159265358979323846;
}  // namespace

RoadRaster::RoadRaster(int width, int height, std::vector<std::uint8_t> brightness)
    : width_(width), height_(height), brightness_(std::move(brightness)) {
    if (width <= 0 || height <= 0 || brightness_.size() != static_cast<std::size_t>(width) * height)
        throw std::invalid_argument("road raster size does not match its pixels");
    for (auto b : brightness_) roadPixels_ += b != 0;
}

RoadRaster RoadRaster::fromMapImage(const std::string& path) {
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> pixels(stbi_load(path.c_str(), &width, &height, &channels, 3),
                                                          stbi_image_free);
    if (!pixels) {
        const char* reason = stbi_failure_reason();
        throw std::runtime_error("cannot read map image \"" + path + "\": " + (reason ? reason : "unknown error"));
    }
    // The attribution label in the south-east corner is not road.
    const int labelX = static_cast<int>(3358.0 * width / 4096.0);
    const int labelY = static_cast<int>(4024.0 * height / 4096.0);
    std::vector<std::uint8_t> brightness(static_cast<std::size_t>(width) * height, 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (x >= labelX && y >= labelY) continue;
            const unsigned char* p = pixels.get() + (static_cast<std::size_t>(y) * width + x) * 3;
            const int excess = std::max({p[0] - 26, p[1] - 29, p[2] - 34});
            if (excess > 8) brightness[static_cast<std::size_t>(y) * width + x] = static_cast<std::uint8_t>(std::min(excess, 255));
        }
    }
    return RoadRaster(width, height, std::move(brightness));
}

RoadRaster RoadRaster::fromMaskImage(const std::string& path) {
    int width = 0, height = 0, channels = 0;
    std::unique_ptr<unsigned char, void (*)(void*)> pixels(stbi_load(path.c_str(), &width, &height, &channels, 1),
                                                          stbi_image_free);
    if (!pixels) {
        const char* reason = stbi_failure_reason();
        throw std::runtime_error("cannot read mask image \"" + path + "\": " + (reason ? reason : "unknown error"));
    }
    std::vector<std::uint8_t> on(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < on.size(); ++i) on[i] = pixels.get()[i] >= 128 ? 255 : 0;
    return RoadRaster(width, height, std::move(on));
}

double RoadRaster::latitudeAt(double y) const { return kNorth - (kNorth - kSouth) * y / height_; }
double RoadRaster::longitudeAt(double x) const { return kWest + (kEast - kWest) * x / width_; }
double RoadRaster::yOf(double latitude) const { return (kNorth - latitude) / (kNorth - kSouth) * height_; }
double RoadRaster::xOf(double longitude) const { return (longitude - kWest) / (kEast - kWest) * width_; }
double RoadRaster::metresPerPixelX() const {
    return (kEast - kWest) / width_ * kMetresPerDegree * std::cos((kNorth + kSouth) / 2 * kPi / 180);
}
double RoadRaster::metresPerPixelY() const { return (kNorth - kSouth) / height_ * kMetresPerDegree; }

// ---------------------------------------------------------------- generator

namespace {

// xoshiro256** seeded through splitmix64: the same tree on every machine.
class Random {
public:
    explicit Random(std::uint64_t seed) {
        for (auto& word : state_) {
            seed += 0x9e3779b97f4a7c15ULL;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            word = z ^ (z >> 31);
        }
    }
    std::uint64_t next() {
        const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double uniform(double a, double b) { return a + (b - a) * uniform(); }
    int below(int n) { return static_cast<int>(uniform() * n); }
    bool chance(double p) { return uniform() < p; }
    double normal() {
        const double u = 1.0 - uniform();
        const double v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * kPi * v);
    }
    double normal(double mean, double sigma) { return mean + sigma * normal(); }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

// The label-file names, with the flag each stands for.
struct ModeInfo {
    const char* name;
    TransportationMode mode;
    double speed;     // typical metres per second
    double noise;     // GPS noise, metres (one sigma per axis)
    bool vehicle;     // keeps to the major roads
};
enum ModeId { kWalk, kBike, kBus, kCar, kTaxi, kSubway, kTrain, kAirplane, kBoat, kRun, kMotorcycle };
constexpr ModeInfo kModeInfo[] = {
    {"walk", mode::WALK, 1.35, 3.0, false},      {"bike", mode::BIKE, 4.2, 3.0, false},
    {"bus", mode::BUS, 7.0, 3.5, true},          {"car", mode::CAR, 11.0, 3.0, true},
    {"taxi", mode::CAR, 10.5, 3.0, true},        {"subway", mode::SUBWAY, 12.0, 12.0, true},
    {"train", mode::TRAIN, 18.0, 4.0, true},     {"airplane", mode::AIRPLANE, 90.0, 6.0, false},
    {"boat", mode::BOAT, 2.4, 3.0, false},       {"run", mode::RUN, 3.0, 3.0, false},
    {"motorcycle", mode::MOTORCYCLE, 10.0, 3.0, true},
};

int modeBit(TransportationMode mode) {
    int bit = 0;
    while ((1 << bit) != static_cast<int>(mode)) ++bit;
    return bit;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void civilFromDays(std::int64_t days, int& year, int& month, int& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

constexpr std::int64_t kFirstDay = 14153;  // 2008-10-01
constexpr std::int64_t kSpreadsheetEpoch = 25569;  // days from 1899-12-30 to 1970-01-01

struct Point {
    double x, y;  // continuous pixel coordinates
};

// Moves along the road pixels of the raster, turning at junctions towards a
// goal, as a person finding their way through the street grid would.
class RoadWalker {
public:
    RoadWalker(const RoadRaster& roads, Random& random) : roads_(roads), random_(random) {}

    Point position() const { return position_; }
    void place(Point p) {
        position_ = snap(p, 60);
        heading_ = random_.uniform(0, 2 * kPi);
        sinceDecision_ = 1e9;
    }
    void setGoal(Point goal) { goal_ = goal; }
    // How often the walker had to turn back because its way ended.
    int deadEnds() const { return deadEnds_; }

    void advance(double pixels, bool vehicle) {
        while (pixels > 0) {
            const double step = std::min(pixels, 1.5);
            pixels -= step;
            sinceDecision_ += step;
            if (sinceDecision_ >= 7.0 || !road(ahead(heading_, 3.0))) decide(vehicle);
            position_.x += step * std::cos(heading_);
            position_.y += step * std::sin(heading_);
            if (!road(position_)) {
                // Back onto the road, but no faster than the walker moves:
                // a jump to the road would fake a burst of speed.
                const Point target = snap(position_, 3);
                const double dx = target.x - position_.x, dy = target.y - position_.y;
                const double gap = std::hypot(dx, dy);
                const double share = gap > step ? step / gap : 1.0;
                position_.x += share * dx;
                position_.y += share * dy;
            }
        }
    }

    // The road pixel nearest to `p` within `radius` pixels, or `p` itself.
    Point snap(Point p, int radius) const {
        const int cx = static_cast<int>(p.x), cy = static_cast<int>(p.y);
        if (roads_.at(cx, cy)) return p;
        for (int r = 1; r <= radius; ++r) {
            for (int dy = -r; dy <= r; ++dy) {
                for (int dx = -r; dx <= r; ++dx) {
                    if (std::max(std::abs(dx), std::abs(dy)) != r) continue;
                    if (roads_.at(cx + dx, cy + dy)) return {cx + dx + 0.5, cy + dy + 0.5};
                }
            }
        }
        return p;
    }

private:
    Point ahead(double heading, double distance) const {
        return {position_.x + distance * std::cos(heading), position_.y + distance * std::sin(heading)};
    }
    bool road(Point p) const { return roads_.at(p.x, p.y) != 0; }

    void decide(bool vehicle) {
        static constexpr double turns[] = {0,  10,  -10,  20,  -20,  30,  -30,  45,  -45,  60, -60,
                                           75, -75, 90,  -90, 120, -120, 150, -150};
        const double goalHeading = std::atan2(goal_.y - position_.y, goal_.x - position_.x);
        constexpr double kNone = -1e9;  // below every score
        double bestScore = kNone;
        double best = heading_ + kPi;  // turn back when nothing else goes on
        for (double turn : turns) {
            const double heading = heading_ + turn * kPi / 180;
            const Point near = ahead(heading, 3.0);
            const Point far = ahead(heading, 7.0);
            if (!road(near) || !road(far)) continue;
            // Map brightness grows with the road's class, up to about 120
            // for motorways: vehicles keep to the arterials and ring roads.
            const double major = std::min(1.0, roads_.at(far.x, far.y) / 120.0);
            double score = 0.9 * std::cos(heading - goalHeading) - 0.5 * std::abs(turn) / 180 +
                           (turn == 0 ? 0.35 : 0.0) + (vehicle ? 1.5 * major : 0.2 * major) +
                           random_.uniform(0, 0.45);
            if (score > bestScore) {
                bestScore = score;
                best = heading;
            }
        }
        if (bestScore == kNone) ++deadEnds_;
        heading_ = best;
        sinceDecision_ = 0;
    }

    const RoadRaster& roads_;
    Random& random_;
    Point position_{0, 0};
    Point goal_{0, 0};
    double heading_ = 0;
    double sinceDecision_ = 0;
    int deadEnds_ = 0;
};

struct Fix {
    double latitude, longitude;
    std::int64_t second;  // since 1970-01-01, local clock
};

struct Segment {
    int mode;
    std::vector<Fix> fixes;
};

// A part of the city where people live or work: a centre, its spread, and
// how many of the homes and workplaces of the box lie there. Together they
// cover the whole box, the southern strip and the airport included.
struct District {
    double latitude, longitude, sigma;  // degrees
    double homes, jobs;                 // relative weights
};
constexpr District kDistricts[] = {
    {39.915, 116.395, 0.015, 3.0, 6.0},  // the old centre
    {39.915, 116.355, 0.010, 1.0, 5.0},  // the financial quarter
    {39.910, 116.460, 0.012, 2.0, 7.0},  // the business district in the east
    {39.980, 116.310, 0.015, 4.0, 7.0},  // the university and technology quarter
    {40.040, 116.300, 0.012, 1.0, 4.0},  // the northern technology park
    {39.995, 116.475, 0.015, 4.0, 4.0},  // the north-eastern new town
    {40.065, 116.410, 0.015, 5.0, 1.0},  // northern dormitory towns
    {40.070, 116.330, 0.015, 5.0, 1.0},
    {40.000, 116.390, 0.015, 4.0, 3.0},  // around the Olympic park
    {40.030, 116.420, 0.015, 3.0, 1.0},
    {39.910, 116.210, 0.020, 4.0, 1.0},  // the western hills' edge
    {39.960, 116.280, 0.015, 3.0, 1.0},
    {39.860, 116.290, 0.020, 4.0, 2.0},  // south-west
    {39.860, 116.200, 0.020, 2.0, 0.5},
    {39.850, 116.370, 0.015, 4.0, 1.0},  // south of the centre
    {39.865, 116.380, 0.008, 0.5, 2.0},  // the southern railway station
    {39.880, 116.460, 0.015, 4.0, 2.0},  // south-east
    {39.920, 116.540, 0.020, 4.0, 1.0},  // east
    {39.965, 116.570, 0.015, 2.0, 0.5},
    {39.975, 116.495, 0.012, 2.0, 3.0},  // the art and electronics quarter
    {39.790, 116.400, 0.020, 3.0, 1.0},  // the southern strip
    {39.790, 116.500, 0.015, 3.0, 4.0},  // the south-eastern development zone
    {39.780, 116.250, 0.020, 1.5, 0.5},
    {39.820, 116.450, 0.020, 2.0, 1.0},
    {39.770, 116.330, 0.015, 2.0, 0.5},
    {39.775, 116.450, 0.015, 2.0, 0.5},
    {40.075, 116.570, 0.010, 0.5, 1.5},  // the airport
};
constexpr int kDistrictCount = static_cast<int>(sizeof kDistricts / sizeof kDistricts[0]);

// The airport in the north-east of the box: the terminal forecourt, where
// the expressway ends, and the runway, which runs north-south.
constexpr double kTerminalLatitude = 40.0786, kTerminalLongitude = 116.5835;
constexpr double kRunwayLongitude = 116.574, kRunwaySouth = 40.071, kRunwayNorth = 40.096;

// Lakes with rowing boats: centre and the radii boats keep to, in metres.
struct Lake {
    double latitude, longitude, minRadius, maxRadius;
};
constexpr Lake kLakes[] = {{39.9935, 116.2685, 200, 450}, {39.9265, 116.3860, 90, 180}};

struct User {
    Point home, work;
    bool labelled;
    bool crlf;
    int interval;      // seconds between fixes
    int commuteMode;   // usual way to work
    double flies;      // chance that a day holds a trip to or from the airport
};

// What a day's trip is for.
enum TripKind { kToWork, kLunch, kHome, kErrand, kLate, kToAirport, kFromAirport };

// The lines of `mask` that are at least `minPixels` pixels large (8-connected):
// the railway data holds sidings and stubs a few dozen metres long, on which
// a train would board only to stop again at once.
RoadRaster longLines(const RoadRaster& mask, std::int64_t minPixels) {
    const int w = mask.width(), h = mask.height();
    std::vector<std::uint8_t> kept(static_cast<std::size_t>(w) * h, 0);
    std::vector<std::uint8_t> seen(kept.size(), 0);
    std::vector<std::size_t> component, stack;
    for (std::size_t start = 0; start < kept.size(); ++start) {
        if (seen[start] || !mask.at(static_cast<int>(start % w), static_cast<int>(start / w))) continue;
        component.clear();
        stack.assign(1, start);
        seen[start] = 1;
        while (!stack.empty()) {
            const std::size_t i = stack.back();
            stack.pop_back();
            component.push_back(i);
            const int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    if (!mask.at(x + dx, y + dy)) continue;
                    const std::size_t j = static_cast<std::size_t>(y + dy) * w + (x + dx);
                    if (!seen[j]) {
                        seen[j] = 1;
                        stack.push_back(j);
                    }
                }
        }
        if (static_cast<std::int64_t>(component.size()) >= minPixels)
            for (std::size_t i : component) kept[i] = 255;
    }
    return RoadRaster(w, h, std::move(kept));
}

class TreeWriter {
public:
    TreeWriter(const RoadRaster& roads, const RoadRaster* rails, const fs::path& root, const GeneratorOptions& options)
        : roads_(roads), rails_(railsFor(roads, rails)), root_(root), options_(options), random_(options.seed),
          walker_(roads, random_), railWalker_(rails_ ? *rails_ : roads, random_) {
        findStations();
    }

    GeneratorReport run() {
        if (roads_.roadPixels() == 0) throw std::runtime_error("the map has no road pixels");
        for (int id = 0; report_.inside < options_.targetFixes; ++id) writeUser(id);
        return report_;
    }

private:
    Point randomRoadPoint(double latitude, double longitude, double sigmaDegrees, bool major) {
        for (int attempt = 0;; ++attempt) {
            const double lat = random_.normal(latitude, sigmaDegrees * 0.75);
            const double lon = random_.normal(longitude, sigmaDegrees);
            Point p{roads_.xOf(lon), roads_.yOf(lat)};
            if (p.x < 8 || p.y < 8 || p.x > roads_.width() - 8 || p.y > roads_.height() - 8) continue;
            p = walker_.snap(p, 40);
            const int b = roads_.at(p.x, p.y);
            if (b == 0) continue;
            if (major && attempt < 50 && b < 60 + random_.below(120)) continue;
            return p;
        }
    }

    int pickDistrict(bool jobs) {
        double total = 0;
        for (const District& d : kDistricts) total += jobs ? d.jobs : d.homes;
        double r = random_.uniform(0, total);
        for (int i = 0; i < kDistrictCount; ++i) {
            r -= jobs ? kDistricts[i].jobs : kDistricts[i].homes;
            if (r < 0) return i;
        }
        return kDistrictCount - 1;
    }

    Point pointIn(int district, bool major) {
        const District& d = kDistricts[district];
        return randomRoadPoint(d.latitude, d.longitude, d.sigma, major);
    }

    // The usual way to work depends on how far it is.
    int commuteModeFor(double metres) {
        struct Choice {
            int mode;
            double weight;
        };
        static constexpr Choice kNear[] = {{kWalk, 5}, {kBike, 4}, {kBus, 1}, {kRun, 0.3}};
        static constexpr Choice kMiddle[] = {{kBike, 2.5}, {kBus, 3}, {kMotorcycle, 1}, {kCar, 1.5},
                                             {kSubway, 1.5}, {kTaxi, 0.5}};
        static constexpr Choice kFar[] = {{kSubway, 3.5}, {kCar, 2.5}, {kBus, 1.5}, {kTaxi, 0.8},
                                          {kMotorcycle, 0.7}, {kTrain, 0.6}, {kBike, 0.3}};
        const auto pick = [this](const auto& choices) {
            double total = 0;
            for (const Choice& c : choices) total += c.weight;
            double r = random_.uniform(0, total);
            for (const Choice& c : choices)
                if ((r -= c.weight) < 0) return c.mode;
            return choices[0].mode;
        };
        if (metres < 2500) return pick(kNear);
        if (metres < 7000) return pick(kMiddle);
        return pick(kFar);
    }

    User makeUser() {
        User user;
        const int homeDistrict = pickDistrict(false);
        int workDistrict = pickDistrict(true);
        // Most people work in another district than they live in.
        if (random_.chance(0.2)) workDistrict = homeDistrict;
        user.home = pointIn(homeDistrict, false);
        user.work = pointIn(workDistrict, true);
        user.labelled = random_.chance(0.75);
        user.crlf = random_.chance(0.2);
        static constexpr int intervals[] = {1, 2, 5, 5, 5, 10};
        user.interval = intervals[random_.below(6)];
        user.commuteMode = commuteModeFor(distanceMetres(user.home, user.work));
        user.flies = random_.chance(0.3) ? random_.uniform(0.05, 0.25) : 0.0;
        return user;
    }

    bool nearEdge(Point p) const {
        return p.x < 4 || p.y < 4 || p.x > roads_.width() - 4 || p.y > roads_.height() - 4;
    }

    // Appends the fixes of one segment, starting at `second`: `walker` moves
    // towards `goal` for at most `seconds`, and stops early once within
    // `arrival` pixels of it, at the edge of the map, or, on rails, where
    // the line ends (a train does not shuttle along a siding).
    Segment travel(RoadWalker& walker, int mode, std::int64_t& second, double seconds, int interval, Point goal,
                   double arrival = 3.0) {
        const bool onRails = &walker == &railWalker_ && rails_.has_value();
        const int deadEnds = walker.deadEnds();
        const ModeInfo& info = kModeInfo[mode];
        Segment segment{mode, {}};
        walker.setGoal(goal);
        const double perPixel = (roads_.metresPerPixelX() + roads_.metresPerPixelY()) / 2;
        double speed = info.speed * random_.uniform(0.8, 1.2);
        const int count = std::max(2, static_cast<int>(seconds / interval));
        int stopped = 0;
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                const int step = interval + (random_.chance(0.05) ? 1 : 0);
                second += step;
                // Buses halt at stops, cars at lights, trains at stations.
                if (stopped > 0) {
                    stopped -= step;
                } else if (info.vehicle && random_.chance(0.01 * step)) {
                    stopped = 15 + random_.below(40);
                } else {
                    speed = std::clamp(speed * random_.uniform(0.95, 1.05), info.speed * 0.5, info.speed * 1.5);
                    walker.advance(speed * step / perPixel, info.vehicle);
                }
            }
            addFix(segment, walker.position(), second, info.noise);
            if (i > 0 && (pixelDistance(walker.position(), goal) < arrival || nearEdge(walker.position()) ||
                          (onRails && walker.deadEnds() != deadEnds)))
                break;
        }
        return segment;
    }
    Segment travel(int mode, std::int64_t& second, double seconds, int interval, Point goal) {
        return travel(walker_, mode, second, seconds, interval, goal);
    }

    // GPS error drifts slowly rather than jumping from fix to fix: an
    // offset that decorrelates over about half a minute, so that fixes a
    // second apart do not fake speeds of several metres per second.
    void addFix(Segment& segment, Point p, std::int64_t second, double noiseMetres) {
        if (segment.fixes.empty()) {
            errorNorth_ = random_.normal() * noiseMetres;
            errorEast_ = random_.normal() * noiseMetres;
        } else {
            const double keep = std::exp(-static_cast<double>(second - segment.fixes.back().second) / 30.0);
            const double fresh = std::sqrt(1.0 - keep * keep) * noiseMetres;
            errorNorth_ = keep * errorNorth_ + fresh * random_.normal();
            errorEast_ = keep * errorEast_ + fresh * random_.normal();
        }
        const double lat = roads_.latitudeAt(p.y) + errorNorth_ / kMetresPerDegree;
        const double lon = roads_.longitudeAt(p.x) + errorEast_ / (kMetresPerDegree * std::cos(lat * kPi / 180));
        segment.fixes.push_back({lat, lon, second});
    }

    // A flight on the airport's runway: the take-off roll, the climb-out
    // along the runway's axis and a wide turn, until well out of the box.
    // A landing is the same path flown backwards.
    Segment flight(std::int64_t& second, bool landing) {
        Segment segment{kAirplane, {}};
        const bool north = random_.chance(0.5);  // the runway in use
        double lat = north ? kRunwaySouth : kRunwayNorth;
        double lon = kRunwayLongitude + random_.normal(0, 0.0001);
        double heading = north ? 0.0 : kPi;  // from north, clockwise
        const double turn = random_.uniform(-1, 1) * 0.012;  // radians per step once airborne
        double speed = 0;
        std::vector<std::pair<double, double>> path;
        for (int i = 0; i < 160; ++i) {
            path.emplace_back(lat, lon);
            speed = std::min(speed + (speed < 80 ? 12 : 5), 230.0);
            if (i > 20) heading += turn;
            lat += speed * 5 * std::cos(heading) / kMetresPerDegree;
            lon += speed * 5 * std::sin(heading) / (kMetresPerDegree * std::cos(lat * kPi / 180));
            if (lat > kNorth + 0.05 || lat < kSouth - 0.05 || lon < kWest - 0.05 || lon > kEast + 0.05) break;
        }
        if (landing) std::reverse(path.begin(), path.end());
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (i > 0) second += 5;
            segment.fixes.push_back({path[i].first + random_.normal() * 6 / kMetresPerDegree,
                                     path[i].second + random_.normal() * 6 / kMetresPerDegree, second});
        }
        return segment;
    }

    // Rowing around a lake.
    Segment boatTrip(std::int64_t& second, const Lake& lake) {
        Segment segment{kBoat, {}};
        const double radius = random_.uniform(lake.minRadius, lake.maxRadius);
        const double lonScale = kMetresPerDegree * std::cos(lake.latitude * kPi / 180);
        double angle = random_.uniform(0, 2 * kPi);
        const int count = 150 + random_.below(250);
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                second += 5;
                angle += 2.4 * 5 / radius;
            }
            const double lat = lake.latitude + radius * std::sin(angle) / kMetresPerDegree;
            const double lon = lake.longitude + radius * std::cos(angle) / lonScale;
            segment.fixes.push_back({lat + random_.normal() * 3 / kMetresPerDegree,
                                     lon + random_.normal() * 3 / lonScale, second});
        }
        return segment;
    }

    double pixelDistance(Point a, Point b) const { return std::hypot(a.x - b.x, a.y - b.y); }
    double distanceMetres(Point a, Point b) const {
        const double dx = (a.x - b.x) * roads_.metresPerPixelX();
        const double dy = (a.y - b.y) * roads_.metresPerPixelY();
        return std::sqrt(dx * dx + dy * dy);
    }

    // Stations: one point of the railway in every cell of kStationCell
    // pixels (about 450 m) that a line crosses, the one nearest the cell's
    // centre. Boarding and alighting gather there, as at real stations.
    static constexpr int kStationCell = 48;
    void findStations() {
        if (!rails_) return;
        stationColumns_ = (rails_->width() + kStationCell - 1) / kStationCell;
        const int rows = (rails_->height() + kStationCell - 1) / kStationCell;
        stations_.assign(static_cast<std::size_t>(stationColumns_) * rows, Point{-1, -1});
        std::vector<double> best(stations_.size(), 1e300);
        for (int y = 0; y < rails_->height(); ++y)
            for (int x = 0; x < rails_->width(); ++x) {
                if (!rails_->at(x, y)) continue;
                const int cx = x / kStationCell, cy = y / kStationCell;
                const double d = std::hypot(x + 0.5 - (cx + 0.5) * kStationCell, y + 0.5 - (cy + 0.5) * kStationCell);
                const std::size_t cell = static_cast<std::size_t>(cy) * stationColumns_ + cx;
                if (d < best[cell]) {
                    best[cell] = d;
                    stations_[cell] = {x + 0.5, y + 0.5};
                }
            }
    }

    // The station nearest to `p` within about two kilometres; none without
    // a railway mask.
    bool station(Point p, Point& found) const {
        if (stations_.empty()) return false;
        const int rows = static_cast<int>(stations_.size()) / stationColumns_;
        const int cx = static_cast<int>(p.x) / kStationCell, cy = static_cast<int>(p.y) / kStationCell;
        const int reach = 200 / kStationCell + 1;
        double best = 200;
        bool any = false;
        for (int y = std::max(0, cy - reach); y <= std::min(rows - 1, cy + reach); ++y)
            for (int x = std::max(0, cx - reach); x <= std::min(stationColumns_ - 1, cx + reach); ++x) {
                const Point s = stations_[static_cast<std::size_t>(y) * stationColumns_ + x];
                if (s.x < 0) continue;
                const double d = pixelDistance(s, p);
                if (d < best) {
                    best = d;
                    found = s;
                    any = true;
                }
            }
        return any;
    }

    // A trip out by rail: a street beside a station 3 to 15 km down the
    // line from the station nearest `from`, when there is one.
    bool stationOutFrom(Point from, Point& to) {
        Point board{};
        if (!station(from, board)) return false;
        for (int attempt = 0; attempt < 50; ++attempt) {
            const Point s = stations_[static_cast<std::size_t>(random_.below(static_cast<int>(stations_.size())))];
            if (s.x < 0) continue;
            const double metres = distanceMetres(board, s);
            if (metres < 3000 || metres > 15000) continue;
            to = walker_.snap(s, 40);
            return true;
        }
        return false;
    }

    // One trip: the segments in order, each starting where the last ended.
    std::vector<Segment> trip(const User& user, std::int64_t& second, Point from, Point to, int mode) {
        std::vector<Segment> segments;
        const auto gap = [&] { second += 20 + random_.below(200); };
        const auto interval = [&](int legMode) {
            return legMode == kSubway || legMode == kTrain ? std::max(user.interval, 5) : user.interval;
        };
        const auto leg = [&](int legMode, double seconds, Point goal) {
            segments.push_back(travel(walker_, legMode, second, seconds, interval(legMode), goal));
            gap();
        };
        const auto duration = [&](int legMode, Point a, Point b, double least, double most) {
            return std::clamp(std::max(400.0, distanceMetres(a, b)) * 1.4 / kModeInfo[legMode].speed, least, most);
        };
        walker_.place(from);
        switch (mode) {
            case kSubway:
            case kTrain: {
                // On foot to the nearest station, along the tracks towards the
                // station nearest the goal, then on foot again. Where no
                // railway serves both ends the trip is made by bus.
                if (!rails_) {  // no railway mask: the train keeps to the roads
                    leg(kWalk, random_.uniform(180, 480), to);
                    leg(mode, duration(mode, from, to, 600, 3600), to);
                    leg(kWalk, random_.uniform(120, 420), to);
                    break;
                }
                Point board{}, alight{};
                if (station(from, board) && station(to, alight) && distanceMetres(board, alight) > 2000) {
                    leg(kWalk, duration(kWalk, from, board, 120, 1500), board);
                    railWalker_.place(board);
                    segments.push_back(travel(railWalker_, mode, second, duration(mode, board, alight, 300, 3600),
                                              interval(mode), alight, 12.0));
                    gap();
                    walker_.place(railWalker_.position());
                    leg(kWalk, duration(kWalk, walker_.position(), to, 120, 1500), to);
                    break;
                }
                mode = kBus;
                [[fallthrough]];
            }
            case kBus:
                leg(kWalk, random_.uniform(120, 360), to);
                leg(kBus, duration(kBus, from, to, 600, 4200), to);
                leg(kWalk, random_.uniform(120, 360), to);
                break;
            case kBoat: {
                const Lake& lake = kLakes[random_.below(2)];
                const Point shore = walker_.snap({roads_.xOf(lake.longitude), roads_.yOf(lake.latitude)}, 80);
                walker_.place(shore);
                leg(kWalk, random_.uniform(300, 600), shore);
                segments.push_back(boatTrip(second, lake));
                gap();
                leg(kWalk, random_.uniform(300, 600), to);
                break;
            }
            case kRun: {
                const Point loop = walker_.snap({from.x + random_.uniform(-80, 80), from.y + random_.uniform(-80, 80)}, 40);
                segments.push_back(travel(walker_, kRun, second, random_.uniform(1200, 3000), user.interval, loop, 0));
                break;
            }
            case kWalk:
                leg(kWalk, duration(kWalk, from, to, 300, 2400), to);
                break;
            default:
                leg(mode, duration(mode, from, to, 300, 4200), to);
                if (mode == kCar || mode == kTaxi) leg(kWalk, random_.uniform(60, 300), to);
        }
        return segments;
    }

    // To the terminal by road and away by air, or the other way round.
    std::vector<Segment> airportTrip(const User& user, std::int64_t& second, Point home, bool outbound) {
        const Point terminal = walker_.snap({roads_.xOf(kTerminalLongitude), roads_.yOf(kTerminalLatitude)}, 60);
        static constexpr int kWays[] = {kTaxi, kTaxi, kCar, kBus, kSubway};
        const int way = kWays[random_.below(5)];
        std::vector<Segment> segments;
        if (outbound) {
            segments = trip(user, second, home, terminal, way);
            second += 3600 + random_.below(3600);  // check-in and boarding
            segments.push_back(flight(second, false));
        } else {
            segments.push_back(flight(second, true));
            second += 1200 + random_.below(1800);  // to the kerb
            for (auto& segment : trip(user, second, terminal, home, way)) segments.push_back(std::move(segment));
        }
        return segments;
    }

    // Start of day clock time, with the morning and evening commute peaks.
    int startSecond(TripKind kind) {
        double hours;
        if (kind == kToWork) hours = random_.normal(8.0, 0.7);
        else if (kind == kHome) hours = random_.normal(18.0, 0.9);
        else if (kind == kLunch) hours = random_.normal(12.1, 0.4);
        else if (kind == kLate) hours = random_.uniform(22.8, 23.8);  // late trips run past midnight
        else hours = random_.uniform(kind == kErrand ? 9.5 : 7.0, 21.5);
        return static_cast<int>(std::clamp(hours, 0.0, 23.95) * 3600);
    }

    // The ways of the trips people make besides commuting, dealt from a
    // shuffled deck rather than drawn one by one, so that even a small tree
    // holds every mode (a flight is a trip to the airport).
    int nextLeisureMode() {
        if (leisureDeck_.empty()) {
            leisureDeck_ = {kWalk, kWalk, kBike, kRun, kRun, kTaxi, kBus, kCar,
                            kSubway, kSubway, kTrain, kBoat, kMotorcycle, kAirplane};
            for (std::size_t i = leisureDeck_.size() - 1; i > 0; --i)
                std::swap(leisureDeck_[i], leisureDeck_[static_cast<std::size_t>(random_.below(static_cast<int>(i) + 1))]);
        }
        const int mode = leisureDeck_.back();
        leisureDeck_.pop_back();
        return mode;
    }

    void writeUser(int id) {
        const User user = makeUser();
        char dirName[16];
        std::snprintf(dirName, sizeof dirName, "%03d", id);
        const fs::path userDir = root_ / "Data" / dirName;
        fs::create_directories(userDir / "Trajectory");
        ++report_.users;

        std::string labels = "Start Time\tEnd Time\tTransportation Mode";
        labels += user.crlf ? "\r\n" : "\n";
        std::int64_t day = kFirstDay + random_.below(200);
        const int days = 1 + random_.below(5);
        std::int64_t clock = 0;  // no trip starts before the last one ended
        for (int d = 0; d < days && report_.inside < options_.targetFixes; ++d) {
            day += 1 + (random_.chance(0.4) ? random_.below(4) : 0);
            const bool weekday = ((day + 4) % 7) < 5;  // 1970-01-01 was a Thursday
            std::vector<TripKind> kinds;
            if (weekday || random_.chance(0.2)) kinds = {kToWork, kHome};
            if (!kinds.empty() && random_.chance(0.35)) kinds.insert(kinds.begin() + 1, kLunch);
            if (random_.chance(0.45)) kinds.push_back(kErrand);
            if (random_.chance(0.06)) kinds.push_back(kLate);
            if (random_.chance(user.flies)) kinds = {random_.chance(0.5) ? kToAirport : kFromAirport};
            for (TripKind kind : kinds) {
                std::int64_t second = day * 86400 + startSecond(kind);
                second = std::max(second, clock + 600);
                const int leisureMode = kind == kErrand || kind == kLate ? nextLeisureMode() : -1;
                if (leisureMode == kAirplane) kind = kToAirport;
                std::vector<Segment> segments;
                if (kind == kToAirport || kind == kFromAirport) {
                    segments = airportTrip(user, second, user.home, kind == kToAirport);
                } else {
                    const Point from = kind == kHome || kind == kLunch ? user.work : user.home;
                    Point to = kind == kToWork ? user.work : user.home;
                    int mode = user.commuteMode;
                    if (kind == kLunch) {  // a walk to lunch near work
                        mode = kWalk;
                        to = walker_.snap({from.x + random_.uniform(-40, 40), from.y + random_.uniform(-40, 40)}, 40);
                    }
                    if (leisureMode >= 0) {
                        mode = leisureMode;
                        // Rail trips go down the line; errands on foot stay
                        // near home; the rest go anywhere.
                        const bool byRail = (mode == kSubway || mode == kTrain) && stationOutFrom(from, to);
                        if (mode == kWalk || mode == kBike || mode == kRun)
                            to = walker_.snap({from.x + random_.uniform(-150, 150), from.y + random_.uniform(-150, 150)}, 40);
                        else if (!byRail)
                            to = pointIn(pickDistrict(true), false);
                    }
                    segments = trip(user, second, from, to, mode);
                }
                clock = second;
                writeTrip(user, userDir, segments, labels);
                if (report_.inside >= options_.targetFixes) break;
            }
        }
        if (user.labelled) {
            writeFile(userDir / "labels.txt", labels, false);
            ++report_.labelFiles;
        }
    }

    void writeTrip(const User& user, const fs::path& userDir, const std::vector<Segment>& segments,
                   std::string& labels) {
        const bool labelled = user.labelled && random_.chance(0.9);
        const char* eol = user.crlf ? "\r\n" : "\n";
        std::string text = "Geolife trajectory";
        text += eol;
        for (const char* line : {"WGS 84", "Altitude is in Feet", "Reserved 3", "0,2,255,My Track,0,0,2,8421376", "0"}) {
            text += line;
            text += eol;
        }
        char line[160];
        int altitude = 100 + random_.below(300);
        for (const auto& segment : segments) {
            const TransportationMode mode = labelled ? kModeInfo[segment.mode].mode : mode::UNKNOWN;
            for (const auto& fix : segment.fixes) {
                int year, month, dayOfMonth;
                const std::int64_t day = fix.second / 86400;
                const int s = static_cast<int>(fix.second % 86400);
                civilFromDays(day, year, month, dayOfMonth);
                altitude = std::clamp(altitude + random_.below(7) - 3, 60, 600);
                const double serial = static_cast<double>(day + kSpreadsheetEpoch) + s / 86400.0;
                const int n = std::snprintf(line, sizeof line, "%.6f,%.6f,0,%d,%.10f,%04d-%02d-%02d,%02d:%02d:%02d%s",
                                            fix.latitude, fix.longitude, altitude, serial, year, month,
                                            dayOfMonth, s / 3600, s / 60 % 60, s % 60, eol);
                text.append(line, static_cast<std::size_t>(n));
                ++report_.lines;
                // Count exactly as the importer will: the printed text,
                // converted and tested against the single-precision box.
                const std::string_view printed(line, static_cast<std::size_t>(n));
                const float lat = parseFloatField(printed.substr(0, printed.find(','))).value;
                const auto lonStart = printed.find(',') + 1;
                const float lon = parseFloatField(printed.substr(lonStart, printed.find(',', lonStart) - lonStart)).value;
                if (lat >= kMinLatitude && lat <= kMaxLatitude && lon >= kMinLongitude && lon <= kMaxLongitude) {
                    ++report_.inside;
                    ++report_.perMode[modeBit(mode)];
                } else {
                    ++report_.outside;
                }
            }
            if (labelled) {
                const Fix& first = segment.fixes.front();
                const Fix& last = segment.fixes.back();
                int y1, m1, d1, y2, m2, d2;
                civilFromDays(first.second / 86400, y1, m1, d1);
                civilFromDays(last.second / 86400, y2, m2, d2);
                const int s1 = static_cast<int>(first.second % 86400), s2 = static_cast<int>(last.second % 86400);
                const int n = std::snprintf(line, sizeof line, "%04d/%02d/%02d %02d:%02d:%02d\t%04d/%02d/%02d %02d:%02d:%02d\t%s%s",
                                            y1, m1, d1, s1 / 3600, s1 / 60 % 60, s1 % 60, y2, m2, d2, s2 / 3600,
                                            s2 / 60 % 60, s2 % 60, kModeInfo[segment.mode].name, eol);
                labels.append(line, static_cast<std::size_t>(n));
                ++report_.labelLines;
            }
        }
        const Fix& start = segments.front().fixes.front();
        int year, month, dayOfMonth;
        civilFromDays(start.second / 86400, year, month, dayOfMonth);
        const int s = static_cast<int>(start.second % 86400);
        char name[32];
        std::snprintf(name, sizeof name, "%04d%02d%02d%02d%02d%02d.plt", year, month, dayOfMonth, s / 3600,
                      s / 60 % 60, s % 60);
        writeFile(userDir / "Trajectory" / name, text, true);
        ++report_.trajectoryFiles;
    }

    void writeFile(const fs::path& path, const std::string& content, bool trajectory) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) throw std::runtime_error("cannot write \"" + path.string() + "\"");
        const bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
        if (std::fclose(file) != 0 || !ok) throw std::runtime_error("cannot write \"" + path.string() + "\"");
        if (trajectory) report_.bytes += static_cast<std::int64_t>(content.size());
    }

    // Only lines some kilometres long (about 1,500 pixels of a 4096-pixel
    // mask) carry trains.
    static std::optional<RoadRaster> railsFor(const RoadRaster& roads, const RoadRaster* rails) {
        if (!rails) return std::nullopt;
        if (rails->width() != roads.width() || rails->height() != roads.height())
            throw std::runtime_error("the railway mask and the map differ in size");
        return longLines(*rails, static_cast<std::int64_t>(1500.0 * rails->width() / 4096.0));
    }

    const RoadRaster& roads_;
    std::optional<RoadRaster> rails_;
    fs::path root_;
    GeneratorOptions options_;
    Random random_;
    RoadWalker walker_;
    RoadWalker railWalker_;  // on the railway mask, or on the roads without one
    std::vector<Point> stations_;  // by cell, row by row; x < 0 where no line crosses
    double errorNorth_ = 0, errorEast_ = 0;  // metres, of the last fix
    std::vector<int> leisureDeck_;
    int stationColumns_ = 0;
    GeneratorReport report_;
};

}  // namespace

GeneratorReport generateTrajectoryTree(const RoadRaster& roads, const fs::path& root,
                                       const GeneratorOptions& options, const RoadRaster* rails) {
    std::error_code error;
    fs::create_directories(root, error);
    if (error) throw std::runtime_error("cannot create \"" + root.string() + "\": " + error.message());
    return TreeWriter(roads, rails, root, options).run();
}
