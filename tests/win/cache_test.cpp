// The cached mode end to end: executables packed with `zobrin-pack exe --cache`, copied under
// a name of each test's own (the cache directory is named after the executable), run with a
// private temporary directory. The cache is the prefix's own {CACHE_DIR}\zobrin-onefile; each
// test removes its entries there before and after.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "base/file_digest.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "tests/tools/test_data.h"
#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

// "name size hash write-time" for every file below `dir`.
void listing(const std::wstring& dir, const std::wstring& prefix,
             std::map<std::string, std::string>* out) {
  for (const std::wstring& name : tree_names(dir)) {
    std::wstring path = dir + L"\\" + name;
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      listing(path, prefix + name + L"\\", out);
      continue;
    }
    std::string bytes = read_file(path);
    char line[96];
    snprintf(line, sizeof line, "%zu %016llx %08lx%08lx", bytes.size(),
             (unsigned long long)test_fnv(bytes), data.ftLastWriteTime.dwHighDateTime,
             data.ftLastWriteTime.dwLowDateTime);
    (*out)[utf8(prefix + name)] = line;
  }
}

std::map<std::string, std::string> tree_of(const std::wstring& dir) {
  std::map<std::string, std::string> files;
  listing(dir, L"", &files);
  return files;
}

// The same without write times: what a repaired copy must equal.
std::map<std::string, std::string> content_of(const std::wstring& dir) {
  std::map<std::string, std::string> files = tree_of(dir);
  for (auto& file : files) file.second.resize(file.second.rfind(' '));
  return files;
}

std::map<std::string, std::string> read_info(const std::wstring& report) {
  std::map<std::string, std::string> info;
  for (const std::string& line : output_lines(read_file(report + L"\\info.txt"))) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) info[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return info;
}

std::vector<std::wstring> read_args(const std::wstring& report) {
  std::string raw = read_file(report + L"\\args.bin");
  std::wstring all(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
  std::vector<std::wstring> args;
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find(L'\0', start);
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

// File offset of the payload section's head in the executable `image`; 0 when it has none.
uint64_t head_of(const std::string& image) {
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

// The content key in the section head of the executable `path`, as 16 hex digits.
std::wstring key_of(const std::wstring& path) {
  std::string image = read_file(path);
  uint64_t head = head_of(image);
  if (head == 0) return L"<none>";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(image.data());
  EXPECT_EQ(le_read_u64(p + head + ZB_SECTION_FLAGS_OFFSET), ZB_RUN_FLAG_CACHE);
  wchar_t text[17];
  swprintf(text, 17, L"%016llx", (unsigned long long)le_read_u64(p + head + ZB_SECTION_KEY_OFFSET));
  return text;
}

// The 8 bytes of e2e_cached.exe's content key as its section head holds them.
std::string cached_key_bytes() {
  std::string bytes(8, '\0');
  uint64_t key = std::stoull(utf8(key_of(test_dir() + L"e2e_cached.exe")), nullptr, 16);
  le_write_u64(reinterpret_cast<unsigned char*>(&bytes[0]), key);
  return bytes;
}

extern "C" unsigned long long ZSTD_XXH64(const void* input, size_t length,
                                         unsigned long long seed);

// The file digest is the XXH64 the zstd library carries, for every length around the stripe
// and block edges, fed whole or in pieces that split stripes.
TEST(FileDigest, IsZstdsXxh64WholeOrInPieces) {
  std::string bytes(70000, '\0');
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (char)(i * 2654435761u >> 13);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t length : {0, 1, 3, 4, 7, 8, 31, 32, 33, 63, 64, 65, 100, 1000, 70000}) {
    for (size_t piece : {size_t(1), size_t(5), size_t(32), size_t(4096), length + 1}) {
      SCOPED_TRACE(std::to_string(length) + " bytes in pieces of " + std::to_string(piece));
      FileDigest digest;
      file_digest_start(&digest);
      for (size_t at = 0; at < length; at += piece) {
        file_digest_update(&digest, data + at, std::min(piece, length - at));
      }
      EXPECT_EQ(file_digest_finish(&digest), ZSTD_XXH64(data, length, 0));
    }
  }
}

const wchar_t* const TEST_VARIABLES[] = {
    L"ZOBRIN_TEST_REPORT",    L"ZOBRIN_TEST_SLEEP",      L"ZOBRIN_TEST_EXIT",
    L"ZOBRIN_ONEFILE_PARENT", L"ZOBRIN_ONEFILE_TIME_US", L"ZOBRIN_ONEFILE_RANDOM",
    L"ZOBRIN_TEST_GO"};

class Cache : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirs dirs = test_dirs(L"cache_");
    base = dirs.base;
    temp = dirs.temp;
    report = dirs.report;
    for (const wchar_t* variable : TEST_VARIABLES) SetEnvironmentVariableW(variable, nullptr);
    wchar_t folder[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder), S_OK);
    root = std::wstring(folder) + L"\\zobrin-onefile";
    // The application's name in the cache: one per test.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    app = L"zc" + std::to_wstring(std::hash<std::string>()(name) % 1000000);
    wipe_cache();
  }
  void TearDown() override {
    for (const wchar_t* variable : TEST_VARIABLES) SetEnvironmentVariableW(variable, nullptr);
    if (!HasFailure()) {
      wipe_cache();
      tree_wipe(base);
    }
  }

  void wipe_cache() {
    for (const std::wstring& name : cached()) tree_wipe(root + L"\\" + name);
  }

  // This test's entries in the cache root.
  std::vector<std::wstring> cached() { return tree_names(root, app + L"-*"); }

  // Copies the test program `source` to `dir`\<app>.exe; returns the copy's path.
  std::wstring install(const std::wstring& source, const std::wstring& dir) {
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring path = dir + L"\\" + app + L".exe";
    EXPECT_TRUE(CopyFileW((test_dir() + source).c_str(), path.c_str(), FALSE));
    return path;
  }

  // "<app>-<place>-<key>": the place is FNV-1a 64 over the upper-cased path, low 32 bits.
  std::wstring version(const std::wstring& exe) { return prefix_of(exe) + L"-" + key_of(exe); }
  std::wstring prefix_of(const std::wstring& exe) {
    wchar_t upper[4096];
    int units = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, exe.c_str(), -1, upper,
                              4096, nullptr, nullptr, 0);
    EXPECT_GT(units, 0);
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < units - 1; i++) {
      for (int byte : {upper[i] & 0xFF, upper[i] >> 8}) hash = (hash ^ byte) * 1099511628211ull;
    }
    wchar_t place[9];
    swprintf(place, 9, L"%08llx", (unsigned long long)(hash & 0xFFFFFFFFu));
    return app + L"-" + place;
  }

  std::wstring base, temp, report, root, app;
};

