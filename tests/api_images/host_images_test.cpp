// The image, sound and small conversion exports as a host uses them: the
// shared library loaded at run time, exports found by name. Files written
// are checked with independent decoders (ImageMagick, libtiff's tools);
// every case loads its own copy of the library and unloads it at the end,
// when the leak report must be empty.
#include <gtest/gtest.h>

#include "test_temp.h"
#include "dl_compat.h"
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host_tools.h"
#include "vek/vek.h"

namespace {

#define VEK_EXPORTS(X)                                                                             \
  X(VekLogStart) X(VekLogStop) X(VekGetLastError) X(VekMakeErrorStr) X(VekImgAlloc) X(VekImgFree)  \
  X(VekImgSkip) X(VekImgLoad) X(VekImgSave) X(VekImgSaveEx) X(VekImgCopy) X(VekImgGetInfo)         \
  X(VekImgGetPixels) X(VekImgSetPixels) X(VekImgGetPixelRGB) X(VekImgToDIB) X(VekReleaseDIB)       \
  X(VekImgToDIBWin3) X(VekReleaseDIBWin3) X(VekDIBToImg) X(VekBayerLoad) X(VekBayerToImg)          \
  X(VekBayerGetHdr) X(VekPixelReorder) X(VekImgGamma) X(VekImgBrightness) X(VekImgSoften)          \
  X(VekImgSharpen) X(VekImgEdgeEnhance) X(VekImgResize) X(VekImgResample) X(VekImgBorder)          \
  X(VekImgRemap) X(VekImgInsert) X(VekImgAverageClear) X(VekImgAverageAdd) X(VekImgAverageGet)     \
  X(VekImgShowInRect) X(VekImgShow) X(VekClearCanvas) X(VekSndAlloc) X(VekSndFree) X(VekSndGetInfo)              \
  X(VekSndGetSamples) X(VekSndSetSamples) X(VekTiffGetTag) X(VekMakeFourCC) X(VekRGB) X(VekAlloc)  \
  X(VekFree) X(VekSetOutputFile) X(VekSetAudioFormat) X(VekAssignVideoSource)                      \
  X(VekAssignAudioSource) X(VekAssignAudioFunc) X(VekSrcSetFile) X(VekSrcSetPixels)                \
  X(VekSrcFinished) X(VekConvert) X(VekImgContrast) X(VekImgWhiteBalance)

struct Vek {
  void* lib = nullptr;
  VEK_HOST_MEMBERS(VEK_EXPORTS)
  bool Load() {
    lib = dlopen(VEK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    return lib && Resolve(lib);
  }
};
Vek V;

using Bytes = std::vector<uint8_t>;

using vektest::HaveTool;
using vektest::Shell;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
// Pixels as ImageMagick decodes them, in the given channel order.
Bytes Decode(const std::string& file, const char* order = "rgb") {
  return ToBytes(Shell("/usr/bin/convert '" + file + "' -depth 8 " + order + ":- 2>/dev/null"));
}
std::string ReadFile(const std::string& f) {
  std::ifstream in(f, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
long FileSize(const std::string& f) {
  struct stat st {};
  return stat(f.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}
Bytes SwapRB(Bytes p) {
  for (size_t i = 0; i + 2 < p.size(); i += 3) std::swap(p[i], p[i + 2]);
  return p;
}
double Psnr(const Bytes& a, const Bytes& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) se += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return se == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (se / double(a.size())));
}

const char* kPhoto = VEK_TEST_DATA "/api_images/chelsea_96x64.png";
constexpr int kW = 96, kH = 64;

class HostImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("/usr/bin/convert")) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
    ASSERT_TRUE(V.Load()) << dlerror();
    dir = vek::testing::UniqueTemp("img_");
    trace = dir + "trace.txt";
    V.VekLogStart(trace.c_str(), -1);
  }
  void TearDown() override {
    if (!V.lib) return;
    // The unload writes what is still held; nothing may be.
    const std::string leaks = dir + "leaks.txt";
    V.VekLogStart(leaks.c_str(), 0);
    ASSERT_EQ(dlclose(V.lib), 0);
    V.lib = nullptr;
    ASSERT_EQ(dlopen(VEK_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the library stayed loaded";
    const std::string text = ReadFile(leaks);
    EXPECT_EQ(text.find("not freed"), std::string::npos) << text;
    EXPECT_EQ(text.find("Monitoring failure"), std::string::npos) << text;
    Shell("rm -f '" + dir + "'*");
  }

  int32_t Status(std::string* message = nullptr) {
    VekLastError e{};
    V.VekGetLastError(&e);
    if (message) {
      char text[1100] = {};
      V.VekMakeErrorStr(&e, text);
      *message = text;
    }
    return e.status;
  }
  void ExpectError(const char* what) {
    std::string message;
    EXPECT_EQ(Status(&message), VEK_STATUS_ERROR) << what;
    EXPECT_NE(message.find(what), std::string::npos) << message;
  }
  // The photo as a 24-bit image (pixels blue, green, red).
  VekImage* Photo() {
    const Bytes bgr = Decode(kPhoto, "bgr");
    EXPECT_EQ(bgr.size(), size_t(kW * kH * 3));
    VekImage* img = V.VekImgAlloc();
    V.VekImgSetPixels(img, kW, kH, 24, bgr.data(), nullptr);
    return img;
  }
  Bytes Pixels(VekImage* img) {
    int32_t size = 0;
    V.VekImgGetInfo(img, nullptr, nullptr, nullptr, &size, nullptr, nullptr);
    Bytes p(static_cast<size_t>(size));
    V.VekImgGetPixels(img, p.data(), nullptr);
    return p;
  }
  VekImage* Solid(int w, int h, uint8_t b, uint8_t g, uint8_t r) {
    Bytes p;
    for (int i = 0; i < w * h; ++i) p.insert(p.end(), {b, g, r});
    VekImage* img = V.VekImgAlloc();
    V.VekImgSetPixels(img, w, h, 24, p.data(), nullptr);
    return img;
  }
  std::string dir, trace;
};

TEST_F(HostImages, SavedFilesDecodeIndependentlyAndLoadBack) {
  VekImage* img = Photo();
  const Bytes rgb = SwapRB(Pixels(img));
  for (const char* ext : {".bmp", ".png", ".tif", ".tga", ".jpg", ".ppm"}) {
    SCOPED_TRACE(ext);
    const std::string f = dir + "saved" + ext;
    ASSERT_EQ(V.VekImgSave(img, f.c_str()), VEK_STATUS_OK);
    // ImageMagick 6 reads the origin flag of TGA files upside down; ffmpeg does not.
    const Bytes seen = std::string(ext) == ".tga"
                           ? ToBytes(Shell("ffmpeg -v error -i '" + f + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null"))
                           : Decode(f);
    if (std::string(ext) == ".jpg")
      EXPECT_GT(Psnr(seen, rgb), 30);
    else
      EXPECT_EQ(seen, rgb);
  }
  // Files made by ImageMagick load into the same pixels.
  for (const char* ext : {".bmp", ".png", ".tif", ".pcx"}) {
    SCOPED_TRACE(ext);
    const std::string f = dir + "im" + ext;
    Shell(std::string("/usr/bin/convert '") + kPhoto + "' -type TrueColor '" + f + "'");
    VekImage* back = V.VekImgAlloc();
    ASSERT_EQ(V.VekImgLoad(back, f.c_str(), 0), VEK_STATUS_OK);
    EXPECT_EQ(SwapRB(Pixels(back)), Decode(f));
    V.VekImgFree(back);
  }
  EXPECT_NE(ReadFile(trace).find("VekImgLoad (done): 96x64x24"), std::string::npos);
  V.VekImgFree(img);
}

TEST_F(HostImages, MovieFramesLoadByNumber) {
  const std::string gif = dir + "anim.gif";
  Shell("/usr/bin/convert -size 8x8 xc:red xc:lime xc:blue '" + gif + "'");
  VekImage* img = V.VekImgAlloc();
  int32_t r, g, b;
  ASSERT_EQ(V.VekImgLoad(img, gif.c_str(), 1), VEK_STATUS_OK);  // frames count from 0
  V.VekImgGetPixelRGB(img, 7, 7, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{0, 255, 0}));
  ASSERT_EQ(V.VekImgLoad(img, gif.c_str(), 2), VEK_STATUS_OK);
  V.VekImgGetPixelRGB(img, 0, 0, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{0, 0, 255}));
  EXPECT_EQ(V.VekImgLoad(img, gif.c_str(), 3), VEK_STATUS_ERROR);
  ExpectError("End of movie reached.");
  // A picture saved to a movie format is a movie of one frame.
  VekImage* photo = Photo();
  ASSERT_EQ(V.VekImgSave(photo, (dir + "one.avi").c_str()), VEK_STATUS_OK);
  ASSERT_EQ(V.VekImgLoad(img, (dir + "one.avi").c_str(), 0), VEK_STATUS_OK);
  EXPECT_GT(Psnr(Pixels(img), Pixels(photo)), 25);
  V.VekImgFree(photo);
  V.VekImgFree(img);
}

TEST_F(HostImages, SaveExCodecAndQuality) {
  if (!HaveTool("/usr/bin/tiffinfo")) GTEST_SKIP() << VEK_ORACLE_SKIP << "tiffinfo is not installed";
  VekImage* img = Photo();
  const struct {
    int32_t codec;
    const char* scheme;
  } tiffs[] = {{1, "None"}, {5, "LZW"}, {32773, "PackBits"}, {32946, "Deflate"}};
  for (const auto& t : tiffs) {
    const std::string f = dir + "c" + std::to_string(t.codec) + ".tif";
    ASSERT_EQ(V.VekImgSaveEx(img, f.c_str(), t.codec, VEK_UNDEFINED), VEK_STATUS_OK);
    const std::string info = Shell("tiffinfo '" + f + "' 2>/dev/null");
    EXPECT_NE(info.find(std::string("Compression Scheme: ") + t.scheme), std::string::npos) << info;
    EXPECT_EQ(Decode(f), SwapRB(Pixels(img)));
  }
  // The compression read back through the tag export: one SHORT value.
  uint8_t tag[4] = {0, 0, 0, 0};
  EXPECT_EQ(V.VekTiffGetTag((dir + "c5.tif").c_str(), 259, tag, 4), 2);
  EXPECT_EQ(tag[0] | tag[1] << 8, 5);
  EXPECT_EQ(V.VekTiffGetTag((dir + "c5.tif").c_str(), 256, nullptr, 0), 2);
  // JPEG quality orders the sizes; the setting stays for plain saves.
  long sizes[3];
  const int32_t q[3] = {10, 50, 95};
  for (int i = 0; i < 3; ++i) {
    const std::string f = dir + "q" + std::to_string(q[i]) + ".jpg";
    ASSERT_EQ(V.VekImgSaveEx(img, f.c_str(), VEK_UNDEFINED, q[i]), VEK_STATUS_OK);
    sizes[i] = FileSize(f);
  }
  EXPECT_LT(sizes[0], sizes[1]);
  EXPECT_LT(sizes[1], sizes[2]);
  ASSERT_EQ(V.VekImgSave(img, (dir + "plain.jpg").c_str()), VEK_STATUS_OK);
  EXPECT_EQ(FileSize(dir + "plain.jpg"), sizes[2]);
  // PNG levels: 0 stores, 9 compresses; both decode to the same pixels.
  ASSERT_EQ(V.VekImgSaveEx(img, (dir + "l0.png").c_str(), 0, VEK_UNDEFINED), VEK_STATUS_OK);
  ASSERT_EQ(V.VekImgSaveEx(img, (dir + "l9.png").c_str(), 9, VEK_UNDEFINED), VEK_STATUS_OK);
  EXPECT_GT(FileSize(dir + "l0.png"), FileSize(dir + "l9.png"));
  EXPECT_EQ(Decode(dir + "l0.png"), Decode(dir + "l9.png"));
  EXPECT_NE(ReadFile(trace).find("VekImgSaveEx: 96x64x24, file=" + dir + "c5.tif, codec=0x00000005, quality=2937064828"),
            std::string::npos);
  V.VekImgFree(img);
}

TEST_F(HostImages, PixelsColoursAndBitmaps) {
  // An 8-bit image: indices and a palette of blue, green, red entries.
  uint8_t pal[768] = {};
  for (int i = 0; i < 256; ++i) pal[3 * i] = uint8_t(i), pal[3 * i + 1] = uint8_t(255 - i), pal[3 * i + 2] = 7;
  const uint8_t idx[6] = {0, 1, 2, 200, 254, 255};
  VekImage* img = V.VekImgAlloc();
  V.VekImgSetPixels(img, 3, 2, 8, idx, pal);
  int32_t r, g, b;
  V.VekImgGetPixelRGB(img, 0, 1, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{7, 55, 200}));
  V.VekImgGetPixelRGB(img, 3, 0, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{-1, -1, -1}));
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  // The packed bitmap: 1064-byte header with the colour table, rows bottom-up, 4-byte stride.
  void* dib = V.VekImgToDIBWin3(img);
  ASSERT_NE(dib, nullptr);
  const auto* h = static_cast<const uint8_t*>(dib);
  uint32_t hsize;
  int32_t height;
  std::memcpy(&hsize, h, 4);
  std::memcpy(&height, h + 8, 4);
  EXPECT_EQ(hsize, 1064u);
  EXPECT_EQ(height, 2);
  EXPECT_EQ(h[40 + 4 * 255], 255);  // entry 255: blue 255
  EXPECT_EQ(h[1064], 200);           // first stored row is the image's last
  EXPECT_EQ(h[1064 + 4], 0);
  EXPECT_EQ(V.VekReleaseDIBWin3(dib), -1);
  EXPECT_EQ(V.VekReleaseDIBWin3(nullptr), 0);
  // Through a DIB section and back: 24 bits with the palette colours applied.
  void* bm = V.VekImgToDIB(img);
  ASSERT_NE(bm, nullptr);
  VekImage* back = V.VekImgAlloc();
  V.VekDIBToImg(back, bm);
  EXPECT_NE(V.VekReleaseDIB(bm), 0);
  EXPECT_EQ(V.VekReleaseDIB(bm), 0);
  int32_t bits = 0;
  V.VekImgGetInfo(back, nullptr, nullptr, &bits, nullptr, nullptr, nullptr);
  EXPECT_EQ(bits, 24);
  V.VekImgGetPixelRGB(back, 2, 1, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{7, 0, 255}));
  V.VekDIBToImg(back, reinterpret_cast<void*>(0x1234));
  ExpectError("Invalid bitmap handle.");
  // 15, 16 and 32-bit pixels read back through the converters.
  const uint16_t w15 = 0x061F, w16 = (1u << 11) | (32u << 5) | 31u;
  const uint8_t p32[4] = {0xFF, 0x80, 0x08, 0};
  V.VekImgSetPixels(img, 1, 1, 15, &w15, nullptr);
  V.VekImgGetPixelRGB(img, 0, 0, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{0x08, 0x80, 0xF8}));
  V.VekImgSetPixels(img, 1, 1, 16, &w16, nullptr);
  V.VekImgGetPixelRGB(img, 0, 0, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{0x08, 0x80, 0xF8}));
  V.VekImgSetPixels(img, 1, 1, 32, p32, nullptr);
  V.VekImgGetPixelRGB(img, 0, 0, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{0x08, 0x80, 0xFF}));
  // Pixels handed back from the record itself survive the reallocation.
  VekImage* photo = Photo();
  uint8_t* own = nullptr;
  V.VekImgGetInfo(photo, nullptr, nullptr, nullptr, nullptr, &own, nullptr);
  const Bytes before = Pixels(photo);
  V.VekImgSetPixels(photo, kW, kH * 2, 24, own, nullptr);
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), Pixels(photo).begin()));
  for (VekImage* i : {img, back, photo}) V.VekImgFree(i);
}

