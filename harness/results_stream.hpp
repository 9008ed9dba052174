#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <sys/types.h>

// What became of a window's results file, for the message at the end of the run.
struct ResultsFileOutcome {
    bool created = false;
    int first_error = 0;  // errno of the failed creation or of the first failed write; 0: none
    bool removed = false; // created, but no longer at its path when the run ends
};

// The length of the leading part of `text` that ends with a line end: 0 when none does.
std::size_t whole_lines_length(std::string_view text);

// What write(2) made of one line: the bytes that reached the file, and the errno that stopped
// it before the end of the line (0 when the whole line was written).
struct LineWrite {
    std::size_t written = 0;
    int error = 0;
};

// Writes `line` to `fd`, one write(2) for the line and more only to finish a short write
// that made progress; a write that makes none (0 bytes) counts as EIO.
LineWrite write_line(int fd, std::string_view line);

// A file as stat(2) tells it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    nlink_t links = 0;
};

// Whether an open file is gone from where it was created: no name links to it any more, or
// the path names another file (`at_path`) or nothing (nullopt).
bool file_removed(const FileIdentity& open_file, const std::optional<FileIdentity>& at_path);

// Writes a results file through its descriptor, each line whole, and keeps the errno of the
// first write that fails. That failure is told in one line on the error sink, and the file is
// cut back to the end of its last whole line; after it nothing more is written.
class ResultsFileBuffer : public std::streambuf {
  public:
    ResultsFileBuffer() = default;
    ResultsFileBuffer(const ResultsFileBuffer&) = delete;
    ResultsFileBuffer& operator=(const ResultsFileBuffer&) = delete;
    ~ResultsFileBuffer() override;

    // Takes over the descriptor of a created results file. `label` starts the failure line
    // ("<program>: window <index>").
    void attach(int fd, std::string name, std::string label, std::ostream& errors);
    void mark_not_created(int error);
    // Writes what is pending, an unfinished last line included, and closes the descriptor;
    // false when either fails.
    bool close();

    [[nodiscard]] bool is_open() const { return fd_ >= 0; }
    [[nodiscard]] ResultsFileOutcome outcome() const { return {created_, first_error_, false}; }
    // The outcome, `removed` telling whether the open file is still the one `path` names.
    [[nodiscard]] ResultsFileOutcome outcome_at(const char* path) const;

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    // Writes the complete lines pending; an unfinished line waits for its line end.
    int sync() override;

  private:
    bool write_pending(std::size_t length);
    void fail(int error);

    int fd_ = -1;
    bool created_ = false;
    int first_error_ = 0;
    off_t whole_lines_end_ = 0; // file size after the last line written whole
    std::string pending_;
    std::string name_;
    std::string label_;
    std::ostream* errors_ = nullptr;
};

// The results stream of a window: an output stream on a ResultsFileBuffer.
class ResultsStream : public std::ostream {
  public:
    ResultsStream() : std::ostream(&buffer_) {}
    ResultsStream(const ResultsStream&) = delete;
    ResultsStream& operator=(const ResultsStream&) = delete;
    ~ResultsStream() override = default;

    ResultsFileBuffer& file() { return buffer_; }
    [[nodiscard]] const ResultsFileBuffer& file() const { return buffer_; }
    void close();

  private:
    ResultsFileBuffer buffer_;
};
