#include "app/Session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include <glad/gl.h>

#include <sys/stat.h>

#include "app/AppState.h"
#include "app/Compare.h"
#include "app/DayVideo.h"
#include "app/GuideLayout.h"
#include "app/OutputName.h"
#include "settings/ControlSettings.h"
#include "app/GridExport.h"
#include "engine/HeatmapEngine.h"
#include "model/LoadError.h"
#include "model/OutputFile.h"
#include "model/RuntimeFiles.h"
#include "model/TrajectoryLoader.h"
#include "model/TrackFiles.h"

ViewerSession session;

namespace {
// The window's side and the zoom to which a basemap stays sharp in it.
constexpr double kBasemapWindow = 800.0;
constexpr double kBasemapSharpZoom = 8.0;
}  // namespace

namespace {

void copyName(std::array<char, 1024>& field, const std::string& text) {
    const std::size_t n = std::min(text.size(), field.size() - 1);
    text.copy(field.data(), n);
    field[n] = '\0';
}

bool sameDays(const DayFilter& a, const DayFilter& b) {
    return a.weekdays == b.weekdays && a.first == b.first && a.last == b.last;
}

// Where a name typed in the panel goes: relative names in the working directory.
std::string absolute(const std::string& name) {
    std::error_code ignored;
    const std::filesystem::path path = std::filesystem::absolute(name, ignored);
    return path.empty() ? name : path.string();
}

}  // namespace

void clearMessages() {
    session.loadMessage.clear();
    session.saveMessage.clear();
    session.saveMessageIsError = false;
}

GeoFrame openFrame() { return dataset ? dataset->frame : GeoFrame{}; }

void startBasemap() {
    const GeoFrame frame = openFrame();
    const bool wanted = frame != GeoFrame{} && !session.basemapSource.empty();
    if (session.basemapJob.valid()) {
        // Made for what is no longer chosen or open: it stops, and
        // applyFinishedBasemap starts the chosen one.
        if (!wanted || session.basemapJobFrame != frame || session.basemapJobSource != session.basemapSource)
            session.basemapCancel->store(true);
        return;
    }
    if (!wanted) return;
    const std::string source = session.basemapSource;
    const analysis::MapExtent extent = analysis::mapExtent(frame);
    // Sharp to 8x zoom in the 800-pixel window (a city frame at about 2.4 m a
    // pixel); the largest texture GL takes caps it, at most 16384 a side.
    int maxSide = std::clamp(session.basemapMaxSide, 1, 16384);
    if (map_renderer) {
        GLint maxTexture = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxTexture);
        maxSide = std::min(maxSide, std::max(static_cast<int>(maxTexture), 2048));
    }
    const PixelSize size = basemapSize(extent.x, extent.y, kBasemapWindow, kBasemapSharpZoom, maxSide);
    const int width = size.width;
    const int height = size.height;
    // Kept beside a sample file; a tree or a track file is read afresh anyway.
    const std::string samples = hasBinaryExtension(session.openPath) ? session.openPath : std::string();
    session.basemapJobFrame = frame;
    session.basemapJobSource = source;
    session.basemapCancel = std::make_shared<std::atomic<bool>>(false);
    const std::shared_ptr<std::atomic<bool>> cancel = session.basemapCancel;
    session.basemapJob = std::async(std::launch::async, [=] {
        return makeBasemap(source, frame, width, height, samples, cancel.get());
    });
}

void stopBasemap() {
    if (!session.basemapJob.valid()) return;
    session.basemapCancel->store(true);
    session.basemapJob.wait();
    session.basemapJob = {};
}

void useBasemap() {
    clearMessages();
    if (openFrame() == GeoFrame{}) {
        session.loadMessage = "The shipped map shows these samples' frame; a basemap is for samples in another frame";
        return;
    }
    session.basemapSource = session.basemapName.data();
    if (session.basemapSource.empty() && map_renderer)
        map_renderer->showFrame(map_renderer->extent(), MapRenderer::Ground::plain);
    startBasemap();  // or stops the one being made
}

