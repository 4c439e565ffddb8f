// The read-ahead (or the frame workers, for a stream cut into frames) and the closer against the
// walk decoding and closing alone: for a failure at every position of the pipeline (a table
// entry, an open, a write, a byte of the stream, the stream's end), both print the same lines,
// end with the same code and leave the same files with the same bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <zstd.h>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

struct File {
  std::wstring name;
  std::string bytes;
};

// 40 files, some empty, some one byte, some around the decoder's 131072-byte outputs, a few
// of 0.5-1 MiB: about 6 MiB in all, so the ring of outputs fills and wraps several times.
std::vector<File> sample_files() {
  const uint32_t sizes[] = {0,      1,      131071, 131072, 131073, 700000, 5,     262144,
                            40000,  0,      999999, 3,      65536,  131072, 77,    524288,
                            1,      300000, 12345,  0,      131073, 250000, 9,     600000,
                            100,    2,      131071, 44444,  800000, 6,      70000, 0,
                            131072, 1000,   4,      400000, 13,     262145, 8,     50000};
  std::vector<File> files;
  uint32_t state = 2463534242u;
  for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; i++) {
    File file;
    file.name = L"d" + std::to_wstring(i % 3) + L"\\s" + std::to_wstring(i % 2) + L"\\f" +
                std::to_wstring(i) + L".bin";
    file.bytes.resize(sizes[i]);
    for (uint32_t k = 0; k < sizes[i]; k++) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      // Half compressible: runs of a few letters with random ones between.
      file.bytes[k] = (char)((state & 0x300) ? 'a' + (k / 64) % 4 : state & 0xff);
    }
    files.push_back(file);
  }
  return files;
}

void put_u64(std::string* out, uint64_t value) {
  for (int i = 0; i < 8; i++) out->push_back((char)(value >> (8 * i)));
}

// The payload array of `files` with one checksummed frame or, with `frame_bytes`, frames of
// that many bytes, each recording its size up to frame `unsized_from`; `table_offsets`
// receives each entry's offset in the array, `frame_starts` each frame's in the stream.
std::string make_array(const std::vector<File>& files, std::vector<size_t>* table_offsets,
                       size_t frame_bytes = 0, size_t unsized_from = SIZE_MAX,
                       std::vector<size_t>* frame_starts = nullptr) {
  std::string table, data;
  for (size_t i = 0; i < files.size(); i++) {
    table_offsets->push_back(ZB_PAYLOAD_HEADER_BYTES + table.size());
    uint32_t flags = i + 1 == files.size() ? ZB_ENTRY_FLAG_LAST : 0;
    for (int b = 0; b < 4; b++) table.push_back((char)(flags >> (8 * b)));
    put_u64(&table, files[i].bytes.size());
    for (wchar_t unit : files[i].name + L'\0') {
      table.push_back((char)(unit & 0xff));
      table.push_back((char)(unit >> 8));
    }
    data += files[i].bytes;
  }
  if (frame_bytes == 0) frame_bytes = data.size();
  std::string stream;
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  for (size_t at = 0, k = 0; at < data.size(); at += frame_bytes, k++) {
    if (frame_starts) frame_starts->push_back(stream.size());
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, k < unsized_from);
    size_t part = std::min(frame_bytes, data.size() - at);
    std::string frame(ZSTD_compressBound(part), '\0');
    size_t n = ZSTD_compress2(context, &frame[0], frame.size(), data.data() + at, part);
    EXPECT_FALSE(ZSTD_isError(n));
    stream += frame.substr(0, n);
  }
  ZSTD_freeCCtx(context);
  std::string array;
  put_u64(&array, table.size());
  put_u64(&array, stream.size());
  array += table + stream;
  while (array.size() % ZB_PAYLOAD_TRAILER_ALIGN != 0) array.push_back('\0');
  put_u64(&array, array.size());
  return array;
}

