// Where the payload is extracted: executables packed with `zobrin-pack exe --extract-to`, and
// ZOBRIN_ONEFILE_EXTRACT_TO set at run time, each run with a private temporary directory;
// checked for the folder the application ran from, what each bad place prints and that
// nothing is left anywhere.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

const char HELLO[] = "hello from run_code\r\n";
const wchar_t EXTRACT_TO[] = L"ZOBRIN_ONEFILE_EXTRACT_TO";

std::wstring shell_folder(int id) {
  wchar_t path[MAX_PATH];
  EXPECT_EQ(SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
  return path;
}

// The "dll=" line the test application wrote.
std::wstring reported_dll(const std::wstring& report) {
  for (const std::string& line : output_lines(read_file(report + L"\\info.txt"))) {
    if (line.rfind("dll=", 0) == 0) return wide(line.substr(4));
  }
  return L"";
}

std::wstring parent_of(const std::wstring& path) { return path.substr(0, path.rfind(L'\\')); }

// True when the DACL of `path` lets in no one but its owner, this user (and SYSTEM, which Wine
// always lists): how the launcher's owner-only descriptor reads back.
bool private_to_user(const std::wstring& path) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  bool only = owned_by_me(path) &&
              GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
  for (DWORD i = 0; only && i < dacl->AceCount; i++) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    only = GetAce(dacl, i, reinterpret_cast<void**>(&ace)) &&
           (EqualSid(&ace->SidStart, owner) || IsWellKnownSid(&ace->SidStart, WinLocalSystemSid));
  }
  if (descriptor != nullptr) LocalFree(descriptor);
  return only;
}

class Place : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirs dirs = test_dirs(L"place_");
    base = dirs.base;
    temp = dirs.temp;
    report = dirs.report;
    bin = base + L"\\bin";
    tree_dir(bin);
    SetEnvironmentVariableW(EXTRACT_TO, nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(EXTRACT_TO, nullptr);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", nullptr);
    if (!HasFailure()) tree_wipe(base);
  }

  // Runs a copy of `exe` from `bin` (so {EXE_DIR} is a folder of this test), with the
  // variable set to `variable` (null: unset), argument 0 `argv0` (default: relative, as typed
  // in the executable's folder: {EXE_DIR} does not follow it).
  ProcessResult launch(const wchar_t* exe, const wchar_t* variable,
                       const std::wstring& argv0 = L"") {
    std::wstring copy = bin + L"\\" + exe;
    CopyFileW((test_dir() + exe).c_str(), copy.c_str(), /* bFailIfExists */ FALSE);
    SetEnvironmentVariableW(EXTRACT_TO, variable);
    SetEnvironmentVariableW(L"ZOBRIN_TEST_REPORT", report.c_str());
    DeleteFileW((report + L"\\info.txt").c_str());
    ProcessResult r = run_process(copy, {}, 120000, argv0.empty() ? exe : argv0);
    SetEnvironmentVariableW(EXTRACT_TO, nullptr);
    return r;
  }

  std::wstring base, temp, report, bin;
};

