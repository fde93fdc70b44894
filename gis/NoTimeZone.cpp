// Time zones in a build without the time-zone library (the portable GPU
// check, whose programs must run where it is not installed): every name is
// refused with that reason.
#include "gis/TimeZone.h"

namespace gis {

std::shared_ptr<const TimeZone> TimeZone::locate(const std::string& name) {
    throw UnknownZone("cannot use time zone \"" + name + "\": this build has no time-zone database");
}

}  // namespace gis
