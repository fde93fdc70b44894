// GPS track files (GPX, GeoJSON, CSV) through the loader: positions exactly
// as trajectory files give them, modes, times with a UTC offset, the frame,
// bad points and files GDAL cannot read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "model/LoadError.h"
#include "model/RawFormats.h"
#include "model/TrajectoryLoader.h"
#include "tests/TempDir.h"
#include "tools/import/ImportTool.h"

namespace {

struct Expected {
    const char* latitude;
    const char* longitude;
    TransportationMode mode;
    std::int32_t time;
};

// The sample a trajectory file gives for this position, so the comparison
// holds the track readers to the trajectory rule bit for bit.
Datapoint trajectoryFix(const std::string& latitude, const std::string& longitude) {
    const std::string text = "1\n2\n3\n4\n5\n6\n" + latitude + "," + longitude + ",0,0,0,2009-06-01,00:00:00\n";
    std::vector<Datapoint> out;
    TrajectoryCounts counts;
    parseTrajectoryText(text, "t.plt", true, LabelIndex(), FrameBounds(), out, counts);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? Datapoint() : out[0];
}

void expectPoints(const std::vector<Datapoint>& points, const std::vector<Expected>& expected) {
    ASSERT_EQ(points.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("point " + std::to_string(i));
        const Datapoint want = trajectoryFix(expected[i].latitude, expected[i].longitude);
        EXPECT_EQ(points[i].x, want.x);
        EXPECT_EQ(points[i].y, want.y);
        EXPECT_EQ(points[i].mode, expected[i].mode);
        EXPECT_EQ(points[i].time, expected[i].time);
    }
}

std::string gpxPoint(const char* tag, const char* lat, const char* lon, const char* time) {
    return std::string("<") + tag + " lat=\"" + lat + "\" lon=\"" + lon + "\"><ele>44</ele><time>" + time +
           "</time></" + tag + ">\n";
}

std::string gpx(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<gpx version=\"1.1\" creator=\"phone\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n" +
           body + "</gpx>\n";
}

// Two tracks, the first with two segments, and a route; one point outside
// the box; times in UTC across midnight, one with its own zone.
const std::string kPhoneGpx = gpx(
    "<trk><name>a</name><trkseg>\n" + gpxPoint("trkpt", "39.912345678", "116.3", "2009-06-01T23:30:00Z") +
    gpxPoint("trkpt", "39.9", "116.123", "2009-06-01T23:40:00Z") +  // west of the box
    "</trkseg><trkseg>\n" + gpxPoint("trkpt", "39.75", "116.15", "2009-06-02T00:30:00.75Z") +
    "</trkseg></trk>\n<trk><trkseg>\n" + gpxPoint("trkpt", "40.1", "116.6", "2009-06-02T09:00:00+08:00") +
    "</trkseg></trk>\n<rte>\n" + gpxPoint("rtept", "39.8", "116.51", "2009-06-02T16:00:00Z") + "</rte>\n");

TEST(TrackFiles, GpxTracksSegmentsAndRoutesWithAnOffset) {
    TempDir dir;
    TrajectoryLoader loader;
    loader.tracks.utcOffsetSeconds = 8 * 3600;
    loader.tracks.mode = mode::WALK;
    const auto points = loader.load(dir.write("phone.GPX", kPhoneGpx), true);
    // 23:30Z + 8 h is 07:30 the next morning; 09:00+08:00 is 01:00Z, 09:00 again.
    expectPoints(points, {{"39.912345678", "116.3", mode::WALK, 27000},
                          {"39.75", "116.15", mode::WALK, 30600},
                          {"40.1", "116.6", mode::WALK, 32400},
                          {"39.8", "116.51", mode::WALK, 0}});
    EXPECT_EQ(loader.report.trackPoints, 5);
    EXPECT_EQ(loader.report.outside, 1);
    EXPECT_EQ(loader.report.kept, 4);
}

TEST(TrackFiles, GeoJsonAndCsvWithAndWithoutAModeField) {
    const std::string geojson =
        R"({"type":"FeatureCollection","features":[
{"type":"Feature","properties":{"time":"2009-06-01T08:00:00Z","how":"bus"},"geometry":{"type":"Point","coordinates":[116.3,39.9]}},
{"type":"Feature","properties":{"time":"2009-06-01T08:00:05Z","how":"Taxi"},"geometry":{"type":"Point","coordinates":[116.31,39.91]}},
{"type":"Feature","properties":{"time":"2009-06-01T08:00:06Z","how":"bus"},"geometry":{"type":"LineString","coordinates":[[116.3,39.9],[116.4,39.9]]}},
{"type":"Feature","properties":{"time":"2009-06-01T08:00:10Z","how":null},"geometry":{"type":"Point","coordinates":[116.32,39.92]}}]})";
    const std::string csv =
        "Lat,Lon,Time,how\n39.9,116.3,2009-06-01 08:00:00,bus\n39.91,116.31,2009-06-01T08:00:05Z,Taxi\n"
        "39.92,116.32,2009-06-01T08:00:10.999,\n";
    struct Case {
        const char* name;
        const std::string& content;
        const char* modeField;
        std::vector<TransportationMode> modes;
    };
    const Case cases[] = {
        {"points.geojson", geojson, "how", {mode::BUS, mode::CAR, mode::BIKE}},
        {"points.json", geojson, "", {mode::BIKE, mode::BIKE, mode::BIKE}},
        {"points.csv", csv, "how", {mode::BUS, mode::CAR, mode::BIKE}},
        {"points.CSV", csv, "", {mode::BIKE, mode::BIKE, mode::BIKE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " mode field \"" + c.modeField + "\"");
        TempDir dir;
        TrajectoryLoader loader;
        loader.tracks.mode = mode::BIKE;  // points whose field is empty get it
        loader.tracks.modeField = c.modeField;
        const auto points = loader.load(dir.write(c.name, c.content), true);
        expectPoints(points, {{"39.9", "116.3", c.modes[0], 28800},
                              {"39.91", "116.31", c.modes[1], 28805},
                              {"39.92", "116.32", c.modes[2], 28810}});
        EXPECT_EQ(loader.report.ignoredFeatures, c.content == geojson ? 1 : 0);
    }
}

