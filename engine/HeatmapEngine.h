#pragma once
// The density engine: one module-wide instance that turns the loaded samples
// into a normalised 1000 x 1000 kernel-density grid for the current settings.
// It runs on CUDA when a working GPU is present and on a multi-threaded CPU
// engine otherwise; this header compiles with a plain C++ compiler.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/ControlSettings.h"
#include "kde/GridShape.h"
#include "model/Datapoint.h"
#include "model/SampleSource.h"
#include "model/SampleTally.h"
#include "model/Summary.h"


namespace HeatmapEngine {

// Takes the engine's own copy of the samples and builds the weight table for
// settings.kernel_size and settings.sigma. Prints one line naming the engine
// that runs (and why CUDA does not, when it does not). The environment
// variable TRACKORA_ENGINE=cpu|cuda|cuda-literal|reference forces a choice
// (cuda-literal: the CUDA engine adding the whole table per sample). Calling it
// again replaces the previous engine.
void initialize(std::vector<Datapoint> points, ControlSettings& settings);
// The same from a source: the samples are indexed a chunk at a time and not
// kept, so a sample file larger than memory opens.
void initialize(std::shared_ptr<const SampleSource> samples, ControlSettings& settings);

// initialize in two steps, so the slow one can run off the main thread.
// prepare chooses and builds an engine (indexing the samples, uploading them
// to the GPU) and touches nothing the running engine uses, the settings
// included: tableSize is the kernel size the first table will have, for the
// GPU's memory check, which counts the memory the running engine will free.
// progress, when given, is called with the fraction done. install, on the
// thread that computes, releases the running engine, makes the prepared one
// run, prints the engine line and builds the weight table for settings. The
// points must live until install: a GPU engine that fits only in the memory
// the running engine frees is uploaded there.
struct PreparedEngine;
struct PreparedEngineDeleter {
    void operator()(PreparedEngine* prepared) const;
};
using PreparedEnginePtr = std::unique_ptr<PreparedEngine, PreparedEngineDeleter>;
PreparedEnginePtr prepare(const std::vector<Datapoint>& points, int tableSize,
                          const std::function<void(float)>& progress = {});
// From a source, kept only while a GPU engine waits for install. Throws
// LoadCancelled soon after the source's cancel flag is set, what the source
// throws, and DataFileError (naming the source's file) before reading
// anything when indexing its samples would take more memory than is
// available (hostMemoryAvailable).
PreparedEnginePtr prepare(std::shared_ptr<const SampleSource> samples, int tableSize,
                          const std::function<void(float)>& progress = {});
void install(PreparedEnginePtr prepared, ControlSettings& settings);
// The engine of a summary (model/Summary.h) instead of samples: the CPU
// summary engine (cpu/SummaryEngine.h), whatever TRACKORA_ENGINE says. Its
// time window moves in the summary's steps; its tally spreads each step
// over the quarter hours it covers (summaryTally). It follows
// settings.day_classes (filtersDayClasses) when the summary is dated.
PreparedEnginePtr prepare(std::shared_ptr<const Summary> summary, int tableSize);
void initialize(std::shared_ptr<const Summary> summary, ControlSettings& settings);
// Samples per mode and quarter hour of a summary's day classes, from its
// samples per block (blockSamples[b] for block b): a step longer than a
// quarter hour is spread over those it covers (SampleTally::addSpread).
SampleTally summaryTally(const Summary& summary, const std::vector<std::int64_t>& blockSamples,
                         std::uint8_t dayClasses);
// Whether prepare builds the CPU engine beside a GPU engine (the default):
// it takes over when the GPU fails after start-up and counts the samples
// per cell (cellValue, sampleCounts). A program that never falls back and
// asks for no counts turns it off, and the samples are then only uploaded
// (sampleCounts gives zeros, a GPU failure is thrown). The CPU engine is
// built whenever no GPU engine starts.
void setCpuStandby(bool wanted);
// Samples per mode and quarter hour of the day, counted while the prepared
// engine indexed them.
const SampleTally& preparedTally(const PreparedEngine& prepared);

// Whether the prepared engine, once installed, follows settings.day_classes
// (filtersDayClasses).
bool preparedFiltersDayClasses(const PreparedEngine& prepared);

// Bytes of memory this process may still take: the system's available
// memory, or less under a limit on the process's data.
std::size_t hostMemoryAvailable();
// Bytes indexing this many samples takes at its peak.
std::size_t indexingBytes(std::size_t samples);

// Rebuilds the weight table from settings.kernel_size, settings.sigma and
// settings.cell_aspect (the table is round in metres on the ground).
// Sizes go through the settings' odd-size rule, capped at 23169 (the panel
// itself offers at most 101); a
// sigma for which the Gaussian has no finite weights gives a single-cell
// table (the limit of a vanishing sigma), and one whose weights all vanish
// gives a flat table.
void rebuildKernel(ControlSettings& settings);
// The table side computeHeatmap uses for a kernel size: the odd-size rule and the cap.
int effectiveKernelSize(int kernelSize);
// The sides of the table the settings give: rows north-south (the effective
// kernel size), cols east-west (scaled by settings.cell_aspect).
struct TableShape {
    int rows = 1;
    int cols = 1;
};
TableShape tableShape(const ControlSettings& settings);
// One line when the table ends inside two sigmas of its centre, so the
// stamp shows the box's edges, naming the Size that would hold it; empty
// when it does not.
std::string kernelCutShort(const ControlSettings& settings);

// kGridCells floats, row r (from x, south to north) then column c (from y,
// west to east) at r * kGridSide + c. Normalised so the densest cell is 1
// (with the log scale: ln(1 + density) over the largest logged value, for
// every mode mask; empty cells stay 0). Never NaN or infinite: when no cell
// is positive every cell is 0.
// Before initialize or after release the grid is all zeros.
std::vector<float> computeHeatmap(ControlSettings& settings);

// Values of the last computeHeatmap, read without computing again: the
// unnormalised density of grid cell (row, col) (summed table weights, in
// samples) and the number of samples centred in that cell that passed its
// filters. Zero outside the grid and before any compute.
struct CellValue {
    float density = 0.0f;
    std::int64_t samples = 0;
};
CellValue cellValue(int row, int col);

// The samples centred in each cell of the grid under the filters, row by row
// as computeHeatmap's grid (exact up to 2^24 a cell), counted from the
// engine's index: for saving a count grid. All zeros before initialize.
std::vector<float> sampleCounts(const ControlSettings& filters);

// The densest cell's unnormalised density in the last computeHeatmap, and
// whether that grid was log-scaled: what the colour scale's 1 stands for.
float lastMaximumDensity();
bool lastUsedLogScale();

// Whether computeHeatmap, cellValue and sampleCounts follow
// settings.day_classes: the CPU engine does, for samples whose source gave
// their dates, as a recompute, and the summary engine for a dated summary. The GPU and reference engines keep no day
// class: they (and a CPU engine without dates) take every sample they were
// given, and a choice of weekdays is made through the source
// (DayFilteredSource) before the engine is prepared.
bool filtersDayClasses();
// Samples per mode and quarter hour of the day of the given day classes,
// where the engine files them so (filtersDayClasses); nothing elsewhere.
std::optional<SampleTally> dayClassTally(std::uint8_t dayClasses);

// Frees the engine's memory; initialize may be called again afterwards.
void release();

// The Gaussian weight table: size x size floats, row-major, summing to 1.
// size must be odd and at least 1 (std::invalid_argument otherwise).
std::vector<float> makeGaussKernel(float sigma, int size);

// "CUDA (NVIDIA H100)", "CPU, 2 threads", "reference CPU", or "none".
std::string engineName();

}  // namespace HeatmapEngine
