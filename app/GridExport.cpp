#include "app/GridExport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "engine/HeatmapEngine.h"
#include "gis/Gis.h"
#include "kde/KdeLogic.h"
#include "model/ModeNames.h"
#include "model/OutputFile.h"

namespace {

std::string clockTime(std::int32_t seconds) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return text;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string modeList(std::int32_t mask) {
    if ((mask & kAllModes) == kAllModes) return "all";
    std::string list;
    for (const TransportationMode mode : kModes) {
        if (!(mask & mode)) continue;
        std::string name(modeDisplayName(mode));
        for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        list += (list.empty() ? "" : ",") + name;
    }
    return list.empty() ? "none" : list;
}

std::string metres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f m", value);
    return text;
}

}  // namespace

PictureShape pictureShape(const GeoFrame& frame, int longSide) {
    const double aspect = cellAspect(frame);  // 1 within 2% of square
    if (aspect >= 1.0)
        return {longSide, std::max(1, static_cast<int>(std::lround(longSide / aspect)))};
    return {std::max(1, static_cast<int>(std::lround(longSide * aspect))), longSide};
}

std::string worldFileText(const GeoFrame& frame, int width, int height) {
    const double pixelWidth = frame.longitudeSpan() / width;
    const double pixelHeight = frame.latitudeSpan() / height;
    char text[256];
    std::snprintf(text, sizeof text, "%.15g\n0\n0\n%.15g\n%.15g\n%.15g\n", pixelWidth, -pixelHeight,
                  frame.west + pixelWidth / 2.0, frame.north - pixelHeight / 2.0);
    return text;
}

std::optional<std::string> viewWorldFileText(const GeoFrame& frame, int width, int height,
                                             const analysis::ViewTransform& view) {
    // The pan glides to its target and may stall a few ulps short of it:
    // less than a hundredth of a pixel off counts as not panned.
    const bool panned = std::abs(view.translateX) * width / 2.0 >= 0.01 ||
                        std::abs(view.translateY) * height / 2.0 >= 0.01;
    if (view.zoom != 1.0f || panned || width <= 0 || height <= 0) return std::nullopt;
    const analysis::WindowPoint northWest = analysis::windowPointOf({0.0, 1.0}, width, height, view);
    const analysis::WindowPoint southEast = analysis::windowPointOf({1.0, 0.0}, width, height, view);
    const double pixelWidth = frame.longitudeSpan() / (southEast.x - northWest.x);
    const double pixelHeight = frame.latitudeSpan() / (southEast.y - northWest.y);
    char text[256];
    std::snprintf(text, sizeof text, "%.15g\n0\n0\n%.15g\n%.15g\n%.15g\n", pixelWidth, -pixelHeight,
                  frame.west - northWest.x * pixelWidth + pixelWidth / 2.0,
                  frame.north + northWest.y * pixelHeight - pixelHeight / 2.0);
    return std::string(text);
}

std::string worldFilePath(const std::string& picture) {
    return std::filesystem::path(picture).replace_extension(".pgw").string();
}

std::string auxXmlPath(const std::string& picture) { return picture + ".aux.xml"; }

std::string auxXmlText() {
    return "<PAMDataset>\n  <SRS dataAxisToSRSAxisMapping=\"2,1\">GEOGCS[&quot;WGS 84&quot;,DATUM[&quot;WGS_1984&quot;,"
           "SPHEROID[&quot;WGS 84&quot;,6378137,298.257223563,AUTHORITY[&quot;EPSG&quot;,&quot;7030&quot;]],"
           "AUTHORITY[&quot;EPSG&quot;,&quot;6326&quot;]],PRIMEM[&quot;Greenwich&quot;,0,AUTHORITY[&quot;EPSG&quot;,"
           "&quot;8901&quot;]],UNIT[&quot;degree&quot;,0.0174532925199433,AUTHORITY[&quot;EPSG&quot;,&quot;9122&quot;]],"
           "AXIS[&quot;Latitude&quot;,NORTH],AXIS[&quot;Longitude&quot;,EAST],AUTHORITY[&quot;EPSG&quot;,&quot;4326&quot;]]"
           "</SRS>\n</PAMDataset>\n";
}

