#include "results_stream.hpp"

#include "line_writer.hpp"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <unistd.h>

ResultsFileBuffer::~ResultsFileBuffer() {
    close();
}

void ResultsFileBuffer::attach(int fd, std::string name, std::string label, std::ostream& errors) {
    fd_ = fd;
    created_ = true;
    name_ = std::move(name);
    label_ = std::move(label);
    errors_ = &errors;
}

void ResultsFileBuffer::mark_not_created(int error) {
    created_ = false;
    first_error_ = error;
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
    std::size_t written = 0;
    while (written < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + written, pending_.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // write(2) returning 0 for a non-empty request means no progress is possible.
            fail(n < 0 ? errno : EIO);
            return -1;
        }
        written += static_cast<std::size_t>(n);
    }
    pending_.clear();
    return 0;
}

bool ResultsFileBuffer::close() {
    if (fd_ < 0) {
        return false;
    }
    const bool flushed = pending_.empty() || sync() == 0;
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
