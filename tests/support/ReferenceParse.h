#pragma once
// The straightforward reading of the raw formats: std::getline, regular
// expressions, std::stof and std::chrono for every field. The fast
// parsers are checked against it and measured against it; nothing on the
// load path uses it.
#include <ctime>
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

// The field and line grammars the readers hold files to, as regular
// expressions and calendar checks: whether a date, a time of day or a label
// date and time exists (filling the broken-down time), and whether a line
// of a text sample file or a fix line of a trajectory file is well formed.
bool referenceDate(std::string_view text, std::tm& tm);
bool referenceClock(std::string_view text, std::tm& tm);
bool referenceLabelTime(std::string_view text, std::tm& tm);
bool referenceTextSampleLine(std::string_view line);
bool referenceTrajectoryLine(std::string_view line);

// One trajectory file, line by line, with the same results and the same
// errors as parseTrajectoryText.
std::vector<Datapoint> referenceParseTrajectory(std::istream& in, const std::string& path,
                                                bool normalize, const LabelIndex& labels,
                                                const FrameBounds& frame);

// One label file, line by line, like parseLabelsText.
LabelIndex referenceParseLabels(std::istream& in, const std::string& path,
                                const std::unordered_map<std::string, TransportationMode>& names);
