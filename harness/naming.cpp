#include "naming.hpp"

#include <cstdio>
#include <cstring>

namespace {
// snprintf never writes past size and always terminates; its result says whether it cut.
bool fitted(int written, std::size_t size) {
    return written >= 0 && static_cast<std::size_t>(written) < size;
}
} // namespace

bool format_timestamp_name(std::span<char> out, std::time_t when) {
    if (out.empty()) {
        return false;
    }
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) {
        out[0] = '\0';
        return false;
    }
    const std::size_t n =
        std::strftime(out.data(), out.size(), "local date %Y.%m.%d time %H.%M.%S.txt", &local);
    if (n == 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

bool format_results_file_name(std::span<char> out, const char* format, int window_index,
                              const char* processor_name, const char* timestamp_name) {
    if (out.empty()) {
        return false;
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n =
        std::snprintf(out.data(), out.size(), format, window_index, processor_name, timestamp_name);
#pragma GCC diagnostic pop
    return fitted(n, out.size());
}

bool format_results_path(std::span<char> out, const char* directory, const char* file_name) {
    if (out.empty()) {
        return false;
    }
    const int n =
        std::snprintf(out.data(), out.size(), "%s%c%s", directory, PathSeparator, file_name);
    return fitted(n, out.size());
}

bool format_window_title(std::span<char> out, const char* prefix, int window_index) {
    if (out.empty()) {
        return false;
    }
    const int n =
        std::snprintf(out.data(), out.size(), "%s%s%d", prefix, " Thread: ", window_index);
    return fitted(n, out.size());
}

bool copy_text(std::span<char> out, const char* text) {
    if (out.empty()) {
        return false;
    }
    const int n = std::snprintf(out.data(), out.size(), "%s", text);
    return fitted(n, out.size());
}

bool format_name_variant(std::span<char> out, const char* name, int attempt) {
    if (out.empty()) {
        return false;
    }
    const std::size_t length = std::strlen(name);
    const char* suffix = ".txt";
    const std::size_t suffix_length = std::strlen(suffix);
    const bool has_suffix =
        length >= suffix_length && std::strcmp(name + length - suffix_length, suffix) == 0;
    const int stem = static_cast<int>(has_suffix ? length - suffix_length : length);
    const int n = std::snprintf(out.data(), out.size(), "%.*s-%d%s", stem, name, attempt,
                                has_suffix ? suffix : "");
    return fitted(n, out.size());
}
