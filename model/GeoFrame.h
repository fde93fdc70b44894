#pragma once
// The latitude-longitude box a data set's coordinates are normalised over
// (degrees, WGS 84), and the small text file beside a binary sample file
// that records it. A binary file without one has the default frame, the box
// every earlier file was made in.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct GeoFrame {
    double south = 39.75;
    double west = 116.15;
    double north = 40.1;
    double east = 116.6;

    // The spans as the frame's decimals give them (rounded to 1e-9 degrees):
    // 116.6 - 116.15 in binary is a little less than 0.45.
    double latitudeSpan() const;
    double longitudeSpan() const;

    friend bool operator==(const GeoFrame&, const GeoFrame&) = default;
};

// Where a coordinate in degrees is stored: its fraction of the way from
// `low` to `high` as the float whose grid cell (gridCellOf of the float
// times `side`, in single precision, as the engines compute it) is the cell
// exact decimal arithmetic gives for the degrees as written. The nearest
// float to the fraction is stepped with std::nextafter when it lies across
// a cell edge. The degrees are the double read from their decimal text (the
// shortest decimal that reads back as the double stands for the text: up to
// 15 significant digits it is the text itself); the bounds are the frame's
// decimals.
float placeOnAxis(double degrees, double low, double high, int side = 1000);
// The cell exact decimal arithmetic gives: floor(side * (degrees - low) /
// (high - low)), with degrees == high in cell side - 1; beyond 1e15 cells
// from the frame, +-2^60 on its side (the floor would not fit).
long long exactCellOf(double degrees, double low, double high, int side = 1000);

// Empty when the frame can be used, else why not, in words: not finite,
// south not below north, beyond 85 degrees of latitude, west not before
// east, crossing the antimeridian.
std::string frameProblem(const GeoFrame& frame);

// "SOUTH,WEST,NORTH,EAST" in decimal degrees ("39.75,116.15,40.1,116.6").
// Throws std::invalid_argument with the reason when the text is not four
// decimal numbers or the frame cannot be used.
GeoFrame parseFrame(std::string_view text);
// The same form back, with up to 9 decimals and no trailing zeros.
std::string frameText(const GeoFrame& frame);
// For messages: "39.75-40.1 N, 116.15-116.6 E", "12.3-11.9 S, 77.2-76.8 W",
// "1 S-2 N, 3 W-4 E".
std::string frameDescription(const GeoFrame& frame);

// The frame file beside a binary sample file: "PATH.frame". Its five lines
// take some hundred bytes; one larger than this is no frame file.
inline constexpr std::size_t kFrameFileLimit = 64 * 1024;
std::string frameFilePath(const std::string& samplesPath);
// Its content: a comment line, then "south 39.75", "west ...", "north ...",
// "east ...", one a line, and when given, "clock NAME": the clock the
// samples' times of day are in ("America/Los_Angeles", "UTC+8").
std::string frameFileText(const GeoFrame& frame, const std::string& clock = {});
// The frame of the binary sample file at samplesPath: its frame file's, or
// the default frame when there is none. Throws DataFileError naming the
// frame file when it cannot be read or says something else than a usable
// frame.
GeoFrame readFrameFile(const std::string& samplesPath);
// The clock its frame file names; empty when it names none or there is no
// frame file (the times are as they were imported). Throws as readFrameFile.
std::string readFrameClock(const std::string& samplesPath);

// A group of fixes apart from the others: its centre (the mean position)
// and how many fixes it holds.
struct FixCluster {
    double latitude = 0.0;
    double longitude = 0.0;
    std::int64_t fixes = 0;
};

struct FrameFit {
    GeoFrame frame;
    std::int64_t fixes = 0;          // in the cluster the frame was fitted to
    std::int64_t total = 0;          // given
    std::vector<FixCluster> others;  // the other clusters, most fixes first
};

// The frame of a city's worth of positions. The positions are grouped into
// clusters (0.1-degree tiles that touch, their fixes together); the one
// holding the most fixes is taken, narrowed to about 100 km a side around
// its median when it is larger. Its frame is the smallest box holding 99.9%
// of its positions (0.05% cut off at each end of each axis), padded by 2%
// of its span on every side (at least 0.001 degrees), then widened to a
// square on the ground at its centre latitude (its cells as wide as they are
// tall, in metres), rounded outwards to 1e-6 degrees and kept within 85
// degrees of latitude and -180..180 of longitude. Empty input gives the
// default frame. The vectors are reordered.
FrameFit fitFrameToData(std::vector<float>& latitudes, std::vector<float>& longitudes);
// Its frame alone.
GeoFrame fitFrame(std::vector<float>& latitudes, std::vector<float>& longitudes);

// The frame's cells on the ground, at its centre latitude on a spherical
// earth (mean radius): north-south height and east-west width in metres.
double cellHeightMetres(const GeoFrame& frame);
double cellWidthMetres(const GeoFrame& frame);
// Their width over their height, for the density's table: exactly 1 when
// the two agree within 2% (the default box's cells, 38.3 x 38.9 m, among
// them), so such frames keep the square table and the square map.
double cellAspect(const GeoFrame& frame);
