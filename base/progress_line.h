// The progress line: when extraction or the cached copy's check has not finished after
// ZB_PROGRESS_DELAY_MS and standard error is a console, one line on that console, e.g.
// "Extracting app.exe... 43%", rewritten in place (\r) at most every ZB_PROGRESS_INTERVAL_MS
// and erased (\r, spaces, \r) before the application starts or a fatal line is written.
// Never when standard error is anything else (a file, a pipe, NUL, none). Parent role only.
#pragma once

#include <stdint.h>

// How long the work may take before the line is shown.
constexpr uint32_t ZB_PROGRESS_DELAY_MS = 1000;
// How often the line is rewritten at most.
constexpr uint32_t ZB_PROGRESS_INTERVAL_MS = 250;

// The run's start, which the delay counts from. Main thread.
void progress_line_start(void);

// The work the line counts from here on: `what` ("Extracting", "Checking") over `total`
// bytes, none of them done yet. The calling thread is the one that writes the line.
void progress_line_begin(const wchar_t* what, uint64_t total);

// `bytes` more of the work done, from any thread; on the thread that began the work the line
// is written or rewritten when due (progress_line_tick).
void progress_line_add(uint64_t bytes);

// On the thread that began the work: writes the line when the delay has passed, standard
// error is a console and the last write is at least the interval old. Never fatal.
void progress_line_tick(void);

// Erases the line when it is shown; nothing is written after it. Main thread.
void progress_line_end(void);
