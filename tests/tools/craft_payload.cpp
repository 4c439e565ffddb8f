// Writes the hand-made payload arrays (and the sample tree) that the reader tests link into
// Windows test programs. Usage: craft-payload CASE OUT_FILE | craft-payload tree DIR |
// craft-payload icon OUT_FILE (a 16 and a 32 pixel icon)
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <zstd.h>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/byte_string.h"
#include "packer/payload_writer.h"
#include "tests/tools/test_data.h"

namespace fs = std::filesystem;

namespace {

std::string entry(uint32_t flags, uint64_t size, const std::u16string& name) {
  return payload_entry_bytes(flags, size, name);
}

std::string entry2(uint32_t flags, uint64_t size, const std::u16string& name,
                   const std::u16string& second) {
  std::string bytes = payload_entry_bytes(flags, size, name);
  append_utf16z(&bytes, second);
  return bytes;
}

std::string frame(const std::string& data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  size_t n = ZSTD_compress(&out[0], out.size(), data.data(), data.size(), 3);
  if (ZSTD_isError(n)) {
    std::fprintf(stderr, "craft-payload: %s\n", ZSTD_getErrorName(n));
    std::exit(1);
  }
  out.resize(n);
  return out;
}

using CCtx = std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)>;

// One frame with the content checksum the packer writes.
std::string frame_checked(const std::string& data) {
  CCtx context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(data.size()), '\0');
  size_t n = ZSTD_compress2(context.get(), &out[0], out.size(), data.data(), data.size());
  if (ZSTD_isError(n)) {
    std::fprintf(stderr, "craft-payload: %s\n", ZSTD_getErrorName(n));
    std::exit(1);
  }
  out.resize(n);
  return out;
}

// One frame whose blocks end where `cuts` say (each part ends with a flush).
std::string frame_in_blocks(const std::string& data, const std::vector<size_t>& cuts) {
  CCtx context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  std::string out(ZSTD_compressBound(data.size()) + 1024, '\0');
  ZSTD_outBuffer output = {&out[0], out.size(), 0};
  size_t start = 0;
  for (size_t i = 0; i <= cuts.size(); i++) {
    size_t end = i < cuts.size() ? cuts[i] : data.size();
    ZSTD_inBuffer input = {data.data() + start, end - start, 0};
    ZSTD_EndDirective mode = i < cuts.size() ? ZSTD_e_flush : ZSTD_e_end;
    while (ZSTD_compressStream2(context.get(), &output, &input, mode) != 0) {
    }
    start = end;
  }
  out.resize(output.pos);
  return out;
}

// A well-formed array around `table` and `stream`; T and S may be overridden.
std::string array(const std::string& table, const std::string& stream, int64_t t = -1,
                  int64_t s = -1) {
  std::string a;
  a += payload_header_bytes(t < 0 ? table.size() : static_cast<uint64_t>(t),
                            s < 0 ? stream.size() : static_cast<uint64_t>(s));
  a += table;
  a += stream;
  return a + payload_tail_bytes(a.size());
}

std::string pattern(size_t size, uint32_t seed) { return test_pattern(size, seed); }

std::u16string repeat(char16_t unit, size_t count) { return std::u16string(count, unit); }

