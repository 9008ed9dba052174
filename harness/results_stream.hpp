#pragma once

#include <ostream>
#include <streambuf>
#include <string>

// What became of a window's results file, for the message at the end of the run.
struct ResultsFileOutcome {
    bool created = false;
    int first_error = 0; // errno of the failed creation or of the first failed write; 0: none
};

// Writes a results file through its descriptor, one write(2) per flush, and keeps the errno
// of the first write that fails. That failure is told in one line on the error sink; after
// it nothing more is written, so the file stays cut at its last whole write instead of
// growing a gap.
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
    // Writes what is pending and closes the descriptor; false when either fails.
    bool close();

    [[nodiscard]] bool is_open() const { return fd_ >= 0; }
    [[nodiscard]] ResultsFileOutcome outcome() const { return {created_, first_error_}; }

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    void fail(int error);

    int fd_ = -1;
    bool created_ = false;
    int first_error_ = 0;
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
