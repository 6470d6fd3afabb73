#pragma once

// How much freed memory the C library's allocator may keep for later, set once at start-up
// before any thread exists.
//
// By default glibc gives each of up to 8 x cores threads an arena of its own, raises its
// threshold for mmap-ing a large block every time such a block is freed, and trims an arena's
// free top only beyond twice that threshold. A server whose 64 request threads each meet now
// and then a 64 KiB body, a long head or a large answer then keeps the freed megabytes in
// every arena, and its resident memory creeps up for hours while what it really holds stays
// below 2 MiB. Fixed thresholds and as many arenas as cores keep what is freed from staying.

#include <cstddef>

namespace AllocatorSettings {

// Blocks this large or larger are mapped and unmapped on their own.
inline constexpr std::size_t MmapThresholdBytes = 64 * 1024;
// Free memory beyond this at the top of an arena goes back to the system.
inline constexpr std::size_t TrimThresholdBytes = 128 * 1024;

// Applies the settings above, and at most max(2, cores) arenas.
void apply();

} // namespace AllocatorSettings
