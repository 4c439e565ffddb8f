#include "packer/payload_list.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/payload_read.h"
#include "packer/settings.h"
#include "packer/splash_image.h"
#include "packer/utf.h"

namespace {

// The version the launcher of a built executable was made as, or "" when it carries none.
std::string payload_launcher_version(const std::vector<unsigned char>& file) {
  const std::string marker = ZB_VERSION_MARKER;
  auto at = std::search(file.begin(), file.end(), marker.begin(), marker.end());
  if (at == file.end()) return "";
  std::string version;
  for (auto it = at + static_cast<long>(marker.size()); it != file.end() && *it != 0; ++it) {
    if (*it < 0x20 || *it > 0x7E || version.size() >= 32) return "";
    version.push_back(static_cast<char>(*it));
  }
  return version;
}

}  // namespace

void payload_list(const std::vector<unsigned char>& file, const std::string& subject) {
  PayloadArray array = payload_locate(file, subject);
  std::printf("payload: %" PRIu64 " bytes, table %" PRIu64 " bytes, stream %" PRIu64 " bytes\n",
              array.length, array.table, array.stream);
  std::printf("entries: flags (4: the last; 1 and 2, never written, are ignored, 2 with a second "
              "name after ->), size in bytes, name below the payload directory\n");
  std::printf("%5s %14s  %s\n", "flags", "size", "name");
  uint64_t entries = 0;
  uint64_t total = 0;
  payload_entries(array, subject, [&](const TableEntry& entry) {
    std::printf("%5" PRIu32 " %14" PRIu64 "  %s%s%s\n", entry.flags, entry.size,
                utf_16_to_8(entry.name).c_str(), entry.second.empty() ? "" : " -> ",
                utf_16_to_8(entry.second).c_str());
    entries++;
    total += entry.size;
  });
  std::printf("%" PRIu64 " %s, %" PRIu64 " bytes\n", entries, entries == 1 ? "entry" : "entries",
              total);
  std::printf("main: %s\n", payload_main_text(array).c_str());
  // A stream cut into frames shows them; one frame, as every small stream is, adds nothing.
  std::vector<StreamFrame> frames = payload_stream_frames(array);
  if (frames.size() > 1) {
    std::printf("stream: %zu frames\n%5s %14s %14s %14s\n", frames.size(), "frame", "offset",
                "compressed", "decoded");
    for (size_t i = 0; i < frames.size(); i++) {
      std::string decoded = frames[i].decoded == UINT64_MAX ? "unknown"
                                                            : std::to_string(frames[i].decoded);
      std::printf("%5zu %14" PRIu64 " %14" PRIu64 " %14s\n", i + 1, frames[i].offset,
                  frames[i].compressed, decoded.c_str());
    }
  }
  // Executables packed with --cache name their cache directory; the default mode, a fresh
  // temporary directory per run, adds nothing.
  if (array.section_head != nullptr) {
    uint64_t flags = le_read_u64(array.section_head + ZB_SECTION_FLAGS_OFFSET);
    Settings settings;
    if (flags & ZB_RUN_FLAG_SETTINGS) {
      settings = settings_read(payload_settings_block(payload_tail(array, subject)), subject);
    }
    if (!settings.extract_to.empty()) {
      std::printf("extract to: %s\n", settings.extract_to.c_str());
    }
    if (!settings.splash.empty()) {
      std::printf("splash: %s\n", splash_record_size(settings.splash).c_str());
    }
    for (const std::string& arg : settings.args) std::printf("arg: %s\n", arg.c_str());
    for (const EnvSetting& env : settings.env) {
      std::printf("%s: %s=%s\n", env.prepend ? "env-prepend" : "env", env.name.c_str(),
                  env.value.c_str());
    }
    if (!settings.cwd.empty()) std::printf("cwd: %s\n", settings.cwd.c_str());
    if (!settings.execution_level.empty()) {
      std::printf("execution level: %s\n", settings.execution_level.c_str());
    }
    if (flags & ZB_RUN_FLAG_CACHE) {
      // The launcher keeps the copies in a folder of its own, in the chosen folder too.
      std::string root =
          (settings.extract_to.empty() ? "{CACHE_DIR}" : settings.extract_to) + "\\zobrin-onefile";
      std::printf("mode: cache, key %016" PRIx64 " (%s\\NAME-PLACE-%016" PRIx64 ")\n",
                  le_read_u64(array.section_head + ZB_SECTION_KEY_OFFSET), root.c_str(),
                  le_read_u64(array.section_head + ZB_SECTION_KEY_OFFSET));
    }
    std::string version = payload_launcher_version(file);
    if (!version.empty()) std::printf("launcher: version %s\n", version.c_str());
  }
}
