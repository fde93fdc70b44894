// The zone arithmetic that needs no database, in every build.
#include "gis/TimeZone.h"

#include <chrono>

namespace gis {

std::int64_t utcSecondsOf(int year, int month, int day, std::int32_t secondOfDay) {
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    return static_cast<std::int64_t>(std::chrono::sys_days(date).time_since_epoch().count()) * 86400 + secondOfDay;
}

std::int32_t localSecondOfDay(const TimeZone& zone, ZoneSpan& cache, int year, int month, int day,
                              std::int32_t secondOfDay) {
    const std::int64_t utc = utcSecondsOf(year, month, day, secondOfDay);
    if (!(cache.from <= utc && utc < cache.until)) cache = zone.spanAt(utc);
    const std::int64_t local = (secondOfDay + static_cast<std::int64_t>(cache.offsetSeconds)) % 86400;
    return static_cast<std::int32_t>(local < 0 ? local + 86400 : local);
}

}  // namespace gis
