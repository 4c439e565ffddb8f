#include "packer/payload_writer.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <future>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <functional>
#include <thread>
#include <vector>

#include "format/little_endian.h"
#include "format/payload_format.h"
#include "packer/byte_string.h"
#include "packer/codec.h"
#include "packer/file_io.h"
#include "packer/file_digests.h"
#include "packer/host_os.h"
#include "packer/pack_error.h"
#include "packer/payload_read.h"

namespace fs = std::filesystem;

namespace {

class Progress {
 public:
  Progress(bool enabled, uint64_t files_total, uint64_t bytes_total)
      : enabled_(enabled), files_total_(files_total), bytes_total_(bytes_total) {}

  // Ends the line the progress was shown on, with the final counts.
  ~Progress() {
    if (!shown_) return;
    show(files_total_, bytes_total_, true);
    std::fputc('\n', stderr);
  }

  void show(uint64_t files, uint64_t bytes, bool force) {
    if (!enabled_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && (now - start_ < std::chrono::seconds(1) ||
                   now - last_ < std::chrono::milliseconds(250))) {
      return;
    }
    last_ = now;
    shown_ = true;
    std::fprintf(stderr, "\rzobrin-pack: %llu/%llu files, %.1f/%.1f MiB ",
                 static_cast<unsigned long long>(files),
                 static_cast<unsigned long long>(files_total_), bytes / 1048576.0,
                 bytes_total_ / 1048576.0);
    std::fflush(stderr);
  }

 private:
  bool enabled_;
  uint64_t files_total_;
  uint64_t bytes_total_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_;
  bool shown_ = false;
};

// Feeds the stream: one frame through one (multi-threaded) context, as it is read; or, for a
// cut stream, each frame's bytes gathered and compressed whole by a task of its own, the
// frames written in order.
class FrameFeeder {
 public:
  FrameFeeder(OutputFile& out, std::vector<uint64_t> sizes, int level, int threads,
              uint64_t* stream_bytes)
      : out_(out), sizes_(std::move(sizes)), stream_bytes_(stream_bytes) {
    if (sizes_.size() == 1) {
      // Decision: a single frame keeps its size unknown to the encoder (it neither shrinks the
      // window nor writes a single-segment frame), as it always has.
      compressors_.push_back(std::make_unique<Compressor>(
          CodecSettings{level, /* sized */ false, /* checksum */ true, threads}));
    } else {
      // Decision: frames side by side, each on one thread, rather than each frame cut into
      // jobs: a frame of 32 MiB is smaller than the jobs zstd makes at this level, so its own
      // workers would leave all but one thread idle. At most 8 frames (their input, output and
      // context) are held at once.
      size_t tasks = static_cast<size_t>(std::max(1, std::min(threads, 8)));
      for (size_t i = 0; i < tasks; i++) {
        compressors_.push_back(std::make_unique<Compressor>(
            CodecSettings{level, /* sized */ true, /* checksum */ true, 0}));
      }
    }
    left_ = sizes_[0];
    input_.reserve(static_cast<size_t>(sizes_.size() > 1 ? left_ : 0));
  }

  void feed(const char* data, size_t size) {
    while (size > 0) {
      size_t take = static_cast<size_t>(std::min<uint64_t>(size, left_));
      if (sizes_.size() == 1) {
        compressors_[0]->stream(data, take, /* end */ false, sink());
      } else {
        input_.insert(input_.end(), data, data + take);
      }
      data += take;
      size -= take;
      left_ -= take;
      if (left_ == 0 && next_ + 1 < sizes_.size()) end_frame();
    }
  }

  // Ends the frame being fed; after the last one, writes everything still pending.
  void end_frame() {
    if (sizes_.size() == 1) {
      compressors_[0]->stream(nullptr, 0, /* end */ true, sink());
      return;
    }
    if (pending_.size() == compressors_.size()) write_first();
    Compressor* compressor = compressors_[next_ % compressors_.size()].get();
    pending_.push_back(std::async(std::launch::async, [compressor, input = std::move(input_)]() {
      return compressor->frame(input.data(), input.size());
    }));
    input_ = std::vector<char>();
    if (++next_ < sizes_.size()) {
      left_ = sizes_[next_];
      input_.reserve(static_cast<size_t>(left_));
      return;
    }
    while (!pending_.empty()) write_first();
  }

