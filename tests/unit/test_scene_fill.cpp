#include "scene_fill.hpp"
#include "scene_memory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

// Readable parameter names in failure messages.
void PrintTo(FillPath path, std::ostream* os) {
    *os << fill_path_name(path);
}
void PrintTo(PageStrategy strategy, std::ostream* os) {
    *os << page_strategy_name(strategy);
}

namespace {

constexpr FillPath AllPaths[] = {FillPath::Avx512, FillPath::Avx2, FillPath::Scalar};

// A NaN with a payload nothing computes, so an overwritten guard is unmistakable.
constexpr std::uint64_t GuardBits = 0x7ff4'dead'beef'0001;
const double Guard = std::bit_cast<double>(GuardBits);
bool is_guard(double d) {
    return std::bit_cast<std::uint64_t>(d) == GuardBits;
}

// The result can cancel to nearly nothing near the zeros of sin x + cos x, so the tolerance
// follows the size of the terms instead of the result: 4 ulp of (|sin x| + |cos x|) |tan x|.
void expect_close_to_glibc(double got, std::int64_t i) {
    const double x = static_cast<double>(i);
    const double s = std::sin(x), c = std::cos(x), t = std::tan(x);
    const double scale = (std::fabs(s) + std::fabs(c)) * std::fabs(t);
    const double ulp = scale > 0.0 ? std::ldexp(1.0, std::ilogb(scale) - 52) : 0.0;
    EXPECT_NEAR(got, (s + c) * t, 4 * ulp) << "element " << i;
}

class EveryPath : public testing::TestWithParam<FillPath> {
  protected:
    void SetUp() override {
        if (!fill_path_supported(GetParam()))
            GTEST_SKIP() << fill_path_name(GetParam()) << " not supported by this CPU";
    }
};

TEST_P(EveryPath, FirstElements) {
    double v[4];
    fill_scene_range(v, 0, 4, GetParam());
    EXPECT_EQ(v[0], 0.0);
    EXPECT_FALSE(std::signbit(v[0]));
    EXPECT_NEAR(v[1], 2.15198, 1e-5);
    EXPECT_NEAR(v[2], -1.07755, 1e-5);
    EXPECT_NEAR(v[3], 0.121004, 1e-6);
}

TEST_P(EveryPath, TailsMatchGlibcAndStayInsideTheRange) {
    constexpr int Pad = 16;
    for (std::int32_t begin : {0, 3, 1'000'001, SceneBufferElements - 21}) {
        for (std::int32_t length = 0; length <= 21; ++length) {
            std::vector<double> v(length + 2 * Pad, Guard);
            fill_scene_range(v.data() + Pad, begin, begin + length, GetParam());
            for (int k = 0; k < Pad; ++k) {
                EXPECT_TRUE(is_guard(v[k])) << "before begin " << begin << " length " << length;
                EXPECT_TRUE(is_guard(v[Pad + length + k]))
                    << "after end, begin " << begin << " length " << length;
            }
            for (std::int32_t k = 0; k < length; ++k)
                expect_close_to_glibc(v[Pad + k], std::int64_t{begin} + k);
        }
    }
}

// Runs of 19 exercise full vectors and a tail; the last run ends on the last element.
TEST_P(EveryPath, SampleAcrossTheWholeRange) {
    constexpr std::int32_t Samples = 4000, Run = 19;
    double v[Run];
    for (std::int32_t n = 0; n <= Samples; ++n) {
        const std::int32_t begin =
            static_cast<std::int32_t>(std::int64_t{SceneBufferElements - Run} * n / Samples);
        fill_scene_range(v, begin, begin + Run, GetParam());
        for (std::int32_t k = 0; k < Run; ++k)
            expect_close_to_glibc(v[k], std::int64_t{begin} + k);
        if (HasFailure())
            return; // one bad region is enough; don't print 76,000 lines
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, EveryPath, testing::ValuesIn(AllPaths),
                         testing::PrintToStringParamName());

// The kernel lists a flag only if the CPU has it and the OS saves its registers, which is what
// the run-time check must conclude too; a broken check would otherwise just skip the tests.
TEST(FillPath, SupportAgreesWithTheKernelsCpuFlagsAndBestPrefersWidest) {
    std::ostringstream cpuinfo;
    cpuinfo << std::ifstream("/proc/cpuinfo").rdbuf();
    std::string text = cpuinfo.str();
    std::replace(text.begin(), text.end(), '\n', ' ');
    ASSERT_NE(text.find(" flags"), std::string::npos) << "no CPU flags in /proc/cpuinfo";
    auto has = [&](const char* flag) {
        return text.find(' ' + std::string(flag) + ' ') != text.npos;
    };
    const bool avx512f = has("avx512f"), avx2 = has("avx2"), fma = has("fma");
    EXPECT_EQ(fill_path_supported(FillPath::Avx512), avx512f);
    EXPECT_EQ(fill_path_supported(FillPath::Avx2), avx2 && fma);
    EXPECT_TRUE(fill_path_supported(FillPath::Scalar));
    EXPECT_EQ(best_fill_path(), avx512f       ? FillPath::Avx512
                                : avx2 && fma ? FillPath::Avx2
                                              : FillPath::Scalar);
}

TEST(FillPath, RejectsBadRanges) {
    double v[4];
    EXPECT_THROW(fill_scene_range(v, -1, 2, FillPath::Scalar), std::invalid_argument);
    EXPECT_THROW(fill_scene_range(v, 3, 2, FillPath::Scalar), std::invalid_argument);
}

TEST(SceneMemory, HugePageAlignedAndFailureMessageNamesTheSize) {
    for (std::size_t bytes :
         {std::size_t{8}, std::size_t{3} << 20, std::size_t{SceneBufferBytes}}) {
        double* p = reserve_scene_memory(bytes, PageStrategy::SmallFaulted);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % SceneMemoryAlignment, 0u);
        p[bytes / sizeof(double) - 1] = 1.0; // the whole size is really there
        release_scene_memory(p, bytes);
    }
    EXPECT_EQ(reserve_scene_memory(0, PageStrategy::SmallFaulted), nullptr);
    EXPECT_EQ(allocation_failure_message("shardfall", SceneBufferBytes),
              "shardfall: cannot allocate the scene buffer of 663,580,800 bytes (82,947,600 "
              "doubles)");
    EXPECT_EQ(allocation_failure_message("x", 1'000), "x: cannot allocate the scene buffer of "
                                                      "1,000 bytes (125 doubles)");
}

// Backing a range must not change what it holds, nor reach past the pages it was given.
TEST(SceneMemory, BackingPagesKeepsTheirContents) {
    const std::size_t bytes = std::size_t{5} << 20;
    for (PageStrategy strategy : AllPageStrategies) {
        double* p = reserve_scene_memory(bytes, strategy);
        ASSERT_NE(p, nullptr);
        p[3] = 1.5;
        back_scene_pages(p + 1, bytes - 2 * sizeof(double), strategy);
        EXPECT_EQ(p[3], 1.5) << page_strategy_name(strategy);
        EXPECT_EQ(p[bytes / sizeof(double) - 1], 0.0) << page_strategy_name(strategy);
        release_scene_memory(p, bytes);
    }
}

// CPUID's hypervisor bit, read by the program, must agree with the flag the kernel lists.
TEST(SceneMemory, HypervisorCheckAgreesWithTheKernel) {
    std::ostringstream cpuinfo;
    cpuinfo << std::ifstream("/proc/cpuinfo").rdbuf();
    EXPECT_EQ(running_under_hypervisor(), cpuinfo.str().find(" hypervisor") != std::string::npos);
}

// Every path through the chunked whole-buffer fill, with every page strategy for the best
// path: the whole buffer is written, nothing past it, and the values are right.
class WholeBuffer : public testing::TestWithParam<std::tuple<FillPath, PageStrategy>> {};

TEST_P(WholeBuffer, FillsEveryElementAndStopsAtTheLast) {
    const auto [path, strategy] = GetParam();
    if (!fill_path_supported(path))
        GTEST_SKIP() << fill_path_name(path) << " not supported by this CPU";
    constexpr std::size_t GuardElements = 64;
    const std::size_t bytes = SceneBufferBytes + GuardElements * sizeof(double);
    double* buffer = reserve_scene_memory(bytes, strategy);
    ASSERT_NE(buffer, nullptr);
    for (std::size_t k = 0; k < GuardElements; ++k)
        buffer[SceneBufferElements + k] = Guard;

    // shardfall's own call is the one without arguments: it must be this case.
    if (path == best_fill_path() && strategy == default_page_strategy())
        fill_scene_buffer(buffer);
    else
        fill_scene_buffer(buffer, path, strategy);

    for (std::size_t k = 0; k < GuardElements; ++k)
        EXPECT_TRUE(is_guard(buffer[SceneBufferElements + k])) << "guard " << k;
    EXPECT_EQ(buffer[0], 0.0);
    // Fresh memory reads 0.0 and only element 0 is legitimately zero, so any element the fill
    // missed shows up here.
    std::int64_t unwritten = 0;
    for (std::int32_t i = 1; i < SceneBufferElements; ++i)
        unwritten += buffer[i] == 0.0;
    EXPECT_EQ(unwritten, 0);
    for (std::int64_t i = 1; i < SceneBufferElements; i += 9'973)
        expect_close_to_glibc(buffer[i], i);
    expect_close_to_glibc(buffer[SceneBufferElements - 1], SceneBufferElements - 1);
    release_scene_memory(buffer, bytes);
}

std::vector<std::tuple<FillPath, PageStrategy>> whole_buffer_cases() {
    std::vector<std::tuple<FillPath, PageStrategy>> cases;
    for (FillPath path : AllPaths)
        cases.emplace_back(path, default_page_strategy());
    for (PageStrategy strategy : AllPageStrategies)
        if (strategy != default_page_strategy())
            cases.emplace_back(best_fill_path(), strategy);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(PathsAndPages, WholeBuffer, testing::ValuesIn(whole_buffer_cases()),
                         [](const testing::TestParamInfo<std::tuple<FillPath, PageStrategy>>& p) {
                             std::string name = std::string(fill_path_name(std::get<0>(p.param))) +
                                                "_" + page_strategy_name(std::get<1>(p.param));
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
