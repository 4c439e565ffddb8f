// zobrin-pack, run as a real command: payload layout, entry order, frame header, object and
// listing forms, and every refused input with its exact message.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "base/file_digest.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/app_tree.h"
#include "packer/pack_error.h"
#include "packer/payload_writer.h"
#include "tests/host/pe_builder.h"
#include "tests/tools/test_data.h"

namespace fs = std::filesystem;

namespace {

struct PackRun {
  int code;
  std::string out;
  std::string err;
};

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void spit(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

void spit(const fs::path& path, const std::vector<unsigned char>& data) {
  spit(path, std::string(data.begin(), data.end()));
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

uint64_t le(const std::string& data, size_t offset, int bytes) {
  return le_read(reinterpret_cast<const unsigned char*>(data.data()) + offset, bytes);
}

class Pack : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zobrin-pack-test-XXXXXX";
    root = mkdtemp(pattern);
    chmod(root.c_str(), 0777);
    app = root / "app";
    spit(app / "app.dll", pe_build(PeSpec()));
  }
  void TearDown() override { fs::remove_all(root); }

  // Runs zobrin-pack with `args` (in `cwd` when given), optionally as an unprivileged user.
  PackRun pack(const std::vector<std::string>& args, const fs::path& cwd = {}, bool nobody = false) {
    std::string command;
    if (!cwd.empty()) command += "cd " + shell_quote(cwd.string()) + " && ";
    if (nobody) command += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    command += ZOBRIN_PACK_EXE;
    for (const std::string& arg : args) command += " " + shell_quote(arg);
    command += " >" + shell_quote((root / "stdout").string()) + " 2>" +
               shell_quote((root / "stderr").string());
    int status = std::system(command.c_str());
    PackRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(root / "stdout"),
            slurp(root / "stderr")};
    fs::remove(root / "stdout");
    fs::remove(root / "stderr");
    return run;
  }

  std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path root;
  fs::path app;
};

struct Entry {
  uint32_t flags;
  uint64_t size;
  std::u16string name;
};

struct Payload {
  uint64_t table = 0;
  uint64_t stream = 0;
  std::vector<Entry> entries;
  std::string frame;
};

// Parses a well-formed payload array; any malformation fails the test.
Payload parse(const std::string& a) {
  Payload p;
  EXPECT_GE(a.size(), 24u);
  EXPECT_EQ(a.size() % 8, 0u);
  EXPECT_EQ(le(a, a.size() - 8, 8), a.size() - 8) << "trailer";
  p.table = le(a, 0, 8);
  p.stream = le(a, 8, 8);
  EXPECT_LE(16 + p.table + p.stream + 8, a.size());
  EXPECT_GT(16 + p.table + p.stream + 8, a.size() - 8) << "padding beyond the next multiple of 8";
  for (size_t i = 16 + p.table + p.stream; i < a.size() - 8; i++) EXPECT_EQ(a[i], 0) << "padding";
  size_t at = 16;
  while (at < 16 + p.table) {
    Entry e{static_cast<uint32_t>(le(a, at, 4)), le(a, at + 4, 8), {}};
    at += 12;
    while (le(a, at, 2) != 0) {
      e.name.push_back(static_cast<char16_t>(le(a, at, 2)));
      at += 2;
    }
    at += 2;
    p.entries.push_back(e);
  }
  EXPECT_EQ(at, 16 + p.table);
  p.frame = a.substr(16 + p.table, p.stream);
  return p;
}

std::string decode(const std::string& frame) {
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  ZSTD_inBuffer in = {frame.data(), frame.size(), 0};
  std::string out;
  std::vector<char> buffer(131072);
  for (;;) {
    ZSTD_outBuffer o = {buffer.data(), buffer.size(), 0};
    size_t r = ZSTD_decompressStream(dctx, &o, &in);
    EXPECT_FALSE(ZSTD_isError(r)) << ZSTD_getErrorName(r);
    out.append(buffer.data(), o.pos);
    if (ZSTD_isError(r) || (r == 0 && in.pos == in.size)) break;
  }
  ZSTD_freeDCtx(dctx);
  return out;
}

TEST_F(Pack, OrdersMainDllFirstThenFilesBeforeDirectoriesByCodeUnit) {
  spit(app / "lower.txt", "l");
  spit(app / "_under.txt", "u");
  spit(app / "Upper.txt", "U");
  spit(app / "a" / "inner.txt", "ai");
  spit(app / "B" / "Z" / "deep.txt", "deep");
  spit(app / "B" / "file.txt", "Bf");
  spit(app / "a.txt" / "dir_named_like_a_file.txt", "x");
  spit(app / u8"\u00e9.txt", "e");
  PackRun r = pack({"payload", app, "--main", "app.dll", "-o", root / "out.payload"});
  ASSERT_EQ(r.code, 0) << r.err;
  Payload p = parse(slurp(root / "out.payload"));
  std::vector<std::u16string> names;
  for (const Entry& e : p.entries) names.push_back(e.name);
  std::vector<std::u16string> expected = {
      u"app.dll",  u"Upper.txt", u"_under.txt", u"lower.txt", u"\u00e9.txt",
      u"B\\file.txt", u"B\\Z\\deep.txt", u"a\\inner.txt", u"a.txt\\dir_named_like_a_file.txt"};
  EXPECT_EQ(names, expected);
  for (size_t i = 0; i < p.entries.size(); i++) {
    EXPECT_EQ(p.entries[i].flags, i + 1 == p.entries.size() ? 4u : 0u);
  }
  std::string concatenated;
  for (const Entry& e : p.entries) {
    std::string relative;
    for (char16_t c : e.name) relative += c == u'\\' ? '/' : static_cast<char>(c);
    std::string data = e.name == u"\u00e9.txt" ? slurp(app / u8"\u00e9.txt") : slurp(app / relative);
    EXPECT_EQ(e.size, data.size());
    concatenated += data;
  }
  EXPECT_EQ(decode(p.frame), concatenated);
  EXPECT_EQ(r.out.rfind("zobrin-pack: 9 files, ", 0), 0u) << r.out;
}

