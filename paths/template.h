// Path templates: texts with {NAME} placeholders for values known only at run time.
#pragma once

#include <stdint.h>

// Expands `path_template` into `output` (capacity `capacity` units, NUL included; at least
// 1). Names: TEMP, PROGRAM, PROGRAM_BASE, PROGRAM_DIR, PID, HOME, CACHE_DIR, RANDOM,
// TIME_US, TIME, EXE_DIR, in any case. PROGRAM and its parts follow argument 0; EXE_DIR is
// the directory of the executable's own path, the same in the parent and the child. TIME,
// TIME_US and RANDOM are read back from the environment, or drawn and published there (the
// process environment, not the runtimes' copies) before they are appended. The output is
// NUL-terminated
// after every step. Returns false for an unknown name (the empty one too), a literal unit
// that does not fit, a temporary directory that cannot be read or does not fit, or a shell
// folder that cannot be read; the text written so far stays.
// RANDOM is seeded from the system's cryptographic generator (a cheap seed when there is none).
// Fatal (abort): a value that does not fit, a missing argument 0, or ZOBRIN_ONEFILE_PARENT
// holding a unit that is not a decimal digit.
bool template_expand(wchar_t* output, const wchar_t* path_template, uint32_t capacity);

// How a fresh RANDOM is seeded: from the system's cryptographic generator (advapi32, about
// 2 ms to load under Wine), or from what the process has at hand (performance counter, stack
// address, process and thread ids, time).
enum TemplateSeed { TEMPLATE_SEED_SYSTEM, TEMPLATE_SEED_CHEAP };

// template_expand, with a fresh RANDOM seeded as `seed` says. TEMPLATE_SEED_CHEAP only for the
// first draw of a directory the launcher creates new and never uses when something is there
// (extract/payload_directory.h): a taken name is drawn again with TEMPLATE_SEED_SYSTEM, so names
// guessed and taken in advance cost one more draw and gain nothing. Decision: never for an
// extraction folder's template, whose folder is used when it exists: it is expanded first, and
// its RANDOM (which the directory's name then reads back) comes from the generator.
bool template_expand_seeded(wchar_t* output, const wchar_t* path_template, uint32_t capacity,
                            TemplateSeed seed);

// The random text of `seed` (0 counts as 1): eight xorshift32 steps, the low byte of each,
// written as 11 base64url characters and a NUL into `text`. Fatal (abort): `capacity` below
// 12.
void template_random_text(uint32_t seed, wchar_t* text, uint32_t capacity);
