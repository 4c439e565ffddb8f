// zobrin-pack: turns an application directory into the launcher's payload.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "packer/app_tree.h"
#include "packer/codec.h"
#include "packer/coff_object.h"
#include "packer/exe_extras.h"
#include "packer/exe_image.h"
#include "packer/file_io.h"
#include "packer/host_os.h"
#include "packer/link_exe.h"
#include "packer/manifest.h"
#include "packer/pack_error.h"
#include "packer/payload_extract.h"
#include "packer/payload_list.h"
#include "packer/payload_read.h"
#include "packer/payload_verify.h"
#include "packer/payload_writer.h"
#include "packer/pe_image.h"
#include "packer/settings.h"
#include "packer/splash_image.h"

namespace fs = std::filesystem;

namespace {

// A command line that does not say what to do: exit 2 with the message and the help.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const int MAX_THREADS = 256;

// The options of payload, object and exe: where the entries come from and where they go.
struct SourceOptions {
  std::string app_dir;
  std::string main_dll;
  std::string payload_file;  // object and exe only
  std::string output;
  PackOptions pack;
  bool strict = false;  // a warning is an error
};

// The launcher kit and linker of exe and launcher.
struct KitOptions {
  std::string launcher_dir;  // as given; empty: the default beside zobrin-pack
  std::string linker;
};

struct ExeCommandOptions {
  SourceOptions source;
  KitOptions kit;
  ExeOptions exe;
  bool cache = false;
  bool windowed = false;
  bool uac_admin = false;
  std::string extract_to;
  bool extract_to_given = false;
  std::string splash;
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<std::string> env_prepend;
  std::string cwd;
  bool cwd_given = false;
  Settings settings;
};

struct LauncherOptions {
  std::string output;
  KitOptions kit;
};

// list, verify and extract (the only one with an output).
struct ReadOptions {
  std::string file;
  std::string output;
};

// What pack_build writes.
enum class BuildKind { payload, object, exe };

// "1 file", "2 files".
std::string count_text(uint64_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

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
    if (std::string(error.what()).find("--windowed") != std::string::npos) {
      return "give either --console or --windowed, not both";
    }
    return "give either APP_DIR --main NAME.dll or --payload FILE, not both";
  }
  if (dynamic_cast<const CLI::ValidationError*>(&error)) {
    if (cli_option_named(error) == "--level") {
      return "--level takes a number from 1 to " + std::to_string(codec_max_level());
    }
    if (cli_option_named(error) == "--frame-size") {
      return "--frame-size takes 0 or a number from " + std::to_string(PACK_FRAME_MIN_BYTES) +
             " to " + std::to_string(PACK_FRAME_MAX_BYTES);
    }
    return "--threads takes a number from 0 to " + std::to_string(MAX_THREADS);
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
    return cli_option_named(error) + " needs a value";
  }
  if (!extra.empty()) return cli_extra_message(extra, sub);
  return error.what();
}

// The checks across the options of payload, object and exe, in the order the messages have
// always come. Without --main, the one DLL of APP_DIR's top that exports run_code is the main
// DLL; with none, the one program there is the main program.
SourceOptions check_source(const std::string& command, SourceOptions source) {
  if (source.output.empty()) throw UsageError(command + " needs -o FILE");
  if (source.payload_file.empty() && source.app_dir.empty()) {
    throw UsageError("no application directory given");
  }
  if (source.payload_file.empty() && source.main_dll.empty()) {
    const fs::path app_dir = host_path_from_utf8(source.app_dir);
    std::vector<std::string> candidates = app_main_candidates(app_dir);
    const bool programs = candidates.empty();
    if (programs) candidates = app_main_programs(app_dir);
    std::string names;
    for (const std::string& name : candidates) {
      names += (names.empty() ? "'" : ", '") + name + "'";
    }
    if (candidates.size() == 1) {
      source.main_dll = candidates.front();
    } else if (candidates.empty()) {
      throw UsageError("--main NAME.dll or --main NAME.exe is required: no DLL exports run_code "
                       "and no program is at the top of the application directory");
    } else if (programs) {
      throw UsageError("--main NAME.exe is required: no DLL exports run_code and there are "
                       "several programs (" + names + ")");
    } else {
      throw UsageError("--main NAME.dll is required: several DLLs export run_code (" + names + ")");
    }
  }
  return source;
}

