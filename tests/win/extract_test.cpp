// Directory creation during extraction: which CreateDirectoryW calls a file below missing,
// made or known directories costs, and that a very deep tree does not exhaust the stack.
#include <gtest/gtest.h>

#include "base/fault_seam_query.h"
#include "extract/extract.h"
#include "tests/win/support/run_process.h"

namespace {

// An extraction with a run of its own (no payload directory unless a test sets one).
struct TestExtraction {
  RunContext run = {};
  PayloadReader reader = {};
  Extractor extractor = {};
  TestExtraction() { extract_init(&extractor, &run, &reader); }
};

std::wstring fresh_dir(const wchar_t* name) {
  std::wstring dir = test_dir() + L"extract_" + name;
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

bool is_dir(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The CreateDirectoryW calls the fault seam counts while the directories above `file` are made.
LONG calls_for(Extractor* extractor, const std::wstring& file) {
  LONG before = fault_seam_calls(L"CreateDirectoryW");
  extract_make_parent_directories(extractor, file.c_str());
  return fault_seam_calls(L"CreateDirectoryW") - before;
}

TEST(ExtractDirectories, CallsGoUpToTheFirstExistingDirectoryAndBackDown) {
  std::wstring base = fresh_dir(L"calls") + L"\\" + std::to_wstring(GetTickCount64());
  struct Row {
    std::wstring file;
    LONG calls;
  } rows[] = {
      {base + L"\\f.txt", 1},              // the directory itself, its parent exists
      {base + L"\\g.txt", 0},              // made before: known
      {base + L"\\a\\b\\c\\f.txt", 5},     // c, b fail; a made; then b, c
      {base + L"\\a\\b\\c\\h.txt", 0},
      {base + L"\\a\\b\\i.txt", 0},
      {base + L"\\a\\x\\y.txt", 1},        // only x is missing
      {L"C:\\f.txt", 0},                   // a bare drive counts as existing
      {L"no-separator.txt", 0},
      {L"", 0},
  };
  TestExtraction test;
  for (const Row& row : rows) {
    EXPECT_EQ(calls_for(&test.extractor, row.file), row.calls) << utf8(row.file);
  }
  EXPECT_TRUE(is_dir(base + L"\\a\\b\\c"));
  EXPECT_TRUE(is_dir(base + L"\\a\\x"));
}

TEST(ExtractDirectories, FileWhereADirectoryMustBeCountsAsExistingAndTheOpenFails) {
  std::wstring base = fresh_dir(L"in_the_way");
  std::wstring file = base + L"\\plain";
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(h);
  TestExtraction test;
  EXPECT_TRUE(extract_make_directory(&test.extractor, file.c_str()));
  EXPECT_EQ(CreateFileW((file + L"\\below.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        0, nullptr),
            INVALID_HANDLE_VALUE);
}

TEST(ExtractDirectories, AfterTheListIsFullDirectoriesAreCreatedAgainAndStillCount) {
  std::wstring base = fresh_dir(L"full") + L"\\" + std::to_wstring(GetTickCount64());
  CreateDirectoryW(base.c_str(), nullptr);
  TestExtraction test;
  Extractor* extractor = &test.extractor;
  // The list holds the home directory, this base and then 1022 more: 1024 in all.
  EXPECT_TRUE(extract_make_directory(extractor, base.c_str()));
  for (int i = 0; i < 1100; i++) {
    EXPECT_TRUE(extract_make_directory(extractor, (base + L"\\d" + std::to_wstring(i)).c_str()));
  }
  LONG before = fault_seam_calls(L"CreateDirectoryW");
  EXPECT_TRUE(extract_make_directory(extractor, (base + L"\\d1021").c_str()));
  EXPECT_EQ(fault_seam_calls(L"CreateDirectoryW") - before, 0) << "the last one recorded";
  EXPECT_TRUE(extract_make_directory(extractor, (base + L"\\d1022").c_str()));
  EXPECT_EQ(fault_seam_calls(L"CreateDirectoryW") - before, 1) << "the first one not recorded";
}

// The home directory is looked up (shell32 loaded for it, the list's first slot filled) only
// for a path outside the payload directory; the payload directory itself counts as existing
// without a call.
TEST(ExtractDirectories, HomeIsExpandedOnlyForAPathOutsideThePayloadDirectory) {
  std::wstring base = fresh_dir(L"home") + L"\\" + std::to_wstring(GetTickCount64());
  CreateDirectoryW(base.c_str(), nullptr);
  TestExtraction test;
  wcscpy(test.run.payload_directory, base.c_str());
  struct Row {
    std::wstring file;
    LONG calls;  // so far
    bool home;   // the home directory looked up by now
  } rows[] = {
      {base + L"\\f.txt", 0, false},            // the payload directory: known
      {base + L"\\a\\b\\f.txt", 3, false},      // b fails, a made, b made
      {base + L"\\a\\c\\f.txt", 4, false},
      {base + L"x\\f.txt", 5, true},            // beside it, under a name it starts with
      {base + L"y\\f.txt", 6, true},
  };
  LONG calls = fault_seam_calls(L"CreateDirectoryW");
  for (const Row& row : rows) {
    extract_make_parent_directories(&test.extractor, row.file.c_str());
    EXPECT_EQ(fault_seam_calls(L"CreateDirectoryW") - calls, row.calls) << utf8(row.file);
    EXPECT_EQ(test.extractor.known_dirs[0] != nullptr, row.home) << utf8(row.file);
  }
  EXPECT_TRUE(is_dir(base + L"\\a\\b"));
}

struct DeepTree {
  Extractor* extractor;
  const wchar_t* file;
};

DWORD WINAPI deep_tree_thread(void* context) {
  DeepTree* tree = static_cast<DeepTree*>(context);
  extract_make_parent_directories(tree->extractor, tree->file);
  return 0;
}

// Each missing level used to hold its own 4096-unit copy of the path; on a thread with 128 KiB
// of stack, 300 levels would need 2.4 MiB. (Thousands of levels are possible within 4095
// units, but Wine resolves each deep path component by component, which makes such a test
// take minutes.)
TEST(ExtractDirectories, ManyMissingLevelsNeedNoStackPerLevel) {
  std::wstring base = fresh_dir(L"deep") + L"\\" + std::to_wstring(GetTickCount64());
  std::wstring file = base;
  for (int i = 0; i < 300; i++) file += L"\\a";
  file += L"\\f";
  TestExtraction test;
  DeepTree tree = {&test.extractor, file.c_str()};
  LONG before = fault_seam_calls(L"CreateDirectoryW");
  HANDLE thread = CreateThread(nullptr, 128 * 1024, deep_tree_thread, &tree,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u);
  // 301 missing levels (base and 300 below it): each tried going up and again coming down,
  // bar base, which is made at once going up.
  EXPECT_EQ(fault_seam_calls(L"CreateDirectoryW") - before, 2 * 301 - 1);
  EXPECT_TRUE(is_dir(file.substr(0, file.size() - 2)));
}

}  // namespace
