#include "tools/gendata/TrajectoryGenerator.h"

#include <stb_image.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
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
    {"walk", WALK, 1.35, 3.0, false},      {"bike", BIKE, 4.2, 3.0, false},
    {"bus", BUS, 7.0, 3.5, true},          {"car", CAR, 11.0, 3.0, true},
    {"taxi", CAR, 10.5, 3.0, true},        {"subway", SUBWAY, 12.0, 12.0, true},
    {"train", TRAIN, 18.0, 4.0, true},     {"airplane", AIRPLANE, 90.0, 6.0, false},
    {"boat", BOAT, 2.4, 3.0, false},       {"run", RUN, 3.0, 3.0, false},
    {"motorcycle", MOTORCYCLE, 10.0, 3.0, true},
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

    void advance(double pixels, bool vehicle) {
        while (pixels > 0) {
            const double step = std::min(pixels, 1.5);
            pixels -= step;
            sinceDecision_ += step;
            if (sinceDecision_ >= 7.0 || !road(ahead(heading_, 3.0))) decide(vehicle);
            position_.x += step * std::cos(heading_);
            position_.y += step * std::sin(heading_);
            if (!road(position_)) position_ = snap(position_, 3);
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
        static constexpr double turns[] = {0, 20, -20, 45, -45, 70, -70, 90, -90, 120, -120, 150, -150};
        const double goalHeading = std::atan2(goal_.y - position_.y, goal_.x - position_.x);
        double bestScore = -1e9;
        double best = heading_ + kPi;  // turn back when nothing else goes on
        for (double turn : turns) {
            const double heading = heading_ + turn * kPi / 180;
            const Point near = ahead(heading, 3.0);
            const Point far = ahead(heading, 7.0);
            if (!road(near) || !road(far)) continue;
            const double major = roads_.at(far.x, far.y) / 255.0;
            double score = 0.9 * std::cos(heading - goalHeading) - 0.5 * std::abs(turn) / 180 +
                           (turn == 0 ? 0.35 : 0.0) + (vehicle ? 1.2 * major : 0.2 * major) +
                           random_.uniform(0, 0.45);
            if (score > bestScore) {
                bestScore = score;
                best = heading;
            }
        }
        heading_ = best;
        sinceDecision_ = 0;
    }

    const RoadRaster& roads_;
    Random& random_;
    Point position_{0, 0};
    Point goal_{0, 0};
    double heading_ = 0;
    double sinceDecision_ = 0;
};

struct Fix {
    double latitude, longitude;
    std::int64_t second;  // since 1970-01-01, local clock
};

struct Segment {
    int mode;
    std::vector<Fix> fixes;
};

struct User {
    Point home, work;
    bool labelled;
    bool crlf;
    int interval;     // seconds between fixes
    int commuteMode;  // preferred way to work
};

class TreeWriter {
public:
    TreeWriter(const RoadRaster& roads, const fs::path& root, const GeneratorOptions& options)
        : roads_(roads), root_(root), options_(options), random_(options.seed), walker_(roads, random_) {}

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

    User makeUser() {
        User user;
        // Most recordings cluster around the university district in the
        // north-west, the rest spread over the city.
        const bool clustered = random_.chance(0.6);
        const double lat = clustered ? 39.985 : 39.93;
        const double lon = clustered ? 116.32 : 116.38;
        const double sigma = clustered ? 0.03 : 0.07;
        user.home = randomRoadPoint(lat, lon, sigma, false);
        user.work = randomRoadPoint(clustered ? 39.98 : 39.92, clustered ? 116.31 : 116.40, sigma * 0.8, true);
        user.labelled = random_.chance(0.65);
        user.crlf = random_.chance(0.2);
        static constexpr int intervals[] = {1, 2, 2, 5, 5};
        user.interval = intervals[random_.below(5)];
        static constexpr int commute[] = {kBus, kSubway, kCar, kBike, kTaxi, kMotorcycle, kWalk, kBus};
        user.commuteMode = commute[random_.below(8)];
        return user;
    }

