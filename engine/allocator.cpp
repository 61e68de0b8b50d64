#include "engine/allocator.h"

#include <malloc.h>

void PrepareAllocatorForRuns() {
#ifdef __GLIBC__
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}