 private:
  std::function<void(const char*, size_t)> sink() {
    return [this](const char* data, size_t size) {
      out_.write(data, size);
      *stream_bytes_ += size;
    };
  }

  void write_first() {
    std::string frame = pending_.front().get();
    pending_.pop_front();
    out_.write(frame.data(), frame.size());
    *stream_bytes_ += frame.size();
  }

  OutputFile& out_;
  std::vector<uint64_t> sizes_;
  uint64_t* stream_bytes_;
  // One compressor for a single frame; for a cut stream one per task, frame k using k % count.
  std::vector<std::unique_ptr<Compressor>> compressors_;
  std::vector<char> input_;
  std::deque<std::future<std::string>> pending_;
  size_t next_ = 0;
  uint64_t left_ = 0;
};

// The stream compressed at PACK_PROBE_LEVEL as frames of `sizes` (one frame when empty),
// counted and dropped: its compressed size, or 0 when a file cannot be read whole (the pass
// that packs reports it).
uint64_t writer_trial(const AppTree& tree, std::vector<uint64_t> sizes) {
  Compressor compressor(
      CodecSettings{PACK_PROBE_LEVEL, /* sized */ false, /* checksum */ false, 0});
  std::vector<char> read_buffer(1 << 20);
  uint64_t bytes = 0;
  const auto count = [&bytes](const char*, size_t size) { bytes += size; };
  size_t frame = 0;
  uint64_t frame_left = sizes.empty() ? UINT64_MAX : sizes[0];
  for (const AppFile& file : tree.files) {
    std::ifstream in(host_io_path(file.source), std::ios::binary);
    for (uint64_t left = file.size; left > 0;) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(left, read_buffer.size()));
      in.read(read_buffer.data(), static_cast<std::streamsize>(want));
      if (!in || static_cast<size_t>(in.gcount()) != want) return 0;
      left -= want;
      for (size_t done = 0; done < want;) {
        size_t take = static_cast<size_t>(std::min<uint64_t>(want - done, frame_left));
        compressor.stream(read_buffer.data() + done, take, /* end */ false, count);
        done += take;
        frame_left -= take;
        if (frame_left == 0 && frame + 1 < sizes.size()) {
          compressor.stream(nullptr, 0, /* end */ true, count);
          frame_left = sizes[++frame];
        }
      }
    }
  }
  compressor.stream(nullptr, 0, /* end */ true, count);
  return bytes;
}

// The trials of payload_frames_chosen: one frame, then each candidate, side by side (each
// trial reads the files itself), at most `threads` at once.
std::vector<uint64_t> writer_probe(const AppTree& tree,
                                   const std::vector<std::vector<uint64_t>>& candidates,
                                   int threads) {
  std::vector<std::vector<uint64_t>> trials = {{}};
  trials.insert(trials.end(), candidates.begin(), candidates.end());
  std::vector<uint64_t> sizes(trials.size());
  const size_t batch = static_cast<size_t>(std::max(1, threads));
  for (size_t first = 0; first < trials.size(); first += batch) {
    std::vector<std::future<uint64_t>> running;
    for (size_t i = first; i < std::min(trials.size(), first + batch); i++) {
      running.push_back(std::async(std::launch::async, writer_trial, std::cref(tree), trials[i]));
    }
    for (size_t i = 0; i < running.size(); i++) sizes[first + i] = running[i].get();
  }
  if (std::find(sizes.begin(), sizes.end(), 0) != sizes.end()) return {};
  return sizes;
}

// Feeds the `size` bytes of file number `index` into the stream.
void writer_file(FrameFeeder* feeder, const AppFile& file, size_t index,
                 std::vector<char>* read_buffer, uint64_t* done_bytes, Progress* progress) {
  std::ifstream in(host_io_path(file.source), std::ios::binary);
  if (!in) throw PackError("cannot read " + quote_path(file.source));
  uint64_t left = file.size;
  while (left > 0) {
    size_t want = left < read_buffer->size() ? static_cast<size_t>(left) : read_buffer->size();
    in.read(read_buffer->data(), static_cast<std::streamsize>(want));
    if (static_cast<size_t>(in.gcount()) != want) {
      throw PackError("file " + quote_path(file.source) +
                      " changed or could not be read while packing");
    }
    feeder->feed(read_buffer->data(), want);
    left -= want;
    *done_bytes += want;
    progress->show(index, *done_bytes, false);
  }
  if (in.peek() != std::char_traits<char>::eof()) {
    throw PackError("file " + quote_path(file.source) + " changed while packing");
  }
}

}  // namespace