std::string gridBandDescription(const ControlSettings& settings, GridValues values, const GeoFrame& frame,
                                const std::string& clock) {
    std::string what;
    switch (values) {
        case GridValues::perKm2: what = "density, samples per km2"; break;
        case GridValues::count: what = "samples centred in each cell"; break;
        case GridValues::display: what = "display level 0-1"; break;
    }
    const double cell = cellHeightMetres(frame);
    const int size = HeatmapEngine::effectiveKernelSize(settings.kernel_size);
    std::string text = what + "; modes " + modeList(settings.mode_mask) + "; window " + clockTime(settings.min_time) +
                       "-" + clockTime(settings.max_time) + " " + (clock.empty() ? "as imported" : clock);
    if (values != GridValues::count)
        text += "; sigma " + number(settings.sigma) + " cells (" + metres(settings.sigma * cell) + "), size " +
                std::to_string(size) + " cells (" + metres(size * cell) + ")" +
                (values == GridValues::display
                     ? std::string(settings.use_log_scale ? ", log scale"
                                                                                                : ", linear scale")
                     : std::string());
    return text;
}

void writeDensityGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest, GridValues values, const GeoFrame& frame, const std::string& clock,
                         const DayCount& days) {
    OutputFile out(path);
    writeDensityGeoTiff(out, grid, settings, densest, values, frame, clock, days);
}

void writeDensityGeoTiff(OutputFile& out, const std::vector<float>& grid, const ControlSettings& settings,
                         double densest, GridValues values, const GeoFrame& frame, const std::string& clock,
                         const DayCount& days) {
    gis::GeoTiffRaster raster;
    raster.cells = grid.data();
    raster.width = kGridSide;
    raster.height = kGridSide;
    // The cells tile the frame exactly (the decimal spans: 0.45 / 1000, not
    // 116.6 - 116.15 in binary).
    raster.west = frame.west;
    raster.south = frame.south;
    raster.cellWidth = frame.longitudeSpan() / kGridSide;
    raster.cellHeight = frame.latitudeSpan() / kGridSide;
    const bool log = settings.use_log_scale;
    raster.metadata = {
        {"SIGMA", number(settings.sigma)},
        {"SIZE", std::to_string(HeatmapEngine::effectiveKernelSize(settings.kernel_size))},
        {"MODES", modeList(settings.mode_mask)},
        {"MODE_MASK", std::to_string(settings.mode_mask)},
        {"TIME_WINDOW", clockTime(settings.min_time) + "-" + clockTime(settings.max_time) +
                            (clock.empty() ? "" : " " + clock)},
        {"SCALE", log ? "log" : "linear"},
        {"MAX_DENSITY", number(densest)},
        {"UNITS", gridValuesUnits(values)},
    };
    raster.unit = values == GridValues::display ? "" : gridValuesUnits(values);
    raster.description = gridBandDescription(settings, values, frame, clock);
    if (days.days > 0 && values != GridValues::display) {
        const std::string perDay = std::string(gridValuesUnits(values)) + "/day";
        for (auto& [name, value] : raster.metadata)
            if (name == "UNITS") value = perDay;
        raster.unit = perDay;
        raster.metadata.emplace_back("DAYS", std::to_string(days.days));
        const auto over = [](std::int64_t n) { return " per day over " + std::to_string(n) + (n == 1 ? " day" : " days"); };
        raster.description += ";" + over(days.days);
        if (days.versusDays > 0) {
            raster.metadata.emplace_back("DAYS_B", std::to_string(days.versusDays));
            raster.metadata.emplace_back("SELECTION_B", days.versus);
            raster.description =
                "difference A - B of " + raster.description + ", minus B (" + days.versus + ")" + over(days.versusDays);
        }
    }
    raster.averagedOverviews = values != GridValues::count;
    std::vector<unsigned char> bytes;
    try {
        bytes = gis::encodeGeoTiff(out.target(), raster);
    } catch (const gis::GisError& error) {
        throw OutputError(out.target(), error.reason());
    }
    out.write(bytes.data(), bytes.size());
    out.commit();
}

void saveGridGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings,
                     GridValues values, const GeoFrame& frame, const std::string& clock, std::int64_t days) {
    if (grid.size() != static_cast<std::size_t>(kGridCells))
        throw std::invalid_argument("the grid has " + std::to_string(grid.size()) + " cells, not 1000 x 1000");
    const double densest = HeatmapEngine::lastMaximumDensity();
    std::vector<float> cells = gridCells(values, grid, densest, HeatmapEngine::lastUsedLogScale(),
                                         values == GridValues::count ? HeatmapEngine::sampleCounts(settings)
                                                                     : std::vector<float>{},
                                         frame);
    DayCount count;
    if (days > 0 && values != GridValues::display) {
        cells = perDayCells(cells, days);
        count.days = days;
    }
    writeDensityGeoTiff(path, cells, settings, densest, values, frame, clock, count);
}
