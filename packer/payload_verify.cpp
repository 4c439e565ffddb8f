#include "packer/payload_verify.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "base/file_digest.h"
#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/codec.h"
#include "packer/manifest.h"
#include "packer/pack_error.h"
#include "packer/payload_read.h"
#include "packer/payload_writer.h"
#include "packer/pe_image.h"
#include "packer/settings.h"
#include "packer/win_case.h"

namespace {

// The array's layout around the table and the stream: the tail the writer puts after the
// stream (zero padding to a multiple of 8, then the trailer holding L - 8), and nothing else.
void verify_layout(const PayloadArray& array, const std::string& subject) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };
  uint64_t used = ZB_PAYLOAD_HEADER_BYTES + array.table + array.stream;
  std::string tail = payload_tail_bytes(used);
  if (array.length - used != tail.size()) {
    fail("the array is " + std::to_string(array.length) + " bytes, but its header, table (" +
         std::to_string(array.table) + ") and stream (" + std::to_string(array.stream) +
         ") with padding and trailer make " + std::to_string(used + tail.size()));
  }
  size_t padding = tail.size() - ZB_PAYLOAD_TRAILER_BYTES;
  if (std::memcmp(array.data + used, tail.data(), padding) != 0) {
    fail("the padding after the stream is not zero");
  }
  if (std::memcmp(array.data + used + padding, tail.data() + padding, ZB_PAYLOAD_TRAILER_BYTES) !=
      0) {
    fail("the trailer does not hold the array's length less 8");
  }
}

// The payload section's head: run flags the launcher knows, a content key that agrees with
// them (the array's own in the cached mode, else 0, as the packer writes it), then the digest
// against the array's header and table and the head's words as they stand (the launcher checks
// the same before it creates anything). The flags and the key come first, so a damaged one is
// named rather than reported as a digest mismatch. Returns the section's tail (the file digests
// in the cached mode, then the settings when the run flags say so), sealed by the same digest.
SectionTail verify_section_head(const PayloadArray& array, const std::string& subject) {
  uint64_t flags = le_read_u64(array.section_head + ZB_SECTION_FLAGS_OFFSET);
  uint64_t key = le_read_u64(array.section_head + ZB_SECTION_KEY_OFFSET);
  if (flags & ~ZB_RUN_FLAGS_KNOWN) {
    throw PackError(subject + ": the run flags beside the payload hold unknown bits");
  }
  if ((flags & ZB_RUN_FLAG_CACHE) && key != payload_content_key(array.data, array.length)) {
    throw PackError(subject + ": the content key recorded beside the payload does not match "
                    "the payload (its cache directory would hold another one)");
  }
  if (!(flags & ZB_RUN_FLAG_CACHE) && key != 0) {
    throw PackError(subject + ": a content key is recorded beside the payload, but the run "
                    "flags do not ask for the cached mode");
  }
  SectionTail tail = payload_tail(array, subject);
  const unsigned char* files = tail.bytes > 0 ? array.data + array.length : nullptr;
  uint64_t recorded = le_read_u64(array.section_head + ZB_SECTION_DIGEST_OFFSET);
  if (recorded != payload_digest(array.data, array.length, flags, key, files, tail.bytes)) {
    // Sealed with the length the header and table lay out: the length alone is damaged, which
    // the layout check names.
    uint64_t used = ZB_PAYLOAD_HEADER_BYTES + array.table + array.stream;
    uint64_t laid_out = used + payload_tail_bytes(used).size();
    if (recorded == payload_digest(array.data, laid_out, flags, key, files, tail.bytes)) {
      verify_layout(array, subject);
    }
    throw PackError(subject + ": the digest of the header and table does not match the one "
                    "recorded beside the payload (the table or its sizes are damaged)");
  }
  return tail;
}

// The file digests of a cached executable, one per entry: null outside the cached mode.
const unsigned char* verify_digest_count(const SectionTail& tail, size_t entries,
                                         const std::string& subject) {
  if (tail.digests == nullptr) return nullptr;
  if (tail.digest_count != entries) {
    throw PackError(subject + ": " + std::to_string(tail.digest_count) +
                    " file digests are recorded for " + std::to_string(entries) + " entries");
  }
  return tail.digests;
}

// Hands the decoded bytes out entry by entry: to the sink, if any, and into each entry's
// digest, checked against the recorded one (if any) as the entry ends. Decision: an entry
// whose last byte is the stream's last (and the empty ones after it) ends only once the
// stream's end is checked: its frame's checksum, which comes after it, is part of its bytes.
struct Delivery {
  const std::vector<TableEntry>& entries;
  const unsigned char* digests;  // recorded, or null
  PayloadSink* sink;
  const std::string& subject;
  uint64_t remaining;   // decoded bytes still to come
  size_t index = 0;     // the entry in progress
  uint64_t left = 0;    // its bytes still to come
  FileDigest digest = {};

  void begin() {
    left = entries[index].size;
    file_digest_start(&digest);
    if (sink) sink->begin(entries[index], index);
  }
  // Ends the entries that are complete (those of size 0 at once) and begins the next; the
  // last ones only when `stream_checked`.
  void settle(bool stream_checked) {
    while (index < entries.size() && left == 0 && (remaining > 0 || stream_checked)) {
      if (digests != nullptr &&
          le_read_u64(digests + ZB_FILE_DIGEST_BYTES * index) != file_digest_finish(&digest)) {
        throw PackError(subject + ": the file digest recorded for entry " +
                        std::to_string(index + 1) + " does not match its content");
      }
      if (sink) sink->end();
      if (++index == entries.size()) break;
      begin();
    }
  }
  void take(const unsigned char* data, size_t size) {
    for (size_t used = 0; used < size;) {
      size_t part = static_cast<size_t>(std::min<uint64_t>(left, size - used));
      file_digest_update(&digest, data + used, part);
      if (sink) sink->write(data + used, part);
      used += part;
      left -= part;
      remaining -= part;
      settle(false);
    }
  }
};

// The settings, when the run flags announce them: each kind's value usable, the padding zero.
// Returns them (none without the flag).
Settings verify_settings(const SectionTail& tail, const std::string& subject) {
  if (tail.settings == nullptr) return Settings();
  std::string block = payload_settings_block(tail);
  Settings settings = settings_read(block, subject);
  if (settings_block(settings) != block) {
    throw PackError(subject + ": the settings after the payload are not laid out as the packer "
                    "writes them (padding that is not zero, or records out of order)");
  }
  return settings;
}

// The executable's manifest asks for the execution level its settings record: asInvoker when
// they record none (an image without a manifest asks for nothing, as a test's may).
void verify_execution_level(const std::vector<unsigned char>& file, const Settings& settings,
                            const std::string& subject) {
  std::string asked = manifest_image_level(file, subject);
  std::string recorded = settings.execution_level.empty() ? MANIFEST_AS_INVOKER
                                                          : settings.execution_level;
  if (asked.empty() && settings.execution_level.empty()) return;
  if (asked != recorded) {
    throw PackError(subject + ": its manifest asks for the execution level '" + asked +
                    "', but the settings record '" + recorded + "'");
  }
}

// The table's entries, checked: the last-entry flag on the last one only, sizes that add up
// without overflow.
std::vector<TableEntry> verify_table(const PayloadArray& array, const std::string& subject,
                                       uint64_t* total) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };
  std::vector<TableEntry> entries;
  payload_entries(array, subject, [&](const TableEntry& entry) {
    if (!entries.empty() && (entries.back().flags & ZB_ENTRY_FLAG_LAST)) {
      fail("entry " + payload_entry_name(entries.back()) + " is marked last but " +
           payload_entry_name(entry) + " follows it");
    }
    if (entry.size > UINT64_MAX - *total) {
      fail("the sizes of the table overflow at entry " + payload_entry_name(entry));
    }
    *total += entry.size;
    entries.push_back(entry);
  });
  if (entries.empty()) fail("the table holds no entries");
  if (!(entries.back().flags & ZB_ENTRY_FLAG_LAST)) {
    fail("the last entry " + payload_entry_name(entries.back()) + " is not marked last");
  }
  return entries;
}

// The names as the packer writes them: each component one Windows can hold, and no two names
// that Windows takes for one (the same name twice, or equal but for case: one file would
// replace the other), nor a file that another name takes for its directory.
void verify_names(const std::vector<TableEntry>& entries, const std::string& subject) {
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };
  std::vector<size_t> order;
  for (size_t i = 0; i < entries.size(); i++) {
    const std::u16string& name = entries[i].name;
    for (size_t start = 0;;) {
      size_t end = name.find(u'\\', start);
      std::u16string component = name.substr(start, end - start);
      std::string problem = component.empty() ? "holds an empty name between separators"
                            : component == u"." || component == u".."
                                ? "holds '.' or '..', which would lead out of its directory"
                                : win_name_problem(component);
      if (!problem.empty()) fail("entry " + payload_entry_name(entries[i]) + " " + problem);
      if (end == std::u16string::npos) break;
      start = end + 1;
    }
    order.push_back(i);
  }
  // Sorted so, a name's twins and the names below it follow it at once.
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return win_name_order(entries[a].name, entries[b].name) < 0;
  });
  for (size_t k = 1; k < order.size(); k++) {
    const TableEntry& first = entries[order[k - 1]];
    const TableEntry& second = entries[order[k]];
    if (win_name_within(first.name, second.name)) {
      fail("entry " + payload_entry_name(second) + " lies below " + payload_entry_name(first) +
           ", which is a file: Windows cannot hold both");
    }
    if (win_name_order(first.name, second.name) != 0) continue;
    if (first.name == second.name) fail("entry " + payload_entry_name(first) + " appears twice");
    fail("entries " + payload_entry_name(first) + " and " + payload_entry_name(second) +
         " differ only in case, which Windows ignores: they would land on one file");
  }
}

