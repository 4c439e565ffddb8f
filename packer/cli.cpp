#include "packer/cli.h"

#include <cstdio>
#include <memory>

#include "packer/codec.h"
#include "packer/count_text.h"
#include "packer/file_io.h"
#include "packer/host_os.h"
#include "packer/link_exe.h"
#include "packer/payload_extract.h"
#include "packer/payload_list.h"
#include "packer/payload_verify.h"
#include "packer/plan.h"
#include "packer/usage_error.h"
#include "packer/write_exe.h"
#include "packer/write_object.h"
#include "packer/write_payload.h"

namespace fs = std::filesystem;

namespace {

const int MAX_THREADS = 256;

// The launcher kit and linker of exe and launcher.
struct KitOptions {
  std::string launcher_dir;  // as given; empty: the default beside zobrin-pack
  std::string linker;
};

// The exe command's options: the request, and the kit it is turned into.
struct ExeCommand {
  ExeRequest request;
  KitOptions kit;
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

// The options of payload, object and exe; --payload on the last two, which cut a large
// stream into frames by default (payload writes one frame unless asked).
void add_source_options(CLI::App* sub, SourceRequest* source, bool payload_file,
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
  auto options = std::make_shared<SourceRequest>();
  CLI::App* sub = app.add_subcommand("payload", "write the payload array of APP_DIR");
  add_source_options(sub, options.get(), false, "the payload file");
  sub->callback([options] { write_payload(plan_payload(*options)); });
}

void setup_object(CLI::App& app) {
  auto options = std::make_shared<SourceRequest>();
  CLI::App* sub = app.add_subcommand("object", "write the payload as an x86-64 COFF object");
  add_source_options(sub, options.get(), true, "the object file");
  sub->callback([options] { write_object(plan_object(*options)); });
}

// The exe command's options for what the application is given: fixed arguments, variables
// and working folder. Returns --cwd's option, whose count tells an empty folder from none.
CLI::Option* add_app_options(CLI::App* sub, ExeRequest* request) {
  const std::string templates = std::string("; may name ") + SETTINGS_APP_VARIABLES +
                                " ({APP_DIR}: the extracted tree), {{ and }} for braces";
  sub->add_option("--arg", request->args,
                  "a fixed argument given to the application before the user's (repeatable)" +
                      templates)
      ->type_name("TEXT")
      ->allow_extra_args(false);
  sub->add_option("--env", request->env,
                  "a variable set for the application only (repeatable; an empty VALUE removes "
                  "it)" + templates)
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  sub->add_option("--env-prepend", request->env_prepend,
                  "a value put in front of the application's inherited variable, joined by ';' "
                  "(repeatable)" + templates)
      ->type_name("NAME=VALUE")
      ->allow_extra_args(false);
  return sub
      ->add_option("--cwd", request->cwd,
                   "the application's working folder (default: the user's); it must exist at run "
                   "time" + templates)
      ->type_name("TEMPLATE");
}

// The exe command's icon and version information.
void add_version_options(CLI::App* sub, ExeOptions* exe) {
  sub->add_option("--icon", exe->icon, "the executable's icon")->type_name("FILE.ico");
  VersionFields& version = exe->version;
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
}

void setup_exe(CLI::App& app, const std::string& self) {
  auto options = std::make_shared<ExeCommand>();
  CLI::App* sub = app.add_subcommand("exe", "write the onefile executable");
  add_source_options(sub, &options->request.source, true, "the executable");
  add_kit_options(sub, &options->kit);
  CLI::Option* console =
      sub->add_flag("--console", options->request.exe.console,
                    "a console program (for command-line applications) instead of a GUI one "
                    "(default: a main program's own subsystem, else GUI)");
  sub->add_flag("--windowed", options->request.windowed,
                "a GUI program even when the main program is a console one")
      ->excludes(console);
  sub->add_flag("--cache", options->request.cache,
                "extract once into a per-user cache directory named by the payload's content, "
                "and start from there afterwards");
  CLI::Option* extract_to = sub->add_option("--extract-to", options->request.extract_to,
                  std::string("extract into this folder instead of the temporary directory (made "
                              "at run time when missing); may start with ") +
                      SETTINGS_EXTRACT_TO_VARIABLES)
      ->type_name("TEMPLATE");
  sub->add_option("--splash", options->request.splash,
                  "an image (PNG or BMP) shown while a slow first start extracts, until the "
                  "application's first window appears")
      ->type_name("IMAGE");
  sub->add_flag("--uac-admin", options->request.uac_admin,
                "ask for administrator rights at the start (requireAdministrator); default: "
                "the main program's own manifest level, else asInvoker");
  CLI::Option* cwd = add_app_options(sub, &options->request);
  add_version_options(sub, &options->request.exe);
  sub->callback([options, self, extract_to, cwd] {
    ExeRequest request = options->request;
    request.extract_to_given = extract_to->count() > 0;
    request.cwd_given = cwd->count() > 0;
    request.link = link_options(options->kit, self);
    write_exe(plan_exe(request));
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

}  // namespace

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

void cli_setup(CLI::App& app, const std::string& self) {
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


std::vector<std::string> cli_args(int argc, char** argv) {
  std::vector<std::string> args = host_utf8_args(argc, argv);
  // CLI11 takes "--arg=" as the option still waiting for its value (and takes the next
  // argument); for the options where an empty value means something it is given apart.
  for (size_t i = 1; i < args.size(); i++) {
    for (const char* empty : {"--arg=", "--env=", "--env-prepend=", "--cwd="}) {
      if (args[i] != empty) continue;
      args[i].pop_back();
      args.insert(args.begin() + static_cast<long>(++i), "");
      break;
    }
  }
  return args;
}

void cli_parse(CLI::App& app, std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  app.parse(static_cast<int>(args.size()), argv.data());
}
