#include "app/ControlPanel.h"

#include <imgui.h>

#include <algorithm>
#include <chrono>
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "app/DayPlayback.h"
#include "app/MapGeometry.h"
#include "app/ReadoutText.h"
#include "app/AppState.h"
#include "app/Compare.h"
#include "app/MapGuides.h"
#include "settings/ControlSettings.h"
#include "app/PanelRules.h"
#include "app/Session.h"
#include "engine/HeatmapEngine.h"
#include "model/GeoFrame.h"
#include "model/LoadError.h"
#include "model/TrackFiles.h"

namespace {

ImTextureID textureId(GLuint texture) {
    return reinterpret_cast<ImTextureID>(static_cast<std::uintptr_t>(texture));
}

// Where the numbers beside the mode check boxes start.
constexpr float kCountColumn = 150.0f;
constexpr ImU32 kWindowMark = IM_COL32(255, 255, 255, 60);

// At first start the windows sit in the north-west corner, which the
// default data leaves free of heat (hills): the legend in the corner, the
// menu and the data window folded to short title bars beside and below it.
// Opened, a window takes its full size; folded again, its short bar.
struct Fold {
    ImVec2 firstPos;
    ImVec2 openSize;         // the size it opens at (height 0: fits its contents)
    bool seen = false;       // its state in an earlier frame is known
    bool wasFolded = false;
    bool reopen = false;     // opened last frame: its open size again
    int justOpened = 0;      // frames left in which an opened window is kept clear of the menu
};
Fold menuFold{ImVec2(168.0f, 0.0f), ImVec2(330.0f, 0.0f)};
// 300 wide: right of the open menu there is room for it in an 800-pixel window.
Fold dataFold{ImVec2(0.0f, 212.0f), ImVec2(300.0f, 0.0f)};
constexpr float kDataMinWidth = 260.0f;
PanelRect menuRect;          // the open menu this frame (empty when folded)

// Before Begin: where and how large the window is this frame.
void foldBefore(Fold& fold, const char* title) {
    ImGui::SetNextWindowPos(fold.firstPos, ImGuiCond_FirstUseEver);
    ImGui::SetNextWindowCollapsed(true, ImGuiCond_FirstUseEver);
    const float folded = ImGui::CalcTextSize(title, nullptr, true).x + ImGui::GetFontSize() +
                         3.0f * ImGui::GetStyle().FramePadding.x + ImGui::GetStyle().ItemInnerSpacing.x;
    if (!fold.seen)
        ImGui::SetNextWindowSize(ImVec2(folded, fold.openSize.y), ImGuiCond_FirstUseEver);
    else if (fold.reopen)
        ImGui::SetNextWindowSize(fold.openSize, ImGuiCond_Always);
    else if (fold.wasFolded)
        ImGui::SetNextWindowSize(ImVec2(folded, fold.openSize.y), ImGuiCond_Always);
    fold.reopen = false;
}
// After Begin: remembers the open size the user gave it.
void foldAfter(Fold& fold) {
    const bool folded = ImGui::IsWindowCollapsed();
    if (fold.seen && fold.wasFolded && !folded) {
        fold.reopen = true;
        // This frame and the next, when it has its open size.
        fold.justOpened = 2;
    }
    else if (!folded)
        fold.openSize = ImGui::GetWindowSize();
    fold.seen = true;
    fold.wasFolded = folded;
}

// Slides the time window while playback runs; each step is a new grid.
void stepPlayback() {
    if (!session.playback.playing) return;
    const analysis::TimeWindow window = analysis::advancePlayback(session.playback, ImGui::GetIO().DeltaTime);
    if (window.min != settings.min_time || window.max != settings.max_time) {
        settings.min_time = window.min;
        settings.max_time = window.max;
        settings.time_changed = true;
    }
}

// The time window's ends, typed as hh:mm or hh:mm:ss: taken on Enter or
// when the field is left; a time that does not read, or that would put the
// ends out of order, is refused with a line under the fields.
char fromText[16] = {};
char toText[16] = {};
std::string clockProblem;
void clockField(const char* id, char (&text)[16], std::int32_t value, bool isStart) {
    ImGui::SetNextItemWidth(70.0f);
    ImGui::InputText(id, text, sizeof text, ImGuiInputTextFlags_AutoSelectAll);
    if (ImGui::IsItemActivated()) clockProblem.clear();
    if (ImGui::IsItemDeactivated()) {
        const std::optional<std::int32_t> typed = analysis::parseClock(text);
        if (!typed)
            clockProblem = std::string("\"") + text + "\" is not hh:mm or hh:mm:ss";
        else if (isStart ? *typed > settings.max_time : *typed < settings.min_time)
            clockProblem = isStart ? "the start would be after the end" : "the end would be before the start";
        else if (*typed != value) {
            (isStart ? settings.min_time : settings.max_time) = *typed;
            settings.time_changed = true;
            session.playback.playing = false;
        }
    }
    if (!ImGui::IsItemActive()) std::snprintf(text, sizeof text, "%s", analysis::formatClock(isStart ? settings.min_time : settings.max_time).c_str());
}

// The day under the time range: samples per 15 minutes of the ticked modes,
// with the current window marked, then the playback controls.
void showDay() {
    ImGui::Separator();
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Time");
    ImGui::SameLine();
    clockField("##from", fromText, settings.min_time, true);
    ImGui::SameLine();
    ImGui::TextUnformatted("-");
    ImGui::SameLine();
    clockField("##to", toText, settings.max_time, false);
    // Which clock the times are in.
    ImGui::SameLine();
    if (!session.openClock.empty())
        ImGui::TextUnformatted(session.openClock.c_str());
    else
        ImGui::TextDisabled("as imported");
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip(session.openUtcOffset ? "UTC plus the offset the Data window gave when this was opened"
                          : session.openClock.empty()
                              ? "A sample file's times carry the clock it was imported with"
                              : "The clock the times were converted to, when imported or opened");
    if (!clockProblem.empty()) ImGui::TextColored(ImVec4(1.0f, 0.45f, 0.45f, 1.0f), "%s", clockProblem.c_str());
    if (session.summaryStep > 0)
        ImGui::TextUnformatted(analysis::summaryLine(session.summaryStep, session.summarySamples).c_str());
    const std::array<float, analysis::kDayBins> histogram = analysis::histogramFor(session.summary, settings.mode_mask);
    const float width = ImGui::GetContentRegionAvail().x;
    ImGui::PlotHistogram("##day", histogram.data(), analysis::kDayBins, 0, nullptr, 0.0f, FLT_MAX,
                         ImVec2(width, 48.0f));
    const ImVec2 padding = ImGui::GetStyle().FramePadding;
    const ImVec2 low(ImGui::GetItemRectMin().x + padding.x, ImGui::GetItemRectMin().y + padding.y);
    const ImVec2 high(ImGui::GetItemRectMax().x - padding.x, ImGui::GetItemRectMax().y - padding.y);
    const float span = high.x - low.x;
    const float x0 = low.x + span * static_cast<float>(settings.min_time) / 86400.0f;
    const float x1 = low.x + span * static_cast<float>(settings.max_time) / 86400.0f;
    ImDrawList* draw = ImGui::GetWindowDrawList();
    draw->AddRectFilled(ImVec2(x0, low.y), ImVec2(std::max(x1, x0 + 1.0f), high.y), kWindowMark);
    draw->AddRect(ImVec2(x0, low.y), ImVec2(std::max(x1, x0 + 1.0f), high.y), IM_COL32(255, 255, 255, 200));
    ImGui::TextDisabled("samples per 15 min, ticked modes, 0-24 h");
    // A summary counts by step: a longer step is drawn spread evenly over its quarter hours.
    if (session.summaryStep > 900)
        ImGui::TextDisabled("each %d-min step spread evenly over its quarter hours", session.summaryStep / 60);

    analysis::Playback& playback = session.playback;
    if (ImGui::Button(playback.playing ? "Pause" : "Play", ImVec2(60.0f, 0.0f))) {
        if (playback.playing)
            playback.playing = false;
        else
            analysis::startPlayback(playback, settings.min_time);
    }
    ImGui::SameLine();
    int minutes = playback.width / 60;
    ImGui::SetNextItemWidth(100.0f);
    if (ImGui::DragInt("##width", &minutes, 1.0f, 1, 1440, "width %d min", ImGuiSliderFlags_AlwaysClamp))
        playback.width = std::clamp(minutes, 1, 1440) * 60;
    ImGui::SameLine();
    float hoursPerSecond = playback.speed / 3600.0f;
    ImGui::SetNextItemWidth(-1.0f);
    if (ImGui::DragFloat("##speed", &hoursPerSecond, 0.05f, 0.05f, 24.0f, "%.2f h/s", ImGuiSliderFlags_AlwaysClamp))
        playback.speed = std::clamp(hoursPerSecond, 0.05f, 24.0f) * 3600.0f;
}

constexpr ImU32 kErrorText = IM_COL32(255, 110, 110, 255);

// Samples per date from the data's first to its last, the chosen date range
// marked as the time window is on the hour histogram.
void showDayHistogram() {
    const DayBars& bars = session.dayBars;
    if (bars.bars.empty()) return;
    const float width = ImGui::GetContentRegionAvail().x;
    ImGui::PlotHistogram("##dates", bars.bars.data(), static_cast<int>(bars.bars.size()), 0, nullptr, 0.0f, FLT_MAX,
                         ImVec2(width, 48.0f));
    const std::int32_t last = bars.lastDay;
    const std::int32_t from = std::max(session.dayFilter.first, bars.firstDay);
    const std::int32_t to = std::min(session.dayFilter.last, last);
    if (from <= to && (from > bars.firstDay || to < last)) {
        const ImVec2 padding = ImGui::GetStyle().FramePadding;
        const ImVec2 low(ImGui::GetItemRectMin().x + padding.x, ImGui::GetItemRectMin().y + padding.y);
        const ImVec2 high(ImGui::GetItemRectMax().x - padding.x, ImGui::GetItemRectMax().y - padding.y);
        const float step = (high.x - low.x) / static_cast<float>(bars.bars.size());
        const float x0 = low.x + step * static_cast<float>(bars.barOf(from));
        const float x1 = low.x + step * static_cast<float>(bars.barOf(to) + 1);
        ImDrawList* draw = ImGui::GetWindowDrawList();
        draw->AddRectFilled(ImVec2(x0, low.y), ImVec2(x1, high.y), kWindowMark);
        draw->AddRect(ImVec2(x0, low.y), ImVec2(x1, high.y), IM_COL32(255, 255, 255, 200));
    }
    const std::string unit = bars.daysPerBar == 1   ? "day"
                             : bars.daysPerBar == 7 ? "week"
                                                    : std::to_string(bars.daysPerBar / 7) + " weeks";
    ImGui::TextDisabled("samples per %s, %s", unit.c_str(), dateSpanText(bars.firstDay, last).c_str());
    if (session.undatedSamples > 0)
        ImGui::TextDisabled("%s %s without a date", analysis::formatCount(session.undatedSamples).c_str(),
                            session.undatedSamples == 1 ? "sample" : "samples");
}

// The weekday boxes (with weekdays, weekend and all at once) and the date
// range whose samples are shown; disabled, saying why, for samples without
// dates. A weekday change is a recompute where the engine files the samples
// by weekday; a date range indexes the open samples again in the
// background, as a load does (applyDayChoice).
void showDayChoice() {
    const bool dated = dataset && dataset->firstDay != kUnknownDay;
    if (!dated) {
        ImGui::TextDisabled(dataset ? "Days: these samples have no dates (trackora-import keeps them)"
                                    : "Days: no samples open");
        ImGui::BeginDisabled();
    }
    static const char* const kNames[] = {"Mo", "Tu", "We", "Th", "Fr", "Sa", "Su"};
    bool changed = false;
    for (int d = 0; d < 7; ++d) {
        if (d > 0) ImGui::SameLine();
        bool ticked = (session.dayBits >> d) & 1;
        if (ImGui::Checkbox(kNames[d], &ticked)) {
            session.dayBits = static_cast<std::uint8_t>(ticked ? session.dayBits | (1u << d) : session.dayBits & ~(1u << d));
            changed = true;
        }
    }
    for (const auto& [label, bits] : {std::pair{"Weekdays", 0x1f}, std::pair{"Weekend", 0x60}, std::pair{"All days", 0x7f}}) {
        if (std::string(label) != "Weekdays") ImGui::SameLine();
        if (ImGui::SmallButton(label)) {
            session.dayBits = static_cast<std::uint8_t>(bits);
            changed = true;
        }
    }
    // A summary's dates are its own, chosen when it was built.
    const bool summary = session.summaryStep > 0;
    if (dated && summary) ImGui::BeginDisabled();
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Dates");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(100.0f);
    changed |= ImGui::InputTextWithHint("##datesFrom", "yyyy-mm-dd", session.datesFrom.data(), session.datesFrom.size(),
                                        ImGuiInputTextFlags_EnterReturnsTrue);
    ImGui::SameLine();
    ImGui::TextUnformatted("to");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(100.0f);
    changed |= ImGui::InputTextWithHint("##datesTo", "yyyy-mm-dd", session.datesTo.data(), session.datesTo.size(),
                                        ImGuiInputTextFlags_EnterReturnsTrue);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Both ends inclusive; empty for an open end. Enter applies.");
    if (dated && summary) ImGui::EndDisabled();
    if (!dated) ImGui::EndDisabled();
    if (changed) applyDayChoice();
    if (!session.dayProblem.empty()) ImGui::TextColored(ImVec4(1.0f, 0.45f, 0.45f, 1.0f), "%s", session.dayProblem.c_str());
    if (dated && summary) {
        ImGui::PushTextWrapPos(0.0f);
        ImGui::TextDisabled("Dates chosen when the summary is built; no date histogram: a summary keeps which "
                            "days it holds, not their samples");
        ImGui::PopTextWrapPos();
    } else if (dated)
        showDayHistogram();
    // Per day: the densities over the calendar days the selection covers.
    // Compare divides each selection by its own days whatever the box says.
    const bool perDayFixed = !dated || session.compare.on;
    if (perDayFixed) ImGui::BeginDisabled();
    ImGui::Checkbox("Per day", &session.perDay);
    if (perDayFixed) ImGui::EndDisabled();
    if (ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled))
        ImGui::SetTooltip("Densities (readout, legend, Save grid) divided by the days the chosen dates and "
                          "weekdays cover within the data's dates");
    if (dated && session.compare.on) {
        ImGui::SameLine();
        ImGui::TextDisabled("Compare: each its own days");
    }
    const analysis::PerDay perDay = shownPerDay();
    if (dated && session.perDay && !session.compare.on) {
        ImGui::SameLine();
        if (perDay.days > 0)
            ImGui::TextDisabled("%s", perDay.text.c_str());
        else
            ImGui::TextColored(ImVec4(1.0f, 0.45f, 0.45f, 1.0f), "%s", perDay.text.c_str());
    }
}

