// Shutdown and the console control handler: removal retries, the child's grace period, the
// hand-over of the child's handle between two threads, and real console control events
// delivered to a program that registers the handler.
#include <gtest/gtest.h>

#include <stdio.h>

#include "base/fault_seam_query.h"
#include "cleanup/child_slot.h"
#include "cleanup/gate.h"
#include "cleanup/shutdown.h"
#include "tests/win/cleanup_tree.h"

namespace {

// A run for shutdown with `dir` and the given opened flag, published to the console handler
// while it lives.
struct ShutdownScope {
  RunContext run = {};
  ShutdownScope(const std::wstring& dir, unsigned char opened) {
    wcscpy(run.payload_directory, dir.c_str());
    run.remove_directory = opened;
    cleanup_publish_run(&run);
  }
  ~ShutdownScope() {
    cleanup_publish_run(nullptr);
    cleanup_child_release(&run);
  }
};

void make_tree(const std::wstring& t) {
  tree_dir(t);
  tree_dir(t + L"\\sub");
  tree_file(t + L"\\sub\\a.txt");
  tree_file(t + L"\\b.txt");
}

PROCESS_INFORMATION start_child(const std::wstring& args) {
  std::wstring exe = test_dir() + L"cleanup_child_probe.exe";
  std::wstring command = L"\"" + exe + L"\" " + args;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  EXPECT_TRUE(start_process(exe.c_str(), &command[0], /* bInheritHandles */ FALSE, &startup,
                            &process))
      << GetLastError();
  return process;
}

void end_child(PROCESS_INFORMATION* child) {
  if (child->hProcess == nullptr) return;
  TerminateProcess(child->hProcess, 0xDEAD);
  WaitForSingleObject(child->hProcess, INFINITE);
  CloseHandle(child->hProcess);
  CloseHandle(child->hThread);
  child->hProcess = nullptr;
}

// The removal passes shutdown makes, counted by the fault seam as RemoveDirectoryW calls on
// the payload directory itself (each pass that lists the tree ends with one).
TEST(CleanupShutdown, RemovalPassesFollowTheOpenedFlagAndTheResult) {
  struct Row {
    const char* what;
    unsigned char opened;
    bool make;
    bool held;  // a file in the tree is held open without delete sharing
    LONG passes;
    bool stays;
  } rows[] = {
      {"payload not opened: nothing is removed", 0, true, false, 0, true},
      {"end of a run: one pass removes it all", 1, true, false, 1, false},
      {"directory already gone: nothing to remove", 1, false, false, 0, false},
      {"removal keeps failing: 20 passes", 1, true, true, 20, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::wstring root = tree_fresh(L"retry");
    std::wstring t = root + L"\\onefile_1_2_3";
    if (row.make) make_tree(t);
    HANDLE held = INVALID_HANDLE_VALUE;
    if (row.held) {
      held = CreateFileW((t + L"\\sub\\a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    {
      ShutdownScope scope(t, row.opened);
      fault_seam_watch(t.c_str());
      cleanup_shutdown(&scope.run);
      EXPECT_EQ(fault_seam_watched_calls(L"RemoveDirectoryW"), row.passes);
    }
    EXPECT_EQ(tree_exists(t), row.stays);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    tree_wipe(root);
  }
}

TEST(CleanupConsoleHandler, OnlyTheFiveShutdownTypesActAndAStartedProgramKeepsInterrupts) {
  std::wstring root = tree_fresh(L"types");
  std::wstring t = root + L"\\onefile_1_2_3";
  make_tree(t);
  PROCESS_INFORMATION child = start_child(L"forever");
  {
    ShutdownScope scope(t, 1);
    ASSERT_TRUE(cleanup_child_publish(&scope.run, child.hProcess));
    fault_seam_watch(t.c_str());
    for (DWORD type : {3ul, 4ul, 7ul, 8ul, 0xFFFFFFFFul}) {
      SCOPED_TRACE(type);
      EXPECT_EQ(cleanup_console_handler(type), FALSE);
      EXPECT_EQ(fault_seam_watched_calls(L"RemoveDirectoryW"), 0);
      EXPECT_TRUE(tree_exists(t + L"\\sub\\a.txt"));
      EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    }
    // The child is still published: nothing took it.
    HANDLE published = cleanup_child_take(&scope.run);
    EXPECT_NE(published, nullptr);
    if (published != nullptr) CloseHandle(published);
  }
  end_child(&child);
  tree_wipe(t);

  // Once the program mode's program has started, interrupt and break are its own: handled,
  // nothing removed. Close, log-off and shutdown act as before it.
  struct Row {
    DWORD type;
    bool program_started;
    BOOL result;
  } rows[] = {
      {0, false, FALSE}, {1, false, FALSE}, {2, false, FALSE}, {5, false, FALSE},
      {6, false, FALSE}, {0, true, TRUE},   {1, true, TRUE},   {2, true, FALSE},
      {5, true, FALSE},  {6, true, FALSE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.type) + (row.program_started ? " program started" : ""));
    make_tree(t);
    ShutdownScope scope(t, 1);
    scope.run.program_started = row.program_started;
    fault_seam_watch(t.c_str());
    EXPECT_EQ(cleanup_console_handler(row.type), row.result);
    EXPECT_EQ(fault_seam_watched_calls(L"RemoveDirectoryW"), row.result ? 0 : 1);
    EXPECT_EQ(tree_exists(t), row.result == TRUE);
    tree_wipe(t);
  }
  tree_wipe(root);
}

struct HandlerRun {
  BOOL result = TRUE;
};

DWORD WINAPI handler_thread(void* run) {
  static_cast<HandlerRun*>(run)->result = cleanup_console_handler(CTRL_C_EVENT);
  return 0;
}

// The main thread does what the end of a parent launch does while the handler runs on a
// second thread, as the system would run it: the child's handle is closed once by each owner
// (the handle count comes back to where it was) and the slot ends up empty.
TEST(CleanupHandOver, HandlerOnAnotherThreadWhileTheMainThreadWaits) {
  struct Row {
    const char* what;
    bool ends_itself;
    DWORD code;
  } rows[] = {
      {"child ends within the grace period and keeps its code", true, 42},
      {"child still running after 5000 ms is terminated as interrupted", false,
       STATUS_CONTROL_C_EXIT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::wstring root = tree_fresh(L"handover");
    std::wstring t = root + L"\\onefile_1_2_3";
    make_tree(t);
    std::wstring event_name = L"zobrin_cleanup_test_" + std::to_wstring(GetCurrentProcessId());
    HANDLE finish = CreateEventW(nullptr, /* bManualReset */ TRUE, /* bInitialState */ FALSE,
                                 event_name.c_str());
    PROCESS_INFORMATION child =
        start_child(row.ends_itself ? L"event " + event_name + L" 42" : L"forever");
    ASSERT_NE(child.hProcess, nullptr);
    {
      ShutdownScope scope(t, 1);
      DWORD handles_before = 0;
      GetProcessHandleCount(GetCurrentProcess(), &handles_before);

      ASSERT_TRUE(cleanup_child_publish(&scope.run, child.hProcess));
      HandlerRun run;
      HANDLE thread = CreateThread(nullptr, 0, handler_thread, &run, 0, nullptr);
      ASSERT_NE(thread, nullptr);
      // Give the handler time to take the child before it ends on its own.
      if (row.ends_itself) {
        Sleep(300);
        SetEvent(finish);
      }
      WaitForSingleObject(child.hProcess, INFINITE);
      DWORD code = 0xDEAD;
      EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
      EXPECT_EQ(code, row.code);
      cleanup_child_release(&scope.run);
      cleanup_shutdown(&scope.run);
      WaitForSingleObject(thread, INFINITE);
      CloseHandle(thread);
      EXPECT_EQ(run.result, FALSE);
      EXPECT_EQ(cleanup_child_take(&scope.run), nullptr);

      DWORD handles_after = 0;
      GetProcessHandleCount(GetCurrentProcess(), &handles_after);
      EXPECT_EQ(handles_after, handles_before);
    }
    EXPECT_FALSE(tree_exists(t));
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(finish);
    tree_wipe(root);
  }
}

// The extraction's side of the gate on a thread of its own: file after file below `dir`, each
// created in one step, written in 20 more with the file kept open between them (in
// the run's file slot, as the walk keeps it), closed in a last one. Ends when `quit` is set.
struct Walker {
  RunContext* run;
  wchar_t dir[MAX_PATH];
  volatile LONG steps = 0;
  volatile LONG quit = 0;
};

DWORD WINAPI walker_thread(void* argument) {
  Walker* walker = static_cast<Walker*>(argument);
  RunContext* run = walker->run;
  wchar_t path[MAX_PATH + 16];
  for (int i = 0; !walker->quit; i++) {
    swprintf(path, MAX_PATH + 16, L"%ls\\f%d", walker->dir, i);
    cleanup_gate_enter(run);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                              nullptr);
    run->file = file;
    InterlockedIncrement(&walker->steps);
    cleanup_gate_leave(run);
    for (int k = 0; k < 20; k++) {
      cleanup_gate_enter(run);
      DWORD written = 0;
      WriteFile(file, "data", 4, &written, nullptr);
      InterlockedIncrement(&walker->steps);
      cleanup_gate_leave(run);
    }
    cleanup_gate_enter(run);
    HANDLE open = InterlockedExchangePointer(&run->file, nullptr);
    if (open != nullptr) CloseHandle(open);
    cleanup_gate_leave(run);
  }
  return 0;
}

// The handler on one thread while another extracts: once it returns, the file left open is
// closed (one removal call suffices), the directory is gone and stays gone, and the extracting
// thread never takes another step.
TEST(CleanupGate, HandlerStopsTheExtractingThreadBeforeTheRemoval) {
  for (LONG after : {1, 50, 400}) {
    SCOPED_TRACE(after);
    std::wstring root = tree_fresh(L"gate");
    std::wstring dir = root + L"\\onefile_1_2_3";
    tree_dir(dir);
    ShutdownScope scope(dir, 1);
    Walker walker;
    walker.run = &scope.run;
    wcscpy(walker.dir, dir.c_str());
    HANDLE thread = CreateThread(nullptr, 0, walker_thread, &walker, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    for (int i = 0; i < 10000 && walker.steps < after; i++) Sleep(1);
    ASSERT_GE(walker.steps, after) << "the extracting thread is stuck";
    fault_seam_watch(dir.c_str());
    EXPECT_EQ(cleanup_console_handler(CTRL_C_EVENT), FALSE);
    // One removal pass (one RemoveDirectoryW of the directory itself, through the seam).
    EXPECT_EQ(fault_seam_watched_calls(L"RemoveDirectoryW"), 1);
    LONG steps = walker.steps;
    Sleep(300);
    EXPECT_EQ(walker.steps, steps);
    EXPECT_FALSE(tree_exists(dir));
    EXPECT_EQ(scope.run.file, nullptr);
    // Stopped for good: it does not even see `quit` (the process would end it).
    walker.quit = 1;
    EXPECT_EQ(WaitForSingleObject(thread, 500), (DWORD)WAIT_TIMEOUT);
    TerminateThread(thread, 0);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    tree_wipe(root);
  }
}


// Real events, delivered the way the system delivers them: the control routine that every
// process exports runs on a new thread in the target and calls its registered handlers.
// GenerateConsoleCtrlEvent cannot send a break under Wine and needs a console; this needs
// neither, and reaches only the launcher, not its child.
TEST(CleanupConsoleEvent, RealEventsEndTheChildAndRemoveTheDirectory) {
  struct Row {
    const char* what;
    DWORD type;
    bool opened;
    const char* child;  // null: no child
    DWORD child_code;
    bool stays;
  } rows[] = {
      {"interrupt while the child runs on: terminated as interrupted", CTRL_C_EVENT, true,
       "forever", STATUS_CONTROL_C_EXIT, false},
      {"break, child ends within 5000 ms: keeps its code", CTRL_BREAK_EVENT, true, "event", 42,
       false},
      {"close before the payload is opened: nothing removed", CTRL_CLOSE_EVENT, false, nullptr, 0,
       true},
  };
  auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
      GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine"));
  if (routine == nullptr) GTEST_SKIP() << "no CtrlRoutine export on this system";

  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::wstring root = tree_fresh(L"event");
    std::wstring t = root + L"\\onefile_1_2_3";
    make_tree(t);
    std::wstring ready = root + L"\\ready.txt";
    std::wstring report = root + L"\\report.txt";
    std::wstring event_name = L"zobrin_cleanup_event_" + std::to_wstring(GetCurrentProcessId());
    HANDLE finish = CreateEventW(nullptr, /* bManualReset */ TRUE, /* bInitialState */ FALSE,
                                 event_name.c_str());

    std::wstring exe = test_dir() + L"cleanup_launcher_probe.exe";
    std::wstring command = L"\"" + exe + L"\" \"" + t + L"\" \"" + ready + L"\" \"" + report +
                           L"\" " + (row.opened ? L"opened" : L"unopened");
    if (row.child != nullptr) {
      command += L" \"" + test_dir() + L"cleanup_child_probe.exe\"";
      command += std::string(row.child) == "forever" ? L" forever" : L" event " + event_name + L" 42";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION launcher = {};
    ASSERT_TRUE(start_process(exe.c_str(), &command[0], /* bInheritHandles */ FALSE, &startup,
                              &launcher));
    for (int i = 0; i < 1500 && !tree_exists(ready); i++) Sleep(20);
    std::string ready_text = read_file(ready);
    ASSERT_FALSE(ready_text.empty()) << "the launcher never got ready";
    DWORD child_pid = strtoul(ready_text.c_str(), nullptr, 10);
    HANDLE child = child_pid == 0 ? nullptr
                                  : OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION |
                                                    PROCESS_TERMINATE,
                                                /* bInheritHandle */ FALSE, child_pid);
    EXPECT_EQ(child != nullptr, row.child != nullptr);

    HANDLE thread = CreateRemoteThread(launcher.hProcess, nullptr, 0, routine,
                                       reinterpret_cast<void*>(static_cast<ULONG_PTR>(row.type)),
                                       0, nullptr);
    ASSERT_NE(thread, nullptr) << GetLastError();
    CloseHandle(thread);
    if (row.child != nullptr && std::string(row.child) == "event") {
      Sleep(300);
      SetEvent(finish);
    }
    if (WaitForSingleObject(launcher.hProcess, 60000) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "the launcher did not end";
      TerminateProcess(launcher.hProcess, 0xDEAD);
    }
    if (child != nullptr) {
      if (WaitForSingleObject(child, 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the child was left running";
        TerminateProcess(child, 0xDEAD);
      }
      DWORD code = 0xDEAD;
      GetExitCodeProcess(child, &code);
      EXPECT_EQ(code, row.child_code);
      CloseHandle(child);
    }
    // The recorder, registered before the launcher's handler, saw the event passed on.
    std::string text = read_file(report);
    std::string type_prefix = "type " + std::to_string(row.type) + " ";
    EXPECT_EQ(text.rfind(type_prefix, 0), 0u) << text;
    if (!row.opened) EXPECT_EQ(text, type_prefix + "removals 0\n");
    EXPECT_EQ(tree_exists(t), row.stays);
    CloseHandle(launcher.hProcess);
    CloseHandle(launcher.hThread);
    CloseHandle(finish);
    tree_wipe(root);
  }
}

}  // namespace