std::vector<uint64_t> payload_frame_sizes(uint64_t total, uint64_t files, uint64_t frame_size) {
  uint64_t count = 1;
  if (frame_size == PACK_FRAMES_AUTO) {
    // Decision, from the benchmark: where many small files make creating them the walk's
    // slower part, one decoding thread already keeps ahead of it, and a cut would cost size
    // (0.4 and 0.9 % on the benchmark's trees of 8,000 and 2,500 files) for nothing.
    if (total >= ZB_FRAMES_FROM_BYTES && files > 0 && total / files >= ZB_FRAMES_FILE_BYTES) {
      count = total / ZB_FRAME_TARGET_BYTES;
    }
  } else if (frame_size > 0) {
    count = total / frame_size + (total % frame_size != 0);
  }
  if (count <= 1) return {total};
  std::vector<uint64_t> sizes(static_cast<size_t>(count), total / count);
  for (uint64_t i = 0; i < total % count; i++) sizes[static_cast<size_t>(i)]++;
  return sizes;
}

std::vector<uint64_t> payload_frames_chosen(
    const std::vector<uint64_t>& frames, uint64_t total, uint64_t files,
    const std::function<std::vector<uint64_t>(const std::vector<std::vector<uint64_t>>&)>& probe) {
  std::vector<std::vector<uint64_t>> candidates = {frames};
  std::vector<uint64_t> larger = payload_frame_sizes(total, files, 2 * ZB_FRAME_TARGET_BYTES);
  if (larger.size() > 1 && larger.size() < frames.size()) candidates.push_back(larger);
  std::vector<uint64_t> sizes = probe(candidates);
  // Decision: a probe that could not read the files keeps the cut; the pass that packs reports
  // the file.
  if (sizes.size() != candidates.size() + 1) return frames;
  for (size_t i = 0; i < candidates.size(); i++) {
    if (double(sizes[i + 1]) <= double(sizes[0]) * (1 + PACK_CUT_COST_MAX)) return candidates[i];
  }
  return {total};
}

std::string payload_header_bytes(uint64_t table_size, uint64_t stream_size) {
  std::string bytes;
  append_u64(&bytes, table_size);
  append_u64(&bytes, stream_size);
  return bytes;
}

std::string payload_tail_bytes(uint64_t length) {
  std::string bytes(
      static_cast<size_t>((ZB_PAYLOAD_TRAILER_ALIGN - length % ZB_PAYLOAD_TRAILER_ALIGN) %
                          ZB_PAYLOAD_TRAILER_ALIGN),
      '\0');
  append_u64(&bytes, length + bytes.size());
  return bytes;
}

std::string payload_entry_bytes(uint32_t flags, uint64_t size, const std::u16string& name) {
  std::string bytes;
  append_u32(&bytes, flags);
  append_u64(&bytes, size);
  append_utf16z(&bytes, name);
  return bytes;
}

