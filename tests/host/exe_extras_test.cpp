// `zobrin-pack exe --console`, `--icon` and version information, run as a real command on a
// launcher image made here: the fields and resources read back, and every refused input.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "format/little_endian.h"
#include "packer/byte_string.h"
#include "packer/pe_resources.h"
#include "tests/host/pe_builder.h"
#include "tests/tools/test_data.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

void spit(const fs::path& path, const std::string& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

uint64_t le(const std::string& data, size_t offset, int bytes) {
  return le_read(reinterpret_cast<const unsigned char*>(data.data()) + offset, bytes);
}

void put(std::string* image, size_t offset, uint64_t value, int bytes) {
  unsigned char field[8];
  le_write(field, value, bytes);
  image->replace(offset, static_cast<size_t>(bytes), reinterpret_cast<const char*>(field),
                 static_cast<size_t>(bytes));
}

const std::string MANIFEST = "<assembly>test manifest</assembly>";

// A GUI launcher as the linker lays one out: headers (0x200), ".rsrc" at RVA 0x1000 holding
// one manifest (type 24, id 1, language 0x409) written here by hand, or the section `rsrc`
// (up to 0x200 bytes, placed at RVA 0x1000), ".zobrin" last.
std::string hand_launcher(const std::string& rsrc = "") {
  std::string image(0x600, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  put(&image, 0x3C, 0x40, 4);
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  const size_t coff = 0x44, optional = 0x58, sections = optional + 240;
  put(&image, coff, 0x8664, 2);
  put(&image, coff + 2, 2, 2);
  put(&image, coff + 16, 240, 2);
  put(&image, coff + 18, 0x22, 2);
  put(&image, optional, 0x20B, 2);
  put(&image, optional + 8, 0x400, 4);  // initialised data
  put(&image, optional + 32, 0x1000, 4);
  put(&image, optional + 36, 0x200, 4);
  put(&image, optional + 56, 0x3000, 4);
  put(&image, optional + 60, 0x200, 4);  // size of headers
  put(&image, optional + 68, 2, 2);      // GUI
  put(&image, optional + 108, 16, 4);
  put(&image, optional + 112 + 16, 0x1000, 4);  // resource directory
  put(&image, optional + 112 + 20, 0x80, 4);
  const struct {
    const char* name;
    uint32_t va, raw;
  } table[] = {{".rsrc", 0x1000, 0x200}, {".zobrin", 0x2000, 0x400}};
  for (size_t i = 0; i < 2; i++) {
    size_t s = sections + 40 * i;
    image.replace(s, std::strlen(table[i].name), table[i].name);
    put(&image, s + 8, i == 0 ? 0x80 + MANIFEST.size() : 16, 4);
    put(&image, s + 12, table[i].va, 4);
    put(&image, s + 16, 0x200, 4);
    put(&image, s + 20, table[i].raw, 4);
    put(&image, s + 36, 0x40000040, 4);
  }
  // Root (one id entry) -> type 24 -> name 1 -> language 0x409 -> data entry.
  const size_t r = 0x200;
  for (size_t level = 0; level < 3; level++) {
    size_t t = r + 0x18 * level;
    put(&image, t + 14, 1, 2);
    put(&image, t + 16, level == 0 ? 24 : level == 1 ? 1 : 0x409, 4);
    put(&image, t + 20, level < 2 ? (0x18 * (level + 1)) | 0x80000000u : 0x48, 4);
  }
  put(&image, r + 0x48, 0x1080, 4);
  put(&image, r + 0x4C, MANIFEST.size(), 4);
  image.replace(r + 0x80, MANIFEST.size(), MANIFEST);
  if (!rsrc.empty()) {
    image.replace(r, rsrc.size(), rsrc);
    image.replace(r + rsrc.size(), 0x200 - rsrc.size(), std::string(0x200 - rsrc.size(), '\0'));
    put(&image, optional + 112 + 20, rsrc.size(), 4);
    put(&image, sections + 8, rsrc.size(), 4);
  }
  return image;
}

struct PackRun {
  int code;
  std::string out;
  std::string err;
};

class ExeExtras : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zobrin-extras-test-XXXXXX";
    root = mkdtemp(pattern);
    spit(root / "app" / "app.dll", [] {
      std::vector<unsigned char> dll = pe_build(PeSpec());
      return std::string(dll.begin(), dll.end());
    }());
    spit(root / "app" / "data.txt", "data");
    spit(root / "kit" / "launcher.exe", hand_launcher());
    spit(root / "icon.ico", test_icon({16, 32}));
  }
  void TearDown() override { fs::remove_all(root); }

  PackRun exe(const std::string& output, std::vector<std::string> extra) {
    std::vector<std::string> args = {"exe", (root / "app").string(), "--main", "app.dll", "-o",
                                     (root / output).string(), "--launcher-dir",
                                     (root / "kit").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return pack(args);
  }
  PackRun pack(const std::vector<std::string>& args) {
    std::string command = ZOBRIN_PACK_EXE;
    for (const std::string& arg : args) {
      command += " '";
      for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
      command += "'";
    }
    command += " >'" + (root / "stdout").string() + "' 2>'" + (root / "stderr").string() + "'";
    int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(root / "stdout"),
            slurp(root / "stderr")};
  }

  fs::path root;
};

