// The sweep of payload directories left by killed launchers: which names it takes, and which
// directories it removes or keeps, on real trees under Wine.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include "cleanup/sweep.h"
#include "tests/win/cleanup_tree.h"

namespace {

// The id of a process that has ended and whose every handle is closed: no process has it now.
DWORD ended_process_id() {
  std::wstring exe = test_dir() + L"cleanup_child_probe.exe";
  std::wstring command = L"\"" + exe + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  EXPECT_TRUE(start_process(exe.c_str(), &command[0], FALSE, &startup, &process));
  WaitForSingleObject(process.hProcess, INFINITE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

TEST(CleanupSweep, OnlyTheLaunchersOwnDirectoryNameMatches) {
  struct Row {
    const wchar_t* name;
    bool matches;
    DWORD pid;
  } rows[] = {
      {L"onefile_1234_567890_AbCdEfGh-_0", true, 1234},
      {L"onefile_0_0_AAAAAAAAAAA", true, 0},
      {L"onefile_4294967295_1_zzzzzzzzzzz", true, 4294967295u},
      {L"onefile_12_34____________", true, 12},      // base64url has '_' too
      {L"onefile_4294967296_1_AAAAAAAAAAA", false, 0},  // more than 32 bits
      {L"onefile_99999999999999999999999_1_AAAAAAAAAAA", false, 0},
      {L"onefile_x", false, 0},
      {L"onefile_123_456", false, 0},
      {L"onefile_123_456_", false, 0},
      {L"onefile_123_456_AAAAAAAAAA", false, 0},    // 10 characters
      {L"onefile_123_456_AAAAAAAAAAAA", false, 0},  // 12
      {L"onefile_123_456_AAAAAAAAAA=", false, 0},   // not base64url
      {L"onefile_123_456_AAAAAAAAAA+", false, 0},
      {L"onefile_123_456_AAAAAAAAAAA.txt", false, 0},
      {L"onefile__456_AAAAAAAAAAA", false, 0},
      {L"onefile_123__AAAAAAAAAAA", false, 0},
      {L"onefile_-12_456_AAAAAAAAAAA", false, 0},
      {L"onefile_12a_456_AAAAAAAAAAA", false, 0},
      {L"ONEFILE_123_456_AAAAAAAAAAA", false, 0},
      {L"xonefile_123_456_AAAAAAAAAAA", false, 0},
      {L"onefile_123_456_AAAAAAAAAAA ", false, 0},
      {L"", false, 0},
  };
  for (const Row& row : rows) {
    DWORD pid = 0xDEADBEEF;
    EXPECT_EQ(cleanup_sweep_name_matches(row.name, &pid), row.matches) << utf8(row.name);
    if (row.matches) {
      EXPECT_EQ(pid, row.pid) << utf8(row.name);
    }
  }
}

TEST(CleanupSweep, RemovesOnlyDirectoriesOfEndedLaunchersThatNoOneHolds) {
  std::wstring temp = tree_fresh(L"sweep");
  std::wstring dead = std::to_wstring(ended_process_id());
  std::wstring alive = std::to_wstring(GetCurrentProcessId());
  // An ended process whose handle is still open: its id cannot have been reused.
  std::wstring exe = test_dir() + L"cleanup_child_probe.exe";
  std::wstring command = L"\"" + exe + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION held = {};
  ASSERT_TRUE(start_process(exe.c_str(), &command[0], FALSE, &startup, &held));
  WaitForSingleObject(held.hProcess, INFINITE);
  std::wstring ended_but_held = std::to_wstring(held.dwProcessId);
  // A process that runs on: its directory stays even though it is not the launcher.
  std::wstring forever = L"\"" + exe + L"\" forever";
  PROCESS_INFORMATION runner = {};
  ASSERT_TRUE(start_process(exe.c_str(), &forever[0], FALSE, &startup, &runner));
  std::wstring running = std::to_wstring(runner.dwProcessId);

  struct Row {
    std::wstring name;
    bool directory;
    bool gone;
  } rows[] = {
      {L"onefile_" + dead + L"_1_AAAAAAAAAAA", true, true},
      {L"onefile_" + ended_but_held + L"_1_BBBBBBBBBBB", true, true},
      {L"onefile_4294967292_1_CCCCCCCCCCC", true, true},     // no such process
      {L"onefile_" + alive + L"_1_DDDDDDDDDDD", true, false},  // this test program
      {L"onefile_" + running + L"_1_EEEEEEEEEEE", true, false},
      {L"onefile_" + dead + L"_2_OWNOWNOWNOW", true, false},   // the sweeping launcher's own
      {L"onefile_" + dead + L"_3_HELDHELDHEL", true, false},   // held open below
      {L"onefile_" + dead + L"_4_FILEFILEFIL", false, false},  // a file, not a directory
      {L"onefile_x", true, false},
      {L"onefile_123_456", true, false},
      {L"onefile_" + dead + L"_5_AAAAAAAAAA", true, false},
      {L"Onefile_" + dead + L"_6_AAAAAAAAAAA", true, false},
      {L"other_" + dead + L"_7_AAAAAAAAAAA", true, false},
  };
  for (const Row& row : rows) {
    std::wstring path = temp + L"\\" + row.name;
    if (row.directory) {
      marked_dir(path);
      tree_dir(path + L"\\sub");
      tree_file(path + L"\\sub\\a.txt");
      tree_file(path + L"\\b.txt");
    } else {
      tree_file(path);
    }
  }
  std::wstring held_path = temp + L"\\onefile_" + dead + L"_3_HELDHELDHEL";
  HANDLE holder = CreateFileW(held_path.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE) << GetLastError();

  // Directories of the launcher's names without its mark: a user's, never taken.
  const std::wstring users[] = {temp + L"\\onefile_" + dead + L"_8_USERUSERUSE",
                                temp + L"\\onefile_4294967292_9_USERUSERUSE"};
  for (const std::wstring& path : users) tree_dir(path);

  std::wstring own = L"onefile_" + dead + L"_2_OWNOWNOWNOW";
  EXPECT_EQ(cleanup_sweep(temp.c_str(), own.c_str()), 3u);
  for (const std::wstring& path : users) EXPECT_TRUE(tree_exists(path)) << utf8(path);
  for (const Row& row : rows) {
    EXPECT_EQ(tree_exists(temp + L"\\" + row.name), !row.gone) << utf8(row.name);
    if (!row.gone && row.directory) {
      EXPECT_TRUE(tree_exists(temp + L"\\" + row.name + L"\\sub\\a.txt")) << utf8(row.name);
    }
  }

  // Let go, the held directory goes with the next sweep.
  CloseHandle(holder);
  EXPECT_EQ(cleanup_sweep(temp.c_str(), own.c_str()), 1u);
  EXPECT_FALSE(tree_exists(held_path));
  EXPECT_TRUE(tree_exists(temp + L"\\" + own));

  TerminateProcess(runner.hProcess, 0);
  WaitForSingleObject(runner.hProcess, INFINITE);
  for (HANDLE h : {held.hProcess, held.hThread, runner.hProcess, runner.hThread}) CloseHandle(h);
  tree_wipe(temp);
}

// Wine reports a file of another Unix user as owned by another account; making one needs root
// (as in CI), so the test is skipped without it.
TEST(CleanupSweep, DirectoryOfAnotherOwnerIsKept) {
  std::wstring temp = tree_fresh(L"sweepowner");
  std::wstring theirs = temp + L"\\onefile_4294967292_1_THEIRSTHEIR";
  std::wstring mine = temp + L"\\onefile_4294967292_2_MINEMINEMIN";
  marked_dir(theirs);
  tree_file(theirs + L"\\a.txt");
  marked_dir(mine);
  ASSERT_TRUE(owned_by_me(theirs));
  run_unix(L"Z:\\bin\\chown", L"chown 65534 " + unix_path(theirs), theirs);
  for (int i = 0; i < 500 && owned_by_me(theirs); i++) Sleep(20);
  if (owned_by_me(theirs)) {
    tree_wipe(temp);
    GTEST_SKIP() << "chown needs root";
  }
  EXPECT_EQ(cleanup_sweep(temp.c_str(), L""), 1u);
  EXPECT_TRUE(tree_exists(theirs + L"\\a.txt"));
  EXPECT_FALSE(tree_exists(mine));
  tree_wipe(temp);
}

// The current user's SID as text ("S-1-5-21-...").
std::wstring user_sid_text() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  union {
    TOKEN_USER user;
    char bytes[256];
  } me;
  DWORD needed = 0;
  wchar_t* text = nullptr;
  EXPECT_TRUE(GetTokenInformation(token, TokenUser, &me, sizeof me, &needed));
  EXPECT_TRUE(ConvertSidToStringSidW(me.user.User.Sid, &text));
  CloseHandle(token);
  std::wstring out = text != nullptr ? text : L"";
  LocalFree(text);
  return out;
}

// What the same user made elevated is the user's: owned by the Administrators group, with the
// launcher's protected DACL whose one entry allows the user. Any other owner, or that group
// with another DACL, is not. Wine reports a file's owner from its Unix owner whatever was set,
// so the decision is checked on the descriptors themselves.
TEST(CleanupSweep, DirectoryTheUserMadeElevatedIsTheUsers) {
  std::wstring me = user_sid_text();
  struct Row {
    std::wstring sddl;
    bool users;
  } rows[] = {
      {L"O:" + me + L"D:P(A;OICI;FA;;;" + me + L")", true},
      {L"O:" + me + L"D:(A;OICI;FA;;;WD)(A;OICI;FA;;;BA)", true},  // the user's whatever the DACL
      {L"O:BAD:P(A;OICI;FA;;;" + me + L")", true},
      {L"O:BAD:P(A;;0x1F01FF;;;" + me + L")", true},
      {L"O:BAD:(A;OICI;FA;;;" + me + L")", false},  // not protected
      {L"O:BAD:P(A;OICI;FA;;;" + me + L")(A;OICI;FA;;;BA)", false},
      {L"O:BAD:P(A;OICI;FA;;;WD)", false},
      {L"O:BAD:P(D;OICI;FA;;;" + me + L")", false},
      {L"O:BAD:P", false},   // an empty DACL
      {L"O:BAD:NO_ACCESS_CONTROL", false},
      {L"O:SYD:P(A;OICI;FA;;;" + me + L")", false},
      {L"O:WDD:P(A;OICI;FA;;;" + me + L")", false},
      {L"O:S-1-5-21-1-2-3-1000D:P(A;OICI;FA;;;" + me + L")", false},
  };
  for (const Row& row : rows) {
    PSECURITY_DESCRIPTOR security = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        row.sddl.c_str(), SDDL_REVISION_1, &security, nullptr))
        << utf8(row.sddl);
    EXPECT_EQ(cleanup_descriptor_is_users(security), row.users) << utf8(row.sddl);
    LocalFree(security);
  }
}

// A Unix symbolic link named like a payload directory is neither entered nor removed; the
// directory it points to keeps its files.
TEST(CleanupSweep, LinkNamedLikeAPayloadDirectoryIsLeftAlone) {
  std::wstring temp = tree_fresh(L"sweeplink");
  std::wstring target = tree_fresh(L"sweeptarget");
  tree_file(target + L"\\keep.txt");
  std::wstring link = temp + L"\\onefile_4294967292_1_LINKLINKLIN";
  ASSERT_TRUE(run_unix(L"Z:\\bin\\ln", L"ln -s " + unix_path(target) + L" " + unix_path(link),
                       link));
  std::wstring real = temp + L"\\onefile_4294967292_2_REALREALREA";
  marked_dir(real);
  EXPECT_EQ(cleanup_sweep(temp.c_str(), L""), 1u);
  EXPECT_FALSE(tree_exists(real));
  EXPECT_TRUE(tree_exists(link));
  EXPECT_TRUE(tree_exists(target + L"\\keep.txt"));
  ASSERT_TRUE(run_unix(L"Z:\\bin\\rm", L"rm " + unix_path(link), link, /* appears */ false));
  tree_wipe(temp);
  tree_wipe(target);
}

}  // namespace
