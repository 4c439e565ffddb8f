// The fatal exits of base/fatal.h for the fuzz and replay harnesses: instead of ending the
// process they jump back to the harness that armed them.
#pragma once

#include <setjmp.h>

// Where the next fatal exit returns to (setjmp result 1); null means none is expected, and
// a fatal exit then aborts.
extern jmp_buf* fatal_jump_target;

// The message of the last fatal exit, or null.
extern const char* fatal_jump_message;