// The kit as the link needs it: the default beside `self` (argv[0]) when none was given.
LinkOptions link_options(const KitOptions& kit, const std::string& self) {
  LinkOptions link;
  link.launcher_dir = kit.launcher_dir.empty() ? link_default_launcher_dir(self.c_str())
                                               : host_path_from_utf8(kit.launcher_dir);
  link.linker = kit.linker;
  return link;
}

void run_list(const ReadOptions& options) {
  fs::path file = host_path_from_utf8(options.file);
  payload_list(read_whole_file(file), quote_path(file));
}

void run_verify(const ReadOptions& options) {
  VerifyResult result = payload_verify(read_whole_file(options.file), quote_path(options.file));
  std::string frames = result.frames > 1 ? ", in " + count_text(result.frames, "frame") : "";
  std::printf("zobrin-pack: %s: %s, %llu bytes, whole%s; main: %s\n", options.file.c_str(),
              count_text(result.files, "file").c_str(),
              static_cast<unsigned long long>(result.bytes), frames.c_str(), result.main.c_str());
}

void run_extract(const ReadOptions& options) {
  if (options.output.empty()) throw UsageError("extract needs -o DIR");
  fs::path file = host_path_from_utf8(options.file);
  fs::path dir = host_path_from_utf8(options.output);
  VerifyResult result = payload_extract(read_whole_file(file), quote_path(file), dir);
  std::printf("zobrin-pack: %s: %s, %llu bytes to %s; main: %s\n", options.file.c_str(),
              count_text(result.files, "file").c_str(),
              static_cast<unsigned long long>(result.bytes), quote_path(dir).c_str(),
              result.main.c_str());
}

void run_launcher(const LauncherOptions& options, const std::string& self) {
  if (options.output.empty()) throw UsageError("launcher needs -o FILE");
  LinkOptions link = link_options(options.kit, self);
  if (link.linker.empty()) link.linker = LINK_DEFAULT_LINKER;
  link_check_kit(link);
  OutputFile output(host_path_from_utf8(options.output));
  output.close();
  link_launcher(link, output.temp_path());
  output.commit();
}

// Reads the launcher image `exe` copies the payload into: the kit's, or one linked for
// `output`.
std::vector<unsigned char> pack_read_launcher(const LinkOptions& link, const std::string& output,
                                              PePayloadSlot* slot) {
  fs::path path = link.launcher_dir / LINK_LAUNCHER_EXE;
  std::vector<unsigned char> image;
  if (link.linker.empty()) {
    image = read_whole_file(path);
  } else {
    fs::path linked = host_path_from_utf8(output);
    linked += ".launcher.exe";
    OutputFile temp(linked);
    temp.close();
    link_launcher(link, temp.temp_path());
    path = temp.temp_path();
    image = read_whole_file(path);
  }
  *slot = pe_payload_slot(image, "the launcher " + quote_path(path) + " cannot take a payload");
  return image;
}

// The main entry's kind in the payload file `path` (decoding only its first bytes) and, for a
// program, the execution level its manifest asks for into `level` (decoding all of it).
PeMainKind pack_payload_main(const fs::path& path, std::string* level) {
  std::vector<unsigned char> file = read_whole_file(path);
  PeMainKind kind;
  try {
    PayloadArray array = payload_locate(file, quote_path(path));
    std::optional<std::vector<unsigned char>> head =
        payload_main_head(array, PAYLOAD_MAIN_HEAD_BYTES);
    if (head) kind = pe_main_kind(*head);
    // Decision: a main program over 1 GiB (or one whose table claims so) is not read for it.
    if (kind.kind == PeMainKind::program) head = payload_main_head(array, size_t{1} << 30);
    if (kind.kind == PeMainKind::program && head) {
      *level = manifest_image_level(*head, quote_path(path));
      if (!manifest_level_known(*level)) level->clear();
    }
  } catch (const PackError&) {
    // Not a payload the launcher can read: it says so at run time.
  }
  return kind;
}

// The exe command's options for the launcher's headers: the subsystem follows a main
// program's (console for a console program) unless --console or --windowed says otherwise.
// A splash waits for a window, which a console program never opens: it would stay up for the
// program's whole run.
ExeOptions pack_exe_options(const ExeCommandOptions& exe, const PeMainKind& main,
                            const std::string& level) {
  ExeOptions options = exe.exe;
  options.execution_level = level;
  if (!options.console && !exe.windowed && main.kind == PeMainKind::program) {
    options.console = main.subsystem == PE_SUBSYSTEM_CONSOLE;
    if (options.console && !exe.splash.empty()) {
      throw UsageError("--splash is for a windowed application, and the main program is a console "
                       "one (--windowed packs it as a GUI program)");
    }
  }
  return options;
}

