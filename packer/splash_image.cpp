#include "packer/splash_image.h"

#include <zlib.h>

#include <cstring>
#include <new>

#include "format/little_endian.h"
#include "packer/codec.h"
#include "packer/file_io.h"
#include "packer/pack_error.h"

namespace {

// A damaged or cut-short image: caught once and named by splash_decode.
struct Damaged {};

uint32_t be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The image data of a PNG: one zlib stream over its IDAT chunks, decoded whole; anything but
// exactly `expected` bytes and the stream's end (its Adler-32 checked) is damage.
std::vector<unsigned char> inflate_whole(const std::vector<unsigned char>& compressed,
                                         size_t expected) {
  if (compressed.size() > UINT32_MAX || expected >= UINT32_MAX) throw Damaged();
  struct Stream {
    z_stream z = {};
    bool open = false;
    ~Stream() {
      if (open) inflateEnd(&z);
    }
  } stream;
  if (inflateInit(&stream.z) != Z_OK) throw std::bad_alloc();
  stream.open = true;
  // One byte more than expected, so that a stream holding more is seen.
  std::vector<unsigned char> out(expected + 1);
  stream.z.next_in = const_cast<Bytef*>(compressed.data());
  stream.z.avail_in = static_cast<uInt>(compressed.size());
  stream.z.next_out = out.data();
  stream.z.avail_out = static_cast<uInt>(out.size());
  int result = inflate(&stream.z, Z_FINISH);
  if (result != Z_STREAM_END || out.size() - stream.z.avail_out != expected) throw Damaged();
  out.resize(expected);
  return out;
}

uint8_t paeth(int a, int b, int c) {
  int p = a + b - c;
  int pa = p > a ? p - a : a - p, pb = p > b ? p - b : b - p, pc = p > c ? p - c : c - p;
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  return static_cast<uint8_t>(pb <= pc ? b : c);
}

// One pixel blended over white into `out` (blue, green, red, 0).
void put_pixel(unsigned char* out, uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  auto blend = [a](uint32_t c) { return static_cast<unsigned char>((c * a + 255 * (255 - a) + 127) / 255); };
  out[0] = blend(b);
  out[1] = blend(g);
  out[2] = blend(r);
  out[3] = 0;
}

SplashPixels decode_png(const std::vector<unsigned char>& file, std::string* reason) {
  SplashPixels image;
  size_t at = 8;
  std::vector<unsigned char> compressed, palette, alpha;
  uint32_t depth = 0, colour = 0;
  bool header = false, end = false;
  while (!end) {
    if (file.size() - at < 12) throw Damaged();
    uint32_t length = be32(&file[at]);
    if (length > file.size() - at - 12) throw Damaged();
    const unsigned char* type = &file[at + 4];
    const unsigned char* data = &file[at + 8];
    if (crc32(crc32(0, nullptr, 0), type, 4 + length) != be32(data + length)) throw Damaged();
    if (std::memcmp(type, "IHDR", 4) == 0) {
      if (length != 13) throw Damaged();
      image.width = be32(data);
      image.height = be32(data + 4);
      depth = data[8];
      colour = data[9];
      if (data[12] != 0) {
        *reason = "is an interlaced PNG; save it without interlacing";
        return image;
      }
      header = data[10] == 0 && data[11] == 0;
    } else if (std::memcmp(type, "PLTE", 4) == 0) {
      palette.assign(data, data + length);
    } else if (std::memcmp(type, "tRNS", 4) == 0) {
      alpha.assign(data, data + length);
    } else if (std::memcmp(type, "IDAT", 4) == 0) {
      compressed.insert(compressed.end(), data, data + length);
    } else if (std::memcmp(type, "IEND", 4) == 0) {
      end = true;
    }
    at += 12 + length;
  }
  static const uint32_t channels_of[7] = {1, 0, 3, 1, 2, 0, 4};
  bool depth_ok = depth == 8 || depth == 16 ||
                  ((colour == 0 || colour == 3) && (depth == 1 || depth == 2 || depth == 4));
  if (!header || colour > 6 || channels_of[colour] == 0 || !depth_ok || compressed.size() < 2 ||
      (colour == 3 && (palette.empty() || palette.size() % 3 != 0))) {
    throw Damaged();
  }
  if (image.width == 0 || image.height == 0 || image.width > ZB_SPLASH_MAX_SIDE ||
      image.height > ZB_SPLASH_MAX_SIDE) {
    *reason = "is " + std::to_string(image.width) + " x " + std::to_string(image.height) +
              " pixels; a splash is 1 to " + std::to_string(ZB_SPLASH_MAX_SIDE) + " on each side";
    return image;
  }
  const uint32_t channels = channels_of[colour];
  const size_t pixel_bits = channels * depth;
  const size_t stride = (image.width * pixel_bits + 7) / 8;
  const size_t step = (pixel_bits + 7) / 8;  // the filters' byte distance
  std::vector<unsigned char> raw = inflate_whole(compressed, (stride + 1) * image.height);
  std::vector<unsigned char> previous(stride, 0), row(stride);
  image.bgrx.resize(size_t(image.width) * image.height * 4);
  for (uint32_t y = 0; y < image.height; y++) {
    const unsigned char* line = &raw[y * (stride + 1)];
    uint8_t filter = line[0];
    if (filter > 4) throw Damaged();
    for (size_t i = 0; i < stride; i++) {
      int a = i >= step ? row[i - step] : 0, b = previous[i], c = i >= step ? previous[i - step] : 0;
      int predicted = filter == 0 ? 0 : filter == 1 ? a : filter == 2 ? b
                    : filter == 3 ? (a + b) / 2 : paeth(a, b, c);
      row[i] = static_cast<unsigned char>(line[1 + i] + predicted);
    }
    for (uint32_t x = 0; x < image.width; x++) {
      // Each sample's most significant byte (16 bits) or its bits scaled to 0..255.
      auto sample = [&](uint32_t channel) -> uint32_t {
        if (depth >= 8) return row[(size_t(x) * channels + channel) * (depth / 8)];
        size_t bit = size_t(x) * depth;
        uint32_t value = (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
        return colour == 3 ? value : value * 255 / ((1u << depth) - 1);
      };
      unsigned char* out = &image.bgrx[(size_t(y) * image.width + x) * 4];
      if (colour == 0) {
        uint32_t v = sample(0);
        put_pixel(out, v, v, v, 255);
      } else if (colour == 2) {
        put_pixel(out, sample(0), sample(1), sample(2), 255);
      } else if (colour == 3) {
        uint32_t index = depth == 8 ? row[x] : sample(0);
        if (index * 3 + 2 >= palette.size()) throw Damaged();
        put_pixel(out, palette[index * 3], palette[index * 3 + 1], palette[index * 3 + 2],
                  index < alpha.size() ? alpha[index] : 255);
      } else if (colour == 4) {
        uint32_t v = sample(0);
        put_pixel(out, v, v, v, sample(1));
      } else {
        put_pixel(out, sample(0), sample(1), sample(2), sample(3));
      }
    }
    previous = row;
  }
  return image;
}

SplashPixels decode_bmp(const std::vector<unsigned char>& file, std::string* reason) {
  SplashPixels image;
  if (file.size() < 54) throw Damaged();
  uint32_t offset = le_read_u32(&file[10]);
  uint32_t header = le_read_u32(&file[14]);
  int32_t width = static_cast<int32_t>(le_read_u32(&file[18]));
  int32_t height = static_cast<int32_t>(le_read_u32(&file[22]));
  uint32_t bits = le_read_u16(&file[28]);
  uint32_t compression = le_read_u32(&file[30]);
  if (header < 40 || (bits != 24 && bits != 32) || compression != 0) {
    *reason = "is a BMP the packer does not read; save it as an uncompressed 24- or 32-bit BMP";
    return image;
  }
  bool top_down = height < 0;
  int64_t rows = top_down ? -int64_t(height) : height;
  if (width <= 0 || rows <= 0 || width > int32_t(ZB_SPLASH_MAX_SIDE) || rows > ZB_SPLASH_MAX_SIDE) {
    *reason = "is " + std::to_string(width) + " x " + std::to_string(rows) +
              " pixels; a splash is 1 to " + std::to_string(ZB_SPLASH_MAX_SIDE) + " on each side";
    return image;
  }
  image.width = static_cast<uint32_t>(width);
  image.height = static_cast<uint32_t>(rows);
  size_t stride = (size_t(image.width) * bits / 8 + 3) / 4 * 4;
  if (offset > file.size() || file.size() - offset < stride * image.height) throw Damaged();
  image.bgrx.resize(size_t(image.width) * image.height * 4);
  for (uint32_t y = 0; y < image.height; y++) {
    const unsigned char* line = &file[offset + stride * (top_down ? y : image.height - 1 - y)];
    for (uint32_t x = 0; x < image.width; x++) {
      const unsigned char* in = line + size_t(x) * (bits / 8);
      // A 32-bit BMP's fourth byte is unused by most writers: taken as opaque.
      put_pixel(&image.bgrx[(size_t(y) * image.width + x) * 4], in[2], in[1], in[0], 255);
    }
  }
  return image;
}

}  // namespace

SplashPixels splash_decode(const std::vector<unsigned char>& bytes, const std::string& subject) {
  static const unsigned char png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const std::string prefix = "the splash image " + subject + " ";
  std::string reason;
  SplashPixels image;
  bool is_png = bytes.size() >= 8 && std::memcmp(bytes.data(), png, 8) == 0;
  bool is_bmp = bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M';
  if (!is_png && !is_bmp) throw PackError(prefix + "is neither a PNG nor a BMP file");
  try {
    image = is_png ? decode_png(bytes, &reason) : decode_bmp(bytes, &reason);
  } catch (const Damaged&) {
    reason = std::string("is a damaged or cut-short ") + (is_png ? "PNG" : "BMP") + " file";
  }
  if (!reason.empty()) throw PackError(prefix + reason);
  return image;
}

std::string splash_record(const std::filesystem::path& path) {
  SplashPixels image = splash_decode(read_whole_file(path), quote_path(path));
  std::string record(8, '\0');
  le_write_u32(reinterpret_cast<unsigned char*>(&record[0]), image.width);
  le_write_u32(reinterpret_cast<unsigned char*>(&record[4]), image.height);
  try {
    record += codec_compress_plain(image.bgrx.data(), image.bgrx.size(), 19);
  } catch (const PackError&) {
    throw PackError("the splash image cannot be compressed");
  }
  return record;
}

std::string splash_record_size(const std::string& record) {
  if (record.size() < 8) return "";
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(record.data());
  return std::to_string(le_read_u32(bytes)) + " x " + std::to_string(le_read_u32(bytes + 4));
}