TEST_F(HostImages, GeometryAndColourOperations) {
  VekImage* img = Solid(4, 2, 10, 20, 30);
  // No border, no change, no trace line; borders are cut at 4096.
  V.VekImgBorder(img, 0, 0, 0, 0, 0);
  EXPECT_EQ(ReadFile(trace).find("VekImgBorder:"), std::string::npos);
  V.VekImgBorder(img, 1, 2, 3, 1, V.VekRGB(255, 0, 0));
  int32_t w, h, r, g, b;
  V.VekImgGetInfo(img, &w, &h, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w, 8);
  EXPECT_EQ(h, 5);
  V.VekImgGetPixelRGB(img, 0, 0, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{255, 0, 0}));
  V.VekImgGetPixelRGB(img, 1, 2, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{30, 20, 10}));
  V.VekImgGetPixelRGB(img, 5, 3, &r, &g, &b);
  EXPECT_EQ(r, 255);
  EXPECT_NE(ReadFile(trace).find("VekImgBorder: 4x2x24, left=1, top=2, right=3, bottom=1"), std::string::npos);
  V.VekImgBorder(img, 5000, 0, 0, 0, 0);
  V.VekImgGetInfo(img, &w, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w, 4096 + 8);
  // Resize repeats pixels; the own size changes nothing; sizes must be positive.
  VekImage* small = Solid(2, 1, 0, 0, 0);
  const uint8_t two[6] = {0, 0, 0, 255, 255, 255};
  V.VekImgSetPixels(small, 2, 1, 24, two, nullptr);
  V.VekImgResize(small, 4, 2);
  EXPECT_EQ(Pixels(small), (Bytes{0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255,
                                  0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255}));
  V.VekImgResample(small, 0, 5);
  ExpectError("Out of range.");
  V.VekImgResample(small, 2, 1);  // averages pairs
  EXPECT_EQ(Pixels(small), (Bytes{0, 0, 0, 255, 255, 255}));
  // Insert a 10 x 10 image at (95, 95) into 100 x 100: a 5 x 5 block.
  VekImage* big = Solid(100, 100, 0, 0, 0);
  VekImage* patch = Solid(10, 10, 1, 2, 3);
  V.VekImgInsert(big, patch, 95, 95);
  const Bytes p = Pixels(big);
  int changed = 0;
  for (size_t i = 0; i < p.size(); i += 3) changed += p[i] == 1;
  EXPECT_EQ(changed, 25);
  V.VekImgInsert(big, patch, -1, 0);
  ExpectError("Out of range.");
  // Remap: a table per channel; a missing table keeps its channel.
  uint8_t invert[256];
  for (int i = 0; i < 256; ++i) invert[i] = uint8_t(255 - i);
  V.VekImgRemap(patch, invert, nullptr, nullptr);
  EXPECT_EQ(Pixels(patch)[0], 1);
  EXPECT_EQ(Pixels(patch)[1], 2);
  EXPECT_EQ(Pixels(patch)[2], 252);
  // Gamma against ImageMagick's -gamma on the photo.
  VekImage* photo = Photo();
  V.VekImgGamma(photo, 2.0, 2.0, 2.0);
  const Bytes ours = SwapRB(Pixels(photo));
  const Bytes theirs = ToBytes(Shell(std::string("/usr/bin/convert '") + kPhoto + "' -gamma 2.0 -depth 8 rgb:-"));
  ASSERT_EQ(ours.size(), theirs.size());
  int worst = 0;
  for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(int(ours[i]) - int(theirs[i])));
  EXPECT_LE(worst, 1);
  EXPECT_NE(ReadFile(trace).find("VekImgGamma: 96x64x24, R=2.00, G=2.00, B=2.00"), std::string::npos);
  // Averaging: 10 and 21 give 15; another size or no image is refused.
  VekImage* a = Solid(2, 2, 10, 10, 10);
  VekImage* c = Solid(2, 2, 21, 21, 21);
  VekImage* avg = V.VekImgAlloc();
  EXPECT_EQ(V.VekImgAverageClear(), VEK_STATUS_OK);
  EXPECT_EQ(V.VekImgAverageGet(avg), VEK_STATUS_ERROR);
  ExpectError("General image handling fault.");
  EXPECT_EQ(V.VekImgAverageAdd(a), VEK_STATUS_OK);
  EXPECT_EQ(V.VekImgAverageAdd(c), VEK_STATUS_OK);
  EXPECT_EQ(V.VekImgAverageAdd(big), VEK_STATUS_ERROR);
  ExpectError("Out of range.");
  EXPECT_EQ(V.VekImgAverageGet(avg), VEK_STATUS_OK);
  EXPECT_EQ(Pixels(avg), Bytes(12, 15));
  EXPECT_EQ(V.VekImgAverageClear(), VEK_STATUS_OK);
  for (VekImage* i : {img, small, big, patch, photo, a, c, avg}) V.VekImgFree(i);
}

