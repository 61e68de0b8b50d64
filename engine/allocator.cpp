#include "engine/allocator.h"

#include <malloc.h>

void PrepareAllocatorForRuns() {
#ifdef __GLIBC__
  // Two threads check books; a third arena would only hold more of what they freed, and one arena
  // for both costs half again the CPU of a run over small books in waiting for its lock.
  mallopt(M_ARENA_MAX, 2);
  // An image is held whole while it is checked, and grows piece by piece. Mapped on its own, each
  // image of each book is faulted in afresh and given back (a run over books of a megabyte or
  // two spent a quarter of its CPU time in page faults, 160 per book); in the heap, the next book
  // reuses the pages. Only a block larger than nearly every image is mapped, and the heap is
  // trimmed only beyond what a large book leaves there, so the peak is set by the largest books
  // checked at once and stays flat however many follow.
  mallopt(M_MMAP_THRESHOLD, 8 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 16 * 1024 * 1024);
#endif
}
