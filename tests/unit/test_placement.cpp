#include "placement.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

TEST(WindowPlace, TheSharedTableOfCases) {
    // The cases the tools' prediction of the rule is checked against too.
    std::ifstream table(PLACEMENT_CASES);
    ASSERT_TRUE(table) << PLACEMENT_CASES;
    int cases = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        int window = 0, width = 0, height = 0, x = 0, moved = 0;
        ASSERT_TRUE(fields >> window >> width >> height >> x >> moved) << line;
        const WindowPlace p = window_place(window, width, height);
        EXPECT_EQ(p.x, x) << line;
        EXPECT_EQ(p.y, x) << line;
        EXPECT_EQ(p.moved, moved != 0) << line;
        ++cases;
    }
    EXPECT_GT(cases, 0);
}

TEST(WindowPlace, WindowsWhoseOwnPlaceFitsKeepIt) {
    // A screen the runner makes for 3 windows, a 1920 x 1080 monitor, the largest X screen.
    EXPECT_EQ(places_that_fit(1740, 1740), 17);
    EXPECT_EQ(places_that_fit(1920, 1080), 10);
    EXPECT_EQ(places_that_fit(32767, 32767), 327);
}

TEST(WindowPlace, OthersContinueTheDiagonalOnTheScreen) {
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