void applyFinishedBasemap() {
    if (!session.basemapJob.valid() ||
        session.basemapJob.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    Basemap basemap = session.basemapJob.get();
    // Against the chosen source, not the field: text typed meanwhile is not
    // a choice until Use or Enter.
    if (basemap.cancelled || session.basemapJobFrame != openFrame() ||
        session.basemapJobSource != session.basemapSource) {
        startBasemap();  // made for what is no longer open
        return;
    }
    for (const std::string& note : basemap.notes) std::cout << note << std::endl;
    if (basemap.image.levels.empty()) {
        session.loadMessage = "Basemap not used: " + basemap.problem;
        session.revealData = true;
        std::cout << session.loadMessage << std::endl;
        return;
    }
    if (map_renderer) {
        map_renderer->setBasemap(basemap.image);
        map_renderer->showFrame(map_renderer->extent(), MapRenderer::Ground::basemap);
    }
    session.basemapAttribution = basemap.attribution;
}

void openData(const std::string& path, bool userChoice) {
    clearMessages();
    if (path.empty()) {
        session.loadMessage = "Type the path of a sample file, raw trajectory tree, track file or summary to open";
        return;
    }
    const std::optional<std::int32_t> offset = parseUtcOffset(session.utcOffsetText.data());
    if (!offset) {
        session.loadMessage = "The UTC offset takes hours from -24 to 24 (8, -5.5), not \"" +
                              echoText(session.utcOffsetText.data()) + "\"";
        session.revealData = true;
        return;
    }
    const std::string zone = session.timeZoneText.data();
    if (!zone.empty() && *offset != 0) {
        session.loadMessage = "Give a UTC offset or a time zone, not both";
        session.revealData = true;
        return;
    }
    FrameRequest frame;
    try {
        frame = parseFrameRequest(session.frameText.data());
    } catch (const std::invalid_argument& error) {
        session.loadMessage = "The frame takes SOUTH,WEST,NORTH,EAST in decimal degrees, fit or auto, not \"" +
                              echoText(session.frameText.data()) + "\": " + error.what();
        session.revealData = true;
        return;
    }
    session.loadStarted = std::chrono::steady_clock::now();
    session.tickModesOnLoad = userChoice;
    // Other data starts with every day: its dates are not the old ones.
    if (userChoice) {
        session.dayFilter = DayFilter{};
        session.dayBits = 0x7f;
        session.datesFrom[0] = session.datesTo[0] = '\0';
        session.dayProblem.clear();
    }
    // A load still running is cancelled: the newest Open is what the user wants.
    session.loader.start(path, settings.kernel_size, *offset, zone, frame, session.dayFilter);
    session.loadMessage.clear();
    copyName(session.openName, path);
}

void applyDayChoice() {
    const std::optional<DayFilter> chosen =
        dayFilterOf(session.dayBits, session.datesFrom.data(), session.datesTo.data(), session.dayProblem);
    if (!chosen) return;
    const DayFilter& now = session.dayFilter;
    if (chosen->weekdays == now.weekdays && chosen->first == now.first && chosen->last == now.last) return;
    const bool sameRange = chosen->first == now.first && chosen->last == now.last;
    session.dayFilter = *chosen;
    // Weekdays alone, on an engine that files the samples by weekday: a
    // recompute within the frame, no new index. A load under way takes the
    // choice when it lands (applyFinishedLoad).
    if (sameRange && HeatmapEngine::filtersDayClasses()) {
        settings.day_classes = chosen->dayClasses();
        if (const auto count = analysis::samplesOnDays(session.openDayCounts, *chosen)) session.openCount = *count;
        if (const auto tally = HeatmapEngine::dayClassTally(settings.day_classes)) session.summary = *tally;
        // A summary keeps no samples per date: its day classes' counts.
        if (session.summaryStep > 0)
            session.openCount = chosen->weekdays == 0x7f ? session.summarySamples
                                                         : session.summary.total + session.summary.otherModes;
        return;
    }
    if (!session.openPath.empty()) openData(session.openPath, false);
}

analysis::PerDay shownPerDay() {
    if (!dataset) return {};
    // The weekdays shown: the engine's day classes where it filters them.
    DayFilter shown = session.openDays;
    if (HeatmapEngine::filtersDayClasses()) shown.weekdays = session.dayFilter.weekdays;
    if (session.summaryStep > 0) return analysis::perDayOfDays(session.perDay, shown, session.summaryDays);
    return analysis::perDayFor(session.perDay, shown, dataset->firstDay, dataset->lastDay);
}

bool applyFinishedLoad() {
    std::optional<LoadedData> loaded = session.loader.take();
    if (!loaded) return false;
    if (!loaded->ok()) {
        session.loadMessage = loaded->error;
        session.revealData = true;
        std::cout << loaded->error << std::endl;
        return true;
    }
    for (const std::string& note : loaded->notes) std::cout << note << std::endl;
    // From Open to the engine ready: what the user waited (start-up not included).
    std::printf("\"%s\": opened in %.2f s\n", loaded->path.c_str(),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - session.loadStarted).count());
    std::fflush(stdout);
    const bool newFrame = !dataset || dataset->frame != loaded->dataset->frame;
    if (session.compare.on) {
        // Other samples make B's grid meaningless; the same samples read
        // again for B's days make B anew, for other days (A's) keep it.
        if (newFrame || loaded->path != session.openPath) {
            setCompare(false);
            session.compare.message = "Compare ended: other samples were opened";
        } else if (sameDays(loaded->days, session.compare.daysB)) {
            session.compare.recomputeB = true;
        }
    }
    dataset = std::move(loaded->dataset);
    // The table is round on this frame's ground.
    settings.cell_aspect = cellAspect(dataset->frame);
    HeatmapEngine::install(std::move(loaded->engine), settings);
    if (map_renderer && newFrame) {
        // The shipped map is of the default box; another frame is drawn on a
        // plain ground with its graticule, in its own shape, from the whole view.
        const analysis::MapExtent extent = analysis::mapExtent(dataset->frame);
        map_renderer->showFrame(glm::vec2(extent.x, extent.y), dataset->frame == GeoFrame{}
                                                                   ? MapRenderer::Ground::shippedMap
                                                                   : MapRenderer::Ground::plain);
        map_renderer->reset();
    }
    session.openPath = loaded->path;
    if (newFrame) startBasemap();  // beside the open samples
    session.openCount = dataset->count;
    session.openUtcOffset = loaded->utcOffsetSeconds;
    session.openClock = loaded->clock;
    session.openDates = dateSpanText(dataset->firstDay, dataset->lastDay);
    session.dayBars = dayBars(loaded->dayCounts, kMaxDayBars);
    session.undatedSamples = loaded->dayCounts.undated;
    session.openDayCounts = loaded->dayCounts;
    session.openDays = loaded->days;
    session.summaryStep = loaded->stepSeconds;
    session.summarySamples = loaded->summarySamples;
    session.summaryDays = std::move(loaded->summaryDays);
    if (session.summaryStep > 0) session.openCount = session.summarySamples;
    // The weekdays chosen now (perhaps toggled while the load ran): the
    // engine's day classes where it files the samples by weekday; otherwise
    // its index holds the weekdays it was made for, and a choice that
    // changed since needs another.
    settings.day_classes = HeatmapEngine::filtersDayClasses() ? session.dayFilter.dayClasses() : kAllDayClasses;
    if (HeatmapEngine::filtersDayClasses() && loaded->days.weekdays != session.dayFilter.weekdays &&
        session.summaryStep == 0)
        if (const auto count = analysis::samplesOnDays(session.openDayCounts, session.dayFilter)) session.openCount = *count;
    if (!HeatmapEngine::filtersDayClasses() && loaded->days.weekdays != session.dayFilter.weekdays &&
        loaded->days.first == session.dayFilter.first && loaded->days.last == session.dayFilter.last &&
        dataset->firstDay != kUnknownDay)
        openData(session.openPath, false);
    session.summary = loaded->summary;
    if (const auto tally = HeatmapEngine::dayClassTally(settings.day_classes)) session.summary = *tally;
    if (session.summaryStep > 0 && session.dayFilter.weekdays != 0x7f)
        session.openCount = session.summary.total + session.summary.otherModes;
    session.noSamplesReason = loaded->noSamplesReason;
    session.loadMessage.clear();
    if (session.tickModesOnLoad) tickHeldModes(settings, session.summary.counts);
    // No grid exists for these samples yet: whatever was ticked meanwhile
    // applies now.
    settings.applied_mode_mask = ~settings.mode_mask;
    return true;
}

