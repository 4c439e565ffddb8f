// Applications laid out with their main file in a folder of its own (bin\), in both modes and
// the cached mode, and the execution level the executable's manifest asks for.
#include <gtest/gtest.h>

#include "tests/win/cleanup_tree.h"
#include "tests/win/support/run_process.h"

namespace {

class Layout : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirs dirs = test_dirs(L"layout_");
    base = dirs.base;
    temp = dirs.temp;
  }
  void TearDown() override {
    if (!HasFailure()) tree_wipe(base);
  }
  std::wstring base, temp;
};

// The RT_MANIFEST resource 1 of `exe`, as its bytes.
std::string manifest_of(const std::wstring& exe) {
  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (image == nullptr) return "";
  std::string bytes;
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  HGLOBAL loaded = found != nullptr ? LoadResource(image, found) : nullptr;
  const char* data = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  if (data != nullptr) bytes.assign(data, SizeofResource(image, found));
  FreeLibrary(image);
  return bytes;
}

// The main program or DLL in bin\ runs and finds its DLLs: a program those beside it, a DLL
// those beside it (libstdc++) and at the top (the rest of the runtime). A DLL missing there is
// named as the top's would be. Cached executables start twice: extracting, then from the copy.
TEST_F(Layout, AMainFileInASubfolderRunsWithItsFoldersDlls) {
  const std::string program = "layout program: greetings from share\r\n";
  const std::string dll = "sorted 0 arguments:\r\nlibstdc++-6.dll: the application directory\r\n"
                          "libgcc_s_seh-1.dll: elsewhere\r\nlibwinpthread-1.dll: elsewhere\r\n";
  const std::string missing = "Error, load DLL. ([Error 126] " +
                              system_text(ERROR_MOD_NOT_FOUND) + ") Missing: libwinpthread-1.dll\r\n";
  struct Row {
    const wchar_t* exe;
    bool cached;
    DWORD code;
    std::string out, err;
  } rows[] = {
      {L"e2e_layout_program.exe", false, 7, program, ""},        // bin\layout_program.exe
      {L"layout_cmake.exe", false, 7, program, ""},              // MAIN_FOLDER bin
      {L"e2e_layout_program_cached.exe", true, 7, program, ""},  // bin/layout_program.exe
      {L"e2e_layout_dll.exe", false, 0, dll, ""},                // bin/cpp_dlls.dll
      {L"e2e_layout_dll_cached.exe", true, 0, dll, ""},          // bin\cpp_dlls.dll
      {L"e2e_layout_missing.exe", false, 2, "", missing},
  };
  for (const Row& row : rows) {
    for (int start = 0; start < (row.cached ? 2 : 1); start++) {
      SCOPED_TRACE(utf8(row.exe) + " start " + std::to_string(start + 1));
      ProcessResult r = run_process(test_dir() + row.exe, {}, 120000);
      EXPECT_EQ(r.code, row.code);
      EXPECT_EQ(r.out, row.out);
      EXPECT_EQ(r.err, row.err);
      if (!row.cached) EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
    }
    if (row.cached) {
      EXPECT_EQ(tree_names(temp + L"\\zobrin-onefile").size(), 2u) << "the copy and its lock";
    }
    tree_wipe(temp);
    CreateDirectoryW(temp.c_str(), nullptr);
  }
}

// The launcher's manifest asks for the main program's own level, requireAdministrator with
// --uac-admin, asInvoker otherwise; the rest of it stays the launcher's. Each one runs.
TEST_F(Layout, TheManifestAsksForTheMainProgramsLevelOrTheOneGiven) {
  const std::string invoker = manifest_of(test_dir() + L"e2e_echo.exe");
  const std::string asked = "level=\"asInvoker\"";
  ASSERT_NE(invoker.find(asked), std::string::npos) << invoker;
  std::string admin = invoker;
  admin.replace(admin.find(asked), asked.size(), "level=\"requireAdministrator\"");
  struct Row {
    const wchar_t* exe;
    const std::string& manifest;
    std::string out;
  } rows[] = {
      {L"e2e_layout_admin.exe", admin, "hello from the program\r\n"},  // its manifest's level
      {L"e2e_layout_uac.exe", admin, "hello from run_code\r\n"},       // --uac-admin
      {L"e2e_program.exe", invoker, "hello from the program\r\n"},     // neither
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(utf8(row.exe));
    EXPECT_EQ(manifest_of(test_dir() + row.exe), row.manifest);
    ProcessResult r = run_process(test_dir() + row.exe, {}, 120000);
    EXPECT_EQ(r.code, 0u);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tree_names(temp), std::vector<std::wstring>{});
  }
}

}  // namespace
