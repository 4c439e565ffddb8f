#include "run/missing_dll.h"

#include <stdint.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/fatal.h"
#include "base/handle.h"
#include "base/limits.h"
#include "base/wide_text.h"
#include "format/little_endian.h"

// How deep the walk follows the application's own DLLs.
static const uint32_t MISSING_DLL_DEPTH = 8;
// The headers, the section table included, are read from the first bytes of the file.
static const uint32_t MISSING_DLL_HEADER_BYTES = 4096;
static const uint16_t MISSING_DLL_I386 = 0x14C;
static const uint16_t MISSING_DLL_AMD64 = 0x8664;

// One PE file opened for its imports: the headers read, the import table's place.
struct MissingImage {
  HandleOwner file;
  unsigned char headers[MISSING_DLL_HEADER_BYTES];
  uint32_t header_bytes;
  uint16_t machine;
  uint32_t sections;       // offset of the section table in headers
  uint32_t section_count;  // entries of it that lie within headers
  uint32_t import_rva;     // 0: none
};

// The search: where the program's DLLs are looked for, what the exit code says, what is found.
struct MissingSearch {
  wchar_t folder[ZB_PATH_UNITS];  // the program's own folder
  wchar_t system[ZB_PATH_UNITS];  // the system's folder for its machine
  uint16_t machine;               // the program's
  unsigned long exit_code;
  wchar_t found[MAX_PATH];        // the DLL named
  uint16_t found_machine;         // its machine when it was built for another one; else 0
};

// Reads `bytes` bytes at `offset` of `file` into `buffer`; false when they are not all there.
static bool missing_dll_read(HANDLE file, uint64_t offset, void* buffer, uint32_t bytes) {
  LARGE_INTEGER at;
  at.QuadPart = (LONGLONG)offset;
  DWORD read = 0;
  return SetFilePointerEx(file, at, /* lpNewFilePointer */ nullptr, FILE_BEGIN) &&
         ReadFile(file, buffer, bytes, &read, /* lpOverlapped */ nullptr) && read == bytes;
}

// Opens `path` and reads its headers into `image`; false when it is not a PE file of a kind
// read here (PE32 or PE32+).
static bool missing_dll_open(const wchar_t* path, MissingImage* image) {
  image->file.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                /* lpSecurityAttributes */ nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, /* hTemplateFile */ nullptr));
  if (!image->file) return false;
  DWORD read = 0;
  if (!ReadFile(image->file.get(), image->headers, MISSING_DLL_HEADER_BYTES, &read,
                /* lpOverlapped */ nullptr) ||
      read < 64) {
    return false;
  }
  image->header_bytes = read;
  const unsigned char* h = image->headers;
  uint32_t nt = le_read_u32(h + 0x3C);
  if (h[0] != 'M' || h[1] != 'Z' || nt > read - 24 || memcmp(h + nt, "PE\0\0", 4) != 0) {
    return false;
  }
  image->machine = le_read_u16(h + nt + 4);
  uint32_t optional = nt + 24;
  uint32_t optional_size = le_read_u16(h + nt + 20);
  if (optional + optional_size > read || optional_size < 2) return false;
  uint16_t magic = le_read_u16(h + optional);
  // The data directories follow the fixed fields: 96 bytes of them in PE32, 112 in PE32+.
  uint32_t directories = optional + (magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0);
  if (directories == optional || directories + 16 > optional + optional_size) return false;
  uint32_t count = le_read_u32(h + directories - 4);
  image->import_rva = count > 1 ? le_read_u32(h + directories + 8) : 0;
  image->sections = optional + optional_size;
  uint32_t declared = le_read_u16(h + nt + 6);
  uint32_t fit = (read - image->sections) / 40;
  image->section_count = declared < fit ? declared : fit;
  return true;
}

// The file offset of `rva` in `image`; false when no section holds it.
static bool missing_dll_offset(const MissingImage* image, uint32_t rva, uint64_t* offset) {
  for (uint32_t i = 0; i < image->section_count; i++) {
    const unsigned char* section = image->headers + image->sections + 40 * i;
    uint32_t address = le_read_u32(section + 12);
    uint32_t raw_size = le_read_u32(section + 16);
    if (rva >= address && rva - address < raw_size) {
      *offset = (uint64_t)le_read_u32(section + 20) + (rva - address);
      return true;
    }
  }
  return false;
}