TEST_F(Pack, FrameHeaderHasWindowLog27AChecksumAndNoSizeDictionaryOrSingleSegment) {
  struct Row {
    const char* what;
    size_t bytes;
    std::vector<std::string> options;
  } rows[] = {{"tiny", 10, {}},
              {"several blocks, one thread", 3 << 20, {"--threads", "1", "--level", "3"}},
              {"several blocks, two threads", 3 << 20, {"--threads", "2", "--level", "1"}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string data(row.bytes, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>((i * 2654435761u) >> 13);
    spit(app / "data.bin", data);
    std::vector<std::string> args = {"payload", app, "--main", "app.dll", "-o", root / "p"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    PackRun r = pack(args);
    ASSERT_EQ(r.code, 0) << r.err;
    Payload p = parse(slurp(root / "p"));
    ASSERT_GE(p.frame.size(), 6u);
    EXPECT_EQ(le(p.frame, 0, 4), 0xFD2FB528u) << "magic";
    EXPECT_EQ(static_cast<unsigned char>(p.frame[4]), 0x04)
        << "frame header descriptor: a checksum; no content size, not single-segment, no dictionary id";
    EXPECT_EQ(static_cast<unsigned char>(p.frame[5]), (27 - 10) << 3) << "window descriptor";
    EXPECT_EQ(decode(p.frame), slurp(app / "app.dll") + data);
  }
}

// Where a stream is cut: one frame below 64 MiB, for files of less than 1 MiB on average, or
// when asked for one; equal frames of 32 to 64 MiB by default; frames of at most --frame-size
// bytes when given.
TEST(PayloadFrames, SizesFollowTheStreamAndTheOption) {
  const uint64_t MiB = 1 << 20;
  struct Row {
    uint64_t total, files, option;
    std::vector<uint64_t> sizes;
  } rows[] = {{64 * MiB - 1, 1, PACK_FRAMES_AUTO, {64 * MiB - 1}},
              {64 * MiB, 1, PACK_FRAMES_AUTO, {32 * MiB, 32 * MiB}},
              {100 * MiB + 1, 2, PACK_FRAMES_AUTO,
               {100 * MiB / 3 + 1, 100 * MiB / 3 + 1, 100 * MiB / 3}},
              {100 * MiB, 101, PACK_FRAMES_AUTO, {100 * MiB}},
              {100 * MiB, 100, PACK_FRAMES_AUTO, {100 * MiB / 3 + 1, 100 * MiB / 3, 100 * MiB / 3}},
              {256 * MiB, 1, 0, {256 * MiB}},
              {0, 1, 65536, {0}},
              {65536, 1, 65536, {65536}},
              {200000, 9000, 65536, {50000, 50000, 50000, 50000}}};
  for (const Row& row : rows) {
    EXPECT_EQ(payload_frame_sizes(row.total, row.files, row.option), row.sizes) << row.total;
  }
}

// A default cut is kept when the trial finds it costs at most 1 %; else frames of twice the
// size when there are fewer of them and those do; else one frame. A trial that could not read
// the files keeps the cut.
TEST(PayloadFrames, ADefaultCutIsKeptOnlyWhenItCostsLittle) {
  const uint64_t MiB = 1 << 20;
  const std::vector<uint64_t> four(4, 32 * MiB), two(2, 64 * MiB), halves(2, 32 * MiB);
  struct Row {
    std::vector<uint64_t> frames, trial, chosen;
    size_t candidates;
  } rows[] = {{four, {1000, 1010, 1000}, four, 2},
              {four, {1000, 1011, 1010}, two, 2},
              {four, {1000, 1011, 1011}, {128 * MiB}, 2},
              {four, {}, four, 2},
              {halves, {1000, 1011}, {64 * MiB}, 1},
              {halves, {1000, 1009}, halves, 1}};
  for (const Row& row : rows) {
    uint64_t total = 0;
    for (uint64_t size : row.frames) total += size;
    size_t asked = 0;
    auto probe = [&](const std::vector<std::vector<uint64_t>>& candidates) {
      asked = candidates.size();
      EXPECT_EQ(candidates[0], row.frames);
      return row.trial;
    };
    EXPECT_EQ(payload_frames_chosen(row.frames, total, 1, probe), row.chosen) << total;
    EXPECT_EQ(asked, row.candidates) << total;
  }
}

// End to end: a 72 MiB file whose second half repeats its first would lose every repeat to a
// cut (one frame), one of two unrelated halves loses nothing (two frames); both decode intact.
TEST_F(Pack, ADefaultCutThatWouldLoseRepeatsIsNotMade) {
  std::mt19937_64 random(31);
  std::string half(36 << 20, '\0');
  for (size_t i = 0; i < half.size(); i += 8) {
    uint64_t word = random();
    std::memcpy(&half[i], &word, 8);
  }
  std::string other = half;
  for (size_t i = 0; i < other.size(); i += 8) {
    uint64_t word = random();
    std::memcpy(&other[i], &word, 8);
  }
  struct Row {
    const char* what;
    std::string second;
    size_t frames;
  } rows[] = {{"repeated", half, 1}, {"unrelated", other, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    spit(app / "data.bin", half + row.second);
    PackRun r = pack({"object", app, "--main", "app.dll", "-o", root / "a.o", "--level", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string object = slurp(root / "a.o");
    const uint64_t raw = le(object, 20 + 20, 4);
    Payload p = parse(object.substr(raw + 32, le(object, raw, 8)));
    size_t frames = 0;
    for (size_t at = 0; at < p.frame.size(); frames++) {
      size_t size = ZSTD_findFrameCompressedSize(p.frame.data() + at, p.frame.size() - at);
      ASSERT_FALSE(ZSTD_isError(size));
      at += size;
    }
    EXPECT_EQ(frames, row.frames);
    EXPECT_TRUE(decode(p.frame) == slurp(app / "app.dll") + half + row.second);
  }
}

// --frame-size cuts the stream into independent frames, each with its checksum and its decoded
// size; list shows them, verify counts them and names a damaged one.
TEST_F(Pack, FrameSizeCutsTheStreamIntoFramesThatListAndVerifyShow) {
  std::string data(3 << 20, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  spit(app / "data.bin", data);
  const std::string content = slurp(app / "app.dll") + data;
  // Without the option payload writes one frame; exe too, for a stream below 64 MiB.
  PackRun r = pack({"payload", app, "--main", "app.dll", "-o", root / "one", "--level", "1"});
  ASSERT_EQ(r.code, 0) << r.err;
  Payload one = parse(slurp(root / "one"));
  EXPECT_EQ(ZSTD_findFrameCompressedSize(one.frame.data(), one.frame.size()), one.frame.size());

  r = pack({"payload", app, "--main", "app.dll", "-o", root / "p", "--level", "1",
            "--frame-size", "1048576"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string array = slurp(root / "p");
  Payload p = parse(array);
  std::vector<size_t> starts;
  std::string rows;
  for (size_t at = 0; at < p.frame.size();) {
    size_t size = ZSTD_findFrameCompressedSize(p.frame.data() + at, p.frame.size() - at);
    ASSERT_FALSE(ZSTD_isError(size));
    uint64_t decoded = ZSTD_getFrameContentSize(p.frame.data() + at, size);
    EXPECT_EQ(static_cast<unsigned char>(p.frame[at + 4]) & 0x04, 0x04) << "a checksum";
    EXPECT_EQ(decoded, content.size() / 4 + (starts.size() < content.size() % 4));
    char row[80];
    std::snprintf(row, sizeof row, "%5zu %14zu %14zu %14llu\n", starts.size() + 1, at, size,
                  static_cast<unsigned long long>(decoded));
    rows += row;
    starts.push_back(at);
    at += size;
  }
  ASSERT_EQ(starts.size(), 4u);
  EXPECT_EQ(decode(p.frame), content);

  r = pack({"list", root / "p"});
  EXPECT_NE(r.out.find("\nstream: 4 frames\nframe         offset     compressed        decoded\n" +
                       rows),
            std::string::npos)
      << r.out;
  r = pack({"verify", root / "p"});
  EXPECT_EQ(r.out, "zobrin-pack: " + (root / "p").string() + ": 2 files, " +
                       std::to_string(content.size()) +
                       " bytes, whole, in 4 frames; main: DLL (x86-64)\n");
  std::string damaged = array;
  damaged[16 + p.table + starts[2] - 1] ^= 1;  // the checksum's last byte, frame 2
  spit(root / "d", damaged);
  r = pack({"verify", root / "d"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "d").string() +
                       "': the checksum of frame 2 does not match its decoded bytes (the frame is "
                       "damaged)\n");
}

// FNV-1a 64 over the first `count` bytes, as the content key.
static uint64_t fnv_prefix(const std::string& bytes, size_t count) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < count; i++) h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
  return h;
}

// The section head's digest of `array`: FNV-1a 64 over its first `count` bytes (header and
// table), then its length, the run flags and the key, 8 little-endian bytes each.
static uint64_t head_digest(const std::string& array, size_t count, uint64_t flags, uint64_t key,
                            const std::string& files = "") {
  std::string words(24, '\0');
  le_write_u64(reinterpret_cast<unsigned char*>(&words[0]), array.size());
  le_write_u64(reinterpret_cast<unsigned char*>(&words[8]), flags);
  le_write_u64(reinterpret_cast<unsigned char*>(&words[16]), key);
  std::string sealed = array.substr(0, count) + files + words;
  return fnv_prefix(sealed, sealed.size());
}

TEST_F(Pack, ObjectWrapsThePayloadInAReadOnlyAlignedSectionWithFiveSymbols) {
  spit(app / "x.txt", "hello");
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  std::string payload = slurp(root / "p");
  ASSERT_EQ(pack({"object", app, "--main", "app.dll", "-o", root / "a.o"}).code, 0);
  ASSERT_EQ(pack({"object", "--payload", root / "p", "-o", root / "b.o"}).code, 0);
  std::string a = slurp(root / "a.o");
  EXPECT_EQ(a, slurp(root / "b.o")) << "both forms give the same object";
  EXPECT_EQ(le(a, 0, 2), 0x8664u);
  EXPECT_EQ(le(a, 2, 2), 1u) << "one section";
  EXPECT_EQ(a.substr(20, 8), std::string(".zobrin\0", 8));
  EXPECT_EQ(le(a, 20 + 36, 4), 0x40500040u) << "initialized data, 16-byte aligned, read-only";
  uint64_t raw = le(a, 20 + 20, 4);
  EXPECT_EQ(le(a, raw, 8), payload.size()) << "length";
  EXPECT_EQ(le(a, raw + 8, 8), head_digest(payload, 16 + le(payload, 0, 8), 0, 0))
      << "digest of the header and table, the length, flags and key";
  EXPECT_EQ(le(a, raw + 16, 8), 0u) << "run flags: an object is never cached";
  EXPECT_EQ(le(a, raw + 24, 8), 0u) << "no content key without the cache";
  EXPECT_EQ(a.substr(raw + 32, payload.size()), payload);
  uint64_t symbols = le(a, 8, 4);
  EXPECT_EQ(le(a, 12, 4), 5u);
  // Each symbol's value: the length at 0, the array at 32, the digest at 8, the flags at 16,
  // the key at 24.
  std::string strings = a.substr(symbols + 5 * 18);
  const std::pair<std::string, uint64_t> named[] = {
      {std::string("zobrin_payload_length\0", 22), 0},
      {std::string("zobrin_payload\0", 15), 32},
      {std::string("zobrin_payload_digest\0", 22), 8},
      {std::string("zobrin_payload_flags\0", 21), 16},
      {std::string("zobrin_payload_key\0", 19), 24}};
  for (size_t i = 0; i < 5; i++) {
    SCOPED_TRACE(i);
    size_t name = le(a, symbols + 18 * i + 4, 4);
    EXPECT_EQ(strings.substr(name, named[i].first.size()), named[i].first);
    EXPECT_EQ(le(a, symbols + 18 * i + 8, 4), named[i].second);
  }

  spit(root / "junk", "not a payload at all");
  ASSERT_EQ(pack({"object", "--payload", root / "junk", "-o", root / "c.o"}).code, 0);
  std::string c = slurp(root / "c.o");
  EXPECT_EQ(c.substr(le(c, 40, 4) + 32, 20), "not a payload at all") << "taken as it stands";
  // Its table size runs past the array: the digest covers what exists.
  EXPECT_EQ(le(c, le(c, 40, 4) + 8, 8), head_digest("not a payload at all", 20, 0, 0));
}

TEST_F(Pack, ListShowsEntriesOfAPayloadAndOfAnExecutable) {
  spit(app / "sub" / "b.txt", "bb");
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  std::string payload = slurp(root / "p");
  size_t dll = slurp(app / "app.dll").size();
  std::string listing = "payload: " + std::to_string(payload.size()) + " bytes, table " +
                        std::to_string(le(payload, 0, 8)) + " bytes, stream " +
                        std::to_string(le(payload, 8, 8)) + " bytes\n" +
                        "entries: flags (4: the last; 1 and 2, never written, are ignored, 2 with "
                        "a second name after ->), size in bytes, name below the payload "
                        "directory\n"
                        "flags           size  name\n" + "    0 " + std::string(14 - std::to_string(dll).size(), ' ') +
                        std::to_string(dll) + "  app.dll\n" +
                        "    4              2  sub\\b.txt\n" + "2 entries, " +
                        std::to_string(dll + 2) + " bytes\n" + "main: DLL (x86-64)\n";
  PackRun r = pack({"list", root / "p"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, listing);

  PeSpec exe;
  exe.dll = false;
  exe.exports.clear();
  exe.section_name = ".zobrin";
  std::string section(32, '\0');
  le_write_u64(reinterpret_cast<unsigned char*>(&section[0]), payload.size());
  exe.section_data = section + payload;
  spit(root / "app.exe", pe_build(exe));
  r = pack({"list", root / "app.exe"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, listing);

  r = pack({"list", app / "app.dll"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + (app / "app.dll").string() +
                       "': the executable holds no payload section\n");
}

// A launcher image as the kit holds one: an executable whose last section is the payload
// section with its 32-byte head.
PeSpec launcher_spec() {
  PeSpec exe;
  exe.dll = false;
  exe.exports.clear();
  exe.section_name = ".zobrin";
  exe.section_data = std::string(32, '\0');
  return exe;
}

TEST_F(Pack, ExeGrowsTheLaunchersLastSectionAroundThePayload) {
  spit(app / "x.txt", "hello");
  std::vector<unsigned char> launcher = pe_build(launcher_spec());
  spit(root / "kit" / "launcher.exe", launcher);
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  std::string payload = slurp(root / "p");
  // Section sizes around the 0x200 file alignment: just below, at and above a boundary.
  for (size_t extra : {size_t(0), size_t(1), 0x200 - (32 + payload.size()) % 0x200}) {
    SCOPED_TRACE(extra);
    std::string grown = payload + std::string(extra, '\x5A');
    spit(root / "q", grown);
    PackRun r = pack({"exe", "--payload", root / "q", "-o", root / "app.exe", "--launcher-dir",
                      root / "kit"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    std::string exe = slurp(root / "app.exe");
    const size_t optional = 0x58, header = optional + 240 + 40;
    const uint64_t content = 32 + grown.size();
    const uint64_t raw = (content + 0x1FF) / 0x200 * 0x200;
    ASSERT_EQ(exe.size(), 0x400 + raw);
    EXPECT_EQ(le(exe, header + 8, 4), content) << "VirtualSize";
    EXPECT_EQ(le(exe, header + 16, 4), raw) << "SizeOfRawData";
    EXPECT_EQ(le(exe, optional + 56, 4), (0x2000 + content + 0xFFF) / 0x1000 * 0x1000)
        << "SizeOfImage";
    EXPECT_NE(le(exe, optional + 64, 4), 0u) << "CheckSum";
    EXPECT_EQ(le(exe, 0x400, 8), grown.size()) << "length";
    EXPECT_EQ(le(exe, 0x408, 8), head_digest(grown, 16 + le(grown, 0, 8), 0, 0)) << "digest";
    EXPECT_EQ(le(exe, 0x410, 8), 0u) << "run flags";
    EXPECT_EQ(le(exe, 0x418, 8), 0u) << "content key";
    EXPECT_EQ(exe.substr(0x420, grown.size()), grown);
    EXPECT_EQ(exe.substr(0x420 + grown.size()), std::string(raw - content, '\0'));
    // Everything else is the launcher's own.
    std::string before(launcher.begin(), launcher.end());
    for (size_t at : {header + 8, header + 16}) exe.replace(at, 4, before.substr(at, 4));
    for (size_t at : {optional + 8, optional + 56, optional + 64}) {
      exe.replace(at, 4, before.substr(at, 4));
    }
    EXPECT_EQ(exe.substr(0, 0x400), before.substr(0, 0x400));
  }
  EXPECT_EQ(files_in(root), (std::vector<std::string>{"app", "app.exe", "kit", "p", "q"}));
  PackRun r = pack({"exe", app, "--main", "app.dll", "-o", root / "b.exe", "--launcher-dir",
                    root / "kit"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(pack({"list", root / "b.exe"}).out, pack({"list", root / "p"}).out);
}

// --cache: the run flag and the key of the whole array in the head, shown by list, both sealed
// by the digest; verify refuses a head whose flags, key or length no longer hold, in an
// ordinary executable and a cached one, naming what is wrong.
TEST_F(Pack, CacheRecordsTheFlagAndTheContentKeyBesideThePayload) {
  spit(app / "x.txt", "hello");
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  const std::string payload = slurp(root / "p");
  const size_t table_end = 16 + le(payload, 0, 8);
  PackRun r = pack({"exe", app, "--main", "app.dll", "-o", root / "c.exe", "--cache",
                    "--launcher-dir", root / "kit"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string exe = slurp(root / "c.exe");
  ASSERT_EQ(exe.substr(0x420, payload.size()), payload) << "the array as without --cache";
  EXPECT_EQ(le(exe, 0x410, 8), 1u) << "run flags: cache";
  const uint64_t key = fnv_prefix(payload, payload.size());
  EXPECT_EQ(le(exe, 0x418, 8), key) << "the key covers the whole array, content included";
  // After the array: the count and each file's XXH64 in table order, sealed by the digest.
  std::string files(8, '\0');
  le_write_u64(reinterpret_cast<unsigned char*>(&files[0]), 2);
  for (const std::string& content : {slurp(app / "app.dll"), std::string("hello")}) {
    files += std::string(8, '\0');
    le_write_u64(reinterpret_cast<unsigned char*>(&files[files.size() - 8]),
                 file_digest_of(reinterpret_cast<const unsigned char*>(content.data()),
                                content.size()));
  }
  EXPECT_EQ(exe.substr(0x420 + payload.size(), files.size()), files);
  EXPECT_EQ(le(exe, 0x408, 8), head_digest(payload, table_end, 1, key, files));
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(key));
  r = pack({"list", root / "c.exe"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, pack({"list", root / "p"}).out + "mode: cache, key " + hex +
                       " ({CACHE_DIR}\\zobrin-onefile\\NAME-PLACE-" + hex + ")\n");
  EXPECT_EQ(pack({"verify", root / "c.exe"}).code, 0);

  // The same array without --cache: flags and key 0, and so another digest.
  ASSERT_EQ(pack({"exe", app, "--main", "app.dll", "-o", root / "o.exe", "--launcher-dir",
                  root / "kit"}).code, 0);
  const std::string plain = slurp(root / "o.exe");
  ASSERT_EQ(plain.substr(0x420, payload.size()), payload);
  EXPECT_EQ(le(plain, 0x408, 8), head_digest(payload, table_end, 0, 0));
  EXPECT_NE(le(plain, 0x408, 8), le(exe, 0x408, 8));

  // One content byte more or less changes the key, and with it the digest; the same content
  // gives the same key.
  spit(app / "x.txt", "hellO");
  ASSERT_EQ(pack({"exe", app, "--main", "app.dll", "-o", root / "d.exe", "--cache",
                  "--launcher-dir", root / "kit"}).code, 0);
  const std::string other = slurp(root / "d.exe");
  const std::string other_payload = other.substr(0x420, le(other, 0x400, 8));
  EXPECT_NE(le(other, 0x418, 8), key);
  EXPECT_EQ(le(other, 0x418, 8), fnv_prefix(other_payload, other_payload.size()));
  EXPECT_EQ(le(other, 0x408, 8),
            head_digest(other_payload, table_end, 1, le(other, 0x418, 8),
                        other.substr(0x420 + other_payload.size(), files.size())));

  const std::string other_key =
      "the content key recorded beside the payload does not match the payload (its cache "
      "directory would hold another one)";
  const std::string unknown = "the run flags beside the payload hold unknown bits";
  const std::string stray_key =
      "a content key is recorded beside the payload, but the run flags do not ask for the "
      "cached mode";
  struct Row {
    const char* what;
    const std::string* image;
    size_t at;
    uint64_t value;
    std::string err;
  } rows[] = {
      {"a key of other content", &exe, 0x418, key ^ 1, other_key},
      {"an unknown flag", &exe, 0x410, 9, unknown},
      {"the top flag", &exe, 0x410, 1ull << 63, unknown},
      {"cached: the cache bit cleared", &exe, 0x410, 0, stray_key},
      {"cached: the length 8 short", &exe, 0x400, payload.size() - 8, other_key},
      {"ordinary: the cache bit set", &plain, 0x410, 1, other_key},
      {"ordinary: an unknown bit", &plain, 0x410, 1ull << 9, unknown},
      {"ordinary: a key bit", &plain, 0x418, 1ull << 37, stray_key},
      {"ordinary: the length 8 short", &plain, 0x400, payload.size() - 8,
       "the array is " + std::to_string(payload.size() - 8) + " bytes, but its header, table (" +
           std::to_string(table_end - 16) + ") and stream (" + std::to_string(le(payload, 8, 8)) +
           ") with padding and trailer make " + std::to_string(payload.size())},
      {"ordinary: a digest bit", &plain, 0x408, le(plain, 0x408, 8) ^ (1ull << 50),
       "the digest of the header and table does not match the one recorded beside the payload "
       "(the table or its sizes are damaged)"},
      {"cached: a file digest bit", &exe, 0x420 + payload.size() + 16,
       le(exe, 0x420 + payload.size() + 16, 8) ^ 4,
       "the digest of the header and table does not match the one recorded beside the payload "
       "(the table or its sizes are damaged)"},
      {"cached: a count past the section", &exe, 0x420 + payload.size(), 1ull << 40,
       "the file digests after the payload run past its section"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string changed = *row.image;
    le_write_u64(reinterpret_cast<unsigned char*>(&changed[row.at]), row.value);
    spit(root / "v.exe", changed);
    r = pack({"verify", root / "v.exe"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "v.exe").string() + "': " + row.err + "\n");
  }
  // A file digest that does not match its content, sealed anew: named by its entry.
  std::string changed = exe;
  std::string wrong = files;
  wrong[8 + 8 + 3] ^= 1;
  changed.replace(0x420 + payload.size(), wrong.size(), wrong);
  le_write_u64(reinterpret_cast<unsigned char*>(&changed[0x408]),
               head_digest(payload, table_end, 1, key, wrong));
  spit(root / "v.exe", changed);
  r = pack({"verify", root / "v.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "v.exe").string() +
                       "': the file digest recorded for entry 2 does not match its content\n");
}

// --extract-to: a settings block after the array (after the file digests when cached), the
// settings flag, all sealed by the digest; list shows it, verify checks it; a template the
// launcher could not use is a usage error, a damaged block names what is wrong.
TEST_F(Pack, ExtractToIsRecordedSealedListedAndVerified) {
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  const std::string payload = slurp(root / "p");
  const size_t table_end = 16 + le(payload, 0, 8);
  // "{EXE_DIR}\run" in UTF-16: 26 bytes, padded to 32.
  std::string block(8 + 8 + 32, '\0');
  block[0] = 40;
  block[8] = 1;
  block[12] = 26;
  const std::string text = "{EXE_DIR}\\run";
  for (size_t i = 0; i < text.size(); i++) block[16 + 2 * i] = text[i];
  for (bool cached : {false, true}) {
    SCOPED_TRACE(cached ? "cached" : "ordinary");
    std::vector<std::string> args = {"exe", app, "--main", "app.dll", "-o", root / "e.exe",
                                     "--extract-to", text, "--launcher-dir", root / "kit"};
    if (cached) args.push_back("--cache");
    PackRun r = pack(args);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string exe = slurp(root / "e.exe");
    const uint64_t flags = cached ? 5 : 4;
    const uint64_t key = cached ? fnv_prefix(payload, payload.size()) : 0;
    const size_t digests = cached ? 8 + 8 * 1 : 0;
    EXPECT_EQ(le(exe, 0x410, 8), flags);
    EXPECT_EQ(exe.substr(0x420 + payload.size() + digests, block.size()), block);
    EXPECT_EQ(le(exe, 0x408, 8),
              head_digest(payload, table_end, flags, key,
                          exe.substr(0x420 + payload.size(), digests + block.size())));
    r = pack({"list", root / "e.exe"});
    EXPECT_NE(r.out.find("\nextract to: {EXE_DIR}\\run\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("{CACHE_DIR}"), std::string::npos) << r.out;
    if (cached) {
      EXPECT_NE(r.out.find(" ({EXE_DIR}\\run\\zobrin-onefile\\NAME-PLACE-"), std::string::npos);
    }
    EXPECT_EQ(pack({"verify", root / "e.exe"}).code, 0);
  }

  // Damage to the ordinary one (the block right after the array).
  ASSERT_EQ(pack({"exe", app, "--main", "app.dll", "-o", root / "e.exe", "--extract-to", text,
                  "--launcher-dir", root / "kit"}).code, 0);
  const std::string plain = slurp(root / "e.exe");
  const size_t at = 0x420 + payload.size();
  const std::string mismatch =
      "the digest of the header and table does not match the one recorded beside the payload "
      "(the table or its sizes are damaged)";
  struct Row {
    const char* what;
    const std::string* image;
    size_t offset;
    std::string bytes;
    bool reseal;
    std::string err;
  } rows[] = {
      {"the flag cleared", &plain, 0x410, std::string(1, '\0'), false, mismatch},
      {"a letter changed", &plain, at + 18, "X", false, mismatch},
      {"the length past the section", &plain, at + 1, std::string(1, '\7'), false,
       "the settings after the payload run past its section"},
      {"an unknown kind", &plain, at + 8, std::string(1, 'c'), true,
       "the settings after the payload are malformed (a record runs past them, or a kind is "
       "unknown or repeated)"},
      {"a record past the block", &plain, at + 12, std::string(1, '\x40'), true,
       "the settings after the payload are malformed (a record runs past them, or a kind is "
       "unknown or repeated)"},
      {"a relative folder", &plain, at + 16, "r", true,
       "the extraction folder recorded beside the payload cannot be used (--extract-to "
       "'rEXE_DIR}\\run' has a '}' without its '{')"},
      {"padding not zero", &plain, at + 16 + 30, "x", true,
       "the settings after the payload are not laid out as the packer writes them (padding "
       "that is not zero, or records out of order)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::string changed = *row.image;
    changed.replace(row.offset, row.bytes.size(), row.bytes);
    if (row.reseal) {
      le_write_u64(reinterpret_cast<unsigned char*>(&changed[0x408]),
                   head_digest(payload, table_end, 4, 0, changed.substr(at, block.size())));
    }
    spit(root / "v.exe", changed);
    PackRun r = pack({"verify", root / "v.exe"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "v.exe").string() + "': " + row.err + "\n");
  }

  const std::string may = "; it may name {TEMP}, {CACHE_DIR}, {HOME} or {EXE_DIR}";
  struct Usage {
    std::string value;
    std::string message;
  } usages[] = {
      {"", "--extract-to needs a folder"},
      {"run", "--extract-to 'run' is not absolute: start it with {TEMP}, {CACHE_DIR}, {HOME} or "
              "{EXE_DIR}, a drive (C:\\) or \\\\server"},
      {"{PROGRAM_DIR}\\x", "--extract-to '{PROGRAM_DIR}\\x' names '{PROGRAM_DIR}'" + may},
      {"{TEMP", "--extract-to '{TEMP' has a '{' without its '}'"},
      {"C:\\a|b", "--extract-to 'C:\\a|b' holds a character Windows does not allow in a path"},
      {"C:\\" + std::string(1024, 'x'), "--extract-to is longer than 1024 UTF-16 units"},
  };
  for (const Usage& row : usages) {
    SCOPED_TRACE(row.value);
    PackRun r = pack({"exe", app, "--main", "app.dll", "-o", root / "u.exe", "--extract-to",
                      row.value, "--launcher-dir", root / "kit"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "zobrin-pack: error: " + row.message);
    EXPECT_FALSE(fs::exists(root / "u.exe"));
  }
  // Case does not matter, as at run time.
  EXPECT_EQ(pack({"exe", app, "--main", "app.dll", "-o", root / "u.exe", "--extract-to",
                  "{temp}\\Allowed", "--launcher-dir", root / "kit"}).code, 0);
}

// The launcher of a kit that reads the setting kinds up to `kinds` (the marker in a gap of the
// image, as a real launcher carries it in its data).
std::vector<unsigned char> marked_launcher(uint32_t kinds) {
  std::vector<unsigned char> image = pe_build(launcher_spec());
  const std::string marker = ZB_SETTINGS_MARKER + std::to_string(kinds);
  std::copy(marker.begin(), marker.end(), image.begin() + 0x300);
  return image;
}

// The application's fixed arguments, variables and working folder: recorded (no other
// character refused), listed, verified; each text that could not be used a usage error; a
// recorded one damaged and sealed again refused by verify; a kit whose launcher cannot read a
// record refused (a launcher without the marker reads kinds 1 and 2 only).
TEST_F(Pack, ApplicationSettingsAreRecordedListedVerifiedAndRefused) {
  spit(root / "kit" / "launcher.exe", marked_launcher(ZB_SETTING_KINDS));
  const std::vector<std::string> given = {
      "--arg", "{APP_DIR}\\a b", "--arg", "", "--arg", "-\xC3\xA9 \"q\" {{x}}", "--env",
      "Gone=", "--env", "A=x;{HOME}", "--env-prepend", "PATH={APP_DIR}\\bin", "--cwd",
      "{app_dir}\\data"};
  std::vector<std::string> args = {"exe", app, "--main", "app.dll", "-o", root / "e.exe",
                                   "--launcher-dir", root / "kit"};
  args.insert(args.end(), given.begin(), given.end());
  PackRun r = pack(args);
  ASSERT_EQ(r.code, 0) << r.err;
  r = pack({"list", root / "e.exe"});
  EXPECT_NE(r.out.find("\narg: {APP_DIR}\\a b\narg: \narg: -\xC3\xA9 \"q\" {{x}}\nenv: Gone=\n"
                       "env: A=x;{HOME}\nenv-prepend: PATH={APP_DIR}\\bin\ncwd: {app_dir}\\data\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(pack({"verify", root / "e.exe"}).code, 0);

  // The working folder's "{app_dir}" made "{app_dix}", the digest sealed again.
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  const std::string payload = slurp(root / "p");
  std::string exe = slurp(root / "e.exe");
  const size_t block = 0x420 + payload.size();
  const std::string cwd_units = std::string("d\0i\0r\0}\0\\\0d\0a\0t\0a\0", 18);
  size_t at = exe.find(cwd_units, block);
  ASSERT_NE(at, std::string::npos);
  exe[at + 4] = 'x';
  le_write_u64(reinterpret_cast<unsigned char*>(&exe[0x408]),
               head_digest(payload, 16 + le(payload, 0, 8), 4, 0,
                           exe.substr(block, 8 + le(exe, block, 8))));
  spit(root / "v.exe", exe);
  r = pack({"verify", root / "v.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "v.exe").string() +
                       "': the working folder recorded beside the payload cannot be used (--cwd "
                       "'{app_dix}\\data' names '{app_dix}'; it may name {APP_DIR}, {EXE_DIR}, "
                       "{TEMP}, {CACHE_DIR} or {HOME} ({{ and }} stand for braces))\n");

  const std::string may =
      "; it may name {APP_DIR}, {EXE_DIR}, {TEMP}, {CACHE_DIR} or {HOME} ({{ and }} stand for "
      "braces)";
  struct Refusal {
    std::vector<std::string> options;
    int code;
    std::string message;
    uint32_t kinds = ZB_SETTING_KINDS;  // of the kit's launcher; 0: without the marker
  } refusals[] = {
      {{"--env", "PATH"}, 2, "--env 'PATH' is not NAME=VALUE"},
      {{"--env", "=C:=C:\\x"}, 2, "--env '=C:=C:\\x' is not NAME=VALUE"},
      {{"--env", "zobrin_onefile_parent=1"}, 2,
       "--env 'zobrin_onefile_parent=1' sets a variable of the launcher's own "
       "(ZOBRIN_ONEFILE_*, ZOBRIN_ORIGINAL_ARGV0)"},
      {{"--env-prepend", "ZOBRIN_ORIGINAL_ARGV0=x"}, 2,
       "--env-prepend 'ZOBRIN_ORIGINAL_ARGV0=x' sets a variable of the launcher's own "
       "(ZOBRIN_ONEFILE_*, ZOBRIN_ORIGINAL_ARGV0)"},
      {{"--env", "Path=a", "--env-prepend", "PATH=b"}, 2,
       "--env-prepend 'PATH=b' sets 'PATH' again, after 'Path' (Windows takes names that differ "
       "only in case for one)"},
      {{"--env", "\xC3\xA9=1", "--env", "\xC3\x89=2"}, 2,
       "--env '\xC3\x89=2' sets '\xC3\x89' again, after '\xC3\xA9' (Windows takes names that "
       "differ only in case for one)"},
      {{"--env-prepend", "PATH="}, 2, "--env-prepend 'PATH=' has no value to put in front"},
      {{"--arg", "{PROGRAM_DIR}"}, 2, "--arg '{PROGRAM_DIR}' names '{PROGRAM_DIR}'" + may},
      {{"--env", "A={APP_DIR"}, 2, "--env 'A={APP_DIR' has a '{' without its '}' (write {{ for a brace)"},
      {{"--arg", "a}b"}, 2, "--arg 'a}b' has a '}' without its '{' (write }} for a brace)"},
      {{"--cwd", "data"}, 2,
       "--cwd 'data' is not absolute: start it with {APP_DIR}, {EXE_DIR}, {TEMP}, {CACHE_DIR} or "
       "{HOME}, a drive (C:\\) or \\\\server"},
      {{"--cwd="}, 2, "--cwd needs a folder"},
      {{"--arg", std::string(32768, 'x')}, 2,
       "--arg: the fixed arguments are longer than 32767 UTF-16 units together"},
      {{"--arg", "x"}, 1,
       "the launcher '" + (root / "kit" / "launcher.exe").string() +
           "' is too old for --arg: it reads settings up to kind 2, --arg needs kind 3 (use the "
           "launcher kit of this zobrin-pack)",
       0},
      {{"--extract-to", "{TEMP}\\x", "--env", "A=1"}, 1,
       "the launcher '" + (root / "kit" / "launcher.exe").string() +
           "' is too old for --env: it reads settings up to kind 3, --env needs kind 4 (use the "
           "launcher kit of this zobrin-pack)",
       3},
  };
  for (const Refusal& row : refusals) {
    SCOPED_TRACE(row.message);
    spit(root / "kit" / "launcher.exe",
         row.kinds ? marked_launcher(row.kinds) : pe_build(launcher_spec()));
    std::vector<std::string> command = {"exe", app, "--main", "app.dll", "-o", root / "u.exe",
                                        "--launcher-dir", root / "kit"};
    command.insert(command.end(), row.options.begin(), row.options.end());
    r = pack(command);
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "zobrin-pack: error: " + row.message);
    EXPECT_FALSE(fs::exists(root / "u.exe"));
  }
  // What a launcher without the marker reads packs with it.
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  EXPECT_EQ(pack({"exe", app, "--main", "app.dll", "-o", root / "u.exe", "--launcher-dir",
                  root / "kit", "--extract-to", "{TEMP}\\x"}).code,
            0);
}

// A main program: the program flag beside the payload (also for --payload, from its first
// entry), the launcher's subsystem following the program's unless --console or --windowed
// says otherwise, list and verify naming it; verify refuses the flag on a DLL.
TEST_F(Pack, MainProgramSetsTheProgramFlagAndTheSubsystemFollowsIt) {
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  PeSpec console;
  console.dll = false;
  console.exports.clear();
  console.subsystem = 3;
  PeSpec windowed_i386 = console;
  windowed_i386.machine = 0x14C;
  windowed_i386.pe32_plus = false;
  windowed_i386.subsystem = 2;
  const std::string console_text = "program (console, x86-64)";
  struct Row {
    const char* what;
    const PeSpec* spec;
    std::vector<std::string> options;
    uint64_t flags;
    uint64_t subsystem;
    std::string main;
  } rows[] = {
      {"console", &console, {}, 2, 3, console_text},
      {"console, --windowed", &console, {"--windowed"}, 2, 2, console_text},
      {"console, cached", &console, {"--cache"}, 3, 3, console_text},
      {"windowed i386", &windowed_i386, {}, 2, 2, "program (windowed, i386)"},
      {"windowed i386, --console", &windowed_i386, {"--console"}, 2, 3, "program (windowed, i386)"},
      {"console, from a payload file", &console, {"--payload"}, 2, 3, console_text},
  };
  const fs::path exe = root / "t.exe";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(app);
    spit(app / "x.txt", "hello");
    spit(app / "tool.exe", pe_build(*row.spec));
    std::vector<std::string> args = {"exe", app, "--main", "tool.exe"};
    if (!row.options.empty() && row.options[0] == "--payload") {
      ASSERT_EQ(pack({"payload", app, "--main", "tool.exe", "-o", root / "p"}).code, 0);
      args = {"exe", "--payload", root / "p"};
    } else {
      args.insert(args.end(), row.options.begin(), row.options.end());
    }
    args.insert(args.end(), {"-o", exe, "--launcher-dir", root / "kit"});
    PackRun r = pack(args);
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string image = slurp(exe);
    EXPECT_EQ(le(image, 0x410, 8), row.flags) << "run flags";
    EXPECT_EQ(le(image, 0x58 + 68, 2), row.subsystem) << "subsystem";
    r = pack({"list", exe});
    EXPECT_NE(r.out.find("\nmain: " + row.main + "\n"), std::string::npos) << r.out;
    r = pack({"verify", exe});
    EXPECT_EQ(r.out, "zobrin-pack: " + exe.string() + ": 2 files, " +
                         std::to_string(fs::file_size(app / "tool.exe") + 5) +
                         " bytes, whole; main: " + row.main + "\n");
  }

  fs::remove_all(app);
  spit(app / "app.dll", pe_build(PeSpec()));
  ASSERT_EQ(pack({"exe", app, "--main", "app.dll", "-o", exe, "--launcher-dir", root / "kit"}).code,
            0);
  std::string image = slurp(exe);
  EXPECT_EQ(le(image, 0x410, 8), 0u);
  EXPECT_EQ(le(image, 0x58 + 68, 2), 2u) << "a DLL's launcher stays a GUI program";
  const std::string array = image.substr(0x420, le(image, 0x400, 8));
  le_write_u64(reinterpret_cast<unsigned char*>(&image[0x410]), 2);
  le_write_u64(reinterpret_cast<unsigned char*>(&image[0x408]),
               head_digest(array, 16 + le(array, 0, 8), 2, 0));
  spit(exe, image);
  PackRun r = pack({"verify", exe});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + exe.string() + "': the run flags start the main "
                   "entry 'app.dll' as a program, but it is a DLL, not a program: a main DLL is "
                   "named NAME.dll and exports run_code\n");
}

TEST_F(Pack, NameLimitsFollowThePayloadAndTheLauncherPathBuffer) {
  struct Row {
    size_t units;
    bool ok;
    const char* reason;
  } rows[] = {{4063, true, ""},
              {4064, false, "its path cannot fit 4096 units, so names hold at most 4063"},
              {4095, false, "its path cannot fit"},
              {4096, false, "a payload name holds at most 4095"}};
  for (const Row& row : rows) {
    std::string error;
    bool ok = true;
    try {
      app_check_name(std::u16string(row.units, u'n'), "source");
    } catch (const PackError& e) {
      ok = false;
      error = e.what();
    }
    EXPECT_EQ(ok, row.ok) << row.units;
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
  }
}

TEST_F(Pack, LongRelativeNameThatCanNeverFitIsRefused) {
  // 4070 units of relative name: beyond the launcher's limit, still within Linux's PATH_MAX
  // when packed from inside the directory.
  fs::path relative;
  for (int i = 0; i < 20; i++) relative /= std::string(200, static_cast<char>('a' + i));
  fs::create_directories(app / relative);
  std::string last(4070 - relative.string().size() - 1, 'f');
  ASSERT_EQ(::chdir((app / relative).c_str()), 0);
  std::ofstream(last, std::ios::binary) << "x";
  ASSERT_EQ(::chdir(root.c_str()), 0);
  PackRun r = pack({"payload", ".", "--main", "app.dll", "-o", (root / "p").string()}, app);
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("zobrin-pack: error: name 'aaaa"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("is 4070 UTF-16 units long; even below the shortest payload directory (31 "
                       "units) its path cannot fit 4096 units, so names hold at most 4063"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(root / "p"));
}

TEST_F(Pack, BadInputIsOneLineNonZeroExitAndNoOutput) {
  struct Row {
    const char* what;
    std::function<void()> prepare;
    std::vector<std::string> args;
    std::string err;  // after "zobrin-pack: error: "
    bool nobody;
  };
  const std::string a = app.string();
  const std::string out = (root / "out" / "p").string();
  PeSpec x86;
  x86.machine = 0x14C;
  x86.pe32_plus = false;
  PeSpec exe;
  exe.dll = false;
  PeSpec no_export;
  no_export.exports = {"other", "run_code_"};
  PeSpec arm64_exe = exe;
  arm64_exe.machine = 0xAA64;
  PeSpec x86_plus = exe;
  x86_plus.machine = 0x14C;
  PeSpec native = exe;
  native.subsystem = 1;
  const std::string kit = (root / "kit").string();
  const std::vector<std::string> exe_args = {"exe", a, "--main", "app.dll", "-o", out,
                                             "--launcher-dir", kit};
  std::vector<Row> rows = {
      {"missing directory", [] {}, {"payload", a + "/nope", "--main", "app.dll", "-o", out},
       "application directory '" + a + "/nope' does not exist", false},
      {"directory is a file", [] {}, {"payload", a + "/app.dll", "--main", "app.dll", "-o", out},
       "'" + a + "/app.dll' is not a directory", false},
      {"main not there", [] {}, {"payload", a, "--main", "other.dll", "-o", out},
       "main DLL 'other.dll' is not a file in '" + a + "'", false},
      {"main in a missing folder", [] {}, {"payload", a, "--main", "sub/app.dll", "-o", out},
       "main DLL 'sub/app.dll' is not a file in '" + a + "' (it has no folder 'sub')", false},
      {"main leaves the directory", [] {}, {"exe", a, "--main", "..\\x.exe", "-o", out},
       "--main '..\\x.exe' is not inside the application directory '" + a + "'", false},
      {"main absolute", [] {}, {"payload", a, "--main", "/bin/x.dll", "-o", out},
       "--main '/bin/x.dll' is not inside the application directory '" + a + "'", false},
      {"main is a directory", [&] { spit(app / "bin" / "x.txt", "x"); },
       {"exe", a, "--main", "BIN/", "-o", out},
       "--main 'BIN/' names a directory in '" + a + "', not a file", false},
      {"program not in its folder", [&] { spit(app / "Bin" / "other.exe", pe_build(exe)); },
       {"exe", a, "--main", "bin\\lua.exe", "-o", out},
       "main program 'bin\\lua.exe' is not a file in '" + a + "/Bin' (its programs: 'other.exe')",
       false},
      {"main not PE", [&] { spit(app / "app.dll", "MZ but nothing else"); },
       {"payload", a, "--main", "app.dll", "-o", out},
       "main DLL '" + a + "/app.dll' is not a PE file", false},
      {"main 32-bit", [&] { spit(app / "app.dll", pe_build(x86)); },
       {"payload", a, "--main", "app.dll", "-o", out},
       "main DLL '" + a + "/app.dll' is built for i386 (32-bit x86), not x86-64: the launcher is a "
       "64-bit x86-64 program and loads only x86-64 DLLs", false},
      {"main cut short",
       [&] {
         std::vector<unsigned char> image = pe_build(PeSpec());
         image.resize(image.size() - 1);
         spit(app / "app.dll", image);
       },
       {"payload", a, "--main", "app.dll", "-o", out},
       "main DLL '" + a + "/app.dll' is cut short: its section '.edata' ends past the end of the "
       "file", false},
      {"main not a DLL", [&] { spit(app / "app.dll", pe_build(exe)); },
       {"payload", a, "--main", "app.dll", "-o", out}, "main DLL '" + a + "/app.dll' is not a DLL",
       false},
      {"name of neither kind", [&] { spit(app / "ninja.exe", pe_build(exe)); },
       {"exe", a, "--main", "ninja", "-o", out},
       "main DLL 'ninja' is not a file in '" + a + "' (its DLLs: 'app.dll'; its programs: "
       "'ninja.exe')\n", false},
      {"DLL without run_code beside a program",
       [&] {
         spit(app / "bin" / "lua54.dll", pe_build(no_export));
         spit(app / "bin" / "lua.exe", pe_build(exe));
       },
       {"exe", a, "--main", "bin/lua54.dll", "-o", out},
       "main DLL '" + a + "/bin/lua54.dll' does not export 'run_code'; to start the program of "
       "its folder instead, give --main 'bin/lua.exe'\n", false},
      {"program not there", [] {}, {"payload", a, "--main", "other.exe", "-o", out},
       "main program 'other.exe' is not a file in '" + a + "' (it holds no programs)", false},
      {"program not PE", [&] { spit(app / "app.exe", "MZ but nothing else"); },
       {"payload", a, "--main", "app.exe", "-o", out},
       "main program '" + a + "/app.exe' is not a PE file", false},
      {"program for arm64", [&] { spit(app / "app.exe", pe_build(arm64_exe)); },
       {"exe", a, "--main", "app.exe", "-o", out},
       "main program '" + a + "/app.exe' is built for arm64, not x86-64 or i386: the launcher is "
       "an x86-64 program and starts only x86-64 programs and i386 ones (under WoW64)", false},
      {"DLL named as a program", [&] { spit(app / "app.exe", pe_build(PeSpec())); },
       {"exe", a, "--main", "app.exe", "-o", out},
       "main program '" + a + "/app.exe' is a DLL, not a program: a main DLL is named NAME.dll "
       "and exports run_code", false},
      {"i386 program with a PE32+ header", [&] { spit(app / "app.exe", pe_build(x86_plus)); },
       {"exe", a, "--main", "app.exe", "-o", out},
       "main program '" + a + "/app.exe' is not a 32-bit (i386) PE image", false},
      {"native program", [&] { spit(app / "tool", pe_build(native)); },
       {"exe", a, "--main", "tool", "-o", out},
       "main program '" + a + "/tool' is not a console or windowed Windows program (its "
       "subsystem is 1)", false},
      {"no run_code", [&] { spit(app / "app.dll", pe_build(no_export)); },
       {"object", a, "--main", "app.dll", "-o", out},
       "main DLL '" + a + "/app.dll' does not export 'run_code'", false},
      {"unreadable file",
       [&] {
         spit(app / "secret.txt", "s");
         chmod((app / "secret.txt").c_str(), 0);
       },
       {"payload", a, "--main", "app.dll", "-o", out},
       "cannot read '" + a + "/secret.txt': Permission denied", true},
      {"unreadable directory",
       [&] {
         fs::create_directories(app / "locked");
         spit(app / "locked" / "f", "f");
         chmod((app / "locked").c_str(), 0);
       },
       {"payload", a, "--main", "app.dll", "-o", out},
       "cannot read directory '" + a + "/locked': Permission denied", true},
      {"name Windows cannot hold", [&] { spit(app / "a:b.txt", "x"); },
       {"payload", a, "--main", "app.dll", "-o", out},
       "file name '" + a + "/a:b.txt' holds a character that Windows file names cannot (one of \\ / "
       ": * ? \" < > | or a control character)",
       false},
      {"name not UTF-8", [&] { spit(app / "\xff.txt", "x"); },
       {"payload", a, "--main", "app.dll", "-o", out},
       "file name '" + a + "/\xff.txt' is not valid UTF-8", false},
      {"broken link", [&] { fs::create_symlink(root / "gone", app / "dangling"); },
       {"payload", a, "--main", "app.dll", "-o", out}, "broken symbolic link '" + a + "/dangling'",
       false},
      {"link loop",
       [&] {
         spit(app / "sub" / "f", "f");
         fs::create_directory_symlink(app, app / "sub" / "up");
       },
       {"payload", a, "--main", "app.dll", "-o", out},
       "symbolic link loop: '" + a + "/sub/up' leads back to a directory above it", false},
      {"launcher missing", [] {}, {"exe", a, "--main", "app.dll", "-o", out, "--launcher-dir", kit},
       "the launcher is not built: '" + kit + "/launcher.exe' is missing (use --launcher-dir DIR)",
       false},
      {"launcher not PE", [&] { spit(kit + "/launcher.exe", "MZ"); }, exe_args,
       "the launcher '" + kit + "/launcher.exe' cannot take a payload: not a PE file", false},
      {"launcher a DLL",
       [&] {
         PeSpec dll = launcher_spec();
         dll.dll = true;
         spit(kit + "/launcher.exe", pe_build(dll));
       },
       exe_args, "the launcher '" + kit + "/launcher.exe' cannot take a payload: not an executable",
       false},
      {"payload section not last",
       [&] {
         PeSpec other = launcher_spec();
         other.section_name = ".data";
         spit(kit + "/launcher.exe", pe_build(other));
       },
       exe_args,
       "the launcher '" + kit + "/launcher.exe' cannot take a payload: its last section is not "
       "'.zobrin'",
       false},
      {"data after the payload section",
       [&] {
         std::vector<unsigned char> image = pe_build(launcher_spec());
         image.resize(image.size() + 8, 'x');
         spit(kit + "/launcher.exe", image);
       },
       exe_args,
       "the launcher '" + kit + "/launcher.exe' cannot take a payload: section '.zobrin' does not "
       "end the file",
       false},
      {"signed launcher",
       [&] {
         std::vector<unsigned char> image = pe_build(launcher_spec());
         image[0x58 + 112 + 8 * 4 + 4] = 0x10;  // certificate directory size
         spit(kit + "/launcher.exe", image);
       },
       exe_args, "the launcher '" + kit + "/launcher.exe' cannot take a payload: it is signed",
       false},
      {"linker not there",
       [&] {
         for (const char* name : {"launcher.res.o", "libzobrin_entry.a", "libzobrin_launcher.a",
                                  "libzstd.a", "ucrt.specs", "payload-last.ld", "launcher.link"}) {
           spit(kit + "/" + name, "");
         }
       },
       {"exe", a, "--main", "app.dll", "-o", out, "--launcher-dir", kit, "--linker",
        "/nonexistent/ld"},
       "cannot run the linker '/nonexistent/ld'", false},
      {"output directory missing", [] {},
       {"payload", a, "--main", "app.dll", "-o", (root / "none" / "p").string()},
       "cannot create '" + (root / "none" / "p").string() + "': No such file or directory", false},
      {"list of a directory", [] {}, {"list", a}, "cannot read '" + a + "': Is a directory", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(app);
    fs::remove_all(root / "out");
    fs::remove_all(root / "kit");
    fs::create_directories(root / "kit");
    spit(app / "app.dll", pe_build(PeSpec()));
    fs::create_directories(root / "out");
    chmod((root / "out").c_str(), 0777);
    chmod(app.c_str(), 0777);
    spit(root / "out" / "p", "previous output");
    row.prepare();
    PackRun r = pack(row.args, {}, row.nobody);
    EXPECT_EQ(r.code, 1);
    std::string expected = "zobrin-pack: error: " + row.err;
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(files_in(root / "out"), std::vector<std::string>{"p"}) << "no partial output";
    EXPECT_EQ(slurp(root / "out" / "p"), "previous output");
    chmod((app / "locked").c_str(), 0755);
  }
}

TEST_F(Pack, UsageErrorsExitWith2) {
  struct Row {
    std::vector<std::string> args;
    std::string first_line;
  } rows[] = {
      {{}, "zobrin-pack: error: no command given"},
      {{"pack"}, "zobrin-pack: error: unknown command 'pack'"},
      {{"payload", "dir", "--main", "a.dll"}, "zobrin-pack: error: payload needs -o FILE"},
      {{"payload", "dir", "-o", "x"},
       "zobrin-pack: error: --main NAME.dll or --main NAME.exe is required: no DLL exports "
       "run_code and no program is at the top of the application directory"},
      {{"launcher"}, "zobrin-pack: error: launcher needs -o FILE"},
      {{"launcher", "dir", "-o", "x"}, "zobrin-pack: error: launcher takes no application or payload"},
      {{"payload", "--payload", "f", "-o", "x"},
       "zobrin-pack: error: --payload is only for the object and exe commands"},
      {{"object", "dir", "--payload", "f", "-o", "x"},
       "zobrin-pack: error: give either APP_DIR --main NAME.dll or --payload FILE, not both"},
      {{"payload", "dir", "--main", "a.dll", "-o", "x", "--level", "23"},
       "zobrin-pack: error: --level takes a number from 1 to 22"},
      {{"payload", "dir", "--main", "a.dll", "-o", "x", "--threads", "-1"},
       "zobrin-pack: error: --threads takes a number from 0 to 256"},
      {{"payload", "dir", "--main"}, "zobrin-pack: error: --main needs a value"},
      {{"list"}, "zobrin-pack: error: list needs a payload or executable file"},
      {{"exe", "dir", "--main", "a.exe", "-o", "x", "--console", "--windowed"},
       "zobrin-pack: error: give either --console or --windowed, not both"},
  };
  for (const Row& row : rows) {
    PackRun r = pack(row.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), row.first_line);
    EXPECT_NE(r.err.find("Usage: zobrin-pack"), std::string::npos);
  }
}

TEST_F(Pack, SymbolicLinksAreFollowedAndEmptyDirectoriesWarned) {
  spit(root / "outside" / "target.txt", "target bytes");
  spit(root / "outside_dir" / "in.txt", "in");
  fs::create_symlink(root / "outside" / "target.txt", app / "link.txt");
  fs::create_directory_symlink(root / "outside_dir", app / "linked_dir");
  fs::create_directories(app / "empty" / "nested_empty");
  PackRun r = pack({"payload", app, "--main", "app.dll", "-o", root / "p"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "zobrin-pack: warning: empty directory '" + app.string() +
                       "/empty/nested_empty' is not carried (a directory exists only through its files)\n");
  Payload p = parse(slurp(root / "p"));
  ASSERT_EQ(p.entries.size(), 3u);
  EXPECT_EQ(p.entries[1].name, u"link.txt");
  EXPECT_EQ(p.entries[2].name, u"linked_dir\\in.txt");
  EXPECT_EQ(decode(p.frame), slurp(app / "app.dll") + "target bytes" + "in");
  EXPECT_TRUE(fs::is_symlink(app / "link.txt")) << "the tree is left as it was";
}

}  // namespace

namespace {

TEST_F(Pack, HelpOnEveryCommandAndVersionExitZero) {
  struct Row {
    std::vector<std::string> args;
    std::string usage_line;  // empty: the version
  } rows[] = {
      {{"--version"}, ""},
      {{"--help"}, "Usage: zobrin-pack [OPTIONS] SUBCOMMAND"},
      {{"help"}, "Usage: zobrin-pack [OPTIONS] SUBCOMMAND"},
      {{"payload", "--help"}, "Usage: zobrin-pack payload [OPTIONS] [APP_DIR]"},
      {{"object", "-h"}, "Usage: zobrin-pack object [OPTIONS] [APP_DIR]"},
      {{"exe", "dir", "--help"}, "Usage: zobrin-pack exe [OPTIONS] [APP_DIR]"},
      {{"launcher", "--help"}, "Usage: zobrin-pack launcher [OPTIONS]"},
      {{"list", "--help"}, "Usage: zobrin-pack list [OPTIONS] [FILE_OR_EXE]"},
      {{"verify", "--help"}, "Usage: zobrin-pack verify [OPTIONS] [FILE_OR_EXE]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args.front() + " " + row.args.back());
    PackRun r = pack(row.args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    if (row.usage_line.empty()) {
      EXPECT_EQ(r.out, std::string("zobrin-pack ") + ZOBRIN_VERSION + "\n");
    } else {
      EXPECT_NE(r.out.find(row.usage_line + "\n"), std::string::npos) << r.out;
    }
  }
  EXPECT_EQ(files_in(root), std::vector<std::string>{"app"}) << "nothing written";
}

TEST_F(Pack, MoreUsageErrorsNameWhatWasWrong) {
  struct Row {
    std::vector<std::string> args;
    std::string first_line;
  } rows[] = {
      {{"--foo"}, "zobrin-pack: error: unknown option '--foo'"},
      {{"payload", "dir", "--foo"}, "zobrin-pack: error: unknown option '--foo'"},
      {{"payload", "a", "b"}, "zobrin-pack: error: unexpected argument 'b'"},
      {{"launcher", "--main", "a.dll", "-o", "x"},
       "zobrin-pack: error: launcher takes no application or payload"},
      {{"exe", "--main", "a.dll", "--payload", "f", "-o", "x"},
       "zobrin-pack: error: give either APP_DIR --main NAME.dll or --payload FILE, not both"},
      {{"object", "-o", "x"}, "zobrin-pack: error: no application directory given"},
      {{"payload", "d", "--main", "a.dll", "-o", "x", "--level", "0"},
       "zobrin-pack: error: --level takes a number from 1 to 22"},
      {{"payload", "d", "--main", "a.dll", "-o", "x", "--level", "high"},
       "zobrin-pack: error: --level takes a number from 1 to 22"},
      {{"payload", "d", "--main", "a.dll", "-o", "x", "--threads", "257"},
       "zobrin-pack: error: --threads takes a number from 0 to 256"},
      {{"exe", "d", "--main", "a.dll", "-o"}, "zobrin-pack: error: -o needs a value"},
      {{"payload", "d", "--main", "a.dll", "-o", "x", "--frame-size", "65535"},
       "zobrin-pack: error: --frame-size takes 0 or a number from 65536 to 134217728"},
      {{"exe", "d", "--main", "a.dll", "-o", "x", "--frame-size", "134217729"},
       "zobrin-pack: error: --frame-size takes 0 or a number from 65536 to 134217728"},
  };
  for (const Row& row : rows) {
    PackRun r = pack(row.args);
    EXPECT_EQ(r.code, 2) << row.first_line;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), row.first_line);
    EXPECT_NE(r.err.find("Usage: zobrin-pack"), std::string::npos);
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace

namespace {

TEST_F(Pack, NamesWindowsWouldChangeAndOutputsOverInputsAreRefused) {
  struct Row {
    const char* what;
    std::function<void()> prepare;
    std::string err;  // after "zobrin-pack: error: "
    std::vector<std::string> args = {};  // empty: payload APP_DIR --main app.dll -o out/p
  };
  const std::string a = app.string();
  const std::string out = (root / "out" / "p").string();
  const std::string device =
      "' is a Windows device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, "
      "CONOUT$, with any extension)";
  const std::string trailing = "' ends in a dot or a space, which Windows drops from file names";
  std::vector<Row> rows = {
      {"directory with a trailing dot", [&] { spit(app / "dir." / "x", "x"); },
       "file name '" + a + "/dir." + trailing},
      {"CON", [&] { spit(app / "CON", "x"); }, "file name '" + a + "/CON" + device},
      {"nul in lower case", [&] { spit(app / "nul", "x"); }, "file name '" + a + "/nul" + device},
      {"aux.txt", [&] { spit(app / "aux.txt", "x"); }, "file name '" + a + "/aux.txt" + device},
      {"lpt1.log", [&] { spit(app / "sub" / "lpt1.log", "x"); },
       "file name '" + a + "/sub/lpt1.log" + device},
      {"COM9 as a directory", [&] { spit(app / "Com9" / "x", "x"); },
       "file name '" + a + "/Com9" + device},
      {"prn.tar.gz", [&] { spit(app / "prn.tar.gz", "x"); }, "file name '" + a + "/prn.tar.gz" + device},
      {"output is the main DLL", [] {},
       "the output '" + a + "/app.dll' is one of the inputs ('" + a + "/app.dll')",
       {"payload", a, "--main", "app.dll", "-o", a + "/app.dll"}},
      {"output is a linked input",
       [&] { fs::create_symlink(root / "out" / "p", app / "link.txt"); },
       "the output '" + out + "' is one of the inputs ('" + a + "/link.txt')"},
      {"output inside the application directory", [] {},
       "the output '" + a + "/sub/../new.payload' is inside the application directory '" + a + "'",
       {"object", a, "--main", "app.dll", "-o", a + "/sub/../new.payload"}},
      {"output is the payload file", [] {},
       "the output '" + out + "' is one of the inputs ('" + out + "')",
       {"object", "--payload", out, "-o", out}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(app);
    fs::remove_all(root / "out");
    spit(app / "app.dll", pe_build(PeSpec()));
    fs::create_directories(app / "sub");
    spit(root / "out" / "p", "previous output");
    row.prepare();
    std::vector<std::string> files_before = files_in(app);
    std::vector<std::string> args = row.args;
    if (args.empty()) args = {"payload", a, "--main", "app.dll", "-o", out};
    PackRun r = pack(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zobrin-pack: error: " + row.err + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(files_in(root / "out"), std::vector<std::string>{"p"}) << "no partial output";
    EXPECT_EQ(slurp(root / "out" / "p"), "previous output");
    EXPECT_EQ(files_in(app), files_before) << "nothing written into the application";
    std::vector<unsigned char> dll = pe_build(PeSpec());
    EXPECT_EQ(slurp(app / "app.dll"), std::string(dll.begin(), dll.end()));
  }
  // Names that only look alike are carried.
  fs::remove_all(app);
  spit(app / "app.dll", pe_build(PeSpec()));
  for (const char* name : {"console", "COM10", "LPT0.txt", "nul_", "x. y", ".hidden", "read.txt"}) {
    spit(app / name, name);
  }
  PackRun r = pack({"payload", a, "--main", "app.dll", "-o", root / "ok"});
  EXPECT_EQ(r.code, 0) << r.err;
}

}  // namespace

namespace {

// Runs `args` against a fresh application holding `app.dll` and what `prepare` adds, and
// expects the one-line error `err`, exit 1 and no output written.
struct Refusal {
  const char* what;
  std::function<void()> prepare;
  std::string err;  // after "zobrin-pack: error: "
  std::vector<std::string> args = {};  // empty: payload APP_DIR --main app.dll -o out/p
};

TEST_F(Pack, NamesWindowsTakesForOneAndMainDllFaultsAreRefusedByName) {
  const std::string a = app.string();
  const std::string out = (root / "out" / "p").string();
  const std::string same =
      " differ only in case, which Windows ignores: they would land on one file";
  PeSpec mangled;
  mangled.exports = {"other", "_Z8run_codeiPPwPKw"};
  PeSpec msvc;
  msvc.exports = {"?run_code@@YAHHPEAPEA_WPEB_W@Z"};
  PeSpec non_const;  // dll_path without const: the header was included
  non_const.exports = {"_Z8run_codeiPPwPw"};
  PeSpec arm64;
  arm64.machine = 0xAA64;
  PeSpec pe32;
  pe32.pe32_plus = false;
  std::vector<Refusal> rows = {
      {"files", [&] { spit(app / "Read.txt", "R"); spit(app / "read.txt", "r"); },
       "names '" + a + "/Read.txt' and '" + a + "/read.txt'" + same},
      {"directories", [&] { spit(app / "d" / "1", "1"); spit(app / "D" / "2", "2"); },
       "names '" + a + "/D' and '" + a + "/d'" + same},
      {"a file and a directory",
       [&] {
         spit(app / "sub" / "x", "x");
         spit(app / "sub" / "X" / "y", "y");
       },
       "names '" + a + "/sub/X' and '" + a + "/sub/x'" + same},
      {"beside the main DLL", [&] { spit(app / "APP.DLL", "x"); },
       "names '" + a + "/APP.DLL' and '" + a + "/app.dll'" + same},
      {"accented letters",
       [&] {
         spit(app / "sub" / u8"\u00e9t\u00e9", "1");
         spit(app / "sub" / u8"\u00c9T\u00c9", "2");
       },
       "names '" + a + u8"/sub/\u00c9T\u00c9' and '" + a + u8"/sub/\u00e9t\u00e9'" + same},
      {"final sigma", [&] { spit(app / u8"\u03c3", "1"); spit(app / u8"\u03c2", "2"); },
       "names '" + a + u8"/\u03c2' and '" + a + u8"/\u03c3'" + same},
      {"Cyrillic", [&] { spit(app / u8"\u0434", "1"); spit(app / u8"\u0414", "2"); },
       "names '" + a + u8"/\u0414' and '" + a + u8"/\u0434'" + same},
      {"mangled run_code", [&] { spit(app / "app.dll", pe_build(mangled)); },
       "main DLL '" + a + "/app.dll' has run_code exported as `_Z8run_codeiPPwPKw`: declare it "
       "extern \"C\" (see zobrin/app.h)"},
      {"MSVC-mangled run_code", [&] { spit(app / "app.dll", pe_build(msvc)); },
       "main DLL '" + a + "/app.dll' has run_code exported as `?run_code@@YAHHPEAPEA_WPEB_W@Z`: "
       "declare it extern \"C\" (see zobrin/app.h)"},
      {"run_code with other parameters", [&] { spit(app / "app.dll", pe_build(non_const)); },
       "main DLL '" + a + "/app.dll' has run_code exported as `_Z8run_codeiPPwPw`, a C++ function "
       "with other parameters: define it as int run_code(int argc, wchar_t** argv, const "
       "wchar_t* dll_path) (see zobrin/app.h)"},
      {"arm64", [&] { spit(app / "app.dll", pe_build(arm64)); },
       "main DLL '" + a + "/app.dll' is built for arm64, not x86-64: the launcher is a 64-bit "
       "x86-64 program and loads only x86-64 DLLs"},
      {"x86-64 machine, 32-bit header", [&] { spit(app / "app.dll", pe_build(pe32)); },
       "main DLL '" + a + "/app.dll' is not a 64-bit (x86-64) PE image"},
      {"--main not there: the DLLs found are listed",
       [&] {
         spit(app / "Zlib.DLL", "z");
         spit(app / "readme.txt", "r");
         spit(app / "sub" / "deep.dll", "d");
       },
       "main DLL 'other.dll' is not a file in '" + a + "' (its DLLs: 'app.dll', 'Zlib.DLL')",
       {"payload", a, "--main", "other.dll", "-o", out}},
      {"--main in a directory without DLLs",
       [&] {
         fs::remove(app / "app.dll");
         spit(app / "r.txt", "r");
       },
       "main DLL 'app.dll' is not a file in '" + a + "' (it holds no DLLs or programs)"},
  };
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(app);
    fs::remove_all(root / "out");
    spit(app / "app.dll", pe_build(PeSpec()));
    spit(root / "out" / "p", "previous output");
    row.prepare();
    std::vector<std::string> args = row.args;
    if (args.empty()) args = {"payload", a, "--main", "app.dll", "-o", out};
    PackRun r = pack(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zobrin-pack: error: " + row.err + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(files_in(root / "out"), std::vector<std::string>{"p"}) << "no partial output";
    EXPECT_EQ(slurp(root / "out" / "p"), "previous output");
  }
  // Names that only look alike stay apart: a letter whose upper case is two letters (Windows
  // keeps "straße" and "STRASSE" apart), letters with and without an accent.
  fs::remove_all(app);
  spit(app / "App.Dll", pe_build(PeSpec()));
  for (const char* name : {u8"stra\u00dfe", "STRASSE", u8"\u00e9", "e", u8"\u00c5", "A"}) {
    spit(app / name, name);
  }
  PackRun r = pack({"payload", a, "--main", "app.DLL", "-o", root / "ok"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Payload p = parse(slurp(root / "ok"));
  ASSERT_EQ(p.entries.size(), 7u);
  EXPECT_EQ(p.entries[0].name, u"App.Dll")
      << "--main matched without regard to case, the file's own name kept";
}

TEST_F(Pack, ImportsAreFollowedThroughTheApplicationsDllsAndMissingOnesWarnedByName) {
  PeSpec main;
  main.imports = {"KERNEL32.dll", "api-ms-win-crt-runtime-l1-1-0.dll", "libfoo.dll", "missing.dll",
                  "MSVCRT.dll"};
  main.delay_imports = {"delayed.dll", "user32.dll"};
  PeSpec foo;
  foo.exports.clear();
  foo.imports = {"libbar.dll", "app.dll", "ext-ms-win-gdi-draw-l1-1-0.dll", "Missing.DLL"};
  spit(app / "app.dll", pe_build(main));
  spit(app / "LibFoo.DLL", pe_build(foo));
  spit(app / "sub" / "libbar.dll", "only the top directory is where the loader looks");
  PackRun r = pack({"payload", app, "--main", "app.dll", "-o", root / "p"});
  EXPECT_EQ(r.code, 0);
  const std::string tail =
      ", is neither in the application directory nor a Windows system DLL: the application will "
      "not start without it\n";
  EXPECT_EQ(r.err, "zobrin-pack: warning: 'missing.dll', imported by 'app.dll'" + tail +
                       "zobrin-pack: warning: 'delayed.dll', imported by 'app.dll'" + tail +
                       "zobrin-pack: warning: 'libbar.dll', imported by 'LibFoo.DLL'" + tail);
  EXPECT_EQ(r.out.rfind("zobrin-pack: 3 files, ", 0), 0u) << r.out;
  EXPECT_TRUE(fs::exists(root / "p"));

  // Everything there: no warning.
  PeSpec plain;
  plain.exports.clear();
  for (const char* name : {"MISSING.dll", "delayed.dll", "libbar.dll"}) {
    spit(app / name, pe_build(plain));
  }
  r = pack({"payload", app, "--main", "app.dll", "-o", root / "p"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "");
}

// An i386 program's imports are followed as an x86-64 one's, its DLLs checked as i386 ones;
// --strict refuses what is missing.
TEST_F(Pack, AnI386ProgramsImportsAreCheckedAsI386Ones) {
  PeSpec program;
  program.dll = false;
  program.machine = 0x14C;
  program.pe32_plus = false;
  program.imports = {"KERNEL32.dll", "libgcc_s_dw2-1.dll", "libown.dll", "wide.dll"};
  PeSpec own = program;
  own.dll = true;
  own.imports = {"msvcrt.dll", "gone.dll"};
  PeSpec wide;
  wide.exports.clear();
  fs::remove_all(app);
  spit(app / "lua.exe", pe_build(program));
  spit(app / "libown.dll", pe_build(own));
  spit(app / "wide.dll", pe_build(wide));
  const std::string tail =
      ", is neither in the application directory nor a Windows system DLL: the application will "
      "not start without it\n";
  const std::string warnings =
      "'libgcc_s_dw2-1.dll', imported by 'lua.exe'" + tail +
      "zobrin-pack: warning: 'wide.dll', imported by 'lua.exe', is built for x86-64, not i386 as "
      "the main program is: an i386 program loads only i386 DLLs: the application will not "
      "start with it\n"
      "zobrin-pack: warning: 'gone.dll', imported by 'libown.dll'" + tail;
  PackRun r = pack({"payload", app, "--main", "lua.exe", "-o", root / "p"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.err, "zobrin-pack: warning: " + warnings);
  r = pack({"payload", app, "--main", "lua.exe", "-o", root / "p", "--strict"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
            "zobrin-pack: error: 'libgcc_s_dw2-1.dll', imported by 'lua.exe'" + tail);
}

// A main file in a folder, named in any case with either separator: its imports are looked
// for where its loader looks, a program's in its own folder only, a DLL's in its folder, then
// the top.
TEST_F(Pack, AMainFileInAFoldersImportsAreSearchedWhereItsLoaderLooks) {
  PeSpec program;
  program.dll = false;
  program.exports.clear();
  program.subsystem = 3;
  program.imports = {"beside.dll", "top.dll"};
  PeSpec dll;
  dll.imports = program.imports;
  PeSpec plain;
  plain.exports.clear();
  spit(app / "bin" / "tool.exe", pe_build(program));
  spit(app / "bin" / "tool.dll", pe_build(dll));
  spit(app / "bin" / "beside.dll", pe_build(plain));
  spit(app / "top.dll", pe_build(plain));
  const std::string top_missing =
      "zobrin-pack: warning: 'top.dll', imported by 'tool.exe', is neither in the main "
      "program's folder 'bin' nor a Windows system DLL: the application will not start without "
      "it\n";
  for (const auto& row : {std::make_pair("BIN\\Tool.EXE", top_missing),
                          std::make_pair("./bin//tool.dll", std::string())}) {
    SCOPED_TRACE(row.first);
    PackRun r = pack({"payload", app, "--main", row.first, "-o", root / "p"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, row.second);
  }
}

TEST_F(Pack, DamagedDllsOfTheApplicationAndMissingExportsAreWarnedNamingBoth) {
  PeSpec main;
  main.imports = {"libdep.dll"};
  main.import_functions = {"dep_open", "dep_close"};
  spit(app / "app.dll", pe_build(main));
  PeSpec dep;
  dep.exports = {"dep_open", "dep_close"};
  std::vector<unsigned char> cut = pe_build(dep);
  cut.resize(cut.size() - 1);
  dep.exports = {"dep_open"};
  std::vector<unsigned char> lacking = pe_build(dep);
  dep.exports = {"dep_close", "dep_open"};
  std::vector<unsigned char> whole = pe_build(dep);
  const std::string tail = ": the application will not start with it";
  struct Row {
    std::vector<unsigned char> dep;
    std::string warning;  // after "zobrin-pack: warning: "; empty: none
  } rows[] = {
      {{}, "'libdep.dll', imported by 'app.dll', is not a PE file" + tail},
      {cut, "'libdep.dll', imported by 'app.dll', is cut short: its section '.edata' ends past "
            "the end of the file" + tail},
      {lacking, "'libdep.dll' does not export 'dep_close', which 'app.dll' imports from it" + tail},
      {whole, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.warning);
    spit(app / "libdep.dll", row.dep);
    PackRun r = pack({"payload", app, "--main", "app.dll", "-o", root / "p"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, row.warning.empty() ? "" : "zobrin-pack: warning: " + row.warning + "\n");
    r = pack({"payload", app, "--main", "app.dll", "-o", root / "p", "--strict"});
    EXPECT_EQ(r.code, row.warning.empty() ? 0 : 1);
    EXPECT_EQ(r.err, row.warning.empty() ? "" : "zobrin-pack: error: " + row.warning + "\n");
  }
}

// Without --main: the one DLL at the top exporting run_code, else the one program there.
TEST_F(Pack, WithoutMainTheOnlyDllExportingRunCodeOrTheOnlyProgramIsTheMain) {
  PeSpec helper;
  helper.exports = {"helper"};
  PeSpec program;
  program.dll = false;
  const std::vector<unsigned char> app_dll = pe_build(PeSpec()), helper_dll = pe_build(helper),
                                   exe = pe_build(program);
  const std::string out = (root / "p").string();
  const std::string error = "zobrin-pack: error: ";
  struct Row {
    std::vector<std::pair<const char*, const std::vector<unsigned char>*>> files;
    std::string first_line;  // of stdout, or of stderr (exit code 2)
    std::u16string main;     // the first entry when packed
  } rows[] = {
      {{{"app.dll", &app_dll}, {"libhelper.dll", &helper_dll}}, "zobrin-pack: 2 files, ",
       u"app.dll"},
      {{{"app.dll", &app_dll}, {"Other.DLL", &app_dll}},
       error + "--main NAME.dll is required: several DLLs export run_code ('Other.DLL', "
               "'app.dll')", u""},
      {{{"lua.exe", &exe}, {"lua54.dll", &helper_dll}}, "zobrin-pack: 2 files, ", u"lua.exe"},
      {{{"lua.exe", &exe}, {"app.dll", &app_dll}}, "zobrin-pack: 2 files, ", u"app.dll"},
      {{{"lua.exe", &exe}, {"luac.exe", &exe}, {"lua54.dll", &helper_dll}},
       error + "--main NAME.exe is required: no DLL exports run_code and there are several "
               "programs ('lua.exe', 'luac.exe')", u""},
      {{{"bin/lua.exe", &exe}, {"lua54.dll", &helper_dll}},
       error + "--main NAME.dll or --main NAME.exe is required: no DLL exports run_code and no "
               "program is at the top of the application directory", u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.first_line);
    fs::remove_all(app);
    for (const auto& file : row.files) spit(app / file.first, *file.second);
    PackRun r = pack({"payload", app, "-o", out});
    EXPECT_EQ(r.code, row.main.empty() ? 2 : 0) << r.err;
    const std::string& text = row.main.empty() ? r.err : r.out;
    EXPECT_EQ(text.substr(0, row.first_line.size()), row.first_line);
    if (!row.main.empty()) {
      EXPECT_EQ(parse(slurp(out)).entries[0].name, row.main);
    }
  }
}

TEST_F(Pack, AFileChangedAfterItWasReadIsRefused) {
  // The main DLL's import warning comes once the files are listed; a.txt is read soon after
  // and then rewritten in place (same size) while the random z.bin is slowly compressed.
  PeSpec main;
  main.imports = {"missing.dll"};
  spit(app / "app.dll", pe_build(main));
  spit(app / "a.txt", "before");
  std::string random(4 << 20, '\0');
  uint64_t state = 88172645463325252ull;
  for (size_t i = 0; i + 8 <= random.size(); i += 8) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    std::memcpy(&random[i], &state, 8);
  }
  spit(app / "z.bin", random);
  const std::string command = std::string(ZOBRIN_PACK_EXE) + " payload " + shell_quote(app) +
                              " --main app.dll -o " + shell_quote((root / "p").string()) +
                              " --level 19 --threads 1 2>&1 >/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[4096];
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  EXPECT_EQ(std::string(line).rfind("zobrin-pack: warning: 'missing.dll'", 0), 0u) << line;
  usleep(200000);
  spit(app / "a.txt", "after!");
  std::string rest;
  while (fgets(line, sizeof line, pipe)) rest += line;
  int status = pclose(pipe);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_EQ(rest, "zobrin-pack: error: file '" + (app / "a.txt").string() +
                      "' changed while packing\n");
  EXPECT_FALSE(fs::exists(root / "p"));
}

TEST_F(Pack, StrictMakesTheFirstWarningAnErrorAndWritesNothing) {
  PeSpec main;
  main.imports = {"missing.dll"};
  spit(app / "app.dll", pe_build(main));
  const std::string a = app.string();
  struct Row {
    std::function<void()> prepare;
    std::vector<std::string> args;
    std::string err;
  } rows[] = {
      {[] {}, {"payload", a, "--main", "app.dll", "--strict", "-o", (root / "p").string()},
       "'missing.dll', imported by 'app.dll', is neither in the application directory nor a "
       "Windows system DLL: the application will not start without it"},
      {[&] {
         spit(app / "missing.dll", "now there");
         fs::create_directories(app / "empty");
       },
       {"exe", a, "--main", "app.dll", "-o", (root / "p").string(), "--strict"},
       "empty directory '" + a + "/empty' is not carried (a directory exists only through its "
       "files)"},
  };
  for (const Row& row : rows) {
    row.prepare();
    PackRun r = pack(row.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zobrin-pack: error: " + row.err + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(root / "p"));
  }
}

// A payload array around `frame` with entries of the given sizes, names and flags.
std::string payload_array(const std::vector<Entry>& entries, const std::string& frame) {
  std::string table;
  for (const Entry& e : entries) {
    std::string field(12, '\0');
    le_write_u32(reinterpret_cast<unsigned char*>(&field[0]), e.flags);
    le_write_u64(reinterpret_cast<unsigned char*>(&field[4]), e.size);
    table += field;
    for (char16_t c : e.name) {
      table += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    table += std::string(2, '\0');
  }
  std::string array(16, '\0');
  le_write_u64(reinterpret_cast<unsigned char*>(&array[0]), table.size());
  le_write_u64(reinterpret_cast<unsigned char*>(&array[8]), frame.size());
  array += table + frame;
  array += std::string((8 - array.size() % 8) % 8, '\0');
  std::string trailer(8, '\0');
  le_write_u64(reinterpret_cast<unsigned char*>(&trailer[0]), array.size());
  return array + trailer;
}

std::string compress_with_checksum(const std::string& data) {
  std::string frame(ZSTD_compressBound(data.size()), '\0');
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  size_t size = ZSTD_compress2(context, &frame[0], frame.size(), data.data(), data.size());
  ZSTD_freeCCtx(context);
  frame.resize(size);
  return frame;
}

TEST_F(Pack, VerifyDecodesTheWholePayloadAndNamesTheCheckThatFailed) {
  spit(app / "a.txt", "alpha");
  spit(app / "sub" / "b.bin", std::string(100000, 'b'));
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  ::umask(077);
  PackRun r = pack({"exe", app, "--main", "app.dll", "-o", root / "app.exe", "--launcher-dir",
                    root / "kit"});
  ::umask(022);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(" to '" + (root / "app.exe").string() + "', "), std::string::npos) << r.out;
  EXPECT_EQ(fs::status(root / "app.exe").permissions(), fs::perms(0755));
  ASSERT_EQ(pack({"payload", app, "--main", "app.dll", "-o", root / "p"}).code, 0);
  EXPECT_EQ(fs::status(root / "p").permissions() & fs::perms::owner_exec, fs::perms::none);
  const uint64_t bytes = fs::file_size(app / "app.dll") + 5 + 100000;
  for (const fs::path& whole : {root / "app.exe", root / "p"}) {
    r = pack({"verify", whole});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "zobrin-pack: " + whole.string() + ": 3 files, " + std::to_string(bytes) +
                         " bytes, whole; main: DLL (x86-64)\n");
    EXPECT_EQ(r.err, "");
  }

  const std::string data = "firstsecondthird";
  const std::string frame = compress_with_checksum(data);
  const std::vector<Entry> entries = {{0, 5, u"first"}, {0, 6, u"second"}, {4, 5, u"third"}};
  const std::string good = payload_array(entries, frame);
  spit(root / "q", good);
  ASSERT_EQ(pack({"exe", "--payload", root / "q", "-o", root / "q.exe", "--launcher-dir",
                  root / "kit"}).code, 0);
  const std::string exe_image = slurp(root / "q.exe");
  auto with_sizes = [&](uint64_t second, uint64_t third) {
    std::vector<Entry> changed = entries;
    changed[1].size = second;
    changed[2].size = third;
    return payload_array(changed, frame);
  };
  auto with_flags = [&](uint32_t first, uint32_t last, std::u16string name = u"third") {
    std::vector<Entry> changed = entries;
    changed[0].flags = first;
    changed[2].flags = last;
    changed[2].name = name;
    return payload_array(changed, frame);
  };
  auto with_names = [&](std::u16string second, std::u16string third) {
    std::vector<Entry> changed = entries;
    changed[1].name = second;
    changed[2].name = third;
    return payload_array(changed, frame);
  };
  auto flipped = [](std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    return bytes;
  };
  const size_t stream_at = 16 + 3 * 14 + 2 * (5 + 6 + 5);
  ASSERT_NE((stream_at + frame.size()) % 8, 0u) << "the array needs padding for the rows below";
  std::string grown = good;
  grown.insert(grown.size() - 8, 8, '\0');
  le_write_u64(reinterpret_cast<unsigned char*>(&grown[grown.size() - 8]), grown.size() - 8);
  struct Row {
    const char* what;
    std::string file;
    std::string err;  // after "<path>: "; empty: whole
  } rows[] = {
      {"whole, with a checksum", good, ""},
      {"whole, in an executable", exe_image, ""},
      {"executable cut short", exe_image.substr(0, exe_image.size() - 1),
       "the executable is cut short: its payload section ends past the end of the file"},
      {"section length too large",
       [&] {
         std::string e = exe_image;
         le_write_u64(reinterpret_cast<unsigned char*>(&e[0x400]), 0x10000);
         return e;
       }(),
       "the executable's payload section is damaged"},
      {"checksum", flipped(good, stream_at + frame.size() - 1),
       "the stream's checksum does not match its decoded bytes (the frame is damaged)"},
      {"frame magic", flipped(good, stream_at),
       "the stream is damaged in entry 'first' (1 of 3): Unknown frame descriptor"},
      {"a size lowered", with_sizes(5, 5),
       "the stream decodes to more than the 15 bytes the table's sizes add up to"},
      {"a size raised", with_sizes(6, 6),
       "the stream decodes to 16 bytes, short of the 17 the table's sizes add up to, in entry "
       "'third' (3 of 3)"},
      {"stream cut after the frame header",
       payload_array(entries, frame.substr(0, 6)),  // magic, descriptor, 1-byte content size
       "the stream is cut short in entry 'first' (1 of 3): it ends inside the frame after 0 of "
       "16 bytes"},
      {"stream cut inside the block", payload_array(entries, frame.substr(0, frame.size() - 6)),
       "the stream is cut short in entry 'third' (3 of 3): it ends inside the frame after 14 of "
       "16 bytes"},
      {"bytes after the frame", payload_array(entries, frame + "junk"),
       "the frame ends at byte " + std::to_string(frame.size()) + " of the " +
           std::to_string(frame.size() + 4) + "-byte stream"},
      {"two frames", payload_array(entries, frame + compress_with_checksum("")),
       "the frame ends at byte " + std::to_string(frame.size()) + " of the " +
           std::to_string(frame.size() + compress_with_checksum("").size()) + "-byte stream"},
      {"trailer", flipped(good, good.size() - 8),
       "the trailer does not hold the array's length less 8"},
      {"padding", flipped(good, good.size() - 9), "the padding after the stream is not zero"},
      {"length beyond the layout", grown,
       "the array is " + std::to_string(grown.size()) + " bytes, but its header, table (74) and "
       "stream (" + std::to_string(frame.size()) + ") with padding and trailer make " +
           std::to_string(good.size())},
      {"last entry unmarked", with_flags(0, 0, u"x\ry\n"),
       "the last entry 'x\\x0Dy\\x0A' is not marked last"},
      {"an earlier entry marked last", with_flags(4, 4),
       "entry 'first' is marked last but 'second' follows it"},
      {"table cut", good.substr(0, 20), "not a payload: its header sizes exceed its length"},
      {"a name twice", with_names(u"second", u"first"), "entry 'first' appears twice"},
      {"a device name", with_names(u"second", u"sub\\nul.txt"),
       "entry 'sub\\nul.txt' is a Windows device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 "
       "to LPT9, CONIN$, CONOUT$, with any extension)"},
      {"an empty component", with_names(u"second", u"sub\\\\x"),
       "entry 'sub\\\\x' holds an empty name between separators"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    spit(root / "v", row.file);
    r = pack({"verify", root / "v"});
    const std::string path = (root / "v").string();
    if (row.err.empty()) {
      EXPECT_EQ(r.code, 0) << r.err;
      EXPECT_EQ(r.out, "zobrin-pack: " + path + ": 3 files, 16 bytes, whole; main: not a PE image\n");
      continue;
    }
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zobrin-pack: error: '" + path + "': " + row.err + "\n");
  }
  r = pack({"verify"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')),
            "zobrin-pack: error: verify needs a payload or executable file");
}

}  // namespace

namespace {

// One entry of `size` bytes per name after a first one, "first", in a bare payload array.
std::string payload_named(const std::vector<std::u16string>& names) {
  std::vector<Entry> entries = {{0, 5, u"first"}};
  std::string data = "first";
  for (const std::u16string& name : names) {
    entries.push_back({0, 1, name});
    data += "x";
  }
  entries.back().flags = 4;
  return payload_array(entries, compress_with_checksum(data));
}

// Every file below `dir` with its bytes, by its path relative to `dir`.
std::map<std::string, std::string> tree_of(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = slurp(e.path());
  }
  return files;
}

// The rules a name must meet, as the packer refuses a tree that breaks them and verify and
// extract a payload that does (before anything is written).
TEST_F(Pack, NameRulesHoldInThePackerVerifyAndExtract) {
  const std::string a = app.string();
  const std::string trailing = " ends in a dot or a space, which Windows drops from file names";
  const std::string device =
      " is a Windows device name (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, "
      "CONOUT$, with any extension)";
  const std::string same =
      " differ only in case, which Windows ignores: they would land on one file";
  struct Row {
    const char* what;
    std::vector<std::string> files;  // made beside app.dll; none: no packer row
    std::string pack_err;
    std::vector<std::u16string> names;  // a payload's entries after a first one
    std::string verify_err;
  } rows[] = {
      {"a trailing dot", {"x.txt", "x.txt."}, "file name '" + a + "/x.txt.'" + trailing,
       {u"x.txt", u"x.txt."}, "entry 'x.txt.'" + trailing},
      {"a trailing space", {"d /x"}, "file name '" + a + "/d '" + trailing,
       {u"d\\y", u"d \\x"}, "entry 'd \\x'" + trailing},
      {"the console", {"CONOUT$"}, "file name '" + a + "/CONOUT$'" + device, {u"conin$.txt"},
       "entry 'conin$.txt'" + device},
      {"a file and a directory", {"p", "P/q"}, "names '" + a + "/P' and '" + a + "/p'" + same,
       {u"p", u"p.txt", u"P\\q"}, "entry 'P\\q' lies below 'p', which is a file: Windows "
       "cannot hold both"},
      {"case", {"Read.txt", "read.txt"}, "names '" + a + "/Read.txt' and '" + a + "/read.txt'" + same,
       {u"Read.txt", u"read.txt"}, "entries 'Read.txt' and 'read.txt'" + same},
      {"a way out", {}, "", {u"..\\x"},
       "entry '..\\x' holds '.' or '..', which would lead out of its directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (!row.files.empty()) {
      fs::remove_all(app);
      spit(app / "app.dll", pe_build(PeSpec()));
      for (const std::string& name : row.files) spit(app / name, "x");
      PackRun r = pack({"payload", a, "--main", "app.dll", "-o", root / "p"});
      EXPECT_EQ(r.code, 1);
      EXPECT_EQ(r.err, "zobrin-pack: error: " + row.pack_err + "\n");
      EXPECT_FALSE(fs::exists(root / "p"));
    }
    spit(root / "v", payload_named(row.names));
    const std::string err = "zobrin-pack: error: '" + (root / "v").string() + "': " +
                            row.verify_err + "\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"verify", root / "v"},
          std::vector<std::string>{"extract", root / "v", "-o", root / "x"}}) {
      PackRun r = pack(args);
      EXPECT_EQ(r.code, 1) << args[0];
      EXPECT_EQ(r.err, err) << args[0];
      EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(fs::exists(root / "x"));
  }
}

// A PE file cut short: as the main program refused, like a main DLL; anywhere else in the tree
// (whatever its name) a warning, an error under --strict; verify refuses such a main entry.
TEST_F(Pack, CutShortPeFilesAreRefusedAsTheMainAndWarnedInTheTree) {
  const std::string a = app.string();
  auto cut = [](PeSpec spec) {
    spec.section_data = std::string(600, 's');
    std::vector<unsigned char> image = pe_build(spec);
    image.resize(image.size() - 100);
    return image;
  };
  PeSpec program;
  program.dll = false;
  program.exports.clear();
  program.subsystem = 3;
  const std::string short_by = " is cut short: its section '.edata' ends past the end of the file";
  spit(app / "tool.exe", cut(program));
  PackRun r = pack({"payload", a, "--main", "tool.exe", "-o", root / "p"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: main program '" + a + "/tool.exe'" + short_by + "\n");
  fs::remove(app / "tool.exe");

  spit(app / "data" / "plugin.bin", cut(PeSpec()));
  const std::string warning =
      "'" + a + "/data/plugin.bin'" + short_by + " (a PE image Windows cannot load)";
  r = pack({"payload", a, "--main", "app.dll", "-o", root / "p"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "zobrin-pack: warning: " + warning + "\n");
  r = pack({"payload", a, "--main", "app.dll", "--strict", "-o", root / "q"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: " + warning + "\n");

  // Packed as it stands, the program's headers still ask for the program mode.
  std::vector<unsigned char> image = cut(program);
  std::string bytes(image.begin(), image.end());
  spit(root / "crafted", payload_array({{4, bytes.size(), u"tool.exe"}},
                                       compress_with_checksum(bytes)));
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  ASSERT_EQ(pack({"exe", "--payload", root / "crafted", "-o", root / "t.exe", "--launcher-dir",
                  root / "kit"}).code, 0);
  r = pack({"verify", root / "t.exe"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "t.exe").string() +
                       "': the run flags start the main entry 'tool.exe' as a program, but it" +
                       short_by + "\n");
}

// extract writes what verify checks out as a tree: the packed files, byte for byte, from an
// executable of either mode; on damage, the files before it stay and the one in progress goes.
TEST_F(Pack, ExtractWritesThePayloadOutAsTheTreeItWasPackedFrom) {
  const std::string a = app.string();
  spit(app / "a.txt", "alpha");
  spit(app / "empty", "");
  spit(app / "sub" / "big.bin", test_pattern(400000, 3));
  spit(app / "sub" / "deeper" / "z.txt", "zulu");
  spit(root / "kit" / "launcher.exe", pe_build(launcher_spec()));
  PeSpec program;
  program.dll = false;
  program.exports.clear();
  program.subsystem = 3;
  spit(app / "tool.exe", pe_build(program));
  const std::map<std::string, std::string> packed = tree_of(app);
  uint64_t bytes = 0;
  for (const auto& file : packed) bytes += file.second.size();
  struct Row {
    std::vector<std::string> options;
    std::string main;
  } rows[] = {
      {{"--main", "tool.exe", "--extract-to", "{EXE_DIR}\\run"}, "program (console, x86-64)"},
      {{"--main", "app.dll", "--cache"}, "DLL (x86-64)"},
      {{"--main", "app.dll"}, "DLL (x86-64)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.options[1]);
    std::vector<std::string> args = {"exe", a, "-o", root / "app.exe", "--launcher-dir",
                                     root / "kit"};
    args.insert(args.end(), row.options.begin(), row.options.end());
    ASSERT_EQ(pack(args).code, 0);
    fs::remove_all(root / "out");
    PackRun r = pack({"extract", root / "app.exe", "-o", root / "out"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "zobrin-pack: " + (root / "app.exe").string() + ": 6 files, " +
                         std::to_string(bytes) + " bytes to '" + (root / "out").string() +
                         "'; main: " + row.main + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree_of(root / "out"), packed);
  }

  // Directories equal but for case are one, as on Windows, in the first spelling.
  spit(root / "cased", payload_named({u"D\\x", u"d\\y"}));
  ASSERT_EQ(pack({"extract", root / "cased", "-o", root / "c"}).code, 0);
  EXPECT_EQ(tree_of(root / "c"), (std::map<std::string, std::string>{
                                     {"first", "first"}, {"D/x", "x"}, {"D/y", "x"}}));

  // A directory that is there, even as a link to nowhere, is refused before anything else.
  fs::create_symlink(root / "nowhere", root / "link");
  for (const fs::path& there : {root / "out", root / "link"}) {
    PackRun r = pack({"extract", root / "app.exe", "-o", there});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "zobrin-pack: error: '" + there.string() +
                         "' exists already: extract writes a new directory\n");
  }
  EXPECT_FALSE(fs::exists(root / "nowhere"));
  PackRun r = pack({"extract", root / "app.exe"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "zobrin-pack: error: extract needs -o DIR");

  // A byte flipped in the stream (of the default mode's executable: in the cached one, the
  // content key covers every byte), in the block that ends the big file: the frame's checksum
  // finds it.
  std::string image = slurp(root / "app.exe");
  const size_t at = image.find("\x28\xB5\x2F\xFD") + 50000;
  image[at] = static_cast<char>(image[at] ^ 0x5A);
  spit(root / "damaged.exe", image);
  const PackRun verified = pack({"verify", root / "damaged.exe"});
  r = pack({"extract", root / "damaged.exe", "-o", root / "d"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, verified.err);
  EXPECT_EQ(r.err, "zobrin-pack: error: '" + (root / "damaged.exe").string() +
                       "': the stream's checksum does not match its decoded bytes (the frame is "
                       "damaged)\n");
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
  std::map<std::string, std::string> before = packed;
  before.erase("sub/big.bin");
  before.erase("sub/deeper/z.txt");
  EXPECT_EQ(tree_of(root / "d"), before);
}

}  // namespace
