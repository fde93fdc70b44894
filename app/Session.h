#pragma once
// What the viewer has open and what it is doing with it: the load running in
// the background, the open file's summary, playback and the files to save.
// Used from the main thread only; the loader's worker keeps to DataLoader.
#include <array>
#include <atomic>
#include <memory>
#include <chrono>
#include <future>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/DayPlayback.h"
#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "app/Basemap.h"
#include "app/DataLoading.h"
#include "app/GridValues.h"
#include "app/PanelRules.h"

// Bars of the date histogram: a day each up to this many days, else weeks.
inline constexpr int kMaxDayBars = 400;

struct ViewerSession {
    DataLoader loader;
    std::string openPath;              // the samples on the map; empty before the first load
    std::int64_t openCount = 0;
    analysis::DaySummary summary;      // of the open samples
    std::string loadMessage;           // the last load's failure, until the next action
    std::chrono::steady_clock::time_point loadStarted;  // for the time left
    std::vector<float> lastGrid;       // the grid on screen, for "Save grid"
    int densestRow = analysis::kSide / 2;  // of lastGrid: the legend's densities are given for its cells
    double frameMaximum = 0.0;         // lastGrid's densest cell (summed density) and scale
    bool frameLogScale = true;
    analysis::ScaleLock scaleLock;
    std::string lockMessage;           // why the scale could not be locked, until the next lock
    bool sigmaRefused = false;         // the last sigma typed in metres was out of range
    bool scaleChanged = false;         // the lock moved: lastGrid is shown again on the new scale
    analysis::Legend legend;           // as the legend last showed it
    PanelRect legendRect;              // where it showed it, kept clear of the readout
    analysis::Playback playback;

    // Hours added to a raw tree's or track file's UTC clock times when it is
    // opened; and the offset the open samples' times carry (nothing for a
    // sample file, whose times got theirs when it was imported).
    std::array<char, 16> utcOffsetText{'0'};
    // The Data window's Frame: empty or "auto", "fit", or a box (see
    // parseFrameRequest); trackora --box fills it in.
    std::array<char, 128> frameText{};
    bool tickModesOnLoad = false;      // the load under way is one the user chose
    std::string noSamplesReason;       // why the open file gave no samples, when it gave none
    std::optional<std::int32_t> openUtcOffset;
    // A time zone name (America/Los_Angeles) used instead of the offset for
    // raw trees and track files when not empty; and the clock the open
    // samples' times are in, as shown beside the time window (empty: as
    // imported).
    std::array<char, 64> timeZoneText{};
    std::string openClock;
    // The span of the open samples' dates, as the Data window says it.
    std::string openDates;
    // The days whose samples are indexed (the Data window's weekday boxes
    // and date fields), and why the fields as typed choose none.
    DayFilter dayFilter;
    std::uint8_t dayBits = 0x7f;
    std::array<char, 16> datesFrom{};
    std::array<char, 16> datesTo{};
    std::string dayProblem;
    // The open samples per date as the histogram under the date range draws
    // them (at most kMaxDayBars bars), and samples with no date.
    DayBars dayBars;
    std::int64_t undatedSamples = 0;
    // The open samples per date in full: the count of a weekday choice the
    // engine makes without a new index.
    DayCounts openDayCounts;
    // The days the open samples were indexed for (dayFilter runs ahead of
    // them while a new index is made), and the Data window's "Per day".
    DayFilter openDays;
    bool perDay = false;
    // The open summary's step (0: samples are open), the samples it
    // counts and the days it holds: the time window moves in its steps.
    std::int32_t summaryStep = 0;
    std::int64_t summarySamples = 0;
    std::vector<std::int32_t> summaryDays;

    // Compare: the selection on screen frozen as B; the panel then edits A
    // and the map shows A - B, each per day over its own days. B is kept as
    // its grids (samples/km² and samples a cell), so editing A
    // computes A only; B is computed again for a new kernel or when its
    // samples are read again, while they are the ones indexed.
    struct Compare {
        bool on = false;
        bool freezePending = false;       // ticked: frozen once this frame's grid is computed
        ControlSettings settingsB;        // B's modes and time window; the kernel is shared
        DayFilter daysB;                  // the days B's samples were indexed for
        std::int64_t dayCountA = 0;       // the days each is divided by (0: no dates)
        std::int64_t dayCountB = 0;
        std::vector<float> perDayB;       // B per cell, samples/km² per day when dated
        std::vector<float> samplesB;      // B's samples centred in each cell
        std::vector<float> perDayA;       // A per cell, samples/km² per day when dated
        float largest = 0.0f;             // of |A - B| per day: the scale's ends
        bool recomputeB = false;          // B's samples were read again
        std::string message;              // why Compare ended or cannot do something
    } compare;

    std::array<char, 1024> openName{};
    std::array<char, 1024> imageName{};
    std::array<char, 1024> gridName{};
    // "Export video…": the day as a video for the current settings, made a
    // few steps per drawn frame so the window stays live (VideoExport is
    // Session.cpp's); its progress line while it runs.
    std::array<char, 1024> videoName{};
    std::string lastVideoDefault;
    std::shared_ptr<struct VideoExport> videoExport;
    std::string videoProgress;
    GridValues gridValues = GridValues::perKm2;  // what "Save grid" writes
    std::string lastImageDefault;      // the default names last offered, so an
    std::string lastGridDefault;       // edited name is kept across saves
    std::string saveMessage;           // "Saved /path" or why not, until the next action
    bool saveMessageIsError = false;
    bool saveImageRequested = false;   // done after the map is drawn
    bool revealData = false;           // a failure to show: the Data window opens

