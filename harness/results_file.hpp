#pragma once

#include "results_stream.hpp"

#include <iosfwd>
#include <span>

// Opens a new results file under `name`, never truncating an existing file: when the name is
// taken (two runs started in the same second with equal window indices, in one directory)
// the next free variant of it is used and written back into `name`. On failure the stream
// records why, its writes are lost, and one line on `errors` says which file could not be
// created and why. Returns whether the file was created.
bool open_new_results_file(ResultsStream& stream, std::span<char> name, const char* program,
                           int window_index, const char* directory, std::ostream& errors);
