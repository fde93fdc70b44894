#include "gis/TimeZone.h"

#include <date/tz.h>

#include <chrono>
#include <limits>

namespace gis {

namespace {

class DatabaseZone final : public TimeZone {
public:
    DatabaseZone(std::string name, const date::time_zone* zone) : TimeZone(std::move(name)), zone_(zone) {}

    ZoneSpan spanAt(std::int64_t utcSeconds) const override {
        const date::sys_seconds instant{std::chrono::seconds(utcSeconds)};
        const date::sys_info info = zone_->get_info(instant);
        const auto seconds = [](date::sys_seconds t) { return static_cast<std::int64_t>(t.time_since_epoch().count()); };
        return {seconds(info.begin), seconds(info.end), static_cast<std::int32_t>(info.offset.count())};
    }

private:
    const date::time_zone* zone_;
};

}  // namespace

std::shared_ptr<const TimeZone> TimeZone::locate(const std::string& name) {
    try {
        return std::make_shared<DatabaseZone>(name, date::locate_zone(name));
    } catch (const std::exception&) {
        // The database's own message names a missing zone only; one that
        // cannot be read at all reads the same to the user.
        throw UnknownZone("unknown time zone \"" + name + "\" (not in the system's time-zone database)");
    }
}

}  // namespace gis
