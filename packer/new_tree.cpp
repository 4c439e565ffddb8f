#include "packer/new_tree.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "packer/host_os.h"
#include "packer/file_io.h"
#include "packer/pack_error.h"
#include "packer/utf.h"
#include "packer/win_case.h"

namespace fs = std::filesystem;

namespace {

std::string new_tree_error() {
#ifdef _WIN32
  return std::system_category().message(static_cast<int>(GetLastError()));
#else
  return std::strerror(errno);
#endif
}

// One name of an entry as a path component: UTF-16 as it stands on Windows, UTF-8 on POSIX
// (an unpaired surrogate becomes U+FFFD).
fs::path new_tree_name(const std::u16string& name) {
#ifdef _WIN32
  return fs::path(std::wstring(name.begin(), name.end()));
#else
  return fs::path(utf_16_to_8(name));
#endif
}

}  // namespace

NewTree::NewTree(const fs::path& root) : root_(root) {
  std::error_code ec;
  if (fs::symlink_status(host_io_path(root), ec).type() != fs::file_type::not_found) {
    throw PackError(quote_path(root) + " exists already: extract writes a new directory");
  }
}

NewTree::~NewTree() {
#ifdef _WIN32
  if (file_ != nullptr) {
    CloseHandle(file_);
    DeleteFileW(host_io_path(file_path_).c_str());
  }
#else
  if (file_ >= 0) {
    close(file_);
    unlinkat(chain_.back().fd, file_name_.c_str(), 0);
  }
  for (const Open& open : chain_) close(open.fd);
#endif
}

void NewTree::fail(const char* what, const fs::path& path) const {
  throw PackError(std::string(what) + " " + quote_path(path) + ": " + new_tree_error());
}

// Decision: an existing directory is never taken, the root included: every one is made here.
int NewTree::parent(const std::vector<std::u16string>& components) {
  std::u16string key;
  fs::path path = root_;
  for (size_t depth = 0; depth < components.size(); depth++) {
    if (depth > 0) key += win_upper(components[depth - 1]) + u"\\";
    auto found = made_.find(key);
    const bool make = found == made_.end();
    if (!make) {
      path = found->second;
    } else if (depth > 0) {
      path /= new_tree_name(components[depth - 1]);
    }
#ifdef _WIN32
    if (make && !CreateDirectoryW(host_io_path(path).c_str(), nullptr)) {
      fail("cannot create directory", path);
    }
#else
    if (depth < chain_.size() && chain_[depth].key == key) continue;
    while (chain_.size() > depth) {
      close(chain_.back().fd);
      chain_.pop_back();
    }
    const int at = depth == 0 ? AT_FDCWD : chain_.back().fd;
    const std::string name = depth == 0 ? path.string() : path.filename().string();
    if (make && mkdirat(at, name.c_str(), 0777) != 0) fail("cannot create directory", path);
    int fd = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) fail("cannot open directory", path);
    chain_.push_back({key, fd});
#endif
    if (make) made_.emplace(key, path);
  }
#ifdef _WIN32
  file_path_ = path;
  return -1;
#else
  while (chain_.size() > components.size()) {
    close(chain_.back().fd);
    chain_.pop_back();
  }
  file_path_ = path;
  return chain_.back().fd;
#endif
}

void NewTree::create(const std::vector<std::u16string>& components) {
  const int at = parent(components);
  const std::u16string& leaf = components.back();
#ifdef _WIN32
  (void)at;
  file_path_ /= new_tree_name(leaf);
  // CREATE_NEW fails on anything there, a link included; the link's own object is never
  // opened through.
  HANDLE file = CreateFileW(host_io_path(file_path_).c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) fail("cannot create", file_path_);
  file_ = file;
#else
  file_name_ = new_tree_name(leaf).string();
  file_path_ /= file_name_;
  file_ = openat(at, file_name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 0666);
  if (file_ < 0) fail("cannot create", file_path_);
#endif
}

void NewTree::write(const unsigned char* data, size_t size) {
  while (size > 0) {
#ifdef _WIN32
    DWORD part = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file_, data, part, &written, nullptr)) fail("cannot write", file_path_);
#else
    ssize_t written = ::write(file_, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) fail("cannot write", file_path_);
#endif
    data += written;
    size -= static_cast<size_t>(written);
  }
}

void NewTree::finish() {
#ifdef _WIN32
  HANDLE file = file_;
  file_ = nullptr;
  if (!CloseHandle(file)) {
    DeleteFileW(host_io_path(file_path_).c_str());
    fail("cannot write", file_path_);
  }
#else
  int file = file_;
  file_ = -1;
  if (close(file) != 0) {
    unlinkat(chain_.back().fd, file_name_.c_str(), 0);
    fail("cannot write", file_path_);
  }
#endif
}
