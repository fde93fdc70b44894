#include "model/Dataset.h"

#include <filesystem>

#include "model/ModeNames.h"
#include "model/TrajectoryLoader.h"

Dataset::Dataset(const std::string& path_, bool normalize) : Dataset(path_, -1, normalize) {}

Dataset::Dataset(const std::string& path_, std::int32_t limit, bool normalize) : path(path_) {
    TrajectoryLoader loader;
    points = loader.load(path, limit, normalize);
    frame = loader.frame;
    // The loaders refuse inputs with more samples than a 32-bit count holds.
    count = static_cast<std::int32_t>(points.size());
}

Dataset Dataset::empty(const std::string& path_) {
    Dataset dataset;
    dataset.path = path_;
    return dataset;
}

std::vector<std::string> loadNotes(const Dataset& dataset) {
    std::vector<std::string> notes;
    const std::string quoted = "\"" + dataset.path + "\"";
    std::error_code error;
    if (std::filesystem::is_directory(dataset.path, error))
        notes.push_back(quoted + " is a directory, not a sample file: read as a raw trajectory tree, " +
                        std::to_string(dataset.points.size()) + " samples");
    else if (dataset.points.empty())
        notes.push_back(quoted + " holds no samples");
    std::int64_t other = 0;
    for (const Datapoint& point : dataset.points) other += modeIndex(point.mode) < 0;
    if (other > 0)
        notes.push_back(std::to_string(other) + " samples have a mode that is none of the eleven; "
                        "they are counted whatever modes are ticked");
    return notes;
}