    // Appends the fixes of one segment, starting at `second`.
    Segment travel(int mode, std::int64_t& second, double seconds, int interval, Point goal) {
        const ModeInfo& info = kModeInfo[mode];
        Segment segment{mode, {}};
        walker_.setGoal(goal);
        const double perPixel = (roads_.metresPerPixelX() + roads_.metresPerPixelY()) / 2;
        double speed = info.speed * random_.uniform(0.8, 1.2);
        const int count = std::max(2, static_cast<int>(seconds / interval));
        int stopped = 0;
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                const int step = interval + (random_.chance(0.05) ? 1 : 0);
                second += step;
                // Buses halt at stops, cars at lights.
                if (stopped > 0) {
                    stopped -= step;
                } else if (info.vehicle && random_.chance(0.01 * step)) {
                    stopped = 15 + random_.below(40);
                } else {
                    speed = std::clamp(speed * random_.uniform(0.95, 1.05), info.speed * 0.5, info.speed * 1.5);
                    walker_.advance(speed * step / perPixel, info.vehicle);
                }
            }
            addFix(segment, walker_.position(), second, info.noise);
        }
        return segment;
    }

    void addFix(Segment& segment, Point p, std::int64_t second, double noiseMetres) {
        const double lat = roads_.latitudeAt(p.y) + random_.normal() * noiseMetres / kMetresPerDegree;
        const double lon = roads_.longitudeAt(p.x) +
                           random_.normal() * noiseMetres / (kMetresPerDegree * std::cos(lat * kPi / 180));
        segment.fixes.push_back({lat, lon, second});
    }

    // A take-off from the airport in the north-east, leaving the box.
    Segment flight(std::int64_t& second) {
        Segment segment{kAirplane, {}};
        double lat = 40.072 + random_.normal(0, 0.002), lon = 116.588 + random_.normal(0, 0.002);
        const double heading = random_.uniform(0.6, 1.4) * kPi;  // westwards to southwards
        double speed = 70;
        for (int i = 0; i < 90; ++i) {
            if (i > 0) {
                second += 5;
                speed = std::min(speed + 6, 230.0);
                lat += speed * 5 * std::sin(heading) / kMetresPerDegree;
                lon += speed * 5 * std::cos(heading) / (kMetresPerDegree * std::cos(lat * kPi / 180));
            }
            segment.fixes.push_back({lat + random_.normal() * 6 / kMetresPerDegree, lon, second});
        }
        return segment;
    }

    // Rowing around the lake of the Summer Palace.
    Segment boatTrip(std::int64_t& second) {
        Segment segment{kBoat, {}};
        const double centreLat = 39.9935, centreLon = 116.2685;
        const double radius = random_.uniform(200, 450);
        double angle = random_.uniform(0, 2 * kPi);
        const int count = 150 + random_.below(250);
        for (int i = 0; i < count; ++i) {
            if (i > 0) {
                second += 5;
                angle += 2.4 * 5 / radius;
            }
            const double lat = centreLat + radius * std::sin(angle) / kMetresPerDegree;
            const double lon = centreLon + radius * std::cos(angle) / (kMetresPerDegree * std::cos(centreLat * kPi / 180));
            segment.fixes.push_back({lat + random_.normal() * 3 / kMetresPerDegree,
                                     lon + random_.normal() * 3 / (kMetresPerDegree * 0.766), second});
        }
        return segment;
    }

    double distanceMetres(Point a, Point b) const {
        const double dx = (a.x - b.x) * roads_.metresPerPixelX();
        const double dy = (a.y - b.y) * roads_.metresPerPixelY();
        return std::sqrt(dx * dx + dy * dy);
    }

    // One trip: the segments in order, each starting where the last ended.
    std::vector<Segment> trip(const User& user, std::int64_t& second, Point from, Point to, int mode) {
        std::vector<Segment> segments;
        const auto gap = [&] { second += 20 + random_.below(200); };
        const auto leg = [&](int legMode, double seconds, Point goal) {
            segments.push_back(travel(legMode, second, seconds, legMode == kSubway ? 15 : user.interval, goal));
            gap();
        };
        const double distance = std::max(800.0, distanceMetres(from, to));
        walker_.place(from);
        switch (mode) {
            case kBus:
            case kSubway:
            case kTrain: {
                leg(kWalk, random_.uniform(180, 480), to);
                leg(mode, std::clamp(distance * 1.3 / kModeInfo[mode].speed, 600.0, 3600.0), to);
                leg(kWalk, random_.uniform(120, 420), to);
                break;
            }
            case kAirplane:
                leg(kTaxi, std::clamp(distance / 11.0, 600.0, 2400.0), Point{roads_.xOf(116.58), roads_.yOf(40.07)});
                segments.push_back(flight(second));
                break;
            case kBoat:
                walker_.place({roads_.xOf(116.274), roads_.yOf(39.999)});
                leg(kWalk, random_.uniform(300, 600), Point{roads_.xOf(116.27), roads_.yOf(39.995)});
                segments.push_back(boatTrip(second));
                gap();
                leg(kWalk, random_.uniform(300, 600), to);
                break;
            case kRun: {
                const Point loop = walker_.snap({from.x + random_.uniform(-80, 80), from.y + random_.uniform(-80, 80)}, 40);
                leg(kRun, random_.uniform(1200, 3000), loop);
                break;
            }
            case kWalk:
                leg(kWalk, std::clamp(distance * 1.3 / kModeInfo[kWalk].speed, 300.0, 2400.0), to);
                break;
            default:
                leg(mode, std::clamp(distance * 1.3 / kModeInfo[mode].speed, 300.0, 3600.0), to);
                if (mode == kCar || mode == kTaxi) leg(kWalk, random_.uniform(60, 300), to);
        }
        return segments;
    }

    // Start of day clock time, with the morning and evening commute peaks.
    int startSecond(int kind) {
        double hours;
        if (kind == 0) hours = random_.normal(8.0, 0.7);
        else if (kind == 1) hours = random_.normal(18.0, 0.9);
        else if (kind == 2) hours = random_.uniform(9.5, 21.5);
        else hours = random_.uniform(22.8, 23.8);  // late trips run past midnight
        return static_cast<int>(std::clamp(hours, 0.0, 23.95) * 3600);
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
        const int days = 8 + random_.below(30);
        std::int64_t clock = 0;  // no trip starts before the last one ended
        for (int d = 0; d < days && report_.inside < options_.targetFixes; ++d) {
            day += 1 + (random_.chance(0.4) ? random_.below(4) : 0);
            const bool weekday = ((day + 4) % 7) < 5;  // 1970-01-01 was a Thursday
            std::vector<int> kinds;
            if (weekday || random_.chance(0.2)) kinds = {0, 1};
            if (random_.chance(0.45)) kinds.push_back(2);
            if (random_.chance(0.06)) kinds.push_back(3);
            for (int kind : kinds) {
                std::int64_t second = day * 86400 + startSecond(kind);
                second = std::max(second, clock + 600);
                const Point from = kind == 1 ? user.work : user.home;
                const Point to = kind == 0 ? user.work : user.home;
                int mode = user.commuteMode;
                if (kind >= 2) {
                    static constexpr int leisure[] = {kWalk, kWalk, kBike, kRun, kRun, kTaxi, kBus,
                                                      kSubway, kTrain, kBoat, kAirplane, kMotorcycle};
                    mode = leisure[random_.below(12)];
                }
                const Point goal = kind >= 2 ? randomRoadPoint(39.95, 116.35, 0.06, false) : to;
                const auto segments = trip(user, second, from, goal, mode);
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
            const TransportationMode mode = labelled ? kModeInfo[segment.mode].mode : UNKNOWN;
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

    const RoadRaster& roads_;
    fs::path root_;
    GeneratorOptions options_;
    Random random_;
    RoadWalker walker_;
    GeneratorReport report_;
};

}  // namespace

GeneratorReport generateTrajectoryTree(const RoadRaster& roads, const fs::path& root,
                                       const GeneratorOptions& options) {
    std::error_code error;
    fs::create_directories(root, error);
    if (error) throw std::runtime_error("cannot create \"" + root.string() + "\": " + error.message());
    return TreeWriter(roads, root, options).run();
}
