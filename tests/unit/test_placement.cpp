#include "placement.hpp"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace {

TEST(WindowPlace, WindowsWhoseOwnPlaceFitsKeepIt) {
    // A screen the runner makes for 3 windows, a 1920 x 1080 monitor, the largest X screen.
    EXPECT_EQ(places_that_fit(1740, 1740), 17);
    EXPECT_EQ(places_that_fit(1920, 1080), 10);
    EXPECT_EQ(places_that_fit(32767, 32767), 327);
    for (int w : {1, 2, 3}) {
        const WindowPlace p = window_place(w, 1740, 1740);
        EXPECT_EQ(p.x, 100 * w);
        EXPECT_EQ(p.y, 100 * w);
        EXPECT_FALSE(p.moved);
    }
    EXPECT_FALSE(window_place(9, 1920, 1080).moved);
    EXPECT_FALSE(window_place(326, 32767, 32767).moved);
}

TEST(WindowPlace, OthersContinueTheDiagonalOnTheScreen) {
    // The first place off a 1080-pixel-high screen, and the places past X's coordinates.
    const WindowPlace p = window_place(10, 1920, 1080);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 0);
    EXPECT_TRUE(p.moved);
    EXPECT_EQ(window_place(12, 1920, 1080).x, 200);
    EXPECT_EQ(window_place(330, 32767, 32767).x, 300);
    // Unknown screen size: only X's coordinates bound the diagonal.
    EXPECT_FALSE(window_place(327, 0, 0).moved);
    EXPECT_EQ(window_place(329, 0, 0).x, 100);
    // A screen smaller than one step still shows every window somewhere.
    EXPECT_EQ(window_place(7, 50, 50).x, 0);
    // Every place stays on the screen, and 327 consecutive windows never share one.
    std::set<int> seen;
    for (int w = 3700; w < 3700 + 327; ++w) {
        const WindowPlace q = window_place(w, 32767, 32767);
        EXPECT_LE(q.x + 100, 32767);
        seen.insert(q.x);
    }
    EXPECT_EQ(seen.size(), 327U);

    std::ostringstream line;
    report_moved_window(line, 330, window_place(330, 32767, 32767), 32767, 32767);
    EXPECT_EQ(line.str(), "Window 330's place (33000, 33000) does not fit the 32767 x 32767 "
                          "screen: it is drawn at (300, 300).\n");
}

} // namespace
