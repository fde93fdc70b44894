#include "model/TrajectoryLoader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <bit>
#include <filesystem>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>

#include "model/DirectoryWalk.h"
#include "model/LoadError.h"
#include "model/FastParse.h"
#include "model/ModeNames.h"
#include "model/SampleDays.h"
#include "model/SampleSource.h"
#include "model/TextFields.h"

static_assert(std::endian::native == std::endian::little,
              "the sample file is little-endian and is read without conversion");

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// A field of a text sample file: wholly a number of its kind, converted.
template <typename Convert>
auto convertField(Convert convert, bool (*wellFormed)(std::string_view), const char* kind,
                  std::string_view field, const std::string& path, long long lineNumber) {
    if (!wellFormed(field)) throwFieldError<std::invalid_argument>(path, lineNumber, field, kind);
    try {
        return convert(std::string(field));
    } catch (const std::invalid_argument&) {
        throwFieldError<std::invalid_argument>(path, lineNumber, field, kind);
    } catch (const std::out_of_range&) {
        throwFieldError<std::out_of_range>(path, lineNumber, field, "is out of range");
    }
}

}  // namespace

TrajectoryLoader::TrajectoryLoader() : modeNames(makeModeNameTable()) {}

void TrajectoryLoader::refuseZoneWithoutDates(const std::string& path) const {
    if (tracks.zone)
        throw DataFileError(path, "is a sample file, whose times of day have no dates: the time zone \"" +
                                      tracks.zone->name() + "\" needs each fix's date (a UTC offset shifts them)");
}

std::vector<Datapoint> TrajectoryLoader::load(const std::string& path, bool normalize) {
    return load(path, -1, normalize);
}

std::vector<Datapoint> TrajectoryLoader::load(const std::string& path, std::int32_t limit,
                                              bool normalize) {
    return loadCollected(path, limit, normalize, nullptr);
}

std::vector<Datapoint> TrajectoryLoader::loadDated(const std::string& path, std::int32_t limit, bool normalize,
                                                   std::vector<std::int32_t>& days) {
    days.clear();
    return loadCollected(path, limit, normalize, &days);
}

namespace {

// A sample file's clock moved by an offset: each time of day and, where it
// is known, its date with it.
void shiftSamples(Datapoint* points, std::int32_t* days, std::size_t count, std::int32_t offset) {
    if (offset == 0) return;
    for (std::size_t i = 0; i < count; ++i) {
        if (days && days[i] != kUnknownDay) days[i] = shiftDay(days[i], points[i].time, offset);
        points[i].time = shiftTimeOfDay(points[i].time, offset);
    }
}

}  // namespace

std::vector<Datapoint> TrajectoryLoader::loadCollected(const std::string& path, std::int32_t limit, bool normalize,
                                                       std::vector<std::int32_t>* days) {
    // A directory comes first, whatever its name: "trips.bin/" is a tree.
    // A path whose status cannot be read falls through to the readers,
    // which report why it cannot be opened.
    std::error_code error;
    if (std::filesystem::directory_entry(path, error).is_directory(error)) {
        if (!days) return loadDirectory(path, limit, normalize);
        std::vector<std::vector<Datapoint>> files;
        std::vector<std::vector<std::int32_t>> fileDays;
        std::size_t total = 0;
        loadDirectory(path, limit, normalize, [&](std::vector<Datapoint>& fixes, std::vector<std::int32_t>& dates) {
            total += fixes.size();
            files.push_back(std::move(fixes));
            fileDays.push_back(std::move(dates));
        });
        std::vector<Datapoint> out;
        out.reserve(total);
        days->reserve(total);
        for (std::size_t i = 0; i < files.size(); ++i) {
            out.insert(out.end(), files[i].begin(), files[i].end());
            days->insert(days->end(), fileDays[i].begin(), fileDays[i].end());
            std::vector<Datapoint>().swap(files[i]);
        }
        return out;
    }
    if (isTrackFile(path)) return loadTrackFile(path, limit, normalize, days);
    if (isRecordingFile(path)) return loadRecordingFile(path, limit, normalize, days);
    refuseZoneWithoutDates(path);
    const bool binary = hasBinaryExtension(path);
    if (binary) frame = readFrameFile(path);  // before the samples: a malformed one costs no read
    auto points = binary ? loadBinary(path, limit) : loadText(path, limit, normalize, days);
    if (binary && days) {
        // The days column as SampleFile reads it (checked against the
        // records); records past the end of the file have no date.
        days->assign(points.size(), kUnknownDay);
        SampleFile file(path);
        if (file.hasDays()) {
            struct Enough {};
            try {
                file.forEachDatedChunk([&](const Datapoint*, const std::int32_t* dates, std::size_t count,
                                           std::size_t first) {
                    if (first >= points.size()) throw Enough{};
                    std::copy(dates, dates + std::min(count, points.size() - first),
                              days->begin() + static_cast<std::ptrdiff_t>(first));
                });
            } catch (const Enough&) {
            }
        }
    }
    if (!tracks.zone) shiftSamples(points.data(), days ? days->data() : nullptr, points.size(), tracks.utcOffsetSeconds);
    return points;
}

