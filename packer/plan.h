// The plan of a payload, an object or an executable: built once from what the command line
// asks, before anything is written. Every refusal that depends only on the options and the
// application tree is raised here (UsageError for the command line, PackError for the tree);
// the writers take the plan as checked.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "packer/app_tree.h"
#include "packer/exe_extras.h"
#include "packer/link_exe.h"
#include "packer/payload_writer.h"
#include "packer/settings.h"

// What payload, object and exe are asked: where the entries come from and where they go.
struct SourceRequest {
  std::string app_dir;
  std::string main_dll;      // empty: the one candidate at APP_DIR's top
  std::string payload_file;  // object and exe only
  std::string output;
  PackOptions pack;
  bool strict = false;  // a warning is an error
};

// What exe is asked besides its source.
struct ExeRequest {
  SourceRequest source;
  LinkOptions link;  // the kit, its default already chosen
  ExeOptions exe;    // --console, --icon and the version fields
  bool windowed = false;
  bool cache = false;
  bool uac_admin = false;
  std::string extract_to;
  bool extract_to_given = false;
  std::string splash;  // the image's path, or empty
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<std::string> env_prepend;
  std::string cwd;
  bool cwd_given = false;
};

// A payload, object or executable to write.
struct PackPlan {
  std::string output;                   // as given: for the summary and the executable's name
  std::filesystem::path output_path;
  std::filesystem::path payload_file;   // a payload copied as it stands; empty: `tree` is packed
  AppTree tree;       // the entries; for a payload file only its main entry's kind and level
  PackOptions pack;
  Settings settings;  // what the section records, the execution level included
  bool cache = false;
  std::chrono::steady_clock::time_point started;  // the summary's time counts from here
};

// An executable to write: the payload's plan and the launcher's.
struct ExePlan {
  PackPlan pack;
  LinkOptions link;
  ExeOptions exe;  // the launcher's headers: subsystem, execution level, icon, version
};

// The plan of the payload command: the array alone (a payload file's main entry is not read).
PackPlan plan_payload(const SourceRequest& request);

// The plan of the object command.
PackPlan plan_object(const SourceRequest& request);

// The plan of the exe command; the splash image is read and checked here, so a bad one costs
// no compression.
ExePlan plan_exe(const ExeRequest& request);
