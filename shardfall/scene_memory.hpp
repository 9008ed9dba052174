#pragma once

#include <cstddef>
#include <string>

// Huge-page sized, so the buffer can be backed by transparent huge pages: a 663 MB buffer
// then costs ~320 page faults instead of ~160,000.
inline constexpr std::size_t SceneMemoryAlignment = std::size_t{2} << 20;

// Anonymous memory of at least `bytes`, aligned to SceneMemoryAlignment and advised
// MADV_HUGEPAGE (quietly going without where the kernel has no transparent huge pages).
// Never touched here: the first write to each page is the caller's. Returns nullptr on
// failure or for 0 bytes.
double* allocate_scene_memory(std::size_t bytes);

// Gives back what allocate_scene_memory(bytes) returned; `bytes` must be the same value.
void release_scene_memory(double* memory, std::size_t bytes);

// One line, no newline, e.g. "shardfall: cannot allocate the scene buffer of 663,580,800
// bytes (82,947,600 doubles)".
std::string allocation_failure_message(const char* program, std::size_t bytes);
