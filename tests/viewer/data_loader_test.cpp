// The viewer's background load of a track file: progress while it is read,
// and a cancel (a new Open, closing the window) heard while it is read.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/DataLoading.h"
#include "tests/TempDir.h"

namespace {

// A phone's recording of `points` fixes inside the box, about 110 bytes each.
std::string trackGpx(int points) {
    std::string gpx =
        "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"test\" "
        "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>\n";
    for (int i = 0; i < points; ++i) {
        const int second = i % 86400;
        char line[160];
        std::snprintf(line, sizeof line,
                      "<trkpt lat=\"39.%04d\" lon=\"116.%04d\"><time>2009-06-01T%02d:%02d:%02dZ</time></trkpt>\n",
                      8000 + i % 1000, 2000 + i % 3000, second / 3600, second / 60 % 60, second % 60);
        gpx += line;
    }
    return gpx + "</trkseg></trk></gpx>\n";
}

struct Stage {
    std::string text;
    float progress;
};

TEST(DataLoader, TrackFileReadReportsItsBytesAsProgress) {
    TempDir dir;
    const std::string path = dir.write("walk.gpx", trackGpx(20000));  // about 35 chunks of the reader
    std::vector<Stage> stages;
    const LoadedData loaded =
        loadData(path, 5, [&](const std::string& text, float progress) { stages.push_back({text, progress}); });
    ASSERT_TRUE(loaded.ok()) << loaded.error;
    ASSERT_EQ(loaded.dataset->count, 20000);

    // Reading steps between the start and the end of the read share, in order.
    std::vector<float> reading;
    for (const Stage& stage : stages)
        if (stage.text.starts_with("reading, ")) reading.push_back(stage.progress);
    ASSERT_GE(reading.size(), 10u);
    EXPECT_GT(reading[reading.size() / 2], 0.0f);
    for (std::size_t i = 1; i < reading.size(); ++i) EXPECT_GE(reading[i], reading[i - 1]);
    EXPECT_GT(reading.back(), 0.5f);
    EXPECT_LE(reading.back(), 0.6f);
}

TEST(DataLoader, CancelIsHeardWithinOneChunkOfTheRead) {
    TempDir dir;
    const std::string path = dir.write("walk.gpx", trackGpx(20000));
    std::atomic<bool> cancel{false};
    int readingAfterCancel = 0;
    const LoadedData loaded = loadData(
        path, 5,
        [&](const std::string& text, float) {
            if (!text.starts_with("reading, ")) return;
            if (cancel) ++readingAfterCancel;
            cancel = true;  // at the first chunk
        },
        &cancel);
    EXPECT_EQ(loaded.error, "Loading \"" + path + "\" was cancelled");
    EXPECT_FALSE(loaded.dataset);
    EXPECT_FALSE(loaded.engine);
    EXPECT_EQ(readingAfterCancel, 0);
}

// Not a timing: a read of this size takes far longer than the calls right
// after start, so the cancel lands while it runs.
TEST(DataLoader, OpenWhileLoadingReplacesTheLoadAndStopCancelsIt) {
    TempDir dir;
    const std::string large = dir.write("large.gpx", trackGpx(200000));
    const std::string small = dir.write("small.gpx", trackGpx(3));

    DataLoader loader;
    loader.start(large, 5);
    loader.start(small, 5);  // not refused: the large one is cancelled
    EXPECT_EQ(loader.status().path, small);
    loader.wait();
    std::optional<LoadedData> loaded = loader.take();
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(loaded->ok()) << loaded->error;
    EXPECT_EQ(loaded->path, small);
    EXPECT_EQ(loaded->dataset->count, 3);
    EXPECT_FALSE(loader.take());  // only the newest load is handed over

    loader.start(large, 5);
    loader.stop();
    loaded = loader.take();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->error, "Loading \"" + large + "\" was cancelled");
    EXPECT_FALSE(loaded->dataset);
}

}  // namespace
