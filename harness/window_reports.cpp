#include "window_reports.hpp"

#include "naming.hpp"
#include "reports.hpp"
#include "state.hpp"

#include <GL/freeglut.h>

#include <array>
#include <iostream>

void report_initialisation() {
    const int w = state::window_index;
    const double duration = state::initialisation_duration[w];
    write_initialisation_report(std::cout, w, state::processor_name, duration);
    write_initialisation_report(state::results_stream(), w, state::processor_name, duration);
}

void record_frame() {
    const ProgramProfile& profile = *state::profile;
    const int w = state::window_index;
    WindowStats& stats = state::window_stats;
    compute_frame_rates(stats, w, profile);
    const int glut_window = glutGetWindow();
    write_frame_report(std::cout, profile, stats, w, glut_window, state::processor_name);
    write_frame_report(state::results_stream(), profile, stats, w, glut_window,
                       state::processor_name);
    accumulate_frame(stats, w, profile);
}

void report_results_path() {
    std::array<char, ResultsPathSize> path{};
    const bool whole_path =
        format_results_path(path, state::working_directory, state::results_file_name);
    // A path cut to its buffer names nothing: look the file up by the name it was opened with.
    const char* where = whole_path ? path.data() : state::results_file_name;
    write_results_file_outcome(std::cout, path.data(),
                               state::results_stream().file().outcome_at(where));
}
