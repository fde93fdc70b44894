#include "app/GridExport.h"

#include <stdexcept>

#include "model/OutputFile.h"

void saveGridGeoTiff(const std::string& path, const std::vector<float>& grid, const ControlSettings& settings) {
    (void)settings;
    if (grid.size() != 1000u * 1000u)
        throw std::invalid_argument("the grid has " + std::to_string(grid.size()) + " cells, not 1000 x 1000");
    // TODO(GeoTIFF writer): the GeoTIFF writer replaces this body at merge;
    // until then the grid is written as raw little-endian float32, row 0 first.
    OutputFile out(path);
    out.write(grid.data(), grid.size() * sizeof(float));
    out.commit();
}
