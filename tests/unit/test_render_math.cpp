#include "render_math.hpp"

#include <gtest/gtest.h>

#include <cmath>

TEST(LightSet, AngleStepZero) {
    const LightSet l = light_set(0);
    EXPECT_EQ(l.position, (std::array<float, 4>{0, 0, 1, 1}));
    EXPECT_EQ(l.spot_direction, (std::array<float, 3>{0, 0, 1}));
    EXPECT_EQ(l.ambient, (std::array<float, 4>{0.5F, 0, 0, 1}));
    EXPECT_EQ(l.diffuse, (std::array<float, 4>{0, 0, 0.5F, 1}));
    EXPECT_EQ(l.emission, (std::array<float, 4>{0, 0, 0.5F, 1}));
    EXPECT_EQ(l.shininess, 0.0F);
    EXPECT_EQ(l.constant_attenuation, 1.0F);
    EXPECT_EQ(l.linear_attenuation, 0.0F);
    EXPECT_EQ(l.quadratic_attenuation, 1.0F);
}

TEST(LightSet, VectorsFollowTheAngleStepInRadians) {
    const std::int64_t a = 7;
    const double t = std::atan(7.0);
    const double s = std::sin(7.0);
    const double c = std::cos(7.0);
    const LightSet l = light_set(a);
    EXPECT_EQ(l.position, (std::array<float, 4>{static_cast<float>(t), static_cast<float>(s),
                                                static_cast<float>(c), 1}));
    const float ht = static_cast<float>(t * 0.5);
    const float hs = static_cast<float>(s * 0.5);
    const float hc = static_cast<float>(c * 0.5);
    EXPECT_EQ(l.ambient, (std::array<float, 4>{hc, hs, ht, 1}));
    EXPECT_EQ(l.diffuse, (std::array<float, 4>{ht, hs, hc, 1}));
    EXPECT_EQ(l.emission, (std::array<float, 4>{hs, ht, hc, 1}));
    EXPECT_EQ(l.specular, l.diffuse);
    EXPECT_EQ(l.model_ambient, l.ambient);
    EXPECT_EQ(l.shininess, 7.0F);
    EXPECT_EQ(l.linear_attenuation, static_cast<float>(s));
}

TEST(LightSet, ShininessIsTheSignedLow32BitsModulo64) {
    EXPECT_EQ(light_set(63).shininess, 63.0F);
    EXPECT_EQ(light_set(64).shininess, 0.0F);
    EXPECT_EQ(light_set(130).shininess, 2.0F);
    EXPECT_EQ(light_set(2147483647).shininess, 63.0F);
    // From 2^31 on the low 32 bits read as a negative value; C's remainder keeps the sign.
    EXPECT_EQ(light_set(2147483648LL).shininess, 0.0F);
    EXPECT_EQ(light_set(2147483649LL).shininess, -63.0F);
    EXPECT_EQ(light_set(4294967296LL + 5).shininess, 5.0F);
    EXPECT_EQ(light_set(-1).shininess, -1.0F);
}

TEST(OverlayColour, ScalesWithTheChannelDepth) {
    EXPECT_EQ(overlay_colour(0, {8, 8, 8}), (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(overlay_colour(128, {8, 8, 8}), (std::array<float, 3>{0.5F, 0.5F, 0.5F}));
    EXPECT_EQ(overlay_colour(256, {8, 8, 8}), (std::array<float, 3>{1, 1, 1}));
    EXPECT_EQ(overlay_colour(16, {5, 6, 5}), (std::array<float, 3>{0.5F, 0.25F, 0.5F}));
    EXPECT_EQ(overlay_colour(3, {0, 0, 0}), (std::array<float, 3>{3, 3, 3}));
}

TEST(ReshapeBox, WideAndTallAndSquare) {
    const OrthoBox square = reshape_box(1440, 1440);
    EXPECT_EQ(square.left, -1);
    EXPECT_EQ(square.right, 1);
    EXPECT_EQ(square.bottom, -1);
    EXPECT_EQ(square.top, 1);

    const OrthoBox wide = reshape_box(1600, 800);
    EXPECT_EQ(wide.left, -2);
    EXPECT_EQ(wide.right, 2);
    EXPECT_EQ(wide.bottom, -1);
    EXPECT_EQ(wide.top, 1);

    const OrthoBox tall = reshape_box(500, 1000);
    EXPECT_EQ(tall.left, -1);
    EXPECT_EQ(tall.right, 1);
    EXPECT_EQ(tall.bottom, -2);
    EXPECT_EQ(tall.top, 2);
}

TEST(ReshapeBox, SidesPassThroughSinglePrecision) {
    // 16777217 has no float of its own: it becomes 16777216 before the division.
    const OrthoBox box = reshape_box(16777217, 1);
    EXPECT_EQ(box.right, 16777216.0);
}

TEST(Overlay, LineFeedsMoveDownByEighteenPixels) {
    EXPECT_EQ(overlay_line_y(0), 90);
    EXPECT_EQ(overlay_line_y(1), 72);
    EXPECT_EQ(overlay_line_y(5), 0);
}
