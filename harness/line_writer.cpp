#include "line_writer.hpp"

void write_whole_line(std::ostream& out, const std::string& line) {
    out << line << std::flush;
}
