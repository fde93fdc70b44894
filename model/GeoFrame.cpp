#include "model/GeoFrame.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <numbers>
#include <optional>
#include <unordered_map>

#include "model/CellRule.h"
#include "model/LoadError.h"

namespace {

constexpr double kLatitudeLimit = 85.0;
constexpr double kMinimumSpan = 1e-5;     // degrees, either way (see frameProblem)
constexpr double kMaximumAspect = 1000.0;  // one side's metres over the other's

// "1.2 km", "35 m", "0.8 m": a side of a box for a message.
std::string metresText(double metres) {
    char text[32];
    if (metres >= 1000.0)
        std::snprintf(text, sizeof text, "%.3g km", metres / 1000.0);
    else
        std::snprintf(text, sizeof text, "%.3g m", metres);
    return text;
}

double roundedSpan(double low, double high) { return std::round((high - low) * 1e9) / 1e9; }

// A whole decimal number and nothing else: no sign '+', spaces, hex, inf or
// nan, as the sample files' numbers.
bool readNumber(std::string_view text, double& value) {
    if (text.empty() || text.front() == '+') return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9f", value);
    std::string out = text;
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') out.pop_back();
    return out == "-0" ? "0" : out;
}

}  // namespace

namespace {

// A double as its shortest round-trip decimal, scaled to an integer of
// `scale` decimals (at most kMaxDecimals: digits beyond are cut, which no
// value written with a frame's or a recorder's precision reaches).
constexpr int kMaxDecimals = 30;
__extension__ typedef __int128 Wide;  // 10^30 degrees times the side and more

struct Decimal {
    Wide digits = 0;  // the value times 10^decimals
    int decimals = 0;
};

Decimal decimalOf(double value) {
    char text[400];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    Decimal out;
    if (error != std::errc()) return out;
    bool negative = false, fraction = false;
    for (const char* p = text; p != end; ++p) {
        if (*p == '-') negative = true;
        else if (*p == '.') fraction = true;
        else if (!fraction || out.decimals < kMaxDecimals) {
            out.digits = out.digits * 10 + (*p - '0');
            if (fraction) ++out.decimals;
        }
    }
    if (negative) out.digits = -out.digits;
    return out;
}

Wide scaled(const Decimal& d, int decimals) {
    Wide v = d.digits;
    for (int i = d.decimals; i < decimals; ++i) v *= 10;
    return v;
}

Wide floorDivide(Wide a, Wide b) {  // b > 0
    Wide q = a / b;
    if (a % b != 0 && a < 0) --q;
    return q;
}

}  // namespace

namespace {
constexpr long long kFarCell = 1LL << 60;
}  // namespace

long long exactCellOf(double degrees, double low, double high, int side) {
    if (degrees == high) return side - 1;
    // Far from every edge the double quotient decides; within a hair of one
    // (its error is far below 1e-9 cells for any frame) the decimals do.
    const double quotient = (degrees - low) / (high - low) * side;
    const double nearest = std::round(quotient);
    // Beyond 1e15 cells (a text sample at 1e33 degrees) only the side
    // matters: the floor would not fit a long long.
    if (std::fabs(quotient) > 1e15) return quotient > 0 ? kFarCell : -kFarCell;
    if (std::fabs(quotient - nearest) > 1e-6) return static_cast<long long>(std::floor(quotient));
    const Decimal v = decimalOf(degrees), l = decimalOf(low), h = decimalOf(high);
    const int decimals = std::max({v.decimals, l.decimals, h.decimals});
    const Wide span = scaled(h, decimals) - scaled(l, decimals);
    if (span <= 0) return static_cast<long long>(std::floor(quotient));
    return static_cast<long long>(floorDivide((scaled(v, decimals) - scaled(l, decimals)) * side, span));
}

float placeOnAxis(double degrees, double low, double high, int side) {
    const float nearest = static_cast<float>((degrees - low) / (high - low));
    const long long want = exactCellOf(degrees, low, high, side);
    // A step or two: a float step moves the product by far less than a cell
    // wherever a cell is wider than a float's resolution. Where it is not
    // (far outside the frame) the nearest float stays.
    float stored = nearest;
    for (int step = 0; step < 16; ++step) {
        const float product = stored * static_cast<float>(side);
        if (!(std::fabs(product) < 2e9f)) break;
        const int cell = gridCellOf(product, side);
        if (cell == want) return stored;
        stored = std::nextafter(stored, cell < want ? 2e9f : -2e9f);
    }
    return nearest;
}

double GeoFrame::latitudeSpan() const { return roundedSpan(south, north); }
double GeoFrame::longitudeSpan() const { return roundedSpan(west, east); }

