#pragma once
// Reads samples from a binary sample file, a text sample file or (through
// the directory branch) a tree of raw trajectory recordings. A loader is made
// for one load and discarded after it.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/Datapoint.h"

class TrajectoryLoader {
public:
    float maxLatitude = kMaxLatitude;
    float minLatitude = kMinLatitude;
    float maxLongitude = kMaxLongitude;
    float minLongitude = kMinLongitude;
    std::unordered_map<std::string, TransportationMode> modeNames;

    TrajectoryLoader();

    // Dispatch on the path: ".bin"/".dat" is a binary sample file, anything
    // else a text sample file. limit -1 reads everything.
    std::vector<Datapoint> load(const std::string& path, bool normalize);
    std::vector<Datapoint> load(const std::string& path, std::int32_t limit, bool normalize);

    // Headerless array of 16-byte records. With a limit, exactly that many
    // records come back; those past the end of the file keep default values.
    // Throws DataFileError when the file cannot be opened or read, or holds
    // more records than a 32-bit count, and std::invalid_argument for a
    // negative limit other than -1.
    static std::vector<Datapoint> loadBinary(const std::string& path, std::int32_t limit);

    // One "x y time mode" sample per line. Throws DataFileError when the file
    // cannot be opened, std::invalid_argument or std::out_of_range (naming the
    // file, line and text) when a number does not convert.
    std::vector<Datapoint> loadText(const std::string& path, std::int32_t limit, bool normalize) const;
};

// Number of records a binary sample file of this many bytes holds.
inline std::int64_t binaryRecordCount(std::int64_t bytes) { return bytes / 16; }
