#include "roles.hpp"

#include "line_writer.hpp"
#include "state.hpp"

#include <ostream>
#include <sstream>

RankRole rank_role(int rank) {
    if (rank == 0) {
        return RankRole::Console;
    }
    if (rank > 0 && rank < MaxWindows) {
        return RankRole::Window;
    }
    return RankRole::BeyondTables;
}

void write_beyond_tables_notice(std::ostream& out, const char* program_name, int rank) {
    std::ostringstream line;
    line << program_name << ": rank " << rank
         << ": a run holds at most 4,096 windows (indices 0 to 4,095); this process takes no "
            "part.\n";
    write_whole_line(out, line.str());
}
