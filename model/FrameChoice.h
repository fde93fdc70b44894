#pragma once
// How a load of recordings, text sample files or track files picks the frame
// its fixes are kept in and normalised over: given, fitted to the fixes, or
// chosen for them (the default box when it holds most of them, else fitted),
// so that a city other than the default one opens without a box typed in.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/Datapoint.h"
#include "model/GeoFrame.h"
#include "model/ImportReport.h"

struct FrameRequest {
    enum class Kind { automatic, fit, given };
    Kind kind = Kind::automatic;
    GeoFrame frame;  // the box, for Kind::given

    friend bool operator==(const FrameRequest&, const FrameRequest&) = default;
};

// "" or "auto": automatic; "fit": fitted; else "SOUTH,WEST,NORTH,EAST" as
// parseFrame reads it, which throws std::invalid_argument with the reason.
// Spaces around the text are ignored.
FrameRequest parseFrameRequest(std::string_view text);
// The same form back: "auto", "fit" or the box's frameText.
std::string frameRequestText(const FrameRequest& request);

// The box a load reads fixes through, in degrees, when the frame is chosen
// after the read: as far as a frame may reach.
inline constexpr GeoFrame kWholeWorld{-85.0, -180.0, 85.0, 180.0};

// The frame for fixes read in degrees (x latitude, y longitude): the given
// box; fitFrame's box; or, automatic, the default box when more than half
// the fixes lie inside it (a file of the default city keeps the shipped map
// even with a trip out of town), else the fitted box.
GeoFrame chooseFrame(const std::vector<Datapoint>& degrees, const FrameRequest& request);

// Why a load gave no samples, in words, for the Data window and the console:
// "all 17 points lie outside the frame 39.75,116.15,40.1,116.6", "it holds
// no fixes", or what was read and where it went. `read`: the fixes read
// (before the frame filter), `report`: the loader's counts, its `outside`
// taken as the fixes the frame filter dropped.
std::string noSamplesReason(std::int64_t read, const ImportReport& report, const GeoFrame& frame);
