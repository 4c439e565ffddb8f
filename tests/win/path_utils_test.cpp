// Path and module utilities: the final-path and short-directory steps, and the own
// executable path in its two cached forms.
#include <gtest/gtest.h>

#include "paths/path_utils.h"
#include "tests/win/paths_test_util.h"

namespace {

std::wstring final_step(std::wstring path, bool resolve = true, unsigned capacity = 4096) {
  std::vector<wchar_t> buffer(capacity + 8, 0x7E7E);
  wcscpy(buffer.data(), path.c_str());
  path_final_step(buffer.data(), capacity, resolve);
  for (unsigned i = capacity; i < buffer.size(); i++) EXPECT_EQ(buffer[i], 0x7E7E);
  return buffer.data();
}

std::wstring short_step(std::wstring path, unsigned capacity = 4096) {
  std::vector<wchar_t> buffer(capacity + 8, 0x7E7E);
  wcscpy(buffer.data(), path.c_str());
  path_short_directory(buffer.data(), capacity);
  for (unsigned i = capacity; i < buffer.size(); i++) EXPECT_EQ(buffer[i], 0x7E7E);
  return buffer.data();
}

std::wstring normalized(std::wstring path) {
  wchar_t buffer[2048];
  wcscpy(buffer, path.c_str());
  path_normalize_resolved(buffer, 2048);
  return buffer;
}

// The system's final path of a file, without a "\\?\" before a drive letter.
std::wstring system_final_path(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << utf8(path);
  wchar_t buffer[4096];
  DWORD n = GetFinalPathNameByHandleW(h, buffer, 4096, 0);
  CloseHandle(h);
  std::wstring text(buffer, n);
  if (text.compare(0, 4, L"\\\\?\\") == 0 && text.size() > 5 && text[5] == L':') {
    text.erase(0, 4);
  }
  return text;
}

std::wstring lower(std::wstring s) {
  for (wchar_t& c : s) c = towlower(c);
  return s;
}

void write_file(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << utf8(path);
  CloseHandle(h);
}

void remove_tree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = directory + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(path);
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &found));
    FindClose(find);
  }
  RemoveDirectoryW(directory.c_str());
}

// A scratch tree below the temporary directory, with names that have short forms:
// "zb paths <pid>\Long Directory Name\long file name.txt" and the directory "zb paths <pid>\a b".
struct ScratchTree {
  std::wstring root = system_temp_dir() + L"zb paths " + std::to_wstring(GetCurrentProcessId());
  std::wstring long_dir = root + L"\\Long Directory Name";
  std::wstring file = long_dir + L"\\long file name.txt";
  std::wstring blank_dir = root + L"\\a b";
  ScratchTree() {
    remove_tree(root);
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(long_dir.c_str(), nullptr);
    CreateDirectoryW(blank_dir.c_str(), nullptr);
    write_file(file);
  }
  ~ScratchTree() { remove_tree(root); }
};

const std::wstring kReal = test_dir() + L"paths_real\\paths_probe.exe";
const std::wstring kLink = test_dir() + L"paths_link\\paths_probe.exe";

TEST(PathPrefix, DriveAndUncPrefixesAreRewritten) {
  struct Row {
    const wchar_t* in;
    const wchar_t* out;
  } rows[] = {
      {L"\\\\?\\C:\\dir\\file.exe", L"C:\\dir\\file.exe"},
      {L"\\\\?\\c:", L"c:"},
      {L"\\\\?\\UNC\\server\\share\\file.exe", L"\\\\server\\share\\file.exe"},
      {L"\\\\?\\Volume{0123-4567}\\dir\\file.exe", L"\\\\?\\Volume{0123-4567}\\dir\\file.exe"},
      {L"\\\\?\\C", L"\\\\?\\C"},
      {L"\\\\?\\", L"\\\\?\\"},
      {L"\\\\?\\unc\\server\\share", L"\\\\?\\unc\\server\\share"},
      {L"\\\\?\\C:UNC\\x", L"C:UNC\\x"},
      {L"C:\\dir\\file.exe", L"C:\\dir\\file.exe"},
  };
  for (const Row& row : rows) {
    wchar_t buffer[64];
    wcscpy(buffer, row.in);
    path_drop_long_prefix(buffer);
    EXPECT_STREQ(buffer, row.out) << utf8(row.in);
  }
}