namespace {
std::vector<float> shown;  // the levels last handed to the screen

// The days a selection's densities are divided by while comparing: those
// it covers of the data's dates; 0 for samples without dates.
std::int64_t compareDays(const DayFilter& days) {
    if (!dataset || dataset->firstDay == kUnknownDay) return 0;
    if (session.summaryStep > 0) return analysis::perDayOfDays(true, days, session.summaryDays).days;
    return analysis::perDayFor(true, days, dataset->firstDay, dataset->lastDay).days;
}

// A selection's grid as the engine computed it, in samples/km² per day:
// densityAtLevel and densityPerKm2 with what they share worked out once a
// grid and once a row, as every change of A needs it within the frame.
std::vector<float> perDayDensities(const std::vector<float>& grid, double densest, bool logScale,
                                   std::int64_t days) {
    std::vector<float> out(grid.size(), 0.0f);
    if (grid.size() != static_cast<std::size_t>(analysis::kSide) * analysis::kSide) return out;
    const GeoFrame frame = openFrame();
    const double logDensest = std::log1p(densest);
    const double divisor = days > 0 ? static_cast<double>(days) : 1.0;
    for (int row = 0; row < analysis::kSide; ++row) {
        const double perCell = 1.0 / (analysis::cellAreaKm2(row, frame) * divisor);
        const std::size_t first = static_cast<std::size_t>(row) * analysis::kSide;
        for (std::size_t i = first; i < first + analysis::kSide; ++i) {
            const float level = grid[i];
            if (!(level > 0.0f)) continue;
            const double density = level >= 1.0f ? densest
                                   : logScale    ? std::expm1(level * logDensest)
                                                 : level * densest;
            out[i] = static_cast<float>(density * perCell);
        }
    }
    return out;
}

// A's grid (the one on screen) against the frozen B: the levels to show.
void compareWithB() {
    ViewerSession::Compare& c = session.compare;
    c.dayCountA = compareDays(session.openDays);
    c.perDayA = perDayDensities(session.lastGrid, session.frameMaximum, session.frameLogScale, c.dayCountA);
    const compare::Difference difference = compare::difference(c.perDayA, c.perDayB);
    c.largest = difference.largest;
    shown = compare::divergingLevels(difference);
}
}  // namespace

