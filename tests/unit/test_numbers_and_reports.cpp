#include "reports.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::int64_t fake_triangles = 0;
double fake_vertices = 0;
std::int64_t triangles_hook() {
    return fake_triangles;
}
double vertices_hook() {
    return fake_vertices;
}
void nothing() {}

ProgramProfile make_profile(WorkloadKind kind) {
    ProgramProfile p{};
    p.program_name = "test";
    p.banner_title_line = "Title line.";
    p.console_pause_line = "Pause line.";
    p.console_exit_line = "Exit line.";
    p.blank_line_after_initializing = kind == WorkloadKind::Vertices;
    p.workload = kind;
    p.build_scene = nothing;
    p.draw_scene = nothing;
    p.triangles_per_frame = triangles_hook;
    p.vertices_per_frame = vertices_hook;
    return p;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// WindowStats holds large tables: keep one on the heap per test.
std::unique_ptr<WindowStats> fresh_stats() {
    return std::make_unique<WindowStats>();
}

} // namespace

TEST(Banner, ShardfallAndLatticeglowLayouts) {
    ProgramProfile p = make_profile(WorkloadKind::Triangles);
    std::ostringstream out;
    write_banner(out, p);
    auto lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), 15U);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "Title line.");
    EXPECT_EQ(lines[3].rfind("For Support: ", 0), 0U);
    for (int i = 4; i < 8; ++i) {
        EXPECT_EQ(lines[i], "");
    }
    EXPECT_EQ(lines[8], "Press Key R or Press Mouse Left button to Animate.");
    EXPECT_EQ(lines[9], "Press Key C to Animate Manually.");
    EXPECT_EQ(lines[10], "Pause line.");
    EXPECT_EQ(lines[11], "Exit line.");
    EXPECT_EQ(lines[12], "");
    EXPECT_EQ(lines[13], "");
    EXPECT_EQ(lines[14], "Initializing . . .");

    p.blank_line_after_initializing = true;
    std::ostringstream with_blank;
    write_banner(with_blank, p);
    EXPECT_EQ(with_blank.str(), out.str() + "\n");
}

TEST(Reports, InitialisationLineHasNoBlankBeforeTheAt) {
    std::ostringstream out;
    write_initialisation_report(out, 2, "NODE7", 3.521784);
    EXPECT_EQ(out.str(), "Window 2@ NODE7 spent: 3.52178 Secs to Initialize.\n\n\n");
}

TEST(Reports, ShardfallFrameReportAndTotals) {
    const ProgramProfile p = make_profile(WorkloadKind::Triangles);
    auto stats = fresh_stats();
    const int w = 1;
    stats->frame_time[w] = 0.02;
    fake_triangles = 600;
    compute_frame_rates(*stats, w, p);
    std::ostringstream out;
    write_frame_report(out, p, *stats, w, 1, "NODE7");
    EXPECT_EQ(out.str(), "window: 1\n"
                         "It drew 600 Triangles.\n"
                         "It spent: 0.02 Secs. \n"
                         "It was: 50 Angles/sec.\n"
                         "It was: 30000 Triangles/sec.\n"
                         "\n");
    accumulate_frame(*stats, w, p);

    stats->frame_time[w] = 0.03;
    fake_triangles = 1200;
    compute_frame_rates(*stats, w, p);
    accumulate_frame(*stats, w, p);
    EXPECT_EQ(stats->frame_count[w], 2);
    EXPECT_EQ(stats->total_triangles[w], 1800);
    EXPECT_DOUBLE_EQ(stats->total_time[w], 0.05);

    std::ostringstream summary;
    write_summary(summary, p, *stats, w);
    EXPECT_EQ(summary.str(), "Total running time:  0.05 Secs. @ window: 1\n"
                             "Average Angles/Sec: 40 Angles/Sec.\n"
                             "Average Triangles/Sec: 36000 Triangles/Sec.\n");
}

TEST(Reports, LatticeglowFrameReportAndTotals) {
    const ProgramProfile p = make_profile(WorkloadKind::Vertices);
    auto stats = fresh_stats();
    const int w = 3;
    fake_vertices = 16777216;
    for (int frame = 0; frame < 10; ++frame) {
        stats->frame_time[w] = 0.5;
        compute_frame_rates(*stats, w, p);
        if (frame == 0) {
            std::ostringstream out;
            write_frame_report(out, p, *stats, w, 1, "NODE7");
            EXPECT_EQ(out.str(), "window: 3 @ NODE7\n"
                                 "The system spent: 0.5 Secs. \n"
                                 "It was: 2 Angles/sec.\n"
                                 "It was: 3.35544e+07 Vertex/sec.\n"
                                 "\n");
        }
        accumulate_frame(*stats, w, p);
    }
    EXPECT_DOUBLE_EQ(stats->vertex_rate[w], 2 * 16777216.0);
    EXPECT_DOUBLE_EQ(stats->vertex_total[w], 10 * 16777216.0);
    std::ostringstream summary;
    write_summary(summary, p, *stats, w);
    EXPECT_EQ(summary.str(), "Total running time:  5 Secs. @ window: 3\n"
                             "Average Angles/Sec: 2 Angles/Sec.\n"
                             "Average Vertex/Sec: 3.35544e+07 Vertex/Sec.\n");
}

TEST(Reports, SummaryWithoutFramesIsNaN) {
    auto stats = fresh_stats();
    for (WorkloadKind kind : {WorkloadKind::Triangles, WorkloadKind::Vertices}) {
        std::ostringstream out;
        write_summary(out, make_profile(kind), *stats, 2);
        const auto lines = lines_of(out.str());
        ASSERT_EQ(lines.size(), 3U);
        EXPECT_EQ(lines[0], "Total running time:  0 Secs. @ window: 2");
        EXPECT_NE(lines[1].find("nan Angles/Sec."), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find("nan"), std::string::npos) << lines[2];
    }
}

TEST(Reports, ZeroFrameTimeGivesInfiniteRates) {
    const ProgramProfile p = make_profile(WorkloadKind::Triangles);
    auto stats = fresh_stats();
    stats->frame_time[1] = 0;
    fake_triangles = 600;
    compute_frame_rates(*stats, 1, p);
    EXPECT_TRUE(std::isinf(stats->angle_rate[1]));
    EXPECT_TRUE(std::isinf(stats->triangle_rate[1]));
}

TEST(Reports, ResultsPathMessage) {
    std::ostringstream out;
    write_results_path_message(out, "/data/run/results.txt");
    EXPECT_EQ(
        out.str(),
        "Results have been saved in a file and you can find it at: /data/run/results.txt\n\n");
}