std::string frameProblem(const GeoFrame& frame) {
    if (!std::isfinite(frame.south) || !std::isfinite(frame.west) || !std::isfinite(frame.north) ||
        !std::isfinite(frame.east))
        return "the box's bounds must be finite numbers";
    if (frame.south < -kLatitudeLimit || frame.north > kLatitudeLimit)
        return "the box must lie within 85 degrees of the equator (south " + number(frame.south) + ", north " +
               number(frame.north) + ")";
    if (frame.south >= frame.north)
        return "south (" + number(frame.south) + ") must be below north (" + number(frame.north) + ")";
    if (frame.west < -180.0 || frame.east > 180.0)
        return "longitudes must lie within -180..180 (west " + number(frame.west) + ", east " + number(frame.east) +
               ")";
    if (frame.west >= frame.east) {
        if (frame.west > 0.0 && frame.east < 0.0)
            return "the box crosses the antimeridian (west " + number(frame.west) + ", east " + number(frame.east) +
                   "): boxes that do are not supported";
        return "west (" + number(frame.west) + ") must be less than east (" + number(frame.east) + ")";
    }
    if (frame.latitudeSpan() <= 0.0 || frame.longitudeSpan() <= 0.0) return "the box is narrower than 1e-9 degrees";
    // Spans are taken, and frame files written, to 1e-9 degrees, and a cell
    // is a thousandth of a span: under 1e-5 degrees a cell is fewer than ten
    // such units wide and its edges no longer fall where its decimals say.
    // Degrees held in single precision (the fitted box's first read) are
    // 1.5e-5 degrees apart near 180, so such a box could not be told from a
    // point there either. 1e-5 degrees is about a metre on the ground.
    if (frame.latitudeSpan() < kMinimumSpan || frame.longitudeSpan() < kMinimumSpan)
        return "the box spans " + number(frame.latitudeSpan()) + " by " + number(frame.longitudeSpan()) +
               " degrees; each side must span at least 0.00001 degrees, or its cells cannot be told apart";
    // A thin sliver gives a map a pixel high (the view keeps the frame's
    // shape in metres) and a kernel thousands of cells long one way.
    const double tall = cellHeightMetres(frame), wide = cellWidthMetres(frame);
    if (std::max(tall, wide) > kMaximumAspect * std::min(tall, wide))
        return "the box is " + metresText(tall * 1000) + " north-south by " + metresText(wide * 1000) +
               " east-west, one side more than 1000 times the other: its map would have no " +
               (tall < wide ? "height" : "width");
    return {};
}

GeoFrame parseFrame(std::string_view text) {
    std::array<double, 4> values{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t comma = i + 1 < values.size() ? text.find(',', at) : text.size();
        if (comma == std::string_view::npos || !readNumber(text.substr(at, comma - at), values[i]))
            throw std::invalid_argument("\"" + echoText(text) +
                                        "\" is not SOUTH,WEST,NORTH,EAST in decimal degrees");
        at = comma + 1;
    }
    const GeoFrame frame{values[0], values[1], values[2], values[3]};
    const std::string problem = frameProblem(frame);
    if (!problem.empty()) throw std::invalid_argument(problem);
    return frame;
}

std::string frameText(const GeoFrame& frame) {
    return number(frame.south) + "," + number(frame.west) + "," + number(frame.north) + "," + number(frame.east);
}

std::string frameDescription(const GeoFrame& frame) {
    const auto range = [](double low, double high, const char* negative, const char* positive) {
        if (low >= 0.0) return number(low) + "-" + number(high) + " " + positive;
        if (high <= 0.0) return number(-low) + "-" + number(-high) + " " + negative;
        return number(-low) + " " + negative + "-" + number(high) + " " + positive;
    };
    return range(frame.south, frame.north, "S", "N") + ", " + range(frame.west, frame.east, "W", "E");
}

std::string frameFilePath(const std::string& samplesPath) { return samplesPath + ".frame"; }

std::string frameFileText(const GeoFrame& frame, const std::string& clock) {
    std::string text = "# The box the samples' coordinates are normalised over, in degrees (WGS 84)\n"
                       "south " + number(frame.south) + "\nwest " + number(frame.west) + "\nnorth " +
                       number(frame.north) + "\neast " + number(frame.east) + "\n";
    if (!clock.empty()) text += "clock " + clock + "\n";
    return text;
}

