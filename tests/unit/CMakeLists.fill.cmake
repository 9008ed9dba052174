# Included from tests/unit/CMakeLists.txt, which provides GTest and include(GoogleTest).
add_executable(test_scene_fill ${CMAKE_CURRENT_LIST_DIR}/test_scene_fill.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_draw_count.cpp)
target_link_libraries(test_scene_fill PRIVATE shardfall_scene GTest::gtest_main)
gtest_discover_tests(test_scene_fill DISCOVERY_TIMEOUT 30 PROPERTIES LABELS unit)