// The Data window's status: a box of fixed height at its foot, so nothing
// pushes it out of sight: the open file, the load under way with its
// progress and time left, and the last message (an error in red).
void showDataStatus() {
    const float line = ImGui::GetTextLineHeightWithSpacing();
    ImGui::BeginChild("##status", ImVec2(0.0f, 4.0f * line + 2.0f * ImGui::GetStyle().WindowPadding.y), true);
    const LoadStatus status = session.loader.status();
    if (status.loading) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - session.loadStarted).count();
        const std::string left = analysis::timeLeft(elapsed, status.progress);
        ImGui::TextUnformatted(("Loading " + status.path + ": " + status.stage).c_str());
        ImGui::ProgressBar(status.progress, ImVec2(-1.0f, 0.0f), left.empty() ? nullptr : left.c_str());
    } else if (session.openPath.empty()) {
        ImGui::TextDisabled("No samples open");
    } else {
        std::string open = "Open: " + session.openPath + ", " +
                           (session.summaryStep > 0 ? analysis::summaryLine(session.summaryStep, session.openCount)
                                                    : analysis::formatCount(session.openCount) + " samples") +
                           ", dates " + session.openDates;
        if (!session.noSamplesReason.empty()) open += " (" + session.noSamplesReason + ")";
        ImGui::TextWrapped("%s", open.c_str());
    }
    if (session.basemapJob.valid()) {
        // Wrapped: the source's whole path shows in the narrow window.
        ImGui::PushStyleColor(ImGuiCol_Text, ImGui::GetStyleColorVec4(ImGuiCol_TextDisabled));
        ImGui::TextWrapped("Making the basemap from %s...", echoPath(session.basemapJobSource).c_str());
        ImGui::PopStyleColor();
    }
    const bool error = !session.loadMessage.empty() || session.saveMessageIsError;
    const std::string& message = session.loadMessage.empty() ? session.saveMessage : session.loadMessage;
    if (!message.empty()) {
        if (error) ImGui::PushStyleColor(ImGuiCol_Text, kErrorText);
        ImGui::TextWrapped("%s", message.c_str());
        if (error) ImGui::PopStyleColor();
    }
    ImGui::EndChild();
}

