// Writes a minimal 64-bit PE DLL exporting run_code. Usage: fuzz-seed-dll OUT
#include <cstdio>
#include <fstream>

#include "tests/host/pe_builder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz-seed-dll OUT\n");
    return 2;
  }
  std::vector<unsigned char> image = pe_build(PeSpec());
  std::ofstream out(argv[1], std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  return out ? 0 : 1;
}
