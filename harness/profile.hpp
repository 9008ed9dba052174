#pragma once

#include <cstdint>

// What a workload reports per frame: shardfall counts triangles, latticeglow vertices.
enum class WorkloadKind { Triangles, Vertices };

// The constant record in which shardfall and latticeglow differ; everything else in the
// harness is shared.
struct ProgramProfile {
    const char* program_name; // used only in our own diagnostics on standard error
    bool mpi_thread_multiple; // MPI_Init_thread(MULTIPLE) instead of MPI_Init
    const char* banner_title_line;
    const char* console_pause_line;
    const char* console_exit_line;
    const char* results_file_format; // "%d" window index, "%s" processor, "%s" timestamp
    const char* hud_text;
    const char* display_mode;
    const char* title_prefix;
    bool blank_line_after_initializing; // banner: empty line after "Initializing . . ."
    int title_blank_lines;              // results file: empty lines after the title
    bool console_blank_after_title;     // console: empty line once the title is in the file
    bool clear_before_clear_values;     // frame: glClear, then the four clear values
    bool point_mode_faces;              // render state: points for both faces, CW front
    int scene_pushes_left_open;         // frame: extra push pairs draw_scene leaves for the frame
    bool spacious_finish;               // finish: extra empty lines around the results path
    bool results_path_after_loop;       // if the GLUT loop returns: results-path message
    WorkloadKind workload;

    // Workload hooks. bind_scene_arrays may be null.
    void (*bind_scene_arrays)();
    void (*build_scene)();
    void (*draw_scene)();
    std::int64_t (*triangles_per_frame)(); // WorkloadKind::Triangles
    double (*vertices_per_frame)();        // WorkloadKind::Vertices
};