// A load or a basemap under way while the Data window is folded: a line
// at the foot of the map, so a long load (half a minute or more for a
// billion samples) is never silent.
void showLoadingLine() {
    const LoadStatus status = session.loader.status();
    const bool basemap = session.basemapJob.valid();
    if ((!status.loading && !basemap) || !dataFold.wasFolded) return;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - session.loadStarted).count();
    const std::string left = analysis::timeLeft(elapsed, status.progress);
    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(ImVec2(viewport->WorkPos.x + viewport->WorkSize.x * 0.5f,
                                   viewport->WorkPos.y + viewport->WorkSize.y - 8.0f),
                            ImGuiCond_Always, ImVec2(0.5f, 1.0f));
    ImGui::SetNextWindowBgAlpha(0.8f);
    ImGui::Begin("##loading", nullptr,
                 ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoSavedSettings |
                     ImGuiWindowFlags_NoFocusOnAppearing | ImGuiWindowFlags_NoNav | ImGuiWindowFlags_NoInputs);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%.0f%%", 100.0f * status.progress);
    if (status.loading)
        ImGui::Text("Loading %s: %s, %s%s%s", status.path.c_str(), status.stage.c_str(), percent,
                    left.empty() ? "" : ", ", left.c_str());
    // It can take a while (seconds for a city, more for a large source).
    if (basemap) ImGui::Text("Making the basemap from %s...", echoPath(session.basemapJobSource).c_str());
    ImGui::End();
}

