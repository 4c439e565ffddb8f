#include "packer/payload_extract.h"

#include "packer/new_tree.h"
#include "packer/payload_read.h"

namespace {

// Each entry into a file of the tree, as verify hands it out (its names already checked).
class TreeSink : public PayloadSink {
 public:
  explicit TreeSink(NewTree* tree) : tree_(tree) {}
  void begin(const TableEntry& entry, size_t) override {
    std::vector<std::u16string> components;
    for (size_t start = 0;;) {
      size_t end = entry.name.find(u'\\', start);
      components.push_back(entry.name.substr(start, end - start));
      if (end == std::u16string::npos) break;
      start = end + 1;
    }
    tree_->create(components);
  }
  void write(const unsigned char* data, size_t size) override { tree_->write(data, size); }
  void end() override { tree_->finish(); }

 private:
  NewTree* tree_;
};

}  // namespace

VerifyResult payload_extract(const std::vector<unsigned char>& file, const std::string& subject,
                             const std::filesystem::path& dir) {
  NewTree tree(dir);
  TreeSink sink(&tree);
  return payload_verify(file, subject, &sink);
}