// Decodes the stream whole, frame after frame, and checks its length against the table,
// entry by entry; returns the number of frames.
uint64_t verify_stream(const PayloadArray& array, const std::vector<TableEntry>& entries,
                       uint64_t total, const std::string& subject, Delivery* delivery) {
  size_t index = 0;
  uint64_t decoded = 0;
  uint64_t entry_end = entries[0].size;
  // The entry the decoder has reached: the first whose data ends beyond `decoded`.
  auto where = [&]() {
    while (index + 1 < entries.size() && entry_end <= decoded) entry_end += entries[++index].size;
    return "entry " + payload_entry_name(entries[index]) + " (" + std::to_string(index + 1) +
           " of " + std::to_string(entries.size()) + ")";
  };
  auto fail = [&](const std::string& reason) { throw PackError(subject + ": " + reason); };

  PieceDecoder decoder;
  const unsigned char* stream = array.data + ZB_PAYLOAD_HEADER_BYTES + array.table;
  const size_t stream_size = static_cast<size_t>(array.stream);
  size_t in_pos = 0;
  std::vector<unsigned char> buffer(PieceDecoder::piece_size());
  delivery->begin();
  delivery->settle(false);
  // Frames ended so far; the frame being decoded is frames + 1.
  uint64_t frames = 0;
  const bool several = payload_stream_frames(array).size() > 1;
  for (;;) {
    size_t made = 0;
    DecodeStep step =
        decoder.step(stream, stream_size, &in_pos, buffer.data(), buffer.size(), &made);
    if (!step.error.empty()) {
      std::string place = where();
      if (step.checksum_wrong) {
        if (several) {
          fail("the checksum of frame " + std::to_string(frames + 1) +
               " does not match its decoded bytes (the frame is damaged)");
        }
        fail("the stream's checksum does not match its decoded bytes (the frame is damaged)");
      }
      fail("the stream is damaged in " + place + ": " + step.error);
    }
    if (made > total - decoded) {
      fail("the stream decodes to more than the " + std::to_string(total) +
           " bytes the table's sizes add up to");
    }
    decoded += made;
    delivery->take(buffer.data(), made);
    if (step.frame_ended) {
      frames++;
      // The launcher goes on into another frame only while the table wants bytes.
      if (in_pos == stream_size || decoded == total) break;
      continue;
    }
    if (in_pos == stream_size && made < buffer.size()) {
      if (decoded < total) {
        fail("the stream is cut short in " + where() + ": it ends inside the frame after " +
             std::to_string(decoded) + " of " + std::to_string(total) + " bytes");
      }
      fail("the stream is cut short: it ends before the frame does");
    }
  }
  if (in_pos != stream_size) {
    fail("the frame ends at byte " + std::to_string(in_pos) + " of the " +
         std::to_string(array.stream) + "-byte stream");
  }
  if (decoded != total) {
    fail("the stream decodes to " + std::to_string(decoded) + " bytes, short of the " +
         std::to_string(total) + " the table's sizes add up to, in " + where());
  }
  delivery->settle(true);
  return frames;
}

}  // namespace

VerifyResult payload_verify(const std::vector<unsigned char>& file, const std::string& subject,
                            PayloadSink* sink) {
  PayloadArray array = payload_locate(file, subject);
  SectionTail tail = {};
  if (array.section_head) tail = verify_section_head(array, subject);
  verify_layout(array, subject);
  VerifyResult result;
  std::vector<TableEntry> entries = verify_table(array, subject, &result.bytes);
  result.files = entries.size();
  verify_names(entries, subject);
  const unsigned char* digests = nullptr;
  Settings settings;
  if (array.section_head) {
    digests = verify_digest_count(tail, entries.size(), subject);
    settings = verify_settings(tail, subject);
  }
  Delivery delivery{entries, digests, sink, subject, result.bytes};
  result.frames = verify_stream(array, entries, result.bytes, subject, &delivery);
  if (array.section_head) verify_execution_level(file, settings, subject);
  result.main = payload_main_text(array);
  std::optional<std::vector<unsigned char>> head =
      payload_main_head(array, PAYLOAD_MAIN_HEAD_BYTES);
  const std::string main = "the main entry " + payload_entry_name(entries[0]);
  if (array.section_head &&
      (le_read_u64(array.section_head + ZB_SECTION_FLAGS_OFFSET) & ZB_RUN_FLAG_PROGRAM)) {
    pe_check_program(head.value_or(std::vector<unsigned char>()),
                     subject + ": the run flags start " + main + " as a program, but it",
                     entries[0].size);
  } else if (head) {
    // A main DLL the loader would refuse.
    std::string cut = pe_cut_short(*head, entries[0].size);
    if (!cut.empty()) throw PackError(subject + ": " + main + " " + cut);
  }
  return result;
}
