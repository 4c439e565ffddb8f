// Whole launcher runs: onefile executables built by `zobrin-pack exe`, started with a private
// temporary directory, checked for output, exit code, what the application saw and what is
// left on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "tests/tools/test_data.h"
#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

// "name size hash" for every file below `dir`, as the test application writes them.
void listing(const std::wstring& dir, const std::wstring& prefix, std::set<std::string>* out) {
  for (const std::wstring& name : tree_names(dir)) {
    std::wstring path = dir + L"\\" + name;
    if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      listing(path, prefix + name + L"\\", out);
    } else {
      std::string data = read_file(path);
      char hash[32];
      snprintf(hash, sizeof hash, "%016llx", (unsigned long long)test_fnv(data));
      out->insert(utf8(prefix + name) + " " + std::to_string(data.size()) + " " + hash);
    }
  }
}

std::set<std::string> lines(const std::string& text) {
  std::vector<std::string> all = output_lines(text);
  return std::set<std::string>(all.begin(), all.end());
}

std::map<std::string, std::string> read_info(const std::wstring& report) {
  std::map<std::string, std::string> info;
  for (const std::string& line : lines(read_file(report + L"\\info.txt"))) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) info[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return info;
}

std::vector<std::wstring> read_args(const std::wstring& report) {
  std::string raw = read_file(report + L"\\args.bin");
  std::wstring all(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
  std::vector<std::wstring> args;
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find(L'\0', start);
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

void set_env(const wchar_t* name, const std::wstring& value) {
  SetEnvironmentVariableW(name, value.c_str());
}

const wchar_t* const TEST_VARIABLES[] = {
    L"ZOBRIN_TEST_REPORT", L"ZOBRIN_TEST_SLEEP",      L"ZOBRIN_TEST_RELAUNCH",
    L"ZOBRIN_TEST_EXIT",   L"ZOBRIN_ONEFILE_PARENT",  L"ZOBRIN_ONEFILE_TIME_US",
    L"ZOBRIN_ONEFILE_RANDOM", L"ZOBRIN_ONEFILE_START", L"ZOBRIN_TEST_SPAWN", L"ZOBRIN_TEST_GO",
    L"ZOBRIN_TEST_CATCH"};

// Each test gets its own temporary directory (TMP and TEMP, inherited by the launcher) and
// report directories; both are removed afterwards.
class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirs dirs = test_dirs(L"run_");
    base = dirs.base;
    temp = dirs.temp;
    report = dirs.report;
    for (const wchar_t* variable : TEST_VARIABLES) SetEnvironmentVariableW(variable, nullptr);
  }
  void TearDown() override {
    for (const wchar_t* variable : TEST_VARIABLES) SetEnvironmentVariableW(variable, nullptr);
    if (!HasFailure()) tree_wipe(base);
  }

  ProcessResult launch(const std::wstring& exe, const std::vector<std::wstring>& args = {},
                       const std::wstring& argv0 = L"") {
    return run_process(test_dir() + exe, args, 300000, argv0);
  }

  // The one payload directory name the run used, from the application's DLL path.
  std::wstring payload_directory(const std::map<std::string, std::string>& info) {
    std::wstring dll = wide(info.at("dll"));
    return dll.substr(0, dll.rfind(L'\\'));
  }

  std::wstring base, temp, report;
};

TEST_F(Launch, EveryFileArrivesByteExactAndTheDirectoryGoes) {
  struct Row {
    const wchar_t* exe;
    const wchar_t* source;
  } rows[] = {{L"e2e_echo.exe", L"e2e\\echo"},   // sizes around 32768 and 131072, odd names
              {L"e2e_echo_linked.exe", L"e2e\\echo"},  // the launcher linked, not copied
              {L"e2e_many.exe", L"e2e\\many"},   // 3000 small files in 210 nested folders
              {L"e2e_big.exe", L"e2e\\big"}};    // 136 MiB, beyond the decoder's window
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    set_env(L"ZOBRIN_TEST_REPORT", report);
    ProcessResult r = launch(row.exe);
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    EXPECT_EQ(r.err, "");
    std::set<std::string> expected;
    listing(test_dir() + row.source, L"", &expected);
    std::set<std::string> seen = lines(read_file(report + L"\\files.txt"));
    EXPECT_EQ(seen.size(), expected.size());
    EXPECT_TRUE(seen == expected);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
  }
}

TEST_F(Launch, ApplicationReceivesExactlyTheUsersArguments) {
  const std::vector<std::vector<std::wstring>> rows = {
      {},
      {L"plain", L"with blank", L"with\ttab", L"new\nline", L"vertical\vtab"},
      {L"", L"x", L"", L""},
      {L"say \"hi\"", L"\"", L"\"\"", L"a\\\"b", L"a\\\\\"b"},
      {L"C:\\dir\\", L"trailing\\ blank\\", L"two\\\\", L"with blank\\\\", L"\\\\server\\share"},
      {L"caf\u00e9", L"\u65e5\u672c\u8a9e", L"\U0001F600 smile", L"cr\rinside"},
  };
  for (const std::vector<std::wstring>& args : rows) {
    set_env(L"ZOBRIN_TEST_REPORT", report);
    ProcessResult r = launch(L"e2e_echo.exe", args);
    EXPECT_EQ(r.code, 0u);
    std::vector<std::wstring> expected = {test_dir() + L"e2e_echo.exe"};
    expected.insert(expected.end(), args.begin(), args.end());
    std::vector<std::wstring> seen = read_args(report);
    EXPECT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < std::min(seen.size(), expected.size()); i++) {
      EXPECT_EQ(utf8(seen[i]), utf8(expected[i])) << "argument " << i;
    }
  }
}