// Cold, then warm: the first start extracts and moves the copy into place, the second starts
// from it without writing a file. Nothing goes to the temporary directory, and nothing but
// the copy and its lock stays.
TEST_F(Cache, FirstStartExtractsOnceLaterStartsUseTheCopyAsItStands) {
  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  std::wstring dir = root + L"\\" + version(exe);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  ProcessResult cold = run_process(exe, {L"one"});
  ASSERT_EQ(cold.code, 0u) << cold.out << cold.err;
  EXPECT_EQ(cold.out, "hello from run_code\r\n");
  EXPECT_EQ(read_info(report)["dll"], utf8(dir) + "\\app.dll");
  EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  const std::map<std::string, std::string> first = tree_of(dir);
  ASSERT_GT(first.size(), 50u);
  EXPECT_EQ(content_of(dir), content_of(test_dir() + L"e2e\\echo"));

  for (int run = 0; run < 2; run++) {
    SCOPED_TRACE(run);
    Sleep(50);  // write times would show a file written again
    ProcessResult warm = run_process(exe, {L"two"});
    ASSERT_EQ(warm.code, 0u) << warm.out << warm.err;
    EXPECT_EQ(warm.out, cold.out);
    EXPECT_EQ(read_args(report), (std::vector<std::wstring>{exe, L"two"}));
    EXPECT_EQ(tree_of(dir), first) << "a warm start wrote files";
    EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }
}

// The Unix path of a Windows path (Wine's own mapping), quoted for a Unix tool's command line.
std::wstring unix_of(const std::wstring& path) {
  typedef char*(__cdecl * ToUnix)(const wchar_t*);
  ToUnix to_unix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (to_unix == nullptr) return L"";
  char* name = to_unix(path.c_str());
  std::wstring out = name != nullptr ? wide(name) : L"";
  HeapFree(GetProcessHeap(), 0, name);
  return L"\"" + out + L"\"";
}

// Copies the tree `source` to `target` with the Unix `cp -a` (times kept) and waits until the
// copy is whole.
void unix_copy(const std::wstring& source, const std::wstring& target) {
  run_unix(L"Z:\\bin\\cp", L"cp -a " + unix_of(source) + L" " + unix_of(target), target);
  const std::map<std::string, std::string> expected = content_of(source);
  for (int i = 0; i < 1500 && content_of(target) != expected; i++) Sleep(20);
  ASSERT_EQ(content_of(target), expected);
}

// Writes `bytes` as the file `path`, replacing any.
void write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr));
  CloseHandle(file);
}

// Writes `bytes` over the file `path` in place, keeping its size and write time.
void overwrite_keeping_time(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME written_at;
  ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written_at));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr));
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written_at));
  CloseHandle(file);
}

// `bytes` with one byte changed: the first of `needle` when given, else the middle one.
std::string one_byte_changed(std::string bytes, const std::string& needle = "") {
  size_t at = needle.empty() ? bytes.size() / 2 : bytes.find(needle);
  EXPECT_NE(at, std::string::npos);
  if (at < bytes.size()) bytes[at] ^= 0x01;
  return bytes;
}