// True when `folder`\`name` is a file; its path in `path` (capacity ZB_PATH_UNITS).
static bool missing_dll_in(const wchar_t* folder, const wchar_t* name, wchar_t* path) {
  uint32_t length = 0;
  path[0] = L'\0';
  if (!wide_append_text(path, ZB_PATH_UNITS, &length, folder) ||
      !wide_append_units(path, ZB_PATH_UNITS, &length, L'\\', 1) ||
      !wide_append_text(path, ZB_PATH_UNITS, &length, name)) {
    return false;
  }
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Follows the imports of the PE file at `path` (`depth` levels of the application's DLLs at
// most) until the DLL the exit code speaks of is found: one of the program's folder built for
// another machine (its machine in found_machine), or, for a DLL not found, one in neither
// folder. Returns true once found.
static bool missing_dll_walk(MissingSearch* search, const wchar_t* path, uint32_t depth) {
  MissingImage image;
  if (!missing_dll_open(path, &image) || image.import_rva == 0) return false;
  for (uint32_t at = image.import_rva;; at += 20) {
    unsigned char descriptor[20];
    uint64_t offset = 0;
    if (!missing_dll_offset(&image, at, &offset) ||
        !missing_dll_read(image.file.get(), offset, descriptor, sizeof descriptor)) {
      return false;
    }
    uint32_t name_rva = le_read_u32(descriptor + 12);
    if (name_rva == 0) return false;
    char bytes[MAX_PATH];
    memset(bytes, 0, sizeof bytes);
    // A name near the end of the file reads short; what was read is taken.
    DWORD read = 0;
    LARGE_INTEGER place;
    if (!missing_dll_offset(&image, name_rva, &offset)) continue;
    place.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(image.file.get(), place, nullptr, FILE_BEGIN) ||
        !ReadFile(image.file.get(), bytes, MAX_PATH - 1, &read, nullptr)) {
      continue;
    }
    wchar_t name[MAX_PATH];
    uint32_t units = 0;
    while (units + 1 < MAX_PATH && bytes[units] != 0) {
      name[units] = (wchar_t)(unsigned char)bytes[units];
      units++;
    }
    name[units] = L'\0';
    // API sets are resolved by the loader itself, never found as files.
    if (_wcsnicmp(name, L"api-ms-", 7) == 0 || _wcsnicmp(name, L"ext-ms-", 7) == 0) continue;
    wchar_t local[ZB_PATH_UNITS];
    if (missing_dll_in(search->folder, name, local)) {
      MissingImage dll;
      bool opened = missing_dll_open(local, &dll);
      // Decision: named whatever the exit code says; Wine passes over a DLL of another machine
      // and reports the DLL as not found, Windows reports a bad image.
      if (opened && dll.machine != search->machine) {
        memcpy(search->found, name, (units + 1) * sizeof(wchar_t));
        search->found_machine = dll.machine;
        return true;
      }
      if (depth > 0 && missing_dll_walk(search, local, depth - 1)) return true;
      continue;
    }
    if (missing_dll_in(search->system, name, local)) continue;
    if (search->exit_code == MISSING_DLL_NOT_FOUND) {
      memcpy(search->found, name, (units + 1) * sizeof(wchar_t));
      return true;
    }
  }
}

// A machine as the packer names it.
static const wchar_t* missing_dll_machine_name(uint16_t machine) {
  if (machine == MISSING_DLL_AMD64) return L"x86-64";
  if (machine == MISSING_DLL_I386) return L"i386";
  if (machine == 0xAA64) return L"arm64";
  return L"another machine";
}

void missing_dll_report(const wchar_t* program, unsigned long exit_code) {
  if (exit_code != MISSING_DLL_NOT_FOUND && exit_code != MISSING_DLL_BAD_IMAGE) return;
  // The Win32 errors the loader's status codes stand for, as the DLL mode's line shows them.
  unsigned long error =
      exit_code == MISSING_DLL_NOT_FOUND ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT;
  static MissingSearch search;
  memset(&search, 0, sizeof search);
  search.exit_code = exit_code;
  MissingImage image;
  bool opened = missing_dll_open(program, &image);
  search.machine = opened ? image.machine : MISSING_DLL_AMD64;
  image.file.reset();
  uint32_t length = 0;
  bool ready = opened && wide_append_text(search.folder, ZB_PATH_UNITS, &length, program);
  wchar_t* last = wcsrchr(search.folder, L'\\');
  if (last != nullptr) *last = L'\0';
  UINT units = search.machine == MISSING_DLL_I386
                   ? GetSystemWow64DirectoryW(search.system, ZB_PATH_UNITS)
                   : GetSystemDirectoryW(search.system, ZB_PATH_UNITS);
  ready = ready && !(units == 0 || units >= ZB_PATH_UNITS) &&
          missing_dll_walk(&search, program, MISSING_DLL_DEPTH);
  if (!ready) {
    fatal_print_system_error("Error, start program.", error);
  } else if (search.found_machine == 0) {
    fatal_print_module_error("Error, start program.", error, L"Missing: ", search.found, L"");
  } else {
    wchar_t machines[64];
    swprintf(machines, sizeof machines / sizeof *machines, L" (%ls, the program is %ls)",
             missing_dll_machine_name(search.found_machine),
             missing_dll_machine_name(search.machine));
    fatal_print_module_error("Error, start program.", error, L"Wrong machine: ", search.found,
                             machines);
  }
}