// Each template variable, the override (over a packed choice and over the default, as a path
// and as a template) and an empty override (the packed choice stands): the application runs
// from a new "onefile_" directory in the expected folder, and nothing is left there or in TEMP.
TEST_F(Place, EachVariableAndTheOverridePickTheFolder) {
  const std::wstring chosen = base + L"\\chosen";
  const std::wstring home = shell_folder(CSIDL_PROFILE) + L"\\zobrin-place-test";
  const std::wstring cache = shell_folder(CSIDL_LOCAL_APPDATA) + L"\\zobrin-place-test";
  struct Row {
    const wchar_t* exe;
    std::wstring variable;  // L"-": unset
    std::wstring folder;
  } rows[] = {
      {L"e2e_place_temp.exe", L"-", temp + L"\\allowed"},
      {L"e2e_place_home.exe", L"-", home},
      {L"e2e_place_cachedir.exe", L"-", cache},
      {L"e2e_place_exe.exe", L"-", bin + L"\\run"},
      {L"e2e_place_temp.exe", L"", temp + L"\\allowed"},
      {L"e2e_place_temp.exe", chosen, chosen},
      {L"e2e_echo.exe", chosen + L"\\\\", chosen},
      {L"e2e_echo.exe", L"{EXE_DIR}\\run", bin + L"\\run"},
      {L"e2e_echo.exe", L"", temp},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe) + " " + utf8(row.variable));
    CreateDirectoryW(row.folder.c_str(), nullptr);
    ProcessResult r = launch(row.exe, row.variable == L"-" ? nullptr : row.variable.c_str());
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, HELLO);
    EXPECT_EQ(r.err, "");
    std::wstring directory = parent_of(reported_dll(report));
    EXPECT_EQ(utf8(parent_of(directory)), utf8(row.folder));
    std::wstring name = directory.substr(directory.rfind(L'\\') + 1);
    EXPECT_EQ(name.rfind(L"onefile_" + std::to_wstring(r.pid) + L"_", 0), 0u) << utf8(name);
    EXPECT_EQ(tree_names(row.folder), std::vector<std::wstring>{});
    EXPECT_EQ(tree_names(temp), row.folder.rfind(temp + L"\\", 0) == 0
                                    ? std::vector<std::wstring>{row.folder.substr(temp.size() + 1)}
                                    : std::vector<std::wstring>{});
    if (row.folder != temp) tree_wipe(row.folder);
  }
  tree_wipe(home);
  tree_wipe(cache);
}

// Places that cannot be used: one line, exit code 2, and nothing created anywhere: a variable
// the packer would refuse as --extract-to (why, as the packer says it), a file in the way of a
// folder to create (the last level or one above it), and a variable longer than --extract-to
// takes, in both modes.
TEST_F(Place, BadPlacesAreOneLineAndLeaveNothing) {
  const std::wstring file = base + L"\\a file";
  tree_file(file);
  const std::string from_variable = "' (from the variable ZOBRIN_ONEFILE_EXTRACT_TO) ";
  const std::string not_absolute = from_variable + "is not an absolute path.\r\n";
  const std::string in_the_way = "Error, couldn't create extraction folder '" + utf8(file) +
                                 "' ([Error 183] " + system_text(183) + ")\r\n";
  // The variable takes at most 1024 units, as --extract-to does (a folder too long for the
  // directory below it comes only from a long {EXE_DIR}, {HOME} or {CACHE_DIR}, which Wine
  // cannot give: it neither starts a program nor gives a temporary directory that deep).
  const std::wstring long_variable = L"C:" + std::wstring(1030, L'd');
  struct Row {
    const wchar_t* exe;
    std::wstring variable;  // L"-": unset
    DWORD code;
    std::string err_start, err_end;  // the line: its start, then the payload directory's name
  } rows[] = {
      {L"e2e_echo.exe", L"relative\\dir", 2, "Error, extraction folder 'relative\\dir" + not_absolute, ""},
      {L"e2e_echo.exe", L"\\rooted", 2, "Error, extraction folder '\\rooted" + not_absolute, ""},
      // What the packer refuses, named as it names it: an unknown variable (also one that
      // follows argument 0), a "{" or "}" alone, a character no path holds.
      {L"e2e_echo.exe", L"{TMEP}\\x", 2,
       "Error, extraction folder '{TMEP}\\x" + from_variable + "names '{TMEP}'; it may name "
       "{TEMP}, {CACHE_DIR}, {HOME} or {EXE_DIR}.\r\n", ""},
      {L"e2e_place_exe.exe", L"{PROGRAM_DIR}\\run", 2,
       "Error, extraction folder '{PROGRAM_DIR}\\run" + from_variable + "names '{PROGRAM_DIR}'; "
       "it may name {TEMP}, {CACHE_DIR}, {HOME} or {EXE_DIR}.\r\n", ""},
      {L"e2e_place_cached.exe", L"{TEMP", 2,
       "Error, extraction folder '{TEMP" + from_variable + "has a '{' without its '}'.\r\n", ""},
      {L"e2e_echo.exe", L"C:\\a}", 2,
       "Error, extraction folder 'C:\\a}" + from_variable + "has a '}' without its '{'.\r\n", ""},
      {L"e2e_echo.exe", L"C:\\a?", 2,
       "Error, extraction folder 'C:\\a?" + from_variable + "holds a character Windows does not "
       "allow in a path.\r\n", ""},
      {L"e2e_echo.exe", file, 2, in_the_way, ""},
      {L"e2e_echo.exe", file + L"\\a\\b", 2, in_the_way, ""},
      {L"e2e_place_cached.exe", file + L"\\a", 2, in_the_way, ""},
      {L"e2e_echo.exe", long_variable, 2,
       "Error, extraction folder '" + utf8(long_variable) + from_variable +
           "is longer than 1024 UTF-16 units.\r\n", ""},
      {L"e2e_place_cached.exe", long_variable, 2,
       "Error, extraction folder '" + utf8(long_variable) + from_variable +
           "is longer than 1024 UTF-16 units.\r\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe) + " " + utf8(row.variable));
    ProcessResult r = launch(row.exe, row.variable == L"-" ? nullptr : row.variable.c_str());
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(row.err_start, 0), 0u) << r.err;
    EXPECT_TRUE(r.err.size() >= row.err_end.size() &&
                r.err.compare(r.err.size() - row.err_end.size(), row.err_end.size(),
                              row.err_end) == 0)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    EXPECT_EQ(tree_names(bin).size(), 1u) << "only the executable's copy";
    EXPECT_EQ(tree_names(base).size(), 4u) << "bin, temp, report and the file";
    tree_wipe(bin);
    tree_dir(bin);
  }
}

