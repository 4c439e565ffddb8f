#include "packer/app_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <system_error>

#include "base/limits.h"
#include "format/payload_format.h"
#include "packer/file_io.h"
#include "packer/host_os.h"
#include "packer/manifest.h"
#include "packer/pack_error.h"
#include "packer/pe_image.h"
#include "packer/system_dlls.h"
#include "packer/utf.h"
#include "packer/win_case.h"

namespace fs = std::filesystem;

namespace {

struct Child {
  std::u16string name;
  fs::path path;
};

// The name's UTF-16 units; `path` names the file in the message.
std::u16string app_name_units(const fs::path& component, const fs::path& path) {
  std::u16string units;
  if (!host_path_units(component, &units)) {
    throw PackError("file name " + quote_path(path) + " is not valid UTF-8");
  }
  return units;
}

std::string app_message_name(const std::u16string& name) {
  std::string text = utf_16_to_8(name);
  if (text.size() > 80) text = text.substr(0, 60) + "...";
  return "'" + text + "'";
}

// Refuses a name Windows cannot create as it stands.
void app_check_windows_name(const std::u16string& name, const fs::path& path) {
  std::string problem = win_name_problem(name);
  if (!problem.empty()) throw PackError("file name " + quote_path(path) + " " + problem);
}

void app_check_readable(const fs::path& path) {
  std::ifstream in(host_io_path(path), std::ios::binary);
  if (!in) throw PackError("cannot read " + quote_path(path) + ": " + std::strerror(errno));
}

[[noreturn]] void app_fail_directory(const fs::path& dir, const std::error_code& ec) {
  throw PackError("cannot read directory " + quote_path(dir) + ": " + ec.message());
}

// Refuses two names of one directory that Windows takes for one (it ignores case): one file
// would replace the other, or two directories would merge.
void app_check_case(const std::vector<Child>& files, const std::vector<Child>& dirs) {
  std::vector<std::pair<std::u16string, const Child*>> folded;
  for (const std::vector<Child>* list : {&files, &dirs}) {
    for (const Child& child : *list) folded.emplace_back(win_upper(child.name), &child);
  }
  std::sort(folded.begin(), folded.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->name < b.second->name;
  });
  for (size_t i = 1; i < folded.size(); i++) {
    if (folded[i].first == folded[i - 1].first) {
      throw PackError("names " + quote_path(folded[i - 1].second->path) + " and " +
                      quote_path(folded[i].second->path) +
                      " differ only in case, which Windows ignores: they would land on one file");
    }
  }
}

// Lists one directory into files and subdirectories, each sorted by UTF-16 code units.
void app_list(const fs::path& dir, std::vector<Child>* files, std::vector<Child>* dirs) {
  std::error_code ec;
  std::vector<fs::path> names = host_list_directory(dir, ec);
  if (ec) app_fail_directory(dir, ec);
  for (const fs::path& name : names) {
    const fs::path path = dir / name;
    Child child{app_name_units(path.filename(), path), path};
    app_check_windows_name(child.name, path);
    fs::file_status status = fs::status(host_io_path(path), ec);
    if (ec || status.type() == fs::file_type::not_found) {
      if (fs::is_symlink(fs::symlink_status(host_io_path(path), ec))) {
        throw PackError("broken symbolic link " + quote_path(path));
      }
      throw PackError("cannot read " + quote_path(path) + ": " + ec.message());
    }
    if (status.type() == fs::file_type::directory) {
      dirs->push_back(child);
    } else if (status.type() == fs::file_type::regular) {
      files->push_back(child);
    } else {
      throw PackError(quote_path(path) + " is not a regular file or directory");
    }
  }
  app_check_case(*files, *dirs);
  auto by_units = [](const Child& a, const Child& b) { return a.name < b.name; };
  std::sort(files->begin(), files->end(), by_units);
  std::sort(dirs->begin(), dirs->end(), by_units);
}

struct Walk {
  AppTree* tree;
  fs::path main_path;
  std::u16string main_prefix;  // the main file's folder as walk prefixes name it: u"" or u"bin\\"
  std::set<std::pair<uint64_t, uint64_t>> open_dirs;  // directories on the current descent
};

