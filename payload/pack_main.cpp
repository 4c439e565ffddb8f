// zobrin-pack: turns an application directory into the launcher's payload.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <zstd.h>

#include "payload/app_tree.h"
#include "payload/coff_object.h"
#include "payload/exe_extras.h"
#include "payload/exe_image.h"
#include "payload/file_io.h"
#include "payload/host_os.h"
#include "payload/link_exe.h"
#include "payload/pack_error.h"
#include "payload/payload_list.h"
#include "payload/payload_verify.h"
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
    "                  [--console] [--cache] [--icon FILE.ico] [--product TEXT] [--company TEXT]\n"
    "                  [--file-version A.B.C.D] [--description TEXT] [--copyright TEXT]\n"
    "  zobrin-pack launcher -o LAUNCHER.exe [--launcher-dir DIR] [--linker CMD]\n"
    "  zobrin-pack list FILE_OR_EXE\n"
    "  zobrin-pack verify FILE_OR_EXE\n"
    "  zobrin-pack [COMMAND] --help | --version\n"
    "\n"
    "  --level N    zstd compression level, 1 to 22 (default 12)\n"
    "  --threads N  compression threads, 0 for one per CPU (default 0)\n"
    "  --launcher-dir DIR  the launcher kit (default: 'launcher' beside zobrin-pack, or the\n"
    "                      kit installed with it)\n"
    "  --linker CMD        link the launcher with this mingw-w64 driver instead of using the\n"
    "                      kit's launcher.exe (for launcher: default\n"
    "                      x86_64-w64-mingw32-g++-posix)\n";

// A command line that does not say what to do: exit 2 with the message and the usage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Help or version was printed: exit 0.
struct Printed {};

struct Args {
  std::string command;
  std::string app_dir;
  std::string main_dll;
  std::string payload_file;
  std::string output;
  std::string launcher_dir;  // as given; link.launcher_dir is set from it
  PackOptions pack;
  LinkOptions link;
  ExeOptions exe;
  bool cache = false;
};

const int MAX_THREADS = 256;

// The option an error of CLI11's is about: its messages start with "<name>: ".
std::string cli_option_named(const CLI::Error& error) {
  std::string text = error.what();
  return text.substr(0, text.find(':'));
}

// The message for arguments no command or option took: `extra` as CLI11 left them over,
// on the command `sub` (null when none was recognised).
std::string cli_extra_message(const std::vector<std::string>& extra, const CLI::App* sub) {
  const std::string& first = extra.front();
  bool option = first.size() > 1 && first[0] == '-';
  if (sub && sub->get_name() == "launcher") {
    if (!option || first == "--main" || first == "--payload") {
      return "launcher takes no application or payload";
    }
  } else if (sub && sub->get_name() == "payload" && first == "--payload") {
    return "--payload is only for the object and exe commands";
  }
  if (option) return "unknown option '" + first + "'";
  return sub ? "unexpected argument '" + first + "'" : "unknown command '" + first + "'";
}

// The message for a parse error CLI11 reports, in the words zobrin-pack has always used.
std::string cli_message(const CLI::ParseError& error, const CLI::App& app) {
  std::vector<CLI::App*> chosen = app.get_subcommands();
  const CLI::App* sub = chosen.empty() ? nullptr : chosen.front();
  std::vector<std::string> extra = sub ? sub->remaining() : app.remaining();
  if (dynamic_cast<const CLI::ExcludesError*>(&error)) {
    return "give either APP_DIR --main NAME.dll or --payload FILE, not both";
  }
  if (dynamic_cast<const CLI::ValidationError*>(&error)) {
    if (cli_option_named(error) == "--level") {
      return "--level takes a number from 1 to " + std::to_string(ZSTD_maxCLevel());
    }
    return "--threads takes a number from 0 to " + std::to_string(MAX_THREADS);
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
    return cli_option_named(error) + " needs a value";
  }
  if (!extra.empty()) return cli_extra_message(extra, sub);
  return error.what();
}

