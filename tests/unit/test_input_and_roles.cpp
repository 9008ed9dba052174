#include "input.hpp"
#include "roles.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>
#include <utility>

TEST(KeyDispatch, TheHelpKeysActInEitherCaseAndNoOtherKeyDoes) {
    EXPECT_EQ(key_action(27), InputAction::FinishRun); // Esc
    for (const auto& [key, action] :
         {std::pair{'c', InputAction::StepOnce}, std::pair{'p', InputAction::Pause},
          std::pair{'r', InputAction::Animate}}) {
        EXPECT_EQ(key_action(static_cast<unsigned char>(key)), action) << key;
        EXPECT_EQ(key_action(static_cast<unsigned char>(std::toupper(key))), action) << key;
    }
    int acting = 0;
    for (int code = 0; code < 256; ++code) {
        acting += key_action(static_cast<unsigned char>(code)) != InputAction::None ? 1 : 0;
    }
    EXPECT_EQ(acting, 7); // Esc, C, c, P, p, R, r
}

TEST(MouseDispatch, OnlyLeftAndRightButtonsGoingDownAct) {
    EXPECT_EQ(mouse_action(0, 0), InputAction::Animate); // GLUT_LEFT_BUTTON, GLUT_DOWN
    EXPECT_EQ(mouse_action(2, 0), InputAction::Pause);   // GLUT_RIGHT_BUTTON, GLUT_DOWN
    int acting = 0;
    for (int button = 0; button < 8; ++button) {
        for (int state : {0, 1}) { // GLUT_DOWN, GLUT_UP
            acting += mouse_action(button, state) != InputAction::None ? 1 : 0;
        }
    }
    EXPECT_EQ(acting, 2);
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