// The first file below `dir` other than the main DLL or program, and the first subdirectory.
std::wstring data_file_of(const std::wstring& dir) {
  std::wstring path = dir;
  for (;;) {
    for (const std::wstring& name : tree_names(path)) {
      DWORD attributes = GetFileAttributesW((path + L"\\" + name).c_str());
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"app.dll" && name != L"tool.exe") {
        return path + L"\\" + name;
      }
    }
    path += L"\\" + tree_names(path).back();
  }
}
std::wstring subdirectory_of(const std::wstring& dir) {
  for (const std::wstring& name : tree_names(dir)) {
    if (GetFileAttributesW((dir + L"\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
      return dir + L"\\" + name;
    }
  }
  return L"";
}

// A handle a row of the damage test keeps open while the launcher runs.
HANDLE test_writer = nullptr;

// Every damage a kept copy can come to, by accident or by a hand other than the launcher's: the
// next start runs the packed bytes, from a copy repaired to be the payload again (the damaged
// one is moved aside and removed), and leaves nothing else. Bytes changed in place keep the
// size and the write time; links are made with Unix tools (Wine reports a link to a directory as
// a junction; one to a file looks like the file, so only its other bytes give it away).
TEST_F(Cache, DamagedCopyIsReplacedWhole) {
  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  std::wstring dir = root + L"\\" + version(exe);
  ASSERT_EQ(run_process(exe, {}).code, 0u);
  const std::map<std::string, std::string> whole = content_of(dir);
  const std::string dll = read_file(dir + L"\\app.dll");
  const std::wstring outside = base + L"\\outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  struct Row {
    const char* what;
    void (*damage)(const std::wstring& dir, const std::wstring& outside);
  } rows[] = {
      {"a file deleted", [](const std::wstring& d, const std::wstring&) {
         ASSERT_TRUE(DeleteFileW(data_file_of(d).c_str()));
       }},
      {"a size changed", [](const std::wstring& d, const std::wstring&) {
         HANDLE file = CreateFileW((d + L"\\app.dll").c_str(), FILE_APPEND_DATA, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
         ASSERT_NE(file, INVALID_HANDLE_VALUE);
         DWORD written = 0;
         WriteFile(file, "x", 1, &written, nullptr);
         CloseHandle(file);
       }},
      {"the main DLL emptied", [](const std::wstring& d, const std::wstring&) {
         HANDLE file = CreateFileW((d + L"\\app.dll").c_str(), GENERIC_WRITE, 0, nullptr,
                                   TRUNCATE_EXISTING, 0, nullptr);
         ASSERT_NE(file, INVALID_HANDLE_VALUE);
         CloseHandle(file);
       }},
      {"a directory in a file's place", [](const std::wstring& d, const std::wstring&) {
         ASSERT_TRUE(DeleteFileW((d + L"\\app.dll").c_str()));
         ASSERT_TRUE(CreateDirectoryW((d + L"\\app.dll").c_str(), nullptr));
       }},
      {"one byte of a data file changed in place", [](const std::wstring& d, const std::wstring&) {
         std::wstring file = data_file_of(d);
         overwrite_keeping_time(file, one_byte_changed(read_file(file)));
       }},
      {"one byte of the main DLL's text changed in place",
       [](const std::wstring& d, const std::wstring&) {
         overwrite_keeping_time(d + L"\\app.dll",
                                one_byte_changed(read_file(d + L"\\app.dll"), "hello from"));
       }},
      {"a DLL dropped beside the main DLL", [](const std::wstring& d, const std::wstring&) {
         ASSERT_TRUE(CopyFileW((d + L"\\app.dll").c_str(), (d + L"\\version.dll").c_str(), TRUE));
       }},
      {"a program dropped into a subdirectory", [](const std::wstring& d, const std::wstring&) {
         std::wstring file = subdirectory_of(d) + L"\\Helper.EXE";
         ASSERT_TRUE(CopyFileW((d + L"\\app.dll").c_str(), file.c_str(), TRUE));
       }},
      {"a second name for a file (a hard link outside)",
       [](const std::wstring& d, const std::wstring& out) {
         ASSERT_TRUE(CreateHardLinkW((out + L"\\hard").c_str(), data_file_of(d).c_str(), nullptr));
       }},
      {"a file replaced by a link to a file of its size",
       [](const std::wstring& d, const std::wstring& out) {
         std::wstring file = data_file_of(d);
         std::wstring target = out + L"\\same-size";
         write_file(target, one_byte_changed(read_file(file)));
         ASSERT_TRUE(DeleteFileW(file.c_str()));
         ASSERT_TRUE(run_unix(L"Z:\\bin\\ln", L"ln -s " + unix_of(target) + L" " + unix_of(file),
                              file));
       }},
      {"a directory replaced by a link to a copy of it",
       [](const std::wstring& d, const std::wstring& out) {
         std::wstring sub = subdirectory_of(d);
         std::wstring copy = out + L"\\copy";
         unix_copy(sub, copy);
         ASSERT_TRUE(run_unix(L"Z:\\bin\\mv", L"mv " + unix_of(sub) + L" " + unix_of(out + L"\\gone"),
                              sub, /* appears */ false));
         ASSERT_TRUE(run_unix(L"Z:\\bin\\ln", L"ln -s " + unix_of(copy) + L" " + unix_of(sub), sub));
       }},
      {"the main DLL held open for writing by another process (this one)",
       [](const std::wstring& d, const std::wstring&) {
         test_writer = CreateFileW((d + L"\\app.dll").c_str(), GENERIC_WRITE, 7, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
         ASSERT_NE(test_writer, INVALID_HANDLE_VALUE);
       }},
      {"the whole copy gone", [](const std::wstring& d, const std::wstring&) { tree_wipe(d); }},
  };
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // Each row's own place outside the copy, for what it links to.
    const std::wstring out = outside + L"\\" + std::to_wstring(index++);
    ASSERT_TRUE(CreateDirectoryW(out.c_str(), nullptr));
    row.damage(dir, out);
    ProcessResult r = run_process(exe, {});
    if (test_writer != nullptr) CloseHandle(test_writer);
    test_writer = nullptr;
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    EXPECT_EQ(content_of(dir), whole);
    EXPECT_EQ(read_file(dir + L"\\app.dll"), dll);
    // Wine removes what a link points to rather than the link, and cannot remove a directory
    // holding a link to a directory: the copy moved aside may stay. Unix tools clear it.
    std::vector<std::wstring> left = cached();
    for (const std::wstring& name : left) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, L".old") == 0) {
        run_unix(L"Z:\\bin\\rm", L"rm -rf " + unix_of(root + L"\\" + name), root + L"\\" + name,
                 /* appears */ false);
      }
    }
    EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
    if (HasFailure()) break;
  }
  run_unix(L"Z:\\bin\\rm", L"rm -rf " + unix_of(outside), outside, /* appears */ false);
  // A file of another kind that the application wrote beside itself is its own business: the
  // copy is used as it stands.
  write_file(dir + L"\\settings.ini", "x");
  const std::map<std::string, std::string> kept = tree_of(dir);
  ASSERT_EQ(run_process(exe, {}).code, 0u);
  EXPECT_EQ(tree_of(dir), kept);
}

