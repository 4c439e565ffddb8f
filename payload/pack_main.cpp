// zobrin-pack: turns an application directory into the launcher's payload.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zstd.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#define pack_isatty _isatty
#define pack_pid _getpid
#else
#include <unistd.h>
#define pack_isatty isatty
#define pack_pid getpid
#endif

#include "payload/app_tree.h"
#include "payload/coff_object.h"
#include "payload/exe_image.h"
#include "payload/file_io.h"
#include "payload/link_exe.h"
#include "payload/payload_list.h"
#include "payload/payload_writer.h"
#include "payload/pe_image.h"

namespace fs = std::filesystem;

namespace {

const char* const USAGE =
    "usage:\n"
    "  zobrin-pack payload APP_DIR --main NAME.dll -o FILE [--level N] [--threads N]\n"
    "  zobrin-pack object (APP_DIR --main NAME.dll | --payload FILE) -o FILE.o\n"
    "                     [--level N] [--threads N]\n"
    "  zobrin-pack exe (APP_DIR --main NAME.dll | --payload FILE) -o APP.exe\n"
    "                  [--level N] [--threads N] [--launcher-dir DIR] [--linker CMD]\n"
    "  zobrin-pack launcher -o LAUNCHER.exe [--launcher-dir DIR] [--linker CMD]\n"
    "  zobrin-pack list FILE_OR_EXE\n"
    "\n"
    "  --level N    zstd compression level, 1 to 22 (default 12)\n"
    "  --threads N  compression threads, 0 for one per CPU (default 0)\n"
    "  --launcher-dir DIR  the launcher kit (default: 'launcher' beside zobrin-pack)\n"
    "  --linker CMD        link the launcher with this mingw-w64 driver instead of using the\n"
    "                      kit's launcher.exe (for launcher: default\n"
    "                      x86_64-w64-mingw32-g++-posix)\n";

struct Args {
  std::string command;
  std::string app_dir;
  std::string main_dll;
  std::string payload_file;
  std::string output;
  PackOptions pack;
  LinkOptions link;
};

int pack_fail(const std::string& message) {
  std::fprintf(stderr, "zobrin-pack: error: %s\n", message.c_str());
  return 1;
}

int pack_usage(const std::string& message) {
  std::fprintf(stderr, "zobrin-pack: error: %s\n%s", message.c_str(), USAGE);
  return 2;
}

bool pack_number(const char* text, int low, int high, int* value) {
  char* end = nullptr;
  long number = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || number < low || number > high) return false;
  *value = static_cast<int>(number);
  return true;
}

// Parses the command line; returns 0 to go on, otherwise the exit code to end with.
int pack_parse(int argc, char** argv, Args* args) {
  if (argc < 2) return pack_usage("no command given");
  args->command = argv[1];
  if (args->command == "--help" || args->command == "-h" || args->command == "help") {
    std::fputs(USAGE, stdout);
    std::exit(0);
  }
  args->link.launcher_dir = link_default_launcher_dir(argv[0]);
  if (args->command != "payload" && args->command != "object" && args->command != "exe" &&
      args->command != "launcher" && args->command != "list") {
    return pack_usage("unknown command '" + args->command + "'");
  }
  for (int i = 2; i < argc; i++) {
    std::string arg = argv[i];
    bool has_value = i + 1 < argc;
    if (arg == "--main" || arg == "-o" || arg == "--payload" || arg == "--level" ||
        arg == "--threads" || arg == "--launcher-dir" || arg == "--linker") {
      if (!has_value) return pack_usage(arg + " needs a value");
      const char* value = argv[++i];
      if (arg == "--main") {
        args->main_dll = value;
      } else if (arg == "-o") {
        args->output = value;
      } else if (arg == "--payload") {
        args->payload_file = value;
      } else if (arg == "--launcher-dir") {
        args->link.launcher_dir = value;
      } else if (arg == "--linker") {
        args->link.linker = value;
      } else if (arg == "--level") {
        if (!pack_number(value, 1, ZSTD_maxCLevel(), &args->pack.level)) {
          return pack_usage("--level takes a number from 1 to " + std::to_string(ZSTD_maxCLevel()));
        }
      } else if (!pack_number(value, 0, 256, &args->pack.threads)) {
        return pack_usage("--threads takes a number from 0 to 256");
      }
    } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
      return pack_usage("unknown option '" + arg + "'");
    } else if (args->app_dir.empty()) {
      args->app_dir = arg;
    } else {
      return pack_usage("unexpected argument '" + arg + "'");
    }
  }
  if (args->command == "list") {
    if (args->app_dir.empty()) return pack_usage("list needs a payload or executable file");
    return 0;
  }
  if (args->output.empty()) return pack_usage(args->command + " needs -o FILE");
  if (args->command == "launcher") {
    if (!args->app_dir.empty() || !args->main_dll.empty() || !args->payload_file.empty()) {
      return pack_usage("launcher takes no application or payload");
    }
    if (args->link.linker.empty()) args->link.linker = LINK_DEFAULT_LINKER;
    return 0;
  }
  bool from_payload = !args->payload_file.empty();
  if (from_payload && args->command == "payload") {
    return pack_usage("--payload is only for the object and exe commands");
  }
  if (from_payload && (!args->app_dir.empty() || !args->main_dll.empty())) {
    return pack_usage("give either APP_DIR --main NAME.dll or --payload FILE, not both");
  }
  if (!from_payload && args->app_dir.empty()) return pack_usage("no application directory given");
  if (!from_payload && args->main_dll.empty()) return pack_usage("--main NAME.dll is required");
  return 0;
}