// Writes what `kind` names from `source`; `exe` holds the exe command's own options (null
// for the other kinds) and `link` its kit.
void pack_build(const SourceOptions& source, BuildKind kind, const ExeCommandOptions* exe,
                const LinkOptions& link) {
  auto started = std::chrono::steady_clock::now();
  const fs::path app_dir = host_path_from_utf8(source.app_dir);
  const fs::path payload_file = host_path_from_utf8(source.payload_file);
  const fs::path output_path = host_path_from_utf8(source.output);
  AppTree tree;
  if (source.payload_file.empty()) {
    tree = app_tree_collect(app_dir, source.main_dll);
    std::vector<fs::path> inputs;
    for (const AppFile& file : tree.files) inputs.push_back(file.source);
    app_check_output(output_path, app_dir, inputs);
    if (source.strict && !tree.warnings.empty()) throw PackError(tree.warnings.front());
    for (const std::string& warning : tree.warnings) {
      std::fprintf(stderr, "zobrin-pack: warning: %s\n", warning.c_str());
    }
  } else {
    app_check_output(output_path, {}, {payload_file});
    // Taken as it stands: its main entry is started as a program when it is one, and loaded
    // as a DLL otherwise (whatever it is), as without this check.
    if (kind != BuildKind::payload) {
      tree.main = pack_payload_main(payload_file, &tree.execution_level);
    }
  }
  const bool program = tree.main.kind == PeMainKind::program;
  // The level the launcher asks for: administrator with --uac-admin, else a main program's
  // own; none beyond the launcher's own asInvoker otherwise (then nothing is recorded).
  std::string level = exe && exe->uac_admin ? MANIFEST_REQUIRE_ADMINISTRATOR
                      : program            ? tree.execution_level
                                           : "";
  if (level == MANIFEST_AS_INVOKER) level.clear();
  std::vector<unsigned char> launcher;
  PePayloadSlot slot;
  ExeExtras extras;
  if (exe) {
    link_check_kit(link);
    launcher = pack_read_launcher(link, source.output, &slot);
    std::string subject = link.linker.empty()
                              ? quote_path(link.launcher_dir / LINK_LAUNCHER_EXE)
                              : "linked with '" + link.linker + "'";
    Settings recorded = exe->settings;
    recorded.execution_level = level;
    settings_check_launcher(recorded, launcher, subject);
    extras = exe_extras_prepare(launcher, slot, pack_exe_options(*exe, tree.main, level),
                                fs::path(source.output).filename().string(),
                                "the launcher " + subject + " cannot take resources");
  }
  OutputFile output(output_path);
  uint64_t object_start = 0;
  if (kind == BuildKind::object) object_start = coff_begin(output);
  if (exe) exe_begin(output, launcher, slot);
  const uint64_t array_start = output.position();
  PackStats stats;
  if (source.payload_file.empty()) {
    stats = payload_write(output, tree, source.pack);
  } else {
    stats.payload_bytes = output.append_file(payload_file);
  }
  // Over the array exactly as it stands, a crafted one too: the launcher's own checks then
  // meet whatever a crafted array holds.
  SectionHead head;
  if (kind != BuildKind::payload) {
    Settings recorded = exe ? exe->settings : Settings();
    recorded.execution_level = level;
    const std::string settings = settings_block(recorded);
    head = payload_section_head(output, array_start, stats.payload_bytes,
                                (exe && exe->cache ? ZB_RUN_FLAG_CACHE : 0) |
                                    (program ? ZB_RUN_FLAG_PROGRAM : 0) |
                                    (settings.empty() ? 0 : ZB_RUN_FLAG_SETTINGS),
                                settings);
  }
  if (kind == BuildKind::object) coff_end(output, object_start, head);
  if (exe) {
    exe_end(output, launcher, slot, head, extras);
    output.make_executable();
  }
  output.commit();
  if (source.payload_file.empty()) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double ratio = stats.bytes_in ? 100.0 * stats.payload_bytes / stats.bytes_in : 100.0;
    std::printf("zobrin-pack: %s, %llu bytes in, %llu bytes out (%.1f%%) to %s, %.2f s\n",
                count_text(stats.files, "file").c_str(),
                static_cast<unsigned long long>(stats.bytes_in),
                static_cast<unsigned long long>(stats.payload_bytes), ratio,
                quote_path(source.output).c_str(), seconds);
  }
}

