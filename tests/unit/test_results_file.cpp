#include "naming.hpp"
#include "reports.hpp"
#include "results_file.hpp"
#include "state.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

class InTempDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               ("results-file-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }
    static std::string read(const std::string& name) {
        std::ifstream in(name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    fs::path previous_;
    fs::path dir_;
};

// While it lives, files this process writes stop at `bytes`: the write that crosses the limit
// is cut short there, and the next one fails with EFBIG (SIGXFSZ ignored).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, handler_);
    }

  private:
    rlimit previous_{};
    void (*handler_)(int);
};

} // namespace

TEST(NameVariant, CounterGoesBeforeTheTxtEnding) {
    std::array<char, ResultsFileNameSize> out{};
    ASSERT_TRUE(format_name_variant(out, "results @ 1 of h @ time 07.12.48.txt", 2));
    EXPECT_STREQ(out.data(), "results @ 1 of h @ time 07.12.48-2.txt");
    ASSERT_TRUE(format_name_variant(out, "no-ending", 11));
    EXPECT_STREQ(out.data(), "no-ending-11");
    std::array<char, 8> small{};
    EXPECT_FALSE(format_name_variant(small, "abcdefgh.txt", 2));
    EXPECT_EQ(std::strlen(small.data()), 7U);
}

TEST_F(InTempDirectory, AnExistingFileIsNeverTruncated) {
    const std::string taken =
        "results_x_windows @ 1 of h @ local date 2026.01.01 time 00.00.00.txt";
    std::ofstream(taken) << "earlier run\n";
    std::ofstream(taken.substr(0, taken.size() - 4) + "-2.txt") << "another earlier run\n";

    std::array<char, ResultsFileNameSize> name{};
    copy_text(name, taken.c_str());
    ResultsStream stream;
    std::ostringstream errors;
    ASSERT_TRUE(open_new_results_file(stream, name, "shardfall", 1, "/here", errors));
    const std::string chosen = taken.substr(0, taken.size() - 4) + "-3.txt";
    EXPECT_EQ(name.data(), chosen);
    stream << "this run" << std::endl;
    EXPECT_EQ(read(taken), "earlier run\n");
    EXPECT_EQ(read(chosen), "this run\n");
    EXPECT_EQ(errors.str(), "shardfall: window 1: \"" + taken + "\" exists; writing to \"" +
                                chosen + "\" instead\n");
}

TEST_F(InTempDirectory, AFreeNameIsUsedAsItIs) {
    std::array<char, ResultsFileNameSize> name{};
    copy_text(name, "fresh.txt");
    ResultsStream stream;
    std::ostringstream errors;
    ASSERT_TRUE(open_new_results_file(stream, name, "latticeglow", 2, "/here", errors));
    EXPECT_STREQ(name.data(), "fresh.txt");
    EXPECT_EQ(errors.str(), "");
    EXPECT_TRUE(fs::exists("fresh.txt"));
}

TEST_F(InTempDirectory, AFileThatCannotBeCreatedIsReportedInOneLine) {
    std::array<char, ResultsFileNameSize> name{};
    copy_text(name, "missing-folder/results.txt");
    ResultsStream stream;
    std::ostringstream errors;
    EXPECT_FALSE(open_new_results_file(stream, name, "shardfall", 3, "/work/runs", errors));
    EXPECT_FALSE(stream.file().is_open());
    stream << "lost" << std::endl; // a stream without a file swallows its lines
    EXPECT_EQ(errors.str(), "shardfall: window 3: cannot create the results file "
                            "\"missing-folder/results.txt\" in /work/runs: No such file or "
                            "directory; the reports go to the console only\n");

    std::ostringstream console;
    write_results_file_outcome(console, "/work/runs/missing-folder/results.txt",
                               stream.file().outcome());
    EXPECT_EQ(console.str(), "The results file was not created: "
                             "/work/runs/missing-folder/results.txt (No such file or "
                             "directory); the console holds the full reports.\n\n");
}