bool pack_copy_file(const fs::path& source, FILE* out, uint64_t* length, std::string* error) {
  FILE* in =
#ifdef _WIN32
      _wfopen(source.c_str(), L"rb");
#else
      std::fopen(source.c_str(), "rb");
#endif
  if (in == nullptr) {
    *error = "cannot read " + app_quote(source) + ": " + std::strerror(errno);
    return false;
  }
  std::vector<char> buffer(1 << 20);
  *length = 0;
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
    if (!file_write(out, buffer.data(), got, error)) {
      std::fclose(in);
      return false;
    }
    *length += got;
  }
  bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    *error = "cannot read " + app_quote(source);
    return false;
  }
  return true;
}

int pack_list(const Args& args) {
  std::vector<unsigned char> data;
  std::string error;
  if (!app_read_file(args.app_dir, &data, &error)) return pack_fail(error);
  if (!payload_list(data, &error)) return pack_fail(app_quote(args.app_dir) + ": " + error);
  return 0;
}

// Reads the launcher image `exe` copies the payload into: the kit's, or a freshly linked one.
bool pack_read_launcher(const Args& args, std::vector<unsigned char>* image,
                        PePayloadSlot* slot, std::string* error) {
  fs::path path = args.link.launcher_dir / LINK_LAUNCHER_EXE;
  bool linked = !args.link.linker.empty();
  if (linked) {
    path = args.output;
    path += ".tmp-" + std::to_string(pack_pid()) + ".launcher.exe";
    if (!link_launcher(args.link, path, error)) return false;
  }
  bool ok = app_read_file(path, image, error);
  if (linked) {
    std::error_code ec;
    fs::remove(path, ec);
  }
  std::string why;
  if (ok && !pe_payload_slot(*image, slot, &why)) {
    *error = "the launcher " + app_quote(path) + " cannot take a payload: " + why;
    ok = false;
  }
  return ok;
}

int pack_launcher(const Args& args) {
  std::string error;
  if (!link_check_kit(args.link, &error)) return pack_fail(error);
  fs::path temp = args.output;
  temp += ".tmp-" + std::to_string(pack_pid());
  std::error_code ec;
  if (!link_launcher(args.link, temp, &error)) {
    fs::remove(temp, ec);
    return pack_fail(error);
  }
  fs::rename(temp, args.output, ec);
  if (ec) {
    fs::remove(temp, ec);
    return pack_fail("cannot rename the launcher into place");
  }
  return 0;
}

int pack_build(const Args& args) {
  auto started = std::chrono::steady_clock::now();
  std::string error;
  AppTree tree;
  if (args.payload_file.empty()) {
    if (!app_tree_collect(args.app_dir, args.main_dll, &tree, &error)) return pack_fail(error);
    for (const std::string& warning : tree.warnings) {
      std::fprintf(stderr, "zobrin-pack: warning: %s\n", warning.c_str());
    }
  }
  bool exe = args.command == "exe";
  bool object = args.command == "object";
  std::vector<unsigned char> launcher;
  PePayloadSlot slot;
  if (exe && (!link_check_kit(args.link, &error) ||
              !pack_read_launcher(args, &launcher, &slot, &error))) {
    return pack_fail(error);
  }
  OutputFile output;
  if (!output_open(args.output, &output, &error)) return pack_fail(error);
  int64_t object_start = 0;
  PackStats stats;
  bool ok = true;
  if (object) ok = coff_begin(output.file, &object_start, &error);
  if (exe) ok = exe_begin(output.file, launcher, slot, &error);
  if (ok && args.payload_file.empty()) {
    ok = payload_write(output.file, tree, args.pack, &stats, &error);
  } else if (ok) {
    ok = pack_copy_file(args.payload_file, output.file, &stats.payload_bytes, &error);
  }
  if (ok && object) ok = coff_end(output.file, object_start, stats.payload_bytes, &error);
  if (ok && exe) ok = exe_end(output.file, launcher, slot, stats.payload_bytes, &error);
  if (!ok) {
    output_discard(&output);
    return pack_fail(error);
  }
  if (!output_commit(&output, &error)) return pack_fail(error);
  if (args.payload_file.empty()) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double ratio = stats.bytes_in ? 100.0 * stats.payload_bytes / stats.bytes_in : 100.0;
    std::printf("zobrin-pack: %llu files, %llu bytes in, %llu bytes out (%.1f%%), %.2f s\n",
                static_cast<unsigned long long>(stats.files),
                static_cast<unsigned long long>(stats.bytes_in),
                static_cast<unsigned long long>(stats.payload_bytes), ratio, seconds);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  int parsed = pack_parse(argc, argv, &args);
  if (parsed != 0) return parsed;
  args.pack.progress = pack_isatty(2) != 0;
  if (args.command == "list") return pack_list(args);
  if (args.command == "launcher") return pack_launcher(args);
  return pack_build(args);
}
