#include "state.hpp"

#include <cstdlib>
#include <unistd.h>

namespace {
// The working directory is captured before main, as the process starts; a directory that has
// been removed under us leaves an empty text rather than a null pointer.
const char* capture_working_directory() {
    const char* dir = getcwd(nullptr, 0);
    return dir != nullptr ? dir : "";
}
} // namespace

namespace state {
const ProgramProfile* profile = nullptr;
int window_index = 0;
char processor_name[ProcessorNameSize] = {};
std::int64_t angle_step = 0;
ChannelBits channel_bits;
const char* working_directory = capture_working_directory();
char timestamp_name[TimestampNameSize] = {};
char results_file_name[ResultsFileNameSize] = {};
char hud_text[HudTextSize] = {};
char window_title[WindowTitleSize] = {};
RankTable<int> window_handles{};
RankTable<unsigned int> scene_lists{};
RankTable<ResultsStream> results_streams;
RankTable<double> initialisation_start{};
RankTable<double> initialisation_duration{};
WindowStats window_stats;

ResultsStream& results_stream() {
    return results_streams[window_index];
}
} // namespace state
