#pragma once
// Loading samples off the main thread. A worker thread reads (or imports) the
// samples, summarises them per mode and time of day and prepares a density
// engine for them; the frame loop reads a small status each frame and, when
// the worker is done, takes the result and installs it itself, since the
// running engine and everything on screen belong to the main thread.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/DayPlayback.h"
#include "engine/HeatmapEngine.h"
#include "model/Dataset.h"
#include "model/FrameChoice.h"
#include "model/SampleDays.h"

// What a finished load hands over: either samples with a prepared engine, or
// a one-line failure message (and nothing else: the previous data stays). A
// cancelled load is a failure that says so.
struct LoadedData {
    std::string path;
    std::unique_ptr<Dataset> dataset;
    HeatmapEngine::PreparedEnginePtr engine;
    analysis::DaySummary summary;
    // Samples per date, counted from the dates the load read anyway: of the
    // whole data, whichever days are chosen.
    DayCounts dayCounts;
    DayFilter days;  // the days whose samples were indexed
    std::vector<std::string> notes;  // one line each, for the console (loadNotes)
    // The UTC offset the clock times were shifted by: a raw tree's or track
    // file's. Nothing for a sample file, whose times got theirs at import.
    std::optional<std::int32_t> utcOffsetSeconds;
    // The clock the times are in, as the panel names it: dataset->clock.
    std::string clock;
    // Why no samples came, when none did ("all 17 points lie outside the
    // frame ..."); empty otherwise.
    std::string noSamplesReason;
    // A summary's (model/Summary.h): its step (0 for samples), the samples
    // it counts, and the days it holds, which Per day divides by.
    std::int32_t stepSeconds = 0;
    std::int64_t summarySamples = 0;
    std::vector<std::int32_t> summaryDays;
    std::string error;
    bool ok() const { return error.empty(); }
};

// What the panel shows while a load runs.
struct LoadStatus {
    bool loading = false;
    std::string path;
    std::string stage;       // "reading", "importing 12 of 40 files", "indexing"
    float progress = 0.0f;   // 0..1
};

class DataLoader {
public:
    DataLoader() = default;
    ~DataLoader();  // stops a running load
    DataLoader(const DataLoader&) = delete;
    DataLoader& operator=(const DataLoader&) = delete;

    // Starts loading `path` (tableSize as loadData takes it). A load still
    // running is cancelled and this one follows it on the same worker: the
    // user asked for other data, so the first one's result is never handed
    // over. Never blocks on the running load. utcOffsetSeconds, timeZone,
    // frame: as loadData.
    void start(const std::string& path, int tableSize, std::int32_t utcOffsetSeconds = 0,
               const std::string& timeZone = {}, const FrameRequest& frame = {}, const DayFilter& days = {});
    LoadStatus status() const;
    // The finished load, once; nothing while it runs or when none ran.
    std::optional<LoadedData> take();
    // Blocks until the running load, if any, is done.
    void wait();
    // Cancels the running load (it stops within one chunk of its reading,
    // between files of a tree, or within a step of the indexing) and waits
    // for it; take() then gives a failure saying it was cancelled. A load
    // that had finished but was not taken is released here, its prepared
    // engine included. For closing the window.
    void stop();

private:
    struct Request {
        std::string path;
        int tableSize = 0;
        std::int32_t utcOffsetSeconds = 0;
        std::string timeZone;
        FrameRequest frame;
        DayFilter days;
    };
    void run(Request request);
    void setStage(const std::string& stage, float progress);

    mutable std::mutex mutex_;
    LoadStatus status_;
    std::optional<LoadedData> result_;
    std::optional<Request> next_;  // to load once the cancelled one has stopped
    std::atomic<bool> cancel_{false};
    std::thread worker_;
};

// The whole load of one path, on the calling thread: samples (a directory is
// imported as a raw trajectory tree), their summary and a prepared engine.
// Failures come back as the one-line message. `stage` is told what happens,
// with progress through a tree's files or a track file's bytes. tableSize:
// the kernel size when the load began (the worker never reads the settings
// the panel edits). Setting *cancel stops the load soon. utcOffsetSeconds
// is added to the clock times of a raw tree or track file, which hold UTC;
// a sample file's are left as they are. A non-empty timeZone (an IANA name)
// converts them instead by that zone's rules at each fix's date; a name the
// system's database does not hold fails the load, naming it. `frame` picks
// the box a raw tree, text sample file or track file is kept in (see
// chooseFrame); a sample file has its own, and a given box that differs
// from it is refused. `days` other than every day indexes only the samples
// of those weekdays and dates (their dates' span still the whole data's);
// samples without dates then fail the load, saying so. A summary (.tsum)
// is read whole and given the summary engine; its dates were chosen when
// it was built, so only the weekdays apply (as its day classes).
LoadedData loadData(const std::string& path, int tableSize,
                    const std::function<void(const std::string& stage, float progress)>& stage,
                    const std::atomic<bool>* cancel = nullptr, std::int32_t utcOffsetSeconds = 0,
                    const std::string& timeZone = {}, const FrameRequest& frame = {}, const DayFilter& days = {});