TEST(TrackFiles, TimesAcrossMidnightWithAnOffset) {
    struct Case {
        const char* time;
        double offsetHours;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"2009-06-01T23:30:00Z", 8, 27000},           // next day, 07:30
        {"2009-06-02T00:30:00Z", -5.5, 68400},        // previous day, 19:00
        {"2009-06-01T20:00:00-05:00", 0, 3600},       // 01:00Z the next day
        {"2009-06-01T02:00:00+0530", 0, 73800},       // 20:30Z the day before
        {"2009-06-01T23:59:59.999Z", 0, 86399},       // fractions dropped
        {"2009-06-01T12:00:00Z", -24, 43200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.time) + " offset " + std::to_string(c.offsetHours));
        TempDir dir;
        TrajectoryLoader loader;
        loader.tracks.utcOffsetSeconds = static_cast<std::int32_t>(c.offsetHours * 3600);
        const auto points =
            loader.load(dir.write("t.csv", std::string("latitude,longitude,timestamp\n39.9,116.3,") + c.time + "\n"), true);
        ASSERT_EQ(points.size(), 1u);
        EXPECT_EQ(points[0].time, c.expected);
    }
}

// In a raw tree a GPX file takes the tree's labels by its UTC day and clock,
// like the trajectory file beside it; the offset moves both times of day.
TEST(TrackFiles, RawTreeLabelsApplyByTimeAndTheOffsetToEveryFile) {
    TempDir dir;
    dir.write("tree/u1/labels.txt", "Start\tEnd\tMode\n2009/06/01 23:00:00\t2009/06/02 00:40:00\tbus\n");
    dir.write("tree/u1/Trajectory/a.gpx",
              gpx("<trk><trkseg>\n" + gpxPoint("trkpt", "39.9", "116.3", "2009-06-02T00:30:00Z") +
                  gpxPoint("trkpt", "39.9", "116.3", "2009-06-02T00:50:00Z") +
                  gpxPoint("trkpt", "39.9", "116.3", "2009-06-02T07:30:00+07:00") + "</trkseg></trk>\n"));
    dir.write("tree/u1/Trajectory/b.plt", "1\n2\n3\n4\n5\n6\n39.9,116.3,0,0,0,2009-06-01,23:50:00\n");
    dir.write("tree/u2/Trajectory/c.geojson",
              R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"time":"2009-06-02T00:30:00Z"},"geometry":{"type":"Point","coordinates":[116.3,39.9]}}]})");
    TrajectoryLoader loader;
    loader.tracks.utcOffsetSeconds = 3600;
    const auto points = loader.load((dir.root() / "tree").string(), true);
    expectPoints(points, {{"39.9", "116.3", mode::BUS, 5400},
                          {"39.9", "116.3", mode::UNKNOWN, 6600},
                          {"39.9", "116.3", mode::BUS, 5400},
                          {"39.9", "116.3", mode::BUS, 3000},
                          {"39.9", "116.3", mode::UNKNOWN, 5400}});
    EXPECT_EQ(loader.report.trackFiles, 2);
    EXPECT_EQ(loader.report.trajectoryFiles, 1);
}