// An extra file that a loader may run code from, whatever its name, makes the next start
// extract afresh (the copy moved aside, with everything the application wrote into it): an
// image by its first bytes under any name, a manifest, a ".local" redirection (file or
// folder), a name ending in a dot or a space. A data file the application writes beside
// itself, even one named like a DLL, keeps the copy as it stands.
TEST_F(Cache, ExtraFileThatMayRunCodeMakesTheNextStartExtractAfresh) {
  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  std::wstring dir = root + L"\\" + version(exe);
  ASSERT_EQ(run_process(exe, {}).code, 0u);
  const std::map<std::string, std::string> whole = content_of(dir);
  const std::string image = read_file(dir + L"\\app.dll");
  const std::string text = "<assembly manifestVersion=\"1.0\"/>";
  struct Row {
    const wchar_t* name;
    const std::string* bytes;  // null: a folder
    bool afresh;
  } rows[] = {
      {L"filter.ax", &image, true},       {L"codec.acm", &image, true},
      {L"ext.pyd", &image, true},         {L"addon.node", &image, true},
      {L"app.dll.mui", &image, true},     {L"types.tlb", &image, true},
      {L"Helper.EXE", &image, true},      {L"plain", &image, true},
      {L"trailing.", &image, true},       {L"trailing ", &image, true},
      {L"app.exe.manifest", &text, true}, {L"app.exe.local", &text, true},
      {L"app.exe.local", nullptr, true},
      {L"settings.ini", &text, false},    {L"notes.dll", &text, false},
      {L"cache.bin", &text, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.name));
    // "\\?\": the name as it is, a trailing dot or space too.
    std::wstring path = L"\\\\?\\" + subdirectory_of(dir) + L"\\" + row.name;
    const std::map<std::string, std::string> before = tree_of(dir);
    if (row.bytes != nullptr) {
      write_file(path, *row.bytes);
    } else {
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    }
    Sleep(50);  // write times would show a file written again
    ProcessResult r = run_process(exe, {});
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    if (row.afresh) {
      EXPECT_EQ(content_of(dir), whole);
      EXPECT_NE(tree_of(dir)["app.dll"], before.at("app.dll")) << "not extracted afresh";
      // Removal by plain paths cannot reach a name ending in a dot or a space: the copy moved
      // aside stays then. Unix tools clear it.
      for (const std::wstring& name : cached()) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, L".old") == 0) {
          run_unix(L"Z:\\bin\\rm", L"rm -rf " + unix_of(root + L"\\" + name),
                   root + L"\\" + name, /* appears */ false);
        }
      }
    } else {
      tree_wipe(path);
      EXPECT_EQ(tree_of(dir), before);
    }
    EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
    if (HasFailure()) break;
  }
}

