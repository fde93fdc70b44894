// The day cube as CF-conventions NetCDF through GDAL's multidimensional API.
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal_priv.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "gis/GdalSetup.h"
#include "gis/Gis.h"

namespace gis {

struct DayCubeWriter::State {
    std::unique_ptr<GDALDataset> dataset;
    std::shared_ptr<GDALMDArray> data;
    DayCubeLayout layout;
};

namespace {

using Array = std::shared_ptr<GDALMDArray>;

void setText(const std::shared_ptr<GDALAttribute>& attribute, const std::string& value, const std::string& path) {
    if (!attribute || !attribute->Write(value.c_str())) throw GisError(path, gdalReason("GDAL cannot write an attribute"));
}

void text(const Array& array, const char* name, const std::string& value, const std::string& path) {
    setText(array->CreateAttribute(name, {}, GDALExtendedDataType::CreateString()), value, path);
}

void number(const Array& array, const char* name, double value, const std::string& path) {
    const auto attribute = array->CreateAttribute(name, {}, GDALExtendedDataType::Create(GDT_Float64));
    if (!attribute || !attribute->Write(value)) throw GisError(path, gdalReason("GDAL cannot write an attribute"));
}

void writeAll(const Array& array, const std::vector<double>& values, const std::string& path) {
    const GUInt64 start[2] = {0, 0};
    const size_t count[2] = {values.size() / (array->GetDimensionCount() == 2 ? 2 : 1),
                             array->GetDimensionCount() == 2 ? 2u : 1u};
    if (!array->Write(start, count, nullptr, nullptr, GDALExtendedDataType::Create(GDT_Float64), values.data()))
        throw GisError(path, gdalReason("GDAL cannot write a coordinate"));
}

}  // namespace

DayCubeWriter::DayCubeWriter(const std::string& path, const std::string& file, const DayCubeLayout& layout)
    : path_(path) {
    useGdal();
    if (layout.width <= 0 || layout.height <= 0 || layout.steps <= 0 || layout.stepSeconds <= 0)
        throw GisError(path, "the cube is empty");
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("netCDF");
    if (!driver) throw GisError(path, "GDAL has no netCDF driver");
    // The file is the caller's temporary file, which the caller holds locked
    // against a cleaner; HDF5, under netCDF-4, would refuse to create it
    // while its own lock cannot be had.
    ::setenv("HDF5_USE_FILE_LOCKING", "FALSE", 0);
    auto state = std::make_unique<State>();
    state->layout = layout;
    CPLErrorReset();
    CPLStringList options;
    options.SetNameValue("FORMAT", "NC4");
    options.SetNameValue("CONVENTIONS", "CF-1.8");
    state->dataset.reset(driver->CreateMultiDimensional(file.c_str(), nullptr, options.List()));
    if (!state->dataset) throw GisError(path, gdalReason("GDAL cannot create it"));
    const auto root = state->dataset->GetRootGroup();
    const auto time = root->CreateDimension("time", GDAL_DIM_TYPE_TEMPORAL, "", layout.steps);
    const auto lat = root->CreateDimension("lat", GDAL_DIM_TYPE_HORIZONTAL_Y, "", layout.height);
    const auto lon = root->CreateDimension("lon", GDAL_DIM_TYPE_HORIZONTAL_X, "", layout.width);
    const auto bounds = root->CreateDimension("bnds", "", "", 2);
    if (!time || !lat || !lon || !bounds) throw GisError(path, gdalReason("GDAL cannot make the dimensions"));
    const auto float64 = GDALExtendedDataType::Create(GDT_Float64);

    // Times of day on a nominal date, each slice at the start of its step,
    // its bounds the step; the date carries no meaning.
    const Array times = root->CreateMDArray("time", {time}, float64);
    const Array timeBounds = root->CreateMDArray("time_bnds", {time, bounds}, float64);
    const Array latitudes = root->CreateMDArray("lat", {lat}, float64);
    const Array longitudes = root->CreateMDArray("lon", {lon}, float64);
    CPLStringList dataOptions;
    dataOptions.SetNameValue("COMPRESS", "DEFLATE");
    dataOptions.SetNameValue("ZLEVEL", "4");
    dataOptions.SetNameValue("BLOCKSIZE", ("1," + std::to_string(std::min(layout.height, 256)) + "," +
                                           std::to_string(std::min(layout.width, 256))).c_str());
    const Array data = root->CreateMDArray(layout.variable, {time, lat, lon}, GDALExtendedDataType::Create(GDT_Float32),
                                           dataOptions.List());
    const Array crs = root->CreateMDArray("crs", {}, GDALExtendedDataType::Create(GDT_Int32));
    if (!times || !timeBounds || !latitudes || !longitudes || !data || !crs)
        throw GisError(path, gdalReason("GDAL cannot make the variables"));

    text(times, "standard_name", "time", path);
    text(times, "long_name", "time of day (start of each step; the date is nominal)", path);
    text(times, "units", "seconds since 2000-01-01 00:00:00", path);
    text(times, "calendar", "standard", path);
    text(times, "axis", "T", path);
    text(times, "bounds", "time_bnds", path);
    text(latitudes, "standard_name", "latitude", path);
    text(latitudes, "units", "degrees_north", path);
    text(latitudes, "axis", "Y", path);
    text(longitudes, "standard_name", "longitude", path);
    text(longitudes, "units", "degrees_east", path);
    text(longitudes, "axis", "X", path);
    text(crs, "grid_mapping_name", "latitude_longitude", path);
    number(crs, "semi_major_axis", 6378137.0, path);
    number(crs, "inverse_flattening", 298.257223563, path);
    number(crs, "longitude_of_prime_meridian", 0.0, path);
    text(crs, "crs_wkt", SRS_WKT_WGS84_LAT_LONG, path);
    if (!layout.units.empty()) text(data, "units", layout.units, path);
    text(data, "long_name", layout.longName, path);
    text(data, "grid_mapping", "crs", path);
    for (const auto& [name, value] : layout.attributes)
        setText(root->CreateAttribute(name, {}, GDALExtendedDataType::CreateString()), value, path);

    std::vector<double> values(static_cast<std::size_t>(layout.steps));
    std::vector<double> edges(static_cast<std::size_t>(layout.steps) * 2);
    for (int k = 0; k < layout.steps; ++k) {
        values[k] = static_cast<double>(k) * layout.stepSeconds;
        edges[2 * k] = values[k];
        edges[2 * k + 1] = values[k] + layout.stepSeconds;
    }
    writeAll(times, values, path);
    writeAll(timeBounds, edges, path);
    values.resize(static_cast<std::size_t>(layout.height));
    for (int r = 0; r < layout.height; ++r) values[r] = layout.south + (r + 0.5) * layout.cellHeight;
    writeAll(latitudes, values, path);
    values.resize(static_cast<std::size_t>(layout.width));
    for (int c = 0; c < layout.width; ++c) values[c] = layout.west + (c + 0.5) * layout.cellWidth;
    writeAll(longitudes, values, path);
    state->data = data;
    state_ = state.release();
}

DayCubeWriter::~DayCubeWriter() { delete state_; }

void DayCubeWriter::writeSlice(int step, const float* cells) {
    const DayCubeLayout& layout = state_->layout;
    if (step < 0 || step >= layout.steps) throw GisError(path_, "no step " + std::to_string(step) + " in the cube");
    const GUInt64 start[3] = {static_cast<GUInt64>(step), 0, 0};
    const size_t count[3] = {1, static_cast<size_t>(layout.height), static_cast<size_t>(layout.width)};
    CPLErrorReset();
    if (!state_->data->Write(start, count, nullptr, nullptr, GDALExtendedDataType::Create(GDT_Float32), cells))
        throw GisError(path_, gdalReason("GDAL cannot write a slice"));
}

void DayCubeWriter::finish() {
    CPLErrorReset();
    state_->data.reset();
    state_->dataset.reset();
    if (CPLGetLastErrorType() >= CE_Failure) throw GisError(path_, gdalReason("GDAL cannot finish it"));
}

}  // namespace gis
