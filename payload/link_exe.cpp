#include "payload/link_exe.h"

#include <cerrno>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "payload/app_tree.h"
#include "payload/coff_object.h"
#include "payload/file_io.h"

namespace fs = std::filesystem;

namespace {

const char* const KIT_LINK_FILES[] = {"launcher.res.o", "libzobrin_entry.a",
                                      "libzobrin_launcher.a", "libzstd.a", "ucrt.specs",
                                      "payload-last.ld"};

// Runs `args` (args[0] looked up on PATH) and waits; the exit status, or -1 when it could not
// be started.
int link_run(const std::vector<std::string>& args) {
#ifdef _WIN32
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  return static_cast<int>(_spawnvp(_P_WAIT, argv[0], argv.data()));
#else
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

}  // namespace

fs::path link_default_launcher_dir(const char* argv0) {
  std::error_code ec;
#ifdef _WIN32
  wchar_t self[32768];
  DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  fs::path program = n > 0 && n < 32768 ? fs::path(self) : fs::path(argv0);
#else
  fs::path program = fs::read_symlink("/proc/self/exe", ec);
  if (ec) program = fs::absolute(argv0, ec);
#endif
  return program.parent_path() / "launcher";
}

bool link_check_kit(const LinkOptions& options, std::string* error) {
  std::vector<const char*> names = {LINK_LAUNCHER_EXE};
  if (!options.linker.empty()) names.assign(std::begin(KIT_LINK_FILES), std::end(KIT_LINK_FILES));
  for (const char* name : names) {
    std::error_code ec;
    if (!fs::is_regular_file(options.launcher_dir / name, ec)) {
      *error = "the launcher is not built: " + app_quote(options.launcher_dir / name) +
               " is missing (use --launcher-dir DIR)";
      return false;
    }
  }
  return true;
}

bool link_launcher(const LinkOptions& options, const fs::path& output, std::string* error) {
  const fs::path& kit = options.launcher_dir;
  OutputFile object;
  fs::path object_path = output;
  object_path += ".o";
  int64_t start = 0;
  if (!output_open(object_path, &object, error) || !coff_begin(object.file, &start, error) ||
      !coff_end(object.file, start, 0, error)) {
    output_discard(&object);
    return false;
  }
  std::fclose(object.file);
  object.file = nullptr;
  std::vector<std::string> args = {
      options.linker,
      "-specs=" + (kit / "ucrt.specs").string(),
      "-municode",
      "-mwindows",
      "-static",
      "-s",
      "-Wl,--stack,8388608",
      // Sections start on page boundaries in the file as well as in memory, so the loader can
      // map the payload from the file instead of copying it into private memory (Wine copies
      // every section whose file offset is not page-aligned, in both processes).
      "-Wl,--file-alignment,4096",
      "-Wl,--undefined=wWinMain",
      "-Wl,--defsym,_setjmp=__intrinsic_setjmp",
      // The payload section goes last, so a payload can be put into a copy of the image by
      // growing that section alone.
      "-Wl,-T," + (kit / "payload-last.ld").string(),
      "-o",
      output.string(),
      (kit / "launcher.res.o").string(),
      object.temp_path.string(),
      (kit / "libzobrin_entry.a").string(),
      (kit / "libzobrin_launcher.a").string(),
      (kit / "libzstd.a").string()};
  int status = link_run(args);
  output_discard(&object);
  if (status == -1) {
    *error = "cannot run the linker '" + options.linker + "'";
    return false;
  }
  if (status != 0) {
    *error = "linking failed: '" + options.linker + "' exited with " + std::to_string(status);
    return false;
  }
  return true;
}