TEST_F(HostImages, BayerCellsAndPixelOrder) {
  // One colour cell 10, 20, 30, 40 in a 2 x 2 picture.
  const uint8_t cell[4] = {10, 20, 30, 40};
  VekImage* img = V.VekImgAlloc();
  V.VekBayerToImg(img, cell, 2, 2, 0, 1);
  EXPECT_EQ(Pixels(img), (Bytes{30, 10, 20, 30, 10, 20, 30, 40, 20, 30, 40, 20}));
  V.VekBayerToImg(img, cell, 2, 2, 0, 0);
  EXPECT_EQ(Pixels(img), (Bytes{10, 30, 40, 10, 30, 40, 10, 20, 40, 10, 20, 40}));
  V.VekBayerToImg(img, cell, 1, 2, 1, 1);
  ExpectError("Invalid image format.");
  // From a file: the first resX x resY bytes, monochrome with a grey palette.
  const std::string raw = dir + "cells.raw";
  {
    std::ofstream out(raw, std::ios::binary);
    const char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    out.write(bytes, 8);
  }
  EXPECT_EQ(V.VekBayerLoad(img, raw.c_str(), 4, 2, 1, 1), VEK_STATUS_OK);
  EXPECT_EQ(Pixels(img), (Bytes{1, 2, 5, 6, 3, 4, 7, 8}));
  int32_t r, g, b;
  V.VekImgGetPixelRGB(img, 3, 1, &r, &g, &b);
  EXPECT_EQ((std::vector<int32_t>{r, g, b}), (std::vector<int32_t>{8, 8, 8}));
  EXPECT_EQ(V.VekBayerLoad(img, raw.c_str(), 4, 4, 1, 1), VEK_STATUS_ERROR);
  // The trailer of a 512 x 384 file; other sizes are refused.
  const std::string bay = dir + "cam.bay";
  {
    std::string data(197632, '\0');
    std::memcpy(&data[196608], "ML BAY 2\x01", 9);
    std::ofstream(bay, std::ios::binary) << data;
  }
  char hdr[16] = {};
  EXPECT_EQ(V.VekBayerGetHdr(bay.c_str(), hdr, 9), 9);
  EXPECT_EQ(std::string(hdr, 9), std::string("ML BAY 2\x01"));
  EXPECT_EQ(V.VekBayerGetHdr(raw.c_str(), hdr, 16), 0);
  ExpectError("Invalid image format.");
  // Pixel order: 24 bits swapped, 32 bits packed first, other depths untouched.
  uint8_t in[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[6] = {};
  V.VekPixelReorder(in, 24, 0, out, 2);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{3, 2, 1, 6, 5, 4}));
  V.VekPixelReorder(in, 32, 0, out, 2);
  EXPECT_EQ(Bytes(out, out + 6), (Bytes{3, 2, 1, 7, 6, 5}));
  EXPECT_EQ(Bytes(in, in + 6), (Bytes{1, 2, 3, 5, 6, 7}));
  uint8_t untouched[6] = {9, 9, 9, 9, 9, 9};
  V.VekPixelReorder(in, 16, 0, untouched, 2);
  V.VekPixelReorder(in, 24, 1, untouched, 2);
  EXPECT_EQ(Bytes(untouched, untouched + 6), Bytes(6, 9));
  // The small packers.
  EXPECT_EQ(V.VekRGB(255, 0, 0), 255);
  EXPECT_EQ(V.VekRGB(0, 0, 255), 16711680);
  EXPECT_EQ(V.VekRGB(256 + 1, -1, 0), 1 | 255 << 8);
  EXPECT_EQ(V.VekMakeFourCC("ab"), int32_t('a' | 'b' << 8 | ' ' << 16 | ' ' << 24));
  EXPECT_EQ(V.VekMakeFourCC("cvidxx"), int32_t('c' | 'v' << 8 | 'i' << 16 | 'd' << 24));
  V.VekImgFree(img);
}

