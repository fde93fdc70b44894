#include "model/RawFormats.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "model/FastParse.h"
#include "model/LoadError.h"
#include "model/SampleDays.h"
#include "model/TextFields.h"

namespace {

constexpr int kTrajectoryHeaderLines = 6;
constexpr int kLabelHeaderLines = 1;
constexpr int kTrajectoryFields = 7;
constexpr std::size_t kMaxListedNames = 20;

double convertCoordinate(std::string_view field, const std::string& path, std::int64_t lineNumber) {
    if (!isDecimalNumber(field)) throwFieldError<std::invalid_argument>(path, lineNumber, field, "is not a number");
    const CoordinateResult result = parseCoordinateField(field);
    if (result.status == NumberStatus::invalid)
        throwFieldError<std::invalid_argument>(path, lineNumber, field, "is not a number");
    if (result.status == NumberStatus::outOfRange)
        throwFieldError<std::out_of_range>(path, lineNumber, field, "is out of range");
    return result.value;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

bool LineReader::next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) {
        line = text_.substr(pos_);
        pos_ = text_.size();
    } else {
        line = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    ++number_;
    return true;
}

namespace {

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

inline bool digit(char c) { return c >= '0' && c <= '9'; }

// A coordinate written as "-?digits.digits" (15 digits at most) followed by
// a comma, converted to the nearest double: the quotient of two doubles
// that hold the digits and the power of ten exactly is correctly rounded.
inline bool plainCoordinate(const char*& p, const char* end, double& value) {
    const char* s = p;
    const bool negative = s < end && *s == '-';
    if (negative) ++s;
    std::uint64_t mantissa = 0;
    const char* first = s;
    while (s < end && digit(*s)) mantissa = mantissa * 10 + static_cast<unsigned>(*s++ - '0');
    const auto integerDigits = s - first;
    if (integerDigits == 0 || s == end || *s != '.') return false;
    const char* fraction = ++s;
    while (s < end && digit(*s)) mantissa = mantissa * 10 + static_cast<unsigned>(*s++ - '0');
    const auto fractionDigits = s - fraction;
    if (fractionDigits == 0 || integerDigits + fractionDigits > 15 || s == end || *s != ',') return false;
    const double magnitude = static_cast<double>(mantissa) / kPowersOfTen[fractionDigits];
    value = negative ? -magnitude : magnitude;
    p = s + 1;
    return true;
}

// The first ',' or '\n' at or after `p`, or `end`; eight bytes at a time.
inline const char* commaOrLineFeed(const char* p, const char* end) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t commas = word ^ (ones * ',');
        const std::uint64_t feeds = word ^ (ones * '\n');
        const std::uint64_t found =
            ((commas - ones) & ~commas & highs) | ((feeds - ones) & ~feeds & highs);
        if (found) return p + (std::countr_zero(found) >> 3);
        p += 8;
    }
    while (p < end && *p != ',' && *p != '\n') ++p;
    return p;
}

inline int twoDigitsAt(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// The fields of a line in the shape recorders write, read in one pass.
struct PlainFix {
    double latitude, longitude;
    std::int32_t day;   // dateKey
    std::int32_t time;  // seconds of day
};

// Reads the line at `p` when it has exactly the usual shape: two plain
// coordinates, three fields without line breaks, "YYYY-MM-DD" and
// "HH:MM:SS" with every value in range, then the line end. Anything else
// returns false and the line goes through the general path, which gives
// the same results wherever both apply and names what is wrong otherwise.
inline bool plainLine(const char* p, const char* end, PlainFix& fix, const char*& next) {
    if (!plainCoordinate(p, end, fix.latitude) || !plainCoordinate(p, end, fix.longitude)) return false;
    for (int field = 0; field < 3; ++field) {
        p = commaOrLineFeed(p, end);
        if (p == end || *p != ',') return false;
        ++p;
    }
    if (end - p < 19) return false;
    if (!digit(p[0]) || !digit(p[1]) || !digit(p[2]) || !digit(p[3]) || p[4] != '-' || !digit(p[5]) ||
        !digit(p[6]) || p[7] != '-' || !digit(p[8]) || !digit(p[9]) || p[10] != ',')
        return false;
    const int year = twoDigitsAt(p) * 100 + twoDigitsAt(p + 2);
    const int month = twoDigitsAt(p + 5);
    const int day = twoDigitsAt(p + 8);
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) return false;
    p += 11;
    if (!digit(p[0]) || !digit(p[1]) || p[2] != ':' || !digit(p[3]) || !digit(p[4]) || p[5] != ':' ||
        !digit(p[6]) || !digit(p[7]))
        return false;
    const int hour = twoDigitsAt(p);
    const int minute = twoDigitsAt(p + 3);
    const int second = twoDigitsAt(p + 6);
    if (hour > 23 || minute > 59 || second > 59) return false;
    p += 8;
    if (p < end && *p == '\r') ++p;
    if (p < end) {
        if (*p != '\n') return false;
        ++p;
    }
    fix.day = (year - 1900) * 10000 + (month - 1) * 100 + day;
    fix.time = hour * 3600 + minute * 60 + second;
    next = p;
    return true;
}

}  // namespace

