// Whole launcher runs with one Win32 call made to fail (the fault kit's launcher, see
// base/fault_seam.h), and many launches of one executable at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include <windows.h>
#include <tlhelp32.h>

#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

const DWORD ABORTED = 3;  // abort() under Wine (fail-fast 0xC0000409 accepted too)

// Every entry below `dir`, relative, directories included, sorted: "a.dll sub sub\\b.txt".
void walk(const std::wstring& dir, const std::wstring& prefix, std::vector<std::string>* out) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    out->push_back(utf8(prefix + name));
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      walk(dir + L"\\" + name, prefix + name + L"\\", out);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

std::string listing(const std::wstring& dir) {
  std::vector<std::string> names;
  walk(dir, L"", &names);
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

// `text` equals `expected` with each "{DIR}" standing for `temp`\onefile_PID_... .
bool matches(const std::string& text, const std::string& expected, const std::wstring& temp,
             DWORD pid) {
  size_t mark = expected.find("{DIR}");
  if (mark == std::string::npos) return text == expected;
  std::string head = expected.substr(0, mark) + utf8(temp) + "\\";
  std::string tail = expected.substr(mark + 5);
  size_t name_size = text.size() - head.size() - tail.size();
  return text.size() > head.size() + tail.size() && text.compare(0, head.size(), head) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0 &&
         is_directory_name(text.substr(head.size(), name_size), pid);
}

struct TraceLine {
  bool child;
  std::string operation;
  long call;
  std::string site;
  std::string argument;
};

// The seam's trace of one run; the parent is the process `parent_pid`.
std::vector<TraceLine> read_trace(const std::wstring& path, DWORD parent_pid) {
  std::vector<TraceLine> lines;
  for (const std::string& line : output_lines(read_file(path))) {
    TraceLine t;
    char pid[32], operation[64], site[32];
    long call = 0;
    int used = 0;
    if (sscanf(line.c_str(), "%31s %63s %ld %31s %n", pid, operation, &call, site, &used) < 4) {
      ADD_FAILURE() << "trace line: " << line;
      continue;
    }
    t.child = std::to_string(parent_pid) != pid;
    t.operation = operation;
    t.call = call;
    t.site = site;
    t.argument = line.substr(used);
    lines.push_back(t);
  }
  return lines;
}

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    base = test_dir() + L"fault_" + wide(name);
    tree_wipe(base);
    CreateDirectoryW(base.c_str(), nullptr);
    temp = base + L"\\temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
  }
  void TearDown() override {
    for (const wchar_t* name : {L"ZOBRIN_TEST_FAULT", L"ZOBRIN_TEST_FAULT_TRACE",
                                L"ZOBRIN_TEST_REPORT", L"ZOBRIN_TEST_SLEEP"}) {
      SetEnvironmentVariableW(name, nullptr);
    }
    if (!HasFailure()) tree_wipe(base);
  }

  // One run of the fault executable with `fault` (empty: none), traced into `trace`. The
  // variables are set only around the start: this test program runs the seam too.
  ProcessResult run(const std::wstring& fault, const std::wstring& trace) {
    DeleteFileW(trace.c_str());
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", fault.empty() ? nullptr : fault.c_str());
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", trace.c_str());
    ProcessResult r = run_process(test_dir() + L"e2e_faults.exe", {}, 120000);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", nullptr);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", nullptr);
    return r;
  }

  // What the run left in the temporary directory: "" when nothing, otherwise the payload
  // directory's content ("(empty)" for an empty one). Wipes it for the next run.
  std::string left_behind(DWORD pid) {
    std::vector<std::wstring> dirs = tree_names(temp);
    if (dirs.empty()) return "";
    EXPECT_EQ(dirs.size(), 1u);
    EXPECT_TRUE(is_directory_name(utf8(dirs[0]), pid)) << utf8(dirs[0]);
    std::string content = listing(temp + L"\\" + dirs[0]);
    for (const std::wstring& dir : dirs) tree_wipe(temp + L"\\" + dir);
    return content.empty() ? "(empty)" : content;
  }

  // How many processes the ended run `pid` started are still there after up to 2 s (a child
  // created ahead and never resumed must end with its parent).
  int children_left(DWORD pid) {
    int left = 0;
    for (int tries = 0; tries < 20; tries++) {
      HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
      PROCESSENTRY32W entry;
      entry.dwSize = sizeof entry;
      left = 0;
      for (BOOL more = Process32FirstW(snapshot, &entry); more;
           more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == pid) left++;
      }
      CloseHandle(snapshot);
      if (left == 0) break;
      Sleep(100);
    }
    return left;
  }

  std::wstring base, temp;
};

