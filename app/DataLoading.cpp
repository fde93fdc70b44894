#include "app/DataLoading.h"

#include <exception>
#include <filesystem>
#include <functional>
#include <new>
#include <system_error>

#include <sys/resource.h>
#include <unistd.h>

#include "model/LoadError.h"
#include "model/TrajectoryLoader.h"

namespace {

// The share of the progress bar each step takes: reading or importing the
// samples is the long part, indexing them for the engine comes second.
constexpr float kReadShare = 0.6f;
constexpr float kSummaryShare = 0.05f;

std::string importStage(const ImportProgress& progress) {
    return "importing " + analysis::formatCount(progress.filesDone) + " of " +
           analysis::formatCount(progress.filesTotal) + (progress.walkFinished ? "" : "+") + " files, " +
           analysis::formatCount(progress.fixes) + " fixes";
}

}  // namespace

LoadedData loadData(const std::string& path, int tableSize,
                    const std::function<void(const std::string& stage, float progress)>& stage) {
    LoadedData result;
    result.path = path;
    try {
        std::error_code ignored;
        const bool directory = std::filesystem::is_directory(path, ignored);
        stage(directory ? "importing" : "reading", 0.0f);
        TrajectoryLoader loader;
        if (directory) {
            loader.progress = [&stage](const ImportProgress& progress) {
                const float done = progress.bytesTotal > 0 ? static_cast<float>(progress.bytesDone) /
                                                                 static_cast<float>(progress.bytesTotal)
                                                           : 0.0f;
                // Totals grow while the walk goes on: hold the bar back until they are final.
                stage(importStage(progress), kReadShare * (progress.walkFinished ? done : 0.5f * done));
            };
        }
        auto dataset = std::make_unique<Dataset>(Dataset::empty(path));
        dataset->points = loader.load(path, -1, true);
        dataset->count = static_cast<std::int32_t>(dataset->points.size());

        result.notes = loadNotes(*dataset);
        stage("counting modes", kReadShare);
        result.summary = analysis::summarise(dataset->points);

        stage("indexing " + analysis::formatCount(dataset->count) + " samples", kReadShare + kSummaryShare);
        result.engine = HeatmapEngine::prepare(dataset->points, tableSize, [&stage](float fraction) {
            stage("indexing samples", kReadShare + kSummaryShare + (1.0f - kReadShare - kSummaryShare) * fraction);
        });
        result.dataset = std::move(dataset);
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
    }
    return result;
}

DataLoader::~DataLoader() { wait(); }

bool DataLoader::start(const std::string& path, int tableSize) {
    std::lock_guard lock(mutex_);
    if (status_.loading) return false;
    if (worker_.joinable()) worker_.join();  // finished: its result waits in result_
    status_ = LoadStatus{true, path, "starting", 0.0f};
    result_.reset();
    worker_ = std::thread(&DataLoader::run, this, path, tableSize);
    return true;
}

void DataLoader::setStage(const std::string& stage, float progress) {
    std::lock_guard lock(mutex_);
    status_.stage = stage;
    status_.progress = progress;
}

void DataLoader::run(std::string path, int tableSize) {
    // Below the frame loop's priority, so the map stays smooth on few cores;
    // the threads the import and the engine start inherit it.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
    LoadedData result =
        loadData(path, tableSize, [this](const std::string& stage, float progress) { setStage(stage, progress); });
    std::lock_guard lock(mutex_);
    result_ = std::move(result);
    status_.loading = false;
    status_.progress = 1.0f;
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