void TrajectoryLoader::load(const std::string& path, std::int32_t limit, bool normalize, const FixSink& sink) {
    loadDated(path, limit, normalize,
              [&](std::vector<Datapoint>& fixes, std::vector<std::int32_t>&) { sink(fixes); });
}

void TrajectoryLoader::loadDated(const std::string& path, std::int32_t limit, bool normalize,
                                 const DatedFixSink& sink) {
    std::error_code error;
    if (std::filesystem::directory_entry(path, error).is_directory(error))
        return loadDirectory(path, limit, normalize, sink);
    if (isTrackFile(path) || isRecordingFile(path) || !hasBinaryExtension(path)) {
        std::vector<std::int32_t> days;
        auto points = loadCollected(path, limit, normalize, &days);
        if (!points.empty()) sink(points, days);
        return;
    }
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    refuseZoneWithoutDates(path);
    frame = readFrameFile(path);  // before the samples: a malformed one costs no read
    SampleFile file(path);
    file.cancel = cancel;
    const std::size_t wanted =
        limit == -1 ? file.size() : std::min(file.size(), static_cast<std::size_t>(limit));
    struct Enough {};  // stops the read once the limit is reached
    std::vector<Datapoint> chunk;
    std::vector<std::int32_t> days;
    try {
        file.forEachDatedChunk([&](const Datapoint* samples, const std::int32_t* dates, std::size_t count,
                                   std::size_t first) {
            if (first >= wanted) throw Enough{};
            const std::size_t taken = std::min(count, wanted - first);
            chunk.assign(samples, samples + taken);
            if (dates)
                days.assign(dates, dates + taken);
            else
                days.assign(taken, kUnknownDay);
            shiftSamples(chunk.data(), days.data(), chunk.size(), tracks.utcOffsetSeconds);
            sink(chunk, days);
            if (first + count >= wanted) throw Enough{};
        });
    } catch (const Enough&) {
    }
}

std::vector<Datapoint> TrajectoryLoader::loadTrackFile(const std::string& path, std::int32_t limit,
                                                       bool normalize, std::vector<std::int32_t>* days) {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    report = ImportReport();
    std::vector<Datapoint> points;
    TrackCounts counts;
    // One file: its bytes (or features) are the progress, and a cancel
    // request is heard within one chunk of the read.
    TrackOptions options = tracks;
    options.progress = [this](std::int64_t done, std::int64_t total, std::int64_t kept) {
        if (progress) progress(ImportProgress{0, 1, done, std::max(total, done), kept, total >= 0});
        return !(cancel && cancel->load());
    };
    parseTrackFile(path, options, normalize, labels, frameBounds(), points, counts, days);
    checkSampleCount(path, counts.kept);
    if (limit != -1 && points.size() > static_cast<std::size_t>(limit)) {
        points.resize(static_cast<std::size_t>(limit));
        if (days) days->resize(points.size());
    }
    addTrackCounts(report, counts);
    return points;
}

std::vector<Datapoint> TrajectoryLoader::loadRecordingFile(const std::string& path, std::int32_t limit,
                                                           bool normalize, std::vector<std::int32_t>* days) {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    report = ImportReport();
    std::string buffer;
    std::string reason;
    if (!readFileContents(path, buffer, reason)) throw DataFileError(path, reason);
    std::vector<Datapoint> points;
    TrajectoryCounts counts;
    std::vector<std::int32_t> dates;
    parseTrajectoryText(buffer, path, normalize, labels, frameBounds(), points, counts,
                        skipBadLines ? &report.badLines : nullptr, tracks.zone.get(), &dates);
    if (!tracks.zone) shiftSamples(points.data(), dates.data(), points.size(), tracks.utcOffsetSeconds);
    if (tracks.visits) counts.collapsed = collapseVisits(points, 0, &dates);
    checkSampleCount(path, counts.kept);
    report.trajectoryFiles = 1;
    report.collapsed = counts.collapsed;
    report.bytes = static_cast<std::int64_t>(buffer.size());
    report.lines = counts.lines;
    report.kept = counts.kept;
    report.outside = counts.outside;
    if (limit != -1 && points.size() > static_cast<std::size_t>(limit)) points.resize(static_cast<std::size_t>(limit));
    dates.resize(points.size());
    if (days) *days = std::move(dates);
    return points;
}