void app_walk(Walk* walk, const fs::path& dir, const std::u16string& prefix, bool top) {
  std::error_code ec;
  std::pair<uint64_t, uint64_t> id = host_file_id(dir, ec);
  if (ec) app_fail_directory(dir, ec);
  if (!walk->open_dirs.insert(id).second) {
    throw PackError("symbolic link loop: " + quote_path(dir) +
                    " leads back to a directory above it");
  }
  std::vector<Child> files;
  std::vector<Child> dirs;
  app_list(dir, &files, &dirs);
  if (files.empty() && dirs.empty() && !top) {
    walk->tree->warnings.push_back("empty directory " + quote_path(dir) +
                                   " is not carried (a directory exists only through its files)");
  }
  for (const Child& file : files) {
    if (prefix == walk->main_prefix &&
        fs::equivalent(host_io_path(file.path), host_io_path(walk->main_path), ec)) {
      continue;
    }
    AppFile entry;
    entry.source = file.path;
    entry.name = prefix + file.name;
    app_check_name(entry.name, file.path);
    entry.size = fs::file_size(host_io_path(file.path), ec);
    if (!ec) entry.time = fs::last_write_time(host_io_path(file.path), ec);
    if (ec) throw PackError("cannot read " + quote_path(file.path) + ": " + ec.message());
    app_check_readable(file.path);
    walk->tree->files.push_back(entry);
  }
  for (const Child& sub : dirs) app_walk(walk, sub.path, prefix + sub.name + u"\\", false);
  walk->open_dirs.erase(id);
}

// The regular files (or, with `directories`, the directories) of `dir`, by their names in
// upper case (as Windows looks them up); unreadable entries are left to the walk to report.
std::map<std::string, fs::path> app_folder_files(const fs::path& dir, bool directories = false) {
  std::map<std::string, fs::path> files;
  std::error_code ec;
  for (const fs::path& entry : host_list_directory(dir, ec)) {
    const fs::path path = dir / entry;
    std::error_code status_error;
    if (directories ? !fs::is_directory(host_io_path(path), status_error)
                    : !fs::is_regular_file(host_io_path(path), status_error)) {
      continue;
    }
    std::string name = entry.string();
    std::string upper = win_upper_utf8(name);
    // Of names that differ only in case (refused by the walk), keep the first by code unit.
    auto found = files.find(upper);
    if (found == files.end() || name < found->second.filename().string()) files[upper] = path;
  }
  return files;
}

// True for a file name ending in `extension` (".dll", ".exe") in any case.
bool app_has_extension(const std::string& name, const char* extension) {
  return name.size() > 4 && ascii_lower(name.substr(name.size() - 4)) == extension;
}

// The files of `folder` named NAME`extension` (".dll", ".exe"), each quoted with `prefix`
// before it, ", " between them; "" when there are none.
std::string app_folder_names(const fs::path& folder, const char* extension,
                             const std::string& prefix = "") {
  std::string names;
  for (const auto& file : app_folder_files(folder)) {
    std::string name = file.second.filename().string();
    if (app_has_extension(name, extension)) {
      names += (names.empty() ? "" : ", ") + quote_path(prefix + name);
    }
  }
  return names;
}

