// The fast field readers against std::stof and std::get_time, on the shapes
// that trip parsers up and on many strings built from risky pieces.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "model/FastParse.h"
#include "model/ModeNames.h"
#include "model/RawFormats.h"
#include "tests/support/ReferenceParse.h"

namespace {

void expectSameFloat(const std::string& text) {
    const FloatResult fast = parseFloatField(text);
    const FloatResult reference = referenceFloat(text);
    ASSERT_EQ(fast.status, reference.status) << '"' << text << '"';
    if (fast.status != NumberStatus::ok) return;
    if (std::isnan(reference.value)) {
        EXPECT_TRUE(std::isnan(fast.value)) << '"' << text << '"';
    } else {
        std::uint32_t a, b;
        std::memcpy(&a, &fast.value, 4);
        std::memcpy(&b, &reference.value, 4);
        EXPECT_EQ(a, b) << '"' << text << "\" fast " << fast.value << " reference " << reference.value;
    }
}

void expectSameTime(const std::string& text, std::string_view format) {
    const std::string formatText(format);
    const TimeFields reference = referenceTimeFields(text, formatText.c_str());
    TimeFields fast;
    if (format == kLabelTimeFormat) fast = parseLabelTime(text);
    else if (format == kDateFormat) fast = parseDate(text);
    else fast = parseClock(text);
    const TimeFields general = parseTimeFields(text, format);
    const auto show = [](const TimeFields& t) {
        return std::to_string(t.year) + "/" + std::to_string(t.mon) + "/" + std::to_string(t.mday) +
               " " + std::to_string(t.hour) + ":" + std::to_string(t.min) + ":" + std::to_string(t.sec);
    };
    EXPECT_EQ(show(fast), show(reference)) << '"' << text << "\" with " << format;
    EXPECT_EQ(show(general), show(reference)) << '"' << text << "\" with " << format;
}

const std::vector<std::string> kTrickyNumbers = {
    "39.984702", "116.318417", "-39.9", "+39.9", " 39.9", "\t116.3", "39.9 ", "39.9abc",
    "39.", ".5", "-.5", "-", "+", "", " ", "abc", "1e3", "1E-3", "1e", "1e+", "1.5e+2x",
    "0x1p3", "0X1A", "-0x10", "0x", "inf", "-INF", "infinity", "nan", "NAN(123)", "1e39", "-1e39",
    "1e-39", "1e-46", "1e-50", "3.4028235e38", "3.4028236e38", "1.17549435e-38", "0", "-0", "0.000",
    "00039.9", "39.9999999999999999999999", "1234567890123456789012345", "40.1", "40.09999999",
    "116.6", "116.15", "39.75", std::string("39.9\0" "5", 6), "\v39.9", "39,9", "1_000"};

}  // namespace

TEST(FloatField, MatchesStofOnTrickyText) {
    for (const auto& text : kTrickyNumbers) expectSameFloat(text);
}

TEST(FloatField, MatchesStofOnGeneratedText) {
    // Pieces that stress the direct path's boundaries, joined at random.
    const std::vector<std::string> pieces = {"0", "1", "9", "39", "116", ".", "-", "+", "e", "E",
                                             "x", "5", "00000", "99999", " ", "inf", "n", "a"};
    std::mt19937 random(12345);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 6);
        for (int j = 0; j < count; ++j) text += pieces[random() % pieces.size()];
        expectSameFloat(text);
    }
}

// The number grammar the readers hold fields to, as its header states it,
// against the library reading it: a word fast_float also reads ("inf",
// "nan"), a '+' it does not, a sign after a sign or a blank must all come
// out as the grammar says.
TEST(DecimalNumber, IsTheStatedGrammar) {
    static const std::regex grammar(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
    const auto expectGrammar = [](const std::string& text) {
        EXPECT_EQ(isDecimalNumber(text), std::regex_match(text, grammar)) << '"' << text << '"';
    };
    for (const auto& text : kTrickyNumbers) expectGrammar(text);
    for (const std::string text : {"+-1", "-+1", "--1", "+.5", "1e400", "-1e-400", "1.2.3", "1e5.5", "."})
        expectGrammar(text);
    const std::vector<std::string> pieces = {"0", "1", "39", ".", "-", "+", "e", "E", "x", " ", "inf", "nan"};
    std::mt19937 random(54321);
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 6);
        for (int j = 0; j < count; ++j) text += pieces[random() % pieces.size()];
        expectGrammar(text);
    }
}

TEST(TimeFields, MatchesGetTimeOnTrickyText) {
    const std::vector<std::string> clocks = {
        "08:30:00", "8:30:00", "08:3:0", "23:59:59", "24:00:00", "00:00:00", "12:60:00",
        "12:59:60", "12:59:61", "1", "", " ", " 08:30:00", "08:30", "08:30:", "08 :30:00",
        "0830:00", "08:30:00extra", "-1:00:00", "+1:00:00", "a8:30:00", "08-30-00", "999:99:99",
        "07:05:09\r", "\t07:05:09", "08:30:0x", "1:2:3", "01:02:03.5"};
    for (const auto& text : clocks) expectSameTime(text, kClockFormat);

    const std::vector<std::string> dates = {
        "2009-06-01", "2009-6-1", "2009-06-1x", "2009/06/01", "09-06-01", "20090-06-01",
        "2009-13-01", "2009-00-01", "2009-06-00", "2009-06-32", "2009-06- 5", "2009-06-  5",
        "2009-06", "2009", "", "  2009-06-01", "0000-01-01", "9999-12-31", "2009-06-01T08:00",
        "2009-06-3", "2009-02-30", "2009--06-01", "2009-06-01 "};
    for (const auto& text : dates) expectSameTime(text, kDateFormat);

    const std::vector<std::string> labelTimes = {
        "2009/06/01 08:30:00", "2009/06/01  08:30:00", "2009/06/0108:30:00", "2009/6/1 8:3:0",
        "2009/06/01", "2009/06/01 ", "2009/06/01 08", "2009/06/01 08:30", "2009-06-01 08:30:00",
        "2009/06/01\t08:30:00", "2009/06/01 24:00:00", "2008/04/02 11:24:21", "", "x",
        "2009/06/31 23:59:60", "  2009/06/01 08:30:00", "2009/06/ 1 08:30:00"};
    for (const auto& text : labelTimes) expectSameTime(text, kLabelTimeFormat);
}