TEST_F(HostImages, BadInputGivesErrorsNotCrashes) {
  V.VekImgFree(nullptr);
  V.VekSndFree(nullptr);
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  // Images without pixels.
  VekImage* empty = V.VekImgAlloc();
  for (auto op : {V.VekImgSoften, V.VekImgSharpen, V.VekImgEdgeEnhance}) {
    op(empty);
    ExpectError("Image data corrupted.");
  }
  V.VekImgResize(empty, 10, 10);
  ExpectError("Image data corrupted.");
  EXPECT_EQ(V.VekImgSave(empty, (dir + "e.bmp").c_str()), VEK_STATUS_ERROR);
  EXPECT_EQ(FileSize(dir + "e.bmp"), -1);
  V.VekImgShowInRect(empty, nullptr, 0, 0, 10, 10, 1);
  ExpectError("Image data corrupted.");
  int32_t r = 0, g = 0, b = 0;
  V.VekImgGetPixelRGB(empty, 0, 0, &r, &g, &b);
  EXPECT_EQ(r + g + b, -3);
  uint8_t pal[768];
  V.VekImgGetPixels(empty, pal, pal);  // nothing to copy but the (zero) palette
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  // Sizes and depths out of range leave the image as it was.
  VekImage* img = Solid(3, 3, 1, 2, 3);
  V.VekImgSetPixels(img, 0, 10, 24, nullptr, nullptr);
  ExpectError("Out of range.");
  V.VekImgSetPixels(img, 100000, 100000, 32, nullptr, nullptr);
  ExpectError("Out of range.");
  V.VekImgSetPixels(img, 4, 4, 12, nullptr, nullptr);
  ExpectError("Image format not supported.");
  EXPECT_EQ(Pixels(img), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3}));
  // A record the host corrupted is refused rather than read past its pixels.
  reinterpret_cast<VekImage*>(img)->height = 1000;
  uint8_t small[27];
  V.VekImgGetPixels(img, small, nullptr);
  ExpectError("Image data corrupted.");
  reinterpret_cast<VekImage*>(img)->height = 3;
  // Files and names.
  EXPECT_EQ(V.VekImgLoad(img, (dir + "missing.png").c_str(), 0), VEK_STATUS_ERROR);
  ExpectError("File not exist.");
  EXPECT_EQ(V.VekImgLoad(img, kPhoto, -1), VEK_STATUS_ERROR);
  ExpectError("Out of range.");
  EXPECT_EQ(V.VekImgSave(img, (dir + "x.unknown").c_str()), VEK_STATUS_ERROR);
  ExpectError("Invalid image format.");
  EXPECT_EQ(V.VekImgSave(img, (dir + "x.wav").c_str()), VEK_STATUS_ERROR);
  EXPECT_EQ(FileSize(dir + "x.wav"), -1);
  EXPECT_EQ(V.VekImgSave(img, nullptr), VEK_STATUS_ERROR);
  EXPECT_EQ(V.VekTiffGetTag((dir + "missing.tif").c_str(), 256, nullptr, 0), 0);
  EXPECT_EQ(Status(), VEK_STATUS_ERROR);
  // A freed handle's memory handed out again is a fresh, empty record.
  V.VekImgFree(img);
  VekImage* again = V.VekImgAlloc();
  int32_t w = -1;
  V.VekImgGetInfo(again, &w, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(w, 0);
  // Host-owned pixels are worked on but never freed.
  Bytes host(4 * 4 * 3, 100);
  VekImage own{};
  own.pixels = host.data();
  own.size = 48;
  own.width = own.height = 4;
  own.bytespp = 3;
  own.bits = 24;
  own.external = 1;
  V.VekImgBrightness(&own, 10, 10, 10);
  V.VekImgSoften(&own);
  EXPECT_EQ(own.pixels, host.data());
  EXPECT_EQ(host, Bytes(48, 125));
  V.VekImgResample(&own, 8, 8);  // another size: the library's own pixels now
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  EXPECT_EQ(own.external, 0);
  EXPECT_EQ(host, Bytes(48, 125));
  V.VekImgFree(&own);
  for (VekImage* i : {empty, again}) V.VekImgFree(i);
}