TEST(TrackFiles, BadPointsNameFileAndPlaceOrAreSkippedAndListed) {
    TempDir dir;
    const std::string gpxPath =
        dir.write("no-time.gpx", gpx("<trk><trkseg>\n" + gpxPoint("trkpt", "39.9", "116.3", "2009-06-01T08:00:00Z") +
                                     "</trkseg><trkseg><trkpt lat=\"39.9\" lon=\"116.3\"></trkpt></trkseg></trk>\n"));
    const std::string csvPath = dir.write(
        "bad.csv", "lat,lon,time,mode\n39.9,116.3,yesterday,walk\n39.9,116.3,2009-06-01T08:00:00Z,skate\n"
                   "north,116.3,2009-06-01T08:00:00Z,walk\n39.9,116.3,2009-06-01T08:00:00Z,walk\n");
    struct Case {
        const std::string& path;
        const char* modeField;
        const char* error;
        std::int64_t skipped;
    };
    // The mode field is not looked for in GPX files.
    const Case cases[] = {
        {gpxPath, "mode", "track 1, segment 2, point 1: has no time", 1},
        {csvPath, "mode", "line 2: \"yesterday\" is not an ISO 8601 time", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TrajectoryLoader strict;
        strict.tracks.modeField = c.modeField;
        try {
            strict.load(c.path, true);
            ADD_FAILURE() << "no error";
        } catch (const DataFileError& error) {
            EXPECT_EQ(std::string(error.what()), "\"" + c.path + "\": " + c.error);
        }

        TrajectoryLoader lenient;
        lenient.tracks.modeField = c.modeField;
        lenient.tracks.skipBadPoints = true;
        EXPECT_EQ(lenient.load(c.path, true).size(), 1u);
        EXPECT_EQ(lenient.report.skippedPoints, c.skipped);
        ASSERT_EQ(lenient.report.firstSkipped.size(), static_cast<std::size_t>(c.skipped));
        EXPECT_EQ(lenient.report.firstSkipped[0].file, c.path);
    }
    TrajectoryLoader lenient;
    lenient.tracks.modeField = "mode";
    lenient.tracks.skipBadPoints = true;
    lenient.load(csvPath, true);
    const auto& skipped = lenient.report.firstSkipped;
    ASSERT_EQ(skipped.size(), 3u);
    EXPECT_EQ(skipped[1].place, "line 3");
    EXPECT_EQ(skipped[1].text, "\"skate\" is not a mode name");
    EXPECT_EQ(skipped[2].place, "line 4");
    EXPECT_EQ(skipped[2].text, "\"north\" is not a latitude");
}

// A CSV error names the line of the file the bad row starts on, not GDAL's
// record number: quoted fields may hold line breaks, and blank lines are no
// rows. The cases follow how GDAL itself splits the rows.
TEST(TrackFiles, CsvErrorsNameTheFilesOwnLine) {
    const std::string good = "39.9,116.3,2009-06-01T08:00:00Z,";
    const std::string bad = "39.9,116.3,yesterday,";
    struct Case {
        const char* what;
        std::string content;
        int line;
    };
    const Case cases[] = {
        {"plain", "lat,lon,time,note\n" + good + "a\n" + bad + "b\n", 3},
        {"quoted line breaks", "lat,lon,time,note\n" + good + "\"two\nlines\"\n" + good + "\"three\n\nlines\"\n" + bad + "c\n", 7},
        {"blank lines", "lat,lon,time,note\n\n" + good + "a\n\n\n" + bad + "b\n", 6},
        {"CRLF and CR", "lat,lon,time,note\r\n" + good + "\"x\r\ny\"\r\n" + good + "a\r" + bad + "b\r\n", 5},
        {"doubled quotes", "lat,lon,time,note\n" + good + "\"say \"\"hi\n\"\" there\"\n" + bad + "b\n", 4},
        {"quoted header", "lat,lon,time,\"no\nte\"\n" + good + "a\n" + bad + "b\n", 4},
        {"a quote after a NUL", "lat,lon,time,note\n" + good + std::string("a\0\"", 3) + "\n" + bad + "b\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.write("rows.csv", c.content);
        TrajectoryLoader strict;
        try {
            strict.load(path, true);
            ADD_FAILURE() << "no error";
        } catch (const DataFileError& error) {
            EXPECT_EQ(error.reason(), "line " + std::to_string(c.line) + ": \"yesterday\" is not an ISO 8601 time");
        }
    }
}

TEST(TrackFiles, FilesGdalCannotReadFailInOneLineWithGdalsReason) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        const char* reason;  // part of the message
    };
    const Case cases[] = {
        {"text.gpx", "just text\n", "XML error at line 1: syntax error"},
        {"cut.gpx", kPhoneGpx.substr(0, 300), "XML error at line 5: "},
        {"kml.gpx", "<kml><Placemark/></kml>", "is not a GPX file: its root element is <kml>"},
        {"broken.geojson", "{\"type\":\"FeatureCollection\",\"features\":[{\"type\":", "GDAL: "},
        {"empty.csv", "", "GDAL: "},
        {"columns.csv", "lat,long,when\n39.9,116.3,2009-06-01T08:00:00Z\n", "has no time column"},
        {"field.geojson", R"({"type":"FeatureCollection","features":[]})", "has no field \"mode\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write(std::string("in/") + c.name, c.content);
        TrajectoryLoader loader;
        loader.tracks.modeField = "mode";
        try {
            loader.load(path, true);
            ADD_FAILURE() << "no error";
        } catch (const DataFileError& error) {
            const std::string message = loadFailureMessage(path, error);
            EXPECT_EQ(message.rfind("Could not load samples from \"" + path + "\": ", 0), 0u) << message;
            EXPECT_NE(message.find(c.reason), std::string::npos) << message;
            EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        }
        // Inside a tree the file is skipped and named with the same reason.
        TrajectoryLoader walk;
        walk.tracks.modeField = "mode";
        EXPECT_TRUE(walk.load((dir.root() / "in").string(), true).empty());
        ASSERT_EQ(walk.report.unreadable.size(), 1u);
        EXPECT_EQ(walk.report.unreadable[0].first, path);
        EXPECT_NE(walk.report.unreadable[0].second.find(c.reason), std::string::npos) << walk.report.unreadable[0].second;
        std::filesystem::remove(path);
    }
}

TEST(TrackFiles, ImportOptions) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
        std::int32_t offset;
        TransportationMode mode;
    };
    const Case cases[] = {
        {{"in.gpx", "--utc-offset", "5.5", "--mode", "Taxi", "--mode-field", "how"}, true, 19800, mode::CAR},
        {{"in.gpx", "--utc-offset", "-8"}, true, -28800, mode::UNKNOWN},
        {{"in.gpx", "--utc-offset", "+8"}, true, 28800, mode::UNKNOWN},
        {{"in.gpx", "--utc-offset", "+-8"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--utc-offset", "++8"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--mode", "unknown"}, true, 0, mode::UNKNOWN},
        {{"in.gpx", "--utc-offset", "8h"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--utc-offset", "25"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--utc-offset", "nan"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--mode", "all"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--mode", "walk,bus"}, false, 0, mode::UNKNOWN},
        {{"in.gpx", "--mode-field", ""}, false, 0, mode::UNKNOWN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1] + " " + c.args[2]);
        ImportOptions options;
        bool help = false;
        std::string error;
        EXPECT_EQ(parseImportArguments(c.args, options, help, error), c.ok) << error;
        if (!c.ok) continue;
        EXPECT_EQ(options.tracks.utcOffsetSeconds, c.offset);
        EXPECT_EQ(options.tracks.mode, c.mode);
    }
}

