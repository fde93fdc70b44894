#pragma once
// The walk of a raw trajectory tree behind TrajectoryLoader::loadDirectory:
// directories in name order with the label files in force where the walk
// meets each file, trajectory and track files parsed in parallel, the
// result in walk order, progress and the report kept on the loader.
#include <cstdint>
#include <string>
#include <vector>

#include "model/Datapoint.h"
#include "model/TrajectoryLoader.h"

// What TrajectoryLoader::loadDirectory documents, with `loader` supplying
// the bounds, the options and the report.
std::vector<Datapoint> walkDirectory(TrajectoryLoader& loader, const std::string& path, std::int32_t limit,
                                     bool normalize);
