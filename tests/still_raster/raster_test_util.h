// Helpers of the SGI, Sun raster, PNM, XPM and Bayer tests: the still-image
// helpers plus netpbm as a second independent decoder.
#pragma once

#include <cmath>
#include <string>

#include "oracle_shell.h"
#include "still/still_test_util.h"

namespace raster_test {

using namespace still_test;

inline bool Tool(const std::string& name) {
  return ::vektest::HaveOracle(name);
}
inline bool Shell(const std::string& cmd) { return ::vektest::RunShell((cmd + " 2>/dev/null").c_str()) == 0; }

// A netpbm decode (`tool` turns the file into any PNM), as 8-bit RGB.
inline Rgb NetpbmDecode(const std::string& tool, const std::string& file) {
  const std::string ppm = file + ".netpbm.ppm";
  if (!Shell(tool + " '" + file + "' | /usr/bin/pamdepth 255 | /usr/bin/ppmtoppm > '" + ppm + "'")) return {};
  return ReadPpm(ppm);
}

// The test photo through ImageMagick into `file`, with `args` before the output.
inline std::string FromPhoto(const std::string& file, const std::string& args,
                             const std::string& photo = "chelsea_113x75.png") {
  const std::string out = Temp(file);
  if (!Magick("'" + Photo(photo.c_str()) + "' " + args + " '" + out + "'")) return {};
  return out;
}

// A 24-bit record from 8-bit RGB.
inline void FromRgb(vek::QImg& img, const Rgb& rgb) {
  vek::_imgalloc_(&img, rgb.width, rgb.height, 24, 1, "Test.FromRgb.img");
  for (size_t i = 0; i < rgb.px.size(); i += 3) {
    img.pixels[i] = rgb.px[i + 2];
    img.pixels[i + 1] = rgb.px[i + 1];
    img.pixels[i + 2] = rgb.px[i];
  }
}

// Loads with `load` inside a boundary; returns the error code (0 = none).
template <class Load>
int32_t TryLoad(Load&& load) {
  vek::ErrClear();
  vek::MonitoredBoundary("Test.Load", [&] { load(); });
  const int32_t code = vek::ErrNone() ? 0 : vek::ErrGroup() * 100 + vek::ErrCode();
  vek::ErrClear();
  return code;
}
inline int32_t Code(int32_t group, int32_t code) { return group * 100 + code; }

// Peak signal-to-noise ratio of two RGB pictures of one size, in dB.
inline double Psnr(const Rgb& a, const Rgb& b) {
  double se = 0;
  for (size_t i = 0; i < a.px.size(); ++i) {
    const double d = double(a.px[i]) - double(b.px[i]);
    se += d * d;
  }
  const double mse = se / double(a.px.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace raster_test