// One point's file in each format, with the coordinate and time texts as given.
std::string onePoint(const std::string& format, const std::string& latitude, const std::string& time) {
    if (format == "gpx")
        return gpx("<trk><trkseg><trkpt lat=\"" + latitude + "\" lon=\"116.3\"><time>" + time +
                   "</time></trkpt></trkseg></trk>\n");
    if (format == "geojson")
        return R"({"type":"FeatureCollection","features":[{"type":"Feature","properties":{"time":")" + time +
               R"("},"geometry":{"type":"Point","coordinates":[116.3,)" + latitude + "]}}]}";
    return "lat,lon,time\n" + latitude + ",116.3," + time + "\n";
}

// A coordinate is read by the trajectory grammar in every format: the texts
// GDAL's conversions took with an invented value stop the import, as the
// same text in a trajectory line does.
TEST(TrackFiles, CoordinatesFollowTheTrajectoryGrammar) {
    struct Case {
        const char* text;
        const char* problem;  // nullptr: read as the trajectory line reads it
    };
    const Case cases[] = {
        {"39.9x", "is not a latitude"},   {"3.99e1abc", "is not a latitude"}, {"39.9e", "is not a latitude"},
        {"0x27.e", "is not a latitude"},  {" 39.9", "is not a latitude"},     {"39.9 ", "is not a latitude"},
        {"inf", "is not a latitude"},     {"nan", "is not a latitude"},       {"Infinity", "is not a latitude"},
        {"1e400", "is out of range"},     {"+39.9", nullptr},                 {"3.99e1", nullptr},
    };
    for (const char* format : {"gpx", "csv"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(format) + " \"" + c.text + "\"");
            TempDir dir;
            const std::string path = dir.write(std::string("p.") + format, onePoint(format, c.text, "2009-06-01T08:00:00Z"));
            const std::string trajectory = "1\n2\n3\n4\n5\n6\n" + std::string(c.text) + ",116.3,0,0,0,2009-06-01,08:00:00\n";
            std::vector<Datapoint> out;
            TrajectoryCounts counts;
            TrajectoryLoader loader;
            if (!c.problem) {
                expectPoints(loader.load(path, true), {{c.text, "116.3", mode::UNKNOWN, 28800}});
                continue;
            }
            EXPECT_ANY_THROW(parseTrajectoryText(trajectory, "t.plt", true, LabelIndex(), FrameBounds(), out, counts));
            try {
                loader.load(path, true);
                ADD_FAILURE() << "no error";
            } catch (const DataFileError& error) {
                EXPECT_NE(std::string(error.what()).find(std::string(": \"") + c.text + "\" " + c.problem),
                          std::string::npos)
                    << error.what();
            }
        }
    }
}

