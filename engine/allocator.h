#pragma once

// Settles the C library's allocator for long runs, at the start of a program that runs books,
// before any thread. A book's images are held whole while they are checked, and the books of a
// library range from kilobytes to megabytes; left to itself, glibc raises its threshold for
// mapping a block to the largest block freed so far and gives every thread an arena of its own;
// mapping and trimming too eagerly faults every book's memory in afresh.
void PrepareAllocatorForRuns();
