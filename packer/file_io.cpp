#include "packer/file_io.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "packer/host_os.h"
#include "packer/pack_error.h"

namespace fs = std::filesystem;

namespace {

std::string errno_text() { return std::strerror(errno); }

}  // namespace

OutputFile::OutputFile(const fs::path& path) : final_path_(path), temp_path_(path) {
  temp_path_ += ".tmp-" + std::to_string(host_pid());
  errno = 0;
  file_.open(temp_path_, std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
  // Named as given: the temporary name is this program's business.
  if (!file_) throw PackError("cannot create " + quote_path(final_path_) + ": " + errno_text());
}

OutputFile::~OutputFile() {
  if (committed_) return;
  if (file_.is_open()) file_.close();
  std::error_code ec;
  fs::remove(temp_path_, ec);
}

void OutputFile::fail_write() { throw PackError("cannot write the output: " + errno_text()); }

void OutputFile::write(const void* data, size_t size) {
  if (size != 0 && !file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size))) {
    fail_write();
  }
}

void OutputFile::make_executable() {
  std::error_code ec;
  fs::permissions(temp_path_, fs::perms(0755), fs::perm_options::replace, ec);
  if (ec) throw PackError("cannot make " + quote_path(temp_path_) + " executable: " + ec.message());
}

uint64_t OutputFile::position() {
  std::streamoff at = file_.tellp();
  if (at < 0) fail_write();
  return static_cast<uint64_t>(at);
}

void OutputFile::patch(uint64_t offset, const void* data, size_t size) {
  if (!file_.seekp(static_cast<std::streamoff>(offset))) fail_write();
  write(data, size);
  if (!file_.seekp(0, std::ios::end)) fail_write();
}

uint64_t OutputFile::append_file(const fs::path& source) {
  std::ifstream in(host_io_path(source), std::ios::binary);
  if (!in) throw PackError("cannot read " + quote_path(source) + ": " + errno_text());
  std::vector<char> buffer(1 << 20);
  uint64_t length = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    size_t got = static_cast<size_t>(in.gcount());
    write(buffer.data(), got);
    length += got;
  }
  if (in.bad()) throw PackError("cannot read " + quote_path(source));
  return length;
}

void OutputFile::read_back(uint64_t offset, void* data, size_t size) {
  file_.flush();
  if (!file_.seekg(static_cast<std::streamoff>(offset)) ||
      !file_.read(static_cast<char*>(data), static_cast<std::streamsize>(size))) {
    throw PackError("cannot read the output back");
  }
  if (!file_.seekp(0, std::ios::end)) fail_write();
}

void OutputFile::close() {
  if (!file_.is_open()) return;
  file_.close();
  if (file_.fail()) throw PackError("cannot write " + quote_path(temp_path_) + ": " + errno_text());
}

void OutputFile::commit() {
  close();
  std::error_code ec;
  fs::rename(temp_path_, final_path_, ec);
  if (ec) {
    throw PackError("cannot rename " + quote_path(temp_path_) + " to " + quote_path(final_path_) +
                    ": " + ec.message());
  }
  committed_ = true;
}

std::vector<unsigned char> read_whole_file(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(host_io_path(path), ec)) {
    throw PackError("cannot read " + quote_path(path) + ": " + std::strerror(EISDIR));
  }
  std::ifstream in(host_io_path(path), std::ios::binary);
  if (!in) throw PackError("cannot read " + quote_path(path) + ": " + errno_text());
  std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throw PackError("cannot read " + quote_path(path));
  return data;
}

std::string quote_path(const fs::path& path) { return "'" + host_path_utf8(path) + "'"; }