// The checks across options, in the order the messages have always come.
void pack_check(Args* args) {
  if (args->command == "list" || args->command == "verify") {
    if (args->app_dir.empty()) {
      throw UsageError(args->command + " needs a payload or executable file");
    }
    return;
  }
  if (args->output.empty()) throw UsageError(args->command + " needs -o FILE");
  if (args->command == "launcher") {
    if (args->link.linker.empty()) args->link.linker = LINK_DEFAULT_LINKER;
    return;
  }
  if (args->payload_file.empty() && args->app_dir.empty()) {
    throw UsageError("no application directory given");
  }
  if (args->payload_file.empty() && args->main_dll.empty()) {
    throw UsageError("--main NAME.dll is required");
  }
  std::string version_error = version_check(args->exe.version);
  if (!version_error.empty()) throw UsageError(version_error);
}

// Parses the command line; throws UsageError, or Printed after --help or --version.
Args pack_parse(int argc, char** argv) {
  Args args;
  if (argc < 2) throw UsageError("no command given");
  args.link.launcher_dir = link_default_launcher_dir(argv[0]);

  CLI::App app("Packs an application directory into one Windows executable.", "zobrin-pack");
  app.set_version_flag("--version", std::string("zobrin-pack ") + ZOBRIN_VERSION,
                       "print the version and exit");
  app.require_subcommand(1);
  // The same options on every host: no "/o" forms on Windows.
  app.allow_windows_style_options(false);
  app.footer(USAGE);
  const std::string level_text =
      "zstd compression level, 1 to " + std::to_string(ZSTD_maxCLevel()) +
      " (default " + std::to_string(PackOptions().level) + ")";

  auto add_output = [&](CLI::App* sub, const char* what) {
    sub->add_option("-o", args.output, what)->type_name("FILE");
  };
  auto add_source = [&](CLI::App* sub, bool payload_file) {
    CLI::Option* dir = sub->add_option("APP_DIR", args.app_dir, "the application directory")
                           ->type_name("");
    CLI::Option* main =
        sub->add_option("--main", args.main_dll, "the main DLL's file name in APP_DIR")
            ->type_name("NAME.dll");
    sub->add_option("--level", args.pack.level, level_text)
        ->type_name("N")
        ->check(CLI::Range(1, ZSTD_maxCLevel()));
    sub->add_option("--threads", args.pack.threads,
                    "compression threads, 0 for one per CPU (default 0)")
        ->type_name("N")
        ->check(CLI::Range(0, MAX_THREADS));
    if (payload_file) {
      sub->add_option("--payload", args.payload_file, "a payload file written by 'payload'")
          ->type_name("FILE")
          ->excludes(dir)
          ->excludes(main);
    }
  };
  auto add_link = [&](CLI::App* sub) {
    sub->add_option("--launcher-dir", args.launcher_dir,
                    "the launcher kit (default: 'launcher' beside zobrin-pack, else " +
                        std::string(LINK_INSTALLED_LAUNCHER_DIR) + " from it, as installed)")
        ->type_name("DIR");
    sub->add_option("--linker", args.link.linker,
                    "link the launcher with this mingw-w64 driver instead of using the kit's "
                    "launcher.exe (for launcher: default " + std::string(LINK_DEFAULT_LINKER) + ")")
        ->type_name("CMD");
  };

  CLI::App* payload = app.add_subcommand("payload", "write the payload array of APP_DIR");
  add_source(payload, false);
  add_output(payload, "the payload file");
  CLI::App* object = app.add_subcommand("object", "write the payload as an x86-64 COFF object");
  add_source(object, true);
  add_output(object, "the object file");
  CLI::App* exe = app.add_subcommand("exe", "write the onefile executable");
  add_source(exe, true);
  add_output(exe, "the executable");
  add_link(exe);
  exe->add_flag("--console", args.exe.console,
                "a console program (for command-line applications) instead of a GUI one");
  exe->add_flag("--cache", args.cache,
                "extract once into a per-user cache directory named by the payload's content, "
                "and start from there afterwards");
  exe->add_option("--icon", args.exe.icon, "the executable's icon")->type_name("FILE.ico");
  struct VersionOption {
    const char* name;
    std::string* value;
    const char* help;
  };
  const VersionOption version_options[] = {
      {"--product", &args.exe.version.product, "version information: the product name"},
      {"--company", &args.exe.version.company, "version information: the company name"},
      {"--file-version", &args.exe.version.file_version,
       "version information: the file and product version, one to four numbers 0 to 65535"},
      {"--description", &args.exe.version.description, "version information: the file description"},
      {"--copyright", &args.exe.version.copyright, "version information: the copyright notice"}};
  for (const VersionOption& option : version_options) {
    exe->add_option(option.name, *option.value, option.help)
        ->type_name(option.value == &args.exe.version.file_version ? "A.B.C.D" : "TEXT");
  }
  CLI::App* launcher = app.add_subcommand("launcher", "link the launcher with an empty payload");
  add_output(launcher, "the launcher executable");
  add_link(launcher);
  CLI::App* list = app.add_subcommand("list", "print the entries of a payload or an executable");
  list->add_option("FILE_OR_EXE", args.app_dir, "a payload file or a onefile executable")
      ->type_name("");
  CLI::App* verify = app.add_subcommand(
      "verify", "decode a payload or an executable's payload whole and check it");
  verify->add_option("FILE_OR_EXE", args.app_dir, "a payload file or a onefile executable")
      ->type_name("");
  CLI::App* help = app.add_subcommand("help", "print this help");
  for (CLI::App* sub : {payload, object, exe, launcher, list, verify, help}) sub->footer("");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& printed) {
    app.exit(printed);
    throw Printed();
  } catch (const CLI::ParseError& error) {
    throw UsageError(cli_message(error, app));
  }
  CLI::App* chosen = app.get_subcommands().front();
  if (chosen == help) {
    std::fputs(app.get_formatter()->make_help(&app, "zobrin-pack", CLI::AppFormatMode::Normal).c_str(),
               stdout);
    throw Printed();
  }
  args.command = chosen->get_name();
  if (!args.launcher_dir.empty()) args.link.launcher_dir = host_path_from_utf8(args.launcher_dir);
  pack_check(&args);
  return args;
}