std::map<std::string, std::function<std::string()>> cases() {
  std::map<std::string, std::function<std::string()>> c;
  const std::string abc = "abc";
  // Header limits. Without a trailer the table may take the whole rest of the array.
  c["table_fills_array"] = [] {
    std::string t = entry(4, 0, u"a");
    return payload_header_bytes(t.size(), 0) + t;
  };
  c["table_one_past"] = [] {
    std::string t = entry(4, 0, u"a");
    return payload_header_bytes(t.size() + 1, 0) + t;
  };
  c["table_fills_stream_one"] = [] {
    std::string t = entry(4, 0, u"a");
    return payload_header_bytes(t.size(), 1) + t;
  };
  c["stream_one_past"] = [abc] {
    std::string t = entry(4, 3, u"a.txt");
    std::string s = frame(abc);
    std::string a = array(t, s);
    uint64_t too_big = a.size() - ZB_PAYLOAD_HEADER_BYTES - t.size() + 1;
    le_write_u64(reinterpret_cast<unsigned char*>(&a[ZB_PAYLOAD_STREAM_SIZE_OFFSET]), too_big);
    return a;
  };
  c["stream_to_end"] = [abc] {
    std::string t = entry(4, 3, u"a.txt");
    std::string s = frame(abc);
    std::string a = array(t, s);
    uint64_t exact = a.size() - ZB_PAYLOAD_HEADER_BYTES - t.size();
    le_write_u64(reinterpret_cast<unsigned char*>(&a[ZB_PAYLOAD_STREAM_SIZE_OFFSET]), exact);
    return a;
  };
  c["shorter_than_header"] = [] { return std::string(8, '\0'); };
  c["empty_table"] = [] { return array("", ""); };
  // Entries.
  c["format_example"] = [abc] { return array(entry(4, 3, u"a.txt"), frame(abc)); };
  c["flags_8"] = [abc] { return array(entry(8, 3, u"a.txt"), frame(abc)); };
  c["flags_all"] = [abc] { return array(entry(0xFFFFFFFFu, 3, u"a.txt"), frame(abc)); };
  c["flags_1_then_5"] = [] {
    return array(entry(1, 2, u"one") + entry(5, 1, u"two"), frame("xyz"));
  };
  c["name_empty"] = [abc] { return array(entry(4, 3, u""), frame(abc)); };
  c["name_4095"] = [] { return array(entry(4, 0, repeat(u'n', 4095)), ""); };
  c["name_4096"] = [] { return array(entry(4, 0, repeat(u'n', 4096)), ""); };
  c["name_unterminated"] = [] {
    std::string t = entry(4, 0, u"abc");
    t.resize(t.size() - 2);
    return array(t, "");
  };
  c["second_empty"] = [abc] { return array(entry2(6, 3, u"a.txt", u""), frame(abc)); };
  c["second_string"] = [abc] {
    return array(entry2(6, 3, u"a.txt", u"target") + "", frame(abc));
  };
  c["second_4096"] = [] { return array(entry2(6, 0, u"a", repeat(u's', 4096)), ""); };
  c["no_last_flag"] = [abc] { return array(entry(0, 3, u"a.txt"), frame(abc)); };
  c["partial_entry"] = [abc] {
    return array(entry(0, 3, u"a.txt") + std::string(11, '\0'), frame(abc));
  };
  c["bytes_after_last"] = [abc] {
    return array(entry(4, 3, u"a.txt") + entry(4, 0, u"b"), frame(abc));
  };
  // The stream.
  c["stream_one_short"] = [] {
    return array(entry(0, 2, u"a") + entry(4, 2, u"b"), frame("xyz"));
  };
  c["stream_longer"] = [] {
    return array(entry(0, 2, u"a") + entry(4, 1, u"b"), frame("xyzzy"));
  };
  c["stream_not_zstd"] = [] { return array(entry(4, 3, u"a"), "not a zstd frame"); };
  c["stream_truncated"] = [] {
    std::string s = frame(pattern(100000, 7));
    return array(entry(4, 100000, u"a"), s.substr(0, s.size() / 2));
  };
  c["stream_empty"] = [] { return array(entry(4, 1, u"a"), ""); };
  // The frame's end: a checksum that matches, one that does not, one cut short; bytes after it.
  c["stream_checksum"] = [abc] { return array(entry(4, 3, u"a.txt"), frame_checked(abc)); };
  c["stream_checksum_bad"] = [abc] {
    std::string s = frame_checked(abc);
    s.back() = static_cast<char>(s.back() ^ 0x01);
    return array(entry(4, 3, u"a.txt"), s);
  };
  c["stream_checksum_cut"] = [abc] {
    std::string s = frame_checked(abc);
    return array(entry(4, 3, u"a.txt"), s.substr(0, s.size() - 1));
  };
  c["stream_after_frame"] = [abc] { return array(entry(4, 3, u"a.txt"), frame(abc) + "x"); };
  c["size_zero_bad_stream"] = [] {
    return array(entry(0, 0, u"empty") + entry(4, 0, u"also-empty"), "not a zstd frame");
  };
  // Around the 131072-byte decoder buffer.
  c["buffer_exact"] = [] { return array(entry(4, 131072, u"a"), frame(pattern(131072, 3))); };
  c["buffer_exact_one_more"] = [] {
    return array(entry(4, 131073, u"a"), frame(pattern(131072, 3)));
  };
  c["buffer_two_exact"] = [] {
    return array(entry(0, 131072, u"a") + entry(4, 131072, u"b"), frame(std::string(262144, 'z')));
  };
  // A 100-byte block, then one of 131072: the first decoder call fills the buffer in the
  // middle of the last block, and the rest is fetched at the start of a later read.
  c["buffer_held_back"] = [] {
    return array(entry(4, 131172, u"a"), frame_in_blocks(pattern(131172, 13), {100}));
  };
  c["buffer_straddle"] = [] {
    return array(entry(0, 131071, u"a") + entry(0, 2, u"b") + entry(4, 131073 + 32768, u"c"),
                 frame(pattern(131071 + 2 + 131073 + 32768, 11)));
  };
  // For whole launcher runs: a name too long for any target path after a first file, and a
  // file whose open fails (a '*', which Windows refuses in a file name).
  c["e2e_name_too_long"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 0, repeat(u'n', 4060)), frame("abc"));
  };
  c["e2e_open_fails"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 2, u"x\\y*.txt"), frame("abc12"));
  };
  // The stream ends halfway through the second file, while it is being written.
  c["e2e_decode_error"] = [] {
    std::string s = frame("abc" + pattern(300000, 9));
    return array(entry(0, 3, u"app.dll") + entry(4, 300000, u"sub\\big.bin"),
                 s.substr(0, s.size() / 2));
  };
  // Names leading out of the payload directory (the child's first entry, a later entry), and
  // one with CR and LF whose open fails (a '*', which Windows refuses in a file name).
  c["name_leaves_first"] = [abc] { return array(entry(4, 3, u"..\\..\\x"), frame(abc)); };
  c["e2e_name_leaves"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 1, u"..\\..\\x"), frame("abc1"));
  };
  c["e2e_name_line_breaks"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 2, u"x\\a\r\n*b"), frame("abc12"));
  };
  // Names the packer refuses: one twice, two equal but for case (the second would replace
  // the main DLL), a device name.
  c["e2e_name_twice"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(0, 1, u"x.txt") + entry(4, 1, u"x.txt"),
                 frame("abc12"));
  };
  c["e2e_name_case"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 1, u"APP.DLL"), frame("abc1"));
  };
  // Equal but for the case of a letter beyond ASCII, which the system folds.
  c["e2e_name_case_wide"] = [] {
    return array(
        entry(0, 3, u"app.dll") + entry(0, 1, u"\u00c4.txt") + entry(4, 1, u"\u00e4.txt"),
        frame("abc12"));
  };
  c["e2e_name_device"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 1, u"data\\nul.txt"), frame("abc1"));
  };
  // More names the packer refuses, each beside a file it would replace or clash with: a
  // trailing dot or space (Windows drops it), the console's device, a file that a later name
  // takes for its directory.
  c["e2e_name_dot"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(0, 1, u"x.txt") + entry(4, 1, u"x.txt."),
                 frame("abc12"));
  };
  c["e2e_name_space"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(0, 1, u"d \\x") + entry(4, 1, u"d\\y"),
                 frame("abc12"));
  };
  c["e2e_name_conout"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(4, 1, u"CONOUT$"), frame("abc1"));
  };
  c["e2e_name_file_dir"] = [] {
    return array(entry(0, 3, u"app.dll") + entry(0, 1, u"p") + entry(0, 1, u"p.txt") +
                     entry(4, 1, u"P\\q"),
                 frame("abc123"));
  };
  c["e2e_second_string"] = [] {
    return array(entry(0, 3, u"app.dll") + entry2(6, 1, u"x", u"target"), frame("abc1"));
  };
  return c;
}