const std::vector<float>& acceptGrid(const std::vector<float>& grid) {
    session.lastGrid = grid;
    session.densestRow = analysis::densestRow(grid);
    session.frameMaximum = HeatmapEngine::lastMaximumDensity();
    session.frameLogScale = HeatmapEngine::lastUsedLogScale();
    if (session.frameMaximum > 0.0) session.lockMessage.clear();  // heat to lock at now
    if (session.compare.on && !session.compare.freezePending) compareWithB();
    return shownLevels();
}

void setCompare(bool on) {
    ViewerSession::Compare& c = session.compare;
    c.message.clear();
    if (on && (session.lastGrid.empty() || HeatmapEngine::engineName() == "none")) {
        c.message = "Nothing to compare yet: open samples first";
        return;
    }
    c.on = on;
    c.freezePending = on;
    if (!on) {
        c.perDayA.clear();
        c.perDayB.clear();
        c.samplesB.clear();
        c.recomputeB = false;
        session.scaleChanged = true;  // the normal levels again
    }
}

void freezeCompare() {
    ViewerSession::Compare& c = session.compare;
    if (!c.on || !c.freezePending) return;
    c.freezePending = false;
    c.settingsB = settings;
    c.daysB = session.openDays;
    c.dayCountB = compareDays(c.daysB);
    c.perDayB = perDayDensities(session.lastGrid, session.frameMaximum, session.frameLogScale, c.dayCountB);
    c.samplesB = HeatmapEngine::sampleCounts(settings);
    compareWithB();
    session.scaleChanged = true;  // shown: all zero until A changes
}

void refreshCompareB() {
    ViewerSession::Compare& c = session.compare;
    if (!c.on || c.freezePending || !(settings.kernelChanged() || c.recomputeB)) return;
    c.recomputeB = false;
    // B's samples are indexed only while its days are A's.
    if (!sameDays(c.daysB, session.openDays) || HeatmapEngine::engineName() == "none") return;
    ControlSettings b = settings;
    b.mode_mask = c.settingsB.mode_mask;
    std::copy(std::begin(c.settingsB.mode_selected), std::end(c.settingsB.mode_selected), std::begin(b.mode_selected));
    b.min_time = c.settingsB.min_time;
    b.max_time = c.settingsB.max_time;
    if (settings.kernelChanged()) HeatmapEngine::rebuildKernel(settings);
    const std::vector<float> grid = HeatmapEngine::computeHeatmap(b);
    c.dayCountB = compareDays(c.daysB);
    c.perDayB =
        perDayDensities(grid, HeatmapEngine::lastMaximumDensity(), HeatmapEngine::lastUsedLogScale(), c.dayCountB);
    c.samplesB = HeatmapEngine::sampleCounts(b);
    // The engine's last compute was B's: A's again, for its readout.
    settings.time_changed = true;
}

