// Output files written under a temporary name and renamed into place when complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

struct OutputFile {
  std::filesystem::path final_path;
  std::filesystem::path temp_path;
  FILE* file = nullptr;
};

// Creates "<path>.tmp-<pid>" beside `path` for writing (and reading back).
bool output_open(const std::filesystem::path& path, OutputFile* output, std::string* error);

// Closes the temporary file and renames it over the final path.
bool output_commit(OutputFile* output, std::string* error);

// Closes and deletes the temporary file; the final path is left as it was.
void output_discard(OutputFile* output);

bool file_write(FILE* file, const void* data, size_t size, std::string* error);
int64_t file_tell(FILE* file);

// Writes `size` bytes at `offset`, then returns to the end of the file.
bool file_patch(FILE* file, int64_t offset, const void* data, size_t size, std::string* error);
