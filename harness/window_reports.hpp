#pragma once

// The reports of this window process, written to the console and to its results stream.
void report_initialisation();
void record_frame();
// The results-path message, or the line that tells the results file was removed, is
// incomplete or was not created; console only.
void report_results_path();
