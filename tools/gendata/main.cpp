// trackora-gendata OUTPUT_DIR [--fixes N] [--seed S] [--map resources/map.png]
//                  [--rails resources/railways.png]
// Writes a deterministic raw trajectory tree whose tracks follow the map's
// roads and railways; trackora-import turns it into data/data.bin.
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "model/ModeNames.h"
#include "model/RuntimeFiles.h"
#include "tools/gendata/TrajectoryGenerator.h"

namespace {

const char* kUsage =
    "usage: trackora-gendata OUTPUT_DIR [--fixes N] [--seed S] [--map PNG] [--rails PNG]\n"
    "  OUTPUT_DIR  a directory that does not exist yet (or is empty)\n"
    "  --fixes     fixes inside the box to write, about (default 2000000)\n"
    "  --seed      the random seed; the same seed gives the same tree (default 20081023)\n"
    "  --map       the map image whose roads the tracks follow (default resources/map.png)\n"
    "  --rails     the railway mask trains and subways follow (default railways.png beside the map,\n"
    "              where there is one; \"none\" keeps them on the roads)\n";

template <typename T>
bool number(const std::string& text, T& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    std::string output;
    std::string map = "resources/map.png";
    std::string rails;
    GeneratorOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--fixes" && hasValue) {
            if (!number(argv[++i], options.targetFixes) || options.targetFixes < 1) {
                std::cerr << "trackora-gendata: --fixes takes a positive count\n" << kUsage;
                return 2;
            }
        } else if (arg == "--seed" && hasValue) {
            if (!number(argv[++i], options.seed)) {
                std::cerr << "trackora-gendata: --seed takes a non-negative integer\n" << kUsage;
                return 2;
            }
        } else if (arg == "--map" && hasValue) {
            map = argv[++i];
        } else if (arg == "--rails" && hasValue) {
            rails = argv[++i];
        } else if (arg.empty() || arg[0] == '-' || !output.empty()) {
            std::cerr << "trackora-gendata: unexpected argument \"" << arg << "\"\n" << kUsage;
            return 2;
        } else {
            output = arg;
        }
    }
    if (output.empty()) {
        std::cerr << "trackora-gendata: no OUTPUT_DIR given\n" << kUsage;
        return 2;
    }
    std::error_code error;
    if (std::filesystem::exists(output, error) && !std::filesystem::is_empty(output, error)) {
        std::cerr << "trackora-gendata: \"" << output << "\" exists and is not empty; choose a new directory\n";
        return 1;
    }
    try {
        map = runtimeFile(map);
        const RoadRaster roads = RoadRaster::fromMapImage(map);
        std::optional<RoadRaster> railways;
        if (rails.empty()) {
            // The mask beside the map, where there is one.
            const auto beside = std::filesystem::path(map).parent_path() / "railways.png";
            if (std::filesystem::exists(beside, error)) {
                rails = beside.string();
            } else {
                std::cout << "No railway mask " << beside << ": trains and subways keep to the roads\n";
                rails = "none";
            }
        }
        if (rails != "none") railways = RoadRaster::fromMaskImage(rails);
        const GeneratorReport report =
            generateTrajectoryTree(roads, output, options, railways ? &*railways : nullptr);
        std::cout << "Generated \"" << output << "\": " << report.users << " users, " << report.labelFiles
                  << " label files (" << report.labelLines << " lines), " << report.trajectoryFiles
                  << " trajectory files (" << report.bytes / 1000000 << " MB)\n"
                  << "  fix lines " << report.lines << ", inside the box " << report.inside
                  << ", outside " << report.outside << "\n  by mode:";
        for (int i = 0; i < kModeCount; ++i)
            std::cout << " " << modeDisplayName(kModes[i]) << " " << report.perMode[i];
        std::cout << "\n";
    } catch (const std::exception& e) {
        std::cerr << "trackora-gendata: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
