#include "profile.hpp"

#include "workload.hpp"

extern const ProgramProfile latticeglow_profile = {
    .program_name = "latticeglow",
    .mpi_thread_multiple = false,
    .banner_title_line = "Tarnwick :: Oxbrindle Benchmark Graphics Latticeglow for Windows on x86 "
                         "64bit system 2022.09.29.",
    .console_pause_line = "Press Key P or Press Mouse Right button for Pause.",
    .console_exit_line = "Press Key Esc for exit.",
    .results_file_format = "results_latticeglow_windows @ %d of %s @ %s",
    .hud_text = "\nPress Key R or Press Mouse Left button to Animate.\nPress Key C to Animate "
                "Manually.\nPress Key P or Press Mouse Right button to Pause.\nPress Key Esc to "
                "exit.\n",
    .display_mode = "red=10 green=10 blue=10 depth double stencil acca luminance ",
    .title_prefix = "OPENGL Latticeglow  64 ",
    .blank_line_after_initializing = true,
    .title_blank_lines = 1,
    .console_blank_after_title = false,
    .clear_before_clear_values = true,
    .point_mode_faces = true,
    .scene_pushes_left_open = 1,
    .spacious_finish = false,
    .results_path_after_loop = true,
    .workload = WorkloadKind::Vertices,
    .bind_scene_arrays = nullptr,
    .build_scene = build_scene,
    .draw_scene = draw_scene,
    .triangles_per_frame = nullptr,
    .vertices_per_frame = vertices_per_frame,
};
