#pragma once
// The raw recording formats read from memory: trajectory files (six header
// lines, seven comma-separated fields) and label files (one header line,
// three tab-separated fields). The directory walk reads each file whole and
// hands its bytes here, so files can be parsed on several threads.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gis/TimeZone.h"
#include "model/CellRule.h"
#include "model/Datapoint.h"
#include "model/GeoFrame.h"
#include "model/LabelIndex.h"
#include "model/LoadError.h"

// A frame's bounds as the filter compares and the normalisation divides:
// the frame's own decimals, read into doubles.
struct FrameBounds {
    double maxLatitude = GeoFrame{}.north;
    double minLatitude = GeoFrame{}.south;
    double maxLongitude = GeoFrame{}.east;
    double minLongitude = GeoFrame{}.west;
};
inline FrameBounds boundsOf(const GeoFrame& frame) { return {frame.north, frame.south, frame.east, frame.west}; }

// The frame filter and the normalisation shared by every raw format: false
// for a fix outside the box (bounds inclusive, compared in double precision,
// which orders the decimals as written; a NaN lies outside), else its x and
// y: normalised when asked, each in the cell its decimals give
// (placeOnAxis), or else the degrees rounded to float.
inline bool placeFix(double latitude, double longitude, bool normalize, const FrameBounds& frame, float& x,
                     float& y) {
    if (!(latitude >= frame.minLatitude && longitude >= frame.minLongitude && latitude <= frame.maxLatitude &&
          longitude <= frame.maxLongitude))
        return false;
    if (normalize) {
        x = placeOnAxis(latitude, frame.minLatitude, frame.maxLatitude);
        y = placeOnAxis(longitude, frame.minLongitude, frame.maxLongitude);
    } else {
        x = static_cast<float>(latitude);
        y = static_cast<float>(longitude);
    }
    return true;
}

// Lines as std::getline gives them, with one carriage return before the line
// feed removed so CRLF and LF files read alike. A last line without a line
// end is still a line; the end of the text is not.
class LineReader {
public:
    explicit LineReader(std::string_view text) : text_(text) {}
    bool next(std::string_view& line);
    // 1-based number of the line `next` returned last.
    std::int64_t lineNumber() const { return number_; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
    std::int64_t number_ = 0;
};

struct TrajectoryCounts {
    std::int64_t lines = 0;    // fix lines read after the header
    std::int64_t kept = 0;     // inside the box
    std::int64_t outside = 0;  // dropped by the frame filter (NaN included)
    std::int64_t collapsed = 0;  // folded into their visit's first (collapseVisits)
};

// The grid cell of a normalised position by the engines' rule, as one key.
inline std::int64_t visitCellOf(float x, float y) {
    return static_cast<std::int64_t>(gridCellOf(x * 1000.0f, 1000)) * 4000000 + gridCellOf(y * 1000.0f, 1000);
}

// Folds each run of consecutive fixes in one grid cell, from `from` on (one
// track), into the run's first fix, keeping its position, mode and time; a
// logger parked in a cell then counts once per stay. Returns how many fixes
// were folded.
// A days column of the same length (see SampleDays.h) folds alongside.
std::int64_t collapseVisits(std::vector<Datapoint>& points, std::size_t from = 0,
                            std::vector<std::int32_t>* days = nullptr);

// Appends the fixes of one trajectory file to `out`. A line that breaks the
// format (fewer than seven fields, a latitude or longitude that is not wholly
// a number, a date or time of day that does not exist) throws
// std::invalid_argument, or std::out_of_range for a number beyond float,
// naming `path`, the line number and the text; with `skip` the line is
// recorded there instead and the parse goes on. With a `zone`, each fix's
// stored time of day is its UTC date and time under the zone's rules
// (labels are still matched on the file's own clock). With `days`, each
// kept fix's date (days since 1970) is appended there: the local date under
// `zone`, else the file's own (a fixed offset is the caller's to apply, with
// shiftDay, as it applies it to the time of day).
void parseTrajectoryText(std::string_view content, const std::string& path, bool normalize,
                         const LabelIndex& labels, const FrameBounds& frame,
                         std::vector<Datapoint>& out, TrajectoryCounts& counts, BadLines* skip = nullptr,
                         const gis::TimeZone* zone = nullptr, std::vector<std::int32_t>* days = nullptr);

struct LabelCounts {
    std::int64_t lines = 0;
    std::int64_t unknownNames = 0;  // lines skipped for a mode name outside the table
    std::map<std::string, std::int64_t> unknownNameCounts;  // the first few distinct names
};

// The intervals of one label file. Spans across midnight are split; a line
// whose mode name is not in `names` is skipped and counted. A start or end
// that is not a date and time that exists throws std::invalid_argument naming
// `path`, the line and the text, or is recorded in `skip` when given.
LabelIndex parseLabelsText(std::string_view content, const std::string& path,
                           const std::unordered_map<std::string, TransportationMode>& names,
                           LabelCounts& counts, BadLines* skip = nullptr);

// Asks the system to back a large, not yet touched buffer with huge pages,
// which saves most page faults when it is filled. Only a hint.
void adviseHugePages(const void* data, std::size_t bytes);

// Reads a whole file into `buffer`. False with `reason` when it cannot be
// opened; a failing read after opening throws DataFileError.
bool readFileContents(const std::string& path, std::string& buffer, std::string& reason);
