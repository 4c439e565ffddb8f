// The helpers of include/zobrin/app.h: arguments as UTF-8 in one block, and paths of the
// application's own files built from dll_path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/zobrin/app.h"

namespace {

TEST(AppHeader, ArgumentsBecomeUtf8InOneNullTerminatedBlock) {
  struct Row {
    std::vector<std::wstring> args;
    std::vector<std::string> expected;
  } rows[] = {
      {{}, {}},
      {{L"C:\\dir\\app.exe", L""}, {"C:\\dir\\app.exe", ""}},
      {{L"caf\u00e9", L"\u65e5\u672c\u8a9e", L"\U0001F600"},
       {"caf\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "\xf0\x9f\x98\x80"}},
      {{std::wstring(L"a\xD800") + L"b", std::wstring(1, L'\xDC00')},  // unpaired surrogates
       {"a\xef\xbf\xbd" "b", "\xef\xbf\xbd"}},
      {{std::wstring(70000, L'x'), L"y"}, {std::string(70000, 'x'), "y"}},
  };
  for (const Row& row : rows) {
    std::vector<wchar_t*> argv;
    for (const std::wstring& arg : row.args) argv.push_back(const_cast<wchar_t*>(arg.c_str()));
    argv.push_back(nullptr);
    char** args = zobrin_args_utf8((int)row.args.size(), argv.data());
    ASSERT_NE(args, nullptr);
    for (size_t i = 0; i < row.expected.size(); i++) EXPECT_EQ(args[i], row.expected[i]) << i;
    EXPECT_EQ(args[row.expected.size()], nullptr);
    free(args);
  }
  wchar_t* none[] = {nullptr};
  EXPECT_EQ(zobrin_args_utf8(-1, none), nullptr);
  EXPECT_EQ(zobrin_args_utf8(0, nullptr), nullptr);
}

TEST(AppHeader, AppFilesAreBesideTheMainDll) {
  struct Row {
    const wchar_t* dll_path;
    const wchar_t* name;
    const wchar_t* expected;  // nullptr: no result
  } rows[] = {
      {L"C:\\Temp\\onefile_1_2_3\\app.dll", L"data\\greeting.txt",
       L"C:\\Temp\\onefile_1_2_3\\data\\greeting.txt"},
      {L"C:\\Temp\\onefile_1_2_3\\app.dll", nullptr, L"C:\\Temp\\onefile_1_2_3"},
      {L"C:\\Temp\\onefile_1_2_3\\app.dll", L"", L"C:\\Temp\\onefile_1_2_3"},
      {L"\\\\?\\C:\\Temp\\o\\app.dll", L"x", L"\\\\?\\C:\\Temp\\o\\x"},
      {L"\\app.dll", L"x", L"\\x"},
      {L"app.dll", L"x.txt", L"x.txt"},
      {L"app.dll", nullptr, L""},
      {nullptr, L"x", nullptr},
  };
  for (const Row& row : rows) {
    wchar_t* path = zobrin_app_file(row.dll_path, row.name);
    if (row.expected == nullptr) {
      EXPECT_EQ(path, nullptr);
    } else {
      ASSERT_NE(path, nullptr);
      EXPECT_EQ(std::wstring(path), row.expected);
    }
    free(path);
  }
  wchar_t* dir = zobrin_app_dir(L"C:\\a b\\c\\app.dll");
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(std::wstring(dir), L"C:\\a b\\c");
  free(dir);
  char* text = zobrin_utf8(L"\u00e4\\x");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), "\xc3\xa4\\x");
  free(text);
  EXPECT_EQ(zobrin_utf8(nullptr), nullptr);
}

}  // namespace