// Every file below `root` and its bytes, by relative path; directories as "<dir>".
void list_tree(const std::wstring& root, const std::wstring& relative,
               std::map<std::wstring, std::string>* out) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((root + relative + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    std::wstring path = relative + L"\\" + name;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      (*out)[path] = "<dir>";
      list_tree(root, path, out);
    } else {
      (*out)[path] = read_file(root + path);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

struct Outcome {
  DWORD code;
  std::string out, err;
  std::map<std::wstring, std::string> tree;
  unsigned long frames = 0;
};

// The number of the WriteFile call (as the fault seam counts them in the probe) that writes
// the last bytes of the entry `name` in a clean walk of `mode`, read from the seam's trace:
// the last one after the entry's open and before the next entry's. Empty when none is found.
std::wstring last_write_of(const wchar_t* mode, const std::wstring& array_file,
                           const std::wstring& name) {
  std::wstring dir = tree_fresh(L"traced");
  std::wstring trace = test_dir() + L"extract_traced.log";
  DeleteFileW(trace.c_str());
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", trace.c_str());
  run_process(test_dir() + L"extract_probe.exe", {mode, array_file, dir});
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT_TRACE", nullptr);
  std::string target = utf8(dir + L"\\" + name);
  std::vector<std::string> opened;
  std::string text = read_file(trace), last;
  bool in = false;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    // PID OPERATION N SITE ARGUMENT
    std::string line = text.substr(at, end - at);
    size_t a = line.find(' '), b = line.find(' ', a + 1), c = line.find(' ', b + 1),
           d = line.find(' ', c + 1);
    if (d == std::string::npos) continue;
    std::string operation = line.substr(a + 1, b - a - 1), argument = line.substr(d + 1);
    if (operation == "CreateFileW") {
      bool seen = std::find(opened.begin(), opened.end(), argument) != opened.end();
      if (in && !seen) break;
      if (argument == target) in = true;
      opened.push_back(argument);
    } else if (operation == "WriteFile" && in) {
      last = line.substr(b + 1, c - b - 1);
    }
  }
  DeleteFileW(trace.c_str());
  tree_wipe(dir);
  return std::wstring(last.begin(), last.end());
}

// One probe run in a fresh directory; `in_the_way` entries get a directory at their path
// first (their open fails); with `fail_write`, the last write of that entry fails through the
// fault seam as if the disk were full. The directory's path is replaced by "<dir>" in the
// output.
Outcome run_walk(const wchar_t* mode, const std::wstring& array_file,
                 const std::vector<std::wstring>& in_the_way, const std::wstring& fail_write) {
  std::wstring fault;
  if (!fail_write.empty()) {
    std::wstring call = last_write_of(mode, array_file, fail_write);
    EXPECT_FALSE(call.empty()) << "no write of " << utf8(fail_write);
    fault = L"WriteFile:" + call + L":112";
  }
  std::wstring dir = tree_fresh(mode);
  for (const std::wstring& name : in_the_way) {
    std::wstring path = dir;
    size_t start = 0;
    for (size_t at; (at = name.find(L'\\', start)) != std::wstring::npos; start = at + 1) {
      path = dir + L"\\" + name.substr(0, at);
      CreateDirectoryW(path.c_str(), nullptr);
    }
    CreateDirectoryW((dir + L"\\" + name).c_str(), nullptr);
  }
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", fault.empty() ? nullptr : fault.c_str());
  ProcessResult r = run_process(test_dir() + L"extract_probe.exe", {mode, array_file, dir});
  SetEnvironmentVariableW(L"ZOBRIN_TEST_FAULT", nullptr);
  Outcome outcome{r.code, r.out, r.err, {}};
  // The last line counts the frames the workers handed out; the rest must match.
  size_t counted = outcome.out.rfind("frames ahead ");
  EXPECT_NE(counted, std::string::npos) << outcome.out;
  if (counted != std::string::npos) {
    outcome.frames = std::stoul(outcome.out.substr(counted + 13));
    outcome.out.erase(counted);
  }
  std::string dir8 = utf8(dir);
  for (std::string* text : {&outcome.out, &outcome.err}) {
    for (size_t at; (at = text->find(dir8)) != std::string::npos;) text->replace(at, dir8.size(), "<dir>");
  }
  list_tree(dir, L"", &outcome.tree);
  tree_wipe(dir);
  return outcome;
}

struct Case {
  std::string what;
  std::string array;
  std::vector<std::wstring> in_the_way;
  std::wstring fail_write;  // an entry whose last write fails
  bool fails;
};

// Runs each case alone and ahead and compares; an intact walk ahead must have had at least
// `min_frames_ahead` frames from the workers.
void run_cases(const std::vector<Case>& cases, const std::vector<File>& files,
               unsigned long min_frames_ahead) {
  std::wstring array_file = tree_fresh(L"arrays");
  for (size_t i = 0; i < cases.size(); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    std::wstring path = array_file + L"\\" + std::to_wstring(i) + L".bin";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, c.array.data(), (DWORD)c.array.size(), &written, nullptr);
    CloseHandle(file);

    Outcome alone = run_walk(L"alone", path, c.in_the_way, c.fail_write);
    Outcome ahead = run_walk(L"ahead", path, c.in_the_way, c.fail_write);
    EXPECT_EQ(alone.code, c.fails ? 2u : 0u) << alone.out << alone.err;
    EXPECT_EQ(ahead.code, alone.code);
    EXPECT_EQ(ahead.out, alone.out);
    EXPECT_EQ(ahead.err, alone.err);
    EXPECT_EQ(ahead.tree.size(), alone.tree.size());
    EXPECT_TRUE(ahead.tree == alone.tree);
    EXPECT_EQ(alone.frames, 0u);
    if (!c.fails) {
      EXPECT_GE(ahead.frames, min_frames_ahead);
      EXPECT_EQ(ahead.out, "finished\r\n");
      for (const File& f : files) EXPECT_EQ(ahead.tree[L"\\" + f.name], f.bytes) << utf8(f.name);
    }
  }
  tree_wipe(array_file);
}

