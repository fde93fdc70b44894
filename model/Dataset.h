#pragma once
// What is open: the samples' file (or tree), how many samples it gave and
// the frame they are normalised over. The samples themselves live only in
// the density engine's index, which is built from them as they are read.
#include <cstdint>
#include <string>
#include <vector>

#include "model/GeoFrame.h"
#include "model/SampleDays.h"

struct Dataset {
    std::string path;
    std::int32_t count = 0;
    // The box the samples are normalised over: a binary file's own frame, or
    // the default box recordings are read into.
    GeoFrame frame;
    // The clock the samples' times of day are in ("America/Los_Angeles",
    // "UTC+8"): a binary file's frame file's, or the one a raw tree or track
    // file was read with. Empty: as imported, unnamed.
    std::string clock;
    // The first and last date of the samples (days since 1970 in their
    // clock), kUnknownDay when none has one.
    std::int32_t firstDay = kUnknownDay;
    std::int32_t lastDay = kUnknownDay;
};

// What the viewer's console says about a load of `path` that succeeded and
// gave `count` samples, `otherModes` of them with a mode that is none of the
// eleven flags, one line each: an input that gave no samples, a directory
// where a sample file was expected (it is read as a raw trajectory tree), and
// the samples of other modes (counted whatever modes are ticked).
std::vector<std::string> loadNotes(const std::string& path, std::int64_t count, std::int64_t otherModes);
