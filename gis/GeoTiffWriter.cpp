// The one GeoTIFF encoder: a Float32 band on EPSG:4326, north up, laid out
// as a cloud-optimised GeoTIFF in memory and handed back as bytes.
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

#include <atomic>
#include <vector>

#include "gis/GdalSetup.h"
#include "gis/Gis.h"

namespace gis {

namespace {

// The in-memory file GDAL writes, removed however the encoding ends.
class MemoryFile {
public:
    MemoryFile() {
        static std::atomic<unsigned long> next{0};
        name_ = "/vsimem/trackora-geotiff-" + std::to_string(next.fetch_add(1)) + ".tif";
    }
    ~MemoryFile() { VSIUnlink(name_.c_str()); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
};

}  // namespace

std::vector<unsigned char> encodeGeoTiff(const std::string& path, const GeoTiffRaster& raster) {
    useGdal();
    if (!raster.cells || raster.width <= 0 || raster.height <= 0)
        throw GisError(path, "the raster is empty");
    GDALDriver* staging = GetGDALDriverManager()->GetDriverByName("MEM");
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("COG");
    if (!staging || !driver) throw GisError(path, "GDAL has no MEM or COG driver");

    // The COG driver writes a copy: the raster is laid out in memory first.
    CPLErrorReset();
    GDALDatasetUniquePtr dataset(staging->Create("", raster.width, raster.height, 1, GDT_Float32, nullptr));
    if (!dataset) throw GisError(path, gdalReason("GDAL cannot create it"));

    const double north = raster.south + raster.height * raster.cellHeight;
    double transform[6] = {raster.west, raster.cellWidth, 0.0, north, 0.0, -raster.cellHeight};
    OGRSpatialReference wgs84;
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (dataset->SetGeoTransform(transform) != CE_None || wgs84.importFromEPSG(4326) != OGRERR_NONE ||
        dataset->SetSpatialRef(&wgs84) != CE_None)
        throw GisError(path, gdalReason("GDAL cannot georeference it"));
    for (const auto& [name, value] : raster.metadata) dataset->SetMetadataItem(name.c_str(), value.c_str());

    GDALRasterBand* band = dataset->GetRasterBand(1);
    if (!raster.unit.empty()) band->SetUnitType(raster.unit.c_str());
    if (!raster.description.empty()) band->SetDescription(raster.description.c_str());
    // The file runs north to south; the raster's row 0 is the southern row.
    std::vector<float> row(static_cast<std::size_t>(raster.width));
    for (int line = 0; line < raster.height; ++line) {
        const float* source =
            raster.cells + static_cast<std::size_t>(raster.height - 1 - line) * static_cast<std::size_t>(raster.width);
        row.assign(source, source + raster.width);
        if (band->RasterIO(GF_Write, 0, line, raster.width, 1, row.data(), raster.width, 1, GDT_Float32, 0, 0,
                           nullptr) != CE_None)
            throw GisError(path, gdalReason("GDAL cannot write it"));
    }
    CPLStringList creation;
    creation.SetNameValue("COMPRESS", "DEFLATE");
    creation.SetNameValue("PREDICTOR", "FLOATING_POINT");  // smaller files, the values unchanged
    creation.SetNameValue("BLOCKSIZE", "256");
    if (raster.averagedOverviews) {
        creation.SetNameValue("OVERVIEWS", "IGNORE_EXISTING");
        creation.SetNameValue("RESAMPLING", "AVERAGE");
    } else {
        creation.SetNameValue("OVERVIEWS", "NONE");
    }
    // GDAL writes into memory under a name of ours; the caller's file name
    // never reaches GDAL, which would take "/vsi..." for one of its own.
    const MemoryFile memory;
    CPLErrorReset();
    GDALDatasetUniquePtr copy(driver->CreateCopy(memory.name().c_str(), dataset.get(), FALSE, creation.List(),
                                                 nullptr, nullptr));
    if (!copy) throw GisError(path, gdalReason("GDAL cannot write it"));
    // Closing writes the last tiles and the directory; its failure (a full
    // disk) must not pass unnoticed.
    copy.reset();
    if (CPLGetLastErrorType() >= CE_Failure)
        throw GisError(path, gdalReason("GDAL cannot finish it"));
    vsi_l_offset length = 0;
    const GByte* bytes = VSIGetMemFileBuffer(memory.name().c_str(), &length, FALSE);
    if (!bytes) throw GisError(path, "GDAL wrote nothing");
    return std::vector<unsigned char>(bytes, bytes + length);
}

}  // namespace gis
