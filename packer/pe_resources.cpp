#include "packer/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "format/little_endian.h"
#include "packer/byte_string.h"
#include "packer/pack_error.h"
#include "packer/pe_image.h"

namespace {

constexpr uint32_t PE_DIRECTORY_RESOURCE = 2;
// Resource directory table: 16 bytes, then 8-byte entries; a data entry is 16 bytes.
constexpr uint64_t RES_TABLE_BYTES = 16;
constexpr uint64_t RES_TABLE_NAMED = 12;
constexpr uint64_t RES_TABLE_NUMBERED = 14;
constexpr uint64_t RES_ENTRY_BYTES = 8;
constexpr uint64_t RES_DATA_ENTRY_BYTES = 16;
constexpr uint32_t RES_HIGH_BIT = 0x80000000u;

bool res_in(uint64_t length, uint64_t offset, uint64_t size) {
  return offset <= length && size <= length - offset;
}

// The resource directory being read: its bytes from the directory's start to the end of the
// section's raw data, and the image for the data the entries point to.
struct ResReader {
  const std::vector<unsigned char>* image;
  const PeHeaders* headers;
  uint64_t start;   // file offset of the root table
  uint64_t length;  // bytes readable from there
  const std::string* subject;
  std::vector<Resource>* out;
  // Entries visited: tables may share subtables, so this bounds the walk, not `out`.
  mutable uint64_t visited = 0;

  [[noreturn]] void fail(const std::string& reason) const {
    throw PackError(*subject + ": " + reason);
  }
  uint32_t u16(uint64_t offset) const { return le_read_u16(&(*image)[start + offset]); }
  uint32_t u32(uint64_t offset) const { return le_read_u32(&(*image)[start + offset]); }

  ResKey key(uint32_t field) const {
    ResKey k;
    if ((field & RES_HIGH_BIT) == 0) {
      k.id = field;
      return k;
    }
    uint64_t at = field & ~RES_HIGH_BIT;
    if (!res_in(length, at, 2)) fail("a resource name lies outside its section");
    uint32_t units = u16(at);
    if (units == 0 || !res_in(length, at + 2, 2ull * units)) {
      fail("a resource name lies outside its section");
    }
    for (uint32_t i = 0; i < units; i++) k.name.push_back(static_cast<char16_t>(u16(at + 2 + 2ull * i)));
    return k;
  }

  // Reads the table at `offset`, level 0 (types), 1 (names) or 2 (languages).
  void table(uint64_t offset, int level, const Resource& partial) const {
    if (!res_in(length, offset, RES_TABLE_BYTES)) fail("a resource table lies outside its section");
    uint64_t count = static_cast<uint64_t>(u16(offset + RES_TABLE_NAMED)) + u16(offset + RES_TABLE_NUMBERED);
    if (!res_in(length, offset + RES_TABLE_BYTES, RES_ENTRY_BYTES * count)) {
      fail("a resource table lies outside its section");
    }
    visited += count;
    if (visited > RES_MAX_COUNT * 4) fail("the resource directory is damaged (too many entries)");
    for (uint64_t i = 0; i < count; i++) {
      uint64_t entry = offset + RES_TABLE_BYTES + RES_ENTRY_BYTES * i;
      uint32_t name = u32(entry);
      uint32_t target = u32(entry + 4);
      bool subtable = (target & RES_HIGH_BIT) != 0;
      Resource r = partial;
      if (level == 0) r.type = key(name);
      if (level == 1) r.name = key(name);
      if (level == 2) {
        if (name & RES_HIGH_BIT) fail("a resource language is a name");
        r.language = name;
      }
      if (subtable != (level < 2)) fail("the resource directory is not three levels deep");
      if (subtable) {
        table(target & ~RES_HIGH_BIT, level + 1, r);
        continue;
      }
      if (!res_in(length, target, RES_DATA_ENTRY_BYTES)) fail("a resource entry lies outside its section");
      uint32_t rva = u32(target);
      uint32_t size = u32(target + 4);
      r.code_page = u32(target + 8);
      int s = pe_section_at(*image, *headers, rva);
      if (s < 0) fail("a resource's data lies outside the image");
      uint64_t header = headers->sections + PE_SECTION_HEADER_BYTES * static_cast<uint64_t>(s);
      uint32_t va = le_read_u32(&(*image)[header + PE_SECTION_VIRTUAL_ADDRESS]);
      uint32_t raw_size = le_read_u32(&(*image)[header + PE_SECTION_RAW_SIZE]);
      uint64_t raw = le_read_u32(&(*image)[header + PE_SECTION_RAW_OFFSET]);
      uint64_t within = rva - va;
      if (!res_in(raw_size, within, size) || !res_in(image->size(), raw + within, size)) {
        fail("a resource's data lies outside the image");
      }
      if (out->size() >= RES_MAX_COUNT) {
        fail("it holds more than " + std::to_string(RES_MAX_COUNT) + " resources");
      }
      r.data.assign(reinterpret_cast<const char*>(&(*image)[raw + within]), size);
      out->push_back(std::move(r));
    }
  }
};

char16_t res_upper(char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; }

// Orders keys as the loader searches them: names before numbers; names compared as the loader
// compares them, without regard to the case of ASCII letters (then by code unit).
bool res_key_less(const ResKey& a, const ResKey& b) {
  if (a.name.empty() != b.name.empty()) return !a.name.empty();
  if (a.name.empty()) return a.id < b.id;
  size_t common = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < common; i++) {
    char16_t x = res_upper(a.name[i]), y = res_upper(b.name[i]);
    if (x != y) return x < y;
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;
}

struct ResKeyLess {
  bool operator()(const ResKey& a, const ResKey& b) const { return res_key_less(a, b); }
};

using ResLanguages = std::map<uint32_t, const Resource*>;
using ResNames = std::map<ResKey, ResLanguages, ResKeyLess>;
using ResTypes = std::map<ResKey, ResNames, ResKeyLess>;

void res_pad(std::string* out, size_t alignment) {
  out->append((alignment - out->size() % alignment) % alignment, '\0');
}

// A table header for `count` entries, `named` of them names.
void res_table_header(std::string* out, size_t named, size_t count) {
  append_u32(out, 0);  // characteristics
  append_u32(out, 0);  // time stamp
  append_le(out, 0, 2);
  append_le(out, 0, 2);
  append_le(out, named, 2);
  append_le(out, count - named, 2);
}

}  // namespace

bool pe_headers(const std::vector<unsigned char>& image, PeHeaders* headers) {
  const uint64_t size = image.size();
  if (!res_in(size, 0, PE_DOS_HEADER_BYTES) || image[0] != 'M' || image[1] != 'Z') return false;
  uint64_t pe = le_read_u32(&image[PE_DOS_NEW_HEADER]);
  if (!res_in(size, pe, PE_SIGNATURE_BYTES + PE_COFF_HEADER_BYTES) ||
      std::memcmp(&image[pe], "PE\0\0", PE_SIGNATURE_BYTES) != 0) {
    return false;
  }
  headers->coff = pe + PE_SIGNATURE_BYTES;
  headers->optional = headers->coff + PE_COFF_HEADER_BYTES;
  uint32_t optional_size = le_read_u16(&image[headers->coff + PE_COFF_OPTIONAL_SIZE]);
  headers->section_count = le_read_u16(&image[headers->coff + PE_COFF_SECTION_COUNT]);
  headers->sections = headers->optional + optional_size;
  if (!res_in(size, headers->optional, optional_size) || optional_size < 2) return false;
  uint32_t magic = le_read_u16(&image[headers->optional + PE_OPT_MAGIC]);
  if (magic != PE_OPT_MAGIC_PE32_PLUS && magic != PE_OPT_MAGIC_PE32) return false;
  // PE32 has a 4-byte image base and no 8-byte fields after it: its directories come 16 bytes
  // earlier.
  const uint64_t shift = magic == PE_OPT_MAGIC_PE32 ? 16 : 0;
  headers->directories = headers->optional + PE_OPT_DIRECTORIES - shift;
  const uint64_t least = PE_OPT_DIRECTORIES - shift + PE_DIRECTORY_BYTES * (PE_DIRECTORY_RESOURCE + 1);
  if (optional_size < least ||
      !res_in(size, headers->sections, PE_SECTION_HEADER_BYTES * headers->section_count)) {
    return false;
  }
  uint32_t directories = le_read_u32(&image[headers->optional + PE_OPT_DIRECTORY_COUNT - shift]);
  uint64_t room = (optional_size - (PE_OPT_DIRECTORIES - shift)) / PE_DIRECTORY_BYTES;
  headers->directory_count = static_cast<uint32_t>(std::min<uint64_t>(directories, room));
  return true;
}

int pe_section_at(const std::vector<unsigned char>& image, const PeHeaders& headers, uint32_t rva) {
  for (uint32_t i = 0; i < headers.section_count; i++) {
    uint64_t s = headers.sections + PE_SECTION_HEADER_BYTES * i;
    uint32_t va = le_read_u32(&image[s + PE_SECTION_VIRTUAL_ADDRESS]);
    uint32_t extent = std::max(le_read_u32(&image[s + PE_SECTION_VIRTUAL_SIZE]),
                               le_read_u32(&image[s + PE_SECTION_RAW_SIZE]));
    if (rva >= va && rva - va < extent) return static_cast<int>(i);
  }
  return -1;
}