// Saving the results, then the open file and its loading. The save rows
// come first so they stay in place while load messages come and go.
void showDataWindow() {
    foldBefore(dataFold, "Data");
    if (session.revealData) ImGui::SetNextWindowCollapsed(false, ImGuiCond_Always);
    session.revealData = false;
    ImGui::Begin("Data");
    foldAfter(dataFold);
    if (dataFold.justOpened > 0) {
        // Opened, it covers none of the open menu's controls.
        --dataFold.justOpened;
        const ImVec2 position = ImGui::GetWindowPos();
        const ImVec2 size = ImGui::GetWindowSize();
        const ImVec2 display = ImGui::GetIO().DisplaySize;
        const PanelPlace place = placeClearOf({position.x, position.y, size.x, size.y}, menuRect, kDataMinWidth,
                                              {display.x, display.y});
        if (place.at.x != position.x || place.at.y != position.y) ImGui::SetWindowPos(ImVec2(place.at.x, place.at.y));
        if (place.width != size.x) {
            ImGui::SetWindowSize(ImVec2(place.width, size.y));
            dataFold.openSize.x = place.width;
        }
    }
    const float buttons = 90.0f;
    if (session.imageName[0] == '\0' && session.gridName[0] == '\0' && session.videoName[0] == '\0')
        refreshDefaultNames();
    ImGui::SetNextItemWidth(-buttons);
    ImGui::InputText("##image", session.imageName.data(), session.imageName.size());
    ImGui::SameLine();
    if (ImGui::Button("Save image", ImVec2(-1.0f, 0.0f))) {
        clearMessages();
        session.saveImageRequested = true;
    }
    ImGui::SetNextItemWidth(-buttons);
    ImGui::InputText("##grid", session.gridName.data(), session.gridName.size());
    ImGui::SameLine();
    if (ImGui::Button("Save grid", ImVec2(-1.0f, 0.0f))) {
        clearMessages();
        saveGrid();
    }
    // Its button is wider than the others: its name is longer.
    const float videoButton = ImGui::CalcTextSize("Export video...").x + 2.0f * ImGui::GetStyle().FramePadding.x +
                              ImGui::GetStyle().ItemSpacing.x;
    if (session.videoExport) {
        // Made a few steps per frame: the map stays live meanwhile.
        ImGui::AlignTextToFramePadding();
        ImGui::TextUnformatted(session.videoProgress.c_str());
        ImGui::SameLine(ImGui::GetWindowContentRegionMax().x - videoButton + ImGui::GetStyle().ItemSpacing.x);
        if (ImGui::Button("Cancel", ImVec2(-1.0f, 0.0f))) cancelVideoExport();
    } else {
        ImGui::SetNextItemWidth(-videoButton);
        ImGui::InputText("##video", session.videoName.data(), session.videoName.size());
        if (ImGui::IsItemHovered())
            ImGui::SetTooltip("The day as a video of the ticked modes, kernel and scale: a frame per 15 minutes,\n"
                              "8 a second, the colours locked to the densest. .mp4, .webm, .mkv, .mov or .gif\n"
                              "need ffmpeg; a name holding %%04d gets numbered PNG files.");
        ImGui::SameLine();
        if (ImGui::Button("Export video...", ImVec2(-1.0f, 0.0f))) {
            clearMessages();
            startVideoExport();
        }
    }
    ImGui::SetNextItemWidth(-buttons);
    const bool typed = ImGui::InputText("##open", session.openName.data(), session.openName.size(),
                                        ImGuiInputTextFlags_EnterReturnsTrue);
    ImGui::SameLine();
    if (ImGui::Button("Open", ImVec2(-1.0f, 0.0f)) || typed) openData(session.openName.data());
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("UTC offset");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(50.0f);
    const bool offsetTyped = ImGui::InputText("##utc", session.utcOffsetText.data(), session.utcOffsetText.size(),
                                              ImGuiInputTextFlags_CharsDecimal | ImGuiInputTextFlags_EnterReturnsTrue);
    ImGui::SameLine();
    ImGui::TextDisabled("h, trees and tracks");
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Added to their UTC times when they are opened (8, -5.5).\n"
                          "A sample file's times were shifted when it was imported.");
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Time zone");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(180.0f);
    const bool zoneTyped = ImGui::InputText("##tz", session.timeZoneText.data(), session.timeZoneText.size(),
                                            ImGuiInputTextFlags_EnterReturnsTrue);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("A zone name such as America/Los_Angeles: raw trees and track files get its\n"
                          "rules at each fix's date, daylight saving included. Empty: the UTC offset.");
    if (offsetTyped || zoneTyped) openData(session.openName.data());
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Frame");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(-1.0f);
    const bool frameTyped = ImGui::InputTextWithHint("##frame", "auto, fit or S,W,N,E",
                                                     session.frameText.data(), session.frameText.size(),
                                                     ImGuiInputTextFlags_EnterReturnsTrue);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("The box a raw tree, text sample file or track file is kept in, applied on Open.\n"
                          "auto: the default box when it holds most of the points, else fitted to them.\n"
                          "A sample file keeps the frame it was imported in.");
    if (frameTyped) openData(session.openName.data());
    showDayChoice();
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted("Basemap");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(-50.0f);
    const bool basemapTyped = ImGui::InputText("##basemap", session.basemapName.data(), session.basemapName.size(),
                                               ImGuiInputTextFlags_EnterReturnsTrue);
    ImGui::SameLine();
    if (ImGui::Button("Use") || basemapTyped) useBasemap();
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("For samples in another city's frame: a raster with a georeference (GeoTIFF,\n"
                          "GeoPackage, MBTiles, PNG with its world file) or an OpenStreetMap extract\n"
                          "(.osm, .osm.pbf). Empty: the plain ground with its graticule.");
    showDataStatus();
    ImGui::End();
}

