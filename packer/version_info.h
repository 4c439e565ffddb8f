// The version information resource (RT_VERSION) Windows shows in a file's properties.
#pragma once

#include <cstdint>
#include <string>

// Texts up to this many UTF-16 units.
constexpr size_t VERSION_TEXT_MAX_UNITS = 1024;

// What the user gives (UTF-8); an empty field is left out.
struct VersionFields {
  std::string product;
  std::string company;
  std::string file_version;  // one to four numbers 0..65535, "1.2.3.4"
  std::string description;
  std::string copyright;
};

// True when any field is set.
bool version_any(const VersionFields& fields);

// The message for the first field that cannot be written ("--file-version takes ...",
// "--product is not valid UTF-8", ...); empty when all can.
std::string version_check(const VersionFields& fields);

// The VS_VERSIONINFO block: the fixed part (file and product version from `file_version`,
// a Windows application), a string table 040904B0 (English, Unicode) with CompanyName,
// FileDescription, FileVersion, LegalCopyright, OriginalFilename (`original_name`, when it is
// UTF-8), ProductName and ProductVersion, and the matching translation. `fields` must pass
// version_check.
std::string version_resource(const VersionFields& fields, const std::string& original_name);
