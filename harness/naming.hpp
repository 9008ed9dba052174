#pragma once

#include <ctime>
#include <span>

// Every function here writes a NUL-terminated text that is cut to fit its buffer, never
// beyond it. Each returns true when the whole text fitted.

// Local time as "local date %Y.%m.%d time %H.%M.%S.txt".
bool format_timestamp_name(std::span<char> out, std::time_t when);

// The results file name from the profile's format: window index, processor name, timestamp.
bool format_results_file_name(std::span<char> out, const char* format, int window_index,
                              const char* processor_name, const char* timestamp_name);

// The working directory and the file name joined by the platform's path separator.
bool format_results_path(std::span<char> out, const char* directory, const char* file_name);

// "<prefix> Thread: <window index>".
bool format_window_title(std::span<char> out, const char* prefix, int window_index);

// The name to try when `name` is taken: "-<attempt>" inserted before a ".txt" ending
// (appended otherwise), so "x time 07.12.48.txt" becomes "x time 07.12.48-2.txt".
bool format_name_variant(std::span<char> out, const char* name, int attempt);

// A copy of text, cut to fit.
bool copy_text(std::span<char> out, const char* text);

inline constexpr char PathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif
