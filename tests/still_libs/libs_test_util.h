// Helpers of the TIFF, JPEG and PNG tests: inputs written by ImageMagick
// from a small photo, outcomes of monitored calls, and picture distances.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>
#include <functional>
#include <string>

#include <jpeglib.h>

#include "oracle_shell.h"
#include "../still/still_test_util.h"
#include "windows_skip.h"

namespace libs_test {

using namespace still_test;

// Error pair and text a call left behind; the error state is cleared.
struct Outcome {
  int32_t group = 0;
  int32_t code = 0;
  std::string text;
  bool ok() const { return group == 0 && code == 0; }
};

inline Outcome Call(const std::function<void()>& body) {
  vek::ErrClear();
  vek::MonitoredBoundary("Test.Run", [&] { body(); });
  Outcome o{vek::ErrGroup(), vek::ErrCode(), vek::ErrText()};
  vek::ErrClear();
  return o;
}

// Peak signal-to-noise ratio in dB of two RGB pictures of one size (99
// when identical, -1 when the sizes differ).
inline double Psnr(const Rgb& a, const Rgb& b) {
  if (a.width != b.width || a.height != b.height || a.px.size() != b.px.size() || a.px.empty())
    return -1;
  double se = 0;
  for (size_t i = 0; i < a.px.size(); ++i) {
    const double d = double(a.px[i]) - double(b.px[i]);
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / double(a.px.size())));
}

// Largest difference of one channel byte, -1 when the sizes differ.
inline int MaxDiff(const Rgb& a, const Rgb& b) {
  if (a.width != b.width || a.height != b.height || a.px.size() != b.px.size()) return -1;
  int m = 0;
  for (size_t i = 0; i < a.px.size(); ++i) m = std::max(m, std::abs(int(a.px[i]) - int(b.px[i])));
  return m;
}

// An input written by ImageMagick from the 64x43 coffee photo: `ops` are
// the options between input and output, `out` the output (with a format
// prefix where needed). Empty when ImageMagick is missing or fails.
inline std::string MakeInput(const std::string& ops, const std::string& name,
                             const std::string& prefix = "") {
  const std::string out = Temp(name);
  if (!Magick("'" + Photo("coffee_64x43.png") + "' " + ops + " '" + prefix + out + "'")) return {};
  return out;
}

inline bool HaveMagick() { return ::vektest::HaveOracle("/usr/bin/convert"); }

// A query of ImageMagick's identify over a file ("%w %h %z %[channels]"...).
inline std::string Identify(const std::string& format, const std::string& file) {
  const std::string cmd = "/usr/bin/identify -format '" + format + "' '" + file + "' 2>/dev/null";
  std::string out;
  if (FILE* p = ::vektest::OpenPipe(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    ::vektest::ClosePipe(p);
  }
  return out;
}

// A 24-bit test picture with smooth gradients and some sharp edges.
inline void MakePicture(vek::QImg& img, int w, int h, int bits = 24) {
  vek::ImgAlloc(&img, w, h, 24, 1, "Test.picture");
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = img.pixels + (y * w + x) * 3;
      p[0] = static_cast<uint8_t>(x * 255 / (w - 1));
      p[1] = static_cast<uint8_t>(y * 255 / (h - 1));
      p[2] = static_cast<uint8_t>(((x / 8 + y / 8) & 1) ? 200 : 40);
    }
  if (bits != 24) {
    vek::QImg conv{};
    vek::ImgConvBpp(&img, &conv, bits);
    vek::ImgXchg(&img, &conv);
    vek::ImgFree(&conv);
  }
}

// A CMYK file written through libjpeg from the photo's colours, the inks
// stored inverted as Adobe's programs do, with or without their marker
// (readers take both alike); with `key` the darkness goes into the black ink.
inline void WriteCmyk(const std::string& file, const Rgb& rgb, bool adobe, bool key = false) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  FILE* f = fopen(file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  jpeg_stdio_dest(&c, f);
  c.image_width = static_cast<JDIMENSION>(rgb.width);
  c.image_height = static_cast<JDIMENSION>(rgb.height);
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, JCS_CMYK);
  c.write_Adobe_marker = adobe ? TRUE : FALSE;
  jpeg_set_quality(&c, 95, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(rgb.width) * 4);
  while (c.next_scanline < c.image_height) {
    const uint8_t* s = &rgb.px[static_cast<size_t>(c.next_scanline) * rgb.width * 3];
    for (int x = 0; x < rgb.width; ++x) {
      const uint8_t m = key ? std::max({s[3 * x], s[3 * x + 1], s[3 * x + 2]}) : 255;
      for (int k = 0; k < 3; ++k) row[4 * x + k] = m ? uint8_t(s[3 * x + k] * 255 / m) : 255;
      row[4 * x + 3] = m;  // the light left: 255 is no black ink
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  fclose(f);
}

}  // namespace libs_test
