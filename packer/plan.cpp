#include "packer/plan.h"

#include <cstdio>
#include <optional>

#include "packer/file_io.h"
#include "packer/host_os.h"
#include "packer/manifest.h"
#include "packer/pack_error.h"
#include "packer/payload_read.h"
#include "packer/splash_image.h"
#include "packer/usage_error.h"
#include "packer/version_info.h"

namespace fs = std::filesystem;

namespace {

// The checks across the options of payload, object and exe, in the order the messages have
// always come. Without --main, the one DLL of APP_DIR's top that exports run_code is the main
// DLL; with none, the one program there is the main program.
SourceRequest check_source(const std::string& command, SourceRequest source) {
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

// The main entry's kind in the payload file `path` (decoding only its first bytes) and, for a
// program, the execution level its manifest asks for into `level` (decoding all of it).
PeMainKind payload_file_main(const fs::path& path, std::string* level) {
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

// The entries of `source` (as check_source returns it) and where they go: the tree collected
// and checked against the output, its warnings printed (or the first one thrown with
// --strict); or the payload file, whose main entry is read when `read_main`.
PackPlan plan_source(const SourceRequest& source, bool read_main) {
  PackPlan plan;
  plan.started = std::chrono::steady_clock::now();
  plan.output = source.output;
  plan.output_path = host_path_from_utf8(source.output);
  plan.pack = source.pack;
  if (source.payload_file.empty()) {
    const fs::path app_dir = host_path_from_utf8(source.app_dir);
    plan.tree = app_tree_collect(app_dir, source.main_dll);
    std::vector<fs::path> inputs;
    for (const AppFile& file : plan.tree.files) inputs.push_back(file.source);
    app_check_output(plan.output_path, app_dir, inputs);
    if (source.strict && !plan.tree.warnings.empty()) throw PackError(plan.tree.warnings.front());
    for (const std::string& warning : plan.tree.warnings) {
      std::fprintf(stderr, "zobrin-pack: warning: %s\n", warning.c_str());
    }
  } else {
    plan.payload_file = host_path_from_utf8(source.payload_file);
    app_check_output(plan.output_path, {}, {plan.payload_file});
    // Taken as it stands: its main entry is started as a program when it is one, and loaded
    // as a DLL otherwise (whatever it is), as without this check.
    if (read_main) {
      plan.tree.main = payload_file_main(plan.payload_file, &plan.tree.execution_level);
    }
  }
  return plan;
}

// The level the launcher asks for: administrator with --uac-admin, else a main program's own;
// none beyond the launcher's own asInvoker otherwise (then nothing is recorded).
std::string plan_level(const AppTree& tree, bool uac_admin) {
  std::string level = uac_admin                               ? MANIFEST_REQUIRE_ADMINISTRATOR
                      : tree.main.kind == PeMainKind::program ? tree.execution_level
                                                              : "";
  if (level == MANIFEST_AS_INVOKER) level.clear();
  return level;
}

// The exe command's options for the launcher's headers: the subsystem follows a main
// program's (console for a console program) unless --console or --windowed says otherwise.
// A splash waits for a window, which a console program never opens: it would stay up for the
// program's whole run.
ExeOptions plan_exe_options(const ExeRequest& request, const PeMainKind& main,
                            const std::string& level) {
  ExeOptions options = request.exe;
  options.execution_level = level;
  if (!options.console && !request.windowed && main.kind == PeMainKind::program) {
    options.console = main.subsystem == PE_SUBSYSTEM_CONSOLE;
    if (options.console && !request.splash.empty()) {
      throw UsageError("--splash is for a windowed application, and the main program is a console "
                       "one (--windowed packs it as a GUI program)");
    }
  }
  return options;
}

// The settings the exe command records, checked in the order the messages have always come.
Settings exe_settings(const ExeRequest& request) {
  Settings settings;
  std::string version_error = version_check(request.exe.version);
  if (!version_error.empty()) throw UsageError(version_error);
  if (request.extract_to_given) {
    std::string place_error = settings_check_extract_to(request.extract_to);
    if (!place_error.empty()) throw UsageError(place_error);
    settings.extract_to = request.extract_to;
  }
  if (!request.splash.empty() && request.exe.console) {
    throw UsageError("--splash is for a windowed application, not with --console");
  }
  settings.args = request.args;
  for (const auto& [texts, prepend] : {std::pair(&request.env, false),
                                       std::pair(&request.env_prepend, true)}) {
    for (const std::string& text : *texts) {
      std::string env_error = settings_add_env(&settings, text, prepend);
      if (!env_error.empty()) throw UsageError(env_error);
    }
  }
  if (request.cwd_given && request.cwd.empty()) throw UsageError("--cwd needs a folder");
  settings.cwd = request.cwd;
  std::string app_error = settings_check_app(settings);
  if (!app_error.empty()) throw UsageError(app_error);
  if (!request.splash.empty()) settings.splash = splash_record(host_path_from_utf8(request.splash));
  return settings;
}

}  // namespace

PackPlan plan_payload(const SourceRequest& request) {
  return plan_source(check_source("payload", request), false);
}

PackPlan plan_object(const SourceRequest& request) {
  PackPlan plan = plan_source(check_source("object", request), true);
  plan.settings.execution_level = plan_level(plan.tree, false);
  return plan;
}

ExePlan plan_exe(const ExeRequest& request) {
  const SourceRequest source = check_source("exe", request.source);
  Settings settings = exe_settings(request);
  ExePlan plan;
  plan.pack = plan_source(source, true);
  settings.execution_level = plan_level(plan.pack.tree, request.uac_admin);
  plan.pack.settings = settings;
  plan.pack.cache = request.cache;
  plan.link = request.link;
  plan.exe = plan_exe_options(request, plan.pack.tree.main, settings.execution_level);
  return plan;
}