// One time grammar in every format: the zone honoured to the minute, 't' and
// 'z' and a space for the 'T' taken, a date alone, a 60th second, a zone
// beyond 14 hours and trailing text refused with the text.
TEST(TrackFiles, TimesFollowOneGrammarInEveryFormat) {
    struct Case {
        const char* time;
        std::int32_t seconds;  // -1: refused
    };
    const Case cases[] = {
        {"2009-06-01 08:30:00", 30600},       {"2009-06-01t08:30:00z", 30600},
        {"2009-06-01T08:30:00+0800", 1800},   {"2009-06-01T08:30:00+08", 1800},
        {"2009-06-01T08:30:00-0330", 43200},  {"2009-06-01T08:30+08:00", 1800},
        {"2009-06-01T08:30:00+05:20", 11400}, {"2009-06-01T08:30:00+14:00", 66600},
        {"2009-06-01T08:30:00+25:00", -1},    {"2009-06-01T08:30:00+14:01", -1},
        {"2009-06-01", -1},                   {"2009-06-01T08:30Zjunk", -1},
        {"2009-06-01T12:00:60Z", -1},         {"2009-06-01T08:30:00+5", -1},
    };
    for (const char* format : {"gpx", "geojson", "csv"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(format) + " " + c.time);
            TempDir dir;
            const std::string path = dir.write(std::string("p.") + format, onePoint(format, "39.9", c.time));
            TrajectoryLoader loader;
            if (c.seconds >= 0) {
                expectPoints(loader.load(path, true), {{"39.9", "116.3", mode::UNKNOWN, c.seconds}});
                continue;
            }
            try {
                loader.load(path, true);
                ADD_FAILURE() << "no error";
            } catch (const DataFileError& error) {
                EXPECT_NE(std::string(error.what()).find(std::string("\"") + c.time + "\" is not an ISO 8601 time"),
                          std::string::npos)
                    << error.what();
            }
        }
    }
}

