#include "model/Dataset.h"

#include "model/TrajectoryLoader.h"

Dataset::Dataset(const std::string& path_, bool normalize) : Dataset(path_, -1, normalize) {}

Dataset::Dataset(const std::string& path_, std::int32_t limit, bool normalize) : path(path_) {
    TrajectoryLoader loader;
    points = loader.load(path, limit, normalize);
    // The loaders refuse inputs with more samples than a 32-bit count holds.
    count = static_cast<std::int32_t>(points.size());
}

Dataset Dataset::empty(const std::string& path_) {
    Dataset dataset;
    dataset.path = path_;
    return dataset;
}
