// Collects an application directory into the ordered list of payload entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/pe_image.h"

struct AppFile {
  std::filesystem::path source;  // file to read (symbolic links are followed)
  std::u16string name;           // relative name with "\" separators
  uint64_t size;
  std::filesystem::file_time_type time;  // its modification time when collected
};

struct AppTree {
  std::vector<AppFile> files;         // entry order: main DLL or program, then depth first
  std::vector<std::string> warnings;  // one line each, without a prefix
  PeMainKind main;                    // what the main file is
  std::string execution_level;        // a main program's manifest level, "" for none
};

// Walks `app_dir` and orders its files as the payload needs them: `main_dll` (a path in
// `app_dir`, "\\" or "/" between folders: "app.dll", "bin/app.exe") first, then each
// directory's files by UTF-16 code units, then its subdirectories the same way. Checks the
// main file and every name. The main file is a program when it is named NAME.exe, or is not
// named NAME.dll and its image is not a DLL: then a program the launcher can start
// (pe_check_program); else a 64-bit PE DLL exporting run_code. Imports are followed through
// the folders the loader searches (warnings). Throws PackError with a one-line reason.
AppTree app_tree_collect(const std::filesystem::path& app_dir, const std::string& main_dll);

// The file names in `app_dir`'s top directory that could be the main DLL (64-bit PE DLLs
// exporting run_code), sorted; none for a directory that cannot be read.
std::vector<std::string> app_main_candidates(const std::filesystem::path& app_dir);

// The file names in `app_dir`'s top directory named NAME.exe (in any case), sorted: the main
// program when no DLL there exports run_code and there is one; none for a directory that
// cannot be read.
std::vector<std::string> app_main_programs(const std::filesystem::path& app_dir);

// Checks one entry name's length against the payload's and the launcher's limits. Throws
// PackError with a one-line reason naming `source`.
void app_check_name(const std::u16string& name, const std::filesystem::path& source);

// Refuses an output path that would replace an input or be written into `app_dir` (and so be
// packed by the next run): one of `inputs`' files, or a path inside `app_dir`.
void app_check_output(const std::filesystem::path& output, const std::filesystem::path& app_dir,
                      const std::vector<std::filesystem::path>& inputs);