std::string line(const char* message, DWORD code) {
  return std::string(message) + " ([Error " + std::to_string(code) + "] " + system_text(code) +
         ")\r\n";
}

const char HELLO[] = "hello from run_code\r\n";
const char LOAD[] = "Error, load DLL.";
const char UNPACK[] = "Error, couldn't unpack file to target path.";
const char LAUNCH[] = "Error, couldn't launch child";
const char CREATE[] = "Error, couldn't create payload directory '{DIR}'";
const char EXPAND_DIRECTORY[] =
    "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n";
const char OPEN_NOTES[] = "Error, failed to open '{DIR}\\sub\\notes.txt' for writing.\r\n";
const char ALL[] = "app.dll sub sub\\notes.txt";

// Each row fails one call (N: the Nth of that operation in the process; "N+": that one and
// every later one) and gives what the run shows: output, exit code and what stays on disk.
// Together the rows fail every call site a clean run passes through, in both processes.
TEST_F(Faults, EveryCallSiteFailsWithItsOwnLineAndEnding) {
  struct Row {
    const wchar_t* fault;
    DWORD code;
    std::string out, err;
    std::string left;  // content of the payload directory left behind; "" when none is
  } rows[] = {
      // The parent, in the order of a clean run. A fatal exit after the payload directory
      // exists removes it with everything written so far.
      // {TEMP} unreadable: the expansion error, before anything is created.
      {L"GetTempPathW:1:5", ABORTED, "", EXPAND_DIRECTORY, ""},
      {L"GetFullPathNameW:1:5", ABORTED, "", "", ""},
      // The private directory's descriptor: a function missing in kernelbase sends the run to
      // advapi32's; missing there too, the descriptor cannot be built. OpenProcessToken,
      // GetTokenInformation, GetLengthSid, InitializeAcl, AddAccessAllowedAceEx,
      // InitializeSecurityDescriptor, SetSecurityDescriptorDacl, SetSecurityDescriptorControl.
      {L"GetProcAddress:1:127", 0, HELLO, "", ""},
      {L"GetProcAddress:2:127", 0, HELLO, "", ""},
      {L"GetProcAddress:3:127", 0, HELLO, "", ""},
      {L"GetProcAddress:4:127", 0, HELLO, "", ""},
      {L"GetProcAddress:5:127", 0, HELLO, "", ""},
      {L"GetProcAddress:6:127", 0, HELLO, "", ""},
      {L"GetProcAddress:7:127", 0, HELLO, "", ""},
      {L"GetProcAddress:8:127", 0, HELLO, "", ""},
      {L"GetProcAddress:1+:127", 2, "", line(CREATE, 127), ""},
      // The payload directory: never one that exists (a new random part, a few times).
      {L"CreateDirectoryW:1:5", 2, "", line(CREATE, 5), ""},
      {L"CreateDirectoryW:1:183", 0, HELLO, "", ""},
      {L"CreateDirectoryW:1+:183", 2, "", line(CREATE, 183), ""},
      {L"SetConsoleCtrlHandler:1:5", 2, "Error, failed to register signal handler.\r\n", "", ""},
      // The walk's directory: one that fails once is tried again on the way down (the payload
      // directory above it is known to exist).
      {L"CreateDirectoryW:2:5", 0, HELLO, "", ""},
      {L"CreateDirectoryW:2+:5", 2, "", OPEN_NOTES, ""},
      {L"CreateFileW:1:5", 2, "", "Error, failed to open '{DIR}\\app.dll' for writing.\r\n", ""},
      // The main DLL, an image, opened again to be held once written: a writer that came in
      // between makes that open fail, and the run after the walk.
      {L"CreateFileW:2:32", 2, "", line(UNPACK, 32), ""},
      {L"CreateFileW:3:32", 2, "", OPEN_NOTES, ""},
      {L"WriteFile:1:112", 2, "", line(UNPACK, 112), ""},
      {L"WriteFile:1:short", 2, "", line(UNPACK, 112), ""},  // a short count: disk full
      {L"WriteFile:2:5", 2, "", line(UNPACK, 5), ""},
      {L"GetModuleFileNameW:1:5", ABORTED, "", "", ""},  // the executable's directory
      {L"GetModuleFileNameW:2:5", ABORTED, "", "", ""},  // the child's image path
      // The child is created ahead, while the walk runs; a creation that fails there is made
      // again once the walk is done, and that one's failure ends the run.
      {L"CreateProcessW:1:2", 0, HELLO, "", ""},
      {L"CreateProcessW:1-2:2", 2, "", line(LAUNCH, 2), ""},
      // Removal at the end is silent: a failure once is retried after 100 ms; one that lasts
      // leaves the directory after 20 attempts, and the run still succeeds.
      {L"DeleteFileW:1:5", 0, HELLO, "", ""},
      {L"DeleteFileW:1+:5", 0, HELLO, "", ALL},
      {L"RemoveDirectoryW:1:5", 0, HELLO, "", ""},
      {L"RemoveDirectoryW:1+:5", 0, HELLO, "", "sub"},
      {L"RemoveDirectoryW:2+:5", 0, HELLO, "", "(empty)"},
      // The child. Its parent's image path is the text of its own, so neither is resolved;
      // it takes the folder its parent resolved, so it reads no temporary directory. The
      // child's own ending is passed on; the parent removes the directory.
      {L"child:GetModuleFileNameW:1:5", ABORTED, "", "", ""},
      {L"child:GetFullPathNameW:1:5", ABORTED, "", "", ""},
      {L"child:LoadLibraryExW:1:126", 2, "", line(LOAD, 126), ""},
      {L"child:GetProcAddress:1:127", 2, "Error, DLL entry point not found.\r\n", "", ""},
  };
  std::wstring trace = base + L"\\trace.txt";

  // A clean run, for the call sites to cover.
  ProcessResult clean = run(L"", trace);
  ASSERT_EQ(clean.code, 0u) << clean.err;
  ASSERT_EQ(clean.out, HELLO);
  std::map<std::string, std::string> sites;  // site -> "parent|child OPERATION ARGUMENT"
  for (const TraceLine& t : read_trace(trace, clean.pid)) {
    sites[t.site] = (t.child ? "child " : "parent ") + t.operation + " " + t.argument;
  }
  ASSERT_GE(sites.size(), 15u);
  for (const auto& site : sites) {
    EXPECT_EQ(site.second.find("shell32"), std::string::npos) << "an ordinary run needs no shell32";
    EXPECT_EQ(site.second.find("advapi32"), std::string::npos) << "nor advapi32";
  }
  EXPECT_EQ(left_behind(clean.pid), "");

  std::set<std::string> failed_sites;
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.fault));
    ProcessResult r = run(row.fault, trace);
    if (row.code == ABORTED) {
      EXPECT_TRUE(r.code == ABORTED || r.code == 0xC0000409) << r.code;
    } else {
      EXPECT_EQ(r.code, row.code);
    }
    EXPECT_TRUE(matches(r.out, row.out, temp, r.pid)) << r.out;
    EXPECT_TRUE(matches(r.err, row.err, temp, r.pid)) << r.err;
    EXPECT_EQ(left_behind(r.pid), row.left);
    EXPECT_EQ(children_left(r.pid), 0);
    // Nothing outside TEMP: the root of the current drive is where an empty {TEMP} points.
    wchar_t root[MAX_PATH];
    ASSERT_NE(GetFullPathNameW(L"\\", MAX_PATH, root, nullptr), 0u);
    for (const std::wstring& name : tree_names(root)) {
      EXPECT_FALSE(is_directory_name(utf8(name), r.pid)) << utf8(root) << utf8(name);
    }
    // The failed call, from the run's own trace.
    std::wstring fault = row.fault;
    bool child = fault.compare(0, 6, L"child:") == 0;
    std::string spec = utf8(child ? fault.substr(6) : fault);
    std::string operation = spec.substr(0, spec.find(':'));
    long call = atol(spec.c_str() + operation.size() + 1);
    bool seen = false;
    for (const TraceLine& t : read_trace(trace, r.pid)) {
      if (t.child == child && t.operation == operation && t.call == call) {
        failed_sites.insert(t.site);
        seen = true;
      }
    }
    EXPECT_TRUE(seen) << "the call to fail was never made";
  }
  for (const auto& site : sites) {
    EXPECT_EQ(failed_sites.count(site.first), 1u) << "no row fails " << site.second;
  }
}

