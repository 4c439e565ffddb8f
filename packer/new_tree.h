// A directory tree written from nothing where its names come from a file that may be hostile:
// the root must not exist, every directory and file in it is created new by this process, and
// nothing is ever opened or written through a symbolic link.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

class NewTree {
 public:
  // Refuses (PackError) a `root` that exists already, even as a dangling link; creates nothing.
  explicit NewTree(const std::filesystem::path& root);
  // Closes what it holds and removes the file in progress, if any.
  ~NewTree();
  NewTree(const NewTree&) = delete;
  NewTree& operator=(const NewTree&) = delete;

  // Creates the file `components` (directories, then the file's name; none empty, ".", ".."
  // nor holding a separator) for writing, its directories first where this tree has not
  // made them yet (the root on the first call). Directories are matched as Windows matches
  // them (case ignored): the first spelling is the one created. Throws PackError.
  void create(const std::vector<std::u16string>& components);
  void write(const unsigned char* data, size_t size);
  // Closes the file in progress, complete.
  void finish();

 private:
  struct Directory;
  // The directory `components` (without the file's name), made if needed.
  const Directory& directory(const std::vector<std::u16string>& components, size_t count);
  [[noreturn]] void fail(const char* what, const std::filesystem::path& path) const;

  std::filesystem::path root_;
  std::map<std::u16string, Directory> directories_;  // by the path in upper case, "" the root
  std::filesystem::path file_path_;
#ifdef _WIN32
  void* file_ = nullptr;
#else
  int file_ = -1;
  int file_parent_ = -1;  // the directory the file in progress was created in
  std::string file_name_;
#endif
};