// The main file's path in `app_dir`, checked: `main_dll` names a file inside it, with "\\" or
// "/" between its folders, each name matched without regard to case (as Windows does); a
// 64-bit DLL exporting run_code or a program the launcher can start (its kind in `kind`). Its
// size in `size`; its folder as the walk's names begin with it (u"" or u"bin\\") in `prefix`.
fs::path app_main_dll(const fs::path& app_dir, const std::string& main_dll, uint64_t* size,
                      PeMainKind* kind, std::u16string* prefix) {
  if (main_dll.empty()) {
    throw PackError("--main takes the file name of a DLL in the application directory, not ''");
  }
  // Decision: "." and empty components are skipped ("./bin//app.exe" is "bin\app.exe"); a
  // leading separator, a drive or stream (":") or ".." anywhere leads out and is refused.
  std::vector<std::string> parts;
  bool outside = main_dll[0] == '\\' || main_dll[0] == '/' ||
                 main_dll.find(':') != std::string::npos;
  size_t start = 0;
  for (size_t i = 0; i <= main_dll.size(); i++) {
    if (i < main_dll.size() && main_dll[i] != '\\' && main_dll[i] != '/') continue;
    std::string part = main_dll.substr(start, i - start);
    start = i + 1;
    if (part == "..") outside = true;
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  if (outside) {
    throw PackError("--main '" + main_dll + "' is not inside the application directory " +
                    quote_path(app_dir));
  }
  const std::string a_directory =
      "--main '" + main_dll + "' names a directory in " + quote_path(app_dir) + ", not a file";
  if (parts.empty()) throw PackError(a_directory);
  const std::string& file_name = parts.back();
  const bool named_program = app_has_extension(file_name, ".exe");
  const std::string what = named_program ? "main program" : "main DLL";
  fs::path folder = app_dir;
  std::string folders;  // as given, "\\" between them
  std::error_code ec;
  for (size_t i = 0; i + 1 < parts.size(); i++) {
    folders += (folders.empty() ? "" : "\\") + parts[i];
    fs::path next = folder / host_path_from_utf8(parts[i]);
    if (!fs::is_directory(host_io_path(next), ec)) {
      std::map<std::string, fs::path> dirs = app_folder_files(folder, /* directories */ true);
      auto found = dirs.find(win_upper_utf8(parts[i]));
      if (found == dirs.end()) {
        throw PackError(what + " '" + main_dll + "' is not a file in " + quote_path(app_dir) +
                        " (it has no folder '" + folders + "')");
      }
      next = found->second;
    }
    folder = next;
    *prefix += app_name_units(folder.filename(), folder) + u"\\";
  }
  fs::path main_path = folder / host_path_from_utf8(file_name);
  if (!fs::is_regular_file(host_io_path(main_path), ec)) {
    std::map<std::string, fs::path> top = app_folder_files(folder);
    auto found = top.find(win_upper_utf8(file_name));
    if (found == top.end()) {
      if (fs::is_directory(host_io_path(main_path), ec) ||
          app_folder_files(folder, /* directories */ true).count(win_upper_utf8(file_name))) {
        throw PackError(a_directory);
      }
      // Decision: a name that is not NAME.exe may have meant either kind, so both are listed.
      std::string dlls = named_program ? "" : app_folder_names(folder, ".dll");
      std::string programs = app_folder_names(folder, ".exe");
      std::string listed;
      if (!dlls.empty()) listed = "its DLLs: " + dlls;
      if (!programs.empty()) {
        listed += std::string(listed.empty() ? "" : "; ") + "its programs: " + programs;
      }
      if (listed.empty()) {
        listed = named_program ? "it holds no programs" : "it holds no DLLs or programs";
      }
      throw PackError(what + " '" + main_dll + "' is not a file in " + quote_path(folder) + " (" +
                      listed + ")");
    }
    main_path = found->second;
  }
  std::vector<unsigned char> image = read_whole_file(main_path);
  *kind = pe_main_kind(image);
  if (named_program ||
      (!app_has_extension(file_name, ".dll") && kind->kind == PeMainKind::program)) {
    *kind = pe_check_program(image, "main program " + quote_path(main_path));
  } else {
    // A DLL without run_code beside programs: most likely the program was meant.
    std::string prefix;
    for (size_t i = 0; i + 1 < parts.size(); i++) prefix += parts[i] + "/";
    std::string programs = app_folder_names(folder, ".exe", prefix);
    pe_check_dll_export(image, "run_code", "main DLL " + quote_path(main_path),
                        programs.empty() ? ""
                        : programs.find(", ") == std::string::npos
                            ? "; to start the program of its folder instead, give --main " +
                                  programs
                            : "; to start a program of its folder instead, give --main one of " +
                                  programs);
  }
  *size = image.size();
  return main_path;
}

// Follows the imports of the main file through the DLLs of the folders the loader searches
// for them (`folders`, in order: a main program's own folder; a main DLL's folder, then the
// application directory's top) and warns about what would keep the application from
// starting: a DLL that is neither there nor a system DLL (once), a DLL of the application that
// cannot be loaded (once), and a function a DLL of the application does not export (once per
// importer and DLL, naming the first). `where` names the folders in the first warning. The
// application's DLLs must be built for `machine`, the main program's (i386 or x86-64). The
// DLLs it finds unloadable go into `warned`.
void app_check_imports(const std::vector<fs::path>& folders, const std::string& where,
                       const fs::path& main_path, uint32_t machine,
                       std::vector<std::string>* warnings, std::set<fs::path>* warned) {
  struct Local {
    std::string problem;  // pe_dll_problem's
    std::set<std::string> exports;
  };
  std::map<std::string, fs::path> top;
  for (const fs::path& folder : folders) {
    for (auto& file : app_folder_files(folder)) top.emplace(file.first, file.second);
  }
  std::map<std::string, Local> locals;
  std::set<std::string> seen = {win_upper_utf8(main_path.filename().string())};
  std::vector<fs::path> pending = {main_path};
  const std::string will_not_start = ": the application will not start with it";
  while (!pending.empty()) {
    fs::path importer = pending.front();
    pending.erase(pending.begin());
    for (const PeImport& import : pe_imports(read_whole_file(importer))) {
      std::string upper = win_upper_utf8(import.dll);
      bool first = seen.insert(upper).second;
      auto local = top.find(upper);
      if (local != top.end()) {
        auto found = locals.find(upper);
        if (found == locals.end()) {
          std::vector<unsigned char> image = read_whole_file(local->second);
          Local info{pe_dll_problem(image, machine), {}};
          for (std::string& name : pe_export_names(image)) info.exports.insert(std::move(name));
          found = locals.emplace(upper, std::move(info)).first;
        }
        const std::string named = quote_path(local->second.filename());
        if (!found->second.problem.empty()) {
          warned->insert(local->second);
          if (first) {
            warnings->push_back(named + ", imported by " + quote_path(importer.filename()) +
                                ", " + found->second.problem + will_not_start);
          }
          continue;
        }
        for (const std::string& function : import.functions) {
          if (found->second.exports.count(function)) continue;
          warnings->push_back(named + " does not export '" + function + "', which " +
                              quote_path(importer.filename()) + " imports from it" +
                              will_not_start);
          break;
        }
        if (first) pending.push_back(local->second);
        continue;
      }
      if (!first) continue;
      std::string lower = ascii_lower(import.dll);
      if (lower.compare(0, 11, "api-ms-win-") == 0 || lower.compare(0, 11, "ext-ms-win-") == 0 ||
          system_dll_known(lower)) {
        continue;
      }
      warnings->push_back(quote_path(import.dll) + ", imported by " +
                          quote_path(importer.filename()) +
                          ", is neither in " + where + " nor a Windows system DLL: "
                          "the application will not start without it");
    }
  }
}

// The execution level the main program's manifest asks for (packer/manifest.h), or "" when
// it asks for none or for one Windows does not know (then with a warning: Windows refuses to
// start such a program). Decision: resources the packer cannot read count as no manifest, as
// they did before the level was read; the launcher then asks for asInvoker.
std::string app_execution_level(const fs::path& main_path, std::vector<std::string>* warnings) {
  std::string level;
  try {
    level = manifest_image_level(read_whole_file(main_path), quote_path(main_path));
  } catch (const PackError&) {
    return "";
  }
  if (level.empty() || manifest_level_known(level)) return level;
  warnings->push_back("main program " + quote_path(main_path) + " asks in its manifest for the "
                      "execution level '" + level + "', which Windows does not know: the "
                      "application will not start with it");
  return "";
}

// Warns about each PE file of the tree (by its content, whatever its name) that is cut short
// (a section past the end of the file): Windows cannot load it. The main file is checked on
// its own; those in `warned` were named already.
void app_check_cut_short(const AppTree& tree, const std::set<fs::path>& warned,
                         std::vector<std::string>* warnings) {
  std::vector<unsigned char> head(PE_HEAD_BYTES);
  for (size_t i = 1; i < tree.files.size(); i++) {
    const AppFile& file = tree.files[i];
    if (file.size < PE_DOS_HEADER_BYTES || warned.count(file.source)) continue;
    std::ifstream in(host_io_path(file.source), std::ios::binary);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    std::string cut = pe_cut_short(head, file.size);
    if (!cut.empty()) {
      warnings->push_back(quote_path(file.source) + " " + cut +
                          " (a PE image Windows cannot load)");
    }
    head.resize(PE_HEAD_BYTES);
  }
}

}  // namespace