// CSV written by ogr2ogr with its defaults: OGR's date-time form, in CSV
// only (GPX and GeoJSON writers use ISO 8601), with the same clock and zone
// rules; a mix of the two forms is neither.
TEST(TrackFiles, CsvTakesOgrsDateTimeForm) {
    struct Case {
        const char* format;
        const char* time;
        std::int32_t seconds;  // -1: refused
    };
    const Case cases[] = {
        {"csv", "2007/08/04 03:30:31.146+00", 12631}, {"csv", "2007/08/04 03:30:31+0530", 79231},
        {"csv", "2007/08/04 03:30:31-03", 23431},     {"csv", "2007/08/04 03:30:31", 12631},
        {"csv", "2007/08/04T03:30:31", -1},           {"csv", "2007/08-04 03:30:31", -1},
        {"csv", "2007/08/04", -1},                    {"csv", "2007/08/04 03:30:31+15", -1},
        {"csv", "2007/08/04 03:30:60", -1},           {"gpx", "2007/08/04 03:30:31+00", -1},
        {"geojson", "2007/08/04 03:30:31+00", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.format) + " " + c.time);
        TempDir dir;
        const std::string path = dir.write(std::string("p.") + c.format, onePoint(c.format, "39.9", c.time));
        TrajectoryLoader loader;
        if (c.seconds >= 0) {
            expectPoints(loader.load(path, true), {{"39.9", "116.3", mode::UNKNOWN, c.seconds}});
            continue;
        }
        try {
            loader.load(path, true);
            ADD_FAILURE() << "no error";
        } catch (const DataFileError& error) {
            EXPECT_EQ(error.reason().substr(error.reason().find(": ") + 2),
                      std::string("\"") + c.time + "\" is not an ISO 8601 time");
        }
    }
}

// The coordinate columns, any letter case: X and Y as ogr2ogr writes them
// (its header ends with an empty name), lon/lat and longitude/latitude.
TEST(TrackFiles, CsvCoordinateColumnsInAnyCase) {
    const char* headers[] = {"X,Y,time,", "x,y,Time", "lon,lat,time", "LON,LAT,TIME", "Longitude,Latitude,time",
                             "longitude,latitude,DateTime"};
    for (const char* header : headers) {
        SCOPED_TRACE(header);
        TempDir dir;
        const std::string path =
            dir.write("xy.csv", std::string(header) + "\n116.3,39.9,2007/08/04 03:30:31.146+00\n"
                                                      "116.31,39.91,2007-08-04T03:30:32Z\n");
        TrajectoryLoader loader;
        expectPoints(loader.load(path, true), {{"39.9", "116.3", mode::UNKNOWN, 12631}, {"39.91", "116.31", mode::UNKNOWN, 12632}});
    }
}

