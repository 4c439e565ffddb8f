// Damaged and hostile payloads: names that would leave the payload directory, a name that
// would split the open error's line, and random byte flips across a built executable's
// payload. Every run either extracts exactly what was packed or ends with the header or the
// decode error, and writes nothing outside its payload directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "extract/extract.h"
#include "format/little_endian.h"
#include "format/name_rules.h"
#include "format/payload_format.h"
#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

const char* const HEADER = "Error, couldn't find attached data header.\r\n";
const char* const DECODE = "Error, couldn't decode attached data.\r\n";

bool stays_inside(const std::u16string& name) {
  std::string bytes;
  for (char16_t unit : name) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return name_stays_inside(reinterpret_cast<const unsigned char*>(bytes.data()),
                           static_cast<uint32_t>(name.size()));
}

TEST(PayloadNames, OnlyNamesBelowThePayloadDirectoryPass) {
  struct Row {
    std::u16string name;
    bool inside;
  } rows[] = {
      {u"app.dll", true},       {u"a\\b\\c.txt", true},   {u"..a", true},
      {u"a..", true},           {u".hidden", true},       {u"a\\.b\\c..d", true},
      {u"\u65e5\\x", true},     {u"a b", true},
      {u"..", false},           {u".", false},            {u"..\\..\\x", false},
      {u"a\\..\\b", false},     {u"a\\.\\b", false},      {u"a\\..", false},
      {u"...", false},          {u"a\\.. \\b", false},    {u" ", false},
      {u"a/b", false},          {u"/a", false},           {u"a:b", false},
      {u"C:x", false},          {u"a.txt:stream", false}, {u"\\a", false},
      {u"\\\\server\\s", false}, {u"a\\\\b", false},      {u"a\\", false},
  };
  for (const Row& row : rows) {
    std::wstring shown(row.name.begin(), row.name.end());
    EXPECT_EQ(stays_inside(row.name), row.inside) << utf8(shown);
  }
}

// Each test gets a private temporary directory (TEMP and TMP, inherited by the launcher) in
// a base directory of its own; both are removed afterwards.
class Integrity : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirs dirs = test_dirs(L"integrity_");
    base = dirs.base;
    temp = dirs.temp;
    report = dirs.report;
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", nullptr);
    if (!HasFailure()) tree_wipe(base);
  }

  // Runs the executable `exe`, then copies of it with bytes of the payload section flipped:
  // fixed flips, then `seeds` random ones.
  void flip_payload_bytes(const wchar_t* exe_name, int seeds);

  std::wstring base, temp, report;
};

TEST_F(Integrity, NamesLeavingTheDirectoryOrBreakingTheLineAreRefused) {
  // After the main DLL: `..\..\x`; names the packer refuses (`x.txt` twice, `APP.DLL` beside
  // `app.dll`, `\u00c4.txt` beside `\u00e4.txt`, `data\nul.txt`, `x.txt.` beside `x.txt`,
  // `d \x` beside `d\y`, `CONOUT$`, `P\q` below the file `p`): the header error before
  // anything is written.
  ProcessResult r;
  for (const wchar_t* exe :
       {L"e2e_name_leaves.exe", L"e2e_name_twice.exe", L"e2e_name_case.exe",
        L"e2e_name_case_wide.exe", L"e2e_name_device.exe", L"e2e_name_dot.exe",
        L"e2e_name_space.exe", L"e2e_name_conout.exe", L"e2e_name_file_dir.exe"}) {
    SCOPED_TRACE(utf8(exe));
    r = run_process(test_dir() + exe, {});
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, HEADER);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree_names(base), (std::vector<std::wstring>{L"report", L"temp"}));
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{}) << "the failed run removes its directory";
  }

  // CR and LF in a name whose open fails: printed escaped, on one line.
  r = run_process(test_dir() + L"e2e_name_line_breaks.exe", {});
  EXPECT_EQ(r.code, 2u);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  const std::string start = "Error, failed to open '" + utf8(temp) + "\\onefile_" +
                            std::to_string(r.pid) + "_";
  const std::string end = "\\x\\a\\u000D\\u000A*b' for writing.\r\n";
  ASSERT_GT(r.err.size(), start.size() + end.size());
  EXPECT_EQ(r.err.substr(0, start.size()), start) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - end.size()), end) << r.err;
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
}

// A xorshift generator, so every seed flips the same bytes on every run.
struct Random {
  uint64_t state;
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
};

// File offset of the payload section's head in a built executable.
uint64_t section_head_offset(const std::string& image) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(image.data());
  uint32_t pe = le_read_u32(p + 0x3C);
  uint32_t sections = le_read_u16(p + pe + 6);
  uint32_t optional = le_read_u16(p + pe + 20);
  for (uint32_t i = 0; i < sections; i++) {
    uint64_t header = pe + 24 + optional + 40 * i;
    if (image.compare(header, 8, std::string(".zobrin\0", 8)) == 0) {
      return le_read_u32(p + header + 20);
    }
  }
  return 0;
}

