#include "model/TrajectoryLoader.h"

#include <sys/stat.h>

#include <bit>
#include <filesystem>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>

#include "model/LoadError.h"
#include "model/ModeNames.h"
#include "model/TextFields.h"

static_assert(std::endian::native == std::endian::little,
              "the sample file is little-endian and is read without conversion");

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

template <typename Convert>
auto convertField(Convert convert, std::string_view field, const std::string& path,
                  long long lineNumber) {
    try {
        return convert(std::string(field));
    } catch (const std::invalid_argument&) {
        throwFieldError<std::invalid_argument>(path, lineNumber, field, "is not a number");
    } catch (const std::out_of_range&) {
        throwFieldError<std::out_of_range>(path, lineNumber, field, "is out of range");
    }
}

}  // namespace

TrajectoryLoader::TrajectoryLoader() : modeNames(makeModeNameTable()) {}

std::vector<Datapoint> TrajectoryLoader::load(const std::string& path, bool normalize) {
    return load(path, -1, normalize);
}

std::vector<Datapoint> TrajectoryLoader::load(const std::string& path, std::int32_t limit,
                                              bool normalize) {
    // A directory comes first, whatever its name: "trips.bin/" is a tree.
    // A path whose status cannot be read falls through to the readers,
    // which report why it cannot be opened.
    std::error_code error;
    if (std::filesystem::directory_entry(path, error).is_directory(error))
        return loadDirectory(path, limit, normalize);
    if (isTrackFile(path)) return loadTrackFile(path, limit, normalize);
    auto points = hasBinaryExtension(path) ? loadBinary(path, limit) : loadText(path, limit, normalize);
    if (tracks.utcOffsetSeconds != 0)
        for (auto& point : points) point.time = shiftTimeOfDay(point.time, tracks.utcOffsetSeconds);
    return points;
}

std::vector<Datapoint> TrajectoryLoader::loadTrackFile(const std::string& path, std::int32_t limit,
                                                       bool normalize) {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    report = ImportReport();
    std::vector<Datapoint> points;
    TrackCounts counts;
    parseTrackFile(path, tracks, normalize, labels, frameBounds(), points, counts);
    checkSampleCount(path, counts.kept);
    if (limit != -1 && points.size() > static_cast<std::size_t>(limit)) points.resize(static_cast<std::size_t>(limit));
    addTrackCounts(report, counts);
    return points;
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
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) throw DataFileError(path, systemReason(errno));

    std::int64_t count = limit;
    if (limit == -1) {
        struct stat status {};
        if (fstat(fileno(file.get()), &status) != 0) throw DataFileError(path, systemReason(errno));
        if (S_ISDIR(status.st_mode)) throw DataFileError(path, systemReason(EISDIR));
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
    return points;
}

std::vector<Datapoint> TrajectoryLoader::loadText(const std::string& path, std::int32_t limit,
                                                  bool normalize) const {
    if (limit < -1)
        throw std::invalid_argument("sample limit must be -1 (everything) or at least 0, not " +
                                    std::to_string(limit));
    std::ifstream in(path);
    if (!in) throw DataFileError(path, systemReason(errno));

    std::vector<Datapoint> points;
    std::string line;
    long long lineNumber = 0;
    while (in && lineNumber != limit) {
        readLine(in, line);
        if (line.empty()) break;
        if (lineNumber == std::numeric_limits<std::int32_t>::max())
            throw DataFileError(path, "holds more than the 2147483647 samples a dataset may hold");
        ++lineNumber;
        std::string_view rest = line;
        const auto xField = cutField(rest, ' ');
        const auto yField = cutField(rest, ' ');
        const auto timeField = cutField(rest, ' ');
        const auto modeField = cutField(rest, ' ');

        const auto toFloat = [](const std::string& s) { return std::stof(s); };
        const auto toInt = [](const std::string& s) { return std::stoi(s, nullptr, 10); };
        float x = convertField(toFloat, xField, path, lineNumber);
        float y = convertField(toFloat, yField, path, lineNumber);
        const int time = convertField(toInt, timeField, path, lineNumber);
        const int mode = convertField(toInt, modeField, path, lineNumber);
        if (normalize) {
            x = (x - minLatitude) / (maxLatitude - minLatitude);
            y = (y - minLongitude) / (maxLongitude - minLongitude);
        }
        points.emplace_back(x, y, static_cast<TransportationMode>(mode), time);
    }
    if (in.bad()) throw DataFileError(path, systemReason(errno ? errno : EIO));
    return points;
}
