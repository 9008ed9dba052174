#include "scene_memory.hpp"

#include <cstdint>
#include <limits>

#include <sys/mman.h>

namespace {

// The mapping is kept a whole number of huge pages long, so its last stretch can be a huge
// page too; what lies past `bytes` is never written, only zeroed by the kernel.
std::size_t mapped_length(std::size_t bytes) {
    return (bytes + SceneMemoryAlignment - 1) / SceneMemoryAlignment * SceneMemoryAlignment;
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

double* allocate_scene_memory(std::size_t bytes) {
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
    const std::uintptr_t aligned =
        (start + SceneMemoryAlignment - 1) / SceneMemoryAlignment * SceneMemoryAlignment;
    if (aligned != start) {
        munmap(raw, aligned - start);
    }
    const std::size_t tail = start + reserved - (aligned + length);
    if (tail != 0) {
        munmap(reinterpret_cast<void*>(aligned + length), tail);
    }
    auto* memory = reinterpret_cast<void*>(aligned);
    // EINVAL without CONFIG_TRANSPARENT_HUGEPAGE: small pages are slower, not wrong.
    (void)madvise(memory, length, MADV_HUGEPAGE);
    return static_cast<double*>(memory);
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