namespace {

struct FrameFile {
    GeoFrame frame;
    std::string clock;
};

FrameFile parseFrameFile(const std::string& samplesPath) {
    const std::string path = frameFilePath(samplesPath);
    // Read whole, but never more than a frame file holds, nor from a FIFO or
    // device; a link to nothing is no frame file, not the default frame.
    std::optional<std::string> content = readSmallFile(path, kFrameFileLimit, "a frame file");
    if (!content) return FrameFile{};
    // A byte-order mark, as some editors put at the start of UTF-8 text.
    if (content->rfind("\xEF\xBB\xBF", 0) == 0) content->erase(0, 3);
    std::istringstream in(*content);
    const std::array<const char*, 4> keys = {"south", "west", "north", "east"};
    std::array<double, 4> values{};
    std::array<bool, 4> seen{};
    std::string clock;
    bool seenClock = false;
    std::string line;
    int lineNumber = 0;
    const auto fail = [&](const std::string& reason) {
        throw DataFileError(path, "line " + std::to_string(lineNumber) + ": " + reason);
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        if (key == "clock") {
            if (seenClock) fail("clock is given twice");
            clock = space == std::string::npos ? std::string() : line.substr(space + 1);
            if (clock.empty()) fail("clock names no clock");
            seenClock = true;
            continue;
        }
        std::size_t k = 0;
        while (k < keys.size() && key != keys[k]) ++k;
        if (k == keys.size())
            fail("\"" + echoText(line) + "\" is not south, west, north or east and a number, or clock and a name");
        if (seen[k]) fail(key + " is given twice");
        if (space == std::string::npos || !readNumber(std::string_view(line).substr(space + 1), values[k]))
            fail("\"" + echoText(line) + "\" is not " + key + " and a decimal number");
        seen[k] = true;
    }
    for (std::size_t k = 0; k < keys.size(); ++k)
        if (!seen[k]) throw DataFileError(path, std::string("no ") + keys[k] + " given");
    const GeoFrame frame{values[0], values[1], values[2], values[3]};
    const std::string problem = frameProblem(frame);
    if (!problem.empty()) throw DataFileError(path, problem);
    return {frame, clock};
}

}  // namespace

GeoFrame readFrameFile(const std::string& samplesPath) { return parseFrameFile(samplesPath).frame; }

std::string readFrameClock(const std::string& samplesPath) { return parseFrameFile(samplesPath).clock; }

namespace {

// The values at the 0.05% and 99.95% ranks.
std::pair<double, double> innerRange(std::vector<float>& values) {
    const std::size_t cut = values.size() / 2000;
    const auto low = values.begin() + static_cast<std::ptrdiff_t>(cut);
    const auto high = values.end() - 1 - static_cast<std::ptrdiff_t>(cut);
    std::nth_element(values.begin(), low, values.end());
    const double lowValue = *low;
    std::nth_element(low, high, values.end());
    return {lowValue, *high};
}

}  // namespace

