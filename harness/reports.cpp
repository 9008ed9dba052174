#include "reports.hpp"

#include <cstring>

void write_banner(std::ostream& out, const ProgramProfile& profile) {
    out << std::endl;
    out << profile.banner_title_line << std::endl;
    out << "Interactive OpenGL benchmark: one window per MPI rank, rank 0 keeps the console."
        << std::endl;
    out << "For Support: see the README of the Tarnwick benchmarks." << std::endl;
    for (int i = 0; i < 4; ++i) {
        out << std::endl;
    }
    out << "Press Key R or Press Mouse Left button to Animate." << std::endl;
    out << "Press Key C to Animate Manually." << std::endl;
    out << profile.console_pause_line << std::endl;
    out << profile.console_exit_line << std::endl;
    out << std::endl << std::endl;
    out << "Initializing . . ." << std::endl;
    if (profile.blank_line_after_initializing) {
        out << std::endl;
    }
}

void write_initialisation_report(std::ostream& out, int window_index, const char* processor_name,
                                 double duration) {
    out << "Window " << window_index << "@ " << processor_name << " spent: " << duration
        << " Secs to Initialize." << std::endl;
    out << std::endl << std::endl;
}

void compute_frame_rates(WindowStats& stats, int w, const ProgramProfile& profile) {
    const double frame_time = stats.frame_time[w];
    stats.angle_rate[w] = 1 / frame_time;
    if (profile.workload == WorkloadKind::Triangles) {
        stats.triangles_per_frame[w] = profile.triangles_per_frame();
        stats.triangle_rate[w] = static_cast<double>(stats.triangles_per_frame[w]) / frame_time;
    } else {
        stats.vertex_rate[w] = profile.vertices_per_frame() / frame_time;
    }
}

void write_frame_report(std::ostream& out, const ProgramProfile& profile, const WindowStats& stats,
                        int w, int glut_window, const char* processor_name) {
    if (profile.workload == WorkloadKind::Triangles) {
        out << "window: " << glut_window << std::endl;
        out << "It drew " << stats.triangles_per_frame[w] << " Triangles." << std::endl;
        out << "It spent: " << stats.frame_time[w] << " Secs. " << std::endl;
        out << "It was: " << stats.angle_rate[w] << " Angles/sec." << std::endl;
        out << "It was: " << stats.triangle_rate[w] << " Triangles/sec." << std::endl;
    } else {
        out << "window: " << w << " @ " << processor_name << std::endl;
        out << "The system spent: " << stats.frame_time[w] << " Secs. " << std::endl;
        out << "It was: " << stats.angle_rate[w] << " Angles/sec." << std::endl;
        out << "It was: " << stats.vertex_rate[w] << " Vertex/sec." << std::endl;
    }
    out << std::endl;
}

void accumulate_frame(WindowStats& stats, int w, const ProgramProfile& profile) {
    if (profile.workload == WorkloadKind::Triangles) {
        stats.total_time[w] += stats.frame_time[w];
        stats.total_triangles[w] += stats.triangles_per_frame[w];
        stats.frame_count[w] += 1;
    } else {
        stats.frame_count[w] += 1;
        stats.total_time[w] += stats.frame_time[w];
        stats.vertex_total[w] =
            profile.vertices_per_frame() * static_cast<double>(stats.frame_count[w]);
    }
}

void write_summary(std::ostream& out, const ProgramProfile& profile, const WindowStats& stats,
                   int w) {
    const double total_time = stats.total_time[w];
    out << "Total running time:  " << total_time << " Secs. @ window: " << w << std::endl;
    out << "Average Angles/Sec: " << static_cast<double>(stats.frame_count[w]) / total_time
        << " Angles/Sec." << std::endl;
    if (profile.workload == WorkloadKind::Triangles) {
        out << "Average Triangles/Sec: "
            << static_cast<double>(stats.total_triangles[w]) / total_time << " Triangles/Sec."
            << std::endl;
    } else {
        out << "Average Vertex/Sec: " << stats.vertex_total[w] / total_time << " Vertex/Sec."
            << std::endl;
    }
}

void write_results_path_message(std::ostream& out, const char* results_path) {
    out << "Results have been saved in a file and you can find it at: " << results_path
        << std::endl;
    out << std::endl;
}

void write_results_file_outcome(std::ostream& out, const char* results_path,
                                ResultsFileOutcome outcome) {
    if (outcome.created && outcome.first_error == 0 && !outcome.removed) {
        write_results_path_message(out, results_path);
        return;
    }
    if (outcome.removed) {
        out << "The results file was removed during the run: " << results_path
            << "; the console holds the full reports." << std::endl;
    } else if (outcome.created) {
        out << "The results file is incomplete: " << results_path
            << " (first failed write: " << std::strerror(outcome.first_error)
            << "); the console holds the full reports." << std::endl;
    } else {
        out << "The results file was not created: " << results_path << " ("
            << std::strerror(outcome.first_error) << "); the console holds the full reports."
            << std::endl;
    }
    out << std::endl;
}
