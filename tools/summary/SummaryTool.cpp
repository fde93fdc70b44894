#include "tools/summary/SummaryTool.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <ostream>

#include "cpu/SummaryBuilder.h"
#include "gis/TimeZone.h"
#include "model/OutputFile.h"
#include "model/SampleDays.h"
#include "model/Summary.h"
#include "model/TrackFiles.h"
#include "model/TrajectoryLoader.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kTool = "trackora-summary";

struct BuildOptions {
    std::vector<std::string> inputs;
    std::string output;
    std::string step = "15m";
    std::string box;
    std::string timeZone;
    std::string utcOffset;
    std::string dates;
    bool visits = false;
};

// A problem with the command line or an input, reported before anything is written.
struct Refusal {
    int status;
    std::string line;
};

// "FROM..TO", either end left open ("2024-01-01..", "..2024-06-30").
std::optional<DayFilter> parseDates(const std::string& text) {
    const std::size_t dots = text.find("..");
    if (dots == std::string::npos) return std::nullopt;
    DayFilter filter;
    const std::string from = text.substr(0, dots);
    const std::string to = text.substr(dots + 2);
    if (!from.empty()) {
        const auto day = parseDay(from);
        if (!day) return std::nullopt;
        filter.first = *day;
    }
    if (!to.empty()) {
        const auto day = parseDay(to);
        if (!day) return std::nullopt;
        filter.last = *day;
    }
    if (filter.first > filter.last) return std::nullopt;
    return filter;
}

bool isRecordings(const std::string& path) {
    std::error_code ignored;
    return fs::is_directory(path, ignored) || isTrackFile(path) || isRecordingFile(path);
}

int build(const BuildOptions& options, std::ostream& out, std::ostream& err) {
    const auto refuse = [&](int status, const std::string& line) {
        err << kTool << ": " << line << "\n";
        return status;
    };
    const auto step = parseSummaryStep(options.step);
    if (!step) return refuse(2, "--step \"" + echoText(options.step) + "\" is not one of 1m, 5m, 10m, 15m, 30m, 60m");
    std::optional<DayFilter> dates;
    if (!options.dates.empty() && !(dates = parseDates(options.dates)))
        return refuse(2, "--dates takes FROM..TO (yyyy-mm-dd, FROM not after TO), not \"" +
                             echoText(options.dates) + "\"");
    if (!options.timeZone.empty() && !options.utcOffset.empty())
        return refuse(2, "--tz and --utc-offset both set the clock: give one");
    TrackOptions tracks;
    tracks.visits = options.visits;
    if (!options.utcOffset.empty()) {
        const auto offset = parseUtcOffset(options.utcOffset);
        if (!offset) return refuse(2, "--utc-offset takes hours from -24 to 24, not \"" + echoText(options.utcOffset) + "\"");
        tracks.utcOffsetSeconds = *offset;
    }
    if (!options.timeZone.empty()) {
        try {
            tracks.zone = gis::TimeZone::locate(options.timeZone);
        } catch (const std::exception& e) {
            return refuse(2, "--tz: " + echoText(e.what()));
        }
    }
    std::optional<GeoFrame> box;
    if (!options.box.empty()) {
        try {
            box = parseFrame(options.box);
        } catch (const std::exception& e) {
            return refuse(2, "--box: " + echoText(e.what()));
        }
    }
    const bool shifted = tracks.zone || tracks.utcOffsetSeconds != 0;
    const std::string toolClock = shifted ? clockName(tracks) : std::string();

    // The frame and clock every input must share: --box and the clock
    // options, else the first sample file's own.
    std::optional<GeoFrame> frame = box;
    std::string clock = toolClock;
    std::string clockFrom;
    for (const std::string& input : options.inputs) {
        std::error_code status;
        if (!fs::exists(input, status)) return refuse(1, pathMessage(input, "no such file or directory"));
        const bool recordings = isRecordings(input);
        if (options.visits && !recordings)
            return refuse(2, pathMessage(input, "--visits folds the fixes of tracks; a sample file holds none"));
        if (tracks.zone && !recordings)
            return refuse(2, pathMessage(input, "--tz needs each fix's date; a sample file has times of day only"));
        if (!hasBinaryExtension(input) || recordings) continue;
        try {
            const GeoFrame own = readFrameFile(input);
            if (frame && !(own == *frame))
                return refuse(2, pathMessage(input, "its samples are normalised over " + frameText(own) + ", not " +
                                                        frameText(*frame)));
            frame = own;
            const std::string ownClock = readFrameClock(input);
            if (!ownClock.empty() && shifted)
                return refuse(2, pathMessage(input, "its times are in " + echoText(ownClock) +
                                                        " already; leave out --tz and --utc-offset"));
            if (!shifted && !clockFrom.empty() && ownClock != clock)
                return refuse(2, pathMessage(input, "its times are in " + echoText(ownClock.empty() ? "UTC" : ownClock) +
                                                        ", those of " + echoPath(clockFrom) + " in " +
                                                        echoText(clock.empty() ? "UTC" : clock)));
            if (!shifted) {
                clock = ownClock;
                clockFrom = input;
            }
        } catch (const std::exception& e) {
            return refuse(1, loadFailureMessage(input, e));
        }
    }
    if (clock.empty()) clock = "UTC";

    removeTemporaryFilesOnSignals();
    std::uint64_t leftOut = 0;
    try {
        OutputFile output(options.output);  // fails early when the target is unwritable
        for (const std::string& input : options.inputs) output.refuseSameFile(input);
        engine::SummaryBuilder builder(frame.value_or(GeoFrame{}), *step, clock);
        std::vector<Datapoint> kept;
        std::vector<std::int32_t> keptDays;
        for (const std::string& input : options.inputs) {
            TrajectoryLoader loader;
            loader.frame = frame.value_or(GeoFrame{});
            loader.tracks = tracks;
            try {
                loader.loadDated(input, -1, true, [&](std::vector<Datapoint>& fixes, std::vector<std::int32_t>& days) {
                    if (!dates) {
                        builder.add(fixes.data(), days.data(), fixes.size());
                        return;
                    }
                    kept.clear();
                    keptDays.clear();
                    for (std::size_t i = 0; i < fixes.size(); ++i)
                        if (days[i] != kUnknownDay && days[i] >= dates->first && days[i] <= dates->last) {
                            kept.push_back(fixes[i]);
                            keptDays.push_back(days[i]);
                        }
                    leftOut += fixes.size() - kept.size();
                    builder.add(kept.data(), keptDays.data(), kept.size());
                });
            } catch (const OutputError&) {
                throw;
            } catch (const std::exception& e) {
                err << kTool << ": " << loadFailureMessage(input, e) << "\n";
                err << kTool << ": nothing written; \"" << echoPath(options.output) << "\" is unchanged\n";
                return 1;
            }
            for (const auto& [path, reason] : loader.report.unreadable)
                err << kTool << ": warning: skipped \"" << echoPath(path) << "\": " << echoText(reason, kReasonCharacters)
                    << "\n";
        }
        const Summary summary = builder.finish();
        const std::string bytes = encodeSummary(summary);
        output.write(bytes.data(), bytes.size());
        output.commit();
        out << "wrote " << options.output << " (" << bytes.size() << " bytes)\n" << summaryInfo(summary);
        if (dates) out << "left out by --dates: " << leftOut << "\n";
    } catch (const std::exception& e) {
        err << kTool << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}

int merge(const std::vector<std::string>& inputs, const std::string& output, std::ostream& out, std::ostream& err) {
    try {
        OutputFile file(output);
        for (const std::string& input : inputs) file.refuseSameFile(input);
        Summary sum;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            Summary next = readSummary(inputs[i]);
            if (i == 0)
                sum = std::move(next);
            else
                mergeSummary(sum, next, inputs[i]);
        }
        const std::string bytes = encodeSummary(sum);
        file.write(bytes.data(), bytes.size());
        file.commit();
        out << "wrote " << output << " (" << bytes.size() << " bytes)\n" << summaryInfo(sum);
    } catch (const std::exception& e) {
        err << kTool << ": " << e.what() << "; nothing written\n";
        return 1;
    }
    return 0;
}

}  // namespace

int runSummaryTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CLI::App app{"Summaries of GPS samples: counts per cell, mode, step of the day and weekday, that add.",
                 kTool};
    app.require_subcommand(1);
    BuildOptions options;
    CLI::App* buildCommand = app.add_subcommand("build", "Summarise samples, recordings or track files");
    buildCommand->add_option("inputs", options.inputs, "Sample files, raw recording trees, GPX/CSV/GeoJSON track files")
        ->required();
    buildCommand->add_option("-o,--output", options.output, "The summary to write (.tsum)")->required();
    buildCommand->add_option("--step", options.step, "Step of the day: 1m, 5m, 10m, 15m, 30m or 60m")
        ->capture_default_str();
    buildCommand->add_option("--box", options.box, "SOUTH,WEST,NORTH,EAST: the frame (default: the sample files' own)");
    buildCommand->add_option("--tz", options.timeZone, "The time zone clock times are converted to (recordings, track files)");
    buildCommand->add_option("--utc-offset", options.utcOffset, "Hours added to every clock time, e.g. 8 or -5.5");
    buildCommand->add_option("--dates", options.dates, "FROM..TO (yyyy-mm-dd): only the samples of these days");
    buildCommand->add_flag("--visits", options.visits, "Fold each track's consecutive fixes in one cell into its first");

    std::vector<std::string> mergeInputs;
    std::string mergeOutput;
    CLI::App* mergeCommand = app.add_subcommand("merge", "Add summaries of one frame and step");
    mergeCommand->add_option("inputs", mergeInputs, "The summaries to add")->required()->check(CLI::ExistingFile);
    mergeCommand->add_option("-o,--output", mergeOutput, "The sum to write (.tsum)")->required();

    std::string infoInput;
    CLI::App* infoCommand = app.add_subcommand("info", "Print a summary's header and totals");
    infoCommand->add_option("file", infoInput, "The summary")->required()->check(CLI::ExistingFile);

    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << (app.get_subcommands().empty() ? app.help() : app.get_subcommands().front()->help());
        return 0;
    } catch (const CLI::ParseError& e) {
        err << kTool << ": " << e.what() << " (--help lists the options)\n";
        return 2;
    }
    if (buildCommand->parsed()) return build(options, out, err);
    if (mergeCommand->parsed()) return merge(mergeInputs, mergeOutput, out, err);
    if (!infoCommand->parsed()) return 2;
    try {
        out << summaryInfo(readSummary(infoInput));
    } catch (const std::exception& e) {
        err << kTool << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}
