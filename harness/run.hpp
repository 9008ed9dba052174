#pragma once

#include "profile.hpp"

// The whole life of a benchmark process: MPI start, banner or window, main loop, end.
int run_program(const ProgramProfile& profile, int argc, char** argv);

// Summary to both sinks, results path, window off the screen, MPI finalised, process ended
// with status 0. Runs once; later calls (a second Esc, the close callback that destroying
// the window raises) return at once.
void finish_run();

// Waits for every rank without spinning, then MPI_Finalize. Ranks that finished early and the
// console rank wait here for the whole run, so the wait must not take CPU from the renderers.
void finalize_mpi();
