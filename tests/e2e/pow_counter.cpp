// Preloaded into a program to count its calls of pow: every call made from the program's own
// code (not from libraries such as the GL driver) adds one to a counter kept in a shared
// mapping of the file named by POW_COUNT_FILE, so the count survives a process that ends
// without exit-time clean-up.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using PowFunction = double (*)(double, double);

struct Counter {
    PowFunction real = nullptr;
    std::uint64_t* count = nullptr;
    std::uintptr_t code_begin = 0;
    std::uintptr_t code_end = 0;
};

// The executable's mappings: the first and last address of /proc/self/exe in the maps.
void find_program_code(Counter& c) {
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        return;
    }
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) {
        return;
    }
    char line[8192];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long begin = 0;
        unsigned long end = 0;
        if (std::sscanf(line, "%lx-%lx", &begin, &end) != 2) {
            continue;
        }
        const char* path = std::strchr(line, '/');
        if (path == nullptr || std::strncmp(path, exe, static_cast<std::size_t>(n)) != 0) {
            continue;
        }
        if (c.code_begin == 0 || begin < c.code_begin) {
            c.code_begin = begin;
        }
        if (end > c.code_end) {
            c.code_end = end;
        }
    }
    std::fclose(maps);
}

Counter& counter() {
    static Counter c = [] {
        Counter made;
        made.real = reinterpret_cast<PowFunction>(dlsym(RTLD_NEXT, "pow"));
        find_program_code(made);
        const char* file = std::getenv("POW_COUNT_FILE");
        if (file != nullptr) {
            const int fd = open(file, O_RDWR | O_CREAT, 0644);
            if (fd >= 0 && ftruncate(fd, sizeof(std::uint64_t)) == 0) {
                void* m =
                    mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                if (m != MAP_FAILED) {
                    made.count = static_cast<std::uint64_t*>(m);
                }
            }
        }
        return made;
    }();
    return c;
}

} // namespace

extern "C" double pow(double x, double y) {
    Counter& c = counter();
    const auto caller = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    if (c.count != nullptr && caller >= c.code_begin && caller < c.code_end) {
        *c.count += 1;
    }
    return c.real(x, y);
}