bool write_whole(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == data.size();
}

// Flips bytes of the section head (length, digest, run flags, content key) and the payload
// array of a real executable. A failed run removes its payload directory before it exits.
void Integrity::flip_payload_bytes(const wchar_t* exe_name, int seeds) {
  const std::string pristine = read_file(test_dir() + exe_name);
  const uint64_t head = section_head_offset(pristine);
  ASSERT_NE(head, 0u);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(pristine.data());
  const uint64_t length = le_read_u64(p + head + ZB_SECTION_LENGTH_OFFSET);
  const uint64_t table = le_read_u64(p + head + ZB_SECTION_HEAD_BYTES);
  const uint64_t span = ZB_SECTION_HEAD_BYTES + length;  // head and array
  ASSERT_LE(head + span, pristine.size());

  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  const std::wstring files = report + L"\\files.txt";
  ProcessResult r = run_process(test_dir() + exe_name, {});
  ASSERT_EQ(r.code, 0u) << r.out << r.err;
  const std::string expected_out = r.out;
  const std::string expected_files = read_file(files);
  ASSERT_NE(expected_files, "");
  ASSERT_EQ(tree_names(temp), std::vector<std::wstring>{});

  // Fixed flips first (the length's top and low byte, the digest, the run flags, the content
  // key, T, S, a name), then random ones: a quarter of them within the head, header and table,
  // the rest anywhere in the span.
  std::vector<std::vector<uint64_t>> flips = {{7},
                                              {ZB_SECTION_LENGTH_OFFSET},
                                              {ZB_SECTION_DIGEST_OFFSET},
                                              {ZB_SECTION_FLAGS_OFFSET},
                                              {ZB_SECTION_KEY_OFFSET + 3},
                                              {ZB_SECTION_HEAD_BYTES + 1},
                                              {ZB_SECTION_HEAD_BYTES + 9},
                                              {ZB_SECTION_HEAD_BYTES + 16 + 12}};
  const size_t FIXED = flips.size();
  for (int seed = 1; seed <= seeds; seed++) {
    Random random{0x9E3779B97F4A7C15ull * static_cast<uint64_t>(seed)};
    std::vector<uint64_t> at;
    int count = 1 + static_cast<int>(random.next() % 3);
    for (int i = 0; i < count; i++) {
      uint64_t region = random.next() % 4 == 0 ? ZB_SECTION_HEAD_BYTES + 16 + table : span;
      at.push_back(random.next() % region);
    }
    flips.push_back(at);
  }
  int succeeded = 0, header = 0, decode = 0;
  for (size_t i = 0; i < flips.size(); i++) {
    std::string image = pristine;
    Random random{i * 0xD1B54A32D192ED03ull + 1};
    for (uint64_t at : flips[i]) {
      image[head + at] = static_cast<char>(image[head + at] ^ (1 + random.next() % 255));
    }
    if (image == pristine) continue;
    std::wstring exe = base + L"\\flip_" + std::to_wstring(i) + L".exe";
    ASSERT_TRUE(write_whole(exe, image));
    DeleteFileW(files.c_str());
    r = run_process(exe, {});
    std::string where = "flip " + std::to_string(i) + " at";
    for (uint64_t at : flips[i]) where += " " + std::to_string(at);
    SCOPED_TRACE(where);
    if (i < FIXED) EXPECT_EQ(r.code, 2u) << "a fixed flip ran";
    if (r.code == 0) {
      succeeded++;
      EXPECT_EQ(r.out, expected_out);
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(read_file(files), expected_files) << "the application saw other files";
    } else {
      EXPECT_EQ(r.code, 2u);
      EXPECT_TRUE(r.out == HEADER || r.out == DECODE) << r.out;
      // The fixed flips: a length beyond the section, or a head, header or table that no
      // longer matches the digest.
      if (i < FIXED) EXPECT_EQ(r.out, HEADER);
      EXPECT_EQ(r.err, "");
      header += r.out == HEADER;
      decode += r.out == DECODE;
    }
    // Nothing left: neither beside the payload directory nor the directory itself.
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    DeleteFileW(exe.c_str());
    EXPECT_EQ(tree_names(base), (std::vector<std::wstring>{L"report", L"temp"}));
    if (HasFailure()) break;
  }
  // Most flips land in the stream or the table; some in padding or the trailer, which are
  // never read.
  printf("byte flips: %zu runs, %d succeeded byte-exact, %d header errors, %d decode errors\n",
         flips.size(), succeeded, header, decode);
  EXPECT_GT(header, 0);
  EXPECT_GT(decode, 0);
}

TEST_F(Integrity, FlippedPayloadBytesNeverRunWithWrongFiles) {
  flip_payload_bytes(L"e2e_flip.exe", 250);
}

// The same tree with its stream cut into two frames, which the frame workers decode.
TEST_F(Integrity, FlippedBytesOfAFramedPayloadNeverRunWithWrongFiles) {
  flip_payload_bytes(L"e2e_flip_frames.exe", 80);
}

}  // namespace