bool all_of_class(const std::string& text, const char* alphabet) {
  return text.find_first_not_of(alphabet) == std::string::npos;
}

TEST_F(Launch, ApplicationSeesTheLaunchersVariablesAndDirectoryName) {
  // Values an outer launcher might leave behind: the parent draws fresh ones.
  set_env(L"ZOBRIN_ONEFILE_TIME_US", L"000000");
  set_env(L"ZOBRIN_ONEFILE_RANDOM", L"stalestale0");
  set_env(L"ZOBRIN_ONEFILE_START", L"1");
  set_env(L"ZOBRIN_TEST_REPORT", report);
  ProcessResult r = launch(L"e2e_echo.exe", {L"x"}, L"started as \"this\"");
  ASSERT_EQ(r.code, 0u) << r.err;
  std::map<std::string, std::string> info = read_info(report);
  std::string time_us = info["ZOBRIN_ONEFILE_TIME_US"];
  std::string random = info["ZOBRIN_ONEFILE_RANDOM"];
  EXPECT_EQ(info["ZOBRIN_ONEFILE_PARENT"], std::to_string(r.pid));
  EXPECT_EQ(time_us.size(), 6u);
  EXPECT_TRUE(all_of_class(time_us, "0123456789"));
  EXPECT_NE(random, "stalestale0");
  EXPECT_EQ(random.size(), 11u);
  EXPECT_TRUE(all_of_class(random,
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"));
  EXPECT_EQ(info["ZOBRIN_ONEFILE_START"], "<unset>");
  // The executable's directory in its short form (the file name keeps its long one).
  std::wstring dir = test_dir();
  dir.pop_back();
  wchar_t short_dir[4096];
  DWORD n = GetShortPathNameW(dir.c_str(), short_dir, 4096);
  ASSERT_TRUE(n > 0 && n < 4096);
  EXPECT_EQ(info["ZOBRIN_ONEFILE_DIRECTORY"], utf8(short_dir));
  EXPECT_EQ(info["ZOBRIN_ORIGINAL_ARGV0"], "started as \"this\"");
  EXPECT_EQ(info["dll"], utf8(temp) + "\\onefile_" + std::to_string(r.pid) + "_" + time_us + "_" +
                             random + "\\app.dll");
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

TEST_F(Launch, ExitCodePassesThroughInAll32Bits) {
  const wchar_t* codes[] = {L"0", L"1", L"2", L"259", L"0x80000001", L"0xC0000005", L"0xFFFFFFFF"};
  for (const wchar_t* code : codes) {
    set_env(L"ZOBRIN_TEST_EXIT", code);
    ProcessResult r = launch(L"e2e_echo.exe");
    EXPECT_EQ(r.code, (DWORD)wcstoul(code, nullptr, 0)) << utf8(code);
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }
}

TEST_F(Launch, InheritedParentValuesThatNameNoLauncherGiveTheParentRole) {
  std::wstring own = std::to_wstring(GetCurrentProcessId());
  const std::wstring rows[] = {L"", L"abc", L"12abc", own + L" ", L"99999999999", L"0x10",
                               own /* alive, but running another program */};
  for (const std::wstring& value : rows) {
    SCOPED_TRACE("ZOBRIN_ONEFILE_PARENT=" + utf8(value));
    set_env(L"ZOBRIN_ONEFILE_PARENT", value);
    set_env(L"ZOBRIN_TEST_REPORT", report);
    ProcessResult r = launch(L"e2e_echo.exe");
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    std::map<std::string, std::string> info = read_info(report);
    EXPECT_EQ(info["ZOBRIN_ONEFILE_PARENT"], std::to_string(r.pid));
    EXPECT_NE(info["dll"].find("\\onefile_" + std::to_string(r.pid) + "_"), std::string::npos);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }
}

TEST_F(Launch, ApplicationStartingTheLauncherAgainGetsTheChildRoleAndTheSameDirectory) {
  std::wstring second = base + L"\\second";
  CreateDirectoryW(second.c_str(), nullptr);
  set_env(L"ZOBRIN_TEST_REPORT", report);
  set_env(L"ZOBRIN_TEST_RELAUNCH", second);
  set_env(L"ZOBRIN_TEST_EXIT", L"5");
  ProcessResult r = launch(L"e2e_echo.exe");
  EXPECT_EQ(r.code, 5u);
  EXPECT_EQ(r.out, "hello from run_code\r\nhello from run_code\r\n");
  std::map<std::string, std::string> first_info = read_info(report);
  std::map<std::string, std::string> second_info = read_info(second);
  EXPECT_EQ(second_info["dll"], first_info["dll"]);
  EXPECT_EQ(second_info["ZOBRIN_ONEFILE_PARENT"], std::to_string(r.pid));
  std::vector<std::wstring> args = read_args(second);
  EXPECT_EQ(args.size(), 2u);
  if (args.size() == 2) EXPECT_EQ(args[1], L"again");
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

// Every failure after the payload directory exists removes it again, the open file included;
// the line and the exit code are those of the failure.
TEST_F(Launch, FailuresSayOneLineAndLeaveNothing) {
  struct Row {
    const wchar_t* exe;
    std::string out;
    std::string err_start;  // stderr starts with this (the rest: system text or path)
  } rows[] = {
      {L"e2e_no_entry.exe", "Error, DLL entry point not found.\r\n", ""},
      {L"e2e_bad_dll.exe", "", "Error, load DLL. ([Error 193] "},
      {L"e2e_name_too_long.exe", "Error, couldn't find attached data header.\r\n", ""},
      {L"e2e_second_string.exe", "Error, couldn't find attached data header.\r\n", ""},
      {L"e2e_decode_error.exe", "Error, couldn't decode attached data.\r\n", ""},
      {L"e2e_open_fails.exe", "", "Error, failed to open '"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    ProcessResult r = launch(row.exe);
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err.substr(0, row.err_start.size()), row.err_start);
    EXPECT_EQ(r.err.find("\r\n"), row.err_start.empty() ? std::string::npos : r.err.size() - 2)
        << "one line: " << r.err;
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
    if (std::wstring(row.exe) == L"e2e_open_fails.exe") {
      std::string start = "Error, failed to open '" + utf8(temp) + "\\onefile_" +
                          std::to_string(r.pid) + "_";
      std::string end = "\\x\\y*.txt' for writing.\r\n";
      EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
      EXPECT_EQ(r.err.size() - std::min(r.err.size(), end.size()), r.err.rfind(end)) << r.err;
    }
  }
}

// A DLL the application lacks, beside the main DLL or below one of its DLLs: the load error
// names it on its one line.
TEST_F(Launch, LoadErrorNamesTheMissingModule) {
  const std::string start = "Error, load DLL. ([Error 126] " + system_text(ERROR_MOD_NOT_FOUND) +
                            ") Missing: ";
  struct Row {
    const wchar_t* exe;
    const char* missing;
  } rows[] = {
      {L"e2e_missing_dll.exe", "libstdc++-6.dll"},
      {L"e2e_missing_nested_dll.exe", "libwinpthread-1.dll"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    ProcessResult r = launch(row.exe);
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, start + row.missing + "\r\n");
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
  }
}

// A program that cannot start for a DLL neither its folder nor the system's for its machine
// has (x86-64, one below a DLL of its own, i386 under WoW64), or for one of its folder built
// for another machine: its exit code passed on, the DLL named on one line, nothing left.
TEST_F(Launch, ProgramStartErrorNamesTheMissingDll) {
  const std::string start = "Error, start program. ([Error 126] " +
                            system_text(ERROR_MOD_NOT_FOUND) + ") ";
  struct Row {
    const wchar_t* exe;
    const char* named;
  } rows[] = {
      {L"e2e_program_missing_dll.exe", "Missing: libgcc_s_seh-1.dll"},
      {L"e2e_program_missing_nested.exe", "Missing: libwinpthread-1.dll"},
      {L"e2e_program_missing_i386.exe", "Missing: libgcc_s_dw2-1.dll"},
      // Wine passes over the DLL of another machine and ends the program as for a DLL not
      // found (Windows: 0xC000007B, [Error 193]).
      {L"e2e_program_wrong_machine.exe",
       "Wrong machine: libgcc_s_dw2-1.dll (x86-64, the program is i386)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    ProcessResult r = launch(row.exe);
    EXPECT_EQ(r.code, 0xC0000135u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, start + row.named + "\r\n");
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
  }
}

// The payload directory is made in the temporary directory, which is never made itself; a
// temporary directory that cannot be read is an expansion failure, not the drive's root.
TEST_F(Launch, TemporaryDirectoryMissingOrUnreadableIsRefused) {
  std::wstring missing = temp + L"\\missing";
  set_env(L"TMP", missing);
  set_env(L"TEMP", missing);
  ProcessResult r = launch(L"e2e_echo.exe");
  EXPECT_EQ(r.code, 2u);
  EXPECT_EQ(r.out, "");
  std::string start = "Error, couldn't create payload directory '" + utf8(missing) +
                      "\\onefile_" + std::to_string(r.pid) + "_";
  std::string end = "' ([Error 3] " + system_text(ERROR_PATH_NOT_FOUND) + ")\r\n";
  EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
  EXPECT_EQ(r.err.size() - std::min(r.err.size(), end.size()), r.err.rfind(end)) << r.err;
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});

  // Longer than any path buffer: GetTempPathW cannot give it.
  std::wstring too_long = temp + L"\\" + std::wstring(4200, L't');
  set_env(L"TMP", too_long);
  set_env(L"TEMP", too_long);
  r = launch(L"e2e_echo.exe");
  EXPECT_NE(r.code, 0u);
  EXPECT_NE(r.code, 2u);  // the ending of abort()
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n");
  std::wstring root_entry = L"\\onefile_" + std::to_wstring(r.pid) + L"_*";
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(root_entry.c_str(), &found);
  EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "payload written to the drive's root";
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

}  // namespace

namespace {

TEST_F(Launch, InterruptDuringTheWaitEndsTheChildAndRemovesTheDirectory) {
  set_env(L"ZOBRIN_TEST_REPORT", report);
  set_env(L"ZOBRIN_TEST_SLEEP", L"20000");
  ProcessResult r = run_process(test_dir() + L"interrupt_harness.exe",
                                {test_dir() + L"e2e_echo.exe", report + L"\\ready"}, 120000);
  EXPECT_EQ(r.code, 0u) << r.out;
  EXPECT_NE(r.out.find("launcher ended "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("child ended"), std::string::npos) << r.out;
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
}

// CTRL_C at moments of a long extraction (2000 small files after a 64 MiB one): the launcher
// ends as the system's default handling ends it (Wine: exit code 0; Windows would give
// STATUS_CONTROL_C_EXIT), silently, no child starts and nothing is left. Each moment three
// times, as the race differs from run to run.
TEST_F(Launch, InterruptDuringExtractionLeavesNothingAndStartsNoChild) {
  struct Row {
    const char* what;
    const wchar_t* entry;  // raised once the payload directory holds it
    const wchar_t* bytes;  // of at least this size
  } rows[] = {
      {"the first entry has appeared", L"app.dll", L"0"},
      {"the big file is being written", L"big.bin", L"16777216"},
      {"some hundred small files are written", L"d2", L"0"},
      {"the walk is near its end", L"d9", L"0"},
  };
  set_env(L"ZOBRIN_TEST_REPORT", report);
  for (const Row& row : rows) {
    for (int round = 0; round < 3; round++) {
      SCOPED_TRACE(std::string(row.what) + ", round " + std::to_string(round));
      ProcessResult r = run_process(test_dir() + L"interrupt_harness.exe",
                                    {test_dir() + L"e2e_slow.exe", temp + L"\\onefile_*",
                                     L"extracting", row.entry, row.bytes},
                                    120000);
      EXPECT_EQ(r.code, 0u) << r.out;
      EXPECT_EQ(output_lines(r.out),
                (std::vector<std::string>{"launcher ended 0", "child ended"}));
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
      EXPECT_EQ(tree_names(report), std::vector<std::wstring>{}) << "the application ran";
      tree_wipe(temp);
      CreateDirectoryW(temp.c_str(), nullptr);
      tree_wipe(report);
      CreateDirectoryW(report.c_str(), nullptr);
    }
  }
}

}  // namespace

namespace {

// The parent's own command line fits, but with element 0 replaced by the full module path the
// rebuilt one would not: the launch stops with the system's code for a too-long line.
TEST_F(Launch, CommandLineTooLongForTheChildIsRefusedNotCut) {
  std::wstring module = test_dir() + L"e2e_echo.exe";
  std::wstring long_argument(32760 - 2, L'a');
  ProcessResult r = launch(L"e2e_echo.exe", {long_argument}, L"x");
  EXPECT_EQ(r.code, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Error, couldn't launch child ([Error 206] " +
                       system_text(ERROR_FILENAME_EXCED_RANGE) + ")\r\n");
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "a failed launch removes the files";
}

}  // namespace

namespace {

// The first N payload directories the launcher draws are taken by the time it tries them:
// the fault seam makes each just before the call (CreateDirectoryW:1-N:taken), as another user
// could. A taken path is never used: the next draw is tried, up to eight in all, and what
// others made stays untouched.
TEST_F(Launch, TakenPayloadDirectoryIsNeverUsed) {
  for (unsigned count : {1u, 7u, 8u}) {
    SCOPED_TRACE(count);
    tree_wipe(temp);
    CreateDirectoryW(temp.c_str(), nullptr);
    set_env(L"ZOBRIN_TEST_FAULT", L"CreateDirectoryW:1-" + std::to_wstring(count) + L":taken");
    set_env(L"ZOBRIN_TEST_REPORT", report);
    ProcessResult r = launch(L"e2e_faults.exe");
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", nullptr);
    std::vector<std::wstring> left = tree_names(temp);
    ASSERT_EQ(left.size(), count);
    // Each a draw of its own: the same process and start time, another random part.
    std::wstring prefix = L"onefile_" + std::to_wstring(r.pid) + L"_";
    std::set<std::wstring> randoms;
    for (const std::wstring& dir : left) {
      EXPECT_TRUE(is_directory_name(utf8(dir), r.pid)) << utf8(dir);
      EXPECT_EQ(dir.substr(0, prefix.size() + 6), left[0].substr(0, prefix.size() + 6));
      randoms.insert(dir.substr(prefix.size() + 7));
      EXPECT_EQ(tree_names(temp + L"\\" + dir).size(), 0u);
    }
    EXPECT_EQ(randoms.size(), count);
    if (count < 8) {
      EXPECT_EQ(r.code, 0u) << r.err;
      EXPECT_EQ(r.out, "hello from run_code\r\n");
      std::wstring used = payload_directory(read_info(report));
      std::wstring used_name = used.substr(used.rfind(L'\\') + 1);
      EXPECT_EQ(used.substr(0, used.rfind(L'\\')), temp);
      EXPECT_TRUE(is_directory_name(utf8(used_name), r.pid)) << utf8(used_name);
      EXPECT_EQ(std::count(left.begin(), left.end(), used_name), 0);
    } else {
      EXPECT_EQ(r.code, 2u);
      EXPECT_EQ(r.out, "");
      // The path of the last draw, one of those taken.
      std::string head = "Error, couldn't create payload directory '" + utf8(temp) + "\\";
      std::string tail = "' ([Error 183] " + system_text(ERROR_ALREADY_EXISTS) + ")\r\n";
      ASSERT_EQ(r.err.rfind(head, 0), 0u) << r.err;
      ASSERT_GE(r.err.size(), head.size() + tail.size());
      EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
      std::wstring last = wide(r.err.substr(head.size(), r.err.size() - head.size() - tail.size()));
      EXPECT_EQ(std::count(left.begin(), left.end(), last), 1) << r.err;
    }
  }
}

}  // namespace

namespace {

// A process that names its creator in ZOBRIN_ONEFILE_PARENT but cannot read that creator's
// image (here: it has ended) is a launcher's child whose check failed: it takes the child
// role and starts no copy of itself. Taking the parent role would extract and start a child,
// which could meet the same failure again, without end.
TEST_F(Launch, UnreadableCreatorNamedAsParentStartsNoFurtherCopy) {
  set_env(L"ZOBRIN_TEST_REPORT", report);
  ProcessResult x = run_process(test_dir() + L"paths_probe.exe",
                                {L"orphan", test_dir() + L"e2e_echo.exe", base});
  ASSERT_EQ(x.code, 0u) << x.out;
  unsigned long pid = 0, tid = 0;
  ASSERT_EQ(sscanf(x.out.c_str(), "%lu %lu", &pid, &tid), 2);
  HANDLE launcher = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid);
  HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, tid);
  ASSERT_NE(launcher, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(ResumeThread(thread), 1ul);
  CloseHandle(thread);
  EXPECT_EQ(WaitForSingleObject(launcher, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(launcher, &code);
  CloseHandle(launcher);
  EXPECT_EQ(code, 2u);
  EXPECT_EQ(read_file(base + L"\\out.txt"), "");
  EXPECT_EQ(read_file(base + L"\\err.txt").rfind("Error, load DLL. ([Error 126] ", 0), 0u)
      << read_file(base + L"\\err.txt");
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "the child role creates nothing";
  EXPECT_EQ(tree_names(report), std::vector<std::wstring>{}) << "the application never ran";
}

}  // namespace

namespace {

// The options of `zobrin-pack exe` that change the launcher's headers or resources, and a
// signature added afterwards, leave the payload and the run as they were.
TEST_F(Launch, ConsoleDressedAndSignedExecutablesRunTheirPayloadIntact) {
  std::set<std::string> expected;
  listing(test_dir() + L"e2e\\echo", L"", &expected);
  for (const wchar_t* exe : {L"e2e_console.exe", L"e2e_dressed.exe", L"e2e_echo_signed.exe",
                             L"e2e_dressed_signed.exe"}) {
    SCOPED_TRACE(utf8(exe));
    set_env(L"ZOBRIN_TEST_REPORT", report);
    set_env(L"ZOBRIN_TEST_EXIT", L"0x80000003");
    ProcessResult r = launch(exe, {L"one", L"two words"});
    EXPECT_EQ(r.code, 0x80000003u);
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(lines(read_file(report + L"\\files.txt")) == expected);
    std::vector<std::wstring> args = read_args(report);
    EXPECT_EQ(args, (std::vector<std::wstring>{test_dir() + exe, L"one", L"two words"}));
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
  }
}

// A console-subsystem launcher started from a process with a console shares that console:
// CTRL_C reaches it and its child (or, in the program mode, its program). An application that
// catches it sleeps 8 s, past the 5 s grace period, then returns 7. The program mode leaves
// the event to the program, which runs to its own end or ends by it, and passes its code on;
// the DLL mode ends a child still running after 5 s with STATUS_CONTROL_C_EXIT (the
// launcher's own code is then whichever of that and the system's default handling, under
// Wine 0, ends it first). Nothing is left in every row.
TEST_F(Launch, InterruptReachesAConsoleLauncherAndItsChild) {
  struct Row {
    const wchar_t* exe;
    bool catches;
    unsigned long child_code;  // under Wine: a program ended by CTRL_C returns 0
    bool launcher_passes_it_on;
  } rows[] = {
      {L"e2e_console.exe", false, 0, true},
      {L"e2e_console.exe", true, STATUS_CONTROL_C_EXIT, false},
      {L"e2e_program.exe", false, 0, true},
      {L"e2e_program.exe", true, 7, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe) + (row.catches ? " catching" : ""));
    set_env(L"ZOBRIN_TEST_REPORT", report);
    set_env(L"ZOBRIN_TEST_SLEEP", row.catches ? L"8000" : L"20000");
    set_env(L"ZOBRIN_TEST_EXIT", L"7");
    if (row.catches) set_env(L"ZOBRIN_TEST_CATCH", L"1");
    ProcessResult r = run_process(test_dir() + L"interrupt_harness.exe",
                                  {test_dir() + row.exe, report + L"\\ready"}, 120000);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_CATCH", nullptr);
    EXPECT_EQ(r.code, 0u) << r.out;
    std::vector<std::string> out = output_lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], row.exe == std::wstring(L"e2e_program.exe") ? "hello from the program"
                                                                   : "hello from run_code");
    if (row.launcher_passes_it_on) {
      EXPECT_EQ(out[1], "launcher ended " + std::to_string(row.child_code));
    } else {
      EXPECT_EQ(out[1].rfind("launcher ended ", 0), 0u) << out[1];
    }
    EXPECT_EQ(out[2], "child ended " + std::to_string(row.child_code));
    EXPECT_EQ(tree_exists(report + L"\\caught"), row.catches);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
    tree_wipe(report);
    CreateDirectoryW(report.c_str(), nullptr);
  }
}

}  // namespace

namespace {

// Polls for `path` to hold any text, up to 60 s.
std::string wait_for_text(const std::wstring& path) {
  for (int i = 0; i < 1200; i++) {
    std::string text = read_file(path);
    if (!text.empty()) return text;
    Sleep(50);
  }
  return "";
}

// A launcher started without waiting for it, its application sleeping; ready once the
// application has written its process id to `report`\ready.
struct Sleeper {
  PROCESS_INFORMATION launcher = {};
  HANDLE child = nullptr;
};

Sleeper start_sleeper(const std::wstring& report, const wchar_t* name = L"e2e_echo.exe") {
  Sleeper s;
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SLEEP", L"120000");
  std::wstring exe = test_dir() + name;
  std::wstring command = L"\"" + exe + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  EXPECT_TRUE(start_process(exe.c_str(), &command[0], FALSE, &startup, &s.launcher));
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SLEEP", nullptr);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", nullptr);
  std::string pid = wait_for_text(report + L"\\ready");
  EXPECT_FALSE(pid.empty()) << "the application never became ready";
  if (!pid.empty()) s.child = OpenProcess(SYNCHRONIZE, FALSE, strtoul(pid.c_str(), nullptr, 10));
  EXPECT_NE(s.child, nullptr);
  return s;
}

// Kills the launcher with `code`; true when its application ends too (within 30 s).
bool kill_sleeper(Sleeper* s, UINT code) {
  TerminateProcess(s->launcher.hProcess, code);
  WaitForSingleObject(s->launcher.hProcess, INFINITE);
  DWORD seen = 0;
  GetExitCodeProcess(s->launcher.hProcess, &seen);
  EXPECT_EQ(seen, code);
  bool child_ended = s->child != nullptr && WaitForSingleObject(s->child, 30000) == WAIT_OBJECT_0;
  if (s->child != nullptr) {
    TerminateProcess(s->child, 0);  // only if the test already failed
    CloseHandle(s->child);
  }
  CloseHandle(s->launcher.hThread);
  CloseHandle(s->launcher.hProcess);
  return child_ended;
}

TEST_F(Launch, KilledLaunchersApplicationEndsAndTheNextLaunchSweepsItsDirectory) {
  // A launcher that keeps running throughout, then one that is killed.
  std::wstring report_live = base + L"\\report_live";
  CreateDirectoryW(report_live.c_str(), nullptr);
  Sleeper live = start_sleeper(report_live);
  std::vector<std::wstring> first = tree_names(temp);
  ASSERT_EQ(first.size(), 1u);
  std::wstring live_dir = first[0];
  Sleeper killed = start_sleeper(report);
  DWORD killed_pid = killed.launcher.dwProcessId;
  EXPECT_TRUE(kill_sleeper(&killed, 7)) << "the application outlived its killed launcher";
  std::vector<std::wstring> before = tree_names(temp);
  ASSERT_EQ(before.size(), 2u) << "a killed launcher cannot remove its directory";
  std::wstring killed_dir = before[0] == live_dir ? before[1] : before[0];
  EXPECT_EQ(killed_dir.rfind(L"onefile_" + std::to_wstring(killed_pid) + L"_", 0), 0u);

  // Names of other programs, some close to the launcher's.
  std::wstring dead = std::to_wstring(killed_pid);
  const std::wstring foreign_dirs[] = {L"onefile_x", L"onefile_123_456",
                                       L"onefile_" + dead + L"_1_AAAAAAAAAAAA"};
  for (const std::wstring& name : foreign_dirs) tree_dir(temp + L"\\" + name);
  tree_file(temp + L"\\onefile_" + dead + L"_1_AAAAAAAAAAA");

  set_env(L"ZOBRIN_TEST_EXIT", L"0xC0000005");
  ProcessResult r = launch(L"e2e_echo.exe");
  EXPECT_EQ(r.code, 0xC0000005u);
  EXPECT_EQ(r.out, "hello from run_code\r\n");
  std::vector<std::wstring> after = tree_names(temp);
  std::vector<std::wstring> expected = {live_dir, L"onefile_" + dead + L"_1_AAAAAAAAAAA"};
  for (const std::wstring& name : foreign_dirs) expected.push_back(name);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(after, expected) << "only the killed launcher's directory goes";
  EXPECT_FALSE(tree_names(temp + L"\\" + live_dir).empty());

  EXPECT_TRUE(kill_sleeper(&live, 0));
}

// The application's own processes leave the launcher's job: one started by the application
// runs on after the launcher has ended normally.
TEST_F(Launch, ApplicationsOwnProcessOutlivesTheLauncher) {
  std::wstring helper = test_dir() + L"cleanup_child_probe.exe";
  set_env(L"ZOBRIN_TEST_SPAWN", L"\"" + helper + L"\" outlive \"" + report + L"\\outlived\"");
  set_env(L"ZOBRIN_TEST_EXIT", L"0x80000001");
  ProcessResult r = launch(L"e2e_echo.exe");
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SPAWN", nullptr);
  EXPECT_EQ(r.code, 0x80000001u);
  EXPECT_EQ(r.out, "hello from run_code\r\n");
  EXPECT_EQ(wait_for_text(report + L"\\outlived"), "outlived");
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

}  // namespace

namespace {

// The program mode: an ordinary program as the main file, started from the payload directory
// by the launcher itself. Console and windowed x86-64 programs, an i386 one and a cached one
// each get exactly the user's arguments (element 0 naming the program), the launcher's
// variables, every file, and all 32 bits of their exit code back; nothing is left.
TEST_F(Launch, ProgramRunsFromThePayloadDirectoryWithTheDllModesGuarantees) {
  struct Row {
    const wchar_t* exe;
    const wchar_t* source;
    int runs;  // a cached one twice: extracting, then from the kept copy
  } rows[] = {{L"e2e_program.exe", L"e2e\\program", 1},
              {L"e2e_program_windowed.exe", L"e2e\\program_windowed", 1},
              {L"e2e_program_i386.exe", L"e2e\\program_i386", 1},
              {L"e2e_program_cached.exe", L"e2e\\program", 2}};
  const std::vector<std::wstring> args = {L"",         L"with blank",      L"say \"hi\"",
                                          L"a\\\\\"b", L"trailing\\ x\\\\", L"C:\\dir\\",
                                          L"caf\u00e9 \u65e5\u672c \U0001F600"};
  std::wstring dir = test_dir();
  dir.pop_back();
  wchar_t short_dir[4096];
  DWORD n = GetShortPathNameW(dir.c_str(), short_dir, 4096);
  ASSERT_TRUE(n > 0 && n < 4096);
  for (const Row& row : rows) {
    std::set<std::string> expected;
    listing(test_dir() + row.source, L"", &expected);
    for (int run = 0; run < row.runs; run++) {
      SCOPED_TRACE(utf8(row.exe) + " run " + std::to_string(run));
      set_env(L"ZOBRIN_TEST_REPORT", report);
      set_env(L"ZOBRIN_TEST_EXIT", L"0xC0000005");
      ProcessResult r = launch(row.exe, args, L"started as this");
      EXPECT_EQ(r.code, 0xC0000005u);
      EXPECT_EQ(r.out, "hello from the program\r\n");
      EXPECT_EQ(r.err, "");
      std::map<std::string, std::string> info = read_info(report);
      std::vector<std::wstring> wanted = {wide(info["dll"])};
      wanted.insert(wanted.end(), args.begin(), args.end());
      EXPECT_EQ(read_args(report), wanted);
      std::string program_dir = info["dll"].substr(0, info["dll"].rfind('\\'));
      EXPECT_EQ(info["dll"].substr(program_dir.size()), "\\tool.exe");
      if (row.runs == 1) {
        EXPECT_EQ(program_dir.rfind(utf8(temp) + "\\onefile_" + std::to_string(r.pid) + "_", 0),
                  0u) << program_dir;
      }
      EXPECT_EQ(info["ZOBRIN_ONEFILE_PARENT"], std::to_string(r.pid));
      EXPECT_EQ(info["ZOBRIN_ONEFILE_DIRECTORY"], utf8(short_dir));
      EXPECT_EQ(info["ZOBRIN_ORIGINAL_ARGV0"], "started as this");
      EXPECT_EQ(info["ZOBRIN_ONEFILE_RANDOM"].size(), 11u);
      EXPECT_TRUE(lines(read_file(report + L"\\files.txt")) == expected);
      EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "payload directory left behind";
      if (run == 1) {
        tree_wipe(wide(program_dir));
        DeleteFileW(wide(program_dir + ".lock").c_str());
      }
    }
  }
}

// The program starts the onefile executable again: that run takes the child role and starts
// the program from the same payload directory, with its own arguments, and passes its exit
// code back.
TEST_F(Launch, ProgramStartingTheLauncherAgainRunsFromTheSameDirectory) {
  std::wstring second = base + L"\\second";
  CreateDirectoryW(second.c_str(), nullptr);
  set_env(L"ZOBRIN_TEST_REPORT", report);
  set_env(L"ZOBRIN_TEST_RELAUNCH", second);
  set_env(L"ZOBRIN_TEST_RELAUNCH_EXE", test_dir() + L"e2e_program.exe");
  set_env(L"ZOBRIN_TEST_EXIT", L"0x80000005");
  ProcessResult r = launch(L"e2e_program.exe");
  SetEnvironmentVariableW(L"ZOBRIN_TEST_RELAUNCH_EXE", nullptr);
  EXPECT_EQ(r.code, 0x80000005u);
  EXPECT_EQ(r.out, "hello from the program\r\nhello from the program\r\n");
  std::map<std::string, std::string> first_info = read_info(report);
  std::map<std::string, std::string> second_info = read_info(second);
  EXPECT_EQ(second_info["dll"], first_info["dll"]);
  EXPECT_EQ(second_info["ZOBRIN_ONEFILE_PARENT"], std::to_string(r.pid));
  EXPECT_EQ(read_args(second), (std::vector<std::wstring>{wide(first_info["dll"]), L"again"}));
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

}  // namespace

namespace {

// A killed launcher's program ends with it (the job), windowed and i386 alike.
TEST_F(Launch, KilledLaunchersProgramEnds) {
  for (const wchar_t* exe : {L"e2e_program_windowed.exe", L"e2e_program_i386.exe"}) {
    SCOPED_TRACE(utf8(exe));
    Sleeper killed = start_sleeper(report, exe);
    EXPECT_TRUE(kill_sleeper(&killed, 7)) << "the program outlived its killed launcher";
    tree_wipe(report);
    CreateDirectoryW(report.c_str(), nullptr);
  }
}

}  // namespace

namespace {

// Every name below `dir`, directories included, relative to it; links are not entered.
void names_below(const std::wstring& dir, const std::wstring& prefix,
                 std::vector<std::wstring>* out) {
  for (const std::wstring& name : tree_names(dir)) {
    out->push_back(prefix + name);
    DWORD attributes = GetFileAttributesW((dir + L"\\" + name).c_str());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      names_below(dir + L"\\" + name, prefix + name + L"\\", out);
    }
  }
}

// The application changes its directory while it runs: the launcher deletes the names it wrote
// and lists only what they leave behind, never deleting through a link. Nothing is left, and a
// directory a link leads to keeps its files, even those named like the payload's.
TEST_F(Launch, RemovalTakesWhatTheApplicationChangedAndNothingThroughALink) {
  const std::wstring outside = base + L"\\outside";
  tree_dir(outside);
  const std::wstring go = base + L"\\go";
  struct Row {
    const char* what;
    std::function<void(const std::wstring& d)> change;
  } rows[] = {
      {"files and a directory of its own beside and below payload files",
       [](const std::wstring& d) {
         tree_file(d + L"\\own.txt");
         tree_file(d + L"\\sub\\deeper\\own.txt");
         tree_dir(d + L"\\sub\\own");
         tree_file(d + L"\\sub\\own\\x.txt");
       }},
      {"payload files made read-only",
       [](const std::wstring& d) {
         for (const wchar_t* name : {L"\\size_0.bin", L"\\sub\\a.txt", L"\\sub\\deeper\\deepest\\c.txt"}) {
           EXPECT_TRUE(SetFileAttributesW((d + name).c_str(), FILE_ATTRIBUTE_READONLY));
         }
       }},
      {"payload files and a whole payload directory deleted",
       [](const std::wstring& d) {
         EXPECT_TRUE(DeleteFileW((d + L"\\lower.txt").c_str()));
         EXPECT_TRUE(DeleteFileW((d + L"\\sub\\deeper\\b.bin").c_str()));
         tree_wipe(d + L"\\caf\u00e9 \u65e5\u672c");
       }},
      {"a file replaced by a directory, a directory by a file",
       [](const std::wstring& d) {
         EXPECT_TRUE(DeleteFileW((d + L"\\sub\\a.txt").c_str()));
         tree_dir(d + L"\\sub\\a.txt");
         tree_file(d + L"\\sub\\a.txt\\inner.txt");
         tree_wipe(d + L"\\sub\\deeper\\deepest");
         tree_file(d + L"\\sub\\deeper\\deepest");
       }},
      {"a directory replaced by a link to one outside holding the same names",
       [&](const std::wstring& d) {
         tree_dir(outside + L"\\deeper");
         tree_file(outside + L"\\deeper\\b.bin", "keep");
         tree_dir(outside + L"\\deeper\\deepest");
         tree_file(outside + L"\\deeper\\deepest\\c.txt", "keep");
         std::wstring deeper = d + L"\\sub\\deeper";
         tree_wipe(deeper);
         ASSERT_TRUE(run_unix(L"Z:\\bin\\ln",
                              L"ln -s " + unix_path(outside + L"\\deeper") + L" " + unix_path(deeper),
                              deeper));
       }},
  };
  set_env(L"ZOBRIN_TEST_REPORT", report);
  set_env(L"ZOBRIN_TEST_GO", go);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ProcessResult r;
    std::thread runner([&] { r = launch(L"e2e_echo.exe"); });
    bool ready = !wait_for_text(report + L"\\ready").empty();
    std::vector<std::wstring> dirs = tree_names(temp);
    EXPECT_TRUE(ready);
    EXPECT_EQ(dirs.size(), 1u);
    if (ready && dirs.size() == 1) row.change(temp + L"\\" + dirs[0]);
    tree_file(go);
    runner.join();
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    EXPECT_EQ(r.err, "");
    std::vector<std::wstring> left;
    names_below(temp, L"", &left);
    std::wstring link = dirs.empty() ? L"" : dirs[0] + L"\\sub\\deeper";
    // Wine's RemoveDirectoryW acts on a link's target (and fails, the target not being empty),
    // so there the link and the directories above it stay; on Windows the link itself goes.
    if (left.size() == 3 && left[2] == link) {
      std::wstring path = temp + L"\\" + link;
      EXPECT_TRUE(run_unix(L"Z:\\bin\\rm", L"rm " + unix_path(path), path, /* appears */ false));
      tree_wipe(temp + L"\\" + dirs[0]);
      left.clear();
    }
    EXPECT_EQ(left, std::vector<std::wstring>{}) << "left behind: " << utf8(left.empty() ? L"" : left.back());
    DeleteFileW(go.c_str());
    DeleteFileW((report + L"\\ready").c_str());
  }
  std::vector<std::wstring> kept;
  names_below(outside, L"", &kept);
  EXPECT_EQ(kept, (std::vector<std::wstring>{L"deeper", L"deeper\\b.bin", L"deeper\\deepest",
                                             L"deeper\\deepest\\c.txt"}));
  EXPECT_EQ(read_file(outside + L"\\deeper\\deepest\\c.txt"), "keep");
  SetEnvironmentVariableW(L"ZOBRIN_TEST_GO", nullptr);
}

}  // namespace
