// The text exports as a host sees them: the shared library loaded at run
// time, text drawn into the host's own image memory, bad input answered with
// a status and a message, every call traced, and nothing left at unload.
#include <gtest/gtest.h>

#include "dl_compat.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "test_temp.h"
#include "host_tools.h"
#include "vek/vek.h"

namespace {

#define VEK_TEXT_EXPORTS(X)                                                                    \
  X(VekTextAlloc) X(VekTextFree) X(VekTextSetFont) X(VekTextSetColor) X(VekTextShadow)          \
  X(VekTextGetExtents) X(VekTextOut) X(VekGetLastError) X(VekMakeErrorStr) X(VekLogStart)       \
  X(VekLogStop)

// The library loaded for one test and unloaded after it, so that its leak
// report reaches the trace.
struct TextHost : ::testing::Test {
  void* lib = nullptr;
  VEK_HOST_MEMBERS(VEK_TEXT_EXPORTS)
  std::string trace = vek::testing::UniqueTemp("text_trace.txt");

  void SetUp() override {
    // VEK_NODELETE keeps the code mapped after unloading, for readable leak traces.
    lib = dlopen(VEK_LIBRARY, RTLD_NOW | RTLD_LOCAL | (std::getenv("VEK_NODELETE") ? RTLD_NODELETE : 0));
    ASSERT_NE(lib, nullptr) << dlerror();
    ASSERT_TRUE(Resolve(lib)) << "an export is missing";
    std::remove(trace.c_str());
    VekLogStart(trace.c_str(), 1);
  }
  void TearDown() override {
    if (lib) dlclose(lib);
    std::remove(trace.c_str());
  }

