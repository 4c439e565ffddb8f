#include "packer/link_exe.h"

#include <fstream>

#include "format/payload_format.h"
#include "packer/coff_object.h"
#include "packer/file_io.h"
#include "packer/host_os.h"
#include "packer/pack_error.h"
#include "packer/payload_writer.h"

namespace fs = std::filesystem;

namespace {

const char* const KIT_LINK_FILES[] = {"launcher.res.o", "libzobrin_entry.a",
                                      "libzobrin_launcher.a", "libzstd.a", "ucrt.specs",
                                      "payload-last.ld", LINK_FLAGS_FILE};

}  // namespace

fs::path link_default_launcher_dir(const char* argv0) {
  fs::path dir = host_self_path(argv0).parent_path();
  fs::path beside = dir / "launcher";
  fs::path installed = (dir / LINK_INSTALLED_LAUNCHER_DIR).lexically_normal();
  std::error_code ec;
  if (!fs::is_directory(beside, ec) && fs::is_directory(installed, ec)) return installed;
  return beside;
}

void link_check_kit(const LinkOptions& options) {
  std::vector<const char*> names = {LINK_LAUNCHER_EXE};
  if (!options.linker.empty()) names.assign(std::begin(KIT_LINK_FILES), std::end(KIT_LINK_FILES));
  for (const char* name : names) {
    std::error_code ec;
    if (!fs::is_regular_file(options.launcher_dir / name, ec)) {
      throw PackError("the launcher is not built: " + quote_path(options.launcher_dir / name) +
                      " is missing (use --launcher-dir DIR)");
    }
  }
}

std::vector<std::string> link_read_flags(const fs::path& path) {
  std::ifstream in(path);
  if (!in) throw PackError("cannot read " + quote_path(path));
  std::vector<std::string> flags;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line[0] != '#') flags.push_back(line);
  }
  if (in.bad()) throw PackError("cannot read " + quote_path(path));
  return flags;
}

void link_launcher(const LinkOptions& options, const fs::path& output) {
  const fs::path& kit = options.launcher_dir;
  fs::path object_path = output;
  object_path += ".o";
  OutputFile object(object_path);
  SectionHead empty;
  empty.digest = payload_digest(nullptr, 0, empty.flags, empty.key);
  coff_end(object, coff_begin(object), empty);
  object.close();
  std::vector<std::string> args = {options.linker,
                                   "-specs=" + host_path_utf8(kit / "ucrt.specs")};
  for (const std::string& flag : link_read_flags(kit / LINK_FLAGS_FILE)) args.push_back(flag);
  // The payload section goes last, so a payload can be put into a copy of the image by
  // growing that section alone.
  for (const std::string& arg : {"-Wl,-T," + host_path_utf8(kit / "payload-last.ld"),
                                 std::string("-o"), host_path_utf8(output),
                                 host_path_utf8(kit / "launcher.res.o"),
                                 host_path_utf8(object.temp_path()),
                                 host_path_utf8(kit / "libzobrin_entry.a"),
                                 host_path_utf8(kit / "libzobrin_launcher.a"),
                                 host_path_utf8(kit / "libzstd.a")}) {
    args.push_back(arg);
  }
  int status = host_run(args);
  if (status == -1) throw PackError("cannot run the linker '" + options.linker + "'");
  if (status != 0) {
    throw PackError("linking failed: '" + options.linker + "' exited with " +
                    std::to_string(status));
  }
}
