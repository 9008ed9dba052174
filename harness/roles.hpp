#pragma once

#include <iosfwd>

// What a process does in a run, decided by its rank.
enum class RankRole { Console, Window, BeyondTables };

RankRole rank_role(int rank);

// shardfall needs MPI_THREAD_MULTIPLE from MPI_Init_thread, or prints this and ends.
inline constexpr const char* ThreadLevelMessage = "MPI do not Support Multiple thread\n";

// One line to standard error for a rank that has no table entry.
void write_beyond_tables_notice(std::ostream& out, const char* program_name, int rank);
