#pragma once
// The one sample record shared by the loaders, the sample file, the engines
// and the GPU: a position in the city's box, a transportation mode and a time
// of day. Host and device code include this header alike.
#include <cstdint>
#include <type_traits>

#include "model/HostDevice.h"

// The flags live in a namespace of their own (mode::CAR), so their short
// names clash with no macro or other name; the enum stays unscoped so masks
// combine them with | and &.
namespace mode {
enum TransportationMode : std::int32_t {
    UNKNOWN = 1,
    WALK = 2,
    BIKE = 4,
    BUS = 8,
    CAR = 16,
    SUBWAY = 32,
    TRAIN = 64,
    AIRPLANE = 128,
    BOAT = 256,
    RUN = 512,
    MOTORCYCLE = 1024,
};
}  // namespace mode
using TransportationMode = mode::TransportationMode;

inline constexpr int kModeCount = 11;
inline constexpr std::int32_t kAllModes = 2047;

// The eleven flags in bit order, UNKNOWN first.
inline constexpr TransportationMode kModes[kModeCount] = {
    mode::UNKNOWN, mode::WALK,     mode::BIKE, mode::BUS, mode::CAR,       mode::SUBWAY,
    mode::TRAIN,   mode::AIRPLANE, mode::BOAT, mode::RUN, mode::MOTORCYCLE};

struct Datapoint {
    float x;                  // latitude, normalised to [0, 1] over the box (or degrees)
    float y;                  // longitude, likewise
    TransportationMode mode;  // exactly one flag
    std::int32_t time;        // seconds since midnight

    TRACKORA_HD Datapoint() : x(-1.0f), y(-1.0f), mode(mode::UNKNOWN), time(-1) {}
    TRACKORA_HD Datapoint(float x_, float y_, TransportationMode mode_, std::int32_t time_)
        : x(x_), y(y_), mode(mode_), time(time_) {}
};

static_assert(sizeof(TransportationMode) == 4);
static_assert(sizeof(Datapoint) == 16 && alignof(Datapoint) == 4);
static_assert(std::is_trivially_copyable_v<Datapoint>);
static_assert(std::is_standard_layout_v<Datapoint>);

// The coordinate frame, as single-precision bounds.
inline constexpr float kMaxLatitude = 40.1f;
inline constexpr float kMinLatitude = 39.75f;
inline constexpr float kMaxLongitude = 116.6f;
inline constexpr float kMinLongitude = 116.15f;

TRACKORA_HD inline float normalizeLatitude(float latitude) {
    return (latitude - kMinLatitude) / (kMaxLatitude - kMinLatitude);
}
TRACKORA_HD inline float normalizeLongitude(float longitude) {
    return (longitude - kMinLongitude) / (kMaxLongitude - kMinLongitude);
}
// Inclusive at every bound, compared in single precision. Written so that a
// NaN coordinate, which fails every comparison, lies outside.
TRACKORA_HD inline bool insideFrame(float latitude, float longitude) {
    return latitude >= kMinLatitude && longitude >= kMinLongitude &&
           latitude <= kMaxLatitude && longitude <= kMaxLongitude;
}

// Seconds since midnight of a clock time as written, no time zone.
TRACKORA_HD constexpr std::int32_t secondsOfDay(int hour, int minute, int second) {
    return hour * 3600 + minute * 60 + second;
}