void pack_list(const Args& args) {
  fs::path file = host_path_from_utf8(args.app_dir);
  payload_list(read_whole_file(file), quote_path(file));
}

void pack_verify(const Args& args) {
  VerifyResult result = payload_verify(read_whole_file(args.app_dir), quote_path(args.app_dir));
  std::printf("zobrin-pack: %s: %llu files, %llu bytes, whole\n", args.app_dir.c_str(),
              static_cast<unsigned long long>(result.files),
              static_cast<unsigned long long>(result.bytes));
}

void pack_launcher(const Args& args) {
  link_check_kit(args.link);
  OutputFile output(host_path_from_utf8(args.output));
  output.close();
  link_launcher(args.link, output.temp_path());
  output.commit();
}

// Reads the launcher image `exe` copies the payload into: the kit's, or a freshly linked one.
std::vector<unsigned char> pack_read_launcher(const Args& args, PePayloadSlot* slot) {
  fs::path path = args.link.launcher_dir / LINK_LAUNCHER_EXE;
  std::vector<unsigned char> image;
  if (args.link.linker.empty()) {
    image = read_whole_file(path);
  } else {
    fs::path linked = host_path_from_utf8(args.output);
    linked += ".launcher.exe";
    OutputFile temp(linked);
    temp.close();
    link_launcher(args.link, temp.temp_path());
    path = temp.temp_path();
    image = read_whole_file(path);
  }
  *slot = pe_payload_slot(image, "the launcher " + quote_path(path) + " cannot take a payload");
  return image;
}

