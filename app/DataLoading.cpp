#include "app/DataLoading.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <new>
#include <system_error>

#include <sys/resource.h>
#include <unistd.h>

#include "app/ReadoutText.h"
#include "model/LoadError.h"
#include "model/Summary.h"
#include "model/SampleSource.h"
#include "model/TrackFiles.h"
#include "model/TrajectoryLoader.h"

namespace {

// The share of the progress bar that reading or importing recordings takes,
// indexing them for the engine coming second; a sample file is indexed as
// it is read, under the whole bar.
constexpr float kReadShare = 0.6f;

std::string importStage(const ImportProgress& progress) {
    return "importing " + analysis::formatCount(progress.filesDone) + " of " +
           analysis::formatCount(progress.filesTotal) + (progress.walkFinished ? "" : "+") + " files, " +
           analysis::formatCount(progress.fixes) + " fixes";
}

// A summary: read whole (its size grows with its keys, not its samples),
// then the summary engine, which indexes nothing. Its weekdays are the
// engine's day classes; its dates were chosen when it was built.
void loadSummary(LoadedData& result, const std::string& path, int tableSize,
                 const std::function<void(const std::string& stage, float progress)>& stage,
                 const std::atomic<bool>* cancel, const DayFilter& chosenDays) {
    stage("reading the summary", 0.0f);
    auto summary = std::make_shared<const Summary>(readSummary(path));
    if (cancel && *cancel) throw LoadCancelled(path);
    auto dataset = std::make_unique<Dataset>(Dataset{path, 0, summary->frame, summary->clock});
    if (!summary->days.empty()) {
        dataset->firstDay = summary->days.front();
        dataset->lastDay = summary->days.back();
    }
    const auto samples = static_cast<std::int64_t>(std::min<std::uint64_t>(
        summary->totals.samples, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
    // Dataset counts in 32 bits (a sample file's limit); the session keeps the 64-bit count.
    dataset->count = static_cast<std::int32_t>(std::min<std::int64_t>(samples, std::numeric_limits<std::int32_t>::max()));
    result.stepSeconds = summary->stepSeconds;
    result.summarySamples = samples;
    result.summaryDays = summary->days;
    result.clock = summary->clock;
    stage("preparing the summary's " + analysis::formatCount(static_cast<std::int64_t>(summary->entries())) +
              " counts",
          0.5f);
    result.engine = HeatmapEngine::prepare(std::move(summary), tableSize);
    result.summary = HeatmapEngine::preparedTally(*result.engine);
    result.days = DayFilter{};
    result.days.weekdays = chosenDays.weekdays;
    // The panel's own line, so the console says what the panel shows.
    result.notes.push_back("\"" + path + "\": " + analysis::summaryLine(result.stepSeconds, samples));
    if (samples == 0) {
        result.noSamplesReason = "the summary counts no samples";
        result.notes.push_back("\"" + path + "\" gave no samples: " + result.noSamplesReason);
    }
    result.dataset = std::move(dataset);
}

}  // namespace

LoadedData loadData(const std::string& path, int tableSize,
                    const std::function<void(const std::string& stage, float progress)>& stage,
                    const std::atomic<bool>* cancel, std::int32_t utcOffsetSeconds, const std::string& timeZone,
                    const FrameRequest& frame, const DayFilter& chosenDays) {
    LoadedData result;
    result.path = path;
    result.days = chosenDays;
    try {
        std::error_code ignored;
        const bool directory = std::filesystem::is_directory(path, ignored);
        if (!directory && looksLikeSummary(path)) {
            loadSummary(result, path, tableSize, stage, cancel, chosenDays);
            return result;
        }
        stage(directory ? "importing" : "reading", 0.0f);
        TrajectoryLoader loader;
        loader.cancel = cancel;
        // Recordings hold UTC times with their dates: the clock applies.
        const bool recordings = directory || isTrackFile(path) || isRecordingFile(path);
        if (recordings && !timeZone.empty()) {
            try {
                loader.tracks.zone = gis::TimeZone::locate(timeZone);
            } catch (const gis::UnknownZone& error) {
                throw DataFileError(path, error.what());
            }
        } else if (recordings) {
            loader.tracks.utcOffsetSeconds = utcOffsetSeconds;
            result.utcOffsetSeconds = utcOffsetSeconds;
        }
        if (directory) {
            loader.progress = [&stage](const ImportProgress& progress) {
                const float done = progress.bytesTotal > 0 ? static_cast<float>(progress.bytesDone) /
                                                                 static_cast<float>(progress.bytesTotal)
                                                           : 0.0f;
                // Totals grow while the walk goes on: hold the bar back until they are final.
                stage(importStage(progress), kReadShare * (progress.walkFinished ? done : 0.5f * done));
            };
        } else {
            // One track file: its bytes (GPX) or features read so far; the
            // total is not known for every format.
            loader.progress = [&stage](const ImportProgress& progress) {
                const float done = progress.walkFinished && progress.bytesTotal > 0
                                       ? static_cast<float>(progress.bytesDone) /
                                             static_cast<float>(progress.bytesTotal)
                                       : 0.0f;
                stage("reading, " + analysis::formatCount(progress.fixes) + " fixes", kReadShare * done);
            };
        }
        auto dataset = std::make_unique<Dataset>(Dataset{path, 0, GeoFrame{}, {}});
        std::shared_ptr<SampleSource> samples;
        std::shared_ptr<DayRangeSource> dayRange;
        std::shared_ptr<const DayRangeSource> dayCounter;  // stays when days are chosen
        float indexFrom = kReadShare;
        std::int64_t read = 0;
        bool fitted = false;  // said on the console: the frame is not what the user typed
        if (!directory && !isTrackFile(path) && hasBinaryExtension(path)) {
            // A sample file is indexed as it is read, a chunk at a time, so
            // none of its samples stay in memory: the whole bar is the index.
            dataset->frame = readFrameFile(path);  // before the samples: a malformed one costs no read
            dataset->clock = readFrameClock(path);
            if (frame.kind == FrameRequest::Kind::given && frame.frame != dataset->frame)
                throw DataFileError(path, "holds samples normalised over " + frameText(dataset->frame) +
                                              "; a frame applies to raw trees, text sample files and track files");
            auto file = std::make_shared<SampleFile>(path);
            file->cancel = cancel;
            // The dates' span is noted in the pass that indexes the file.
            dayRange = std::make_shared<DayRangeSource>(std::move(file));
            samples = dayRange;
            dayCounter = dayRange;
            indexFrom = 0.0f;
        } else {
            // Each fix is placed from its decimals by a read into its frame
            // (degrees held as floats would move fixes on a cell edge). The
            // frame: the one given; automatic, the default box when it holds
            // more than half the fixes, so the default city keeps the shipped
            // map; else, or with fit, the box fitted to a read in degrees.
            std::vector<std::int32_t> days;  // of the last read
            const auto readInto = [&](const GeoFrame& box, bool normalize) {
                loader.frame = box;
                loader.report = ImportReport{};
                return loader.loadDated(path, -1, normalize, days);
            };
            std::vector<Datapoint> points;
            if (frame.kind == FrameRequest::Kind::given) {
                points = readInto(frame.frame, true);
            } else if (frame.kind == FrameRequest::Kind::automatic) {
                points = readInto(GeoFrame{}, true);
                if (points.size() <= static_cast<std::size_t>(loader.report.outside)) points.clear();
            }
            if (points.empty() && frame.kind != FrameRequest::Kind::given) {
                std::vector<Datapoint> degrees = readInto(kWholeWorld, false);
                const GeoFrame chosen = degrees.empty() ? GeoFrame{} : chooseFrame(degrees, frame);
                degrees = {};
                points = readInto(chosen, true);
            }
            read = static_cast<std::int64_t>(points.size()) + loader.report.outside;
            dataset->frame = loader.frame;
            fitted = frame.kind != FrameRequest::Kind::given && dataset->frame != GeoFrame{};
            if (recordings) dataset->clock = clockName(loader.tracks);
            if (days.size() == points.size())
                result.dayCounts.add(days.data(), days.size());
            else
                result.dayCounts.undated = static_cast<std::int64_t>(points.size());
            // The dates are kept whenever some are known: the CPU engine
            // files each sample under its weekday, so a weekday toggle needs
            // no new index.
            if (std::any_of(days.begin(), days.end(), [](std::int32_t d) { return d != kUnknownDay; }))
                samples = std::make_shared<SamplesInMemory>(std::move(points), days);
            else
                samples = std::make_shared<SamplesInMemory>(std::move(points));
            for (const std::int32_t day : days) {
                if (day == kUnknownDay) continue;
                if (dataset->firstDay == kUnknownDay || day < dataset->firstDay) dataset->firstDay = day;
                if (dataset->lastDay == kUnknownDay || day > dataset->lastDay) dataset->lastDay = day;
            }
        }
        samples->cancel = cancel;
        samples->stopIfCancelled();
        if (!chosenDays.everything() && !samples->hasDays())
            throw DataFileError(path, "has no dates, so no weekdays or dates can be chosen");
        // Chosen days: only their samples are indexed, as a load of them.
        // The date range always; the weekdays only for an engine that does
        // not file the samples by weekday (the CPU engine does, and takes
        // them as settings.day_classes).
        const std::shared_ptr<SampleSource> all = samples;
        DayFilter indexed;
        const auto index = [&](const DayFilter& days) {
            samples = all;
            if (!days.everything()) {
                stage("choosing the samples of the days", indexFrom);
                auto chosen = std::make_shared<DayFilteredSource>(all, days);
                if (!chosen->dated()) throw DataFileError(path, "has no dates, so no weekdays or dates can be chosen");
                dataset->firstDay = chosen->firstDay();
                dataset->lastDay = chosen->lastDay();
                dayRange.reset();
                samples = chosen;
                samples->cancel = cancel;
            }
            // The loaders refuse inputs with more samples than a 32-bit count holds.
            dataset->count = static_cast<std::int32_t>(samples->size());
            const std::string indexing = "indexing " + analysis::formatCount(dataset->count) + " samples";
            stage(indexing, indexFrom);
            result.engine = HeatmapEngine::prepare(samples, tableSize, [&](float fraction) {
                stage(indexing, indexFrom + (1.0f - indexFrom) * fraction);
            });
            indexed = days;
        };
        DayFilter range = chosenDays;
        range.weekdays = 0x7f;
        index(range);
        if (chosenDays.weekdays != 0x7f && !HeatmapEngine::preparedFiltersDayClasses(*result.engine)) {
            result.engine.reset();
            index(chosenDays);
        }
        result.summary = HeatmapEngine::preparedTally(*result.engine);
        if (dayCounter) result.dayCounts = dayCounter->dayCounts();
        if (dayRange && dayRange->dated()) {
            dataset->firstDay = dayRange->firstDay();
            dataset->lastDay = dayRange->lastDay();
        }
        // Weekdays left to the engine: the chosen samples counted from the dates read.
        if (indexed.weekdays != chosenDays.weekdays)
            if (const auto chosen = analysis::samplesOnDays(result.dayCounts, chosenDays))
                dataset->count = static_cast<std::int32_t>(*chosen);
        result.notes = loadNotes(path, dataset->count, result.summary.otherModes);
        result.clock = dataset->clock;
        if (fitted)
            result.notes.push_back("\"" + path + "\": frame fitted to its points: " + frameText(dataset->frame) +
                                   " (--box " + frameText(dataset->frame) + " gives the same)");
        if (dataset->count == 0) {
            result.noSamplesReason = !chosenDays.everything() ? "none of its samples lies on the chosen days"
                                     : indexFrom == 0.0f ? "it is shorter than one 16-byte record"
                                                         : noSamplesReason(read, loader.report, dataset->frame);
            // "0 samples" never goes without its reason.
            bool said = false;
            for (std::string& note : result.notes)
                if (note.ends_with(" holds no samples")) {
                    note += ": " + result.noSamplesReason;
                    said = true;
                }
            if (!said) result.notes.push_back("\"" + path + "\" gave no samples: " + result.noSamplesReason);
        }
        result.dataset = std::move(dataset);
    } catch (const LoadCancelled&) {
        result.error = "Loading \"" + echoPath(path) + "\" was cancelled";
    } catch (const DataFileError& error) {
        result.error = "Could not load samples from \"" + echoPath(error.path()) + "\": " + error.reason();
    } catch (const std::bad_alloc&) {
        result.error = "Could not load samples from \"" + echoPath(path) + "\": not enough memory";
    } catch (const std::exception& error) {
        result.error = loadFailureMessage(path, error);
    }
    if (!result.ok()) {
        result.dataset.reset();
        result.engine.reset();
        result.utcOffsetSeconds.reset();
    }
    return result;
}

DataLoader::~DataLoader() { stop(); }

void DataLoader::start(const std::string& path, int tableSize, std::int32_t utcOffsetSeconds,
                       const std::string& timeZone, const FrameRequest& frame, const DayFilter& days) {
    std::lock_guard lock(mutex_);
    status_ = LoadStatus{true, path, "starting", 0.0f};
    if (worker_.joinable() && !result_) {
        // Still running (it hands over its result under this lock): it
        // stops soon and then takes this request.
        next_ = Request{path, tableSize, utcOffsetSeconds, timeZone, frame, days};
        cancel_ = true;
        return;
    }
    if (worker_.joinable()) worker_.join();  // finished: its result is superseded
    result_.reset();
    cancel_ = false;
    worker_ = std::thread(&DataLoader::run, this, Request{path, tableSize, utcOffsetSeconds, timeZone, frame, days});
}

void DataLoader::setStage(const std::string& stage, float progress) {
    std::lock_guard lock(mutex_);
    // A cancelled load's last words would show under the next one's name.
    if (cancel_) return;
    status_.stage = stage;
    status_.progress = progress;
}

void DataLoader::run(Request request) {
    // Below the frame loop's priority, so the map stays smooth on few cores;
    // the threads the import and the engine start inherit it.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    for (;;) {
        LoadedData result = loadData(
            request.path, request.tableSize,
            [this](const std::string& stage, float progress) { setStage(stage, progress); }, &cancel_,
            request.utcOffsetSeconds, request.timeZone, request.frame, request.days);
        std::lock_guard lock(mutex_);
        if (next_) {
            request = std::move(*next_);
            next_.reset();
            cancel_ = false;
            continue;
        }
        result_ = std::move(result);
        status_.loading = false;
        status_.progress = 1.0f;
        return;
    }
}

LoadStatus DataLoader::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<LoadedData> DataLoader::take() {
    std::optional<LoadedData> result;
    {
        std::lock_guard lock(mutex_);
        if (status_.loading || !result_) return std::nullopt;
        result = std::move(result_);
        result_.reset();
    }
    if (worker_.joinable()) worker_.join();
    return result;
}

void DataLoader::wait() {
    if (worker_.joinable()) worker_.join();
}

void DataLoader::stop() {
    {
        std::lock_guard lock(mutex_);
        next_.reset();
        cancel_ = true;
    }
    wait();
    // A load that finished before it heard the cancel still holds its
    // samples and engine (device memory, for a GPU engine). They go now, on
    // this thread, and not when the loader is destroyed at exit, after the
    // CUDA runtime may have shut down.
    LoadedData dropped;
    {
        std::lock_guard lock(mutex_);
        if (!result_ || !result_->ok()) return;
        dropped.dataset = std::move(result_->dataset);
        dropped.engine = std::move(result_->engine);
        result_->utcOffsetSeconds.reset();
        result_->notes.clear();
        result_->error = "Loading \"" + echoPath(result_->path) + "\" was cancelled";
    }
}
