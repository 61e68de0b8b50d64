#include "engine/allocator.h"

#include <malloc.h>

void PrepareAllocatorForRuns() {
#ifdef __GLIBC__
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  // Every book frees what it took, and the heap's top would be given back and faulted in again
  // for the next one (a run over small books spent half its time in the kernel doing that). Up to
  // a block's worth stays for reuse.
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
#endif
}