// Argument 0 naming another folder, and a folder variable inherited from elsewhere that holds
// a planted copy of the cached application (a DLL without run_code): the parent resolves the
// folder from the executable's own path and hands it over, replacing the inherited one, so the
// child loads exactly what the parent extracted or checked, in both modes.
TEST_F(Place, TheChildLoadsWhatTheParentExtractedWhateverArgument0Says) {
  const std::wstring elsewhere = base + L"\\elsewhere";
  const std::wstring forged = elsewhere + L"\\e2e_place_exe.exe";
  tree_dir(elsewhere);
  tree_dir(elsewhere + L"\\run");
  tree_dir(bin + L"\\run");
  // The cached copy's name, from a first start, planted elsewhere.
  ASSERT_EQ(launch(L"e2e_place_cached.exe", nullptr).code, 0u);
  const std::wstring copy = parent_of(reported_dll(report));
  const std::wstring planted =
      elsewhere + L"\\run\\zobrin-onefile" + copy.substr(copy.rfind(L'\\'));
  tree_dir(elsewhere + L"\\run\\zobrin-onefile");
  tree_dir(planted);
  ASSERT_TRUE(CopyFileW((test_dir() + L"apps\\no_entry_app.dll").c_str(),
                        (planted + L"\\app.dll").c_str(), /* bFailIfExists */ FALSE));
  struct Row {
    const wchar_t* exe;
    const wchar_t* variable;  // null: unset
    bool inherited;           // ZOBRIN_ONEFILE_PAYLOAD_FOLDER names elsewhere\run at the start
  } rows[] = {
      {L"e2e_place_exe.exe", nullptr, false},
      {L"e2e_echo.exe", L"{EXE_DIR}\\run", true},
      {L"e2e_place_cached.exe", nullptr, true},
  };
  const std::string files = read_file(report + L"\\files.txt");
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_PAYLOAD_FOLDER",
                            row.inherited ? (elsewhere + L"\\run").c_str() : nullptr);
    ProcessResult r = launch(row.exe, row.variable, forged);
    SetEnvironmentVariableW(L"ZOBRIN_ONEFILE_PAYLOAD_FOLDER", nullptr);
    EXPECT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(r.out, HELLO);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(reported_dll(report).rfind(bin + L"\\run\\", 0), 0u) << utf8(reported_dll(report));
    EXPECT_EQ(read_file(report + L"\\files.txt"), files);
    EXPECT_EQ(tree_names(elsewhere + L"\\run\\zobrin-onefile"),
              std::vector<std::wstring>{copy.substr(copy.rfind(L'\\') + 1)});
  }
  tree_wipe(bin + L"\\run");
}

