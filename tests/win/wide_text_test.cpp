// The bounded wide-text appends every fixed launcher buffer is filled with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/wide_text.h"
#include "tests/win/paths_test_util.h"

namespace {

// Each text and each run of units needs capacity - 1, capacity or capacity + 1 units (NUL
// included) behind the prefix: the first two fit, the third appends what fits and fails.
// Positions at or past the capacity fail without writing.
TEST(WideText, AppendsStopOneUnitBeforeTheCapacity) {
  const uint32_t capacity = 8;
  struct Row {
    const wchar_t* before;
    uint32_t at;
    const wchar_t* text;  // null: append `count` copies of `unit`
    wchar_t unit;
    uint32_t count;
    bool ok;
    uint32_t at_after;
    const wchar_t* after;
  } rows[] = {
      {L"ab", 2, L"cdef", 0, 0, true, 6, L"abcdef"},     // needs capacity - 1
      {L"ab", 2, L"cdefg", 0, 0, true, 7, L"abcdefg"},   // needs capacity
      {L"ab", 2, L"cdefgh", 0, 0, false, 7, L"abcdefg"}, // needs capacity + 1
      {L"ab", 2, nullptr, L'x', 4, true, 6, L"abxxxx"},
      {L"ab", 2, nullptr, L'x', 5, true, 7, L"abxxxxx"},
      {L"ab", 2, nullptr, L'x', 6, false, 7, L"abxxxxx"},
      {L"", 0, L"", 0, 0, true, 0, L""},
      {L"", 0, nullptr, L'x', 0, true, 0, L""},
      {L"abcdefg", 7, L"h", 0, 0, false, 7, L"abcdefg"},
      {L"abcdefg", 7, L"", 0, 0, true, 7, L"abcdefg"},
      {L"abcdefg", 8, L"", 0, 0, false, 8, L"abcdefg"},   // no room for even the NUL
      {L"abcdefg", 9, nullptr, L'x', 0, false, 9, L"abcdefg"},
  };
  for (const Row& row : rows) {
    std::vector<wchar_t> buffer(capacity + 4, L'#');
    wcscpy(buffer.data(), row.before);
    uint32_t at = row.at;
    bool ok = row.text ? wide_append_text(buffer.data(), capacity, &at, row.text)
                       : wide_append_units(buffer.data(), capacity, &at, row.unit, row.count);
    std::string what = row.text ? utf8(row.text) : std::to_string(row.count) + " units";
    EXPECT_EQ(ok, row.ok) << what;
    EXPECT_EQ(at, row.at_after) << what;
    EXPECT_STREQ(buffer.data(), row.after) << what;
    EXPECT_EQ(std::wstring(buffer.data() + capacity, 4), L"####") << what;
  }
}

// In process: appends at the end of the text that fit, up to exactly full. In a child that
// ends the process when a text does not fit, as the launcher does: what was written stays
// inside the capacity.
TEST(WideText, AppendAtTheEndIsBoundedByTheCapacity) {
  struct Row {
    const wchar_t* before;
    unsigned capacity;
    const wchar_t* text;
    const wchar_t* after;
  } fits[] = {{L"", 40, L"ZOBRIN_ONEFILE_DIRECTORY", L"ZOBRIN_ONEFILE_DIRECTORY"},
              {L"12", 128, L"345", L"12345"},
              {L"ab", 5, L"cd", L"abcd"},
              {L"", 1, L"", L""}};
  for (const Row& row : fits) {
    std::vector<wchar_t> buffer(row.capacity + 4, L'#');
    wcscpy(buffer.data(), row.before);
    uint32_t at = (uint32_t)wcsnlen(buffer.data(), row.capacity);
    EXPECT_TRUE(wide_append_text(buffer.data(), row.capacity, &at, row.text));
    EXPECT_STREQ(buffer.data(), row.after) << utf8(row.text);
    EXPECT_EQ(std::wstring(buffer.data() + row.capacity, 4), L"####");
  }
  struct Abort {
    std::vector<std::wstring> args;
    const char* first_line;
  } aborts[] = {{{L"append", L"4", L"ab", L"cd"}, "abort|abc"},
                {{L"append", L"2", L"", L"xy"}, "abort|x"},
                {{L"append", L"4", L"abcd", L"e"}, "abort|abcd"}};  // no NUL within the capacity
  for (const Abort& row : aborts) {
    ProcessResult r = run_process(paths_probe(), row.args);
    EXPECT_TRUE(abnormal_end(r.code)) << r.code << " " << r.out;
    EXPECT_EQ(output_lines(r.out).at(0), row.first_line);
    if (row.args[2] != L"abcd") {
      EXPECT_EQ(output_lines(r.out).at(1), "guard ok");
    }
  }
}

}  // namespace
