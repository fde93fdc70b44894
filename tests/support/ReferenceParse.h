#pragma once
// The straightforward reading of the raw formats: std::getline, std::stof
// and std::get_time on a std::istringstream for every field. The fast
// parsers are checked against it and measured against it; nothing on the
// load path uses it.
#include <istream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/Datapoint.h"
#include "model/FastParse.h"
#include "model/LabelIndex.h"
#include "model/RawFormats.h"

// std::stof(std::string(text)), its exceptions turned into a status.
FloatResult referenceFloat(std::string_view text);

// std::get_time(&tm, format) on a zeroed std::tm.
TimeFields referenceTimeFields(std::string_view text, const char* format);

// One trajectory file, line by line, with the same results and the same
// errors as parseTrajectoryText.
std::vector<Datapoint> referenceParseTrajectory(std::istream& in, const std::string& path,
                                                bool normalize, const LabelIndex& labels,
                                                const FrameBounds& frame);

// One label file, line by line, like parseLabelsText.
LabelIndex referenceParseLabels(std::istream& in,
                                const std::unordered_map<std::string, TransportationMode>& names);