// The payload directory's first name comes without the system's generator; a name found taken
// is drawn again from the generator (advapi32's, loaded only then), and the run goes on in a
// fresh directory of another name.
TEST_F(Faults, ATakenFirstNameIsDrawnAgainFromTheSystemsGenerator) {
  std::wstring trace = base + L"\\trace.txt";
  ProcessResult r = run(L"CreateDirectoryW:1:183", trace);
  ASSERT_EQ(r.code, 0u) << r.err;
  EXPECT_EQ(r.out, HELLO);
  std::vector<std::string> names;  // the payload directory's, in the order tried
  bool generator_before_second = false;
  for (const TraceLine& t : read_trace(trace, r.pid)) {
    if (t.child) continue;
    if (t.operation == "CreateDirectoryW") names.push_back(t.argument);
    if (t.operation == "LoadLibraryExW" && t.argument.find("advapi32") != std::string::npos) {
      generator_before_second = names.size() == 1;
    }
  }
  ASSERT_GE(names.size(), 2u);
  EXPECT_NE(names[0], names[1]);
  EXPECT_TRUE(generator_before_second);
  EXPECT_EQ(left_behind(r.pid), "");
}

// The child is created ahead, suspended, while the walk runs; a walk that fails late (the
// 2000th of 3000 files, long after the child exists) ends the run as before, and the child,
// never resumed, goes with it: nothing of the run is left, no process either.
TEST_F(Faults, AChildCreatedAheadNeverOutlivesAFailedRun) {
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", L"CreateFileW:2000:5");
  ProcessResult r = run_process(test_dir() + L"e2e_faults_many.exe", {}, 120000);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", nullptr);
  EXPECT_EQ(r.code, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("Error, failed to open '", 0), 0u) << r.err;
  EXPECT_EQ(children_left(r.pid), 0);
  EXPECT_EQ(left_behind(r.pid), "");
}