void run_payload(const SourceOptions& options) {
  pack_build(check_source("payload", options), BuildKind::payload, nullptr, {});
}

void run_object(const SourceOptions& options) {
  pack_build(check_source("object", options), BuildKind::object, nullptr, {});
}

void run_exe(ExeCommandOptions options, const std::string& self) {
  SourceOptions source = check_source("exe", options.source);
  std::string version_error = version_check(options.exe.version);
  if (!version_error.empty()) throw UsageError(version_error);
  if (options.extract_to_given) {
    std::string place_error = settings_check_extract_to(options.extract_to);
    if (!place_error.empty()) throw UsageError(place_error);
    options.settings.extract_to = options.extract_to;
  }
  if (!options.splash.empty() && options.exe.console) {
    throw UsageError("--splash is for a windowed application, not with --console");
  }
  options.settings.args = options.args;
  for (const auto& [texts, prepend] : {std::pair(&options.env, false),
                                       std::pair(&options.env_prepend, true)}) {
    for (const std::string& text : *texts) {
      std::string env_error = settings_add_env(&options.settings, text, prepend);
      if (!env_error.empty()) throw UsageError(env_error);
    }
  }
  if (options.cwd_given && options.cwd.empty()) throw UsageError("--cwd needs a folder");
  options.settings.cwd = options.cwd;
  std::string app_error = settings_check_app(options.settings);
  if (!app_error.empty()) throw UsageError(app_error);
  // Read and checked before anything is packed, so a bad image costs no compression.
  if (!options.splash.empty()) options.settings.splash = splash_record(host_path_from_utf8(options.splash));
  pack_build(source, BuildKind::exe, &options, link_options(options.kit, self));
}

// The options of payload, object and exe; --payload on the last two, which cut a large
// stream into frames by default (payload writes one frame unless asked).
void add_source_options(CLI::App* sub, SourceOptions* source, bool payload_file,
                        const char* output_help) {
  const std::string unless_payload = payload_file ? ", unless --payload" : "";
  CLI::Option* dir = sub->add_option("APP_DIR", source->app_dir,
                                     "the application directory (required" + unless_payload + ")")
                         ->type_name("");
  CLI::Option* main =
      sub->add_option("--main", source->main_dll,
                      "the main DLL's path in APP_DIR (required when more than one DLL there "
                      "exports run_code), or the main program's (NAME.exe); \\ or / between "
                      "folders (bin\\NAME.exe)")
          ->type_name("NAME.dll");
  sub->add_option("--level", source->pack.level,
                  "zstd compression level, 1 to " + std::to_string(codec_max_level()) +
                      " (default " + std::to_string(PackOptions().level) + ")")
      ->type_name("N")
      ->check(CLI::Range(1, codec_max_level()));
  sub->add_option("--threads", source->pack.threads,
                  "compression threads, 0 for one per CPU (default 0)")
      ->type_name("N")
      ->check(CLI::Range(0, MAX_THREADS));
  source->pack.frame_size = payload_file ? PACK_FRAMES_AUTO : 0;
  sub->add_option("--frame-size", source->pack.frame_size,
                  "cut the stream into independent frames of at most this many decoded bytes, "
                  "which the launcher decodes side by side; 0 for one frame (default: " +
                      std::string(payload_file ? "a stream of 64 MiB or more in frames of 32 "
                                                 "to 64 MiB"
                                               : "0") +
                      ")")
      ->type_name("BYTES")
      ->check([](const std::string& text) -> std::string {
        uint64_t value = 0;
        if (!CLI::detail::lexical_cast(text, value) ||
            (value != 0 && (value < PACK_FRAME_MIN_BYTES || value > PACK_FRAME_MAX_BYTES))) {
          return "out of range";
        }
        return "";
      });
  if (payload_file) {
    sub->add_option("--payload", source->payload_file, "a payload file written by 'payload'")
        ->type_name("FILE")
        ->excludes(dir)
        ->excludes(main);
  }
  sub->add_option("-o", source->output, std::string(output_help) + " (required)")
      ->type_name("FILE");
  sub->add_flag("--strict", source->strict,
                "make every warning an error (a DLL the application lacks, an empty directory)");
  source->pack.progress = host_stderr_is_terminal();
}

