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

template <std::size_t N>
void expect_near_each(const std::array<float, N>& got, const std::array<float, N>& want) {
    for (std::size_t i = 0; i < N; ++i) {
        EXPECT_NEAR(got[i], want[i], 1e-6) << "component " << i;
    }
}

// One radian: atan 1 = pi/4, sin 1 = 0.841471, cos 1 = 0.540302.
TEST(LightSet, KnownValuesAtAngleStepOne) {
    const LightSet l = light_set(1);
    expect_near_each(l.position, {0.785398F, 0.841471F, 0.540302F, 1});
    expect_near_each(l.spot_direction, {0.785398F, 0.841471F, 0.540302F});
    expect_near_each(l.ambient, {0.270151F, 0.420735F, 0.392699F, 1});
    expect_near_each(l.diffuse, {0.392699F, 0.420735F, 0.270151F, 1});
    expect_near_each(l.emission, {0.420735F, 0.392699F, 0.270151F, 1});
    EXPECT_EQ(l.specular, l.diffuse);
    EXPECT_EQ(l.model_ambient, l.ambient);
    EXPECT_EQ(l.shininess, 1.0F);
    EXPECT_NEAR(l.constant_attenuation, 0.540302F, 1e-6);
    EXPECT_NEAR(l.linear_attenuation, 0.841471F, 1e-6);
    EXPECT_NEAR(l.quadratic_attenuation, 0.540302F, 1e-6);
}

// The position's y and z are sine and cosine of one angle, x an arc tangent; negating the
// angle step mirrors the odd components and keeps the even one.
TEST(LightSet, PositionStaysOnTheUnitCircleAndMirrorsWithTheAngleStep) {
    for (std::int64_t a : {2, 7, 100, 12345}) {
        const auto p = light_set(a).position;
        const auto q = light_set(-a).position;
        EXPECT_NEAR(p[1] * p[1] + p[2] * p[2], 1.0F, 1e-6) << a;
        EXPECT_LT(std::fabs(p[0]), 1.5707964F) << a;
        EXPECT_EQ(q[0], -p[0]) << a;
        EXPECT_EQ(q[1], -p[1]) << a;
        EXPECT_EQ(q[2], p[2]) << a;
    }
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
