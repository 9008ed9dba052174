#include "draw_count.hpp"
#include "scene_fill.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

TEST(DrawCount, GrowsWithWindowIndexAndAngleStep) {
    EXPECT_EQ(draw_count(1, 1), 3600);
    EXPECT_EQ(triangles_for_draw_count(draw_count(1, 1)), 600);
    EXPECT_EQ(draw_count(3, 10), 3600 * 30);
    EXPECT_EQ(triangles_for_draw_count(draw_count(3, 10)), 600 * 30);
    EXPECT_EQ(draw_count(2, 17), 2 * draw_count(1, 17));
    EXPECT_EQ(draw_count(1, 0), 0);
    EXPECT_EQ(draw_count(4095, 0), 0);
}

TEST(DrawCount, NeverPassesTheIndexCapacityOfTheBuffer) {
    EXPECT_EQ(MaxDrawCount, SceneBufferBytes);
    EXPECT_EQ(MaxDrawCount, 3600 * 184328);
    EXPECT_EQ(draw_count(1, 184328), MaxDrawCount);
    EXPECT_EQ(draw_count(1, 184329), MaxDrawCount);
    EXPECT_EQ(draw_count(1, 184327), MaxDrawCount - 3600);
    // The cap depends on the product: 2 x 92,164 = 184,328 is the last uncapped one.
    EXPECT_EQ(draw_count(2, 92164), MaxDrawCount);
    EXPECT_EQ(draw_count(2, 92165), MaxDrawCount);
    EXPECT_EQ(draw_count(3, 61442), 3 * 61442 * 3600);
    EXPECT_EQ(draw_count(3, 61443), MaxDrawCount);
    EXPECT_EQ(triangles_for_draw_count(MaxDrawCount), 110'596'800);
    // Fits GL's 32-bit signed size type.
    EXPECT_LE(MaxDrawCount, std::numeric_limits<std::int32_t>::max());
}

TEST(DrawCount, AngleStepsNearTheTopOfTheRangeDoNotOverflow) {
    const std::int64_t top = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(draw_count(1, top), MaxDrawCount);
    EXPECT_EQ(draw_count(4095, top), MaxDrawCount);
    EXPECT_EQ(draw_count(4095, top / 4095 + 1), MaxDrawCount);
    EXPECT_EQ(draw_count(1, std::numeric_limits<std::int64_t>::min()), 0);
}