TEST(TimeFields, MatchesGetTimeOnGeneratedText) {
    const std::vector<std::string> pieces = {"0", "1", "2", "3", "5", "9", "12", "31", "60",
                                             "2009", ":", "-", "/", " ", "\t", "x", "%"};
    std::mt19937 random(777);
    for (int i = 0; i < 6000; ++i) {
        std::string text;
        const int count = 1 + static_cast<int>(random() % 9);
        for (int j = 0; j < count; ++j) text += pieces[random() % pieces.size()];
        expectSameTime(text, kClockFormat);
        expectSameTime(text, kDateFormat);
        expectSameTime(text, kLabelTimeFormat);
    }
}

TEST(TrajectoryText, MatchesTheLineByLineReadingOnTrickyLines) {
    const std::string header = "Geolife trajectory\nWGS 84\nAltitude is in Feet\nReserved 3\n"
                               "0,2,255,My Track,0,0,2,8421376\n0\n";
    const std::string body =
        "39.9,116.3,0,492,39744.1,2009-06-01,08:30:00\r\n"
        "39.95,116.4,0,0,0,2009-06-01,23:59:59,extra\n"  // extra fields ignored
        "+39.8,116.2,a,b,c,2009-6-1,8:5:7\n"
        "39.75,116.15,,,,2009-06-01,00:00:00\n"
        "40.1001,116.3,0,0,0,2009-06-01,08:00:00\n"
        "-39.9,116.3,0,0,0,2012-02-29,08:00:00\n"        // a leap day, outside the box
        "39.9,116.3,0,0,0,2009-06-02,00:05:00\n"
        "39.9e0,1.163e2,0,0,0,2009-06-01,12:00:00\n";
    LabelIndex labels;
    labels.add(TimeFields{109, 5, 1, 0, 0, 0}.dateKey(), 30000, 31000, mode::BUS);
    labels.add(TimeFields{109, 5, 2, 0, 0, 0}.dateKey(), 0, 600, mode::WALK);
    const FrameBounds frame;
    for (bool normalize : {true, false}) {
        std::vector<Datapoint> fast;
        TrajectoryCounts counts;
        parseTrajectoryText(header + body, "t.plt", normalize, labels, frame, fast, counts);
        std::istringstream in(header + body);
        const auto reference = referenceParseTrajectory(in, "t.plt", normalize, labels, frame);
        ASSERT_EQ(fast.size(), reference.size());
        for (std::size_t i = 0; i < fast.size(); ++i) {
            EXPECT_EQ(fast[i].x, reference[i].x) << i;
            EXPECT_EQ(fast[i].y, reference[i].y) << i;
            EXPECT_EQ(fast[i].mode, reference[i].mode) << i;
            EXPECT_EQ(fast[i].time, reference[i].time) << i;
        }
        EXPECT_EQ(counts.lines, 8);
        EXPECT_EQ(counts.kept, 6);
        EXPECT_EQ(counts.outside, 2);
    }
}

TEST(LabelText, MatchesTheLineByLineReading) {
    const std::string text =
        "Start Time\tEnd Time\tTransportation Mode\r\n"
        "2009/06/01 23:50:00\t2009/06/02 00:10:00\tbus\r\n"
        "2009/06/01 08:00:00\t2009/06/01 09:00:00\ttaxi\n"
        "2009/06/01 08:30:00\t2009/06/01 08:40:00\twalk\n"
        "2009/06/03 08:00:00\t2009/06/05 09:00:00\tsubway\n"
        "2009/06/04 10:00:00\t2009/06/04 11:00:00\tWalk\n"
        "2009/6/4 1:0:0\t2009/06/04 2:00:00\trun\n";
    const auto names = makeModeNameTable();
    LabelCounts counts;
    const LabelIndex fast = parseLabelsText(text, "labels.txt", names, counts);
    std::istringstream in(text);
    const LabelIndex reference = referenceParseLabels(in, "labels.txt", names);
    ASSERT_EQ(fast.dayCount(), reference.dayCount());
    for (int day : {1, 2, 3, 4, 5}) {
        const int key = TimeFields{109, 5, day, 0, 0, 0}.dateKey();
        const auto* a = fast.find(key);
        const auto* b = reference.find(key);
        ASSERT_EQ(a == nullptr, b == nullptr) << day;
        if (!a) continue;
        ASSERT_EQ(a->size(), b->size()) << day;
        for (std::size_t i = 0; i < a->size(); ++i) {
            EXPECT_EQ((*a)[i].start, (*b)[i].start);
            EXPECT_EQ((*a)[i].end, (*b)[i].end);
            EXPECT_EQ((*a)[i].mode, (*b)[i].mode);
        }
    }
    EXPECT_EQ(counts.lines, 6);
    EXPECT_EQ(counts.unknownNames, 1);
    EXPECT_EQ(counts.unknownNameCounts.at("Walk"), 1);
}
