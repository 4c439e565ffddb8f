// `zobrin-pack exe --splash`: PNG and BMP images decoded to the pixels the launcher shows, and
// every image it refuses. The PNG files in tests/host/splash/ were written with Python's zlib:
// rgba_filters.png (5 x 5 RGBA, row y filtered with filter y, fixed Huffman codes; column 4
// transparent), palette_2bit_stored.png (3 x 2, 2-bit palette with tRNS, stored blocks),
// gray16.png (2 x 2, 16-bit grey) and rgb_dynamic.png (32 x 32 RGB, dynamic Huffman codes).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "format/little_endian.h"
#include "packer/file_io.h"
#include "packer/pack_error.h"
#include "packer/splash_image.h"

namespace fs = std::filesystem;

namespace {

const fs::path FIXTURES = fs::path(ZOBRIN_SOURCE_DIR) / "tests" / "host" / "splash";

std::vector<unsigned char> fixture(const char* name) { return read_whole_file(FIXTURES / name); }

// Blue, green, red, 0 of pixel x, y.
std::vector<int> at(const SplashPixels& image, uint32_t x, uint32_t y) {
  const unsigned char* p = &image.bgrx[(size_t(y) * image.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

// A PNG of 8-bit grey rows of `width` pixels, `raw` holding each row led by its filter byte,
// with right CRCs and Adler-32; `interlace` as IHDR's last byte.
std::vector<unsigned char> grey_png(uint32_t width, const std::vector<unsigned char>& raw,
                                    unsigned char interlace = 0) {
  std::vector<unsigned char> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto chunk = [&](const char* type, const std::vector<unsigned char>& data) {
    for (int i = 3; i >= 0; i--) file.push_back(static_cast<unsigned char>(data.size() >> (8 * i)));
    size_t start = file.size();
    file.insert(file.end(), type, type + 4);
    file.insert(file.end(), data.begin(), data.end());
    uint32_t crc = crc32(0, &file[start], static_cast<uInt>(file.size() - start));
    for (int i = 3; i >= 0; i--) file.push_back(static_cast<unsigned char>(crc >> (8 * i)));
  };
  uint32_t height = static_cast<uint32_t>(raw.size() / (width + 1));
  chunk("IHDR", {0, 0, 0, static_cast<unsigned char>(width), 0, 0, 0,
                 static_cast<unsigned char>(height), 8, 0, 0, 0, interlace});
  std::vector<unsigned char> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf packed_size = static_cast<uLongf>(packed.size());
  compress(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()));
  packed.resize(packed_size);
  chunk("IDAT", packed);
  chunk("IEND", {});
  return file;
}

// A BMP of `width` x `height` (negative: top down) and `bits` per pixel, pixel x, y having
// red x * 40, green y * 50, blue 7.
std::vector<unsigned char> bmp(int32_t width, int32_t height, uint16_t bits,
                               uint32_t compression = 0) {
  uint32_t rows = height < 0 ? -height : height;
  uint32_t stride = (uint32_t(width) * bits / 8 + 3) / 4 * 4;
  std::vector<unsigned char> file(54 + stride * rows, 0);
  file[0] = 'B';
  file[1] = 'M';
  le_write_u32(&file[10], 54);
  le_write_u32(&file[14], 40);
  le_write_u32(&file[18], uint32_t(width));
  le_write_u32(&file[22], uint32_t(height));
  file[26] = 1;
  file[28] = static_cast<unsigned char>(bits);
  le_write_u32(&file[30], compression);
  for (uint32_t row = 0; row < rows; row++) {
    uint32_t y = height < 0 ? row : rows - 1 - row;
    for (int32_t x = 0; x < width; x++) {
      unsigned char* p = &file[54 + stride * row + x * (bits / 8)];
      p[0] = 7;
      p[1] = static_cast<unsigned char>(y * 50);
      p[2] = static_cast<unsigned char>(x * 40);
    }
  }
  return file;
}

TEST(Splash, ImagesDecodeToThePixelsTheLauncherShows) {
  SplashPixels rgba = splash_decode(fixture("rgba_filters.png"), "a");
  ASSERT_EQ(rgba.width, 5u);
  ASSERT_EQ(rgba.height, 5u);
  for (uint32_t y = 0; y < 5; y++) {
    for (uint32_t x = 0; x < 4; x++) {
      EXPECT_EQ(at(rgba, x, y), (std::vector<int>{int((x * y * 9) & 255), int((y * 60 + x) & 255),
                                                  int((x * 50 + y * 7) & 255), 0}))
          << x << "," << y;
    }
    EXPECT_EQ(at(rgba, 4, y), (std::vector<int>{255, 255, 255, 0})) << "transparent: white";
  }
  SplashPixels palette = splash_decode(fixture("palette_2bit_stored.png"), "b");
  ASSERT_EQ(palette.bgrx.size(), 3u * 2 * 4);
  EXPECT_EQ(at(palette, 0, 0), (std::vector<int>{0, 0, 255, 0}));
  EXPECT_EQ(at(palette, 2, 0), (std::vector<int>{255, 0, 0, 0}));
  EXPECT_EQ(at(palette, 0, 1), (std::vector<int>{255, 255, 255, 0})) << "entry 3 transparent";
  EXPECT_EQ(at(palette, 1, 1), (std::vector<int>{255, 0, 0, 0}));
  SplashPixels gray = splash_decode(fixture("gray16.png"), "c");
  EXPECT_EQ(at(gray, 0, 0), (std::vector<int>{0x12, 0x12, 0x12, 0}));
  EXPECT_EQ(at(gray, 1, 1), (std::vector<int>{0x80, 0x80, 0x80, 0}));
  SplashPixels rgb = splash_decode(fixture("rgb_dynamic.png"), "d");
  ASSERT_EQ(rgb.width * rgb.height, 32u * 32);
  for (uint32_t y = 0; y < 32; y++) {
    for (uint32_t x = 0; x < 32; x++) {
      ASSERT_EQ(at(rgb, x, y), (std::vector<int>{int(((x / 4) * 40) & 255), int((y * 8) & 255),
                                                 int((x * 8) & 255), 0}))
          << x << "," << y;
    }
  }
  for (int32_t height : {3, -3}) {
    for (uint16_t bits : {24, 32}) {
      SplashPixels image = splash_decode(bmp(5, height, bits), "e");
      ASSERT_EQ(image.width * image.height, 15u);
      EXPECT_EQ(at(image, 4, 0), (std::vector<int>{7, 0, 160, 0})) << height << " " << bits;
      EXPECT_EQ(at(image, 1, 2), (std::vector<int>{7, 100, 40, 0})) << height << " " << bits;
    }
  }
}

// Through the command: a bad image is one line, exit code 1, and no executable.
TEST(Splash, ExeRecordsTheImageAndRefusesWhatItCannotShow) {
  char pattern[] = "/tmp/zobrin-splash-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path root = pattern;
  fs::create_directories(root / "app");
  auto write = [](const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  };
  // A payload and a launcher are not needed to read the image: it is refused before both.
  auto pack = [&](const fs::path& image, std::string* err, const std::string& more = "") {
    std::string command = std::string(ZOBRIN_PACK_EXE) + " exe '" + (root / "app").string() +
                          "' --main app.dll -o '" + (root / "o.exe").string() + "' --splash '" +
                          image.string() + "'" + more + " 2>'" + (root / "err").string() +
                          "' >/dev/null";
    int status = std::system(command.c_str());
    std::ifstream in(root / "err");
    std::ostringstream text;
    text << in.rdbuf();
    *err = text.str();
    return WEXITSTATUS(status);
  };
  std::vector<unsigned char> png = fixture("rgb_dynamic.png");
  std::vector<unsigned char> interlaced = grey_png(2, {0, 1, 2, 0, 3, 4}, 1);
  std::vector<unsigned char> bad_filter = grey_png(2, {0, 1, 2, 9, 3, 4});
  std::vector<unsigned char> bad_crc = grey_png(2, {0, 1, 2, 0, 3, 4});
  bad_crc[bad_crc.size() - 13] ^= 1;  // the last byte of IDAT's CRC
  const std::string damaged_png = "is a damaged or cut-short PNG file";
  struct Row {
    const char* what;
    std::vector<unsigned char> bytes;
    std::string reason;
  } rows[] = {
      {"a GIF", {'G', 'I', 'F', '8', '9', 'a', 0, 0}, "is neither a PNG nor a BMP file"},
      {"a PNG cut short", std::vector<unsigned char>(png.begin(), png.begin() + 200), damaged_png},
      {"an interlaced PNG", interlaced, "is an interlaced PNG; save it without interlacing"},
      {"a filter type 9", bad_filter, damaged_png},
      {"a chunk's CRC wrong", bad_crc, damaged_png},
      {"an RLE BMP", bmp(2, 2, 24, 1),
       "is a BMP the packer does not read; save it as an uncompressed 24- or 32-bit BMP"},
      {"a 16-bit BMP", bmp(2, 2, 16),
       "is a BMP the packer does not read; save it as an uncompressed 24- or 32-bit BMP"},
      {"a BMP too wide", bmp(4097, 1, 24),
       "is 4097 x 1 pixels; a splash is 1 to 4096 on each side"},
      {"a BMP cut short", [&] { auto b = bmp(5, 5, 24); b.resize(60); return b; }(),
       "is a damaged or cut-short BMP file"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    write(root / "bad", row.bytes);
    std::string err;
    EXPECT_EQ(pack(root / "bad", &err), 1);
    EXPECT_EQ(err, "zobrin-pack: error: the splash image '" + (root / "bad").string() + "' " +
                       row.reason + "\n");
    EXPECT_FALSE(fs::exists(root / "o.exe"));
  }
  // A console program never opens the window that would end the splash.
  write(root / "good.png", png);
  std::string err;
  EXPECT_EQ(pack(root / "good.png", &err, " --console"), 2);
  EXPECT_EQ(err.substr(0, err.find('\n')),
            "zobrin-pack: error: --splash is for a windowed application, not with --console");
  EXPECT_FALSE(fs::exists(root / "o.exe"));
  fs::remove_all(root);
}

}  // namespace
