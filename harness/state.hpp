#pragma once

#include "channel_bits.hpp"
#include "profile.hpp"
#include "results_stream.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr int MaxWindows = 4096;

// One entry per window index; a process touches only its own entry.
template <typename T> using RankTable = std::array<T, MaxWindows>;

struct WindowStats {
    RankTable<double> frame_start{};
    RankTable<double> frame_time{};
    RankTable<double> angle_rate{};
    RankTable<double> total_time{};
    RankTable<std::int64_t> frame_count{};
    // shardfall
    RankTable<std::int64_t> triangles_per_frame{};
    RankTable<double> triangle_rate{};
    RankTable<std::int64_t> total_triangles{};
    // latticeglow
    RankTable<double> vertex_rate{};
    RankTable<double> vertex_total{};
};

// At least MPI_MAX_PROCESSOR_NAME of every MPI we build against (checked where MPI is used).
inline constexpr std::size_t ProcessorNameSize = 256;
inline constexpr std::size_t TimestampNameSize = 1024;
inline constexpr std::size_t ResultsFileNameSize = 1024;
inline constexpr std::size_t HudTextSize = 4096;
inline constexpr std::size_t WindowTitleSize = 4096;
inline constexpr std::size_t ResultsPathSize = 2048;

// Process-wide state, alive from start-up to the end of the process.
namespace state {
extern const ProgramProfile* profile;
extern int window_index;
extern char processor_name[ProcessorNameSize];
extern std::int64_t angle_step;
extern ChannelBits channel_bits;
extern const char* working_directory;
extern char timestamp_name[TimestampNameSize];
extern char results_file_name[ResultsFileNameSize];
extern char hud_text[HudTextSize];
extern char window_title[WindowTitleSize];
extern RankTable<int> window_handles;
extern RankTable<unsigned int> scene_lists;
extern RankTable<ResultsStream> results_streams;
extern RankTable<double> initialisation_start;
extern RankTable<double> initialisation_duration;
extern WindowStats window_stats;

ResultsStream& results_stream();
} // namespace state
