#include "engine/journal.h"

void RecoverInterruptedMoves() {}
