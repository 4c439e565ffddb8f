#include "packer/write_object.h"

#include "packer/coff_object.h"
#include "packer/write_payload.h"

void write_object(const PackPlan& plan) {
  OutputFile output(plan.output_path);
  const uint64_t object_start = coff_begin(output);
  const uint64_t array_start = output.position();
  PackStats stats = write_payload_array(output, plan);
  SectionHead head = write_section_head(output, plan, array_start, stats.payload_bytes);
  coff_end(output, object_start, head);
  output.commit();
  write_summary(plan, stats);
}