void parseTrajectoryText(std::string_view content, const std::string& path, bool normalize,
                         const LabelIndex& labels, const FrameBounds& frame,
                         std::vector<Datapoint>& out, TrajectoryCounts& counts, BadLines* skip,
                         const gis::TimeZone* zone, std::vector<std::int32_t>* days) {
    const char* const begin = content.data();
    const char* const end = begin + content.size();
    const char* p = begin;
    std::int64_t lineNumber = 0;
    for (int i = 0; i < kTrajectoryHeaderLines; ++i) {
        if (p == end) return;
        const void* lineEnd = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        p = lineEnd ? static_cast<const char*>(lineEnd) + 1 : end;
        ++lineNumber;
    }

    // Fixes of one file mostly share a day: remember the last day looked up.
    std::int32_t cachedDay = 0;
    const std::vector<LabelInterval>* cachedIntervals = nullptr;
    bool haveCachedDay = false;
    gis::ZoneSpan zoneCache;

    const auto keep = [&](double latitude, double longitude, auto dayOf, std::int32_t time) {
        float x, y;
        if (!placeFix(latitude, longitude, normalize, frame, x, y)) {
            ++counts.outside;
            return;
        }
        TransportationMode mode = mode::UNKNOWN;
        std::int32_t stored = time;
        if (zone || days) {
            // dateKey: years since 1900, months since January, day.
            const std::int32_t key = dayOf();
            const int year = key / 10000 + 1900, month = key / 100 % 100 + 1, dayOfMonth = key % 100;
            std::int32_t date = dayNumber(year, month, dayOfMonth);
            if (zone) {
                stored = gis::localSecondOfDay(*zone, zoneCache, year, month, dayOfMonth, time);
                date = shiftDay(date, time, zoneCache.offsetSeconds);
            }
            if (days) days->push_back(date);
        }
        if (!labels.empty()) {
            const std::int32_t day = dayOf();
            if (!haveCachedDay || day != cachedDay) {
                cachedDay = day;
                cachedIntervals = labels.find(day);
                haveCachedDay = true;
            }
            if (cachedIntervals) mode = LabelIndex::firstCovering(*cachedIntervals, time);
        }
        out.emplace_back(x, y, mode, stored);
        ++counts.kept;
    };

    while (p < end) {
        ++lineNumber;
        PlainFix fix;
        const char* next = nullptr;
        if (plainLine(p, end, fix, next)) {
            ++counts.lines;
            keep(fix.latitude, fix.longitude, [&] { return fix.day; }, fix.time);
            p = next;
            continue;
        }

        // The general path: every other line that holds the format, and the
        // lines that break it, with what is wrong.
        const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
        const char* lineEnd = found ? static_cast<const char*>(found) : end;
        std::string_view line(p, static_cast<std::size_t>(lineEnd - p));
        p = found ? lineEnd + 1 : end;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        try {
            std::string_view fields[kTrajectoryFields];
            if (!cutAllFields(line, ',', fields))
                throwFieldError<std::invalid_argument>(path, lineNumber, line,
                                                       "has fewer than the 7 comma-separated fields of a fix");
            const double latitude = convertCoordinate(fields[0], path, lineNumber);
            const double longitude = convertCoordinate(fields[1], path, lineNumber);
            TimeFields date;
            if (!readDate(fields[5], '-', date))
                throwFieldError<std::invalid_argument>(path, lineNumber, fields[5], "is not a date (YYYY-MM-DD)");
            TimeFields clock;
            if (!readClock(fields[6], clock))
                throwFieldError<std::invalid_argument>(path, lineNumber, fields[6],
                                                       "is not a time of day (hh:mm:ss)");
            ++counts.lines;
            keep(latitude, longitude, [&] { return date.dateKey(); }, clock.secondsOfDay());
        } catch (const std::logic_error&) {  // std::invalid_argument, std::out_of_range
            if (!skip) throw;
            skip->add(path, lineNumber, line);
        }
    }
}

