// The child's command line: the parent's own line split exactly as the shell splits it,
// quoting that the runtime splits back into the same elements, and a line that would not fit
// is refused whole.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "run/command_line.h"
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

// Every element command_line_next gives for `line`, or "TOO_LONG" as the last one.
std::vector<std::wstring> split_own(const wchar_t* line, uint32_t capacity = 64) {
  std::vector<std::wstring> out;
  std::vector<wchar_t> element(capacity);
  CommandLineCursor cursor = {0, false};
  for (;;) {
    CommandLineCursor before = cursor;
    CommandLineStep step = command_line_next(line, &cursor, element.data(), capacity);
    if (step == COMMAND_LINE_END) return out;
    if (step == COMMAND_LINE_TOO_LONG) {
      EXPECT_TRUE(cursor.next == before.next && cursor.past_program == before.past_program)
          << "a refused element leaves the cursor";
      out.push_back(L"TOO_LONG");
      return out;
    }
    out.push_back(element.data());
  }
}

std::vector<std::wstring> split_shell(const wchar_t* line) {
  int count = 0;
  wchar_t** split = CommandLineToArgvW(line, &count);
  std::vector<std::wstring> out(split, split + count);
  LocalFree(split);
  return out;
}

std::string show(const std::vector<std::wstring>& elements) {
  std::string text;
  for (const std::wstring& e : elements) text += "[" + utf8(e) + "]";
  return text;
}

// The launcher splits its own line without shell32; the result must be CommandLineToArgvW's,
// element for element, for lines made of the units that matter to the rules. Each line is
// also rebuilt into a child's line, which must split back into the same arguments.
TEST(CommandLine, SplitsExactlyAsTheShellDoesAndRebuildsToTheSameArguments) {
  std::vector<std::wstring> lines = {
      L"p", L"\"p q\" r", L"\"p q\"r s", L"\"unclosed", L" leading", L"\t\tx  y\t",
      L"p \"\"", L"p \"\"\"", L"p \"\"\"\"", L"p a\"\"\"b\"\"\"c", L"p \"a\"\"b\"",
      L"p \\\"", L"p \\\\\"a b\"", L"p \\\\\\\"x", L"p a\\\\", L"p \"a b\\\\\"",
      L"p\\\" x", L"p \u00e9\u65e5 \"\u00e9 \u65e5\"", L"p a\nb \"c\nd\"", L"p \x3000 x",
  };
  // Every line of up to 5 units over the units the rules look at, then random longer ones.
  const wchar_t units[] = {L'a', L' ', L'\t', L'"', L'\\', L'\n'};
  for (int length = 1; length <= 5; length++) {
    int total = 1;
    for (int i = 0; i < length; i++) total *= 6;
    for (int n = 0; n < total; n++) {
      std::wstring line;
      for (int i = 0, k = n; i < length; i++, k /= 6) line += units[k % 6];
      lines.push_back(line);
    }
  }
  uint32_t seed = 12345;
  for (int n = 0; n < 20000; n++) {
    std::wstring line;
    seed = seed * 1103515245 + 12345;
    int length = 6 + (seed >> 16) % 40;
    for (int i = 0; i < length; i++) {
      seed = seed * 1103515245 + 12345;
      line += units[(seed >> 16) % 6];
    }
    lines.push_back(line);
  }
  static wchar_t child[32768];
  static wchar_t scratch[32768];
  const wchar_t module[] = L"C:\\my dir\\app.exe";
  // Fixed arguments go between the program and the line's own, quoted the same way.
  const wchar_t fixed[] = L"f 1\0\0q\"x\\\0\u00e9\\\\";
  const std::vector<std::wstring> fixed_elements = {L"f 1", L"", L"q\"x\\", L"\u00e9\\\\"};
  size_t mismatches = 0;
  for (const std::wstring& line : lines) {
    std::vector<std::wstring> own = split_own(line.c_str(), 32768);
    std::vector<std::wstring> shell = split_shell(line.c_str());
    if (own != shell && ++mismatches <= 10) {
      ADD_FAILURE() << utf8(line) << "\n own   " << show(own) << "\n shell " << show(shell);
    }
    ASSERT_TRUE(
        command_line_rebuild(child, 32768, line.c_str(), module, fixed, 4, scratch, 32768));
    std::vector<std::wstring> again = split_shell(child);
    shell[0] = module;
    shell.insert(shell.begin() + 1, fixed_elements.begin(), fixed_elements.end());
    if (again != shell && ++mismatches <= 10) {
      ADD_FAILURE() << utf8(line) << "\n child " << utf8(child) << "\n gives " << show(again);
    }
  }
  EXPECT_EQ(mismatches, 0u) << "of " << lines.size() << " lines";
  // The one difference: an empty line names no program, where the shell gives the
  // executable's own path; the launcher puts its module path there either way.
  EXPECT_TRUE(split_own(L"").empty());
  ASSERT_TRUE(command_line_rebuild(child, 32768, L"", module, nullptr, 0, scratch, 32768));
  EXPECT_EQ(std::wstring(child), L"\"C:\\my dir\\app.exe\"");
}

TEST(CommandLine, SplitElementsAtTheEdgeOfTheBuffer) {
  // An element of capacity - 1 units fits with its NUL; one more unit does not. The quotes and
  // escapes a line spends are not counted: only what the element holds.
  struct Row {
    std::wstring line;
    uint32_t capacity;
    std::vector<std::wstring> elements;
  } rows[] = {
      {L"abc de", 4, {L"abc", L"de"}},
      {L"abcd de", 4, {L"TOO_LONG"}},
      {L"\"abc\" de", 4, {L"abc", L"de"}},
      {L"p abc", 4, {L"p", L"abc"}},
      {L"p abcd", 4, {L"p", L"TOO_LONG"}},
      {L"p \"abc\"", 4, {L"p", L"abc"}},
      {L"p \\\\\\\"", 4, {L"p", L"\\\""}},      // 3 backslashes and a quote: \"
      {L"p a\"\"\"\"\"\"b", 5, {L"p", L"a\"\"b"}},  // every third quote is literal
      {L"p a\"\"\"\"\"\"bc", 5, {L"p", L"TOO_LONG"}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(show(split_own(row.line.c_str(), row.capacity)), show(row.elements))
        << utf8(row.line);
  }
  // A child line that would not fit is refused whole, like a built one.
  static wchar_t child[16];
  static wchar_t scratch[16];
  EXPECT_TRUE(command_line_rebuild(child, 16, L"x a \"b c\"", L"m", nullptr, 0, scratch, 16));
  EXPECT_EQ(std::wstring(child), L"m a \"b c\"");
  EXPECT_TRUE(command_line_rebuild(child, 16, L"x abcdefghijklm", L"m", nullptr, 0, scratch,
                                   16));  // 15 + NUL
  EXPECT_FALSE(command_line_rebuild(child, 16, L"x abcdefghijklmn", L"m", nullptr, 0, scratch,
                                    16));
  EXPECT_FALSE(command_line_rebuild(child, 16, L"x abcdefghijkl", L"m", L"l\0", 1, scratch, 16));
  EXPECT_EQ(child[0], L'\0');
}

}  // namespace