// A policy that refuses the extracted main DLL or program (software restriction, application
// control: Wine enforces none, so the seam fails the load or start with the policy's code): the
// line names the folder and the two ways to choose another, the chosen folder too; other
// refusals (an antivirus, the launcher's own child) keep the plain line. Nothing is left.
TEST_F(Faults, APolicysRefusalNamesTheFolderAndTheWaysToAnother) {
  const std::wstring chosen = base + L"\\chosen";
  CreateDirectoryW(chosen.c_str(), nullptr);
  auto note = [](const char* message, DWORD code, const std::wstring& folder) {
    std::string plain = line(message, code);
    return plain.substr(0, plain.size() - 2) + " Blocked by policy in '" + utf8(folder) +
           "': choose a folder the rules allow with zobrin-pack exe --extract-to, or with the "
           "variable ZOBRIN_ONEFILE_EXTRACT_TO.\r\n";
  };
  struct Row {
    const wchar_t* exe;
    const wchar_t* fault;
    bool chosen;  // ZOBRIN_ONEFILE_EXTRACT_TO names `chosen`
    std::string err;
  } rows[] = {
      {L"e2e_faults.exe", L"child:LoadLibraryExW:1:1260", false, note(LOAD, 1260, temp)},
      {L"e2e_faults.exe", L"child:LoadLibraryExW:1:786", false, note(LOAD, 786, temp)},
      {L"e2e_faults.exe", L"child:LoadLibraryExW:1:4551", true, note(LOAD, 4551, chosen)},
      {L"e2e_faults.exe", L"child:LoadLibraryExW:1:225", false, line(LOAD, 225)},
      {L"e2e_faults.exe", L"CreateProcessW:1-2:1260", false, line(LAUNCH, 1260)},
      {L"e2e_faults_program.exe", L"CreateProcessW:1:1260", false, note(LAUNCH, 1260, temp)},
      {L"e2e_faults_program.exe", L"CreateProcessW:1:1260", true, note(LAUNCH, 1260, chosen)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe) + " " + utf8(row.fault));
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", row.fault);
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_EXTRACT_TO", row.chosen ? chosen.c_str() : nullptr);
    ProcessResult r = run_process(test_dir() + row.exe, {}, 120000);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", nullptr);
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_EXTRACT_TO", nullptr);
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, row.err);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    EXPECT_EQ(tree_names(chosen), std::vector<std::wstring>{});
  }
}