// A version-information block read back: key, type, value and children, each child checked
// to lie within its parent and to start 4-byte aligned.
struct Block {
  std::u16string key;
  uint32_t type = 0;
  std::string value;
  std::vector<Block> children;
};

Block read_block(const std::string& data, size_t at, size_t limit) {
  Block b;
  size_t length = le(data, at, 2);
  EXPECT_LE(at + length, limit);
  size_t value_length = le(data, at + 2, 2);
  b.type = le(data, at + 4, 2);
  size_t p = at + 6;
  while (le(data, p, 2) != 0) b.key.push_back(static_cast<char16_t>(le(data, p, 2))), p += 2;
  p = (p + 2 + 3) / 4 * 4;
  size_t value_bytes = b.type == 1 ? 2 * value_length : value_length;
  b.value = data.substr(p, value_bytes);
  p = (p + value_bytes + 3) / 4 * 4;
  while (p < at + length) {
    b.children.push_back(read_block(data, p, at + length));
    p = (p + le(data, p, 2) + 3) / 4 * 4;
  }
  return b;
}

std::string units(const std::u16string& text) {
  std::string out;
  append_utf16z(&out, text);
  return out;
}

TEST_F(ExeExtras, ConsoleChangesOnlyTheSubsystemAndTheChecksum) {
  ASSERT_EQ(exe("gui.exe", {}).code, 0);
  PackRun r = exe("console.exe", {"--console"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string gui = slurp(root / "gui.exe"), console = slurp(root / "console.exe");
  const size_t optional = 0x58;
  EXPECT_EQ(le(gui, optional + 68, 2), 2u);
  EXPECT_EQ(le(console, optional + 68, 2), 3u);
  ASSERT_EQ(gui.size(), console.size());
  for (size_t at : {optional + 64, optional + 68}) console.replace(at, 4, gui.substr(at, 4));
  EXPECT_TRUE(console == gui);
  EXPECT_EQ(pack({"list", (root / "console.exe").string()}).out,
            pack({"list", (root / "gui.exe").string()}).out);
}

TEST_F(ExeExtras, IconAndVersionGoIntoANewResourceSectionBesideTheManifest) {
  ASSERT_EQ(exe("plain.exe", {}).code, 0);
  PackRun r = exe("dressed.exe", {"--icon", (root / "icon.ico").string(), "--product",
                                  "Zobrin Test", "--company", "Caf\u00e9 Ltd", "--file-version",
                                  "1.20.300.4000", "--description", "A test", "--copyright",
                                  "\u00a9 2026"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string plain = slurp(root / "plain.exe"), exe = slurp(root / "dressed.exe");
  const size_t optional = 0x58, sections = optional + 240;
  // Headers: a third section ".rsrc" after the grown ".zobrin", the old one renamed.
  EXPECT_EQ(le(exe, 0x46, 2), 3u);
  EXPECT_EQ(exe.substr(sections, 8), std::string(".oldrsrc", 8));
  EXPECT_EQ(exe.substr(sections + 80, 8), std::string(".rsrc\0\0\0", 8));
  const uint32_t rva = le(exe, sections + 80 + 12, 4), raw = le(exe, sections + 80 + 20, 4);
  EXPECT_EQ(rva, le(plain, optional + 56, 4)) << "placed at the end of the packed image";
  EXPECT_EQ(raw, plain.size());
  EXPECT_EQ(exe.size(), raw + le(exe, sections + 80 + 16, 4));
  EXPECT_EQ(le(exe, optional + 112 + 16, 4), rva);
  EXPECT_EQ(le(exe, optional + 112 + 20, 4), le(exe, sections + 80 + 8, 4));
  EXPECT_EQ(le(exe, optional + 56, 4), (rva + le(exe, sections + 80 + 8, 4) + 0xFFF) / 0x1000 * 0x1000);
  EXPECT_EQ(le(exe, optional + 8, 4), le(plain, optional + 8, 4) + le(exe, sections + 80 + 16, 4));
  EXPECT_EQ(exe.substr(0x200, plain.size() - 0x200), plain.substr(0x200)) << "sections unchanged";
  EXPECT_EQ(pack({"list", (root / "dressed.exe").string()}).out,
            pack({"list", (root / "plain.exe").string()}).out);

  std::vector<unsigned char> image(exe.begin(), exe.end());
  std::map<std::pair<uint32_t, uint32_t>, std::string> found;
  for (const Resource& res : res_read(image, "dressed.exe")) {
    EXPECT_TRUE(res.type.name.empty() && res.name.name.empty());
    EXPECT_EQ(res.language, 0x409u);
    found[{res.type.id, res.name.id}] = res.data;
  }
  std::string icon = test_icon({16, 32});
  std::string group = icon.substr(0, 6);
  for (uint32_t i = 0; i < 2; i++) {
    std::string image = icon.substr(le(icon, 6 + 16 * i + 12, 4), le(icon, 6 + 16 * i + 8, 4));
    EXPECT_EQ(found[std::make_pair(3u, i + 1)], image);
    group += icon.substr(6 + 16 * i, 12);
    append_le(&group, i + 1, 2);
  }
  EXPECT_EQ(found[std::make_pair(14u, 1u)], group);
  EXPECT_EQ(found[std::make_pair(24u, 1u)], MANIFEST);
  EXPECT_EQ(found.size(), 5u);

  const std::string& version = found[{16, 1}];
  Block info = read_block(version, 0, version.size());
  EXPECT_EQ(le(version, 0, 2), version.size());
  EXPECT_EQ(info.key, u"VS_VERSION_INFO");
  ASSERT_EQ(info.value.size(), 52u);
  EXPECT_EQ(le(info.value, 0, 4), 0xFEEF04BDu);
  EXPECT_EQ(le(info.value, 8, 4), 0x00010014u) << "file version, high";
  EXPECT_EQ(le(info.value, 12, 4), 0x012C0FA0u) << "file version, low";
  EXPECT_EQ(le(info.value, 16, 8), le(info.value, 8, 8)) << "product version";
  EXPECT_EQ(le(info.value, 32, 4), 0x40004u) << "Windows NT";
  EXPECT_EQ(le(info.value, 36, 4), 1u) << "an application";
  ASSERT_EQ(info.children.size(), 2u);
  EXPECT_EQ(info.children[0].key, u"StringFileInfo");
  ASSERT_EQ(info.children[0].children.size(), 1u);
  const Block& table = info.children[0].children[0];
  EXPECT_EQ(table.key, u"040904B0");
  std::map<std::u16string, std::string> strings;
  for (const Block& s : table.children) {
    EXPECT_EQ(s.type, 1u);
    strings[s.key] = s.value;
  }
  std::map<std::u16string, std::string> expected = {
      {u"CompanyName", units(u"Caf\u00e9 Ltd")}, {u"FileDescription", units(u"A test")},
      {u"FileVersion", units(u"1.20.300.4000")}, {u"LegalCopyright", units(u"\u00a9 2026")},
      {u"OriginalFilename", units(u"dressed.exe")}, {u"ProductName", units(u"Zobrin Test")},
      {u"ProductVersion", units(u"1.20.300.4000")}};
  EXPECT_TRUE(strings == expected);
  EXPECT_EQ(info.children[1].key, u"VarFileInfo");
  ASSERT_EQ(info.children[1].children.size(), 1u);
  EXPECT_EQ(info.children[1].children[0].key, u"Translation");
  EXPECT_EQ(info.children[1].children[0].value, std::string("\x09\x04\xB0\x04", 4));
}

// Named types and names, and several languages, are carried over in the order the loader's
// binary search needs: names first, without regard to case, then numbers ascending.
TEST_F(ExeExtras, EveryLaunchersResourceIsKeptInSearchOrder) {
  auto resource = [](ResKey type, ResKey name, uint32_t language, std::string data) {
    Resource r;
    r.type = type;
    r.name = name;
    r.language = language;
    r.code_page = 1252;
    r.data = data;
    return r;
  };
  const std::vector<Resource> given = {
      resource({0, u"ZTYPE"}, {0, u"c"}, 0x409, "c"),
      resource({0, u"ZTYPE"}, {0, u"B"}, 0x409, "b"),
      resource({0, u"ZTYPE"}, {0, u"A"}, 0x409, "a-us"),
      resource({0, u"ZTYPE"}, {0, u"A"}, 0x407, "a-de"),
      resource({24, u""}, {1, u""}, 0x409, "manifest"),
      resource({10, u""}, {5, u""}, 0, "rcdata"),
      resource({10, u""}, {0, u"ZTYPE"}, 0, "shared name")};
  std::string tree = res_build(given, 0x1000);
  ASSERT_LE(tree.size(), 0x200u);
  spit(root / "kit" / "launcher.exe", hand_launcher(tree));
  ASSERT_EQ(exe("r.exe", {"--product", "P"}).code, 0);
  std::string exe = slurp(root / "r.exe");
  std::vector<unsigned char> image(exe.begin(), exe.end());
  auto text = [](const Resource& r) {
    auto key = [](const ResKey& k) {
      return k.name.empty() ? std::to_string(k.id) : std::string(k.name.begin(), k.name.end());
    };
    return key(r.type) + "/" + key(r.name) + "/" + std::to_string(r.language) + "/" +
           std::to_string(r.code_page) + "=" + (r.type.id == 16 ? "version" : r.data);
  };
  std::vector<std::string> seen;
  for (const Resource& r : res_read(image, "r.exe")) seen.push_back(text(r));
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "ZTYPE/A/1031/1252=a-de", "ZTYPE/A/1033/1252=a-us", "ZTYPE/B/1033/1252=b",
                      "ZTYPE/c/1033/1252=c",                      "10/ZTYPE/0/1252=shared name", "10/5/0/1252=rcdata", "16/1/1033/0=version",
                      "24/1/1033/1252=manifest"}));
  // The root table counts one name and three numbers.
  const uint32_t rva = le(exe, 0x58 + 112 + 16, 4);
  const size_t at = le(exe, 0x58 + 240 + 80 + 20, 4) + (rva - le(exe, 0x58 + 240 + 80 + 12, 4));
  EXPECT_EQ(le(exe, at + 12, 2), 1u);
  EXPECT_EQ(le(exe, at + 14, 2), 3u);
}

TEST_F(ExeExtras, ShortVersionsArePaddedAndOnlyGivenFieldsWritten) {
  PackRun r = exe("v.exe", {"--file-version", "7.1", "--product", "P"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::string exe = slurp(root / "v.exe");
  std::vector<unsigned char> image(exe.begin(), exe.end());
  std::string version;
  for (const Resource& res : res_read(image, "v.exe")) {
    if (res.type.id == 16) version = res.data;
  }
  Block info = read_block(version, 0, version.size());
  EXPECT_EQ(le(info.value, 8, 8), 0x0000000000070001ull);
  std::vector<std::u16string> keys;
  for (const Block& s : info.children.at(0).children.at(0).children) keys.push_back(s.key);
  EXPECT_EQ(keys, (std::vector<std::u16string>{u"FileVersion", u"OriginalFilename",
                                               u"ProductName", u"ProductVersion"}));
}

TEST_F(ExeExtras, BadIconsVersionsAndLaunchersAreRefusedWithNoOutput) {
  struct Row {
    const char* what;
    std::function<void()> prepare;
    std::vector<std::string> extra;
    int code;
    std::string err;  // after "zobrin-pack: error: "
  };
  const std::string ico = (root / "bad.ico").string();
  const std::string kit = (root / "kit" / "launcher.exe").string();
  std::string good = test_icon({16});
  auto bad_icon = [&](std::function<void(std::string*)> change) {
    return [=] {
      std::string icon = good;
      change(&icon);
      spit(ico, icon);
    };
  };
  std::vector<Row> rows = {
      {"icon missing", [] {}, {"--icon", ico}, 1,
       "cannot read '" + ico + "': No such file or directory"},
      {"not an icon", bad_icon([](std::string* i) { put(i, 2, 2, 2); }), {"--icon", ico}, 1,
       "icon '" + ico + "' is not an icon file (.ico)"},
      {"too short", bad_icon([](std::string* i) { i->resize(5); }), {"--icon", ico}, 1,
       "icon '" + ico + "' is not an icon file (.ico)"},
      {"no image", bad_icon([](std::string* i) { put(i, 4, 0, 2); }), {"--icon", ico}, 1,
       "icon '" + ico + "' holds no image"},
      {"entries cut", bad_icon([](std::string* i) { put(i, 4, 100, 2); }), {"--icon", ico}, 1,
       "icon '" + ico + "' is cut short: its 100 image entries do not fit in it"},
      {"image past the end", bad_icon([](std::string* i) { i->pop_back(); }), {"--icon", ico}, 1,
       "icon '" + ico + "' is damaged: image 1 of 1 lies outside the file"},
      {"empty image", bad_icon([](std::string* i) { put(i, 6 + 8, 0, 4); }), {"--icon", ico}, 1,
       "icon '" + ico + "' is damaged: image 1 of 1 lies outside the file"},
      {"unknown image", bad_icon([](std::string* i) { put(i, 22, 41, 4); }), {"--icon", ico}, 1,
       "icon '" + ico + "' is damaged: image 1 of 1 is neither a PNG nor a bitmap"},
      {"five numbers", [] {}, {"--file-version", "1.2.3.4.5"}, 2,
       "--file-version takes one to four numbers from 0 to 65535, as 1.2.3.4, not '1.2.3.4.5'"},
      {"number too big", [] {}, {"--file-version", "1.65536"}, 2,
       "--file-version takes one to four numbers from 0 to 65535, as 1.2.3.4, not '1.65536'"},
      {"empty part", [] {}, {"--file-version", "1..2"}, 2,
       "--file-version takes one to four numbers from 0 to 65535, as 1.2.3.4, not '1..2'"},
      {"text not UTF-8", [] {}, {"--company", "caf\xe9"}, 2, "--company is not valid UTF-8"},
      {"text too long", [] {}, {"--description", std::string(1025, 'd')}, 2,
       "--description is longer than 1024 UTF-16 units"},
      {"no room for a section header",
       [&] {
         std::string launcher = hand_launcher();
         launcher[0x58 + 240 + 80 + 39] = 1;
         spit(kit, launcher);
       },
       {"--product", "P"}, 1,
       "the launcher '" + kit + "' cannot take resources: its headers have no room for a resource section"},
      {"resource table outside its section",
       [&] {
         std::string launcher = hand_launcher();
         put(&launcher, 0x200 + 20, 0x80000000u | 0x1F8, 4);
         spit(kit, launcher);
       },
       {"--product", "P"}, 1,
       "the launcher '" + kit + "' cannot take resources: a resource table lies outside its section"},
      {"resource data outside the image",
       [&] {
         std::string launcher = hand_launcher();
         put(&launcher, 0x200 + 0x48, 0x9000, 4);
         spit(kit, launcher);
       },
       {"--product", "P"}, 1,
       "the launcher '" + kit + "' cannot take resources: a resource's data lies outside the image"},
      {"four levels",
       [&] {
         std::string launcher = hand_launcher();
         put(&launcher, 0x200 + 0x30 + 20, 0x80000000u, 4);
         spit(kit, launcher);
       },
       {"--product", "P"}, 1,
       "the launcher '" + kit + "' cannot take resources: the resource directory is not three "
       "levels deep"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    spit(kit, hand_launcher());
    fs::remove(ico);
    row.prepare();
    PackRun r = exe("out.exe", row.extra);
    EXPECT_EQ(r.code, row.code);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), "zobrin-pack: error: " + row.err + "\n");
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {"app", "icon.ico", "kit", "stderr", "stdout"};
    if (fs::exists(ico)) expected.insert(expected.begin() + 1, "bad.ico");
    EXPECT_EQ(names, expected) << "no output file";
  }
}

}  // namespace