bool compareKernelFixed() { return session.compare.on && !sameDays(session.compare.daysB, session.openDays); }

std::string compareBText() {
    const ViewerSession::Compare& c = session.compare;
    std::string modes;
    for (const ModeCheckbox& box : kModeCheckboxes)
        if (c.settingsB.mode_mask & box.flag) modes += (modes.empty() ? "" : ", ") + std::string(box.label);
    static const char* const kNames[] = {"Mo", "Tu", "We", "Th", "Fr", "Sa", "Su"};
    std::string days;
    if (c.daysB.weekdays != 0x7f)
        for (int d = 0; d < 7; ++d)
            if ((c.daysB.weekdays >> d) & 1) days += std::string(days.empty() ? "" : ",") + kNames[d];
    if (c.daysB.first != DayFilter{}.first || c.daysB.last != DayFilter{}.last)
        days += (days.empty() ? "" : " ") + formatDay(c.daysB.first) + ".." + formatDay(c.daysB.last);
    std::string text = "B: " + (modes.empty() ? std::string("no mode") : modes) + "; " +
                       analysis::formatClock(c.settingsB.min_time) + "-" + analysis::formatClock(c.settingsB.max_time);
    if (!days.empty()) text += "; " + days;
    text += c.dayCountB > 0 ? "; " + analysis::formatCount(c.dayCountB) + (c.dayCountB == 1 ? " day" : " days")
                            : "; no dates: counts as they are";
    return text;
}

const std::vector<float>& shownLevels() {
    if (session.compare.on && !session.compare.freezePending) return shown;
    const float factor = analysis::lockedLevelFactor(session.frameMaximum, session.frameLogScale, session.scaleLock);
    if (factor == 1.0f) return session.lastGrid;
    analysis::scaleLevels(session.lastGrid, factor, shown);
    return shown;
}

void lockScale(bool wholeDay) {
    double maximum = session.frameMaximum;
    if (wholeDay && HeatmapEngine::engineName() != "none") {
        ControlSettings day = settings;
        day.min_time = 0;
        day.max_time = 86400;
        HeatmapEngine::computeHeatmap(day);
        maximum = HeatmapEngine::lastMaximumDensity();
        settings.time_changed = true;  // the window's own grid again
    }
    // A lock at nothing drawn would hold nothing and stay ticked.
    if (!(maximum > 0.0)) {
        session.lockMessage = wholeDay ? "Nothing to lock: the ticked modes have no samples all day"
                                       : "Nothing to lock yet: tick a mode so heat is drawn";
        return;
    }
    session.lockMessage.clear();
    session.scaleLock = {true, maximum};
    session.scaleChanged = true;
}

void unlockScale() {
    session.lockMessage.clear();
    session.scaleLock.locked = false;
    session.scaleChanged = true;
}

void refreshDefaultNames() {
    const std::time_t now = std::time(nullptr);
    const std::string image = absolute(analysis::defaultOutputName("trackora-map", ".png", now));
    const std::string grid = absolute(analysis::defaultOutputName("trackora-grid", ".tif", now));
    const std::string video = absolute(analysis::defaultOutputName("trackora-day", ".mp4", now));
    if (session.videoName[0] == '\0' || session.lastVideoDefault == session.videoName.data())
        copyName(session.videoName, video);
    session.lastVideoDefault = video;
    if (session.imageName[0] == '\0' || session.lastImageDefault == session.imageName.data())
        copyName(session.imageName, image);
    if (session.gridName[0] == '\0' || session.lastGridDefault == session.gridName.data())
        copyName(session.gridName, grid);
    session.lastImageDefault = image;
    session.lastGridDefault = grid;
}

// What a video export holds while it runs: the writer and what it draws with.
struct VideoExport {
    ColourTable table;
    std::optional<TextFace> face;
    std::optional<DayVideoWriter> writer;
    std::chrono::steady_clock::time_point start;
};

