// Times the scene buffer fill against the obvious way of writing it. Prints figures; it does
// not pass or fail. Usage: fill_benchmark [avx512|avx2|scalar] (default: the best this CPU has).
#include "scene_fill.hpp"
#include "scene_memory.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr std::size_t Bytes = SceneBufferBytes;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void naive_fill(double* out) {
    for (std::int32_t i = 0; i < SceneBufferElements; ++i) {
        const double x = static_cast<double>(i);
        out[i] = (std::sin(x) + std::cos(x)) * std::tan(x);
    }
}

void shipped_fill(double* out, FillPath path, bool use_best) {
    if (use_best)
        fill_scene_buffer(out);
    else
        fill_scene_range(out, 0, SceneBufferElements, path);
}

// Reading every element back keeps the compiler from dropping the stores and tells us the
// two fills agree.
double checksum(const double* v) {
    double sum = 0.0;
    for (std::int32_t i = 0; i < SceneBufferElements; ++i)
        sum += v[i];
    return sum;
}

// Worst disagreement between the two buffers, in units of the size of the terms that were
// added up (the result itself can cancel to almost nothing).
double worst_scaled_difference(const double* a, const double* b) {
    double worst = 0.0;
    for (std::int32_t i = 0; i < SceneBufferElements; i += 97) {
        const double x = static_cast<double>(i);
        const double scale =
            (std::fabs(std::sin(x)) + std::fabs(std::cos(x))) * std::fabs(std::tan(x));
        if (scale > 0.0) {
            const double d = std::fabs(a[i] - b[i]) / (scale * 0x1p-52);
            worst = d > worst ? d : worst;
        }
    }
    return worst;
}

std::string anon_huge_pages() {
    std::ifstream rollup("/proc/self/smaps_rollup");
    std::string line;
    while (std::getline(rollup, line))
        if (line.rfind("AnonHugePages:", 0) == 0)
            return line.substr(line.find_first_not_of(' ', 14));
    return "unknown";
}

} // namespace

int main(int argc, char** argv) {
    FillPath path = best_fill_path();
    const bool use_best = argc < 2;
    if (!use_best) {
        bool known = false;
        for (FillPath p : {FillPath::Avx512, FillPath::Avx2, FillPath::Scalar})
            if (std::strcmp(argv[1], fill_path_name(p)) == 0) {
                path = p;
                known = true;
            }
        if (!known || !fill_path_supported(path)) {
            std::fprintf(stderr, "fill_benchmark: no usable path \"%s\"\n", argv[1]);
            return 2;
        }
    }
    std::printf("scene buffer: %d doubles, %lld bytes; shipped path: %s\n", SceneBufferElements,
                static_cast<long long>(SceneBufferBytes), fill_path_name(path));

    auto start = std::chrono::steady_clock::now();
    auto* naive = static_cast<double*>(std::malloc(Bytes));
    if (naive == nullptr) {
        std::fprintf(stderr, "%s\n", allocation_failure_message("fill_benchmark", Bytes).c_str());
        return 1;
    }
    naive_fill(naive);
    const double a = seconds_since(start);

    start = std::chrono::steady_clock::now();
    double* shipped = allocate_scene_memory(Bytes);
    if (shipped == nullptr) {
        std::fprintf(stderr, "%s\n", allocation_failure_message("fill_benchmark", Bytes).c_str());
        return 1;
    }
    shipped_fill(shipped, path, use_best);
    const double b = seconds_since(start);
    const std::string huge = anon_huge_pages();

    start = std::chrono::steady_clock::now();
    naive_fill(naive);
    const double c_naive = seconds_since(start);
    start = std::chrono::steady_clock::now();
    shipped_fill(shipped, path, use_best);
    const double c_shipped = seconds_since(start);

    std::printf("(a) malloc + naive scalar loop, fresh memory:            %8.3f s\n", a);
    std::printf("(b) allocate_scene_memory + fill, fresh memory:          %8.3f s\n", b);
    std::printf("(c) arithmetic, touched memory: naive scalar %8.3f s, shipped %8.3f s\n", c_naive,
                c_shipped);
    std::printf("ratio (b)/(a):                 %.3f  (goal <= 0.50, path %s)\n", b / a,
                fill_path_name(path));
    std::printf("ratio arithmetic shipped/naive: %.3f  (goal <= 0.35, path %s)\n",
                c_shipped / c_naive, fill_path_name(path));
    std::printf("per element: naive %.2f ns, shipped %.2f ns (touched memory)\n",
                c_naive / SceneBufferElements * 1e9, c_shipped / SceneBufferElements * 1e9);
    std::printf("AnonHugePages after (b): %s\n", huge.c_str());
    std::printf("checksums: naive %.17g, shipped %.17g; worst sampled difference %.2f ulp of "
                "(|sin|+|cos|)*|tan|\n",
                checksum(naive), checksum(shipped), worst_scaled_difference(naive, shipped));

    release_scene_memory(shipped, Bytes);
    std::free(naive);
    return 0;
}