bool write_file(const fs::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

// A tree exercising sizes around the chunk and buffer edges, nesting, and unusual names.
bool write_tree(const fs::path& dir) {
  const size_t sizes[] = {0, 1, 32767, 32768, 32769, 131072, 131073, 300000};
  fs::create_directories(dir / "sub" / "deeper" / "deepest");
  fs::create_directories(dir / u8"caf\u00e9 \u65e5\u672c");
  bool ok = true;
  uint32_t seed = 1;
  for (size_t size : sizes) {
    ok &= write_file(dir / ("size_" + std::to_string(size) + ".bin"), pattern(size, seed++));
  }
  ok &= write_file(dir / "Upper.txt", "upper\n");
  ok &= write_file(dir / "_under.txt", "under\n");
  ok &= write_file(dir / "lower.txt", "lower\n");
  ok &= write_file(dir / "sub" / "a.txt", "a\n");
  ok &= write_file(dir / "sub" / "deeper" / "b.bin", pattern(40000, 99));
  ok &= write_file(dir / "sub" / "deeper" / "deepest" / "c.txt", "c\n");
  ok &= write_file(dir / u8"caf\u00e9 \u65e5\u672c" / u8"r\u00e9sum\u00e9 file.txt", "name\n");
  for (int i = 0; i < 40; i++) {
    ok &= write_file(dir / "sub" / ("many_" + std::to_string(i) + ".dat"), pattern(i * 37, i + 1));
  }
  return ok;
}

// Thousands of small files in nested folders.
bool write_many(const fs::path& dir, int count) {
  bool ok = true;
  for (int i = 0; i < count; i++) {
    fs::path folder = dir / ("d" + std::to_string(i % 10)) / ("e" + std::to_string(i % 7)) /
                      ("f" + std::to_string(i % 3));
    fs::create_directories(folder);
    ok &= write_file(folder / ("file_" + std::to_string(i) + ".txt"),
                     pattern(static_cast<size_t>(i % 97) * 13, static_cast<uint32_t>(i) + 1));
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = argc > 1 ? argv[1] : "";
  if (argc == 5 && name == "single") {
    // single NAME SOURCE OUT: one entry NAME holding the bytes of SOURCE.
    std::ifstream in(argv[3], std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::u16string entry_name(argv[2], argv[2] + std::strlen(argv[2]));
    return in.bad() || !write_file(argv[4], array(entry(4, data.size(), entry_name), frame(data)))
               ? 1 : 0;
  }
  if (argc == 4 && name == "big") {
    // big DIR MIB: one file of MIB mebibytes, larger than the decoder's window.
    size_t size = std::stoul(argv[3]) << 20;
    fs::create_directories(argv[2]);
    return write_file(fs::path(argv[2]) / "big.bin", pattern(size, 5)) ? 0 : 1;
  }
  if (argc == 4 && name == "many") return write_many(argv[2], std::stoi(argv[3])) ? 0 : 1;
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: craft-payload CASE OUT | tree DIR | many DIR N | big DIR MIB | "
                 "single NAME SOURCE OUT | icon OUT\n");
    return 2;
  }
  if (name == "tree") return write_tree(argv[2]) ? 0 : 1;
  if (name == "icon") return write_file(argv[2], test_icon({16, 32})) ? 0 : 1;
  auto all = cases();
  auto found = all.find(name);
  if (found == all.end()) {
    std::fprintf(stderr, "craft-payload: no case '%s'\n", name.c_str());
    return 2;
  }
  return write_file(argv[2], found->second()) ? 0 : 1;
}