TEST_F(HostImages, EveryExportSurvivesNullAndEmptyRecords) {
  VekImage* empty = V.VekImgAlloc();
  uint8_t buf[2048] = {};
  int32_t n[4];
  uint8_t* p[2];
  for (VekImage* img : {static_cast<VekImage*>(nullptr), empty}) {
    V.VekImgGamma(img, 2, 2, 2);
    V.VekImgBrightness(img, 5, 5, 5);
    V.VekImgContrast(img, 5, 5, 5);
    V.VekImgWhiteBalance(img, 200, 200, 200);
    V.VekImgResample(img, 5, 5);
    V.VekImgBorder(img, 1, 1, 1, 1, 0);
    V.VekImgRemap(img, buf, buf, buf);
    V.VekImgInsert(img, img, 0, 0);
    V.VekImgInsert(img, empty, 0, 0);
    V.VekImgAverageAdd(img);
    V.VekImgCopy(img, empty);
    V.VekImgCopy(empty, img);
    V.VekImgGetInfo(img, &n[0], &n[1], &n[2], &n[3], &p[0], &p[1]);
    V.VekImgGetPixels(img, buf, buf);
    V.VekImgGetPixelRGB(img, 0, 0, &n[0], &n[1], &n[2]);
    EXPECT_EQ(n[0], -1);
    EXPECT_EQ(V.VekImgToDIB(img), nullptr);
    EXPECT_EQ(V.VekImgToDIBWin3(img), nullptr);
    V.VekDIBToImg(img, nullptr);
    V.VekImgShow(img, nullptr, 0, 0);
    V.VekImgShowInRect(img, nullptr, 0, 0, 10, 10, -1);
    EXPECT_EQ(V.VekImgSaveEx(img, (dir + "n.png").c_str(), 9, 9), VEK_STATUS_ERROR);
    V.VekBayerToImg(img, nullptr, 4, 4, 1, 1);
    EXPECT_EQ(Status(), VEK_STATUS_ERROR);
  }
  EXPECT_EQ(V.VekImgAverageGet(nullptr), VEK_STATUS_ERROR);
  EXPECT_EQ(V.VekBayerLoad(nullptr, kPhoto, 4, 4, 1, 1), VEK_STATUS_ERROR);
  V.VekImgSetPixels(nullptr, 2, 2, 24, buf, buf);
  ExpectError("Invalid image handle.");
  V.VekSndGetInfo(nullptr, &n[0], &n[1], &n[2], &n[3], &p[0]);
  V.VekSndSetSamples(nullptr, 8000, 1, 8, buf);
  ExpectError("Invalid sound handle.");
  EXPECT_EQ(V.VekTiffGetTag(nullptr, 256, buf, 4), 0);
  EXPECT_EQ(V.VekBayerGetHdr(nullptr, buf, 4), 0);
  EXPECT_EQ(V.VekReleaseDIB(nullptr), 0);
  V.VekPixelReorder(nullptr, 24, 0, buf, 4);
  V.VekPixelReorder(buf, 24, 0, nullptr, 4);
  V.VekClearCanvas(nullptr, 0, 0, 10, 10, 0);
  // Images too narrow for the filters, and every depth, are handled.
  for (int bits : {8, 15, 16, 24, 32}) {
    for (int w : {1, 2, 3}) {
      V.VekImgSetPixels(empty, w, 2, bits, buf, buf);
      V.VekImgSoften(empty);
      V.VekImgSetPixels(empty, w, 1, bits, buf, buf);
      V.VekImgEdgeEnhance(empty);
      V.VekImgSetPixels(empty, w, 3, bits, buf, buf);
      V.VekImgBrightness(empty, 10, 0, -10);
      V.VekImgBorder(empty, 1, 0, 0, 2, 0);
      V.VekImgResize(empty, 1, 7);
      V.VekImgResample(empty, 300, 1);
      EXPECT_EQ(Status(), VEK_STATUS_OK) << bits << " bits, width " << w;
    }
  }
  V.VekImgFree(empty);
}

