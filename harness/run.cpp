#include "run.hpp"

#include "frame.hpp"
#include "input_callbacks.hpp"
#include "naming.hpp"
#include "placement.hpp"
#include "reports.hpp"
#include "results_file.hpp"
#include "roles.hpp"
#include "state.hpp"
#include "window_reports.hpp"

#include <GL/freeglut.h>
#include <mpi.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

static_assert(ProcessorNameSize >= MPI_MAX_PROCESSOR_NAME);

namespace {

// freeglut reports fatal errors through this function instead of printing and exiting. A
// window that cannot open its display says which display in one line and ends with a failure
// status, which makes the launcher end the run instead of leaving the other ranks waiting.
void on_glut_error(const char* format, va_list args) {
    char message[1024];
    std::vsnprintf(message, sizeof message, format, args);
    const char* program = state::profile->program_name;
    if (std::strstr(message, "failed to open display") != nullptr) {
        const char* display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0') {
            std::fprintf(stderr,
                         "%s: window %d: cannot open the X display: DISPLAY is not set "
                         "(start an X server or Xvfb and set DISPLAY)\n",
                         program, state::window_index);
        } else {
            std::fprintf(stderr, "%s: window %d: cannot open the X display \"%s\"\n", program,
                         state::window_index, display);
        }
    } else {
        std::fprintf(stderr, "%s: window %d: %s\n", program, state::window_index, message);
    }
    std::fflush(nullptr);
    _exit(1);
}

void start_mpi(const ProgramProfile& profile, int* argc, char*** argv, int* provided) {
    if (profile.mpi_thread_multiple) {
        MPI_Init_thread(argc, argv, MPI_THREAD_MULTIPLE, provided);
    } else {
        MPI_Init(argc, argv);
        *provided = MPI_THREAD_SINGLE;
    }
}

void open_results_file(const ProgramProfile& profile) {
    const int w = state::window_index;
    format_timestamp_name(state::timestamp_name, std::time(nullptr));
    format_results_file_name(state::results_file_name, profile.results_file_format, w,
                             state::processor_name, state::timestamp_name);
    ResultsStream& stream = state::results_stream();
    open_new_results_file(stream, state::results_file_name, profile.program_name, w,
                          state::working_directory, std::cerr);
    stream << profile.banner_title_line << std::endl;
    for (int i = 0; i < profile.title_blank_lines; ++i) {
        stream << std::endl;
    }
    if (profile.console_blank_after_title) {
        std::cout << std::endl;
    }
}

void create_window(const ProgramProfile& profile, int* argc, char** argv) {
    const int w = state::window_index;
    glutInitErrorFunc(on_glut_error);
    glutInit(argc, argv);
    glutInitDisplayString(profile.display_mode);
    glutInitWindowSize(WindowSize, WindowSize);
    const int screen_width = glutGet(GLUT_SCREEN_WIDTH);
    const int screen_height = glutGet(GLUT_SCREEN_HEIGHT);
    const WindowPlace place = window_place(w, screen_width, screen_height);
    if (place.moved) {
        report_moved_window(std::cerr, w, place, screen_width, screen_height);
    }
    glutInitWindowPosition(place.x, place.y);
    format_window_title(state::window_title, profile.title_prefix, w);
    state::window_handles[w] = glutCreateWindow(state::window_title);
    glGetIntegerv(GL_RED_BITS, &state::channel_bits.red);
    glGetIntegerv(GL_GREEN_BITS, &state::channel_bits.green);
    glGetIntegerv(GL_BLUE_BITS, &state::channel_bits.blue);
}

int run_window(const ProgramProfile& profile, int* argc, char** argv) {
    const int w = state::window_index;
    open_results_file(profile);
    copy_text(state::hud_text, profile.hud_text);

    state::initialisation_start[w] = MPI_Wtime();
    create_window(profile, argc, argv);
    std::cout << std::endl;
    setup_render_state();
    profile.build_scene();
    state::initialisation_duration[w] = MPI_Wtime() - state::initialisation_start[w];
    report_initialisation();

    glutDisplayFunc(on_display);
    glutReshapeFunc(on_reshape);
    glutIdleFunc(on_idle);
    glutMouseFunc(on_mouse);
    glutKeyboardFunc(on_keyboard);
    glutCloseFunc(on_close);
    glutMainLoop();

    std::cout << std::endl;
    state::results_stream() << std::endl;
    if (profile.results_path_after_loop) {
        report_results_path();
    }
    state::results_stream().close();
    finalize_mpi();
    return 0;
}

} // namespace

int run_program(const ProgramProfile& profile, int argc, char** argv) {
    state::profile = &profile;
    int provided = MPI_THREAD_SINGLE;
    start_mpi(profile, &argc, &argv, &provided);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int name_length = 0;
    MPI_Get_processor_name(state::processor_name, &name_length);

    if (profile.mpi_thread_multiple && provided != MPI_THREAD_MULTIPLE) {
        std::printf("%s", ThreadLevelMessage);
        std::exit(0);
    }

    switch (rank_role(rank)) {
    case RankRole::Console:
        write_banner(std::cout, profile);
        finalize_mpi();
        return 0;
    case RankRole::BeyondTables:
        write_beyond_tables_notice(std::cerr, profile.program_name, rank);
        finalize_mpi();
        return 0;
    case RankRole::Window:
        break;
    }
    state::window_index = rank;
    return run_window(profile, &argc, argv);
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
    // _exit, not _Exit: both skip exit handlers and static destructors, but GL tracers flush
    // their traces by intercepting _exit, so only it leaves a complete trace behind.
    _exit(0);
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