  // Unloads the library and returns the trace it wrote.
  std::string Unload() {
    EXPECT_EQ(dlclose(lib), 0);
    lib = nullptr;
    std::ifstream in(trace, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  VekLastError Last() {
    VekLastError e{};
    VekGetLastError(&e);
    return e;
  }
  std::string Message() {
    VekLastError e = Last();
    char text[1100] = {};
    VekMakeErrorStr(&e, text);
    return text;
  }
};

// A 24-bit image in the host's memory.
struct HostImage {
  std::vector<uint8_t> pixels;
  VekImage img{};
  HostImage(int w, int h, uint8_t fill) : pixels(static_cast<size_t>(w) * h * 3, fill) {
    img.pixels = pixels.data();
    img.width = w;
    img.height = h;
    img.bits = 24;
    img.bytespp = 3;
    img.size = w * h * 3;
    img.external = 1;
  }
  int Count(uint8_t b, uint8_t g, uint8_t r) const {
    int n = 0;
    for (size_t i = 0; i < pixels.size(); i += 3)
      n += pixels[i] == b && pixels[i + 1] == g && pixels[i + 2] == r;
    return n;
  }
};

TEST_F(TextHost, DrawsIntoHostImagesAndTracesEveryCall) {
  VekTextParams* t = VekTextAlloc();
  ASSERT_NE(t, nullptr);
  VekTextSetFont(t, "Arial", 12, VEK_TEXT_BOLD | 32);
  EXPECT_EQ(t->style, VEK_TEXT_BOLD);
  VekTextSetColor(t, 0x0000FF, 0x00FF00, 0xFF0000, 0);  // red text, green shadow, blue background
  VekTextShadow(t, VEK_TEXT_SHADOW_DROP, 2, 2);
  HostImage page(160, 40, 0x11);
  VekTextOut(&page.img, t, 4, 5, "Hello");
  EXPECT_EQ(Last().status, VEK_STATUS_OK) << Message();
  EXPECT_EQ(page.img.pixels, page.pixels.data()) << "drawn in place";
  const int red = page.Count(0, 0, 255), green = page.Count(0, 255, 0), blue = page.Count(255, 0, 0);
  EXPECT_GT(red, 30);
  EXPECT_GT(green, 10);
  EXPECT_EQ(red + green + blue, t->spriteWidth * t->spriteHeight) << "opaque: the whole sprite";
  EXPECT_EQ(page.Count(0x11, 0x11, 0x11), 160 * 40 - t->spriteWidth * t->spriteHeight);

  int32_t w = -1, h = -1;
  VekTextGetExtents(t, "Hello", &w, &h);
  EXPECT_EQ(t->spriteWidth, (w + 31) / 32 * 32 + 2);
  EXPECT_EQ(t->spriteHeight, h + 2);
  VekTextFree(t);

  const std::string log = Unload();
  for (const char* line :
       {"VekTextSetFont: name=Arial, size=12, style=33", "VekTextShadow: mode=1, x=2, y=2",
        "VekTextSetColor: fore=0x000000FF, shadow=0x0000FF00, back=0x00FF0000, transp=FALSE",
        "VekTextOut: textStr=Hello, x=4, y=5", "VekTextGetExtents: textStr=Hello", "VekTextAlloc: 0x",
        "VekTextFree: 0x"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(log.find("Memory handles not freed"), std::string::npos) << log;
}

TEST_F(TextHost, BadInputGivesStatusAndMessage) {
  HostImage page(64, 32, 0x22);
  auto expect_error = [&](const char* message) {
    EXPECT_EQ(Last().status, VEK_STATUS_ERROR);
    EXPECT_EQ(Message(), message);
  };
  // Null, foreign and freed records.
  VekTextSetFont(nullptr, "Arial", 12, 0);
  expect_error("Invalid text handle.");
  VekTextParams mine{};
  VekTextShadow(&mine, 1, 2, 2);
  expect_error("Invalid text handle.");
  VekTextParams* gone = VekTextAlloc();
  VekTextFree(gone);
  VekTextSetColor(gone, 0, 0, 0, 0);
  expect_error("Invalid text handle.");
  VekTextFree(gone);
  expect_error("Invalid text handle.");
  VekTextFree(nullptr);
  EXPECT_EQ(Last().status, VEK_STATUS_OK);
  int32_t w = 7, h = 7;
  VekTextGetExtents(nullptr, "x", &w, &h);
  expect_error("Invalid text handle.");
  EXPECT_EQ(w, 7);

  VekTextParams* t = VekTextAlloc();
  ASSERT_NE(t, nullptr);
  VekTextOut(nullptr, t, 0, 0, "x");
  expect_error("Invalid image format.");
  VekImage empty{};
  VekTextOut(&empty, t, 0, 0, "x");
  expect_error("Invalid image format.");
  VekTextOut(&page.img, nullptr, 0, 0, "x");
  expect_error("Invalid text handle.");

  // Empty and missing texts draw nothing and measure nothing.
  VekTextOut(&page.img, t, 0, 0, "");
  EXPECT_EQ(Last().status, VEK_STATUS_OK);
  VekTextOut(&page.img, t, 0, 0, nullptr);
  EXPECT_EQ(Last().status, VEK_STATUS_OK);
  EXPECT_EQ(page.Count(0x22, 0x22, 0x22), 64 * 32);
  EXPECT_EQ(t->spriteWidth, 0);
  VekTextGetExtents(t, nullptr, &w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  VekTextGetExtents(t, "x", nullptr, nullptr);
  EXPECT_EQ(Last().status, VEK_STATUS_OK);

  // Long texts are held to 255 characters, long face names to 32.
  const std::string many(300, 'x');
  int32_t w255 = 0;
  VekTextGetExtents(t, many.c_str(), &w, &h);
  VekTextGetExtents(t, many.substr(0, 255).c_str(), &w255, &h);
  EXPECT_EQ(w, w255);
  VekTextSetFont(t, "Arial Arial Arial Arial Arial Arial Arial", 12, 0);
  EXPECT_EQ(t->fontNameLen, 32);
  EXPECT_EQ(std::string(t->fontName, 32), "Arial Arial Arial Arial Arial Ar");
  VekTextGetExtents(t, "face", &w, &h);
  EXPECT_GT(w, 0) << "an unknown face falls back to an installed one";
  VekTextSetFont(t, nullptr, 12, 0);
  EXPECT_EQ(t->fontNameLen, 0);
  VekTextGetExtents(t, "face", &w, &h);
  EXPECT_GT(w, 0);

  // Sizes no font is made for, offsets no sprite can hold, places outside the image.
  VekTextSetFont(t, "Arial", 1000000, 0);
  VekTextOut(&page.img, t, 0, 0, "huge");
  // The system's GDI makes a font of any height; the Linux rasteriser refuses this one.
  if (!kWindowsBuild) EXPECT_EQ(Last().status, VEK_STATUS_ERROR);
  VekTextSetFont(t, "Arial", INT_MAX, 0);
  VekTextOut(&page.img, t, 0, 0, "huge");
  expect_error("Out of range.");
  VekTextSetFont(t, "Arial", 12, 0);
  VekTextShadow(t, VEK_TEXT_SHADOW_BORDER, INT_MIN, INT_MAX);
  VekTextOut(&page.img, t, 0, 0, "wide");
  expect_error("Out of range.");
  VekTextShadow(t, 9, 1, 1);
  EXPECT_EQ(t->shadowMode, VEK_TEXT_SHADOW_BORDER) << "mode 9 keeps the mode";
  VekTextOut(&page.img, t, -5, 0, "left");
  expect_error("Out of range.");
  VekTextOut(&page.img, t, 64, 32, "beyond");
  EXPECT_EQ(Last().status, VEK_STATUS_OK);
  EXPECT_EQ(page.Count(0x22, 0x22, 0x22), 64 * 32);
  // Drawn partly outside: the rest is cut off.
  VekTextOut(&page.img, t, 50, 20, "cut");
  EXPECT_EQ(Last().status, VEK_STATUS_OK);
  EXPECT_LT(page.Count(0x22, 0x22, 0x22), 64 * 32);

  VekTextFree(t);
  const std::string log = Unload();
  EXPECT_EQ(log.find("Memory handles not freed"), std::string::npos) << log;
  EXPECT_EQ(log.find("Monitoring failure"), std::string::npos) << log;
}

}  // namespace