// Sound blocks of a run, seen and changed by the audio function callback.
struct SoundHost {
  std::string wav;
  int blocks = 0;
  int32_t size = 0, rate = 0, channels = 0, bits = 0;
  bool first_matches = false, canary_kept = true;
};
SoundHost S;

void VEKAPI OneFrame(VekJob* job, int32_t block) {
  static const uint8_t px[4 * 4 * 3] = {};
  if (block == 0)
    V.VekSrcSetPixels(job, px, nullptr, 4, 4, 24);
  else
    V.VekSrcFinished(job);
}
void VEKAPI WavSource(VekJob* job, int32_t block) {
  if (block == 0)
    V.VekSrcSetFile(job, S.wav.c_str());
  else
    V.VekSrcFinished(job);
}
void VEKAPI NegateSound(VekJob*, VekSound* snd, int32_t) {
  V.VekSndGetInfo(snd, &S.rate, &S.channels, &S.bits, &S.size, nullptr);
  std::vector<int16_t> buf(static_cast<size_t>(S.size) / 2 + 8, 0x5A5A);
  V.VekSndGetSamples(snd, buf.data());
  for (size_t i = static_cast<size_t>(S.size) / 2; i < buf.size(); ++i) S.canary_kept &= buf[i] == 0x5A5A;
  if (S.blocks++ == 0) S.first_matches = buf[0] == 0 && buf[1] == 3 && buf[1000] == 3000;
  for (int16_t& v : buf) v = static_cast<int16_t>(-v);
  const int32_t count = snd->sampleCount;
  V.VekSndSetSamples(snd, S.rate, S.channels, S.bits, buf.data());
  if (snd->sampleCount != count) S.canary_kept = false;
}

