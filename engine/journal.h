#pragma once

// A move that cannot be done in one atomic step (a copy to another file system, packing a book into
// its archive) passes through moments where a kill leaves the book twice, or a hidden temporary
// file beside the destination. Such moves are recorded while they are under way, so that the next
// run can finish or undo what a killed run left half done.

// Resolves the records left by runs that are no longer alive: removes their temporary files and,
// where the book is in place at its destination with the source's exact bytes, the source. Nothing
// else is touched. Safe to call while other runs are alive.
void RecoverInterruptedMoves();