// The cached mode keeps its copy in the chosen folder's "zobrin-onefile" (not below
// {CACHE_DIR}), uses it at the next start, and the sweep of an ordinary run looks in the chosen
// folder and in TEMP: leftovers of an ended launcher go from both, names of other forms stay.
TEST_F(Place, CachedCopiesAndTheSweepLiveInTheChosenFolder) {
  const std::wstring run = bin + L"\\run";
  const std::wstring own = run + L"\\zobrin-onefile";
  tree_dir(run);
  ProcessResult first = launch(L"e2e_place_cached.exe", nullptr);
  EXPECT_EQ(first.code, 0u) << first.err;
  EXPECT_EQ(first.out, HELLO);
  std::wstring copy = parent_of(reported_dll(report));
  EXPECT_EQ(utf8(parent_of(copy)), utf8(own));
  std::wstring name = copy.substr(own.size() + 1);
  EXPECT_EQ(name.rfind(L"e2e_place_cached-", 0), 0u) << utf8(name);
  EXPECT_EQ(name.find(L'.'), std::wstring::npos) << "the copy, not a sibling";
  ProcessResult later = launch(L"e2e_place_cached.exe", nullptr);
  EXPECT_EQ(later.code, 0u) << later.err;
  EXPECT_EQ(utf8(parent_of(reported_dll(report))), utf8(copy));
  EXPECT_EQ(tree_names(own), (std::vector<std::wstring>{name, name + L".lock"}));
  EXPECT_EQ(tree_names(shell_folder(CSIDL_LOCAL_APPDATA) + L"\\zobrin-onefile",
                       L"e2e_place_cached-*"),
            std::vector<std::wstring>{});
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});

  // The first run's launcher has ended: its id names a leftover.
  const std::wstring leftover = L"onefile_" + std::to_wstring(first.pid) + L"_1_AAAAAAAAAAA";
  marked_dir(run + L"\\" + leftover);
  tree_dir(run + L"\\" + leftover + L"\\sub");
  marked_dir(temp + L"\\" + leftover);
  tree_dir(temp + L"\\onefile_x");
  ProcessResult swept = launch(L"e2e_place_exe.exe", nullptr);
  EXPECT_EQ(swept.code, 0u) << swept.err;
  EXPECT_EQ(tree_names(run), std::vector<std::wstring>{L"zobrin-onefile"});
  EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{L"onefile_x"});
}