void app_check_name(const std::u16string& name, const fs::path& source) {
  if (name.size() > ZB_NAME_MAX_UNITS) {
    throw PackError("name " + app_message_name(name) + " is " + std::to_string(name.size()) +
                    " UTF-16 units long; a payload name holds at most " +
                    std::to_string(ZB_NAME_MAX_UNITS) + " (" + quote_path(source) + ")");
  }
  if (name.size() > ZB_TARGET_NAME_MAX_UNITS) {
    throw PackError("name " + app_message_name(name) + " is " + std::to_string(name.size()) +
                    " UTF-16 units long; even below the shortest payload directory (" +
                    std::to_string(ZB_PAYLOAD_DIR_MIN_UNITS) + " units) its path cannot fit " +
                    std::to_string(ZB_PATH_UNITS) + " units, so names hold at most " +
                    std::to_string(ZB_TARGET_NAME_MAX_UNITS) + " (" + quote_path(source) + ")");
  }
}

std::vector<std::string> app_main_candidates(const fs::path& app_dir) {
  std::vector<std::string> names;
  for (const auto& file : app_folder_files(app_dir)) {
    std::string name = file.second.filename().string();
    if (!app_has_extension(name, ".dll")) continue;
    try {
      pe_check_dll_export(read_whole_file(file.second), "run_code", name);
      names.push_back(name);
    } catch (const PackError&) {
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> app_main_programs(const fs::path& app_dir) {
  std::vector<std::string> names;
  for (const auto& file : app_folder_files(app_dir)) {
    std::string name = file.second.filename().string();
    if (app_has_extension(name, ".exe")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

AppTree app_tree_collect(const fs::path& app_dir, const std::string& main_dll) {
  std::error_code ec;
  fs::file_status status = fs::status(host_io_path(app_dir), ec);
  if (status.type() == fs::file_type::not_found) {
    throw PackError("application directory " + quote_path(app_dir) + " does not exist");
  }
  if (ec) {
    throw PackError("cannot read application directory " + quote_path(app_dir) + ": " +
                    ec.message());
  }
  if (status.type() != fs::file_type::directory) {
    throw PackError(quote_path(app_dir) + " is not a directory");
  }
  AppTree tree;
  AppFile main_entry;
  std::u16string prefix;
  main_entry.source = app_main_dll(app_dir, main_dll, &main_entry.size, &tree.main, &prefix);
  main_entry.time = fs::last_write_time(host_io_path(main_entry.source), ec);
  main_entry.name = prefix + app_name_units(main_entry.source.filename(), main_entry.source);
  app_check_name(main_entry.name, main_entry.source);
  if (tree.main.kind == PeMainKind::program) {
    tree.execution_level = app_execution_level(main_entry.source, &tree.warnings);
  }

  tree.files.push_back(main_entry);
  Walk walk{&tree, main_entry.source, prefix, {}};
  app_walk(&walk, app_dir, u"", true);
  // The loader's search: a program's own folder; a DLL loaded with its folder first
  // (run/launch.cpp), then the payload directory.
  std::vector<fs::path> folders = {main_entry.source.parent_path()};
  std::string where = "the application directory";
  if (!prefix.empty()) {
    std::string folder = "'" + utf_16_to_8(prefix.substr(0, prefix.size() - 1)) + "'";
    if (tree.main.kind == PeMainKind::program) {
      where = "the main program's folder " + folder;
    } else {
      folders.push_back(app_dir);
      where = "the main DLL's folder " + folder + " or the application directory";
    }
  }
  std::set<fs::path> warned;
  // An i386 program's DLLs are i386 ones (under WoW64); everything else loads x86-64 DLLs.
  const uint32_t machine =
      tree.main.kind == PeMainKind::program ? tree.main.machine : PE_MACHINE_AMD64;
  app_check_imports(folders, where, main_entry.source, machine, &tree.warnings, &warned);
  app_check_cut_short(tree, warned, &tree.warnings);
  return tree;
}

void app_check_output(const fs::path& output, const fs::path& app_dir,
                      const std::vector<fs::path>& inputs) {
  std::error_code ec;
  for (const fs::path& input : inputs) {
    if (fs::equivalent(input, output, ec)) {
      throw PackError("the output " + quote_path(output) + " is one of the inputs (" +
                      quote_path(input) + ")");
    }
  }
  if (app_dir.empty()) return;
  fs::path dir = fs::canonical(app_dir, ec);
  fs::path target = fs::weakly_canonical(fs::absolute(output, ec), ec);
  if (dir.empty() || target.empty()) return;
  auto within = std::mismatch(dir.begin(), dir.end(), target.begin(), target.end());
  if (within.first == dir.end()) {
    throw PackError("the output " + quote_path(output) + " is inside the application directory " +
                    quote_path(app_dir));
  }
}