LabelIndex parseLabelsText(std::string_view content, const std::string& path,
                           const std::unordered_map<std::string, TransportationMode>& names,
                           LabelCounts& counts, BadLines* skip) {
    LabelIndex index;
    LineReader reader(content);
    std::string_view line;
    for (int i = 0; i < kLabelHeaderLines; ++i)
        if (!reader.next(line)) return index;

    std::string name;
    while (reader.next(line)) {
        if (line.empty()) break;
        ++counts.lines;
        std::string_view rest = line;
        const auto startField = cutField(rest, '\t');
        const auto endField = cutField(rest, '\t');
        name.assign(cutField(rest, '\t'));

        TimeFields start;
        TimeFields end;
        try {
            if (!readLabelTime(startField, start))
                throwFieldError<std::invalid_argument>(path, reader.lineNumber(), startField,
                                                       "is not a date and time (YYYY/MM/DD hh:mm:ss)");
            if (!readLabelTime(endField, end))
                throwFieldError<std::invalid_argument>(path, reader.lineNumber(), endField,
                                                       "is not a date and time (YYYY/MM/DD hh:mm:ss)");
        } catch (const std::invalid_argument&) {
            if (!skip) throw;
            skip->add(path, reader.lineNumber(), line);
            continue;
        }
        const auto found = names.find(name);
        if (found == names.end()) {
            ++counts.unknownNames;
            if (counts.unknownNameCounts.size() < kMaxListedNames || counts.unknownNameCounts.count(name))
                ++counts.unknownNameCounts[name];
            continue;
        }
        const std::int32_t startDay = start.dateKey();
        const std::int32_t endDay = end.dateKey();
        if (startDay == endDay) {
            index.add(startDay, start.secondsOfDay(), end.secondsOfDay(), found->second);
        } else {
            index.add(startDay, start.secondsOfDay(), 86400, found->second);
            index.add(endDay, 0, end.secondsOfDay(), found->second);
        }
    }
    return index;
}

std::int64_t collapseVisits(std::vector<Datapoint>& points, std::size_t from, std::vector<std::int32_t>* days) {
    // The days column, when kept, folds with its records.
    const bool dated = days && days->size() == points.size();
    std::size_t kept = from;
    std::int64_t lastCell = 0;
    for (std::size_t i = from; i < points.size(); ++i) {
        const std::int64_t cell = visitCellOf(points[i].x, points[i].y);
        if (i > from && cell == lastCell) continue;
        lastCell = cell;
        if (dated) (*days)[kept] = (*days)[i];
        points[kept++] = points[i];
    }
    const auto folded = static_cast<std::int64_t>(points.size() - kept);
    points.resize(kept);
    if (dated) days->resize(kept);
    return folded;
}

void adviseHugePages(const void* data, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = 2u << 20;
    const auto first = (reinterpret_cast<std::uintptr_t>(data) + huge - 1) & ~(huge - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(huge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

bool readFileContents(const std::string& path, std::string& buffer, std::string& reason) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        reason = systemReason(errno);
        buffer.clear();
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throw DataFileError(path, systemReason(errno));
    if (!S_ISREG(status.st_mode)) {
        reason = notRegularFileReason(status.st_mode);
        buffer.clear();
        return false;
    }
    // The size is a hint: a file that grows or shrinks meanwhile reads as it
    // is. The buffer keeps its length from the last file, so only growth is
    // cleared before reading over it.
    buffer.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == buffer.size()) buffer.resize(buffer.size() * 2);
        const std::size_t wanted = buffer.size() - filled;
        const ssize_t got = ::read(file.get(), buffer.data() + filled, wanted);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw DataFileError(path, systemReason(errno));
        }
        // Only a read of 0 bytes is the end: one read gives at most about
        // 2 GiB, so a short read is no sign of the end of a larger file.
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    buffer.resize(filled);
    return true;
}