// A start the system refuses for want of administrator rights (error 740, which Wine never
// gives: the seam fails the start with it), of the program and of the launcher's own child:
// the line says so and names --uac-admin. Nothing is left.
TEST_F(Faults, AStartThatNeedsAdministratorRightsNamesUacAdmin) {
  std::string plain = line(LAUNCH, 740);
  const std::string expected = plain.substr(0, plain.size() - 2) +
                               " The program needs administrator rights: start this executable "
                               "as administrator, or pack it with zobrin-pack exe --uac-admin.\r\n";
  for (const wchar_t* exe : {L"e2e_faults_program.exe", L"e2e_faults.exe"}) {
    SCOPED_TRACE(utf8(exe));
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", L"CreateProcessW:1-2:740");
    ProcessResult r = run_process(test_dir() + exe, {}, 120000);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", nullptr);
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }
}

// Removal by name with the main DLL in a folder that holds another file of the table, which
// comes later than the main entry: each file and directory is named once, none by a listing.
TEST_F(Faults, RemovalNamesEachPathOnceWithTheMainFileInAFolder) {
  std::wstring trace = base + L"\\trace.txt";
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", trace.c_str());
  ProcessResult r = run_process(test_dir() + L"e2e_faults_folder.exe", {}, 120000);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", nullptr);
  EXPECT_EQ(r.code, 0u) << r.err;
  EXPECT_EQ(r.out, HELLO);
  std::map<std::string, int> named;  // "OPERATION name below the payload directory" -> calls
  for (const TraceLine& t : read_trace(trace, r.pid)) {
    if (t.child || (t.operation != "DeleteFileW" && t.operation != "RemoveDirectoryW")) continue;
    size_t below = t.argument.find("onefile_");
    below = t.argument.find('\\', below);
    named[t.operation + " " + (below == std::string::npos ? "" : t.argument.substr(below + 1))]++;
  }
  EXPECT_EQ(named, (std::map<std::string, int>{{"DeleteFileW bin\\app.dll", 1},
                                              {"DeleteFileW bin\\notes.txt", 1},
                                              {"DeleteFileW top.txt", 1},
                                              {"RemoveDirectoryW ", 1},
                                              {"RemoveDirectoryW bin", 1}}));
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

// An executable with a splash whose start is fast (a small tree) loads nothing of it: neither
// user32 nor gdi32 in the parent, whose routed calls the trace lists.
TEST_F(Faults, AFastStartLoadsNothingOfTheSplash) {
  std::wstring trace = base + L"\\trace.txt";
  std::wstring report = base + L"\\report";
  CreateDirectoryW(report.c_str(), nullptr);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", trace.c_str());
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  ProcessResult r = run_process(test_dir() + L"e2e_faults_splash.exe", {}, 120000);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", nullptr);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", nullptr);
  EXPECT_EQ(r.code, 0u) << r.err;
  EXPECT_EQ(r.out, HELLO);
  std::vector<TraceLine> lines = read_trace(trace, r.pid);
  EXPECT_GE(lines.size(), 10u);
  for (const TraceLine& t : lines) {
    if (t.child) continue;
    EXPECT_EQ(t.argument.find("user32"), std::string::npos) << t.operation;
    EXPECT_EQ(t.argument.find("gdi32"), std::string::npos) << t.operation;
  }
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
}