std::vector<Resource> res_read(const std::vector<unsigned char>& image, const std::string& subject) {
  PeHeaders headers;
  if (!pe_headers(image, &headers)) throw PackError(subject + ": not a PE image");
  std::vector<Resource> resources;
  if (headers.directory_count <= PE_DIRECTORY_RESOURCE) return resources;
  uint64_t entry = headers.directories + PE_DIRECTORY_BYTES * PE_DIRECTORY_RESOURCE;
  uint32_t rva = le_read_u32(&image[entry]);
  if (rva == 0 || le_read_u32(&image[entry + 4]) == 0) return resources;
  int s = pe_section_at(image, headers, rva);
  if (s < 0) throw PackError(subject + ": its resource directory lies outside the image");
  uint64_t header = headers.sections + PE_SECTION_HEADER_BYTES * static_cast<uint64_t>(s);
  uint32_t within = rva - le_read_u32(&image[header + PE_SECTION_VIRTUAL_ADDRESS]);
  uint32_t raw_size = le_read_u32(&image[header + PE_SECTION_RAW_SIZE]);
  uint64_t raw = le_read_u32(&image[header + PE_SECTION_RAW_OFFSET]);
  if (within >= raw_size || !res_in(image.size(), raw, raw_size)) {
    throw PackError(subject + ": its resource directory lies outside the image");
  }
  ResReader reader{&image, &headers, raw + within, raw_size - within, &subject, &resources};
  reader.table(0, 0, Resource());
  return resources;
}

std::string res_build(const std::vector<Resource>& resources, uint32_t section_rva) {
  ResTypes types;
  for (const Resource& r : resources) {
    if (!types[r.type][r.name].emplace(r.language, &r).second) {
      throw PackError("two resources share a type, a name and a language");
    }
  }
  // Tables first: the root, then every type's table, then every name's table.
  auto table_bytes = [](size_t count) { return RES_TABLE_BYTES + RES_ENTRY_BYTES * count; };
  size_t tables = table_bytes(types.size());
  for (const auto& type : types) {
    tables += table_bytes(type.second.size());
    for (const auto& name : type.second) tables += table_bytes(name.second.size());
  }
  // Then the names, the data entries and the data.
  std::string names;
  std::map<std::u16string, uint64_t> name_at;
  auto add_name = [&](const ResKey& key) {
    if (key.name.empty() || name_at.count(key.name)) return;
    if (key.name.size() > 0xFFFF) throw PackError("a resource name is too long");
    name_at[key.name] = tables + names.size();
    append_le(&names, key.name.size(), 2);
    for (char16_t unit : key.name) append_le(&names, unit, 2);
  };
  size_t count = 0;
  for (const auto& type : types) {
    add_name(type.first);
    for (const auto& name : type.second) {
      add_name(name.first);
      count += name.second.size();
    }
  }
  res_pad(&names, 8);
  const uint64_t entries_at = tables + names.size();
  const uint64_t data_at = entries_at + RES_DATA_ENTRY_BYTES * count;

  std::string out;
  std::string data;
  std::string data_entries;
  auto key_field = [&](const ResKey& key) -> uint64_t {
    return key.name.empty() ? key.id : (name_at[key.name] | RES_HIGH_BIT);
  };
  auto named_count = [](const auto& map) {
    size_t n = 0;
    for (const auto& item : map) n += !item.first.name.empty();
    return n;
  };
  // Each level's tables are written in the order their parents list them.
  uint64_t next = table_bytes(types.size());
  res_table_header(&out, named_count(types), types.size());
  for (const auto& type : types) {
    append_u32(&out, key_field(type.first));
    append_u32(&out, next | RES_HIGH_BIT);
    next += table_bytes(type.second.size());
  }
  for (const auto& type : types) {
    res_table_header(&out, named_count(type.second), type.second.size());
    for (const auto& name : type.second) {
      append_u32(&out, key_field(name.first));
      append_u32(&out, next | RES_HIGH_BIT);
      next += table_bytes(name.second.size());
    }
  }
  for (const auto& type : types) {
    for (const auto& name : type.second) {
      res_table_header(&out, 0, name.second.size());
      for (const auto& language : name.second) {
        const Resource& r = *language.second;
        append_u32(&out, language.first);
        append_u32(&out, entries_at + data_entries.size());
        uint64_t rva = static_cast<uint64_t>(section_rva) + data_at + data.size();
        if (rva + r.data.size() > 0xFFFFFFFFull) {
          throw PackError("the resources do not fit in an executable image (4 GiB)");
        }
        append_u32(&data_entries, rva);
        append_u32(&data_entries, r.data.size());
        append_u32(&data_entries, r.code_page);
        append_u32(&data_entries, 0);
        data += r.data;
        res_pad(&data, 8);
      }
    }
  }
  out += names;
  out += data_entries;
  out += data;
  return out;
}
