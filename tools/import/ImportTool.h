#pragma once
// trackora-import: turns a raw trajectory tree, a GPS track file, a text
// sample file or a binary sample file into the viewer's binary sample file,
// normalised, writing the records as they are read and replacing the target
// only once the new file is complete.
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "model/GeoFrame.h"
#include "model/TrackFiles.h"

struct ImportOptions {
    std::string input;
    std::string output = "data/data.bin";
    std::int32_t limit = -1;
    bool skipBadLines = false;  // skip and count lines that break their format
    bool showProgress = false;  // a progress bar on the error stream
    unsigned threads = 0;       // threads that parse a tree's files; 0 takes one per core
    TrackOptions tracks;        // --utc-offset, --mode, --mode-field, --visits, --track-column
    std::string timeZone;       // --tz: an IANA zone name, located when the import runs
    // --box: the frame kept and normalised over (default: the default box),
    // or fitted to the data.
    std::optional<GeoFrame> box;
    bool fitBox = false;
};

// Parses the command line (with CLI11); false with a one-line message in
// `error` on a bad one. `help` is set for -h/--help.
bool parseImportArguments(const std::vector<std::string>& args, ImportOptions& options, bool& help,
                          std::string& error);

// The help CLI11 generates from the options' descriptions.
std::string importUsage();

// The whole import: load, write, summary on `out`, errors on `err`.
// Returns the process exit status. `whileLoading` runs once the temporary
// output exists and before the load starts (tests interrupt it there).
int runImport(const ImportOptions& options, std::ostream& out, std::ostream& err,
              const std::function<void()>& whileLoading = {});
