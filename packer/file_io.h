// Output files written under a temporary name and renamed into place when complete, and
// whole-file reads. Every failure throws PackError.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class OutputFile {
 public:
  // Creates "<path>.tmp-<pid>" beside `path` for writing and reading back.
  explicit OutputFile(const std::filesystem::path& path);
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void write(const void* data, size_t size);
  void write(const std::string& bytes) { write(bytes.data(), bytes.size()); }
  uint64_t position();
  // Writes `size` bytes at `offset`, then returns to the end of the file.
  void patch(uint64_t offset, const void* data, size_t size);
  void patch(uint64_t offset, const std::string& bytes) { patch(offset, bytes.data(), bytes.size()); }
  // Copies the whole file at `source` to the current position; the number of bytes.
  uint64_t append_file(const std::filesystem::path& source);
  // Reads `size` bytes from `offset` (for checksums over what was written).
  void read_back(uint64_t offset, void* data, size_t size);
  // Gives the file mode 0755 (an executable the user and everyone may run).
  void make_executable();
  // Writes out and closes the file; it keeps its temporary name until destroyed.
  void close();
  // Closes the file and renames it over the final path.
  void commit();

  const std::filesystem::path& temp_path() const { return temp_path_; }

 private:
  [[noreturn]] void fail_write();

  std::filesystem::path final_path_;
  std::filesystem::path temp_path_;
  std::fstream file_;
  bool committed_ = false;
};

// Reads a whole file.
std::vector<unsigned char> read_whole_file(const std::filesystem::path& path);

// Renders a path for messages (quoted).
std::string quote_path(const std::filesystem::path& path);
