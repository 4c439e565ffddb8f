#include "payload/payload_writer.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <zstd.h>

#include "base/limits.h"
#include "base/payload_format.h"
#include "payload/file_io.h"

namespace {

void writer_put_le(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; i++) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

struct Progress {
  bool enabled;
  uint64_t files_total;
  uint64_t bytes_total;
  std::chrono::steady_clock::time_point start;
  std::chrono::steady_clock::time_point last;
  bool shown;
};

void progress_show(Progress* progress, uint64_t files, uint64_t bytes, bool force) {
  if (!progress->enabled) return;
  auto now = std::chrono::steady_clock::now();
  if (!force && (now - progress->start < std::chrono::seconds(1) ||
                 now - progress->last < std::chrono::milliseconds(250))) {
    return;
  }
  progress->last = now;
  progress->shown = true;
  std::fprintf(stderr, "\rzobrin-pack: %llu/%llu files, %.1f/%.1f MiB ",
               static_cast<unsigned long long>(files),
               static_cast<unsigned long long>(progress->files_total), bytes / 1048576.0,
               progress->bytes_total / 1048576.0);
  std::fflush(stderr);
}

bool writer_drain(ZSTD_CCtx* context, FILE* out, ZSTD_inBuffer* input, ZSTD_EndDirective mode,
                  std::vector<char>* buffer, uint64_t* stream_bytes, std::string* error) {
  for (;;) {
    ZSTD_outBuffer output = {buffer->data(), buffer->size(), 0};
    size_t left = ZSTD_compressStream2(context, &output, input, mode);
    if (ZSTD_isError(left)) {
      *error = std::string("compression failed: ") + ZSTD_getErrorName(left);
      return false;
    }
    if (!file_write(out, buffer->data(), output.pos, error)) return false;
    *stream_bytes += output.pos;
    bool done = mode == ZSTD_e_end ? left == 0 : input->pos == input->size;
    if (done) return true;
  }
}

}  // namespace

std::string payload_entry_bytes(uint32_t flags, uint64_t size, const std::u16string& name) {
  std::string bytes;
  writer_put_le(&bytes, flags, 4);
  writer_put_le(&bytes, size, 8);
  for (char16_t unit : name) writer_put_le(&bytes, unit, 2);
  writer_put_le(&bytes, 0, 2);
  return bytes;
}

bool payload_write(FILE* out, const AppTree& tree, const PackOptions& options, PackStats* stats,
                   std::string* error) {
  *stats = PackStats();
  if (tree.files.empty()) {
    *error = "nothing to pack";
    return false;
  }
  std::string table;
  for (size_t i = 0; i < tree.files.size(); i++) {
    uint32_t flags = i + 1 == tree.files.size() ? ZB_ENTRY_FLAG_LAST : 0;
    table += payload_entry_bytes(flags, tree.files[i].size, tree.files[i].name);
    stats->bytes_in += tree.files[i].size;
  }
  stats->files = tree.files.size();

  int64_t start = file_tell(out);
  std::string header;
  writer_put_le(&header, table.size(), 8);
  writer_put_le(&header, 0, 8);  // stream size, filled in below
  if (start < 0 || !file_write(out, header.data(), header.size(), error) ||
      !file_write(out, table.data(), table.size(), error)) {
    if (error->empty()) *error = "cannot write the output";
    return false;
  }

  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (context == nullptr) {
    *error = "cannot create a zstd compression context";
    return false;
  }
  int threads = options.threads > 0 ? options.threads
                                    : static_cast<int>(std::thread::hardware_concurrency());
  // No content size, checksum or dictionary id; window 2^27. Feeding the input with
  // ZSTD_e_continue keeps the size unknown to the encoder, so it neither shrinks the window
  // nor writes a single-segment frame.
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, options.level);
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, ZB_WINDOW_LOG);
  // Long-distance matching, as `zstd --long=27` does. Besides finding repeats across the
  // whole window, it sizes the worker jobs from the search tables rather than from the window:
  // without it a 2^27 window makes 512 MiB jobs, and a payload smaller than that is
  // compressed by one worker whatever --threads says. The decoder needs nothing more.
  ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_dictIDFlag, 0);
  if (threads > 1) ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, threads);

  Progress progress = {options.progress, stats->files, stats->bytes_in,
                       std::chrono::steady_clock::now(), {}, false};
  std::vector<char> read_buffer(1 << 20);
  std::vector<char> out_buffer(ZSTD_CStreamOutSize());
  uint64_t done_bytes = 0;
  bool ok = true;
  for (size_t i = 0; ok && i < tree.files.size(); i++) {
    const AppFile& file = tree.files[i];
    std::ifstream in(file.source, std::ios::binary);
    if (!in) {
      *error = "cannot read " + app_quote(file.source);
      ok = false;
      break;
    }
    uint64_t left = file.size;
    while (ok && left > 0) {
      size_t want = left < read_buffer.size() ? static_cast<size_t>(left) : read_buffer.size();
      in.read(read_buffer.data(), static_cast<std::streamsize>(want));
      if (static_cast<size_t>(in.gcount()) != want) {
        *error = "file " + app_quote(file.source) + " changed or could not be read while packing";
        ok = false;
        break;
      }
      ZSTD_inBuffer input = {read_buffer.data(), want, 0};
      ok = writer_drain(context, out, &input, ZSTD_e_continue, &out_buffer, &stats->stream_bytes,
                        error);
      left -= want;
      done_bytes += want;
      progress_show(&progress, i, done_bytes, false);
    }
    if (ok && in.peek() != std::char_traits<char>::eof()) {
      *error = "file " + app_quote(file.source) + " changed while packing";
      ok = false;
    }
  }
  if (ok) {
    ZSTD_inBuffer empty = {nullptr, 0, 0};
    ok = writer_drain(context, out, &empty, ZSTD_e_end, &out_buffer, &stats->stream_bytes, error);
  }
  ZSTD_freeCCtx(context);
  if (progress.shown) {
    progress_show(&progress, stats->files, stats->bytes_in, true);
    std::fputc('\n', stderr);
  }
  if (!ok) return false;

  uint64_t length = 16 + table.size() + stats->stream_bytes;
  std::string tail(static_cast<size_t>((8 - length % 8) % 8), '\0');
  length += tail.size() + 8;
  writer_put_le(&tail, length - 8, 8);
  std::string stream_size;
  writer_put_le(&stream_size, stats->stream_bytes, 8);
  if (!file_write(out, tail.data(), tail.size(), error) ||
      !file_patch(out, start + 8, stream_size.data(), stream_size.size(), error)) {
    return false;
  }
  stats->payload_bytes = length;
  return true;
}
