#include "packer/write_payload.h"

#include <chrono>
#include <cstdio>

#include "packer/count_text.h"

PackStats write_payload_array(OutputFile& out, const PackPlan& plan) {
  if (plan.payload_file.empty()) return payload_write(out, plan.tree, plan.pack);
  PackStats stats;
  stats.payload_bytes = out.append_file(plan.payload_file);
  return stats;
}

SectionHead write_section_head(OutputFile& out, const PackPlan& plan, uint64_t array_start,
                               uint64_t length) {
  const std::string settings = settings_block(plan.settings);
  return payload_section_head(out, array_start, length,
                              (plan.cache ? ZB_RUN_FLAG_CACHE : 0) |
                                  (plan.tree.main.kind == PeMainKind::program ? ZB_RUN_FLAG_PROGRAM
                                                                              : 0) |
                                  (settings.empty() ? 0 : ZB_RUN_FLAG_SETTINGS),
                              settings);
}

void write_summary(const PackPlan& plan, const PackStats& stats) {
  if (!plan.payload_file.empty()) return;
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - plan.started).count();
  double ratio = stats.bytes_in ? 100.0 * stats.payload_bytes / stats.bytes_in : 100.0;
  std::printf("zobrin-pack: %s, %llu bytes in, %llu bytes out (%.1f%%) to %s, %.2f s\n",
              count_text(stats.files, "file").c_str(),
              static_cast<unsigned long long>(stats.bytes_in),
              static_cast<unsigned long long>(stats.payload_bytes), ratio,
              quote_path(plan.output).c_str(), seconds);
}

void write_payload(const PackPlan& plan) {
  OutputFile output(plan.output_path);
  PackStats stats = write_payload_array(output, plan);
  output.commit();
  write_summary(plan, stats);
}
