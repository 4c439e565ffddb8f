#include "payload/app_tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <system_error>

#include "base/limits.h"
#include "base/payload_format.h"
#include "payload/pe_image.h"
#include "payload/utf.h"

namespace fs = std::filesystem;

namespace {

struct Child {
  std::u16string name;
  fs::path path;
};

bool app_name_units(const fs::path& component, std::u16string* units) {
#ifdef _WIN32
  const std::wstring& native = component.native();
  units->assign(native.begin(), native.end());
  return true;
#else
  return utf_8_to_16(component.native(), units);
#endif
}

std::string app_message_name(const std::u16string& name) {
  std::string text = utf_16_to_8(name);
  if (text.size() > 80) text = text.substr(0, 60) + "...";
  return "'" + text + "'";
}

// Windows cannot create names holding these units; the packer refuses them up front
// instead of leaving the failure to the user's first launch.
bool app_name_valid_for_windows(const std::u16string& component) {
  for (char16_t unit : component) {
    if (unit < 0x20 || unit == u'\\' || unit == u'/' || unit == u':' || unit == u'*' ||
        unit == u'?' || unit == u'"' || unit == u'<' || unit == u'>' || unit == u'|') {
      return false;
    }
  }
  return true;
}

bool app_check_readable(const fs::path& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + app_quote(path) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Lists one directory into files and subdirectories, each sorted by UTF-16 code units.
bool app_list(const fs::path& dir, std::vector<Child>* files, std::vector<Child>* dirs,
              std::string* error) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) {
    *error = "cannot read directory " + app_quote(dir) + ": " + ec.message();
    return false;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path path = it->path();
    Child child;
    child.path = path;
    if (!app_name_units(path.filename(), &child.name)) {
      *error = "file name " + app_quote(path) + " is not valid UTF-8";
      return false;
    }
    if (!app_name_valid_for_windows(child.name)) {
      *error = "file name " + app_quote(path) +
               " holds a character that Windows file names cannot (one of \\ / : * ? \" < > | "
               "or a control character)";
      return false;
    }
    fs::file_status status = fs::status(path, ec);
    if (ec || status.type() == fs::file_type::not_found) {
      if (fs::is_symlink(fs::symlink_status(path, ec))) {
        *error = "broken symbolic link " + app_quote(path);
      } else {
        *error = "cannot read " + app_quote(path) + ": " + ec.message();
      }
      return false;
    }
    if (status.type() == fs::file_type::directory) {
      dirs->push_back(child);
    } else if (status.type() == fs::file_type::regular) {
      files->push_back(child);
    } else {
      *error = app_quote(path) + " is not a regular file or directory";
      return false;
    }
  }
  if (ec) {
    *error = "cannot read directory " + app_quote(dir) + ": " + ec.message();
    return false;
  }
  auto by_units = [](const Child& a, const Child& b) { return a.name < b.name; };
  std::sort(files->begin(), files->end(), by_units);
  std::sort(dirs->begin(), dirs->end(), by_units);
  return true;
}

struct Walk {
  AppTree* tree;
  fs::path main_path;
  std::set<fs::path> open_dirs;  // canonical directories on the current descent
};

bool app_walk(Walk* walk, const fs::path& dir, const std::u16string& prefix, bool top,
              std::string* error) {
  std::error_code ec;
  fs::path canonical = fs::canonical(dir, ec);
  if (ec) {
    *error = "cannot read directory " + app_quote(dir) + ": " + ec.message();
    return false;
  }
  if (!walk->open_dirs.insert(canonical).second) {
    *error = "symbolic link loop: " + app_quote(dir) + " leads back to a directory above it";
    return false;
  }
  std::vector<Child> files;
  std::vector<Child> dirs;
  if (!app_list(dir, &files, &dirs, error)) return false;
  if (files.empty() && dirs.empty() && !top) {
    walk->tree->warnings.push_back("empty directory " + app_quote(dir) +
                                   " is not carried (a directory exists only through its files)");
  }
  for (const Child& file : files) {
    if (top && fs::equivalent(file.path, walk->main_path, ec)) continue;
    AppFile entry;
    entry.source = file.path;
    entry.name = prefix + file.name;
    if (!app_check_name(entry.name, file.path, error)) return false;
    entry.size = fs::file_size(file.path, ec);
    if (ec) {
      *error = "cannot read " + app_quote(file.path) + ": " + ec.message();
      return false;
    }
    if (!app_check_readable(file.path, error)) return false;
    walk->tree->files.push_back(entry);
  }
  for (const Child& sub : dirs) {
    if (!app_walk(walk, sub.path, prefix + sub.name + u"\\", false, error)) return false;
  }
  walk->open_dirs.erase(canonical);
  return true;
}

}  // namespace

