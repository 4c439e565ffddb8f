// Feeds every file of the given directories (or the given files) to the harness once, as
// the fuzzer would, so the regression inputs run in ordinary test builds. A fault aborts.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static void replay_one(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exactly sized block, so a read one byte past the input is caught by the sanitizer.
  std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(data.get(), bytes.data(), bytes.size());
  LLVMFuzzerTestOneInput(data.get(), bytes.size());
}

int main(int argc, char** argv) {
  size_t count = 0;
  for (int i = 1; i < argc; i++) {
    std::vector<fs::path> files;
    if (fs::is_directory(argv[i])) {
      for (const auto& item : fs::directory_iterator(argv[i])) {
        if (item.is_regular_file()) files.push_back(item.path());
      }
    } else {
      files.push_back(argv[i]);
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      replay_one(file);
      count++;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return count > 0 ? 0 : 1;
}