    // The basemap for frames other than the shipped map's (trackora
    // --basemap FILE, or the Data window), made off the main thread for the
    // frame it was started for.
    std::array<char, 1024> basemapName{};
    // The basemap chosen with Use or Enter (or --basemap): what is made and
    // shown. The field's text is only a draft until then.
    std::string basemapSource;
    // The longest side a basemap is made at; the GL driver's largest
    // texture lowers it further.
    int basemapMaxSide = 16384;
    std::string basemapAttribution;
    std::future<Basemap> basemapJob;
    std::shared_ptr<std::atomic<bool>> basemapCancel;  // the running job's: set, it stops soon
    GeoFrame basemapJobFrame;
    std::string basemapJobSource;
};

extern ViewerSession session;

// Starts loading `path` in the background, with the UTC offset and frame
// typed in the panel; the map stays as it is until the load is done. A load
// still running is cancelled. An offset or frame that does not read starts
// nothing and says why. A file the user chose (userChoice) ticks the modes
// it holds once loaded; the viewer's own start on its default data does not.
void openData(const std::string& path, bool userChoice = true);
// The Data window's choice of days as typed: other weekdays alone set
// settings.day_classes where the engine files the samples by weekday (a
// recompute); otherwise the open samples are indexed again for those days
// in the background (the map keeps the old ones until the new are ready).
// Or dayProblem says why the fields choose none.
void applyDayChoice();
// "Per day" as it applies to the open samples now: the days densities are
// divided by (0: not divided) and the line the box shows.
analysis::PerDay shownPerDay();

// Compare: ticked, B is frozen from the grid on screen once it is computed
// (freezeCompare, after the frame's refresh); unticked, the normal map again.
void setCompare(bool on);
void freezeCompare();
// Before the frame's refresh while comparing: computes B again for a new
// kernel (or B's samples read again) while B's days are the ones indexed.
void refreshCompareB();
// Whether the kernel can change while comparing: B's samples must be the
// indexed ones, so B can be computed with the new kernel.
bool compareKernelFixed();
// B's selection in a line: "B: Walk, Bike; 07:00:00-09:00:00; Mo,Tu; 104 days".
std::string compareBText();

// The frame of the open samples (the default box when none are open): what
// the map, the readout, the legend and the saved grid are placed in.
GeoFrame openFrame();

// Starts making the basemap chosen in session.basemapSource for the open
// frame, unless the shipped map shows it, none is chosen or one is being
// made. One being made for another source or frame is cancelled; the
// chosen one is started when it has stopped.
void startBasemap();
// Cancels a basemap being made and waits for its worker, which stops
// within a feature, a segment or a raster chunk: the viewer closing.
void stopBasemap();
// Puts a finished basemap on the map when it is still the open frame's, or
// says in the Data window why there is none. Call once a frame.
void applyFinishedBasemap();
// The Data window's "Use" (or Enter in its Basemap field): chooses the
// field's text as the basemap and makes it for the open frame, or goes back
// to the plain ground when the text is empty.
void useBasemap();

// Once per frame, before the panel: when a load has finished, installs its
// samples and engine and asks for a new grid, or shows its failure (panel
// and console) and keeps what was open. Returns whether one finished.
bool applyFinishedLoad();

// Takes a grid the engine computed (the frame work's upload): keeps it for
// "Save grid" with its densest cell and scale, and returns the levels to
// show, on the locked scale when there is one.
const std::vector<float>& acceptGrid(const std::vector<float>& grid);
// The levels of the grid on screen on the current scale, after the lock moved.
const std::vector<float>& shownLevels();

// Locks the colour scale at the current frame's maximum, or (wholeDay) at
// the maximum of the whole day for the ticked modes: one more compute, after
// which the current window is computed again. unlockScale lets each frame
// be scaled to its own maximum again.
void lockScale(bool wholeDay);
void unlockScale();

// A new action in the Data window (open, save): the messages of the last
// one go.
void clearMessages();

// Offers fresh default names (date and time, working directory) for the
// saved files, keeping names the user has edited.
void refreshDefaultNames();

// Writes the grid on screen as GeoTIFF to the name in the panel and says
// where it went (or why not).
void saveGrid();

// The Data window's "Export video…": starts making the day as a video of
// the current modes, kernel and scale (a frame per 15 minutes, 8 a second,
// over the map as drawn) to the name in the panel, or says why not.
void startVideoExport();
// Once per frame while one runs: about 30 ms of its work, then the
// progress line; when it ends, where it went or why not.
void continueVideoExport();
// Stops it; nothing is left behind.
void cancelVideoExport();

// Sets the panel's save message, printing failures on the console too.
void reportSave(const std::string& message, bool isError);

// Why a save to `target` must not happen: it is the open data (a sample or
// track file) or the open sample file's frame file, which the save would
// destroy. Empty when it may.
std::string openDataClash(const std::string& target);
