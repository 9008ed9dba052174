#include "lattice.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <sstream>
#include <vector>

namespace {

struct Point {
    std::array<double, 3> normal;
    std::array<double, 3> colour;
    std::array<double, 3> vertex;
};

// Records the calls in order; a call out of order leaves a point half filled and fails.
struct RecordingSink {
    std::vector<Point> points;
    int stage = 0;
    bool in_order = true;
    void normal(double x, double y, double z) {
        in_order = in_order && stage == 0;
        points.push_back({{x, y, z}, {}, {}});
        stage = 1;
    }
    void colour(double r, double g, double b) {
        in_order = in_order && stage == 1;
        points.back().colour = {r, g, b};
        stage = 2;
    }
    void vertex(double x, double y, double z) {
        in_order = in_order && stage == 2;
        points.back().vertex = {x, y, z};
        stage = 0;
    }
};

RecordingSink walk(ChannelBits bits) {
    RecordingSink sink;
    walk_lattice(bits, sink);
    EXPECT_TRUE(sink.in_order);
    return sink;
}

using Triple = std::array<double, 3>;

} // namespace

TEST(Lattice, FiveSixFiveBitsInListOrder) {
    const ChannelBits bits{5, 6, 5};
    const auto sink = walk(bits);
    EXPECT_EQ(lattice_vertex_count(bits), 65536.0);
    ASSERT_EQ(sink.points.size(), 65536U);
    EXPECT_EQ(sink.points[0].vertex, (Triple{0, 0, 0}));
    EXPECT_EQ(sink.points[1].vertex, (Triple{0, 0, 1.0 / 32}));
    EXPECT_EQ(sink.points[2].vertex, (Triple{0, 0, 2.0 / 32}));
    EXPECT_EQ(sink.points[32].vertex, (Triple{0, 1.0 / 64, 0}));
    EXPECT_EQ(sink.points[32 * 64].vertex, (Triple{1.0 / 32, 0, 0}));
    EXPECT_EQ(sink.points.back().vertex, (Triple{31.0 / 32, 63.0 / 64, 31.0 / 32}));
}

TEST(Lattice, NormalIsThePositionNormalisedWithXAndZExchanged) {
    const auto sink = walk({5, 6, 5});
    // The origin has no direction: 0 / 0 is passed on as it is.
    for (double c : sink.points[0].normal) {
        EXPECT_TRUE(std::isnan(c));
    }
    EXPECT_EQ(sink.points[0].colour, (Triple{0, 0, 0}));
    for (std::size_t n : {1U, 33U, 5000U, 65535U}) {
        const auto& p = sink.points[n];
        const double length = std::sqrt(p.vertex[0] * p.vertex[0] + p.vertex[1] * p.vertex[1] +
                                        p.vertex[2] * p.vertex[2]);
        EXPECT_NEAR(p.normal[0], p.vertex[2] / length, 1e-15) << n;
        EXPECT_NEAR(p.normal[1], p.vertex[1] / length, 1e-15) << n;
        EXPECT_NEAR(p.normal[2], p.vertex[0] / length, 1e-15) << n;
    }
    EXPECT_EQ(sink.points[1].normal, (Triple{1, 0, 0}));
}

TEST(Lattice, ColourSwapsTheRedAndBlueCountersNotTheSides) {
    const ChannelBits bits{3, 3, 2};
    const auto sink = walk(bits);
    ASSERT_EQ(sink.points.size(), 256U);
    EXPECT_EQ(lattice_vertex_count(bits), 256.0);
    double max_red = 0;
    for (const auto& p : sink.points) {
        const double i = p.vertex[0] * 8;
        const double k = p.vertex[2] * 4;
        max_red = std::max(max_red, p.colour[0]);
        EXPECT_EQ(p.colour[0], k / 8);
        EXPECT_EQ(p.colour[2], i / 4);
        EXPECT_EQ(p.colour[1], p.vertex[1]);
    }
    EXPECT_EQ(max_red, 3.0 / 8);
    // Blue reaches 1 at i = 4 and passes it for i = 5..7 (GL clamps it).
    EXPECT_EQ(sink.points[4 * 32].colour[2], 1.0);
    EXPECT_EQ(sink.points[7 * 32].colour[2], 7.0 / 4);
}

TEST(Lattice, ZeroBitsGiveOnePointAtTheOrigin) {
    const auto sink = walk({0, 0, 0});
    ASSERT_EQ(sink.points.size(), 1U);
    EXPECT_EQ(sink.points[0].vertex, (Triple{0, 0, 0}));
    EXPECT_EQ(lattice_vertex_count({0, 0, 0}), 1.0);
}

TEST(Lattice, VertexCountsOfRealDepths) {
    EXPECT_EQ(lattice_vertex_count({8, 8, 8}), 16777216.0);
    EXPECT_EQ(lattice_vertex_count({10, 10, 10}), 1073741824.0);
}

TEST(Lattice, BitsGuard) {
    EXPECT_TRUE(lattice_bits_supported({0, 0, 0}));
    EXPECT_TRUE(lattice_bits_supported({8, 8, 8}));
    EXPECT_TRUE(lattice_bits_supported({30, 30, 30}));
    EXPECT_FALSE(lattice_bits_supported({31, 8, 8}));
    EXPECT_FALSE(lattice_bits_supported({8, 32, 8}));
    EXPECT_FALSE(lattice_bits_supported({8, 8, 31}));
    EXPECT_FALSE(lattice_bits_supported({-1, 8, 8}));

    std::ostringstream out;
    write_lattice_bits_refusal(out, 3, {32, 32, 32});
    EXPECT_EQ(out.str(),
              "latticeglow: window 3: channel bits 32/32/32 (red/green/blue) are "
              "beyond the lattice's limit of 30 bits per channel; no lattice is built\n");
}