void add_kit_options(CLI::App* sub, KitOptions* kit) {
  sub->add_option("--launcher-dir", kit->launcher_dir,
                  "the launcher kit (default: 'launcher' beside zobrin-pack, else " +
                      std::string(LINK_INSTALLED_LAUNCHER_DIR) + " from it, as installed)")
      ->type_name("DIR");
  sub->add_option("--linker", kit->linker,
                  "link the launcher with this mingw-w64 driver instead of using the kit's "
                  "launcher.exe (for launcher: default " + std::string(LINK_DEFAULT_LINKER) + ")")
      ->type_name("CMD");
}

void setup_payload(CLI::App& app) {
  auto options = std::make_shared<SourceOptions>();
  CLI::App* sub = app.add_subcommand("payload", "write the payload array of APP_DIR");
  add_source_options(sub, options.get(), false, "the payload file");
  sub->callback([options] { run_payload(*options); });
}

void setup_object(CLI::App& app) {
  auto options = std::make_shared<SourceOptions>();
  CLI::App* sub = app.add_subcommand("object", "write the payload as an x86-64 COFF object");
  add_source_options(sub, options.get(), true, "the object file");
  sub->callback([options] { run_object(*options); });
}

void setup_exe(CLI::App& app, const std::string& self) {
  auto options = std::make_shared<ExeCommandOptions>();
  CLI::App* sub = app.add_subcommand("exe", "write the onefile executable");
  add_source_options(sub, &options->source, true, "the executable");
  add_kit_options(sub, &options->kit);
  CLI::Option* console =
      sub->add_flag("--console", options->exe.console,
                    "a console program (for command-line applications) instead of a GUI one "
                    "(default: a main program's own subsystem, else GUI)");
  sub->add_flag("--windowed", options->windowed,
                "a GUI program even when the main program is a console one")
      ->excludes(console);
  sub->add_flag("--cache", options->cache,
                "extract once into a per-user cache directory named by the payload's content, "
                "and start from there afterwards");
  CLI::Option* extract_to = sub->add_option("--extract-to", options->extract_to,
                  std::string("extract into this folder instead of the temporary directory (made "
                              "at run time when missing); may start with ") +
                      SETTINGS_EXTRACT_TO_VARIABLES)
      ->type_name("TEMPLATE");
  sub->add_option("--splash", options->splash,
                  "an image (PNG or BMP) shown while a slow first start extracts, until the "
                  "application's first window appears")
      ->type_name("IMAGE");
  sub->add_flag("--uac-admin", options->uac_admin,
                "ask for administrator rights at the start (requireAdministrator); default: "
                "the main program's own manifest level, else asInvoker");
  const std::string templates = std::string("; may name ") + SETTINGS_APP_VARIABLES +
                                " ({APP_DIR}: the extracted tree), {{ and }} for braces";
  sub->add_option("--arg", options->args,
                  "a fixed argument given to the application before the user's (repeatable)" +
                      templates)
      ->type_name("TEXT")
      ->allow_extra_args(false);
  sub->add_option("--env", options->env,
                  "a variable set for the application only (repeatable; an empty VALUE removes "
                  "it)" + templates)
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  sub->add_option("--env-prepend", options->env_prepend,
                  "a value put in front of the application's inherited variable, joined by ';' "
                  "(repeatable)" + templates)
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  CLI::Option* cwd = sub->add_option("--cwd", options->cwd,
                                     "the application's working folder (default: the user's); "
                                     "it must exist at run time" + templates)
                         ->type_name("TEMPLATE");
  sub->add_option("--icon", options->exe.icon, "the executable's icon")->type_name("FILE.ico");
  VersionFields& version = options->exe.version;
  sub->add_option("--product", version.product, "version information: the product name")
      ->type_name("TEXT");
  sub->add_option("--company", version.company, "version information: the company name")
      ->type_name("TEXT");
  sub->add_option(
         "--file-version", version.file_version,
         "version information: the file and product version, one to four numbers 0 to 65535")
      ->type_name("A.B.C.D");
  sub->add_option("--description", version.description,
                  "version information: the file description")
      ->type_name("TEXT");
  sub->add_option("--copyright", version.copyright, "version information: the copyright notice")
      ->type_name("TEXT");
  sub->callback([options, self, extract_to, cwd] {
    options->extract_to_given = extract_to->count() > 0;
    options->cwd_given = cwd->count() > 0;
    run_exe(*options, self);
  });
}