void pack_build(const Args& args) {
  auto started = std::chrono::steady_clock::now();
  const fs::path app_dir = host_path_from_utf8(args.app_dir);
  const fs::path payload_file = host_path_from_utf8(args.payload_file);
  const fs::path output_path = host_path_from_utf8(args.output);
  AppTree tree;
  if (args.payload_file.empty()) {
    tree = app_tree_collect(app_dir, args.main_dll);
    std::vector<fs::path> inputs;
    for (const AppFile& file : tree.files) inputs.push_back(file.source);
    app_check_output(output_path, app_dir, inputs);
    for (const std::string& warning : tree.warnings) {
      std::fprintf(stderr, "zobrin-pack: warning: %s\n", warning.c_str());
    }
  } else {
    app_check_output(output_path, {}, {payload_file});
  }
  bool exe = args.command == "exe";
  bool object = args.command == "object";
  std::vector<unsigned char> launcher;
  PePayloadSlot slot;
  ExeExtras extras;
  if (exe) {
    link_check_kit(args.link);
    launcher = pack_read_launcher(args, &slot);
    std::string subject = args.link.linker.empty()
                              ? quote_path(args.link.launcher_dir / LINK_LAUNCHER_EXE)
                              : "linked with '" + args.link.linker + "'";
    extras = exe_extras_prepare(launcher, slot, args.exe, fs::path(args.output).filename().string(),
                                "the launcher " + subject + " cannot take resources");
  }
  OutputFile output(output_path);
  uint64_t object_start = 0;
  if (object) object_start = coff_begin(output);
  if (exe) exe_begin(output, launcher, slot);
  const uint64_t array_start = output.position();
  PackStats stats;
  if (args.payload_file.empty()) {
    stats = payload_write(output, tree, args.pack);
  } else {
    stats.payload_bytes = output.append_file(payload_file);
  }
  // Over the array exactly as it stands, a crafted one too: the launcher's own checks then
  // meet whatever a crafted array holds.
  SectionHead head;
  if (object || exe) {
    head = payload_section_head(output, array_start, stats.payload_bytes,
                                args.cache ? ZB_RUN_FLAG_CACHE : 0);
  }
  if (object) coff_end(output, object_start, head);
  if (exe) {
    exe_end(output, launcher, slot, head, extras);
    output.make_executable();
  }
  output.commit();
  if (args.payload_file.empty()) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double ratio = stats.bytes_in ? 100.0 * stats.payload_bytes / stats.bytes_in : 100.0;
    std::printf("zobrin-pack: %llu files, %llu bytes in, %llu bytes out (%.1f%%) to %s, %.2f s\n",
                static_cast<unsigned long long>(stats.files),
                static_cast<unsigned long long>(stats.bytes_in),
                static_cast<unsigned long long>(stats.payload_bytes), ratio,
                quote_path(args.output).c_str(), seconds);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> utf8_args = host_utf8_args(argc, argv);
    std::vector<char*> utf8_argv;
    for (std::string& arg : utf8_args) utf8_argv.push_back(&arg[0]);
    utf8_argv.push_back(nullptr);
    Args args = pack_parse(static_cast<int>(utf8_args.size()), utf8_argv.data());
    args.pack.progress = host_stderr_is_terminal();
    if (args.command == "list") {
      pack_list(args);
    } else if (args.command == "verify") {
      pack_verify(args);
    } else if (args.command == "launcher") {
      pack_launcher(args);
    } else {
      pack_build(args);
    }
    return 0;
  } catch (const Printed&) {
    return 0;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "zobrin-pack: error: %s\n%s", error.what(), USAGE);
    return 2;
  } catch (const std::exception& error) {
    // PackError, and what the library throws (out of memory, a file system error).
    std::fprintf(stderr, "zobrin-pack: error: %s\n", error.what());
    return 1;
  }
}
