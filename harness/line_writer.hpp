#pragma once

#include <ostream>
#include <string>

// Writes a line composed beforehand in one piece and flushes it: on an unbuffered stream
// such as standard error, shared by every process of a run, a line written piece by piece
// can be split by another process's output.
void write_whole_line(std::ostream& out, const std::string& line);
