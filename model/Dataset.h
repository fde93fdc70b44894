#pragma once
// The loaded samples: constructing a Dataset performs the whole load.
#include <cstdint>
#include <string>
#include <vector>

#include "model/Datapoint.h"
#include "model/GeoFrame.h"

class Dataset {
public:
    std::string path;
    std::vector<Datapoint> points;
    std::int32_t count = 0;
    // The box the points are normalised over: a binary file's own frame, or
    // the default box recordings are read into.
    GeoFrame frame;

    // Failures of the load leave the constructor as exceptions, so no
    // partially loaded Dataset exists.
    Dataset(const std::string& path, bool normalize);
    Dataset(const std::string& path, std::int32_t limit, bool normalize);

    // A dataset with no samples, for a run that goes on after a failed load.
    static Dataset empty(const std::string& path);

private:
    Dataset() = default;
};

// What the viewer's console says about a load that succeeded, one line each:
// an input that gave no samples, a directory where a sample file was
// expected (it is read as a raw trajectory tree), and samples whose mode is
// none of the eleven flags (counted whatever modes are ticked).
std::vector<std::string> loadNotes(const Dataset& dataset);
