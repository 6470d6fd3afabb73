#include "allocatorsettings.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

namespace AllocatorSettings {

void apply()
{
    // Setting either threshold also stops glibc from raising them as blocks are freed.
    mallopt(M_MMAP_THRESHOLD, int(MmapThresholdBytes));
    mallopt(M_TRIM_THRESHOLD, int(TrimThresholdBytes));
    mallopt(M_ARENA_MAX, int(std::max(2U, std::thread::hardware_concurrency())));
}

} // namespace AllocatorSettings