bool isRecordingFile(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension == ".plt";
}

// The same extension rule as the directory walk's: a hidden file named
// ".bin" has no extension.
bool hasBinaryExtension(const std::string& path) {
    const auto extension = std::filesystem::path(path).extension();
    return extension == ".bin" || extension == ".dat";
}

std::vector<Datapoint> TrajectoryLoader::loadBinary(const std::string& path, std::int32_t limit) {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    // Opened without blocking: a FIFO without a writer must not hang the
    // load before it is refused.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw DataFileError(path, systemReason(errno));
    std::unique_ptr<std::FILE, FileCloser> file(::fdopen(fd, "rb"));
    if (!file) {
        const int error = errno;
        ::close(fd);
        throw DataFileError(path, systemReason(error));
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) throw DataFileError(path, systemReason(errno));
    if (!S_ISREG(status.st_mode)) throw DataFileError(path, notRegularFileReason(status.st_mode));
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    std::int64_t count = limit;
    if (limit == -1) {
        count = binaryRecordCount(status.st_size);
        if (count > std::numeric_limits<std::int32_t>::max())
            throw DataFileError(path, "holds " + std::to_string(count) +
                                          " records, more than the 2147483647 a sample file may hold");
    }

    std::vector<Datapoint> points(static_cast<std::size_t>(count));
    const std::size_t read = std::fread(points.data(), sizeof(Datapoint), points.size(), file.get());
    // A short file is fine (the rest keeps default records); a failing read is not.
    if (read < points.size() && std::ferror(file.get()))
        throw DataFileError(path, systemReason(errno ? errno : EIO));
    // fread may have filled part of the record after the last whole one with
    // the file's trailing bytes: it is past the end, so it keeps the default.
    if (read < points.size()) points[read] = Datapoint();
    return points;
}

