// The child's command line: quoting that the runtime splits back into the same elements, and
// a line that would not fit is refused whole.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "bootstrap/command_line.h"
#include "tests/win/support/run_process.h"

namespace {

TEST(CommandLine, QuotesOnlyWhereNeededAndSplitsBackToTheSameElements) {
  struct Row {
    std::vector<std::wstring> elements;
    std::wstring line;
  } rows[] = {
      {{L"C:\\app.exe"}, L"C:\\app.exe"},
      {{L"C:\\my dir\\app.exe", L"x"}, L"\"C:\\my dir\\app.exe\" x"},
      {{L"p", L"a b", L"tab\there", L"lf\nhere", L"vt\vhere"},
       L"p \"a b\" \"tab\there\" \"lf\nhere\" \"vt\vhere\""},
      {{L"p", L"cr\rstays"}, L"p cr\rstays"},
      {{L"p", L"", L"x", L""}, L"p \"\" x \"\""},
      {{L"p", L"trailing\\"}, L"p trailing\\"},
      {{L"p", L"with blank\\"}, L"p \"with blank\\\\\""},
      {{L"p", L"two blank\\\\"}, L"p \"two blank\\\\\\\\\""},
      {{L"p", L"say \"hi\""}, L"p \"say \\\"hi\\\"\""},
      {{L"p", L"a\\\"b"}, L"p \"a\\\\\\\"b\""},
      {{L"p", L"\\\\server\\share"}, L"p \\\\server\\share"},
      {{L"p", L"caf\u00e9 \u65e5"}, L"p \"caf\u00e9 \u65e5\""},
  };
  for (const Row& row : rows) {
    std::vector<wchar_t*> pointers;
    for (const std::wstring& e : row.elements) pointers.push_back(const_cast<wchar_t*>(e.c_str()));
    wchar_t line[256];
    ASSERT_TRUE(command_line_build(line, 256, pointers.data(), (int)pointers.size()));
    EXPECT_EQ(std::wstring(line), row.line);
    int count = 0;
    wchar_t** split = CommandLineToArgvW(line, &count);
    ASSERT_NE(split, nullptr);
    ASSERT_EQ(count, (int)row.elements.size()) << utf8(row.line);
    for (int i = 1; i < count; i++) EXPECT_EQ(std::wstring(split[i]), row.elements[i]);
    LocalFree(split);
  }
}

TEST(CommandLine, LineThatWouldNotFitIsRefusedWhole) {
  static wchar_t line[32768];
  std::wstring program = L"p";
  struct Row {
    size_t filler;       // units of a plain second element
    bool quoted;         // the element has a blank: two quotes more
    bool fits;
  } rows[] = {
      {32765, false, true},   // "p " + 32765 + NUL = 32768
      {32766, false, false},
      {32763, true, true},    // "p " + quote + 32763 + quote + NUL = 32768
      {32764, true, false},
  };
  for (const Row& row : rows) {
    std::wstring element(row.filler, L'x');
    if (row.quoted) element[0] = L' ';
    wchar_t* elements[] = {const_cast<wchar_t*>(program.c_str()),
                           const_cast<wchar_t*>(element.c_str())};
    line[0] = L'z';
    EXPECT_EQ(command_line_build(line, 32768, elements, 2), row.fits) << row.filler;
    if (row.fits) {
      EXPECT_EQ(wcslen(line), 32767u);
    } else {
      EXPECT_EQ(line[0], L'\0') << "no cut line is left behind";
    }
  }
  // Backslashes doubled before the closing quote count too.
  std::wstring element = L" " + std::wstring(32760, L'\\');
  wchar_t* elements[] = {const_cast<wchar_t*>(program.c_str()),
                         const_cast<wchar_t*>(element.c_str())};
  EXPECT_FALSE(command_line_build(line, 32768, elements, 2));
}

}  // namespace
