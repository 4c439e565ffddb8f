#include "packer/splash_image.h"

#include <zstd.h>

#include <cstring>

#include "base/little_endian.h"
#include "packer/file_io.h"
#include "packer/pack_error.h"

namespace {

// A damaged or cut-short image: caught once and named by splash_decode.
struct Damaged {};

uint32_t be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// The deflate stream of a PNG (RFC 1951), decoded whole into `out`.
class Inflater {
 public:
  Inflater(const unsigned char* data, size_t size) : data_(data), size_(size) {}

  std::vector<unsigned char> run(size_t limit) {
    std::vector<unsigned char> out;
    bool last = false;
    while (!last) {
      last = bits(1) != 0;
      uint32_t type = bits(2);
      if (type == 0) {
        stored(&out);
      } else if (type == 1) {
        fixed_tables();
        codes(&out);
      } else if (type == 2) {
        dynamic_tables();
        codes(&out);
      } else {
        throw Damaged();
      }
      if (out.size() > limit) throw Damaged();
    }
    return out;
  }

 private:
  struct Huffman {
    uint16_t count[16];
    uint16_t symbol[320];
  };

  uint32_t bits(int need) {
    while (held_ < need) {
      if (at_ >= size_) throw Damaged();
      buffer_ |= uint32_t(data_[at_++]) << held_;
      held_ += 8;
    }
    uint32_t value = buffer_ & ((1u << need) - 1);
    buffer_ >>= need;
    held_ -= need;
    return value;
  }

  // Codes of each length counted, then the symbols in code order. Over-subscribed lengths are
  // damage; incomplete ones are allowed (a single distance code).
  static void build(Huffman* h, const uint8_t* lengths, int n) {
    std::memset(h->count, 0, sizeof h->count);
    for (int i = 0; i < n; i++) h->count[lengths[i]]++;
    int left = 1;
    for (int len = 1; len < 16; len++) {
      left = (left << 1) - h->count[len];
      if (left < 0) throw Damaged();
    }
    uint16_t offset[16] = {0, 0};
    for (int len = 1; len < 15; len++) offset[len + 1] = offset[len] + h->count[len];
    for (int i = 0; i < n; i++) {
      if (lengths[i] != 0) h->symbol[offset[lengths[i]]++] = static_cast<uint16_t>(i);
    }
  }

  int decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len < 16; len++) {
      code |= static_cast<int>(bits(1));
      int count = h.count[len];
      if (code - first < count) return h.symbol[index + code - first];
      index += count;
      first = (first + count) << 1;
      code <<= 1;
    }
    throw Damaged();
  }

  void stored(std::vector<unsigned char>* out) {
    buffer_ = 0;
    held_ = 0;
    if (size_ - at_ < 4) throw Damaged();
    uint32_t length = data_[at_] | (data_[at_ + 1] << 8);
    uint32_t check = data_[at_ + 2] | (data_[at_ + 3] << 8);
    at_ += 4;
    if ((length ^ 0xFFFF) != check || size_ - at_ < length) throw Damaged();
    out->insert(out->end(), data_ + at_, data_ + at_ + length);
    at_ += length;
  }

  void fixed_tables() {
    uint8_t lengths[288 + 30];
    for (int i = 0; i < 144; i++) lengths[i] = 8;
    for (int i = 144; i < 256; i++) lengths[i] = 9;
    for (int i = 256; i < 280; i++) lengths[i] = 7;
    for (int i = 280; i < 288; i++) lengths[i] = 8;
    for (int i = 0; i < 30; i++) lengths[288 + i] = 5;
    build(&literals_, lengths, 288);
    build(&distances_, lengths + 288, 30);
  }

  void dynamic_tables() {
    static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int literal_count = static_cast<int>(bits(5)) + 257;
    int distance_count = static_cast<int>(bits(5)) + 1;
    int code_count = static_cast<int>(bits(4)) + 4;
    if (literal_count > 286 || distance_count > 30) throw Damaged();
    uint8_t lengths[320] = {};
    for (int i = 0; i < code_count; i++) lengths[order[i]] = static_cast<uint8_t>(bits(3));
    Huffman code_lengths;
    build(&code_lengths, lengths, 19);
    int total = literal_count + distance_count;
    for (int i = 0; i < total;) {
      int symbol = decode(code_lengths);
      if (symbol < 16) {
        lengths[i++] = static_cast<uint8_t>(symbol);
        continue;
      }
      uint8_t value = 0;
      int repeat = 0;
      if (symbol == 16) {
        if (i == 0) throw Damaged();
        value = lengths[i - 1];
        repeat = 3 + static_cast<int>(bits(2));
      } else if (symbol == 17) {
        repeat = 3 + static_cast<int>(bits(3));
      } else {
        repeat = 11 + static_cast<int>(bits(7));
      }
      if (i + repeat > total) throw Damaged();
      while (repeat-- > 0) lengths[i++] = value;
    }
    if (lengths[256] == 0) throw Damaged();
    build(&literals_, lengths, literal_count);
    build(&distances_, lengths + literal_count, distance_count);
  }

  void codes(std::vector<unsigned char>* out) {
    static const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                             15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                             67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const uint8_t length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const uint16_t distance_base[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const uint8_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                               6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      int symbol = decode(literals_);
      if (symbol < 256) {
        out->push_back(static_cast<unsigned char>(symbol));
        continue;
      }
      if (symbol == 256) return;
      symbol -= 257;
      if (symbol >= 29) throw Damaged();
      size_t length = length_base[symbol] + bits(length_extra[symbol]);
      int distance_symbol = decode(distances_);
      if (distance_symbol >= 30) throw Damaged();
      size_t distance = distance_base[distance_symbol] + bits(distance_extra[distance_symbol]);
      if (distance > out->size()) throw Damaged();
      size_t from = out->size() - distance;
      for (size_t i = 0; i < length; i++) out->push_back((*out)[from + i]);
    }
  }

  const unsigned char* data_;
  size_t size_;
  size_t at_ = 0;
  uint32_t buffer_ = 0;
  int held_ = 0;
  Huffman literals_;
  Huffman distances_;
};

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
  if ((compressed[0] & 0x0F) != 8 || ((compressed[0] << 8) | compressed[1]) % 31 != 0) {
    throw Damaged();
  }
  Inflater inflater(compressed.data() + 2, compressed.size() - 2);
  std::vector<unsigned char> raw = inflater.run((stride + 1) * image.height);
  if (raw.size() != (stride + 1) * image.height) throw Damaged();
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
  std::string record(8 + ZSTD_compressBound(image.bgrx.size()), '\0');
  le_write_u32(reinterpret_cast<unsigned char*>(&record[0]), image.width);
  le_write_u32(reinterpret_cast<unsigned char*>(&record[4]), image.height);
  size_t size = ZSTD_compress(&record[8], record.size() - 8, image.bgrx.data(), image.bgrx.size(),
                              19);
  if (ZSTD_isError(size)) throw PackError("the splash image cannot be compressed");
  record.resize(8 + size);
  return record;
}

std::string splash_record_size(const std::string& record) {
  if (record.size() < 8) return "";
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(record.data());
  return std::to_string(le_read_u32(bytes)) + " x " + std::to_string(le_read_u32(bytes + 4));
}
