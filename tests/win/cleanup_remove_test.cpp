// Removal of a path and everything below it, on real trees under Wine.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "base/limits.h"
#include "cleanup/remove_tree.h"
#include "tests/win/cleanup_tree.h"

namespace {

struct SimpleCase {
  const char* what;
  std::function<void(const std::wstring& root)> build;
  const wchar_t* target;  // below the fresh root
  bool result;
  bool target_stays;
};

TEST(CleanupRemoveTree, SingleTargetsAndWholeTrees) {
  const SimpleCase cases[] = {
      {"missing path", [](const std::wstring&) {}, L"\\nothing", true, false},
      {"missing parent", [](const std::wstring&) {}, L"\\no\\such\\path", true, false},
      {"empty directory", [](const std::wstring& r) { tree_dir(r + L"\\e"); }, L"\\e", true,
       false},
      {"plain file", [](const std::wstring& r) { tree_file(r + L"\\f.txt"); }, L"\\f.txt", true,
       false},
      {"tree of files and directories",
       [](const std::wstring& r) {
         tree_dir(r + L"\\t");
         tree_file(r + L"\\t\\a.txt");
         tree_dir(r + L"\\t\\sub");
         tree_dir(r + L"\\t\\sub\\empty");
         tree_dir(r + L"\\t\\sub\\deeper");
         tree_file(r + L"\\t\\sub\\deeper\\b.bin");
         tree_file(r + L"\\t\\sub\\c");
         tree_file(r + L"\\t\\caf\u00e9 \u65e5\u672c.txt");
         tree_file(r + L"\\t\\.hidden");
       },
       L"\\t", true, false},
      // Exists or not, a name the system refuses to look up must not count as removed.
      {"refused name", [](const std::wstring&) {}, L"\\bad*name", false, false},
  };
  for (const SimpleCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::wstring root = tree_fresh(L"simple");
    c.build(root);
    std::wstring target = root + c.target;
    EXPECT_EQ(cleanup_remove_tree(target.c_str()), c.result);
    EXPECT_EQ(tree_exists(target), c.target_stays);
    EXPECT_TRUE(tree_exists(root));
    tree_wipe(root);
  }
}

// An application may make its files read-only: such a file loses the attribute and goes,
// anywhere in the tree; one that is also held open stays (without the attribute) with its
// ancestors, and the rest still goes.
TEST(CleanupRemoveTree, ReadOnlyFilesGoUnlessHeldOpen) {
  std::wstring root = tree_fresh(L"readonly");
  std::wstring t = root + L"\\t";
  for (const wchar_t* dir : {L"", L"\\a", L"\\a\\b", L"\\a\\b\\c", L"\\a\\x"}) {
    tree_dir(t + dir);
  }
  const wchar_t* read_only[] = {L"\\z.txt", L"\\a\\b\\c\\ro.txt", L"\\a\\x\\y.txt"};
  for (const wchar_t* file : read_only) tree_file(t + file);
  tree_file(t + L"\\a\\b\\sib.txt");
  for (const wchar_t* file : read_only) {
    ASSERT_TRUE(SetFileAttributesW((t + file).c_str(), FILE_ATTRIBUTE_READONLY));
  }
  std::wstring held_path = t + L"\\a\\b\\c\\ro.txt";
  HANDLE held = CreateFileW(held_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  EXPECT_FALSE(cleanup_remove_tree(t.c_str()));
  for (const wchar_t* stays : {L"", L"\\a", L"\\a\\b", L"\\a\\b\\c", L"\\a\\b\\c\\ro.txt"}) {
    EXPECT_TRUE(tree_exists(t + stays)) << utf8(stays);
  }
  for (const wchar_t* gone : {L"\\z.txt", L"\\a\\b\\sib.txt", L"\\a\\x"}) {
    EXPECT_FALSE(tree_exists(t + gone)) << utf8(gone);
  }
  CloseHandle(held);
  EXPECT_TRUE(cleanup_remove_tree(t.c_str()));
  EXPECT_FALSE(tree_exists(t));
  tree_wipe(root);
}

TEST(CleanupRemoveTree, OpenFileFailsWhileHeldAndGoesOnceReleased) {
  struct Row {
    const char* what;
    DWORD share;
  } rows[] = {
      {"held without delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE},
      // Deleting succeeds but the name stays until the handle closes, so the directory does too.
      {"held with delete sharing", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::wstring root = tree_fresh(L"held");
    std::wstring t = root + L"\\t";
    tree_dir(t);
    tree_dir(t + L"\\d");
    tree_file(t + L"\\d\\held.txt");
    tree_file(t + L"\\d\\other.txt");
    HANDLE held = CreateFileW((t + L"\\d\\held.txt").c_str(), GENERIC_READ, row.share, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(cleanup_remove_tree(t.c_str()));
    EXPECT_TRUE(tree_exists(t + L"\\d"));
    EXPECT_FALSE(tree_exists(t + L"\\d\\other.txt"));
    CloseHandle(held);
    EXPECT_TRUE(cleanup_remove_tree(t.c_str()));
    EXPECT_FALSE(tree_exists(t));
    tree_wipe(root);
  }
}

// A path of exactly `units` units naming `real`, padded with "\." components (which the
// system drops), so that the length limits can be reached while the real path stays short.
std::wstring padded(const std::wstring& real_parent, const std::wstring& name, size_t units) {
  std::wstring path = real_parent;
  size_t tail = 1 + name.size();
  EXPECT_LE(path.size() + tail, units);
  EXPECT_EQ((units - path.size() - tail) % 2, 0u) << "choose a name of the other parity";
  while (path.size() + tail < units) path += L"\\.";
  path += L"\\" + name;
  EXPECT_EQ(path.size(), units);
  return path;
}

TEST(CleanupRemoveTree, LengthLimitsOfPathPatternAndChildPath) {
  const size_t MAX = ZB_PATH_UNITS - 1;  // 4095 units of text
  std::wstring root = tree_fresh(L"limits");
  // The real root's length decides which name lengths give which parity.
  std::wstring odd = root.size() % 2 ? L"a" : L"ab";   // root + "\" + odd: odd length
  std::wstring even = root.size() % 2 ? L"ab" : L"a";  // root + "\" + even: even length

  {
    SCOPED_TRACE("file path of 4095 units is deleted");
    tree_file(root + L"\\" + odd);
    EXPECT_TRUE(cleanup_remove_tree(padded(root, odd, MAX).c_str()));
    EXPECT_FALSE(tree_exists(root + L"\\" + odd));
  }
  {
    SCOPED_TRACE("4096 units without a terminator in reach are refused untouched");
    tree_file(root + L"\\" + even);
    EXPECT_FALSE(cleanup_remove_tree(padded(root, even, MAX + 1).c_str()));
    EXPECT_TRUE(tree_exists(root + L"\\" + even));
    tree_wipe(root + L"\\" + even);
  }
  {
    SCOPED_TRACE("directory of 4093 units: pattern of 4095 fits, listed and removed");
    tree_dir(root + L"\\" + odd);
    tree_file(root + L"\\" + odd + L"\\x");  // child path 4095
    EXPECT_TRUE(cleanup_remove_tree(padded(root, odd, MAX - 2).c_str()));
    EXPECT_FALSE(tree_exists(root + L"\\" + odd));
  }
  {
    SCOPED_TRACE("directory of 4094 units cannot be listed: left alone, though empty");
    tree_dir(root + L"\\" + even);
    EXPECT_FALSE(cleanup_remove_tree(padded(root, even, MAX - 1).c_str()));
    EXPECT_TRUE(tree_exists(root + L"\\" + even));
    tree_wipe(root + L"\\" + even);
  }
  {
    SCOPED_TRACE("a child path over 4095 units is skipped; its siblings still go");
    std::wstring d = root + L"\\" + odd;
    tree_dir(d);
    tree_file(d + L"\\x");   // 4093 + 1 + 1 = 4095
    tree_file(d + L"\\yy");  // 4096
    EXPECT_FALSE(cleanup_remove_tree(padded(root, odd, MAX - 2).c_str()));
    EXPECT_TRUE(tree_exists(d + L"\\yy"));
    EXPECT_FALSE(tree_exists(d + L"\\x"));
    tree_wipe(d);
  }
  {
    SCOPED_TRACE("a subdirectory whose own pattern would pass 4095 units is not entered");
    std::wstring d = root + L"\\" + even;  // padded to 4092
    tree_dir(d);
    tree_dir(d + L"\\s");  // 4094: its pattern would be 4096
    tree_file(d + L"\\s\\f");
    EXPECT_FALSE(cleanup_remove_tree(padded(root, even, MAX - 3).c_str()));
    EXPECT_TRUE(tree_exists(d + L"\\s\\f"));
    tree_wipe(d);
  }
  {
    SCOPED_TRACE("nested up to the limits: 4091, 4093 and a file of 4095 all go");
    std::wstring d = root + L"\\" + odd;
    tree_dir(d);
    tree_dir(d + L"\\s");
    tree_file(d + L"\\s\\f");
    EXPECT_TRUE(cleanup_remove_tree(padded(root, odd, MAX - 4).c_str()));
    EXPECT_FALSE(tree_exists(d));
  }
  tree_wipe(root);
}

DWORD WINAPI remove_on_thread(void* path) {
  return cleanup_remove_tree(static_cast<const wchar_t*>(path)) ? 1 : 0;
}

// Removes `path` on a thread with a 256 KiB stack reserve: two 4096-unit buffers per level
// would need 16 KiB a level, 16 MiB for a thousand levels.
bool remove_on_small_stack(const std::wstring& path) {
  HANDLE thread = CreateThread(nullptr, 256 * 1024, remove_on_thread, (void*)path.c_str(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  EXPECT_NE(thread, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  DWORD result = 0;
  GetExitCodeThread(thread, &result);
  CloseHandle(thread);
  return result == 1;
}

// Under Wine, listing a directory costs time in proportion to its depth (about 30 ms at a
// thousand levels), and paths fail near the Unix PATH_MAX (about 4050 units here). A tree of
// one-unit names nested to 4095 units (over 2000 levels) takes minutes to walk, so one tree
// has a thousand levels and the other reaches the longest path Wine can hold with long names.
TEST(CleanupRemoveTree, DeepTreesGoWithoutGrowingTheStack) {
  {
    SCOPED_TRACE("a thousand levels of one-unit names");
    std::wstring root = tree_fresh(L"deep");
    std::wstring t = root + L"\\t";
    std::wstring path = t;
    for (int i = 0; i < 1000; i++) path += L"\\d";
    // Made by Unix mkdir: Wine's CreateDirectoryW also slows down with depth.
    ASSERT_TRUE(run_unix(L"Z:\\bin\\mkdir", L"mkdir -p " + unix_path(path), path));
    tree_file(path + L"\\f");
    tree_file(t + L"\\d\\g");
    EXPECT_TRUE(remove_on_small_stack(t));
    EXPECT_FALSE(tree_exists(t));
    tree_wipe(root);
  }
  {
    SCOPED_TRACE("long names nested to the longest path Wine holds");
    std::wstring root = tree_fresh(L"long");
    std::wstring t = root + L"\\t";
    tree_dir(t);
    std::wstring path = t;
    size_t levels = 0;
    for (size_t name_units : {200, 20, 1}) {
      for (;;) {
        std::wstring next = path + L"\\" + std::wstring(name_units, L'n');
        if (next.size() + 2 > ZB_PATH_UNITS - 3 || !CreateDirectoryW(next.c_str(), nullptr)) break;
        path = next;
        levels++;
      }
    }
    // Wine cannot always list the very last directory it could create.
    WIN32_FIND_DATAW found;
    while (path.size() > t.size()) {
      HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &found);
      if (find != INVALID_HANDLE_VALUE) {
        FindClose(find);
        break;
      }
      RemoveDirectoryW(path.c_str());
      path.resize(path.rfind(L'\\'));
      levels--;
    }
    std::wstring file = path + L"\\f";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    printf("long names: %zu levels, deepest directory %zu units, file %s\n", levels,
           path.size(), handle != INVALID_HANDLE_VALUE ? "made" : "refused by Wine");
    EXPECT_GE(path.size(), 4000u);
    EXPECT_TRUE(remove_on_small_stack(t));
    EXPECT_FALSE(tree_exists(t));
    tree_wipe(root);
  }
}

// Wine shows a Unix link to a directory as DIRECTORY|REPARSE_POINT, so the walk removes it
// as a link and never lists it. Wine's RemoveDirectoryW then acts on the link's target,
// which fails while the target holds anything: the target's contents stay untouched (on
// Windows the link itself would go and the result would be true). Links to files, to empty
// directories and dangling links cannot be shown under Wine: it deletes the target file,
// removes the empty target directory, or hides the dangling link.
TEST(CleanupRemoveTree, LinkedDirectoryIsNeverEntered) {
  std::wstring root = tree_fresh(L"links");
  std::wstring target = root + L"\\target";
  tree_dir(target);
  tree_file(target + L"\\keep.txt");
  tree_dir(target + L"\\inner");
  tree_file(target + L"\\inner\\keep2.txt");
  std::wstring t = root + L"\\t";
  tree_dir(t);
  tree_file(t + L"\\a.txt");
  tree_dir(t + L"\\sub");
  tree_file(t + L"\\sub\\b.txt");
  std::wstring link = t + L"\\sub\\link";
  ASSERT_TRUE(run_unix(L"Z:\\bin\\ln", L"ln -s " + unix_path(target) + L" " + unix_path(link),
                       link));
  ASSERT_EQ(GetFileAttributesW((t + L"\\sub\\link").c_str()),
            (DWORD)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

  cleanup_remove_tree(t.c_str());
  EXPECT_TRUE(tree_exists(target + L"\\keep.txt"));
  EXPECT_TRUE(tree_exists(target + L"\\inner\\keep2.txt"));
  EXPECT_FALSE(tree_exists(t + L"\\a.txt"));
  EXPECT_FALSE(tree_exists(t + L"\\sub\\b.txt"));

  // Unix rm removes the link itself.
  ASSERT_TRUE(run_unix(L"Z:\\bin\\rm", L"rm " + unix_path(link), link, /* appears */ false));
  EXPECT_TRUE(cleanup_remove_tree(t.c_str()));
  EXPECT_FALSE(tree_exists(t));
  EXPECT_TRUE(tree_exists(target + L"\\inner\\keep2.txt"));
  tree_wipe(root);
}

}  // namespace