void startVideoExport() {
    if (session.videoExport) return;
    const std::string path = session.videoName.data();
    if (session.lastGrid.empty() || HeatmapEngine::engineName() == "none") {
        reportSave("No samples to make a video of yet", true);
        return;
    }
    if (session.compare.on) {
        reportSave("Video not exported: a video shows one selection; untick Compare first", true);
        return;
    }
    if (const std::string clash = openDataClash(path); !clash.empty()) {
        reportSave("Video not exported: " + clash, true);
        return;
    }
    auto job = std::make_shared<VideoExport>();
    try {
        // The legend's colours as the shader reads them: the table image, density 0 in its top row.
        job->table = readColourTable(runtimeFile("resources/lut.png"));
        job->face.emplace(kFontPath);
        DayVideoRequest request;
        request.settings = settings;
        request.frame = openFrame();
        request.days = shownPerDay().days;
        request.path = path;
        const RgbPicture map = dayVideoGround(request.frame, runtimeFile("resources/map.png"));
        job->writer.emplace(request, map, job->table, *job->face);
    } catch (const std::exception& error) {
        reportSave(std::string("Video not exported: ") + error.what(), true);
        return;
    }
    job->start = std::chrono::steady_clock::now();
    session.videoExport = job;
    session.videoProgress = "Exporting the day as a video";
}

void continueVideoExport() {
    if (!session.videoExport) return;
    VideoExport& job = *session.videoExport;
    DayVideoWriter& writer = *job.writer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    bool more = true;
    while (more && std::chrono::steady_clock::now() < until) more = writer.advance();
    // The engine's last compute was the video's: the window's own grid again.
    settings.time_changed = true;
    if (more) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - job.start).count();
        const std::string left = analysis::timeLeft(elapsed, static_cast<double>(writer.done()) / writer.total());
        const int steps = writer.steps();
        session.videoProgress = writer.done() < steps
                                    ? "Video: the day's maximum, step " + std::to_string(writer.done() + 1) + " of " +
                                          std::to_string(steps)
                                    : "Video: frame " + std::to_string(writer.done() - steps + 1) + " of " +
                                          std::to_string(steps);
        if (!left.empty()) session.videoProgress += ", " + left;
        return;
    }
    const std::string failure = writer.failed();
    session.videoExport.reset();
    session.videoProgress.clear();
    if (!failure.empty()) {
        reportSave("Video not exported: " + failure, true);
        return;
    }
    reportSave("Saved " + absolute(session.videoName.data()), false);
    refreshDefaultNames();
}

void cancelVideoExport() {
    if (!session.videoExport) return;
    session.videoExport.reset();
    session.videoProgress.clear();
    settings.time_changed = true;
    reportSave("Video export cancelled; nothing was written", false);
}

void reportSave(const std::string& message, bool isError) {
    session.saveMessage = message;
    session.saveMessageIsError = isError;
    session.revealData = session.revealData || isError;
    if (isError) std::cout << message << std::endl;
}

std::string openDataClash(const std::string& target) {
    if (session.openPath.empty()) return {};
    const auto sameFile = [](const std::string& a, const std::string& b) {
        struct stat first {};
        struct stat second {};
        return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
               first.st_ino == second.st_ino;
    };
    if (sameFile(target, session.openPath))
        return "\"" + target + "\" is the open data, which the save would destroy";
    if (sameFile(target, frameFilePath(session.openPath)))
        return "\"" + target + "\" is the open data's frame file, which the save would destroy";
    return {};
}

void saveGrid() {
    const std::string path = session.gridName.data();
    if (session.lastGrid.empty()) {
        reportSave("No grid to save yet", true);
        return;
    }
    if (const std::string clash = openDataClash(path); !clash.empty()) {
        reportSave("Grid not saved: " + clash, true);
        return;
    }
    if (session.compare.on && !session.compare.freezePending) {
        // The difference on screen, in the units the legend gives it.
        const ViewerSession::Compare& c = session.compare;
        try {
            const compare::Difference difference = compare::difference(c.perDayA, c.perDayB);
            writeDensityGeoTiff(path, difference.cells, settings, difference.largest, GridValues::perKm2, openFrame(),
                                dataset ? dataset->clock : std::string(),
                                DayCount{c.dayCountA, c.dayCountB, compareBText().substr(3)});
            reportSave("Saved " + absolute(path) + " (A - B)", false);
            refreshDefaultNames();
        } catch (const std::exception& error) {
            reportSave(std::string("Grid not saved: ") + error.what(), true);
        }
        return;
    }
    try {
        saveGridGeoTiff(path, session.lastGrid, settings, session.gridValues, openFrame(),
                        dataset ? dataset->clock : std::string(), shownPerDay().days);
        reportSave("Saved " + absolute(path), false);
        refreshDefaultNames();
    } catch (const std::exception& error) {
        reportSave(std::string("Grid not saved: ") + error.what(), true);
    }
}