// The executable files the application runs, held from their check or writing until it has
// ended: while it runs, another process can neither open them for writing nor delete nor
// rename them (a sharing violation); data files stay writable. The cached copy's and the
// default mode's, in the DLL mode and the program mode.
TEST_F(Cache, ExecutableFilesCannotBeChangedWhileTheApplicationRuns) {
  const std::wstring go = base + L"\\go";
  struct Row {
    const wchar_t* exe;
    bool cached;
  } rows[] = {
      {L"e2e_cached.exe", true},
      {L"e2e_program_cached.exe", true},
      {L"e2e_echo.exe", false},
      {L"e2e_program.exe", false},
  };
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  SetEnvironmentVariableW(L"ZOBRIN_TEST_GO", go.c_str());
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    std::wstring exe = install(row.exe, base + L"\\" + row.exe + L".d");
    for (int start = 0; start < (row.cached ? 2 : 1); start++) {
      SCOPED_TRACE(start == 0 ? "first start" : "later start");
      ProcessResult r;
      std::thread runner([&] { r = run_process(exe, {}); });
      for (int i = 0; i < 1200 && read_file(report + L"\\ready").empty(); i++) Sleep(50);
      std::wstring main_file = wide(read_info(report)["dll"]);
      std::wstring data = data_file_of(main_file.substr(0, main_file.rfind(L'\\')));
      HANDLE writer = CreateFileW(main_file.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
      DWORD write_error = GetLastError();
      EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
      EXPECT_EQ(write_error, (DWORD)ERROR_SHARING_VIOLATION);
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
      EXPECT_FALSE(MoveFileExW(main_file.c_str(), (main_file + L".moved").c_str(), 0));
      EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
      EXPECT_FALSE(DeleteFileW(main_file.c_str()));
      writer = CreateFileW(data.c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
      EXPECT_NE(writer, INVALID_HANDLE_VALUE) << "a data file is held";
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
      write_file(go, "");
      runner.join();
      EXPECT_EQ(r.code, 0u) << r.out << r.err;
      EXPECT_EQ(r.err, "");
      if (row.cached) {
        EXPECT_EQ(cached().size(), 2u);
      } else {
        EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
      }
      DeleteFileW(go.c_str());
      DeleteFileW((report + L"\\ready").c_str());
      if (HasFailure()) break;
    }
    wipe_cache();
  }
}

// A copy put in place before the first start (the right names and sizes, a main DLL of other
// bytes; or even the right bytes), one without the mark of a finished extraction, one of
// another owner: never used. The start extracts afresh (every file written again) and runs
// the packed bytes.
TEST_F(Cache, CopyTheLauncherDidNotFinishIsNeverUsed) {
  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  std::wstring dir = root + L"\\" + version(exe);
  const std::wstring source = test_dir() + L"e2e\\echo";
  const std::string dll = read_file(source + L"\\app.dll");
  struct Row {
    const char* what;
    bool first;  // before the first start: no copy and no lock yet
    void (*make)(const std::wstring& dir, const std::wstring& source, const std::wstring& lock);
  } rows[] = {
      {"planted with a main DLL of other bytes", true,
       [](const std::wstring& d, const std::wstring& src, const std::wstring&) {
         unix_copy(src, d);
         write_file(d + L"\\app.dll", one_byte_changed(read_file(d + L"\\app.dll"), "hello from"));
       }},
      {"planted with the right bytes", true,
       [](const std::wstring& d, const std::wstring& src, const std::wstring&) {
         unix_copy(src, d);
       }},
      {"the mark cleared", false,
       [](const std::wstring&, const std::wstring&, const std::wstring& lock) {
         write_file(lock, "");
       }},
      {"the copy replaced by one made elsewhere with the right bytes", false,
       [](const std::wstring& d, const std::wstring& src, const std::wstring&) {
         unix_copy(src, d + L".elsewhere");
         tree_wipe(d);
         ASSERT_TRUE(MoveFileW((d + L".elsewhere").c_str(), d.c_str()));
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    wipe_cache();
    CreateDirectoryW(root.c_str(), nullptr);
    if (!row.first) ASSERT_EQ(run_process(exe, {}).code, 0u);
    row.make(dir, source, dir + L".lock");
    const std::map<std::string, std::string> before = tree_of(dir);
    Sleep(50);  // write times show the files written again
    ProcessResult r = run_process(exe, {});
    EXPECT_EQ(r.code, 0u) << r.out << r.err;
    EXPECT_EQ(r.out, "hello from run_code\r\n");
    EXPECT_EQ(read_file(dir + L"\\app.dll"), dll);
    EXPECT_EQ(content_of(dir), content_of(source));
    std::map<std::string, std::string> after = tree_of(dir);
    EXPECT_NE(after.begin()->second, before.begin()->second) << "the copy was used";
    EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
    // The fresh copy is used as it stands from then on.
    ASSERT_EQ(run_process(exe, {}).code, 0u);
    EXPECT_EQ(tree_of(dir), after);
  }
}

// A copy whose directory another user owns (Wine reports a file of another Unix user as owned by
// another account; making one needs root, so the test is skipped without it): not used.
TEST_F(Cache, CopyOfAnotherOwnerIsNeverUsed) {
  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  std::wstring dir = root + L"\\" + version(exe);
  ASSERT_EQ(run_process(exe, {}).code, 0u);
  const std::map<std::string, std::string> first = tree_of(dir);
  ASSERT_TRUE(owned_by_me(dir));
  run_unix(L"Z:\\bin\\chown", L"chown 65534 " + unix_of(dir), dir);
  for (int i = 0; i < 500 && owned_by_me(dir); i++) Sleep(20);
  if (owned_by_me(dir)) GTEST_SKIP() << "chown needs root";
  Sleep(50);  // write times show the files written again
  ProcessResult r = run_process(exe, {});
  EXPECT_EQ(r.code, 0u) << r.out << r.err;
  EXPECT_EQ(r.out, "hello from run_code\r\n");
  EXPECT_NE(tree_of(dir), first) << "the copy was used";
  EXPECT_EQ(content_of(dir), content_of(test_dir() + L"e2e\\echo"));
  EXPECT_TRUE(owned_by_me(dir));
}

// A version no start has used for 30 days goes at any application's start (unless in use); one
// of 29 days stays, and so does an old lock whose name is not a version's, with what its name
// would take.
TEST_F(Cache, VersionUnusedForThirtyDaysGoes) {
  const std::wstring current = install(L"e2e_cached.exe", base + L"\\one");
  const std::wstring unused = install(L"e2e_cached_other.exe", base + L"\\two");
  const std::wstring recent = install(L"e2e_cached.exe", base + L"\\three");
  for (const std::wstring& exe : {current, unused, recent}) ASSERT_EQ(run_process(exe, {}).code, 0u);
  const std::wstring notes = app + L"-notes";
  tree_dir(root + L"\\" + notes);
  tree_file(root + L"\\" + notes + L".txt");
  tree_file(root + L"\\" + notes + L".lock");
  auto age = [&](const std::wstring& version, uint64_t days) {
    tree_age(root + L"\\" + version + L".lock", days);
  };
  age(version(unused), 31);
  age(version(recent), 29);
  age(notes, 40);
  ASSERT_EQ(run_process(current, {}).code, 0u);
  std::vector<std::wstring> left = {version(current), version(current) + L".lock",
                                    version(recent),  version(recent) + L".lock",
                                    notes,            notes + L".lock",
                                    notes + L".txt"};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(cached(), left);
}

// Two first starts at once: both run the application, one copy stays, no sibling is left.
TEST_F(Cache, TwoFirstStartsAtOnceBothSucceedAndOneCopyStays) {
  std::wstring exe = install(L"e2e_cached_many.exe", base + L"\\v1");
  std::wstring dir = root + L"\\" + version(exe);
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    wipe_cache();
    PROCESS_INFORMATION processes[2] = {};
    for (PROCESS_INFORMATION& process : processes) {
      STARTUPINFOW startup = {};
      startup.cb = sizeof startup;
      std::wstring command = L"\"" + exe + L"\"";
      ASSERT_TRUE(start_process(exe.c_str(), &command[0], FALSE, &startup, &process));
    }
    for (PROCESS_INFORMATION& process : processes) {
      ASSERT_EQ(WaitForSingleObject(process.hProcess, 300000), WAIT_OBJECT_0);
      DWORD code = 1;
      GetExitCodeProcess(process.hProcess, &code);
      EXPECT_EQ(code, 0u);
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
    }
    EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
    EXPECT_EQ(content_of(dir), content_of(test_dir() + L"e2e\\many"));
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }
}

// Another version of the same application (a new executable in the old one's place): removed
// by a later start once no run uses it, kept while one does. The same name in another folder is
// another application, whose copy stays; entries that only look alike are never touched.
TEST_F(Cache, OldVersionGoesWhenUnusedAndStaysWhileInUse) {
  const std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  const std::wstring old_version = version(exe);
  const std::wstring elsewhere = install(L"e2e_cached.exe", base + L"\\v2");
  ASSERT_NE(version(elsewhere), old_version);
  const std::wstring prefix = prefix_of(exe);
  const std::wstring strangers[] = {prefix + L"-x-" + key_of(exe), prefix + L"-123",
                                    prefix + L"x-" + key_of(exe)};
  for (const std::wstring& stranger : strangers) {
    ASSERT_TRUE(CreateDirectoryW((root + L"\\" + stranger).c_str(), nullptr));
  }
  ASSERT_EQ(run_process(elsewhere, {}).code, 0u);

  // In use: the old version's application is still running.
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SLEEP", L"30000");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION running = {};
  std::wstring command = L"\"" + exe + L"\"";
  ASSERT_TRUE(start_process(exe.c_str(), &command[0], FALSE, &startup, &running));
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SLEEP", nullptr);
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", nullptr);
  for (int i = 0; i < 600 && read_file(report + L"\\ready").empty(); i++) Sleep(50);
  ASSERT_NE(read_file(report + L"\\ready"), "");

  // The new version takes the running one's place, as an update would.
  ASSERT_TRUE(MoveFileW(exe.c_str(), (exe + L".old").c_str()));
  ASSERT_TRUE(CopyFileW((test_dir() + L"e2e_cached_other.exe").c_str(), exe.c_str(), FALSE));
  const std::wstring new_version = version(exe);
  ASSERT_NE(old_version, new_version);
  ProcessResult r = run_process(exe, {});
  EXPECT_EQ(r.code, 0u) << r.out << r.err;
  std::vector<std::wstring> all = {old_version,          old_version + L".lock",
                                   new_version,          new_version + L".lock",
                                   version(elsewhere),   version(elsewhere) + L".lock",
                                   strangers[0],         strangers[1],
                                   strangers[2]};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(cached(), all) << "the version in use was removed";
  EXPECT_EQ(content_of(root + L"\\" + old_version), content_of(test_dir() + L"e2e\\echo"));

  // The application ends (its process id is in the ready file), then its launcher.
  HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                             std::stoul(read_file(report + L"\\ready")));
  ASSERT_NE(child, nullptr);
  TerminateProcess(child, 0);
  WaitForSingleObject(child, 60000);
  CloseHandle(child);
  EXPECT_EQ(WaitForSingleObject(running.hProcess, 60000), WAIT_OBJECT_0);
  CloseHandle(running.hProcess);
  CloseHandle(running.hThread);

  r = run_process(exe, {});
  EXPECT_EQ(r.code, 0u) << r.out << r.err;
  all.erase(std::find(all.begin(), all.end(), old_version));
  all.erase(std::find(all.begin(), all.end(), old_version + L".lock"));
  EXPECT_EQ(cached(), all) << "the unused old version stayed";
  for (const std::wstring& stranger : strangers) tree_wipe(root + L"\\" + stranger);
}

// Two applications of one file name in two folders, started in turn: each keeps its copy, so
// only the first start of each extracts.
TEST_F(Cache, TwoApplicationsOfOneNameKeepACopyEach) {
  const std::wstring first = install(L"e2e_cached.exe", base + L"\\one");
  const std::wstring second = install(L"e2e_cached_other.exe", base + L"\\two");
  for (int round = 0; round < 2; round++) {
    for (const std::wstring& exe : {first, second}) {
      SCOPED_TRACE(utf8(exe) + ", round " + std::to_string(round));
      ProcessResult r = run_process(exe, {});
      ASSERT_EQ(r.code, 0u) << r.out << r.err;
    }
  }
  const std::map<std::string, std::string> copy_one = tree_of(root + L"\\" + version(first));
  const std::map<std::string, std::string> copy_two = tree_of(root + L"\\" + version(second));
  for (const std::wstring& exe : {first, second}) ASSERT_EQ(run_process(exe, {}).code, 0u);
  EXPECT_EQ(tree_of(root + L"\\" + version(first)), copy_one) << "written again";
  EXPECT_EQ(tree_of(root + L"\\" + version(second)), copy_two) << "written again";
  std::vector<std::wstring> all = {version(first), version(first) + L".lock", version(second),
                                   version(second) + L".lock"};
  std::sort(all.begin(), all.end());
  EXPECT_EQ(cached(), all);
}

// The application sees what it sees without the cache: its arguments, the launcher's
// variables (fresh TIME_US and RANDOM, the parent's id, the executable's directory, argument
// 0), cold and warm alike; only the DLL's directory differs.
TEST_F(Cache, ApplicationSeesTheSameArgumentsAndVariablesAsWithoutTheCache) {
  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  const std::vector<std::wstring> args = {L"plain", L"with space", L"quote\"inside",
                                          L"back\\\\slash\\", L"", L"\x00e9t\x00e9"};
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  for (int run = 0; run < 2; run++) {
    SCOPED_TRACE(run == 0 ? "cold" : "warm");
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_RANDOM", L"stalestale0");
    ProcessResult r = run_process(exe, args, 60000, L"started-as-this");
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_RANDOM", nullptr);
    ASSERT_EQ(r.code, 0u) << r.err;
    std::vector<std::wstring> expected = {exe};
    expected.insert(expected.end(), args.begin(), args.end());
    EXPECT_EQ(read_args(report), expected);
    std::map<std::string, std::string> info = read_info(report);
    EXPECT_EQ(info["ZOBRIN_ONEFILE_PARENT"], std::to_string(r.pid));
    EXPECT_EQ(info["ZOBRIN_ONEFILE_TIME_US"].size(), 6u);
    EXPECT_EQ(info["ZOBRIN_ONEFILE_RANDOM"].size(), 11u);
    EXPECT_NE(info["ZOBRIN_ONEFILE_RANDOM"], "stalestale0");
    EXPECT_EQ(info["ZOBRIN_ORIGINAL_ARGV0"], "started-as-this");
    wchar_t short_dir[4096];
    DWORD n = GetShortPathNameW((base + L"\\v1").c_str(), short_dir, 4096);
    ASSERT_TRUE(n > 0 && n < 4096);
    EXPECT_EQ(info["ZOBRIN_ONEFILE_DIRECTORY"], utf8(short_dir));
    EXPECT_EQ(info["dll"], utf8(root + L"\\" + version(exe)) + "\\app.dll");
  }
  // The exit code passes in all 32 bits.
  SetEnvironmentVariableW(L"ZOBRIN_TEST_EXIT", L"0x80000003");
  EXPECT_EQ(run_process(exe, {}).code, 0x80000003u);
}

// A fresh extraction that fails removes its sibling (only the lock stays); an interrupt ends
// the child and leaves the copy in place; a start whose copy is gone extracts again.
TEST_F(Cache, FailureRemovesTheSiblingAndAnInterruptKeepsTheCopy) {
  std::wstring bad = install(L"e2e_cached_decode_error.exe", base + L"\\bad");
  ProcessResult r = run_process(bad, {});
  EXPECT_EQ(r.code, 2u);
  EXPECT_EQ(r.out, "Error, couldn't decode attached data.\r\n");
  EXPECT_EQ(cached(), std::vector<std::wstring>{version(bad) + L".lock"});
  wipe_cache();

  // Run flags the launcher does not know: the header error before anything is created.
  std::string image = read_file(test_dir() + L"e2e_cached.exe");
  size_t head = image.find(std::string("\x01\0\0\0\0\0\0\0", 8) + cached_key_bytes());
  ASSERT_NE(head, std::string::npos);
  for (uint64_t flags : {uint64_t(2), uint64_t(3), uint64_t(1) << 63}) {
    SCOPED_TRACE(flags);
    std::string changed = image;
    le_write_u64(reinterpret_cast<unsigned char*>(&changed[head]), flags);
    std::wstring path = base + L"\\bad\\" + app + L".exe";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, changed.data(), (DWORD)changed.size(), &written, nullptr);
    CloseHandle(file);
    r = run_process(path, {});
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, "Error, couldn't find attached data header.\r\n");
    EXPECT_EQ(cached(), std::vector<std::wstring>{});
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }

  std::wstring exe = install(L"e2e_cached.exe", base + L"\\v1");
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  SetEnvironmentVariableW(L"ZOBRIN_TEST_SLEEP", L"20000");
  r = run_process(test_dir() + L"interrupt_harness.exe", {exe, report + L"\\ready"}, 120000);
  EXPECT_EQ(r.code, 0u) << r.out;
  EXPECT_NE(r.out.find("child ended"), std::string::npos) << r.out;
  EXPECT_EQ(cached(), (std::vector<std::wstring>{version(exe), version(exe) + L".lock"}));
  EXPECT_EQ(content_of(root + L"\\" + version(exe)), content_of(test_dir() + L"e2e\\echo"));
}

