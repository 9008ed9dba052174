#pragma once

// GLUT input callbacks and the per-window reports, on the process's single thread.
void on_idle();
void on_mouse(int button, int button_state, int x, int y);
void on_keyboard(unsigned char key, int x, int y);
void on_close();

void report_initialisation();
void record_frame();
void report_results_path();

// Summary to both sinks, results path, window off the screen, MPI finalised, process ended
// with status 0. Runs once; later calls (a second Esc, the close callback that destroying
// the window raises) return at once.
void finish_run();

// Waits for every rank without spinning, then MPI_Finalize. Ranks that finished early and the
// console rank wait here for the whole run, so the wait must not take CPU from the renderers.
void finalize_mpi();