// /dev/full fails every write with ENOSPC, as a full disk does.
TEST(ResultsStream, TheFirstFailedWriteIsToldOnceAndReplacesThePathMessage) {
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ResultsStream stream;
    std::ostringstream errors;
    stream.file().attach(fd, "results.txt", "latticeglow: window 2", errors);
    stream << "Window 2@ h spent: 0.5 Secs to Initialize." << std::endl;
    stream << std::endl << "window: 2 @ h" << std::endl;
    stream.close();
    EXPECT_EQ(errors.str(), "latticeglow: window 2: writing the results file \"results.txt\" "
                            "failed: No space left on device; the console keeps every report\n");

    std::ostringstream console;
    write_results_file_outcome(console, "/runs/results.txt", stream.file().outcome());
    EXPECT_EQ(console.str(), "The results file is incomplete: /runs/results.txt (first failed "
                             "write: No space left on device); the console holds the full "
                             "reports.\n\n");
}

TEST_F(InTempDirectory, AFileWhoseWritesAllSucceededKeepsThePathMessage) {
    std::array<char, ResultsFileNameSize> name{};
    copy_text(name, "whole.txt");
    ResultsStream stream;
    std::ostringstream errors;
    ASSERT_TRUE(open_new_results_file(stream, name, "shardfall", 1, "/here", errors));
    stream << "li" << std::flush;
    EXPECT_EQ(read("whole.txt"), ""); // a line reaches the file whole or not at all
    stream << "ne" << std::endl;
    stream.close();
    EXPECT_EQ(read("whole.txt"), "line\n");
    std::ostringstream console;
    write_results_file_outcome(console, "/here/whole.txt", stream.file().outcome());
    EXPECT_EQ(console.str(),
              "Results have been saved in a file and you can find it at: /here/whole.txt\n\n");
}

// The limit falls inside the second of two lines flushed together.
TEST_F(InTempDirectory, AShortWriteIsCutBackToTheLastWholeLine) {
    std::array<char, ResultsFileNameSize> name{};
    copy_text(name, "limited.txt");
    ResultsStream stream;
    std::ostringstream errors;
    ASSERT_TRUE(open_new_results_file(stream, name, "shardfall", 1, "/here", errors));
    {
        const FileSizeLimit limit(70);
        stream << "It spent: 0.222424 Secs. " << std::endl; // 26 bytes
        stream << "It was: 4.49582 Angles/sec.\nIt was: 30000 Triangles/sec.\n" << std::flush;
        stream << "window: 1" << std::endl; // after the failure: not written
    }
    EXPECT_EQ(read("limited.txt"), "It spent: 0.222424 Secs. \nIt was: 4.49582 Angles/sec.\n");
    EXPECT_EQ(errors.str(), "shardfall: window 1: writing the results file \"limited.txt\" "
                            "failed: File too large; the console keeps every report\n");
    EXPECT_EQ(stream.file().outcome().first_error, EFBIG);
}

TEST_F(InTempDirectory, AFileGoneFromItsPathIsToldAsRemoved) {
    std::array<char, ResultsFileNameSize> name{};
    copy_text(name, "gone.txt");
    ResultsStream stream;
    std::ostringstream errors;
    ASSERT_TRUE(open_new_results_file(stream, name, "latticeglow", 1, "/here", errors));
    stream << "line" << std::endl;
    const std::string path = (dir_ / "gone.txt").string();
    EXPECT_FALSE(stream.file().outcome_at(path.c_str()).removed);

    fs::rename("gone.txt", "moved.txt"); // still linked, but not where the message points
    EXPECT_TRUE(stream.file().outcome_at(path.c_str()).removed);
    std::ofstream(path) << "another file\n";
    EXPECT_TRUE(stream.file().outcome_at(path.c_str()).removed);
    fs::remove_all(dir_);
    std::ostringstream console;
    write_results_file_outcome(console, path.c_str(), stream.file().outcome_at(path.c_str()));
    EXPECT_EQ(console.str(), "The results file was removed during the run: " + path +
                                 "; the console holds the full reports.\n\n");
}