// Latitude, longitude, density and samples of the cell under the cursor,
// beside the cursor, while it is over the map and not over a window; never
// over the legend.
void showReadout() {
    const ImGuiIO& io = ImGui::GetIO();
    if (!map_renderer || io.WantCaptureMouse || !ImGui::IsMousePosValid()) return;
    const MapView& view = map_renderer->currentView();
    const glm::vec2 extent = map_renderer->extent();
    const analysis::MapPoint point =
        analysis::mapPointAt(io.MousePos.x, io.MousePos.y, io.DisplaySize.x, io.DisplaySize.y,
                             analysis::ViewTransform{view.zoomLevel, view.translation.x, view.translation.y, extent.x,
                                                     extent.y});
    if (!point.onMap()) return;
    const analysis::GridCell cell = analysis::cellAt(point);
    const HeatmapEngine::CellValue value = HeatmapEngine::cellValue(cell.row, cell.col);
    const ViewerSession::Compare& c = session.compare;
    const std::size_t index = static_cast<std::size_t>(cell.row) * analysis::kSide + static_cast<std::size_t>(cell.col);
    const bool comparing = c.on && index < c.perDayA.size() && index < c.perDayB.size() && index < c.samplesB.size();
    const std::string text =
        comparing ? compare::readoutText(point,
                                         {c.perDayA[index], c.perDayB[index], value.samples,
                                          static_cast<std::int64_t>(c.samplesB[index])},
                                         openFrame(), c.dayCountA, c.dayCountB)
                  : analysis::readoutText(point, value.density, value.samples, openFrame(), shownPerDay().days);
    const ImVec2 padding = ImGui::GetStyle().WindowPadding;
    const ImVec2 textSize = ImGui::CalcTextSize(text.c_str());
    const PanelPoint at = placeReadout({io.MousePos.x, io.MousePos.y},
                                       {textSize.x + 2.0f * padding.x, textSize.y + 2.0f * padding.y},
                                       session.legendRect, {io.DisplaySize.x, io.DisplaySize.y});
    ImGui::SetNextWindowPos(ImVec2(at.x, at.y));
    ImGui::BeginTooltip();
    ImGui::TextUnformatted(text.c_str());
    ImGui::EndTooltip();
}