// One launch started and left running, its output read by two threads.
struct Running {
  PROCESS_INFORMATION process = {};
  std::string out, err;
  std::thread out_thread, err_thread;
};

void drain_into(HANDLE pipe, std::string* into) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
  CloseHandle(pipe);
}

bool start(const std::wstring& program, Running* run) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  CreatePipe(&out_read, &out_write, &inherit, 0);
  CreatePipe(&err_read, &err_write, &inherit, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  std::wstring command = L"\"" + program + L"\"";
  bool started = start_process(program.c_str(), &command[0], /* bInheritHandles */ TRUE,
                               &startup, &run->process);
  CloseHandle(out_write);
  CloseHandle(err_write);
  run->out_thread = std::thread(drain_into, out_read, &run->out);
  run->err_thread = std::thread(drain_into, err_read, &run->err);
  return started;
}

// Launches of one executable at the same time (each application waits a while, so their runs
// overlap): every one succeeds in a directory of its own, and none is left.
TEST_F(Faults, EightAndSixteenLaunchesAtOnce) {
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SLEEP", L"1500");
  for (int count : {8, 16}) {
    SCOPED_TRACE(count);
    std::vector<Running> runs(count);
    std::vector<std::wstring> reports;
    for (int i = 0; i < count; i++) {
      reports.push_back(base + L"\\report_" + std::to_wstring(count) + L"_" + std::to_wstring(i));
      CreateDirectoryW(reports[i].c_str(), nullptr);
      // Read by the process when it starts: each gets its own report directory.
      SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", reports[i].c_str());
      ASSERT_TRUE(start(test_dir() + L"e2e_echo.exe", &runs[i])) << GetLastError();
    }
    SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", nullptr);
    size_t most_at_once = 0;
    for (Running& run : runs) {
      while (WaitForSingleObject(run.process.hProcess, 50) == WAIT_TIMEOUT) {
        most_at_once = std::max(most_at_once, tree_names(temp).size());
      }
    }
    std::set<std::string> directories;
    for (int i = 0; i < count; i++) {
      Running& run = runs[i];
      DWORD code = 0xDEAD;
      GetExitCodeProcess(run.process.hProcess, &code);
      run.out_thread.join();
      run.err_thread.join();
      CloseHandle(run.process.hThread);
      CloseHandle(run.process.hProcess);
      EXPECT_EQ(code, 0u) << i;
      EXPECT_EQ(run.out, HELLO) << i;
      EXPECT_EQ(run.err, "") << i;
      std::string info = read_file(reports[i] + L"\\info.txt");
      size_t at = info.find("dll=");
      ASSERT_NE(at, std::string::npos) << i;
      std::string dll = info.substr(at + 4, info.find('\n', at) - at - 4);
      std::string dir = dll.substr(0, dll.rfind('\\'));
      EXPECT_EQ(dir.rfind(utf8(temp) + "\\onefile_" + std::to_string(run.process.dwProcessId) + "_",
                          0), 0u) << dir;
      directories.insert(dir);
    }
    EXPECT_EQ(directories.size(), (size_t)count) << "two launches shared a directory";
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "a payload directory left behind";
    RecordProperty("most_directories_at_once_" + std::to_string(count), (int)most_at_once);
    EXPECT_GE(most_at_once, 2u) << "the launches did not overlap";
  }
}

}  // namespace
