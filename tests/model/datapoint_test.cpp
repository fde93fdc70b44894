#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "model/Datapoint.h"
#include "model/ModeNames.h"

TEST(Datapoint, ReadsTheLittleEndianFileLayout) {
    const unsigned char bytes[16] = {0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0x3E,
                                     0x02, 0x00, 0x00, 0x00, 0x10, 0x0E, 0x00, 0x00};
    Datapoint p;
    std::memcpy(&p, bytes, sizeof p);
    EXPECT_EQ(p.x, 0.5f);
    EXPECT_EQ(p.y, 0.25f);
    EXPECT_EQ(p.mode, mode::WALK);
    EXPECT_EQ(p.time, 3600);
}

TEST(Datapoint, ModesAreOneBitEachAndCoverAllElevenBits) {
    std::int32_t all = 0;
    for (int i = 0; i < kModeCount; ++i) {
        EXPECT_EQ(kModes[i], 1 << i);
        all |= kModes[i];
    }
    EXPECT_EQ(all, kAllModes);
}

TEST(Datapoint, FrameBoundsNormaliseToTheUnitSquare) {
    EXPECT_EQ(normalizeLatitude(39.75f), 0.0f);
    EXPECT_EQ(normalizeLatitude(40.1f), 1.0f);
    EXPECT_EQ(normalizeLongitude(116.15f), 0.0f);
    EXPECT_EQ(normalizeLongitude(116.6f), 1.0f);
    EXPECT_NEAR(normalizeLatitude(39.9f), 0.428578f, 1e-6);
    EXPECT_NEAR(normalizeLongitude(116.3f), 0.333339f, 1e-6);
    EXPECT_TRUE(insideFrame(39.75f, 116.15f));
    EXPECT_TRUE(insideFrame(40.1f, 116.6f));
    EXPECT_FALSE(insideFrame(40.1001f, 116.3f));
    EXPECT_FALSE(insideFrame(40.0f, 116.0f));
    EXPECT_FALSE(insideFrame(std::nanf(""), 116.3f));
    EXPECT_FALSE(insideFrame(39.9f, std::nanf("")));
}

TEST(Datapoint, ClockTimeToSecondsOfDay) {
    EXPECT_EQ(secondsOfDay(0, 0, 0), 0);
    EXPECT_EQ(secondsOfDay(23, 59, 59), 86399);
    EXPECT_EQ(secondsOfDay(1, 0, 0), 3600);
}

TEST(ModeNames, TableHoldsExactlyTheElevenLowerCaseNames) {
    const auto table = makeModeNameTable();
    EXPECT_EQ(table.size(), 11u);
    EXPECT_EQ(table.at("taxi"), mode::CAR);
    EXPECT_EQ(table.at("car"), mode::CAR);
    EXPECT_EQ(table.at("motorcycle"), mode::MOTORCYCLE);
    for (const char* absent : {"Walk", "walk ", "unknown", "UNKNOWN", "Unknown", ""})
        EXPECT_EQ(table.count(absent), 0u) << absent;
}

TEST(ModeNames, ToolMaskParsing) {
    EXPECT_EQ(parseModeMask("all"), kAllModes);
    EXPECT_EQ(parseModeMask("walk,bus"), mode::WALK | mode::BUS);
    EXPECT_EQ(parseModeMask("Unknown,TAXI"), mode::UNKNOWN | mode::CAR);
    EXPECT_EQ(parseModeMask("1024"), 1024);
    EXPECT_EQ(parseModeMask("0"), 0);
    EXPECT_FALSE(parseModeMask("2048"));
    EXPECT_FALSE(parseModeMask("-1"));
    EXPECT_FALSE(parseModeMask("walk,,bus"));
    EXPECT_FALSE(parseModeMask("hovercraft"));
    EXPECT_FALSE(parseModeMask(""));
    EXPECT_EQ(modeDisplayName(mode::WALK), "Walk");
    EXPECT_EQ(modeDisplayName(static_cast<TransportationMode>(3)), "");
}
