// Environment variables: reading, setting and unsetting, and the runtimes' own copies.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "paths/env.h"
#include "tests/win/paths_test_util.h"

namespace {

const wchar_t kVar[] = L"ZB_ENV_TEST_VAR";

std::wstring read_text() {
  wchar_t* value = env_read(kVar);
  std::wstring text = value ? value : L"<absent>";
  free(value);
  return text;
}

TEST(Env, EmptyReadsAsAbsent) {
  const wchar_t* values[][2] = {{nullptr, L"<absent>"}, {L"", L"<absent>"},
                                {L"x", L"x"},           {L" a\u00e9\u65e5 ", L" a\u00e9\u65e5 "}};
  for (auto& row : values) {
    ScopedEnv env(kVar, row[0], row[0] != nullptr);
    EXPECT_EQ(read_text(), row[1]);
  }
}

// The system's call, replaced through the program's import slot, so the read can be shown
// results the system itself does not give.
extern "C" void* __imp_GetEnvironmentVariableW;
DWORD fake_result = 0;
DWORD fake_units = 0;

DWORD WINAPI fake_get_variable(LPCWSTR, LPWSTR buffer, DWORD size) {
  if (fake_units < size) {
    for (DWORD i = 0; i < fake_units; i++) buffer[i] = L'a' + (wchar_t)(i % 26);
    buffer[fake_units] = L'\0';
  }
  return fake_result;
}

void set_variable_import(void* function) {
  DWORD old = 0;
  VirtualProtect(&__imp_GetEnvironmentVariableW, sizeof(void*), PAGE_READWRITE, &old);
  __imp_GetEnvironmentVariableW = function;
  VirtualProtect(&__imp_GetEnvironmentVariableW, sizeof(void*), old, &old);
}

TEST(Env, ValueOfTheSystemMaximumLengthIsReadWhole) {
  // Wine keeps at most 32766 units (it cuts a 32767-unit value); Windows keeps 32767.
  std::wstring longest(32767, L'v');
  longest[0] = L'\u00e9';
  ScopedEnv env(kVar, longest.c_str());
  size_t kept = get_env(kVar).size();
  ASSERT_GE(kept, 32766u);
  EXPECT_EQ(read_text(), longest.substr(0, kept));

  // With the call replaced: 32767 units are present and whole; a value that needs a larger
  // buffer is absent.
  struct Row {
    DWORD units, result, expected;  // expected 0: absent
  } rows[] = {{32767, 32767, 32767}, {1, 1, 1}, {0, 32768, 0}, {0, 40000, 0}, {0, 0, 0}};
  void* real = __imp_GetEnvironmentVariableW;
  for (const Row& row : rows) {
    fake_units = row.units;
    fake_result = row.result;
    set_variable_import((void*)&fake_get_variable);
    wchar_t* value = env_read(kVar);
    set_variable_import(real);
    EXPECT_EQ(value ? wcslen(value) : 0, row.expected) << row.result;
    free(value);
  }
}

// A name that does not fit the 40-unit name limit ends the process; 39 units are read.
TEST(Env, NameOfFortyUnitsEndsTheProcess) {
  ProcessResult r = run_process(paths_probe(), {L"read", std::wstring(40, L'N')});
  EXPECT_TRUE(abnormal_end(r.code)) << r.code << " " << r.out;
  EXPECT_EQ(output_lines(r.out).at(0), "abort|");
  ProcessResult longest = run_process(paths_probe(), {L"read", std::wstring(39, L'N')});
  EXPECT_EQ(longest.code, 0u);
  EXPECT_EQ(output_lines(longest.out).at(0), "0|");
}

typedef wchar_t*(__cdecl* getenv_fn)(const wchar_t*);

// Each module's table is built before the set, so a module that the update skipped would
// still answer from its stale copy.
TEST(Env, SetAndUnsetReachTheProcessAndEveryLoadedRuntime) {
  ScopedEnv restore(kVar, nullptr, false);
  std::vector<std::pair<std::string, getenv_fn>> runtimes;
  for (const wchar_t* name : {L"msvcrt.dll", L"msvcr80.dll", L"msvcr90.dll", L"msvcr100.dll",
                              L"msvcr110.dll", L"msvcr120.dll"}) {
    HMODULE module = LoadLibraryW(name);
    FARPROC entry = module ? GetProcAddress(module, "_wgetenv") : nullptr;
    if (entry) runtimes.push_back({utf8(name), (getenv_fn)(void*)entry});
  }
  ASSERT_GE(runtimes.size(), 2u) << "needs msvcrt.dll and one msvcr*.dll";
  runtimes.push_back({"own runtime", &_wgetenv});
  env_unset(kVar);  // not set: nothing visible happens
  for (auto& r : runtimes) EXPECT_EQ(r.second(kVar), nullptr) << r.first;

  // Control: a value set only in the process environment is not in the modules' copies.
  SetEnvironmentVariableW(kVar, L"process only");
  for (auto& r : runtimes) {
    if (r.first != "own runtime") EXPECT_EQ(r.second(kVar), nullptr) << "control " << r.first;
  }

  env_set(kVar, L"set \u00e9");
  EXPECT_EQ(get_env(kVar), L"set \u00e9");
  for (auto& r : runtimes) {
    const wchar_t* seen = r.second(kVar);
    EXPECT_STREQ(seen ? seen : L"<null>", L"set \u00e9") << r.first;
  }
  env_unset(kVar);
  EXPECT_EQ(GetEnvironmentVariableW(kVar, nullptr, 0), 0u);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ENVVAR_NOT_FOUND);
  for (auto& r : runtimes) EXPECT_EQ(r.second(kVar), nullptr) << "after unset " << r.first;
}

// The runtimes found by one update are kept for the next; a runtime loaded in between (here
// after the first update has looked for it) must still get the later updates.
TEST(Env, RuntimeLoadedBetweenUpdatesGetsTheLaterOnes) {
  ScopedEnv restore(kVar, nullptr, false);
  env_set(kVar, L"first");
  const wchar_t* loaded = nullptr;
  getenv_fn runtime_getenv = nullptr;
  for (const wchar_t* name : {L"msvcr120.dll", L"msvcr110.dll", L"msvcr100.dll", L"msvcr90.dll",
                              L"msvcr80.dll"}) {
    if (GetModuleHandleW(name) != nullptr) continue;
    HMODULE module = LoadLibraryW(name);
    FARPROC entry = module ? GetProcAddress(module, "_wgetenv") : nullptr;
    if (entry != nullptr) {
      loaded = name;
      runtime_getenv = (getenv_fn)(void*)entry;
      break;
    }
  }
  ASSERT_NE(runtime_getenv, nullptr) << "needs an msvcr*.dll that is not loaded yet";
  const wchar_t* seen = runtime_getenv(kVar);  // its copy, taken now
  EXPECT_STREQ(seen ? seen : L"<null>", L"first") << utf8(loaded);
  env_set(kVar, L"second");
  seen = runtime_getenv(kVar);
  EXPECT_STREQ(seen ? seen : L"<null>", L"second") << utf8(loaded);
  env_unset(kVar);
  EXPECT_EQ(runtime_getenv(kVar), nullptr) << utf8(loaded);
}

}  // namespace