// On the first frame, a window restored from imgui.ini outside the display
// is moved back inside; after that the user places it freely.
void bringInsideOnce(bool& done) {
    if (done) return;
    done = true;
    const ImVec2 position = ImGui::GetWindowPos();
    const ImVec2 size = ImGui::GetWindowSize();
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const PanelPoint place = placeInside({position.x, position.y}, {size.x, size.y}, {display.x, display.y});
    if (place.x != position.x || place.y != position.y) ImGui::SetWindowPos(ImVec2(place.x, place.y));
}

bool menuPlaced = false;
bool legendPlaced = false;

constexpr float kLegendBar = 150.0f;  // the colour bar's height

// The colour scale in a compact box, at the top-left corner on first use:
// the unit, the bar with five ticks labelled in samples per km², and, with
// the scale locked, the frame's own maximum.
void showLegend() {
    const bool comparing = session.compare.on;
    session.legend =
        comparing ? compare::divergingLegend(session.compare.largest,
                                             session.compare.dayCountA > 0 || session.compare.dayCountB > 0)
                  : analysis::legendFor(session.frameMaximum, session.frameLogScale, session.densestRow,
                                        session.scaleLock, openFrame(), shownPerDay().days);
    const analysis::Legend& legend = session.legend;
    ImGui::SetNextWindowPos(ImVec2(0.0f, 0.0f), ImGuiCond_FirstUseEver);
    ImGui::Begin("LUT", nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_AlwaysAutoResize | ImGuiWindowFlags_NoScrollbar);
    bringInsideOnce(legendPlaced);
    // Room for a usual label from the start, so the box keeps its size when
    // the first grid arrives.
    float labelWidth = ImGui::CalcTextSize("888k").x;
    for (const std::string& label : legend.labels) labelWidth = std::max(labelWidth, ImGui::CalcTextSize(label.c_str()).x);
    ImGui::TextUnformatted(legend.unit.c_str());
    const float half = ImGui::GetFontSize() * 0.5f;
    ImGui::Dummy(ImVec2(0.0f, half * 0.5f));
    if (comparing) {
        ImGui::Dummy(ImVec2(10.0f, kLegendBar));
        drawDivergingBar(*ImGui::GetWindowDrawList(), ImGui::GetItemRectMin(), ImGui::GetItemRectMax());
    } else {
        ImGui::Image(textureId(lut_texture), ImVec2(10.0f, kLegendBar), ImVec2(0.0f, 0.0f), ImVec2(1.0f, 1.0f),
                     ImVec4(1.0f, 1.0f, 1.0f, 1.0f), ImVec4(0.0f, 0.0f, 0.0f, 0.0f));
    }
    const ImVec2 bar = ImGui::GetItemRectMin();
    const ImVec2 barEnd = ImGui::GetItemRectMax();
    ImGui::SameLine(0.0f, 0.0f);
    ImGui::Dummy(ImVec2(8.0f + labelWidth, kLegendBar));
    ImDrawList* draw = ImGui::GetWindowDrawList();
    for (std::size_t i = 0; i < legend.ticks.size(); ++i) {
        const float y = bar.y + (1.0f - legend.ticks[i].level) * (barEnd.y - bar.y);
        draw->AddLine(ImVec2(barEnd.x, y), ImVec2(barEnd.x + 5.0f, y), IM_COL32(220, 220, 220, 255));
        draw->AddText(ImVec2(barEnd.x + 8.0f, y - half), IM_COL32(220, 220, 220, 255), legend.labels[i].c_str());
    }
    ImGui::Dummy(ImVec2(0.0f, half * 0.5f));
    if (!legend.frameMaximum.empty()) ImGui::TextDisabled("%s", legend.frameMaximum.c_str());
    session.legendRect = {ImGui::GetWindowPos().x, ImGui::GetWindowPos().y, ImGui::GetWindowSize().x,
                          ImGui::GetWindowSize().y};
    ImGui::End();
}

