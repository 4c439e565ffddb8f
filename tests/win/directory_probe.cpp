// The launcher with the random part of the payload directory drawn from the seeds 1, 2, 3 ...
// instead of the system's generator. With ZOBRIN_TEST_TAKEN=N the first N draws find their
// path taken: this program creates that directory just before the launcher tries it, as
// another user could. Both roles run this program (the launcher starts its own executable);
// the child draws nothing.
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

#include "base/limits.h"
#include "paths/template.h"
#include "run/driver.h"

static uint32_t probe_next_seed = 1;
static unsigned long probe_taken = 0;

static uint32_t probe_seed(void) {
  uint32_t seed = probe_next_seed++;
  if (probe_taken > 0) {
    probe_taken--;
    // The template's other parts are final before RANDOM is drawn.
    wchar_t temp[ZB_PATH_UNITS];
    wchar_t parent[64];
    wchar_t time_us[64];
    wchar_t text[ZB_RANDOM_TEXT_UNITS];
    DWORD n = GetTempPathW(ZB_PATH_UNITS, temp);
    if (n == 0 || n >= ZB_PATH_UNITS) ExitProcess(101);
    if (GetEnvironmentVariableW(L"ZOBRIN_ONEFILE_PARENT", parent, 64) == 0 ||
        GetEnvironmentVariableW(L"ZOBRIN_ONEFILE_TIME_US", time_us, 64) == 0) {
      ExitProcess(102);
    }
    template_random_text(seed, text, ZB_RANDOM_TEXT_UNITS);
    wchar_t path[ZB_PATH_UNITS];
    swprintf(path, ZB_PATH_UNITS, L"%lsonefile_%ls_%ls_%ls", temp, parent, time_us, text);
    if (!CreateDirectoryW(path, nullptr)) ExitProcess(103);
  }
  return seed;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t taken[32];
  if (GetEnvironmentVariableW(L"ZOBRIN_TEST_TAKEN", taken, 32) - 1 < 31) {
    probe_taken = wcstoul(taken, nullptr, 10);
  }
  template_seed_source = probe_seed;
  return driver_run();
}
