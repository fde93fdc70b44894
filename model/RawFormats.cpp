#include "model/RawFormats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "model/FastParse.h"
#include "model/LoadError.h"
#include "model/TextFields.h"

namespace {

constexpr int kTrajectoryHeaderLines = 6;
constexpr int kLabelHeaderLines = 1;
constexpr std::size_t kMaxListedNames = 20;

float convertCoordinate(std::string_view field, const std::string& path, std::int64_t lineNumber) {
    const FloatResult result = parseFloatField(field);
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

void parseTrajectoryText(std::string_view content, const std::string& path, bool normalize,
                         const LabelIndex& labels, const FrameBounds& frame,
                         std::vector<Datapoint>& out, TrajectoryCounts& counts) {
    LineReader reader(content);
    std::string_view line;
    for (int i = 0; i < kTrajectoryHeaderLines; ++i)
        if (!reader.next(line)) return;

    const float latitudeSpan = frame.maxLatitude - frame.minLatitude;
    const float longitudeSpan = frame.maxLongitude - frame.minLongitude;
    // Fixes of one file mostly share a day: remember the last day looked up.
    std::int32_t cachedDay = 0;
    const std::vector<LabelInterval>* cachedIntervals = nullptr;
    bool haveCachedDay = false;

    while (reader.next(line)) {
        if (line.empty()) break;
        ++counts.lines;
        std::string_view rest = line;
        const auto latitudeField = cutField(rest, ',');
        const auto longitudeField = cutField(rest, ',');
        cutField(rest, ',');
        cutField(rest, ',');
        cutField(rest, ',');
        const auto dateField = cutField(rest, ',');
        const auto clockField = cutField(rest, ',');

        const float latitude = convertCoordinate(latitudeField, path, reader.lineNumber());
        const float longitude = convertCoordinate(longitudeField, path, reader.lineNumber());
        const std::int32_t time = parseClock(clockField).secondsOfDay();

        // Bounds inclusive; written so that a NaN ("nan" converts) is dropped
        // too instead of reaching the grid.
        if (!(latitude >= frame.minLatitude && longitude >= frame.minLongitude &&
              latitude <= frame.maxLatitude && longitude <= frame.maxLongitude)) {
            ++counts.outside;
            continue;
        }
        float x = latitude;
        float y = longitude;
        if (normalize) {
            x = (latitude - frame.minLatitude) / latitudeSpan;
            y = (longitude - frame.minLongitude) / longitudeSpan;
        }

        TransportationMode mode = UNKNOWN;
        if (!labels.empty()) {
            const std::int32_t day = parseDate(dateField).dateKey();
            if (!haveCachedDay || day != cachedDay) {
                cachedDay = day;
                cachedIntervals = labels.find(day);
                haveCachedDay = true;
            }
            if (cachedIntervals) mode = LabelIndex::firstCovering(*cachedIntervals, time);
        }
        out.emplace_back(x, y, mode, time);
        ++counts.kept;
    }
}

LabelIndex parseLabelsText(std::string_view content,
                           const std::unordered_map<std::string, TransportationMode>& names,
                           LabelCounts& counts) {
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

        const auto found = names.find(name);
        if (found == names.end()) {
            ++counts.unknownNames;
            if (counts.unknownNameCounts.size() < kMaxListedNames || counts.unknownNameCounts.count(name))
                ++counts.unknownNameCounts[name];
            continue;
        }
        const TimeFields start = parseLabelTime(startField);
        const TimeFields end = parseLabelTime(endField);
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

bool readFileContents(const std::string& path, std::string& buffer, std::string& reason) {
    buffer.clear();
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) {
        reason = systemReason(errno);
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throw DataFileError(path, systemReason(errno));
    if (!S_ISREG(status.st_mode)) {
        reason = S_ISDIR(status.st_mode) ? systemReason(EISDIR) : "not a regular file";
        return false;
    }
    // The size is a hint: a file that grows or shrinks meanwhile reads as it is.
    buffer.resize(static_cast<std::size_t>(status.st_size) + 1);
    std::size_t filled = 0;
    for (;;) {
        if (filled == buffer.size()) buffer.resize(buffer.size() * 2);
        const ssize_t got = ::read(file.get(), buffer.data() + filled, buffer.size() - filled);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw DataFileError(path, systemReason(errno));
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    buffer.resize(filled);
    return true;
}