// Sigma and the table's reach in metres on the open frame's ground, a sigma
// typed in metres, and a line when Size cuts the Gaussian short.
void showKernelOnTheGround() {
    const GeoFrame frame = openFrame();
    const double cellMetres = cellHeightMetres(frame);
    const HeatmapEngine::TableShape table = HeatmapEngine::tableShape(settings);
    static double typedMetres = 0.0;
    static bool editing = false;
    if (!editing) typedMetres = static_cast<double>(settings.sigma) * cellMetres;
    ImGui::SetNextItemWidth(ImGui::GetFontSize() * 6.0f);
    if (ImGui::InputDouble("Sigma [m]", &typedMetres, 0.0, 0.0, "%.1f",
                          ImGuiInputTextFlags_EnterReturnsTrue | ImGuiInputTextFlags_AutoSelectAll)) {
        const std::optional<float> cells = sigmaFromMetres(typedMetres, cellMetres);
        session.sigmaRefused = !cells;
        if (cells) {
            settings.sigma = *cells;
            settings.sigma_changed = true;
        }
    }
    editing = ImGui::IsItemActive();
    ImGui::SameLine();
    ImGui::TextDisabled("reach %.0f m", (table.rows / 2) * cellMetres);
    if (session.sigmaRefused)
        ImGui::TextColored(ImVec4(1.0f, 0.6f, 0.4f, 1.0f), "Sigma takes 0 to %.0f m here",
                           (kPanelMaxKernelSize - 1) / 4.0 * cellMetres);
    const std::string cut = HeatmapEngine::kernelCutShort(settings);
    if (!cut.empty()) {
        ImGui::PushTextWrapPos(ImGui::GetFontSize() * 22.0f);
        ImGui::TextDisabled("%s", cut.c_str());
        ImGui::PopTextWrapPos();
    }
}

}  // namespace

