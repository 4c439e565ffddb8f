// Hand-made payload arrays linked into real programs: each walk prints its entries, and a
// malformed or short payload ends with the exact message on stdout and exit code 2.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/tools/test_data.h"
#include "tests/win/support/run_process.h"

namespace {

const char* const HEADER = "Error, couldn't find attached data header.\r\n";
const char* const DECODE = "Error, couldn't decode attached data.\r\n";

std::string hash(const std::string& data) {
  char text[32];
  snprintf(text, sizeof text, "%016llx", (unsigned long long)test_fnv(data));
  return text;
}

std::string entry(unsigned flags, const std::string& name, const std::string& data) {
  return "entry " + std::to_string(flags) + " " + std::to_string(data.size()) + " " + name + " " +
         hash(data) + "\r\n";
}

std::string finished(int calls) {
  return "decoder calls " + (calls < 0 ? std::string("*") : std::to_string(calls)) +
         "\r\nfinished\r\n";
}

// Puts "*" for the decoder call count, which depends on how zstd splits its work.
std::string any_call_count(std::string out) {
  size_t at = out.find("decoder calls ");
  if (at == std::string::npos) return out;
  size_t digits = at + 14;
  size_t end = out.find('\r', digits);
  return out.replace(digits, end - digits, "*");
}

struct Case {
  const char* name;
  std::string out;
  DWORD code;
  bool exact_calls;
};

TEST(PayloadCases, EachArrayWalksOrFailsExactly) {
  const std::string abc = "abc";
  const std::string straddle = test_pattern(131071 + 2 + 131073 + 32768, 11);
  const Case cases[] = {
      // Header limits: T = L - 16 passes, T = L - 15 fails; with T = L - 16 only S = 0 passes.
      {"table_fills_array", entry(4, "a", "") + finished(0), 0, true},
      {"table_one_past", HEADER, 2, true},
      {"table_fills_stream_one", HEADER, 2, true},
      {"stream_one_past", HEADER, 2, true},
      // S = L - 16 - T passes the header; the stream then holds the padding and the trailer
      // after its frame, which Finish refuses.
      {"stream_to_end", entry(4, "a.txt", abc) + "decoder calls *\r\n" + DECODE, 2, false},
      {"shorter_than_header", HEADER, 2, true},
      {"empty_table", finished(0), 0, true},
      // Entries.
      {"format_example", entry(4, "a.txt", abc) + finished(-1), 0, false},
      {"flags_8", HEADER, 2, true},
      {"flags_all", HEADER, 2, true},
      {"flags_1_then_5", entry(1, "one", "xy") + entry(5, "two", "z") + finished(-1), 0, false},
      {"name_empty", HEADER, 2, true},
      {"name_4095", "entry 4 0 <4095 units> " + hash("") + "\r\n" + finished(0), 0, true},
      {"name_4096", HEADER, 2, true},
      {"name_unterminated", HEADER, 2, true},
      {"second_empty", HEADER, 2, true},
      {"second_string", entry(6, "a.txt -> target", abc) + finished(-1), 0, false},
      {"second_4096", HEADER, 2, true},
      {"no_last_flag", entry(0, "a.txt", abc) + HEADER, 2, true},
      {"partial_entry", entry(0, "a.txt", abc) + HEADER, 2, true},
      {"bytes_after_last", entry(4, "a.txt", abc) + "decoder calls *\r\n" + HEADER, 2, false},
      // The stream: one byte short fails, and so does one byte more (found when Finish
      // decodes the rest); zero sizes never call the decoder during the walk.
      {"stream_one_short", entry(0, "a", "xy") + DECODE, 2, true},
      {"stream_longer", entry(0, "a", "xy") + entry(4, "b", "z") + "decoder calls *\r\n" + DECODE,
       2, false},
      {"stream_not_zstd", DECODE, 2, true},
      {"stream_truncated", DECODE, 2, true},
      {"stream_empty", DECODE, 2, true},
      {"size_zero_bad_stream",
       entry(0, "empty", "") + entry(4, "also-empty", "") + "decoder calls 0\r\n" + DECODE, 2,
       true},
      // The frame's end: a matching checksum passes; a wrong one, a cut one and bytes after
      // the frame are the decode error.
      {"stream_checksum", entry(4, "a.txt", abc) + finished(-1), 0, false},
      {"stream_checksum_bad", DECODE, 2, true},
      {"stream_checksum_cut", entry(4, "a.txt", abc) + "decoder calls *\r\n" + DECODE, 2, false},
      {"stream_after_frame", entry(4, "a.txt", abc) + "decoder calls *\r\n" + DECODE, 2, false},
      // Around the 131072-byte decoder buffer.
      {"buffer_exact", entry(4, "a", test_pattern(131072, 3)) + finished(-1), 0, false},
      {"buffer_exact_one_more", DECODE, 2, true},
      {"buffer_two_exact",
       entry(0, "a", std::string(131072, 'z')) + entry(4, "b", std::string(131072, 'z')) +
           finished(-1),
       0, false},
      {"buffer_held_back", entry(4, "a", test_pattern(131172, 13)) + finished(2), 0, true},
      {"buffer_straddle",
       entry(0, "a", straddle.substr(0, 131071)) + entry(0, "b", straddle.substr(131071, 2)) +
           entry(4, "c", straddle.substr(131073)) + finished(-1),
       0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring exe = test_dir() + L"walk_" + std::wstring(c.name, c.name + strlen(c.name)) + L".exe";
    ProcessResult r = run_process(exe, {});
    EXPECT_EQ(c.exact_calls ? r.out : any_call_count(r.out), c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, c.code);
  }
}

// The child's step reads the first entry only: its flags beyond the reader's checks, the
// entries after it and the stream are never looked at, and nothing is created.
TEST(PayloadCases, ChildTakesTheFirstEntryAsItsDll) {
  const std::wstring dir = test_dir() + L"child_dir_never_made";
  const std::string dll = "dll " + utf8(dir) + "\\";
  const Case cases[] = {
      {"format_example", dll + "a.txt\r\n", 0, true},
      {"second_string", dll + "a.txt\r\n", 0, true},
      {"flags_1_then_5", dll + "one\r\n", 0, true},
      {"no_last_flag", dll + "a.txt\r\n", 0, true},
      {"partial_entry", dll + "a.txt\r\n", 0, true},
      {"stream_not_zstd", dll + "a\r\n", 0, true},
      {"empty_table", HEADER, 2, true},
      {"name_empty", HEADER, 2, true},
      {"flags_8", HEADER, 2, true},
      {"name_4095", HEADER, 2, true},  // the target path cannot hold it
      {"name_leaves_first", HEADER, 2, true},  // "..\..\x": the child would load it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring exe = test_dir() + L"walk_" + std::wstring(c.name, c.name + strlen(c.name)) + L".exe";
    ProcessResult r = run_process(exe, {L"dll", dir});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(GetFileAttributesW(dir.c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

}  // namespace
