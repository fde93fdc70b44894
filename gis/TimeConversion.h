#pragma once
// From a clock and a zone to the UTC day and second. Internal to gis/.
#include "gis/Gis.h"

namespace gis {

// A real calendar day and a clock time (seconds 0 to 59: a 60th second is
// refused rather than moved into the next minute).
bool validClock(int year, int month, int day, int hour, int minute, int second);

// The UTC time of a valid local clock `zoneMinutes` east of UTC; the text is
// left empty.
TrackTime utcTime(int year, int month, int day, int hour, int minute, int second, int zoneMinutes);

}  // namespace gis
