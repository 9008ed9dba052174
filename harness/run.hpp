#pragma once

#include "profile.hpp"

// The whole life of a benchmark process: MPI start, banner or window, main loop.
int run_program(const ProgramProfile& profile, int argc, char** argv);
