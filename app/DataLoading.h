#pragma once
// Loading samples off the main thread. A worker thread reads (or imports) the
// samples, summarises them per mode and time of day and prepares a density
// engine for them; the frame loop reads a small status each frame and, when
// the worker is done, takes the result and installs it itself, since the
// running engine and everything on screen belong to the main thread.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/Analysis.h"
#include "engine/HeatmapEngine.h"
#include "model/Dataset.h"

// What a finished load hands over: either samples with a prepared engine, or
// a one-line failure message (and nothing else: the previous data stays).
struct LoadedData {
    std::string path;
    std::unique_ptr<Dataset> dataset;
    HeatmapEngine::PreparedEnginePtr engine;
    analysis::DaySummary summary;
    std::vector<std::string> notes;  // one line each, for the console (loadNotes)
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
    ~DataLoader();  // waits for a running load
    DataLoader(const DataLoader&) = delete;
    DataLoader& operator=(const DataLoader&) = delete;

    // Starts loading `path` (tableSize as loadData takes it). Returns false,
    // and starts nothing, while another load runs.
    bool start(const std::string& path, int tableSize);
    LoadStatus status() const;
    // The finished load, once; nothing while it runs or when none ran.
    std::optional<LoadedData> take();
    // Blocks until the running load, if any, is done.
    void wait();

private:
    void run(std::string path, int tableSize);
    void setStage(const std::string& stage, float progress);

    mutable std::mutex mutex_;
    LoadStatus status_;
    std::optional<LoadedData> result_;
    std::thread worker_;
};

// The whole load of one path, on the calling thread: samples (a directory is
// imported as a raw trajectory tree), their summary and a prepared engine.
// Failures come back as the one-line message. `stage` is told what happens.
// tableSize: the kernel size when the load began (the worker never reads
// the settings the panel edits).
LoadedData loadData(const std::string& path, int tableSize,
                    const std::function<void(const std::string& stage, float progress)>& stage);