// Every point is seen: a GPX point that GDAL dropped for its missing or
// empty position stops the import or is counted, and an empty CSV time is
// "no time", not an unreadable one without text.
TEST(TrackFiles, PointsWithoutPositionOrTimeAreSeen) {
    struct Case {
        const char* name;
        std::string content;
        const char* error;
    };
    const Case cases[] = {
        {"no-lat.gpx", gpx("<trk><trkseg>" + gpxPoint("trkpt", "39.9", "116.3", "2009-06-01T08:00:00Z") +
                           "<trkpt lon=\"116.3\"><time>2009-06-01T08:00:01Z</time></trkpt></trkseg></trk>"),
         "track 1, segment 1, point 2: has no position"},
        {"empty.gpx", gpx("<rte>" + gpxPoint("rtept", "39.9", "116.3", "2009-06-01T08:00:00Z") +
                          gpxPoint("rtept", "", "116.3", "2009-06-01T08:00:01Z") + "</rte>"),
         "route 1, point 2: has no position"},
        {"no-time.csv", "lat,lon,time\n39.9,116.3,2009-06-01T08:00:00Z\n39.9,116.3,\n", "line 3: has no time"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.write(c.name, c.content);
        TrajectoryLoader strict;
        try {
            strict.load(path, true);
            ADD_FAILURE() << "no error";
        } catch (const DataFileError& error) {
            EXPECT_EQ(std::string(error.what()), "\"" + path + "\": " + c.error);
        }
        TrajectoryLoader lenient;
        lenient.tracks.skipBadPoints = true;
        EXPECT_EQ(lenient.load(path, true).size(), 1u);
        EXPECT_EQ(lenient.report.trackPoints, 2);
        EXPECT_EQ(lenient.report.skippedPoints, 1);
    }
}

// Whatever its name, an input that is not a regular file is refused before
// any reader opens it (a FIFO used to hang GDAL's open), and a ".csvt" beside
// a CSV file changes no column's type.
TEST(TrackFiles, OnlyRegularFilesAreReadAndCsvtSidecarsAreIgnored) {
    TempDir dir;
    for (const char* name : {"f.gpx", "f.csv", "f.geojson"}) {
        SCOPED_TRACE(name);
        const std::string fifo = (dir.root() / name).string();
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        const std::string device = (dir.root() / (std::string("null-") + name)).string();
        std::filesystem::create_symlink("/dev/null", device);
        for (const auto& [path, reason] : {std::pair{fifo, "not a regular file (a FIFO)"},
                                           std::pair{device, "not a regular file (a character device)"}}) {
            TrajectoryLoader loader;
            try {
                loader.load(path, true);
                ADD_FAILURE() << "no error";
            } catch (const DataFileError& error) {
                EXPECT_EQ(error.reason(), reason);
            }
        }
    }
    const std::string csv = dir.write("typed.csv", "lat,lon,time\n39.9,116.3,2009-06-01T08:00:00Z\n");
    dir.write("typed.csvt", "Integer,Integer,Date\n");
    TrajectoryLoader loader;
    expectPoints(loader.load(csv, true), {{"39.9", "116.3", mode::UNKNOWN, 28800}});
}

// A GPX file that declares entities is refused (no expansion, no external
// file pulled in); text from a file reaches a message escaped, cut and on
// one line.
// GPX's namespace with a trailing slash is GPX; <gpx> in another namespace
// is refused naming the namespace found and the one expected.
TEST(TrackFiles, GpxNamespacesWithATrailingSlashAreTakenOthersNamed) {
    TempDir dir;
    const std::string body = "<trk><trkseg>" + gpxPoint("trkpt", "39.9", "116.3", "2009-06-01T08:00:00Z") +
                             "</trkseg></trk></gpx>\n";
    const struct {
        const char* name;
        const char* xmlns;
        const char* reason;  // empty: one point read
    } cases[] = {
        {"slash11.gpx", "http://www.topografix.com/GPX/1/1/", ""},
        {"slash10.gpx", "http://www.topografix.com/GPX/1/0/", ""},
        {"other.gpx", "http://www.topografix.com/GPX/2/0",
         "is not a GPX file: its root element <gpx> is in the namespace \"http://www.topografix.com/GPX/2/0\", not "
         "GPX 1.1's \"http://www.topografix.com/GPX/1/1\" (or 1.0's)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            dir.write(c.name, std::string("<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" xmlns=\"") + c.xmlns + "\">" + body);
        TrajectoryLoader loader;
        try {
            EXPECT_EQ(loader.load(path, true).size(), 1u);
            EXPECT_EQ(*c.reason, '\0');
        } catch (const DataFileError& error) {
            EXPECT_EQ(error.reason(), c.reason);
        }
    }
}