// One bit of the run flags or of the content key flipped, in an ordinary executable and in one
// packed with --cache: the digest seals both, so each run is the header error before anything
// is created (the cache bit would otherwise switch the mode without a word, and a key would
// name another cache directory).
TEST_F(Cache, FlippedRunFlagOrKeyIsTheHeaderErrorBeforeAnythingIsCreated) {
  struct Row {
    const wchar_t* source;
    uint32_t offset;  // in the section head
    uint64_t bit;
  } rows[] = {
      {L"e2e_echo.exe", ZB_SECTION_FLAGS_OFFSET, ZB_RUN_FLAG_CACHE},
      {L"e2e_echo.exe", ZB_SECTION_FLAGS_OFFSET, uint64_t(1) << 9},
      {L"e2e_echo.exe", ZB_SECTION_KEY_OFFSET, uint64_t(1) << 37},
      {L"e2e_cached.exe", ZB_SECTION_FLAGS_OFFSET, ZB_RUN_FLAG_CACHE},
      {L"e2e_cached.exe", ZB_SECTION_FLAGS_OFFSET, uint64_t(1) << 62},
      {L"e2e_cached.exe", ZB_SECTION_KEY_OFFSET, 1},
  };
  const std::wstring dir = base + L"\\bad";
  CreateDirectoryW(dir.c_str(), nullptr);
  // An application that ran would leave its report.
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  const std::wstring path = dir + L"\\" + app + L".exe";
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.source) + " head offset " + std::to_string(row.offset) + " bit " +
                 std::to_string(row.bit));
    std::string image = read_file(test_dir() + row.source);
    uint64_t head = head_of(image);
    ASSERT_NE(head, 0u);
    unsigned char* word = reinterpret_cast<unsigned char*>(&image[head + row.offset]);
    le_write_u64(word, le_read_u64(word) ^ row.bit);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, image.data(), (DWORD)image.size(), &written, nullptr);
    CloseHandle(file);
    ASSERT_EQ(written, image.size());
    ProcessResult r = run_process(path, {});
    EXPECT_EQ(r.code, 2u);
    EXPECT_EQ(r.out, "Error, couldn't find attached data header.\r\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(cached(), std::vector<std::wstring>{}) << "no cache directory, no lock";
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    EXPECT_EQ(tree_names(base), (std::vector<std::wstring>{L"bad", L"report", L"temp"}));
    EXPECT_EQ(tree_names(dir), std::vector<std::wstring>{app + L".exe"});
    EXPECT_EQ(tree_names(report), std::vector<std::wstring>{});
  }
}

// CTRL_C while a first start extracts into its sibling (near the start and near the end of
// 2000 small files after a 64 MiB one): the sibling goes, no copy takes the place, no child
// starts; only the lock stays.
TEST_F(Cache, InterruptDuringTheFirstExtractionLeavesOnlyTheLock) {
  std::wstring exe = install(L"e2e_cached_slow.exe", base + L"\\v1");
  SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
  for (const wchar_t* entry : {L"d2", L"d9"}) {
    for (int round = 0; round < 2; round++) {
      SCOPED_TRACE(utf8(entry) + ", round " + std::to_string(round));
      ProcessResult r = run_process(test_dir() + L"interrupt_harness.exe",
                                    {exe, root + L"\\" + version(exe) + L".*", L"extracting",
                                     entry},
                                    120000);
      EXPECT_EQ(r.code, 0u) << r.out;
      EXPECT_EQ(output_lines(r.out), (std::vector<std::string>{"launcher ended 0", "child ended"}));
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(cached(), std::vector<std::wstring>{version(exe) + L".lock"});
      EXPECT_EQ(tree_names(report), std::vector<std::wstring>{}) << "the application ran";
      EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    }
  }
}

}  // namespace
