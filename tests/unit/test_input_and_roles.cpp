#include "input.hpp"
#include "roles.hpp"

#include <gtest/gtest.h>

#include <sstream>

TEST(KeyDispatch, EveryKeyCode) {
    for (int code = 0; code < 256; ++code) {
        const auto key = static_cast<unsigned char>(code);
        InputAction expected = InputAction::None;
        switch (code) {
        case 27:
            expected = InputAction::FinishRun;
            break;
        case 'c':
        case 'C':
            expected = InputAction::StepOnce;
            break;
        case 'p':
        case 'P':
            expected = InputAction::Pause;
            break;
        case 'r':
        case 'R':
            expected = InputAction::Animate;
            break;
        default:
            break;
        }
        EXPECT_EQ(key_action(key), expected) << "key code " << code;
    }
}

TEST(MouseDispatch, OnlyLeftAndRightButtonsGoingDownAct) {
    for (int button = 0; button < 8; ++button) {
        for (int state : {0, 1}) { // GLUT_DOWN, GLUT_UP
            InputAction expected = InputAction::None;
            if (state == 0 && button == 0) { // left
                expected = InputAction::Animate;
            } else if (state == 0 && button == 2) { // right
                expected = InputAction::Pause;
            }
            EXPECT_EQ(mouse_action(button, state), expected)
                << "button " << button << " state " << state;
        }
    }
}

TEST(Roles, RankDecidesTheRole) {
    EXPECT_EQ(rank_role(0), RankRole::Console);
    EXPECT_EQ(rank_role(1), RankRole::Window);
    EXPECT_EQ(rank_role(4095), RankRole::Window);
    EXPECT_EQ(rank_role(4096), RankRole::BeyondTables);
    EXPECT_EQ(rank_role(100000), RankRole::BeyondTables);
    EXPECT_EQ(rank_role(-1), RankRole::BeyondTables);
}

TEST(Roles, BeyondTablesNoticeIsOneLine) {
    std::ostringstream out;
    write_beyond_tables_notice(out, "latticeglow", 4096);
    const std::string text = out.str();
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_NE(text.find("4,096 windows"), std::string::npos);
    EXPECT_NE(text.find("rank 4096"), std::string::npos);
}