PackStats payload_write(OutputFile& out, const AppTree& tree, const PackOptions& options) {
  PackStats stats;
  if (tree.files.empty()) throw PackError("nothing to pack");
  std::string table;
  for (size_t i = 0; i < tree.files.size(); i++) {
    uint32_t flags = i + 1 == tree.files.size() ? ZB_ENTRY_FLAG_LAST : 0;
    table += payload_entry_bytes(flags, tree.files[i].size, tree.files[i].name);
    stats.bytes_in += tree.files[i].size;
  }
  stats.files = tree.files.size();

  uint64_t start = out.position();
  out.write(payload_header_bytes(table.size(), 0));  // the stream size is filled in below
  out.write(table);

  int threads = options.threads > 0 ? options.threads
                                    : static_cast<int>(std::thread::hardware_concurrency());
  std::vector<uint64_t> frames =
      payload_frame_sizes(stats.bytes_in, stats.files, options.frame_size);
  if (options.frame_size == PACK_FRAMES_AUTO && frames.size() > 1) {
    frames = payload_frames_chosen(frames, stats.bytes_in, stats.files,
                                   [&](const std::vector<std::vector<uint64_t>>& candidates) {
                                     return writer_probe(tree, candidates, threads);
                                   });
  }
  stats.frames = frames.size();

  std::vector<char> read_buffer(1 << 20);
  uint64_t done_bytes = 0;
  {
    Progress progress(options.progress, stats.files, stats.bytes_in);
    FrameFeeder feeder(out, frames, options.level, threads, &stats.stream_bytes);
    for (size_t i = 0; i < tree.files.size(); i++) {
      writer_file(&feeder, tree.files[i], i, &read_buffer, &done_bytes, &progress);
    }
    feeder.end_frame();
  }
  // A file written to after it was read (grown, or rewritten in place) would be packed as it
  // stood part of the way through.
  for (const AppFile& file : tree.files) {
    std::error_code ec;
    const fs::path path = host_io_path(file.source);
    if (fs::file_size(path, ec) != file.size || ec || fs::last_write_time(path, ec) != file.time ||
        ec) {
      throw PackError("file " + quote_path(file.source) + " changed while packing");
    }
  }

  std::string tail =
      payload_tail_bytes(ZB_PAYLOAD_HEADER_BYTES + table.size() + stats.stream_bytes);
  out.write(tail);
  std::string stream_size;
  append_u64(&stream_size, stats.stream_bytes);
  out.patch(start + ZB_PAYLOAD_STREAM_SIZE_OFFSET, stream_size);
  stats.payload_bytes = ZB_PAYLOAD_HEADER_BYTES + table.size() + stats.stream_bytes + tail.size();
  return stats;
}

std::string section_head_bytes(const SectionHead& head) {
  std::string bytes;
  append_u64(&bytes, head.length);
  append_u64(&bytes, head.digest);
  append_u64(&bytes, head.flags);
  append_u64(&bytes, head.key);
  return bytes;
}

SectionHead payload_section_head(OutputFile& out, uint64_t start, uint64_t length,
                                 uint64_t flags, const std::string& settings) {
  // The key names the cache directory only; without the cache flag the array is read up to
  // the digest's extent and the key stays 0.
  const bool keyed = (flags & ZB_RUN_FLAG_CACHE) != 0;
  unsigned char header[ZB_PAYLOAD_HEADER_BYTES] = {};
  out.read_back(start, header, static_cast<size_t>(std::min<uint64_t>(length, sizeof header)));
  const uint64_t extent = payload_digest_extent(header, length);
  SectionHead head;
  head.length = length;
  head.flags = flags;
  // The digest starts as the key's state after `extent` bytes: one pass gives both, and the
  // head's words are sealed into the digest once the key is known.
  std::vector<unsigned char> buffer(1 << 20);
  uint64_t state = ZB_DIGEST_START;
  uint64_t table_state = ZB_DIGEST_START;
  const uint64_t end = keyed ? length : extent;
  for (uint64_t done = 0; done < end;) {
    uint64_t stop = done < extent ? extent : length;
    size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), stop - done));
    out.read_back(start + done, buffer.data(), want);
    state = payload_digest_update(state, buffer.data(), want);
    done += want;
    if (done == extent) table_state = state;
  }
  head.key = keyed ? state : 0;
  if (keyed) {
    // The digests come from the array as written, decoded again: the bytes a start will see.
    std::vector<unsigned char> array(static_cast<size_t>(length));
    out.read_back(start, array.data(), array.size());
    // An array whose header sizes do not fit it (packed as it stood) has no entries to record.
    std::vector<uint64_t> digests;
    const uint64_t table = le_read_u64(header), stream = le_read_u64(header + 8);
    if (length >= ZB_PAYLOAD_HEADER_BYTES && table <= length - ZB_PAYLOAD_HEADER_BYTES &&
        stream <= length - ZB_PAYLOAD_HEADER_BYTES - table) {
      digests = file_digests_compute(payload_locate(array, "the payload"));
    }
    head.files = file_digests_block(digests);
  }
  head.files += settings;
  out.write(head.files);
  table_state = payload_digest_update(
      table_state, reinterpret_cast<const unsigned char*>(head.files.data()), head.files.size());
  head.digest = payload_digest_seal(table_state, head.length, head.flags, head.key);
  return head;
}
