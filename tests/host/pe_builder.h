// Builds small PE images in memory for the packer's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PeSpec {
  uint16_t machine = 0x8664;
  bool pe32_plus = true;
  bool dll = true;
  uint16_t subsystem = 2;  // windowed
  std::vector<std::string> exports = {"run_code"};
  std::vector<std::string> imports;        // DLL names of the import table
  std::vector<std::string> import_functions;  // imported by name from imports[0]
  std::vector<std::string> delay_imports;  // DLL names of the delay-load table
  std::string section_name = ".edata";
  std::string section_data;  // raw data of a second section named `section_name`, if set
};

std::vector<unsigned char> pe_build(const PeSpec& spec);
