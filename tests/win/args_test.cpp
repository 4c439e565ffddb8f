// The application's fixed arguments, variables and working folder (`zobrin-pack exe --arg`,
// `--env`, `--env-prepend`, `--cwd`): the script host packed as a program and as a main DLL,
// ordinary and cached, run with arguments of the user's; checked for exactly what it saw, and
// that nothing is left.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

std::wstring variable(const wchar_t* name) {
  static wchar_t value[32768];
  DWORD n = GetEnvironmentVariableW(name, value, 32768);
  return n > 0 && n < 32768 ? value : L"";
}

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

class Args : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirs dirs = test_dirs(L"args_");
    base = dirs.base;
    temp = dirs.temp;
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"ZT_GONE", nullptr);
    SetEnvironmentVariableW(L"ZT_AGAIN", nullptr);
    if (!HasFailure()) tree_wipe(base);
  }
  std::wstring base, temp;
};

// What the script (tests/win/apps/script.txt) prints for the settings of cmake/args_tests.cmake
// and the user's arguments "user arg" and "ü" (or, started again by the program, "again").
std::string expected_run(const std::wstring& app, bool dll, const std::wstring& user) {
  std::wstring out = L"app: " + app + L"\n";
  for (const wchar_t* arg : {L"<APP>\\script.txt", L"two words", L"say \"hi\"", L"",
                             L"\u00e9 \u00fc \u20ac", L"{x}"}) {
    out += L"arg: [" + std::wstring(arg) + L"]\n";
  }
  out += user;
  out += L"ZT_SET=at <APP>\n";
  out += L"PATH=<APP>\\bin;" + variable(L"PATH") + L"\n";
  out += L"ZT_GONE unset\n";
  out += L"TMP=" + (dll ? std::wstring(L"<APP>\\data") : variable(L"TMP")) + L"\n";
  out += L"cwd: <APP>\\data\n";
  return utf8(out);
}

// Each executable with the user's arguments after the fixed ones, quoted as given; the
// variables set (from a template), removed and put in front of PATH; the working folder. The
// program starts the executable again (the child role starts the program anew): the same
// settings, PATH extended once. {APP_DIR} is the payload directory, or the cached copy.
TEST_F(Args, FixedArgumentsVariablesAndFolderReachTheApplicationOnEveryPath) {
  wchar_t local[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local),
            S_OK);
  const std::wstring cache = std::wstring(local) + L"\\zobrin-onefile";
  struct Row {
    const wchar_t* name;
    bool dll, cached;
  } rows[] = {{L"e2e_args_program_plain", false, false},
              {L"e2e_args_dll_plain", true, false},
              {L"e2e_args_program_cached", false, true},
              {L"e2e_args_dll_cached", true, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.name));
    const std::wstring exe = test_dir() + row.name + L".exe";
    SetEnvironmentVariableW(L"ZT_GONE", L"present");
    SetEnvironmentVariableW(L"ZT_AGAIN", row.dll ? nullptr : exe.c_str());
    ProcessResult r = run_process(exe, {L"user arg", L"\u00fc"});
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = output_lines(r.out);
    ASSERT_FALSE(lines.empty());
    const std::wstring app = wide(lines[0].substr(5));
    if (row.cached) {
      EXPECT_EQ(utf8(parent_of(app)), utf8(cache));
      EXPECT_EQ(app.rfind(cache + L"\\" + row.name + L"-", 0), 0u) << utf8(app);
    } else {
      EXPECT_EQ(utf8(parent_of(app)), utf8(temp));
    }
    std::string expected = expected_run(app, row.dll, L"arg: [user arg]\narg: [\u00fc]\n");
    if (!row.dll) {
      expected += expected_run(app, row.dll, L"arg: [again]\n") + "again: 0\n";
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    if (row.cached) {
      tree_wipe(app);
      DeleteFileW((app + L".lock").c_str());
    }
  }
}

// A working folder that is not there at run time: one line, exit code 2, the application never
// starts, and the payload directory goes.
TEST_F(Args, AMissingWorkingFolderIsOneLineAndLeavesNothing) {
  ProcessResult r = run_process(test_dir() + L"e2e_args_no_cwd.exe", {});
  EXPECT_EQ(r.code, 2u);
  EXPECT_EQ(r.out, "");
  const std::string start = "Error, working folder '" + utf8(temp) + "\\onefile_";
  const std::string end = "\\nowhere' (from zobrin-pack exe --cwd) is not an existing folder.\r\n";
  EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
  EXPECT_TRUE(r.err.size() > end.size() &&
              r.err.compare(r.err.size() - end.size(), end.size(), end) == 0)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

}  // namespace