TEST_F(HostImages, SoundBuffersInAnAudioCallback) {
  // 1.5 s of a 16-bit mono ramp, sample i = 3 i.
  S = SoundHost{};
  S.wav = dir + "ramp.wav";
  const int n = 33075;
  std::string data;
  for (int i = 0; i < n; ++i) {
    const int16_t v = static_cast<int16_t>(3 * (i % 10000));
    data.append(reinterpret_cast<const char*>(&v), 2);
  }
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  const std::string fmt = std::string("\x01\x00\x01\x00", 4) + u32(22050) + u32(44100) + std::string("\x02\x00\x10\x00", 4);
  std::ofstream(S.wav, std::ios::binary) << "RIFF" << u32(36 + data.size()) << "WAVEfmt " << u32(16) << fmt << "data"
                                         << u32(data.size()) << data;
  VekJob* job = V.VekAlloc();
  V.VekAssignVideoSource(job, OneFrame);
  V.VekAssignAudioSource(job, WavSource);
  V.VekAssignAudioFunc(job, NegateSound);
  V.VekSetAudioFormat(job, 22050, 1, 16);
  const std::string out = dir + "neg.wav";
  V.VekSetOutputFile(job, (dir + "frame.bmp").c_str(), out.c_str());
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  V.VekFree(job);
  EXPECT_GE(S.blocks, 2);
  EXPECT_EQ(S.size, 44100);
  EXPECT_EQ(S.rate, 22050);
  EXPECT_TRUE(S.first_matches);
  EXPECT_TRUE(S.canary_kept);
  // sox reads what the callback wrote: the negated ramp.
  if (!HaveTool("/usr/bin/sox")) return;
  const Bytes raw = ToBytes(Shell("sox '" + out + "' -t raw -e signed -b 16 - 2>/dev/null"));
  ASSERT_GE(raw.size(), size_t(2 * n));
  const auto* s = reinterpret_cast<const int16_t*>(raw.data());
  EXPECT_EQ(s[1], -3);
  EXPECT_EQ(s[1000], -3000);
  EXPECT_EQ(s[30000], 0);
  EXPECT_EQ(s[30001], -3);
}

TEST_F(HostImages, SoundRecordsOutsideARun) {
  VekSound* snd = V.VekSndAlloc();
  ASSERT_NE(snd, nullptr);
  int32_t size = -1;
  uint8_t* data = reinterpret_cast<uint8_t*>(1);
  V.VekSndGetInfo(snd, nullptr, nullptr, nullptr, &size, &data);
  EXPECT_EQ(size, 0);
  EXPECT_EQ(data, nullptr);
  // No storage: the format changes, nothing is written.
  int16_t samples[4] = {1, 2, 3, 4};
  V.VekSndSetSamples(snd, 8000, 1, 16, samples);
  EXPECT_EQ(Status(), VEK_STATUS_OK);
  V.VekSndGetInfo(snd, nullptr, nullptr, nullptr, &size, nullptr);
  EXPECT_EQ(size, 16000);
  V.VekSndSetSamples(snd, 8000, 1, 4, samples);
  ExpectError("Invalid audio format.");
  V.VekSndGetSamples(snd, samples);
  EXPECT_EQ(samples[0], 1);
  EXPECT_NE(ReadFile(trace).find("VekSndGetSamples: 8000x1x16|0"), std::string::npos);
  V.VekSndFree(snd);
}

}  // namespace