bool app_check_name(const std::u16string& name, const fs::path& source, std::string* error) {
  if (name.size() > ZB_NAME_MAX_UNITS) {
    *error = "name " + app_message_name(name) + " is " + std::to_string(name.size()) +
             " UTF-16 units long; a payload name holds at most " +
             std::to_string(ZB_NAME_MAX_UNITS) + " (" + app_quote(source) + ")";
    return false;
  }
  if (name.size() > ZB_TARGET_NAME_MAX_UNITS) {
    *error = "name " + app_message_name(name) + " is " + std::to_string(name.size()) +
             " UTF-16 units long; even below the shortest payload directory (" +
             std::to_string(ZB_PAYLOAD_DIR_MIN_UNITS) + " units) its path cannot fit " +
             std::to_string(ZB_PATH_UNITS) + " units, so names hold at most " +
             std::to_string(ZB_TARGET_NAME_MAX_UNITS) + " (" + app_quote(source) + ")";
    return false;
  }
  return true;
}

std::string app_quote(const fs::path& path) {
#ifdef _WIN32
  std::u16string units(path.native().begin(), path.native().end());
  return "'" + utf_16_to_8(units) + "'";
#else
  return "'" + path.native() + "'";
#endif
}

bool app_read_file(const fs::path& path, std::vector<unsigned char>* data, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + app_quote(path) + ": " + std::strerror(errno);
    return false;
  }
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = "cannot read " + app_quote(path);
    return false;
  }
  return true;
}

bool app_tree_collect(const fs::path& app_dir, const std::string& main_dll, AppTree* tree,
                      std::string* error) {
  std::error_code ec;
  fs::file_status status = fs::status(app_dir, ec);
  if (status.type() == fs::file_type::not_found) {
    *error = "application directory " + app_quote(app_dir) + " does not exist";
    return false;
  }
  if (ec) {
    *error = "cannot read application directory " + app_quote(app_dir) + ": " + ec.message();
    return false;
  }
  if (status.type() != fs::file_type::directory) {
    *error = app_quote(app_dir) + " is not a directory";
    return false;
  }
  fs::path main_name(main_dll);
  if (main_dll.empty() || main_name.filename() != main_name || main_dll == "." ||
      main_dll == "..") {
    *error = "--main takes the file name of a DLL in the application directory, not '" +
             main_dll + "'";
    return false;
  }
  fs::path main_path = app_dir / main_name;
  if (!fs::is_regular_file(main_path, ec)) {
    *error = "main DLL '" + main_dll + "' is not a file in " + app_quote(app_dir);
    return false;
  }
  std::vector<unsigned char> image;
  if (!app_read_file(main_path, &image, error)) return false;
  std::string why;
  if (!pe_check_dll_export(image, "run_code", &why)) {
    *error = "main DLL " + app_quote(main_path) + " " +
             (why.rfind("does", 0) == 0 || why.rfind("has", 0) == 0 ? why : "is " + why);
    return false;
  }

  AppFile main_entry;
  main_entry.source = main_path;
  if (!app_name_units(main_name, &main_entry.name)) {
    *error = "file name " + app_quote(main_path) + " is not valid UTF-8";
    return false;
  }
  if (!app_check_name(main_entry.name, main_path, error)) return false;
  main_entry.size = image.size();
  tree->files.clear();
  tree->warnings.clear();
  tree->files.push_back(main_entry);

  Walk walk;
  walk.tree = tree;
  walk.main_path = main_path;
  return app_walk(&walk, app_dir, u"", true, error);
}
