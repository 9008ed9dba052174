#pragma once

#include "line_writer.hpp"
#include "profile.hpp"
#include "results_stream.hpp"
#include "state.hpp"

#include <ostream>

// Every line ends with std::endl, so a sink is complete up to its last line at any moment.

// Rank 0's console banner.
void write_banner(std::ostream& out, const ProgramProfile& profile);

// "Window <i>@ <processor> spent: <duration> Secs to Initialize." and two empty lines.
void write_initialisation_report(std::ostream& out, int window_index, const char* processor_name,
                                 double duration);

// The rates of the frame just drawn, from its frame time and the workload's quantity.
void compute_frame_rates(WindowStats& stats, int window_index, const ProgramProfile& profile);

// The frame report lines and one empty line.
void write_frame_report(std::ostream& out, const ProgramProfile& profile, const WindowStats& stats,
                        int window_index, int glut_window, const char* processor_name);

// Adds the frame just reported to the running totals.
void accumulate_frame(WindowStats& stats, int window_index, const ProgramProfile& profile);

// The three summary lines.
void write_summary(std::ostream& out, const ProgramProfile& profile, const WindowStats& stats,
                   int window_index);

// "Results have been saved in a file and you can find it at: <path>" and one empty line.
void write_results_path_message(std::ostream& out, const char* results_path);

// The end of a run on the console: the results-path message when every write reached the
// file and the file is still there; otherwise one line saying that the file was removed, is
// incomplete or was not created, with its path (and the first error where there is one), and
// that the console holds the full reports; then one empty line.
void write_results_file_outcome(std::ostream& out, const char* results_path,
                                ResultsFileOutcome outcome);
