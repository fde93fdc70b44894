#pragma once
// trackora-summary: builds a summary (model/Summary.h) from anything the
// importer reads, merges summaries of one frame and step, and describes one.
#include <iosfwd>
#include <string>
#include <vector>

// The whole tool on its arguments (without the program name): output on
// `out`, one line per problem on `err`. Returns the exit status: 0 done, 1 a
// file could not be read or written (nothing written), 2 a bad command line.
int runSummaryTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