TEST(PathFinalStep, ResolvingReplacesNamesOfAFileByItsFinalPath) {
  const std::wstring expected = system_final_path(kReal);
  ASSERT_NE(expected.compare(0, 4, L"\\\\?\\"), 0) << utf8(expected);
  const std::wstring real_dir = test_dir() + L"paths_real";
  const std::wstring missing = test_dir() + L"no such file.txt";
  const std::wstring directory = test_dir().substr(0, test_dir().size() - 1);
  struct Row {
    std::wstring in;
    bool resolve;
    std::wstring out;
  } rows[] = {
      {kReal, true, expected},
      {L"\\\\?\\" + kReal, true, expected},
      {lower(kReal), true, expected},
      {kLink, true, expected},  // a Unix symbolic link to the directory
      {test_dir() + L"paths_real\\.\\paths_probe.exe", true, expected},
      {short_path(real_dir) + L"\\paths_probe.exe", true, expected},
      // Cannot be opened: unchanged, a prefix included.
      {missing, true, missing},
      {L"\\\\?\\" + missing, true, L"\\\\?\\" + missing},
      {lower(directory), true, lower(directory)},  // a directory opens only for backup
      // Not resolving: unchanged.
      {kLink, false, kLink},
      {L"\\\\?\\" + kReal, false, L"\\\\?\\" + kReal},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(final_step(row.in, row.resolve), row.out) << utf8(row.in);
  }
}

TEST(PathFinalStep, TextOrFinalPathThatDoesNotFitEndsTheProcess) {
  // A directory name long enough that its short form saves more than the short forms of the
  // directories above it may add (a build directory such as "ci.xcuB" grows to "CI~1.XCU").
  const std::wstring long_dir = test_dir() + L"paths final step with a long directory name";
  CreateDirectoryW(long_dir.c_str(), nullptr);
  ASSERT_TRUE(CopyFileW(kReal.c_str(), (long_dir + L"\\paths_probe.exe").c_str(), FALSE));
  const std::wstring expected = system_final_path(long_dir + L"\\paths_probe.exe");
  const std::wstring short_name = short_path(long_dir) + L"\\paths_probe.exe";
  ASSERT_LT(short_name.size(), expected.size()) << "no short directory name to grow from";
  struct Row {
    std::wstring path;
    size_t capacity;
    const wchar_t* resolve;
    bool ends;
  } rows[] = {
      {L"abcdefghij", 10, L"0", true},
      {L"abcdefghij", 10, L"1", true},
      {L"abcdefghij", 11, L"0", false},
      // The final path is longer, and the system gives it with "\\?\" (4 more units).
      {short_name, short_name.size() + 1, L"1", true},
      {short_name, expected.size() + 4, L"1", true},
      {short_name, expected.size() + 5, L"1", false},
  };
  for (const Row& row : rows) {
    ProcessResult r = run_process(
        paths_probe(), {L"final", row.path, std::to_wstring(row.capacity), row.resolve});
    std::vector<std::string> lines = output_lines(r.out);
    if (row.ends) {
      EXPECT_TRUE(abnormal_end(r.code)) << utf8(row.path) << " " << row.capacity;
    } else {
      EXPECT_EQ(r.code, 0u) << utf8(row.path) << " " << row.capacity;
      std::wstring out = row.resolve[0] == L'1' ? expected : row.path;
      EXPECT_EQ(lines.at(0), "1|" + utf8(out));
    }
    if (lines.size() > 1) EXPECT_NE(lines[1], "guard broken");
  }
}

