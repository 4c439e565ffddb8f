#include "base/progress_line.h"

#include <wchar.h>
#include <windows.h>

#include "base/own_image.h"

// The line's columns at most: "\r", the text and the percentage stay below 80.
static const uint32_t PROGRESS_NAME_UNITS = 48;
static const uint32_t PROGRESS_LINE_UNITS = 80;

enum ProgressConsole { PROGRESS_UNKNOWN, PROGRESS_CONSOLE, PROGRESS_NONE };

// One line per process, written by one thread (`writer`); `done` is added to by any.
struct ProgressLine {
  ULONGLONG started;
  ULONGLONG written;
  uint64_t total;
  volatile LONG64 done;
  const wchar_t* what;
  DWORD writer;
  ProgressConsole console;
  HANDLE handle;
  // The units of the longest text written, which the erasure covers.
  uint32_t shown;
  wchar_t name[PROGRESS_NAME_UNITS];
};
static ProgressLine progress_line;

void progress_line_start(void) {
  progress_line.started = GetTickCount64();
}

void progress_line_begin(const wchar_t* what, uint64_t total) {
  progress_line.what = what;
  progress_line.total = total;
  InterlockedExchange64(&progress_line.done, 0);
  progress_line.writer = GetCurrentThreadId();
}

void progress_line_add(uint64_t bytes) {
  InterlockedExchangeAdd64(&progress_line.done, (LONG64)bytes);
  if (GetCurrentThreadId() == progress_line.writer) progress_line_tick();
}

// True when standard error is a console. Decided once, when the line is first due: a quick
// run never asks.
static bool progress_on_console(ProgressLine* line) {
  if (line->console == PROGRESS_UNKNOWN) {
    line->console = PROGRESS_NONE;
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
      line->handle = handle;
      line->console = PROGRESS_CONSOLE;
      // Decision: a name that does not fit is left out rather than cut.
      if (!own_image_file_name(line->name, PROGRESS_NAME_UNITS)) line->name[0] = L'\0';
    }
  }
  return line->console == PROGRESS_CONSOLE;
}

void progress_line_tick(void) {
  ProgressLine* line = &progress_line;
  // Without a start (a program other than the launcher's parent) there is no line.
  if (line->what == nullptr || line->started == 0 || line->writer != GetCurrentThreadId()) return;
  ULONGLONG now = GetTickCount64();
  if (now - line->started < ZB_PROGRESS_DELAY_MS ||
      (line->written != 0 && now - line->written < ZB_PROGRESS_INTERVAL_MS)) {
    return;
  }
  if (!progress_on_console(line)) return;
  line->written = now;
  uint64_t done = (uint64_t)line->done;
  uint64_t total = line->total;
  unsigned percent = done >= total                  ? 100
                     : total > UINT64_MAX / 100 ? (unsigned)(done / (total / 100))
                                                : (unsigned)(done * 100 / total);
  wchar_t text[PROGRESS_LINE_UNITS];
  int length = swprintf(text, PROGRESS_LINE_UNITS, L"\r%ls%ls%ls... %u%%", line->what,
                        line->name[0] != L'\0' ? L" " : L"", line->name, percent);
  if (length <= 0) return;
  DWORD put = 0;
  WriteConsoleW(line->handle, text, (DWORD)length, &put, /* lpReserved */ nullptr);
  if ((uint32_t)length > line->shown) line->shown = (uint32_t)length;
}

void progress_line_end(void) {
  ProgressLine* line = &progress_line;
  line->what = nullptr;
  if (line->shown == 0) return;
  wchar_t text[PROGRESS_LINE_UNITS + 1];
  uint32_t length = 0;
  text[length++] = L'\r';
  for (uint32_t i = 1; i < line->shown && length < PROGRESS_LINE_UNITS; i++) text[length++] = L' ';
  text[length++] = L'\r';
  DWORD put = 0;
  WriteConsoleW(line->handle, text, length, &put, /* lpReserved */ nullptr);
  line->shown = 0;
}