std::vector<Datapoint> TrajectoryLoader::loadText(const std::string& path, std::int32_t limit,
                                                  bool normalize, std::vector<std::int32_t>* days) {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    refuseIrregularFile(path);
    std::ifstream in(path);
    if (!in) throw DataFileError(path, systemReason(errno));

    const FrameBounds bounds = frameBounds();
    std::vector<Datapoint> points;
    std::string line;
    long long lineNumber = 0;
    // Read in double precision so the normalisation can place each sample
    // in the cell its decimals give; std::stof still decides what is out of
    // range.
    const auto toDouble = [](const std::string& s) {
        const CoordinateResult result = parseCoordinateField(s);
        if (result.status == NumberStatus::invalid) throw std::invalid_argument(s);
        if (result.status == NumberStatus::outOfRange) throw std::out_of_range(s);
        return result;
    };
    const auto toInt = [](const std::string& s) { return std::stoi(s, nullptr, 10); };
    while (in && static_cast<long long>(points.size()) != limit) {
        readLine(in, line);
        if (lineNumber == 0 && line.starts_with(kByteOrderMark)) line.erase(0, kByteOrderMark.size());
        if (line.empty()) break;
        if (points.size() == static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw DataFileError(path, "holds more than the 2147483647 samples a dataset may hold");
        ++lineNumber;
        try {
            // An optional fifth field dates the sample.
            std::string_view fields[5];
            std::string_view four[4];
            const auto spaces = std::count(line.begin(), line.end(), ' ');
            const bool cut = spaces == 4 ? cutAllFields(line, ' ', fields)
                                         : spaces == 3 && cutAllFields(line, ' ', four);
            if (spaces == 3) std::copy(four, four + 4, fields);
            // Two spaces in a row or one at the end: a field is missing, not a date.
            if (!cut || (spaces == 4 && std::any_of(fields, fields + 5, [](std::string_view f) { return f.empty(); })))
                throwFieldError<std::invalid_argument>(
                    path, lineNumber, line,
                    "is not four fields separated by single spaces (x y time mode), and a date (yyyy-mm-dd) "
                    "after them at most");
            std::int32_t day = kUnknownDay;
            if (spaces == 4) {
                const auto date = parseDay(fields[4]);
                if (!date) throwFieldError<std::invalid_argument>(path, lineNumber, fields[4], "is not a date (yyyy-mm-dd)");
                day = *date;
            }
            const CoordinateResult latitude =
                convertField(toDouble, isDecimalNumber, "is not a number", fields[0], path, lineNumber);
            const CoordinateResult longitude =
                convertField(toDouble, isDecimalNumber, "is not a number", fields[1], path, lineNumber);
            const int time = convertField(toInt, isDecimalInteger, "is not a whole number", fields[2], path, lineNumber);
            const int mode = convertField(toInt, isDecimalInteger, "is not a whole number", fields[3], path, lineNumber);
            // No frame filter here: a text sample file's samples are all kept.
            const float x =
                normalize ? placeOnAxis(latitude.value, bounds.minLatitude, bounds.maxLatitude) : latitude.single;
            const float y =
                normalize ? placeOnAxis(longitude.value, bounds.minLongitude, bounds.maxLongitude) : longitude.single;
            points.emplace_back(x, y, static_cast<TransportationMode>(mode), time);
            if (days) days->push_back(day);
        } catch (const std::logic_error&) {  // std::invalid_argument, std::out_of_range
            if (!skipBadLines) throw;
            report.badLines.add(path, lineNumber, line);
        }
    }
    if (in.bad()) throw DataFileError(path, systemReason(errno ? errno : EIO));
    return points;
}

WalkOptions TrajectoryLoader::walkOptions(std::int32_t limit, bool normalize) const {
    WalkOptions options;
    options.frame = frameBounds();
    options.normalize = normalize;
    options.limit = limit;
    options.modeNames = modeNames;
    options.tracks = tracks;
    options.skipBadLines = skipBadLines;
    options.threads = threads;
    options.cancel = cancel;
    options.progress = progress;
    options.leaveOut = leaveOut;
    return options;
}

void TrajectoryLoader::loadDirectory(const std::string& path, std::int32_t limit, bool normalize,
                                     const FixSink& sink) {
    report = ImportReport();
    walkDirectory(path, walkOptions(limit, normalize), report, sink);
}

void TrajectoryLoader::loadDirectory(const std::string& path, std::int32_t limit, bool normalize,
                                     const DatedFixSink& sink) {
    report = ImportReport();
    walkDatedDirectory(path, walkOptions(limit, normalize), report, sink);
}

std::vector<Datapoint> TrajectoryLoader::loadDirectory(const std::string& path, std::int32_t limit,
                                                       bool normalize) {
    // Each file's fixes are kept as they come and joined once the walk is
    // over, so the peak stays near one copy of the samples (a growing vector
    // would hold its old and its new copy at each step).
    std::vector<std::vector<Datapoint>> files;
    std::int64_t total = 0;
    loadDirectory(path, limit, normalize, [&](std::vector<Datapoint>& fixes) {
        total += static_cast<std::int64_t>(fixes.size());
        files.push_back(std::move(fixes));
    });
    std::vector<Datapoint> out;
    out.reserve(static_cast<std::size_t>(total));
    adviseHugePages(out.data(), out.capacity() * sizeof(Datapoint));
    for (auto& file : files) {
        out.insert(out.end(), file.begin(), file.end());
        std::vector<Datapoint>().swap(file);
    }
    return out;
}

LabelIndex TrajectoryLoader::parseLabelsFile(const std::string& path) {
    return readLabelsFile(path, modeNames, report, skipBadLines ? &report.badLines : nullptr);
}

std::vector<Datapoint> TrajectoryLoader::parseTrajectoryFile(const std::filesystem::path& path, bool normalize,
                                                             const LabelIndex& labelsInForce) {
    std::string buffer;
    std::string reason;
    std::vector<Datapoint> points;
    if (!readFileContents(path.string(), buffer, reason)) {
        report.unreadable.emplace_back(path.string(), reason);
        return points;
    }
    TrajectoryCounts counts;
    parseTrajectoryText(buffer, path.string(), normalize, labelsInForce, frameBounds(), points, counts,
                        skipBadLines ? &report.badLines : nullptr, tracks.zone.get());
    if (!tracks.zone && tracks.utcOffsetSeconds != 0)
        for (auto& point : points) point.time = shiftTimeOfDay(point.time, tracks.utcOffsetSeconds);
    return points;
}
