// A tree packed by zobrin-pack, read back by the launcher's reader under Wine: every file
// arrives with its exact bytes, in one walk that ends cleanly.
#include <gtest/gtest.h>

#include <set>

#include "tests/tools/test_data.h"
#include "tests/win/support/run_process.h"

namespace {

void list_files(const std::wstring& dir, const std::wstring& prefix, std::set<std::wstring>* out) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      list_files(dir + L"\\" + name, prefix + name + L"\\", out);
    } else {
      out->insert(prefix + name);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

TEST(RoundTrip, EveryPackedFileIsReadBackByteExact) {
  const std::wstring tree = test_dir() + L"roundtrip_tree";
  ProcessResult r = run_process(test_dir() + L"walk_roundtrip.exe", {});
  ASSERT_EQ(r.code, 0u) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  std::vector<std::string> lines = output_lines(r.out);
  ASSERT_GE(lines.size(), 3u);
  std::vector<std::wstring> names;
  size_t entries = lines.size() - 2;
  for (size_t i = 0; i < entries; i++) {
    const std::string& line = lines[i];
    ASSERT_EQ(line.rfind("entry ", 0), 0u) << line;
    size_t flags_end = line.find(' ', 6);
    size_t size_end = line.find(' ', flags_end + 1);
    size_t hash_start = line.rfind(' ');
    std::string flags = line.substr(6, flags_end - 6);
    std::string size = line.substr(flags_end + 1, size_end - flags_end - 1);
    std::string name = line.substr(size_end + 1, hash_start - size_end - 1);
    std::string hash = line.substr(hash_start + 1);
    std::string data = read_file(tree + L"\\" + wide(name));
    char expected_hash[32];
    snprintf(expected_hash, sizeof expected_hash, "%016llx", (unsigned long long)test_fnv(data));
    EXPECT_EQ(size, std::to_string(data.size())) << name;
    EXPECT_EQ(hash, expected_hash) << name;
    names.push_back(wide(name));
    EXPECT_EQ(flags, i + 1 == entries ? "4" : "0") << name;
  }
  EXPECT_EQ(lines[entries].rfind("decoder calls ", 0), 0u) << lines[entries];
  EXPECT_EQ(lines[entries + 1], "finished");

  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), L"app.dll");
  std::set<std::wstring> on_disk;
  list_files(tree, L"", &on_disk);
  EXPECT_EQ(std::set<std::wstring>(names.begin(), names.end()), on_disk);
  EXPECT_EQ(names.size(), on_disk.size()) << "a file was listed twice";
  EXPECT_TRUE(on_disk.count(L"caf\u00e9 \u65e5\u672c\\r\u00e9sum\u00e9 file.txt"));
}

}  // namespace
