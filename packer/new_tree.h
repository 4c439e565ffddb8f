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
  // Makes the directories of `components` (all but the last) that this tree has not made, and
  // on POSIX opens them down from the root, each without following a link; returns the
  // parent's descriptor there (-1 on Windows).
  int parent(const std::vector<std::u16string>& components);
  [[noreturn]] void fail(const char* what, const std::filesystem::path& path) const;

  std::filesystem::path root_;
  // The directories made, by their path below the root in upper case ("A\B\"; "" the root).
  std::map<std::u16string, std::filesystem::path> made_;
  std::filesystem::path file_path_;
#ifdef _WIN32
  void* file_ = nullptr;
#else
  // The directories open from the root down to the last file's: the descriptors a tree of
  // any size needs stay as few as its depth.
  struct Open {
    std::u16string key;
    int fd;
  };
  std::vector<Open> chain_;
  int file_ = -1;
  std::string file_name_;
#endif
};
