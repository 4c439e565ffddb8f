#include "packer/write_exe.h"

#include <vector>

#include "packer/exe_image.h"
#include "packer/pe_image.h"
#include "packer/write_payload.h"

namespace fs = std::filesystem;

namespace {

// Reads the launcher image the payload is copied into: the kit's, or one linked for `output`.
std::vector<unsigned char> read_launcher(const LinkOptions& link, const fs::path& output,
                                         PePayloadSlot* slot) {
  fs::path path = link.launcher_dir / LINK_LAUNCHER_EXE;
  std::vector<unsigned char> image;
  if (link.linker.empty()) {
    image = read_whole_file(path);
  } else {
    fs::path linked = output;
    linked += ".launcher.exe";
    OutputFile temp(linked);
    temp.close();
    link_launcher(link, temp.temp_path());
    path = temp.temp_path();
    image = read_whole_file(path);
  }
  *slot = pe_payload_slot(image, "the launcher " + quote_path(path) + " cannot take a payload");
  return image;
}

}  // namespace

void write_exe(const ExePlan& plan) {
  link_check_kit(plan.link);
  PePayloadSlot slot;
  const std::vector<unsigned char> launcher =
      read_launcher(plan.link, plan.pack.output_path, &slot);
  const std::string subject = plan.link.linker.empty()
                                  ? quote_path(plan.link.launcher_dir / LINK_LAUNCHER_EXE)
                                  : "linked with '" + plan.link.linker + "'";
  settings_check_launcher(plan.pack.settings, launcher, subject);
  const ExeExtras extras =
      exe_extras_prepare(launcher, slot, plan.exe, fs::path(plan.pack.output).filename().string(),
                         "the launcher " + subject + " cannot take resources");
  OutputFile output(plan.pack.output_path);
  exe_begin(output, launcher, slot);
  const uint64_t array_start = output.position();
  PackStats stats = write_payload_array(output, plan.pack);
  SectionHead head = write_section_head(output, plan.pack, array_start, stats.payload_bytes);
  exe_end(output, launcher, slot, head, extras);
  output.make_executable();
  output.commit();
  write_summary(plan.pack, stats);
}
