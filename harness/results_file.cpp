#include "results_file.hpp"

#include "line_writer.hpp"
#include "naming.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ostream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {
constexpr int MaxNameAttempts = 1000;
}

bool open_new_results_file(ResultsStream& stream, std::span<char> name, const char* program,
                           int window_index, const char* directory, std::ostream& errors) {
    const std::string original(name.data());
    int error = 0;
    for (int attempt = 1; attempt <= MaxNameAttempts; ++attempt) {
        if (attempt > 1) {
            format_name_variant(name, original.c_str(), attempt);
        }
        // O_EXCL claims the name atomically against other processes in the same directory.
        const int fd =
            ::open(name.data(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
        if (fd >= 0) {
            std::ostringstream label;
            label << program << ": window " << window_index;
            stream.file().attach(fd, name.data(), label.str(), errors);
            if (attempt > 1) {
                std::ostringstream line;
                line << label.str() << ": \"" << original << "\" exists; writing to \""
                     << name.data() << "\" instead\n";
                write_whole_line(errors, line.str());
            }
            return true;
        }
        error = errno;
        if (error != EEXIST) {
            break;
        }
    }
    stream.file().mark_not_created(error);
    std::ostringstream line;
    line << program << ": window " << window_index << ": cannot create the results file \""
         << name.data() << "\" in " << directory << ": " << std::strerror(error)
         << "; the reports go to the console only\n";
    write_whole_line(errors, line.str());
    return false;
}
