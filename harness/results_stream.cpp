#include "results_stream.hpp"

#include "line_writer.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FileIdentity identity_of(const struct stat& s) {
    return {s.st_dev, s.st_ino, s.st_nlink};
}

} // namespace

std::size_t whole_lines_length(std::string_view text) {
    const std::size_t last = text.rfind('\n');
    return last == std::string_view::npos ? 0 : last + 1;
}

LineWrite write_line(int fd, std::string_view line) {
    LineWrite result;
    while (result.written < line.size()) {
        const ssize_t n = ::write(fd, line.data() + result.written, line.size() - result.written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // write(2) returning 0 for a non-empty request means no progress is possible.
            result.error = n < 0 ? errno : EIO;
            break;
        }
        result.written += static_cast<std::size_t>(n);
    }
    return result;
}

bool file_removed(const FileIdentity& open_file, const std::optional<FileIdentity>& at_path) {
    return open_file.links == 0 || !at_path.has_value() || at_path->device != open_file.device ||
           at_path->inode != open_file.inode;
}

ResultsFileBuffer::~ResultsFileBuffer() {
    close();
}

void ResultsFileBuffer::attach(int fd, std::string name, std::string label, std::ostream& errors) {
    fd_ = fd;
    created_ = true;
    struct stat file {};
    whole_lines_end_ = ::fstat(fd, &file) == 0 && S_ISREG(file.st_mode) ? file.st_size : 0;
    name_ = std::move(name);
    label_ = std::move(label);
    errors_ = &errors;
}

void ResultsFileBuffer::mark_not_created(int error) {
    created_ = false;
    first_error_ = error;
}

ResultsFileOutcome ResultsFileBuffer::outcome_at(const char* path) const {
    ResultsFileOutcome result = outcome();
    struct stat open_file {};
    if (fd_ < 0 || ::fstat(fd_, &open_file) != 0) {
        return result;
    }
    struct stat named {};
    std::optional<FileIdentity> at_path;
    if (::stat(path, &named) == 0) {
        at_path = identity_of(named);
    }
    result.removed = file_removed(identity_of(open_file), at_path);
    return result;
}

ResultsFileBuffer::int_type ResultsFileBuffer::overflow(int_type c) {
    if (first_error_ != 0 || fd_ < 0) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        pending_.push_back(traits_type::to_char_type(c));
    }
    return traits_type::not_eof(c);
}

std::streamsize ResultsFileBuffer::xsputn(const char* s, std::streamsize n) {
    if (first_error_ != 0 || fd_ < 0) {
        return 0;
    }
    pending_.append(s, static_cast<std::size_t>(n));
    return n;
}

int ResultsFileBuffer::sync() {
    if (first_error_ != 0 || fd_ < 0) {
        return -1;
    }
    return write_pending(whole_lines_length(pending_)) ? 0 : -1;
}

// Writes the first `length` bytes pending, each line with write_line; a rest without a line
// end goes as one more line.
bool ResultsFileBuffer::write_pending(std::size_t length) {
    const std::string_view text(pending_.data(), length);
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t line_end = text.find('\n', begin);
        const std::size_t end = line_end == std::string_view::npos ? text.size() : line_end + 1;
        const LineWrite result = write_line(fd_, text.substr(begin, end - begin));
        if (result.error != 0) {
            // Whatever part of the line reached the file is cut off again, so that the file
            // ends at its last whole line; if that fails too, nothing better is left to do.
            (void)::ftruncate(fd_, whole_lines_end_);
            fail(result.error);
            return false;
        }
        whole_lines_end_ += static_cast<off_t>(end - begin);
        begin = end;
    }
    pending_.erase(0, length);
    return true;
}

bool ResultsFileBuffer::close() {
    if (fd_ < 0) {
        return false;
    }
    const bool flushed = pending_.empty() || write_pending(pending_.size());
    const int fd = fd_;
    fd_ = -1;
    // Some file systems report a failed write only when the file is closed.
    if (::close(fd) != 0 && first_error_ == 0) {
        fail(errno);
    }
    return flushed && first_error_ == 0;
}

void ResultsFileBuffer::fail(int error) {
    if (first_error_ != 0) {
        return;
    }
    first_error_ = error;
    pending_.clear();
    if (errors_ != nullptr) {
        std::ostringstream line;
        line << label_ << ": writing the results file \"" << name_
             << "\" failed: " << std::strerror(error) << "; the console keeps every report\n";
        write_whole_line(*errors_, line.str());
    }
}

void ResultsStream::close() {
    if (!buffer_.close()) {
        setstate(std::ios::failbit);
    }
}
