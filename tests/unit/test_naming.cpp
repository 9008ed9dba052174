#include "naming.hpp"
#include "state.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

std::time_t utc_time(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

class LocalTimeIsUtc : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// Fills a buffer with a marker, so that a write past the end shows.
template <std::size_t N> struct GuardedBuffer {
    std::array<char, N + 64> storage;
    GuardedBuffer() { storage.fill('#'); }
    std::span<char> span() { return std::span<char>(storage.data(), N); }
    bool guard_intact() const {
        for (std::size_t i = N; i < storage.size(); ++i) {
            if (storage[i] != '#') {
                return false;
            }
        }
        return true;
    }
};

} // namespace

TEST_F(LocalTimeIsUtc, ResultsFileNameOfTheNode7Example) {
    std::array<char, TimestampNameSize> stamp{};
    ASSERT_TRUE(format_timestamp_name(stamp, utc_time(2022, 9, 29, 7, 12, 48)));
    EXPECT_STREQ(stamp.data(), "local date 2022.09.29 time 07.12.48.txt");

    std::array<char, ResultsFileNameSize> name{};
    ASSERT_TRUE(format_results_file_name(name, "results_shardfall_windows @ %d of %s @ %s", 2,
                                         "NODE7", stamp.data()));
    EXPECT_STREQ(
        name.data(),
        "results_shardfall_windows @ 2 of NODE7 @ local date 2022.09.29 time 07.12.48.txt");

    ASSERT_TRUE(format_results_file_name(name, "results_latticeglow_windows @ %d of %s @ %s", 4095,
                                         "NODE7", stamp.data()));
    EXPECT_STREQ(name.data(), "results_latticeglow_windows @ 4095 of NODE7 @ local date "
                              "2022.09.29 time 07.12.48.txt");
}

TEST(Naming, LongProcessorNameIsCutToTheFileNameBuffer) {
    const std::string processor(3000, 'n');
    GuardedBuffer<ResultsFileNameSize> name;
    EXPECT_FALSE(format_results_file_name(name.span(), "results_shardfall_windows @ %d of %s @ %s",
                                          7, processor.c_str(), "local date x.txt"));
    EXPECT_EQ(std::strlen(name.storage.data()), ResultsFileNameSize - 1);
    EXPECT_EQ(std::string(name.storage.data(), 31), "results_shardfall_windows @ 7 o");
    EXPECT_TRUE(name.guard_intact());
}

TEST(Naming, ResultsPathJoinsWithTheSeparator) {
    std::array<char, ResultsPathSize> path{};
    ASSERT_TRUE(format_results_path(path, "/home/ana/runs", "results @ 1.txt"));
    EXPECT_STREQ(path.data(), "/home/ana/runs/results @ 1.txt");
}

TEST(Naming, LongDirectoryOrNameIsCutToThePathBuffer) {
    const std::string deep = "/" + std::string(2100, 'd');
    const std::string name = "results_latticeglow_windows @ 1 of host @ local date.txt";
    GuardedBuffer<ResultsPathSize> path;
    EXPECT_FALSE(format_results_path(path.span(), deep.c_str(), name.c_str()));
    EXPECT_EQ(std::strlen(path.storage.data()), ResultsPathSize - 1);
    EXPECT_TRUE(path.guard_intact());

    // A directory that leaves room for part of the name: the name is cut, never overrun.
    const std::string near_full = "/" + std::string(ResultsPathSize - 20, 'e');
    GuardedBuffer<ResultsPathSize> cut;
    EXPECT_FALSE(format_results_path(cut.span(), near_full.c_str(), name.c_str()));
    const std::string text = cut.storage.data();
    EXPECT_EQ(text.size(), ResultsPathSize - 1);
    EXPECT_EQ(text.substr(near_full.size()), "/results_latticegl");
    EXPECT_TRUE(cut.guard_intact());
}

TEST(Naming, WindowTitle) {
    std::array<char, WindowTitleSize> title{};
    ASSERT_TRUE(format_window_title(title, "OPENGL Shardfall 64 ", 3));
    EXPECT_STREQ(title.data(), "OPENGL Shardfall 64  Thread: 3");
    ASSERT_TRUE(format_window_title(title, "OPENGL Latticeglow  64 ", 12));
    EXPECT_STREQ(title.data(), "OPENGL Latticeglow  64  Thread: 12");
}

TEST(Naming, CopyTextCutsToFit) {
    GuardedBuffer<8> small;
    EXPECT_FALSE(copy_text(small.span(), "Press Key R"));
    EXPECT_STREQ(small.storage.data(), "Press K");
    EXPECT_TRUE(small.guard_intact());
}