TEST(PathShortDirectory, DirectoryPartBecomesShortAndTheFileNameStaysLong) {
  ScratchTree tree;
  const std::wstring short_dir = short_path(tree.long_dir);
  ASSERT_FALSE(short_dir.empty());
  // Wine makes hash-style 8.3 names (LONG~TX4); Windows may keep none and return the long
  // form, in which case the step changes nothing.
  EXPECT_EQ(short_dir.find(L' '), std::wstring::npos) << utf8(short_dir);
  const std::wstring missing = tree.root + L"\\missing dir\\x.txt";
  struct Row {
    std::wstring in;
    std::wstring out;
  } rows[] = {
      {tree.file, short_dir + L"\\long file name.txt"},
      {tree.long_dir + L"\\no such file.txt", short_dir + L"\\no such file.txt"},
      {tree.long_dir + L"\\", short_dir + L"\\"},  // trailing backslash kept
      {tree.long_dir, short_path(tree.root) + L"\\Long Directory Name"},
      {missing, missing},
  };
  for (const Row& row : rows) EXPECT_EQ(short_step(row.in), row.out) << utf8(row.in);

  // Without a backslash the whole text is the directory part.
  ScopedCurrentDirectory cwd(tree.long_dir);
  const std::wstring short_file = short_path(L"long file name.txt");
  EXPECT_EQ(short_file.find(L' '), std::wstring::npos) << utf8(short_file);
  EXPECT_EQ(short_step(L"long file name.txt"), short_file);
  EXPECT_EQ(short_step(L"no such file.txt"), L"no such file.txt");
}

TEST(PathShortDirectory, ShortFormThatDoesNotFitEndsTheProcess) {
  ScratchTree tree;
  ScopedCurrentDirectory cwd(tree.root);
  // "a b" is three units; its short form is longer (Wine: a hash name).
  const std::wstring blank_short = short_path(L"a b");
  if (blank_short.size() <= 3) GTEST_SKIP() << "no longer short form: " << utf8(blank_short);
  const size_t n = blank_short.size();
  struct Row {
    std::wstring path;
    size_t capacity;
    bool ends;
    std::wstring out;
  } rows[] = {
      {L"a b", 4, true, L""},  // the short form itself does not fit
      {L"a b", n, true, L""},
      {L"a b", n + 1, false, blank_short},
      {L"a b\\f", n + 2, true, L""},  // the re-assembled path does not fit
      {L"a b\\f", n + 3, false, blank_short + L"\\f"},
  };
  for (const Row& row : rows) {
    ProcessResult r =
        run_process(paths_probe(), {L"short", row.path, std::to_wstring(row.capacity)});
    std::vector<std::string> lines = output_lines(r.out);
    if (row.ends) {
      EXPECT_TRUE(abnormal_end(r.code)) << utf8(row.path) << " " << row.capacity;
    } else {
      EXPECT_EQ(r.code, 0u);
      EXPECT_EQ(lines.at(0), "1|" + utf8(row.out));
    }
    if (lines.size() > 1) EXPECT_NE(lines[1], "guard broken");
  }
}

struct OwnPaths {
  std::string plain;
  std::string resolved;
};

OwnPaths run_own(const std::wstring& program) {
  ProcessResult r = run_process(program, {L"own"});
  EXPECT_EQ(r.code, 0u) << utf8(program);
  std::vector<std::string> lines = output_lines(r.out);
  if (lines.size() != 2) {
    ADD_FAILURE() << r.out;
    return {};
  }
  return {lines[0].substr(6), lines[1].substr(9)};
}

TEST(PathOwnExecutable, TwoNamesOfOneExecutableNormaliseToOneText) {
  const std::wstring expected = short_step(system_final_path(kReal));
  const std::wstring names[] = {
      kReal,
      kLink,
      L"\\\\?\\" + kReal,
      lower(kLink),
      short_path(test_dir() + L"paths_real") + L"\\paths_probe.exe",
      short_path(test_dir() + L"paths_link") + L"\\paths_probe.exe",
  };
  for (const std::wstring& name : names) EXPECT_EQ(normalized(name), expected) << utf8(name);
  EXPECT_NE(normalized(paths_probe()), expected) << "a copy elsewhere is another file";

  // The same seen from inside: the resolved form agrees, the plain form keeps the link.
  OwnPaths real = run_own(kReal);
  OwnPaths link = run_own(kLink);
  OwnPaths copy = run_own(paths_probe());
  EXPECT_EQ(real.resolved, utf8(expected));
  EXPECT_EQ(link.resolved, utf8(expected));
  EXPECT_NE(copy.resolved, utf8(expected));
  EXPECT_EQ(real.plain, utf8(short_step(kReal)));
  EXPECT_EQ(link.plain, utf8(short_step(kLink)));
  EXPECT_NE(link.plain, real.plain);
}

}  // namespace
