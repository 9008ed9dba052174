#pragma once

#include <cstddef>
#include <string>

// Huge-page sized, so the buffer can be backed by transparent huge pages when that pays.
inline constexpr std::size_t SceneMemoryAlignment = std::size_t{2} << 20;

// How the pages of the scene buffer come to exist. Reserving the range touches nothing; the
// pages are backed chunk by chunk during the fill, just before each chunk is written, so the
// zeroed page is still in the cache when the fill writes it.
enum class PageStrategy {
    SmallFaulted,   // 4 KiB pages, one page fault per page on the fill's first write
    HugeFaulted,    // MADV_HUGEPAGE, one fault per 2 MiB
    SmallPopulated, // 4 KiB pages, each chunk backed by one MADV_POPULATE_WRITE call
    HugePopulated,  // MADV_HUGEPAGE and MADV_POPULATE_WRITE per chunk
};

inline constexpr PageStrategy AllPageStrategies[] = {
    PageStrategy::SmallFaulted, PageStrategy::HugeFaulted, PageStrategy::SmallPopulated,
    PageStrategy::HugePopulated};

const char* page_strategy_name(PageStrategy strategy);

// Whether the running kernel offers what the strategy asks for: transparent huge pages not
// switched off, MADV_POPULATE_WRITE (Linux 5.14). Strategies the kernel lacks still work (the
// fill's writes back the pages), they just are not what they say.
bool page_strategy_available(PageStrategy strategy);

// What the CPU says about where we run: true in a virtual machine.
bool running_under_hypervisor();

// SmallPopulated in a virtual machine, HugePopulated on bare metal (see bench/README.md for the figures).
PageStrategy default_page_strategy();

// Reserves anonymous memory of at least `bytes`, aligned to SceneMemoryAlignment, with the
// huge-page advice the strategy asks for. No page is touched. Returns nullptr on failure or
// for 0 bytes.
double* reserve_scene_memory(std::size_t bytes, PageStrategy strategy);

// Backs [memory, memory + bytes) with pages before it is written, if the strategy does that
// up front; a no-op for the faulted strategies. `memory` must lie in a range from
// reserve_scene_memory. Failures are ignored: the writes that follow back the pages anyway.
void back_scene_pages(double* memory, std::size_t bytes, PageStrategy strategy);

// Gives back what reserve_scene_memory(bytes, ...) returned; `bytes` must be the same value.
void release_scene_memory(double* memory, std::size_t bytes);

// One line, no newline, e.g. "shardfall: cannot allocate the scene buffer of 663,580,800
// bytes (82,947,600 doubles)".
std::string allocation_failure_message(const char* program, std::size_t bytes);