namespace {

constexpr double kTile = 0.1;               // degrees: tiles that touch make one cluster
constexpr double kMetresPerDegree = 111320.0;  // of latitude, and of longitude at the equator
constexpr double kClusterMetres = 100000.0;   // the most a fitted box spans before squaring

struct Tile {
    std::int64_t row, col;
    bool operator==(const Tile&) const = default;
};
struct TileHash {
    std::size_t operator()(const Tile& t) const {
        return std::hash<std::int64_t>()(t.row * 7919 + t.col * 104729);
    }
};

Tile tileOf(float latitude, float longitude) {
    return {static_cast<std::int64_t>(std::floor(latitude / kTile)),
            static_cast<std::int64_t>(std::floor(longitude / kTile))};
}

// The median of the values (reordered).
double median(std::vector<float>& values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

FrameFit fitFrameToData(std::vector<float>& latitudes, std::vector<float>& longitudes) {
    FrameFit fit;
    if (latitudes.empty() || latitudes.size() != longitudes.size()) return fit;
    fit.total = static_cast<std::int64_t>(latitudes.size());

    // Tiles and their counts, then clusters of touching tiles.
    std::unordered_map<Tile, std::int64_t, TileHash> tileFixes;
    for (std::size_t i = 0; i < latitudes.size(); ++i)
        if (std::isfinite(latitudes[i]) && std::isfinite(longitudes[i])) ++tileFixes[tileOf(latitudes[i], longitudes[i])];
    std::unordered_map<Tile, int, TileHash> clusterOf;
    std::vector<std::int64_t> clusterFixes;
    for (const auto& [start, count] : tileFixes) {
        if (clusterOf.count(start)) continue;
        const int id = static_cast<int>(clusterFixes.size());
        clusterFixes.push_back(0);
        std::vector<Tile> stack{start};
        clusterOf[start] = id;
        while (!stack.empty()) {
            const Tile tile = stack.back();
            stack.pop_back();
            clusterFixes[static_cast<std::size_t>(id)] += tileFixes[tile];
            for (std::int64_t dr = -1; dr <= 1; ++dr)
                for (std::int64_t dc = -1; dc <= 1; ++dc) {
                    const Tile next{tile.row + dr, tile.col + dc};
                    if (tileFixes.count(next) && !clusterOf.count(next)) {
                        clusterOf[next] = id;
                        stack.push_back(next);
                    }
                }
        }
    }
    if (clusterFixes.empty()) return fit;
    const int chosen = static_cast<int>(std::max_element(clusterFixes.begin(), clusterFixes.end()) - clusterFixes.begin());

    // The other clusters' centres; the chosen one's positions.
    std::vector<FixCluster> others(clusterFixes.size());
    std::vector<float> lat, lon;
    lat.reserve(static_cast<std::size_t>(clusterFixes[static_cast<std::size_t>(chosen)]));
    lon.reserve(lat.capacity());
    for (std::size_t i = 0; i < latitudes.size(); ++i) {
        if (!std::isfinite(latitudes[i]) || !std::isfinite(longitudes[i])) continue;
        const int id = clusterOf[tileOf(latitudes[i], longitudes[i])];
        if (id == chosen) {
            lat.push_back(latitudes[i]);
            lon.push_back(longitudes[i]);
        } else {
            FixCluster& c = others[static_cast<std::size_t>(id)];
            c.latitude += latitudes[i];
            c.longitude += longitudes[i];
            ++c.fixes;
        }
    }
    for (FixCluster& c : others)
        if (c.fixes > 0) {
            c.latitude /= static_cast<double>(c.fixes);
            c.longitude /= static_cast<double>(c.fixes);
            fit.others.push_back(c);
        }
    std::sort(fit.others.begin(), fit.others.end(), [](const FixCluster& a, const FixCluster& b) { return a.fixes > b.fixes; });

    // A cluster wider than a city (a trail along a road between two) is
    // narrowed to the city-sized square around its median.
    {
        std::vector<float> a = lat, b = lon;
        const double midLatitude = median(a), midLongitude = median(b);
        const double halfLatitude = kClusterMetres / 2 / kMetresPerDegree;
        const double halfLongitude = halfLatitude / std::max(std::cos(midLatitude * std::numbers::pi / 180.0), 0.01);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < lat.size(); ++i)
            if (std::fabs(lat[i] - midLatitude) <= halfLatitude && std::fabs(lon[i] - midLongitude) <= halfLongitude) {
                lat[kept] = lat[i];
                lon[kept++] = lon[i];
            }
        lat.resize(kept);
        lon.resize(kept);
    }
    fit.fixes = static_cast<std::int64_t>(lat.size());

    auto [south, north] = innerRange(lat);
    auto [west, east] = innerRange(lon);
    const double latitudePad = std::max(0.02 * (north - south), 0.001);
    const double longitudePad = std::max(0.02 * (east - west), 0.001);
    south -= latitudePad;
    north += latitudePad;
    west -= longitudePad;
    east += longitudePad;
    // Square on the ground: the narrower side widened about the centre.
    const double centre = (south + north) / 2;
    const double across = std::max(std::cos(centre * std::numbers::pi / 180.0), 1e-6);
    const double height = north - south, width = (east - west) * across;
    if (width < height) {
        const double grow = (height / across - (east - west)) / 2;
        west -= grow;
        east += grow;
    } else {
        const double grow = (width - height) / 2;
        south -= grow;
        north += grow;
    }
    fit.frame = GeoFrame{std::max(std::floor(south * 1e6) / 1e6, -kLatitudeLimit),
                         std::max(std::floor(west * 1e6) / 1e6, -180.0),
                         std::min(std::ceil(north * 1e6) / 1e6, kLatitudeLimit),
                         std::min(std::ceil(east * 1e6) / 1e6, 180.0)};
    return fit;
}

GeoFrame fitFrame(std::vector<float>& latitudes, std::vector<float>& longitudes) {
    if (latitudes.empty() || latitudes.size() != longitudes.size()) return GeoFrame{};
    return fitFrameToData(latitudes, longitudes).frame;
}

namespace {
constexpr double kEarthRadiusMetres = 6371008.8;  // mean radius (IUGG)
constexpr double kDegree = 3.14159265358979323846 / 180.0;
}  // namespace

double cellHeightMetres(const GeoFrame& frame) {
    return frame.latitudeSpan() / 1000.0 * kDegree * kEarthRadiusMetres;
}

double cellWidthMetres(const GeoFrame& frame) {
    const double centre = 0.5 * (frame.south + frame.north) * kDegree;
    return frame.longitudeSpan() / 1000.0 * kDegree * kEarthRadiusMetres * std::cos(centre);
}

double cellAspect(const GeoFrame& frame) {
    const double aspect = cellWidthMetres(frame) / cellHeightMetres(frame);
    if (!std::isfinite(aspect) || aspect <= 0.0 || std::fabs(aspect - 1.0) <= 0.02) return 1.0;
    return aspect;
}
