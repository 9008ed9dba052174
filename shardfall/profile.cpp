#include "profile.hpp"

#include "workload.hpp"

extern const ProgramProfile shardfall_profile = {
    .program_name = "shardfall",
    .mpi_thread_multiple = true,
    .banner_title_line = "Tarnwick :: Oxbrindle Benchmark Graphics Shardfall for Windows on x86 "
                         "64bit system 2022.09.29.",
    .console_pause_line = "Press Key P or Press Mouse Right button to Pause.",
    .console_exit_line = "Press Key Esc to Exit.",
    .results_file_format = "results_shardfall_windows @ %d of %s @ %s",
    .hud_text = "\nPress Key R or Press Mouse Left button to Animate.\nPress Key C to Animate "
                "Manually.\nPress Key P or Press Mouse Right button to Pause.\nPress Key Esc to "
                "Exit.\n",
    .display_mode = "red=10 green=10 blue=10 alpha=10 depth double stencil acca luminance",
    .title_prefix = "OPENGL Shardfall 64 ",
    .blank_line_after_initializing = false,
    .title_blank_lines = 2,
    .console_blank_after_title = true,
    .clear_before_clear_values = false,
    .point_mode_faces = false,
    .scene_pushes_left_open = 0,
    .spacious_finish = true,
    .results_path_after_loop = false,
    .workload = WorkloadKind::Triangles,
    .bind_scene_arrays = bind_scene_arrays,
    .build_scene = build_scene,
    .draw_scene = draw_scene,
    .triangles_per_frame = triangles_per_frame,
    .vertices_per_frame = nullptr,
};
