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

struct NewTree::Directory {
  fs::path path;
#ifndef _WIN32
  int fd = -1;  // opened without following a link, right after this tree made it
#endif
};

namespace {

std::string new_tree_error() {
#ifdef _WIN32
  return std::system_category().message(static_cast<int>(GetLastError()));
#else
  return std::strerror(errno);
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
    unlinkat(file_parent_, file_name_.c_str(), 0);
  }
  for (auto& entry : directories_) close(entry.second.fd);
#endif
}

void NewTree::fail(const char* what, const fs::path& path) const {
  throw PackError(std::string(what) + " " + quote_path(path) + ": " + new_tree_error());
}

const NewTree::Directory& NewTree::directory(const std::vector<std::u16string>& components,
                                             size_t count) {
  std::u16string key;
  for (size_t i = 0; i < count; i++) key += win_upper(components[i]) + u"\\";
  auto found = directories_.find(key);
  if (found != directories_.end()) return found->second;
  Directory made;
  // Decision: an existing directory is never taken, the root included: every one is made here.
#ifdef _WIN32
  made.path = count == 0 ? root_ : directory(components, count - 1).path /
                                       fs::path(std::wstring(components[count - 1].begin(),
                                                             components[count - 1].end()));
  if (!CreateDirectoryW(host_io_path(made.path).c_str(), nullptr)) {
    fail("cannot create directory", made.path);
  }
#else
  if (count == 0) {
    made.path = root_;
    if (mkdir(root_.c_str(), 0777) != 0) fail("cannot create directory", root_);
    made.fd = open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  } else {
    const Directory& parent = directory(components, count - 1);
    std::string name = utf_16_to_8(components[count - 1]);
    made.path = parent.path / name;
    if (mkdirat(parent.fd, name.c_str(), 0777) != 0) fail("cannot create directory", made.path);
    made.fd = openat(parent.fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (made.fd < 0) fail("cannot open directory", made.path);
#endif
  return directories_.emplace(key, made).first->second;
}

void NewTree::create(const std::vector<std::u16string>& components) {
  const Directory& parent = directory(components, components.size() - 1);
  const std::u16string& leaf = components.back();
#ifdef _WIN32
  file_path_ = parent.path / fs::path(std::wstring(leaf.begin(), leaf.end()));
  // CREATE_NEW fails on anything there, a link included; the link's own object is never
  // opened through.
  HANDLE file = CreateFileW(host_io_path(file_path_).c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) fail("cannot create", file_path_);
  file_ = file;
#else
  file_name_ = utf_16_to_8(leaf);
  file_path_ = parent.path / file_name_;
  file_ = openat(parent.fd, file_name_.c_str(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (file_ < 0) fail("cannot create", file_path_);
  file_parent_ = parent.fd;
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
    unlinkat(file_parent_, file_name_.c_str(), 0);
    fail("cannot write", file_path_);
  }
#endif
}
