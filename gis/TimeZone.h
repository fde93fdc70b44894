#pragma once
// Named time zones from the system's time-zone database (IANA names such as
// "America/Los_Angeles"), read through Howard Hinnant's date library. Only
// this header is seen outside gis/; a build without the library (the
// portable GPU check) refuses every name.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace gis {

// A zone name that the database does not hold, or a build without zones.
class UnknownZone : public std::runtime_error {
public:
    explicit UnknownZone(const std::string& reason) : std::runtime_error(reason) {}
};

// The zone's offset from UTC over the span of UTC seconds [from, until)
// around an instant: callers keep the last span and ask again only when a
// fix falls outside it.
struct ZoneSpan {
    std::int64_t from = 0;
    std::int64_t until = 0;
    std::int32_t offsetSeconds = 0;
};

class TimeZone {
public:
    // Throws UnknownZone naming `name` when the database has no such zone.
    static std::shared_ptr<const TimeZone> locate(const std::string& name);
    virtual ~TimeZone() = default;
    const std::string& name() const { return name_; }
    // The span holding UTC second `utcSeconds` (since 1970-01-01 00:00 UTC).
    virtual ZoneSpan spanAt(std::int64_t utcSeconds) const = 0;

protected:
    explicit TimeZone(std::string name) : name_(std::move(name)) {}

private:
    std::string name_;
};

// UTC seconds since 1970 of a day of the Gregorian calendar and a second of it.
std::int64_t utcSecondsOf(int year, int month, int day, std::int32_t secondOfDay);

// Local seconds of day of a UTC date and time of day under `zone`, the last
// span looked up kept in `cache` (start it default-constructed: empty).
std::int32_t localSecondOfDay(const TimeZone& zone, ZoneSpan& cache, int year, int month, int day,
                              std::int32_t secondOfDay);

}  // namespace gis