// Characters that would not show in a message are named: a rejected time
// with a no-break or zero-width space reads as what it holds.
TEST(TrackFiles, InvisibleCharactersInEchoedTextAreNamed) {
    const struct {
        std::string text, shown;
    } cases[] = {
        {"08:00:00\u00A0", "08:00:00<U+00A0>"},
        {"2009-06-01T08:00\u200B:00Z", "2009-06-01T08:00<U+200B>:00Z"},
        {"\uFEFFsouth 1", "<U+FEFF>south 1"},
        {"a\u202Fb\u3000c\u00ADd", "a<U+202F>b<U+3000>c<U+00AD>d"},
        {"caf\u00E9 \u5317\u4EAC", "caf\u00E9 \u5317\u4EAC"},  // visible letters stay
        {"\xC2", "\xC2"},                                       // a cut sequence stays as it is
    };
    for (const auto& c : cases) EXPECT_EQ(echoText(c.text), c.shown) << c.shown;

    TempDir dir;
    const std::string path =
        dir.write("nbsp.gpx", gpx("<trk><trkseg>" + gpxPoint("trkpt", "39.9", "116.3", "2009-06-01T08:00:00Z\u00A0") +
                                  "</trkseg></trk>\n"));
    TrajectoryLoader loader;
    try {
        loader.load(path, true);
        ADD_FAILURE() << "no error";
    } catch (const DataFileError& error) {
        EXPECT_NE(error.reason().find("\"2009-06-01T08:00:00Z<U+00A0>\" is not an ISO 8601 time"), std::string::npos)
            << error.reason();
    }
}

TEST(TrackFiles, EntitiesAreRefusedAndEchoedTextIsEscaped) {
    TempDir dir;
    const std::string laughs = dir.write(
        "laughs.gpx", "<?xml version=\"1.0\"?>\n<!DOCTYPE gpx [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;\">]>\n"
                      "<gpx version=\"1.1\"><trk><trkseg><trkpt lat=\"39.9\" lon=\"116.3\"><time>&b;</time></trkpt>"
                      "</trkseg></trk></gpx>\n");
    TrajectoryLoader loader;
    try {
        loader.load(laughs, true);
        ADD_FAILURE() << "no error";
    } catch (const DataFileError& error) {
        EXPECT_EQ(error.reason(), "declares an XML entity, which a GPX file has no use for");
    }

    const std::string field = "\x1b[31m\tX\n" + std::string(530, 'y');
    const std::string csv = dir.write("bad\tname.csv", "lat,lon,time\n\"" + field + "\",116.3,2009-06-01T08:00:00Z\n");
    try {
        loader.load(csv, true);
        ADD_FAILURE() << "no error";
    } catch (const DataFileError& error) {
        const std::string message = loadFailureMessage(csv, error);
        EXPECT_EQ(message.find_first_of("\t\n\x1b"), std::string::npos) << message;
        EXPECT_NE(message.find("bad\\tname.csv"), std::string::npos) << message;
        EXPECT_NE(message.find("\"\\x1B[31m\\tX\\n" + std::string(72, 'y') + "\u2026\" is not a latitude"),
                  std::string::npos)
            << message;
    }
}

}  // namespace

namespace {

// One huge token costs expat quadratic time (a 100 MB attribute took a
// minute): a tag, attribute or comment over 1 MiB is refused at once, while
// long text, which expat hands over as it goes, is read.
TEST(TrackFiles, GpxTokensOverAMebibyteAreRefusedLongTextIsNot) {
    TempDir dir;
    const std::string huge(3 << 20, 'x');
    const std::string point = gpxPoint("trkpt", "39.9", "116.3", "2009-06-01T08:00:00Z");
    const struct {
        const char* name;
        std::string body;
        bool refused;
    } cases[] = {
        {"attribute.gpx", "<trk name=\"" + huge + "\"><trkseg>" + point + "</trkseg></trk>", true},
        {"comment.gpx", "<!--" + huge + "--><trk><trkseg>" + point + "</trkseg></trk>", true},
        {"text.gpx", "<trk><desc>" + huge + "</desc><trkseg>" + point + "</trkseg></trk>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write(c.name, gpx(c.body));
        TrajectoryLoader loader;
        try {
            EXPECT_EQ(loader.load(path, true).size(), 1u);
            EXPECT_FALSE(c.refused);
        } catch (const std::exception& error) {
            EXPECT_TRUE(c.refused) << error.what();
            EXPECT_NE(std::string(error.what()).find("over 1 MiB long"), std::string::npos) << error.what();
        }
    }
}

}  // namespace
