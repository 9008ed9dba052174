#include "scene_memory.hpp"

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

#include <cpuid.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23 // Linux 5.14; older headers lack the name, older kernels EINVAL
#endif

namespace {

// The mapping is kept a whole number of huge pages long, so its last stretch can be a huge
// page too; what lies past `bytes` is never written, only zeroed by the kernel.
std::size_t mapped_length(std::size_t bytes) {
    return (bytes + SceneMemoryAlignment - 1) / SceneMemoryAlignment * SceneMemoryAlignment;
}

bool wants_huge_pages(PageStrategy strategy) {
    return strategy == PageStrategy::HugeFaulted || strategy == PageStrategy::HugePopulated;
}

bool populates(PageStrategy strategy) {
    return strategy == PageStrategy::SmallPopulated || strategy == PageStrategy::HugePopulated;
}

bool kernel_has_populate_write() {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* probe = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (probe == MAP_FAILED) {
        return false;
    }
    const bool has = madvise(probe, page, MADV_POPULATE_WRITE) == 0;
    munmap(probe, page);
    return has;
}

bool kernel_has_transparent_huge_pages() {
    std::ifstream setting("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string text;
    std::getline(setting, text);
    return !text.empty() && text.find("[never]") == std::string::npos;
}

std::string with_thousands_separators(std::size_t value) {
    std::string digits = std::to_string(value);
    std::string out;
    out.reserve(digits.size() + digits.size() / 3);
    for (std::size_t k = 0; k < digits.size(); ++k) {
        if (k != 0 && (digits.size() - k) % 3 == 0) {
            out += ',';
        }
        out += digits[k];
    }
    return out;
}

} // namespace

const char* page_strategy_name(PageStrategy strategy) {
    switch (strategy) {
    case PageStrategy::SmallFaulted:
        return "4k-faulted";
    case PageStrategy::HugeFaulted:
        return "huge-faulted";
    case PageStrategy::SmallPopulated:
        return "4k-populated";
    case PageStrategy::HugePopulated:
        return "huge-populated";
    }
    return "unknown";
}

bool page_strategy_available(PageStrategy strategy) {
    if (wants_huge_pages(strategy) && !kernel_has_transparent_huge_pages()) {
        return false;
    }
    return !populates(strategy) || kernel_has_populate_write();
}

bool running_under_hypervisor() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    // CPUID leaf 1, ECX bit 31: set by hypervisors for their guests, clear on bare metal.
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & (1U << 31)) != 0;
}

PageStrategy default_page_strategy() {
    // A guest's huge pages come from the 2 MiB blocks that a host reclaims from idle guest
    // memory, so each one costs the host hundreds of faults: measured, 4 KiB pages fill
    // 4-5 times faster there. Where memory is really there (bare metal), huge pages save the
    // per-page work. Without MADV_POPULATE_WRITE the populated strategies quietly become the
    // faulted ones, so no probe is needed here.
    return running_under_hypervisor() ? PageStrategy::SmallPopulated : PageStrategy::HugePopulated;
}

double* reserve_scene_memory(std::size_t bytes, PageStrategy strategy) {
    if (bytes == 0 || bytes > std::numeric_limits<std::size_t>::max() / 2) {
        return nullptr;
    }
    const std::size_t length = mapped_length(bytes);
    // mmap only promises page alignment: map one huge page extra and cut the slack off both
    // ends, which leaves an aligned mapping of exactly `length` bytes.
    const std::size_t reserved = length + SceneMemoryAlignment;
    void* raw = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t head =
        (SceneMemoryAlignment - start % SceneMemoryAlignment) % SceneMemoryAlignment;
    char* const memory = static_cast<char*>(raw) + head;
    if (head != 0) {
        munmap(raw, head);
    }
    const std::size_t tail = reserved - head - length;
    if (tail != 0) {
        munmap(memory + length, tail);
    }
    // Both are only flags on the mapping. Small pages are asked for explicitly so that a
    // kernel with transparent huge pages "always" keeps to them too. EINVAL without
    // CONFIG_TRANSPARENT_HUGEPAGE: then every page is small anyway.
    (void)madvise(memory, length, wants_huge_pages(strategy) ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
    return reinterpret_cast<double*>(memory);
}

void back_scene_pages(double* memory, std::size_t bytes, PageStrategy strategy) {
    if (!populates(strategy) || bytes == 0) {
        return;
    }
    // madvise wants a page-aligned start; widening the range to whole pages stays inside the
    // mapping, which is whole huge pages long, and populating changes no contents.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    auto* first = reinterpret_cast<char*>(memory);
    const std::size_t offset = reinterpret_cast<std::uintptr_t>(first) % page;
    (void)madvise(first - offset, bytes + offset, MADV_POPULATE_WRITE);
}

void release_scene_memory(double* memory, std::size_t bytes) {
    if (memory != nullptr && bytes != 0) {
        munmap(memory, mapped_length(bytes));
    }
}

std::string allocation_failure_message(const char* program, std::size_t bytes) {
    return std::string(program != nullptr ? program : "shardfall") +
           ": cannot allocate the scene buffer of " + with_thousands_separators(bytes) +
           " bytes (" + with_thousands_separators(bytes / sizeof(double)) + " doubles)";
}