void showControlPanel() {
    // Opens wide enough for the time range and its label; the height fits
    // the contents.
    stepPlayback();
    foldBefore(menuFold, "Main Menu");
    ImGui::Begin("Main Menu");
    foldAfter(menuFold);
    bringInsideOnce(menuPlaced);
    menuRect = ImGui::IsWindowCollapsed() ? PanelRect{}
                                          : PanelRect{ImGui::GetWindowPos().x, ImGui::GetWindowPos().y,
                                                      ImGui::GetWindowSize().x, ImGui::GetWindowSize().y};
    ImGui::Text("Kernel Density Estimation");
    // B is computed again for a new kernel only from the samples indexed now.
    const bool kernelFixed = compareKernelFixed();
    if (kernelFixed) ImGui::BeginDisabled();
    if (ImGui::SliderFloat("Sigma", &settings.sigma, 1.0f, 10.0f, "%.3f")) {
        settings.sigma_changed = true;
        session.sigmaRefused = false;
        settings.sigma = sanitizeTypedSigma(settings.sigma);
    }
    if (ImGui::InputInt("Size", &settings.kernel_size, 2, 10)) {
        settings.kernel_size_changed = true;
        settings.kernel_size = applySizeRule(settings.kernel_size);
    }
    showKernelOnTheGround();
    if (kernelFixed) ImGui::EndDisabled();  // why: under the Compare box
    ImGui::Text("Transportation mode");
    for (int i = 0; i < kModeCount; ++i) {
        const std::int64_t count = session.summary.counts[static_cast<std::size_t>(i)];
        if (count == 0) ImGui::PushStyleColor(ImGuiCol_Text, ImGui::GetStyleColorVec4(ImGuiCol_TextDisabled));
        if (ImGui::Checkbox(kModeCheckboxes[i].label, &settings.mode_selected[i]))
            settings.toggleMode(kModeCheckboxes[i].flag);
        ImGui::SameLine(kCountColumn);
        ImGui::TextUnformatted(analysis::formatCount(count).c_str());
        if (count == 0) ImGui::PopStyleColor();
    }
    ImGui::Spacing();
    if (session.summaryStep > 0) {
        // A summary's window moves a step at a time: the range is of its
        // steps, first and last taken whole, at the seconds' drag speed.
        const std::int32_t step = session.summaryStep;
        const int steps = 86400 / step;
        int first = std::clamp(settings.min_time / step, 0, steps - 1);
        int last = std::clamp(settings.max_time >= 86400 ? steps - 1 : settings.max_time / step, first, steps - 1);
        if (ImGui::DragIntRange2("Time [steps]", &first, &last, 100.0f / static_cast<float>(step), 0, steps - 1,
                                 "First: %i", "Last: %i", ImGuiSliderFlags_NoInput)) {
            settings.min_time = first * step;
            settings.max_time = last == steps - 1 ? 86400 : (last + 1) * step - 1;
            settings.time_changed = true;
        }
    } else if (ImGui::DragIntRange2("Time [s]", &settings.min_time, &settings.max_time, 100.0f, 0, 86400, "Min: %i",
                                    "Max: %i", ImGuiSliderFlags_NoInput)) {
        settings.time_changed = true;
    }
    // Taking hold of the range stops playback, so the user's drag wins.
    if (ImGui::IsItemActive()) session.playback.playing = false;
    ImGui::Spacing();
    // Compare shows a signed difference, on a linear scale symmetric about 0.
    const bool comparing = session.compare.on;
    if (comparing) ImGui::BeginDisabled();
    if (ImGui::Checkbox("Use Log Scale", &settings.use_log_scale)) settings.log_scale_changed = true;
    if (comparing) ImGui::EndDisabled();
    // Beside the log box, so the rows under it stay where they were.
    ImGui::SameLine(ImGui::GetFontSize() * 11.0f);
    bool compareTicked = comparing;
    if (ImGui::Checkbox("Compare", &compareTicked)) setCompare(compareTicked);
    if (ImGui::IsItemHovered())
        ImGui::SetTooltip("Freeze the selection shown (modes, time, weekdays, dates, days) as B; further changes\n"
                          "edit A, and the map shows A per day - B per day: red where A is denser, blue where B is");
    if (comparing) ImGui::BeginDisabled();
    bool locked = session.scaleLock.locked;
    if (ImGui::Checkbox("Lock scale", &locked)) {
        if (locked)
            lockScale(false);
        else
            unlockScale();
    }
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("Keep the colour scale's top at its current value");
    ImGui::SameLine();
    if (ImGui::Button("at the day's maximum")) lockScale(true);
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("Lock the scale at the densest cell of the whole day, ticked modes");
    if (comparing) ImGui::EndDisabled();
    if (!session.lockMessage.empty()) ImGui::TextColored(ImVec4(1.0f, 0.6f, 0.4f, 1.0f), "%s", session.lockMessage.c_str());
    if (session.compare.on && !session.compare.freezePending) {
        ImGui::PushTextWrapPos(ImGui::GetContentRegionMax().x);
        ImGui::TextDisabled("%s", compareBText().c_str());
        ImGui::TextDisabled("Log and lock off: the difference is signed, its scale linear about 0");
        if (compareKernelFixed())
            ImGui::TextDisabled("Kernel kept: B's days are not indexed now, so B could not follow it");
        ImGui::PopTextWrapPos();
    }
    if (!session.compare.message.empty())
        ImGui::TextColored(ImVec4(1.0f, 0.6f, 0.4f, 1.0f), "%s", session.compare.message.c_str());
    ImGui::Spacing();
    if (ImGui::Button("Reset Map")) map_renderer->reset();
    showDay();
    // Typed times and playback too: a summary's window is whole steps.
    if (session.summaryStep > 0) {
        const analysis::TimeWindow snapped =
            analysis::snapToSteps({settings.min_time, settings.max_time}, session.summaryStep);
        if (snapped.min != settings.min_time || snapped.max != settings.max_time) {
            settings.min_time = snapped.min;
            settings.max_time = snapped.max;
            settings.time_changed = true;
        }
    }
    ImGui::End();

    showLegend();
    showDataWindow();
    showLoadingLine();
    showReadout();
}