// Nothing of the user's in a chosen folder ({EXE_DIR}\run packed, or the variable) is tidied or
// swept: locks 40 days old with files and a directory of their names, a copy an earlier
// executable left in the folder itself, a directory named like a leftover of an ended launcher
// but without the launcher's mark. The real leftover beside them goes (an ordinary run sweeps;
// a cached one does not).
TEST_F(Place, NothingOfTheUsersIsTidiedOrSwept) {
  ProcessResult ended = launch(L"e2e_echo.exe", nullptr);
  ASSERT_EQ(ended.code, 0u);
  const std::wstring dead = std::to_wstring(ended.pid);
  const std::wstring chosen = base + L"\\chosen";
  const std::wstring earlier = L"e2e_place_cached-0123abcd-0123456789abcdef";
  const std::wstring look_alike = L"onefile_" + dead + L"_1_AAAAAAAAAAA";
  const std::wstring leftover = L"onefile_" + dead + L"_2_BBBBBBBBBBB";
  const std::vector<std::wstring> kept_dirs = {L"notes", earlier, look_alike};
  const std::vector<std::wstring> locks = {L"notes.lock", L"Cargo.lock", earlier + L".lock"};
  struct Row {
    const wchar_t* exe;
    std::wstring variable;  // L"-": unset
    std::wstring folder;
    bool cached;
  } rows[] = {
      {L"e2e_place_cached.exe", L"-", bin + L"\\run", true},
      {L"e2e_place_cached.exe", chosen, chosen, true},
      {L"e2e_place_exe.exe", L"-", bin + L"\\run", false},
      {L"e2e_echo.exe", chosen, chosen, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe) + " " + utf8(row.variable));
    const std::wstring& f = row.folder;
    tree_dir(f);
    for (const std::wstring& name : kept_dirs) {
      tree_dir(f + L"\\" + name);
      tree_file(f + L"\\" + name + L"\\keep.txt");
    }
    for (const std::wstring& name : {L"notes.txt", L"Cargo.toml"}) tree_file(f + L"\\" + name);
    for (const std::wstring& name : locks) {
      tree_file(f + L"\\" + name);
      tree_age(f + L"\\" + name, 40);
    }
    marked_dir(f + L"\\" + leftover);
    tree_file(f + L"\\" + leftover + L"\\a.txt");
    std::vector<std::wstring> expected = {L"Cargo.lock", L"Cargo.toml", earlier,
                                          earlier + L".lock", L"notes", L"notes.lock",
                                          L"notes.txt", look_alike};
    if (row.cached) {
      expected.push_back(leftover);
      expected.push_back(L"zobrin-onefile");
    }
    std::sort(expected.begin(), expected.end());

    ProcessResult r = launch(row.exe, row.variable == L"-" ? nullptr : row.variable.c_str());
    EXPECT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(r.out, HELLO);
    std::vector<std::wstring> names = tree_names(f);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
    for (const std::wstring& name : kept_dirs) {
      EXPECT_TRUE(tree_exists(f + L"\\" + name + L"\\keep.txt")) << utf8(name);
    }
    tree_wipe(f);
  }
}

// A chosen folder that does not exist yet is made, each missing level owner-only (the levels
// that were there are left as they were, "." and ".." are resolved first), in both modes; the
// levels stay after the run, empty but for the cached mode's own folder.
TEST_F(Place, MissingFolderLevelsAreCreatedOwnerOnly) {
  struct Row {
    const wchar_t* exe;
    std::wstring variable;  // L"-": unset
    std::vector<std::wstring> levels;  // below bin, created
  } rows[] = {
      {L"e2e_echo.exe", L"{EXE_DIR}\\made\\a\\b", {L"made", L"made\\a", L"made\\a\\b"}},
      {L"e2e_echo.exe", bin + L"\\made\\.\\skip\\..\\c", {L"made", L"made\\c"}},
      {L"e2e_place_cached.exe", L"-", {L"run", L"run\\zobrin-onefile"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe) + " " + utf8(row.variable));
    ProcessResult r = launch(row.exe, row.variable == L"-" ? nullptr : row.variable.c_str());
    EXPECT_EQ(r.code, 0u) << r.err;
    EXPECT_EQ(r.out, HELLO);
    EXPECT_EQ(r.err, "");
    for (const std::wstring& level : row.levels) {
      EXPECT_TRUE(private_to_user(bin + L"\\" + level)) << utf8(level);
    }
    EXPECT_EQ(tree_names(bin).size(), 2u) << "the executable and the first level";
    EXPECT_FALSE(tree_exists(bin + L"\\made\\skip"));
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    tree_wipe(bin);
    tree_dir(bin);
  }
  EXPECT_FALSE(private_to_user(bin)) << "a folder made without the launcher is not";
}

}  // namespace
