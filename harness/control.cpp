#include "control.hpp"

#include "input.hpp"
#include "naming.hpp"
#include "reports.hpp"
#include "state.hpp"

#include <GL/freeglut.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

void on_idle() {
    state::angle_step += 1;
    glutPostWindowRedisplay(state::window_handles[state::window_index]);
}

namespace {
void apply(InputAction action) {
    switch (action) {
    case InputAction::FinishRun:
        finish_run();
        break;
    case InputAction::StepOnce:
        state::angle_step += 1;
        glutPostWindowRedisplay(state::window_handles[state::window_index]);
        break;
    case InputAction::Pause:
        glutIdleFunc(nullptr);
        break;
    case InputAction::Animate:
        glutIdleFunc(on_idle);
        break;
    case InputAction::None:
        break;
    }
}
} // namespace

void on_mouse(int button, int button_state, int /*x*/, int /*y*/) {
    apply(mouse_action(button, button_state));
}

void on_keyboard(unsigned char key, int /*x*/, int /*y*/) {
    apply(key_action(key));
}

// A window closed by the user ends its own process the way Esc does, so that the other
// windows of the run go on (a rank that ends without finalising brings the whole job down).
void on_close() {
    finish_run();
}

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
    format_results_path(path, state::working_directory, state::results_file_name);
    write_results_path_message(std::cout, path.data());
}

void finish_run() {
    static bool finishing = false;
    if (finishing) {
        return;
    }
    finishing = true;

    const ProgramProfile& profile = *state::profile;
    const int w = state::window_index;
    write_summary(std::cout, profile, state::window_stats, w);
    std::cout << std::endl;
    write_summary(state::results_stream(), profile, state::window_stats, w);
    state::results_stream() << std::endl;
    if (profile.spacious_finish) {
        std::cout << std::endl;
    }
    report_results_path();
    if (profile.spacious_finish) {
        std::cout << std::endl;
    }

    // The wait in finalize lasts until the last window of the run ends: take this window off
    // the screen first, so that it does not sit there frozen.
    // freeglut destroys the window at the end of the next loop pass but does not flush the
    // request to the X server; the pass after it flushes while it looks for events.
    glutDestroyWindow(state::window_handles[w]);
    glutMainLoopEvent();
    glutMainLoopEvent();

    finalize_mpi();
    std::fflush(nullptr);
    std::_Exit(0);
}

void finalize_mpi() {
    MPI_Request barrier = MPI_REQUEST_NULL;
    MPI_Ibarrier(MPI_COMM_WORLD, &barrier);
    int done = 0;
    while (done == 0) {
        MPI_Test(&barrier, &done, MPI_STATUS_IGNORE);
        if (done == 0) {
            const timespec pause{0, 20'000'000};
            nanosleep(&pause, nullptr);
        }
    }
    MPI_Finalize();
}