void setup_launcher(CLI::App& app, const std::string& self) {
  auto options = std::make_shared<LauncherOptions>();
  CLI::App* sub = app.add_subcommand("launcher", "link the launcher with an empty payload");
  sub->add_option("-o", options->output, "the launcher executable (required)")->type_name("FILE");
  add_kit_options(sub, &options->kit);
  sub->callback([options, self] { run_launcher(*options, self); });
}

// list, verify and extract: one file to read (and for extract, the directory to write).
void setup_read(CLI::App& app, const char* name, const char* help,
                void (*run)(const ReadOptions&)) {
  auto options = std::make_shared<ReadOptions>();
  CLI::App* sub = app.add_subcommand(name, help);
  sub->add_option("FILE_OR_EXE", options->file,
                  "a payload file or a onefile executable (required)")
      ->type_name("");
  if (run == run_extract) {
    sub->add_option("-o", options->output,
                    "the directory to write the files into, which must not exist (required)")
        ->type_name("DIR");
  }
  std::string command = name;
  sub->callback([options, command, run] {
    if (options->file.empty()) throw UsageError(command + " needs a payload or executable file");
    run(*options);
  });
}

void setup_help(CLI::App& app) {
  CLI::App* sub = app.add_subcommand("help", "print this help");
  sub->callback([&app] {
    std::fputs(app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal).c_str(),
               stdout);
  });
}

// The command line `zobrin-pack` takes: one subcommand, each running from its callback.
// `self` is this program's argv[0], which locates the default launcher kit.
void setup_app(CLI::App& app, const std::string& self) {
  app.set_version_flag("--version", std::string("zobrin-pack ") + ZOBRIN_VERSION,
                       "print the version and exit");
  app.require_subcommand(1);
  // The same options on every host: no "/o" forms on Windows.
  app.allow_windows_style_options(false);
  setup_payload(app);
  setup_object(app);
  setup_exe(app, self);
  setup_launcher(app, self);
  setup_read(app, "list", "print the entries of a payload or an executable", run_list);
  setup_read(app, "verify", "decode a payload or an executable's payload whole and check it",
             run_verify);
  setup_read(app, "extract",
             "write the files of a payload or an executable out as a tree, checked as by verify",
             run_extract);
  setup_help(app);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Packs an application directory into one Windows executable.", "zobrin-pack");
  try {
    std::vector<std::string> utf8_args = host_utf8_args(argc, argv);
    // CLI11 takes "--arg=" as the option still waiting for its value (and takes the next
    // argument); for the options where an empty value means something it is given apart.
    for (size_t i = 1; i < utf8_args.size(); i++) {
      for (const char* empty : {"--arg=", "--env=", "--env-prepend=", "--cwd="}) {
        if (utf8_args[i] != empty) continue;
        utf8_args[i].pop_back();
        utf8_args.insert(utf8_args.begin() + static_cast<long>(++i), "");
        break;
      }
    }
    std::vector<char*> utf8_argv;
    for (std::string& arg : utf8_args) utf8_argv.push_back(&arg[0]);
    utf8_argv.push_back(nullptr);
    setup_app(app, utf8_args.empty() ? "zobrin-pack" : utf8_args.front());
    if (utf8_args.size() < 2) throw UsageError("no command given");
    app.parse(static_cast<int>(utf8_args.size()), utf8_argv.data());
    return 0;
  } catch (const CLI::Success& printed) {
    return app.exit(printed);
  } catch (const CLI::ParseError& error) {
    // The chosen command's help, or the program's when none was chosen.
    std::fprintf(stderr, "zobrin-pack: error: %s\n%s", cli_message(error, app).c_str(),
                 app.help().c_str());
    return 2;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "zobrin-pack: error: %s\n%s", error.what(), app.help().c_str());
    return 2;
  } catch (const std::exception& error) {
    // PackError, and what the library throws (out of memory, a file system error).
    std::fprintf(stderr, "zobrin-pack: error: %s\n", error.what());
    return 1;
  }
}
