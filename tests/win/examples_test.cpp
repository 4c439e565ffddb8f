// The examples under examples/, packed by zobrin-pack and run as a user would: exact output,
// exit code, and an empty %TEMP% afterwards.
#include <gtest/gtest.h>

#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

const wchar_t* const LAUNCHER_VARIABLES[] = {
    L"ZOBRIN_ONEFILE_PARENT", L"ZOBRIN_ONEFILE_TIME_US", L"ZOBRIN_ONEFILE_RANDOM",
    L"ZOBRIN_ONEFILE_START", L"ZOBRIN_ONEFILE_DIRECTORY", L"ZOBRIN_ORIGINAL_ARGV0"};

// Is `dir` empty (or missing)?
bool empty_directory(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return true;
  bool empty = true;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") empty = false;
  } while (FindNextFileW(find, &found));
  FindClose(find);
  return empty;
}

// Each test runs the examples with a private TMP and TEMP, removed afterwards.
class Examples : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    temp = test_dir() + L"examples_" + wide(name);
    tree_wipe(temp);
    CreateDirectoryW(temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    for (const wchar_t* variable : LAUNCHER_VARIABLES) SetEnvironmentVariableW(variable, nullptr);
  }
  void TearDown() override {
    if (!HasFailure()) tree_wipe(temp);
  }
  std::wstring temp;
};

struct Row {
  std::vector<std::wstring> args;
  std::wstring argv0;  // empty: the executable's path
  std::string out;     // with "EXE" for the executable's path in UTF-8
  DWORD code;
};

void run_rows(const std::wstring& exe, const std::vector<Row>& rows, const std::wstring& temp) {
  std::wstring path = test_dir() + exe;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.out);
    ProcessResult r = run_process(path, row.args, 60000, row.argv0);
    std::string expected = row.out;
    for (size_t at; (at = expected.find("EXE")) != std::string::npos;) {
      expected.replace(at, 3, utf8(path));
    }
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, row.code);
    EXPECT_TRUE(empty_directory(temp)) << "left in %TEMP%";
  }
}

TEST_F(Examples, HelloCPrintsUtf8ArgumentsAndItsDataFile) {
  const std::string greeting = "Gr\xc3\xbc\xc3\x9f" "e from data\\greeting.txt, packed beside the DLL.\r\n";
  run_rows(L"example_hello_c.exe",
           {{{}, L"", "argument 0: EXE\r\nstarted as: EXE\r\n" + greeting, 0},
            {{L"plain", L"with blank", L"caf\u00e9", L"\u65e5\u672c\u8a9e", L"\U0001F600", L""},
             L"hello typed",
             "argument 0: EXE\r\nargument 1: plain\r\nargument 2: with blank\r\n"
             "argument 3: caf\xc3\xa9\r\nargument 4: \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\r\n"
             "argument 5: \xf0\x9f\x98\x80\r\nargument 6: \r\nstarted as: hello typed\r\n" + greeting,
             0}},
           temp);
}

TEST_F(Examples, HelloProgramRunsAsItIsWithItsDataFile) {
  const std::string greeting = "Hello from data\\greeting.txt, packed beside the program.\r\n";
  run_rows(L"example_hello_program.exe",
           {{{}, L"", greeting, 0},
            {{L"plain", L"with blank", L"caf\u00e9", L""}, L"typed",
             "argument 1: plain\r\nargument 2: with blank\r\nargument 3: caf\xc3\xa9\r\n"
             "argument 4: \r\n" + greeting,
             4}},
           temp);
}

// zobrin_add_onefile's ARGS and CWD: each value reaches the program whole, before the user's.
TEST_F(Examples, HelloArgsGetsItsFixedArgumentsWholeThroughCMake) {
  const std::string greeting = "Hello from data\\greeting.txt, packed beside the program.\r\n";
  run_rows(L"example_hello_args.exe",
           {{{L"user"}, L"",
             "argument 1: a;b\r\nargument 2: C:\\x\\y\r\nargument 3: \r\nargument 4: -v\r\n"
             "argument 5: user\r\n" + greeting,
             5}},
           temp);
}

TEST_F(Examples, CppDllsLoadsLibstdcxxFromTheApplicationDirectory) {
  const std::string dlls =
      "libstdc++-6.dll: the application directory\r\n"
      "libgcc_s_seh-1.dll: the application directory\r\n"
      "libwinpthread-1.dll: the application directory\r\n";
  run_rows(L"example_cpp_dlls.exe",
           {{{}, L"", "sorted 0 arguments:\r\n" + dlls, 0},
            {{L"pear", L"\u00e4pfel", L"apple", L"Zebra"}, L"",
             "sorted 4 arguments: Zebra apple pear \xc3\xa4pfel\r\n" + dlls, 4}},
           temp);
}

}  // namespace
