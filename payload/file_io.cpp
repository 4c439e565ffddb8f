#include "payload/file_io.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define file_seek _fseeki64
#define file_tell_native _ftelli64
#define file_pid _getpid
#else
#include <unistd.h>
#define file_seek fseeko
#define file_tell_native ftello
#define file_pid getpid
#endif

#include "payload/app_tree.h"

namespace fs = std::filesystem;

bool output_open(const fs::path& path, OutputFile* output, std::string* error) {
  output->final_path = path;
  output->temp_path = path;
  output->temp_path += ".tmp-" + std::to_string(file_pid());
#ifdef _WIN32
  output->file = _wfopen(output->temp_path.c_str(), L"w+b");
#else
  output->file = std::fopen(output->temp_path.c_str(), "w+b");
#endif
  if (output->file == nullptr) {
    *error = "cannot create " + app_quote(output->temp_path) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool output_commit(OutputFile* output, std::string* error) {
  int closed = std::fclose(output->file);
  output->file = nullptr;
  if (closed != 0) {
    *error = "cannot write " + app_quote(output->temp_path) + ": " + std::strerror(errno);
    output_discard(output);
    return false;
  }
  std::error_code ec;
  fs::rename(output->temp_path, output->final_path, ec);
  if (ec) {
    *error = "cannot rename " + app_quote(output->temp_path) + " to " +
             app_quote(output->final_path) + ": " + ec.message();
    output_discard(output);
    return false;
  }
  return true;
}

void output_discard(OutputFile* output) {
  if (output->file != nullptr) {
    std::fclose(output->file);
    output->file = nullptr;
  }
  std::error_code ec;
  fs::remove(output->temp_path, ec);
}

bool file_write(FILE* file, const void* data, size_t size, std::string* error) {
  if (size != 0 && std::fwrite(data, 1, size, file) != size) {
    *error = std::string("cannot write the output: ") + std::strerror(errno);
    return false;
  }
  return true;
}

int64_t file_tell(FILE* file) {
  return static_cast<int64_t>(file_tell_native(file));
}

bool file_patch(FILE* file, int64_t offset, const void* data, size_t size, std::string* error) {
  if (file_seek(file, offset, SEEK_SET) != 0 || !file_write(file, data, size, error) ||
      file_seek(file, 0, SEEK_END) != 0) {
    if (error->empty()) *error = std::string("cannot write the output: ") + std::strerror(errno);
    return false;
  }
  return true;
}