TEST(ExtractAhead, EveryFailurePositionEndsAsTheWalkAlone) {
  std::vector<File> files = sample_files();
  std::vector<size_t> offsets;
  std::string good = make_array(files, &offsets);
  uint64_t table_size = le_read_u64(reinterpret_cast<const unsigned char*>(good.data()));
  uint64_t stream_size = le_read_u64(reinterpret_cast<const unsigned char*>(good.data()) + 8);
  size_t stream_start = ZB_PAYLOAD_HEADER_BYTES + table_size;
  size_t last = files.size() - 1;

  std::vector<Case> cases;
  cases.push_back({"intact", good, {}, L"", false});
  for (size_t k : {size_t(0), size_t(2), size_t(10), size_t(23), size_t(33), last}) {
    cases.push_back({"open fails at entry " + std::to_string(k), good, {files[k].name}, L"", true});
    std::string bad_flags = good;
    bad_flags[offsets[k]] = 8;
    cases.push_back({"header error at entry " + std::to_string(k), bad_flags, {}, L"", true});
  }
  for (size_t k : {size_t(1), size_t(5), size_t(15), size_t(28), size_t(37)}) {
    cases.push_back({"write fails at entry " + std::to_string(k) +
                         " (its last WriteFile, through the seam)",
                     good, {}, files[k].name, true});
  }
  for (int eighth = 1; eighth < 8; eighth++) {
    std::string flipped = good;
    flipped[stream_start + stream_size * eighth / 8] ^= 0x5a;
    cases.push_back({"stream byte flipped at " + std::to_string(eighth) + "/8", flipped, {}, L"",
                     true});
    std::string cut = good;
    uint64_t shorter = stream_size * eighth / 8;
    for (int b = 0; b < 8; b++) cut[8 + b] = (char)(shorter >> (8 * b));
    cases.push_back({"stream cut at " + std::to_string(eighth) + "/8", cut, {}, L"", true});
  }
  std::string checksum = good;
  checksum[stream_start + stream_size - 1] ^= 0x01;
  cases.push_back({"checksum byte flipped", checksum, {}, L"", true});
  // A decode error the read-ahead finds long before the walk gets there: the earlier open
  // failure is reported. And the other way round.
  std::string late = good;
  late[stream_start + stream_size * 7 / 8] ^= 0x5a;
  cases.push_back({"open fails at entry 3, stream damaged at 7/8", late, {files[3].name}, L"",
                   true});
  std::string early = good;
  early[stream_start + stream_size / 16] ^= 0x5a;
  cases.push_back({"stream damaged at 1/16, open fails at entry 30", early, {files[30].name},
                   L"", true});

  run_cases(cases, files, /* min_frames_ahead */ 0);
}

// A stream cut into 1 MiB frames, so the frame workers decode it: an error in any frame (its
// header, its blocks, its checksum), a cut, a failed open or write end as they do alone; and
// frames that do not record their size are decoded by the walk itself after the workers'.
TEST(ExtractAhead, FramesDecodedAheadEndAsTheWalkAlone) {
  std::vector<File> files = sample_files();
  std::vector<size_t> offsets, starts;
  const size_t MiB = 1 << 20;
  std::string good = make_array(files, &offsets, MiB, SIZE_MAX, &starts);
  ASSERT_GE(starts.size(), 6u);
  uint64_t table_size = le_read_u64(reinterpret_cast<const unsigned char*>(good.data()));
  uint64_t stream_size = le_read_u64(reinterpret_cast<const unsigned char*>(good.data()) + 8);
  size_t stream_start = ZB_PAYLOAD_HEADER_BYTES + table_size;
  auto flip = [&](size_t at, char mask) {
    std::string bad = good;
    bad[stream_start + at] ^= mask;
    return bad;
  };
  std::vector<Case> cases;
  cases.push_back({"intact", good, {}, L"", false});
  std::vector<size_t> unused;
  cases.push_back({"frames 3 on without their size",
                   make_array(files, &unused, MiB, /* unsized_from */ 3), {}, L"", false});
  for (size_t k : {size_t(0), size_t(2), starts.size() - 1}) {
    std::string frame = "frame " + std::to_string(k);
    size_t end = k + 1 < starts.size() ? starts[k + 1] : stream_size;
    cases.push_back({frame + " header damaged", flip(starts[k] + 4, 0x40), {}, L"", true});
    cases.push_back({frame + " block damaged", flip((starts[k] + end) / 2, 0x5a), {}, L"", true});
    cases.push_back({frame + " checksum damaged", flip(end - 1, 0x01), {}, L"", true});
    std::string cut = good;
    uint64_t shorter = (starts[k] + end) / 2;
    for (int b = 0; b < 8; b++) cut[8 + b] = (char)(shorter >> (8 * b));
    cases.push_back({frame + " cut", cut, {}, L"", true});
  }
  cases.push_back({"open fails at entry 33", good, {files[33].name}, L"", true});
  cases.push_back({"write fails at entry 28 (its last WriteFile, through the seam)", good, {},
                   files[28].name, true});
  cases.push_back({"open fails at entry 3, frame 4 damaged", flip(starts[4] + 100, 0x5a),
                   {files[3].name}, L"", true});
  run_cases(cases, files, /* min_frames_ahead */ 3);
}

}  // namespace
