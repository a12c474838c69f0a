// The library as a host sees it: loaded at run time, exports looked up by
// name, driven through callbacks. Outputs are checked pixel by pixel against
// independent decoders (ImageMagick, ffmpeg).
#include <gtest/gtest.h>

#include "test_temp.h"
#include "dl_compat.h"
#ifdef _WIN32
#include <psapi.h>
#else
#include <sys/resource.h>
#endif
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "host_tools.h"
#include "vek/vek.h"

namespace {

// The exports a host uses, found with dlsym.
#define VEK_EXPORTS(X)                                                                          \
  X(VekAlloc) X(VekFree) X(VekSetOutputFile) X(VekSetResolution) X(VekSetBpp)                   \
  X(VekEnableDithering) X(VekSetFrameRate) X(VekConvert) X(VekAbort) X(VekAssignVideoSource)    \
  X(VekAssignVideoFunc) X(VekAssignProgress) X(VekAssignError) X(VekSrcSetFile)                 \
  X(VekSrcSetPixels) X(VekSrcSetFrameRate) X(VekSrcFinished) X(VekGetLastError)                 \
  X(VekMakeErrorStr) X(VekLogStart) X(VekLogStop) X(VekGetStatus) X(VekForceCompatibility)      \
  X(VekAssignAudioSource) X(VekSrcSetImg) X(VekSetCodec)

struct Vek {
  void* lib = nullptr;
  VEK_HOST_MEMBERS(VEK_EXPORTS)
  bool Load() {
    lib = dlopen(VEK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    return lib && Resolve(lib);
  }
};
Vek V;

using vektest::HaveTool;
using vektest::Shell;

// RGB bytes of a picture as ImageMagick decodes it.
std::string Rgb(const std::string& file) {
  return Shell("/usr/bin/convert '" + file + "' -depth 8 rgb:- 2>/dev/null");
}
// RGB bytes as ffmpeg decodes it (TGA: ImageMagick 6 reads the origin flag upside down).
std::string RgbFfmpeg(const std::string& file) {
  return Shell("ffmpeg -v error -i '" + file + "' -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
}

double Psnr(const std::string& a, const std::string& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = double(uint8_t(a[i])) - double(uint8_t(b[i]));
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 / (se / double(a.size())));
}

bool Exists(const std::string& f) {
  struct stat st {};
  return stat(f.c_str(), &st) == 0;
}

std::string Num(const std::string& prefix, int i, const char* ext, int digits = 4) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*d", digits, i);
  return prefix + buf + ext;
}

// What the host callbacks of a test see and do.
struct Host {
  std::vector<std::string> inputs;
  double source_fps = 0;
  std::vector<int> states;
  std::vector<int> func_frames;
  int abort_at_frames = -1;   // abort from progress once this many frames are done
  int32_t nested_status = 0;  // what a VekConvert from inside the run answered
  bool abort_in_init = false;
  std::vector<int32_t> answers;  // error answers, in turn
  int errors = 0;
  std::string error_path;        // the path the last error question named
  bool invert_even_drop_odd = false;
  int pixel_frames = 0;          // > 0: hand raw pixels instead of files
  std::vector<uint8_t> pixels;
};
Host H;

void VEKAPI Source(VekJob* job, int32_t block) {
  if (H.pixel_frames > 0) {
    if (block < H.pixel_frames) {
      H.pixels[0] = static_cast<uint8_t>(block);
      V.VekSrcSetPixels(job, H.pixels.data(), nullptr, 64, 48, 24);
    } else {
      V.VekSrcFinished(job);
    }
    return;
  }
  if (block < static_cast<int32_t>(H.inputs.size())) {
    V.VekSrcSetFile(job, H.inputs[block].c_str());
    if (H.source_fps > 0) V.VekSrcSetFrameRate(job, H.source_fps);
  } else {
    V.VekSrcFinished(job);
  }
}

void VEKAPI Progress(VekJob* job, int32_t state, int32_t frames, int32_t) {
  if (H.states.empty() || H.states.back() != state) H.states.push_back(state);
  if (state == VEK_STATE_SAVING && frames == 1 && H.nested_status == 0) H.nested_status = V.VekConvert(job);
  if (H.abort_in_init && state == VEK_STATE_STARTING) V.VekAbort(job);
  if (H.abort_at_frames >= 0 && state == VEK_STATE_SAVING && frames >= H.abort_at_frames) V.VekAbort(job);
}

void VEKAPI Func(VekJob*, VekImage* img, int32_t frame) {
  H.func_frames.push_back(frame);
  if (!H.invert_even_drop_odd) return;
  if (frame % 2) {
    img->size = 0;  // drop this frame
  } else {
    for (int32_t i = 0; i < img->size; ++i) img->pixels[i] = static_cast<uint8_t>(255 - img->pixels[i]);
  }
}

void VEKAPI OnError(VekJob*, const char* path, int32_t* answer) {
  H.error_path = path ? path : "";
  const size_t i = static_cast<size_t>(H.errors++);
  *answer = i < H.answers.size() ? H.answers[i] : 4;
}

class HostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(V.lib || V.Load()) << dlerror(); }

  void SetUp() override {
    if (!HaveTool("/usr/bin/convert")) GTEST_SKIP() << VEK_ORACLE_SKIP << "ImageMagick is not installed";
    H = Host{};
    dir = vek::testing::UniqueTemp("host_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    Shell("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
    // Frames that differ from each other: the photo rolled sideways.
    for (int i = 0; i < 10; ++i) {
      const std::string f = Num(dir + "in", i, ".bmp");
      Shell("/usr/bin/convert '" VEK_TEST_DATA "/api/astronaut_64.png' -roll +" + std::to_string(i * 6) +
          "+0 -resize '64x48!' -type TrueColor 'BMP3:" + f + "'");
      H.inputs.push_back(f);
    }
    job = V.VekAlloc();
    ASSERT_NE(job, nullptr);
    V.VekAssignVideoSource(job, Source);
    V.VekAssignProgress(job, Progress);
  }
  void TearDown() override {
    if (job) V.VekFree(job);
    if (!getenv("VEK_KEEP")) Shell("rm -rf '" + dir + "'");
  }
  int Count(const std::string& prefix, const char* ext) {
    int n = 0;
    while (Exists(Num(prefix, n, ext))) ++n;
    return n;
  }
  VekLastError Last() {
    VekLastError e{};
    V.VekGetLastError(&e);
    return e;
  }

  std::string dir;
  VekJob* job = nullptr;
};

TEST_F(HostTest, SequenceKeepsPixelsAcrossFormats) {
  H.inputs.resize(3);
  V.VekSetOutputFile(job, (dir + "out0000.pcx").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  ASSERT_EQ(Count(dir + "out", ".pcx"), 3);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Rgb(Num(dir + "out", i, ".pcx")), Rgb(H.inputs[i])) << "frame " << i;
  EXPECT_EQ(H.states, (std::vector<int>{1, 3, 0}));
}

TEST_F(HostTest, ResizedTgaSequence) {
  if (!HaveTool("/usr/bin/ffmpeg")) GTEST_SKIP() << VEK_ORACLE_SKIP << "ffmpeg is not installed";
  H.inputs.resize(4);
  V.VekSetResolution(job, 32, 24);
  V.VekSetOutputFile(job, (dir + "small0000.tga").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  ASSERT_EQ(Count(dir + "small", ".tga"), 4);
  for (int i = 0; i < 4; ++i) {
    const std::string ref = Shell("/usr/bin/convert '" + H.inputs[i] + "' -filter box -resize '32x24!' -depth 8 rgb:-");
    const std::string got = RgbFfmpeg(Num(dir + "small", i, ".tga"));
    EXPECT_EQ(got.size(), 32u * 24 * 3);
    EXPECT_GT(Psnr(got, ref), 30.0) << "frame " << i;
  }
}

TEST_F(HostTest, RetimingUpAndDown) {
  // 10 fps sources into 25 fps keeping the duration: 2, 3, 2, 3 copies.
  H.inputs.resize(4);
  H.source_fps = 10;
  V.VekSetFrameRate(job, 25, -1);
  V.VekSetOutputFile(job, (dir + "up0000.bmp").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  ASSERT_EQ(Count(dir + "up", ".bmp"), 10);
  const int from[] = {0, 0, 1, 1, 1, 2, 2, 3, 3, 3};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Rgb(Num(dir + "up", i, ".bmp")), Rgb(H.inputs[from[i]])) << i;

  // 30 fps sources into 10 fps: every third frame.
  H.inputs.clear();
  for (int i = 0; i < 9; ++i) H.inputs.push_back(Num(dir + "in", i, ".bmp"));
  H.source_fps = 30;
  V.VekSetFrameRate(job, 10, -1);
  V.VekSetOutputFile(job, (dir + "down0000.bmp").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  ASSERT_EQ(Count(dir + "down", ".bmp"), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Rgb(Num(dir + "down", i, ".bmp")), Rgb(H.inputs[i * 3])) << i;
}

TEST_F(HostTest, FunctionCallbackChangesAndDropsFrames) {
  H.inputs.resize(6);
  H.invert_even_drop_odd = true;
  V.VekAssignVideoFunc(job, Func);
  // Keeping the duration would give a dropped frame's time to the next one.
  V.VekSetFrameRate(job, 30, 0);
  V.VekSetOutputFile(job, (dir + "f0000.bmp").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  EXPECT_EQ(H.func_frames, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  ASSERT_EQ(Count(dir + "f", ".bmp"), 3);
  for (int i = 0; i < 3; ++i) {
    const std::string src = Rgb(H.inputs[i * 2]);
    std::string inverted = src;
    for (char& c : inverted) c = static_cast<char>(255 - uint8_t(c));
    EXPECT_EQ(Rgb(Num(dir + "f", i, ".bmp")), inverted) << i;
  }
}

TEST_F(HostTest, EightBitRunsPalettePassThenSaves) {
  H.inputs.resize(5);
  V.VekAssignVideoFunc(job, Func);
  V.VekSetBpp(job, 8);
  V.VekEnableDithering(job, -1);
  V.VekSetOutputFile(job, (dir + "p0000.bmp").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  EXPECT_EQ(H.states, (std::vector<int>{1, 2, 3, 0}));
  // Each pass hands every frame to the host, counting from 0.
  EXPECT_EQ(H.func_frames, (std::vector<int>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));
  ASSERT_EQ(Count(dir + "p", ".bmp"), 5);
  for (int i = 0; i < 5; ++i) {
    const std::string f = Num(dir + "p", i, ".bmp");
    EXPECT_NE(Shell("/usr/bin/identify -format '%r' '" + f + "'").find("PseudoClass"), std::string::npos);
    EXPECT_GT(Psnr(Rgb(f), Rgb(H.inputs[i])), 28.0) << i;
  }
}

TEST_F(HostTest, AbortBeforeAndDuringTheRun) {
  const std::vector<std::string> inputs = H.inputs;
  H.abort_in_init = true;
  V.VekSetOutputFile(job, (dir + "a0000.bmp").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_ABORTED);
  EXPECT_EQ(Count(dir + "a", ".bmp"), 0);
  char text[1100];
  VekLastError e = Last();
  V.VekMakeErrorStr(&e, text);
  EXPECT_STREQ(text, "Operation aborted by the user.");

  H = Host{};
  H.inputs = inputs;
  H.abort_at_frames = 3;
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_ABORTED);
  const int written = Count(dir + "a", ".bmp");
  EXPECT_GE(written, 3);  // what was written is kept
  EXPECT_LT(written, 10);
  EXPECT_EQ(V.VekGetStatus(job), 0);
}

// A run after an aborted one starts afresh: its palette pass runs, and a
// VekConvert from inside a run is refused without disturbing it.
TEST_F(HostTest, RunsStartCleanAndNeverNest) {
  const std::vector<std::string> inputs = H.inputs;
  H.abort_at_frames = 2;
  V.VekSetOutputFile(job, (dir + "x0000.bmp").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_ABORTED);
  H = Host{};
  H.inputs = {inputs[0], inputs[1], inputs[2]};
  V.VekSetBpp(job, 8);
  V.VekSetOutputFile(job, (dir + "y0000.bmp").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  EXPECT_EQ(H.states, (std::vector<int>{1, 2, 3, 0}));
  EXPECT_EQ(H.nested_status, VEK_STATUS_ERROR);
  EXPECT_EQ(Last().status, VEK_STATUS_OK);
  EXPECT_EQ(Count(dir + "y", ".bmp"), 3);
  EXPECT_GT(Psnr(Rgb(Num(dir + "y", 0, ".bmp")), Rgb(inputs[0])), 25.0);
}

// Force compatibility takes only a real depth: an unknown extension leaves
// the host's bits per pixel alone for the next try.
TEST_F(HostTest, CompatibilityKeepsTheDepthOfAnUnknownFormat) {
  const std::string first = H.inputs[0];
  V.VekForceCompatibility(job, -1);
  V.VekSetBpp(job, 8);
  V.VekSetOutputFile(job, (dir + "out.xyz").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_INVALID_OUTPUT);
  H = Host{};
  H.inputs = {first};
  V.VekSetOutputFile(job, (dir + "k0000.bmp").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  EXPECT_NE(Shell("/usr/bin/identify -format '%r' '" + Num(dir + "k", 0, ".bmp") + "'").find("PseudoClass"),
            std::string::npos);
}

// Pictures handed to the sound side are refused, not read as sound.
VekLastError g_image_as_sound{};
void VEKAPI ImageAsSound(VekJob* job, int32_t block) {
  static VekImage img{};
  if (block == 0) {
    V.VekSrcSetImg(job, &img);
    V.VekGetLastError(&g_image_as_sound);
  }
  V.VekSrcFinished(job);
}
TEST_F(HostTest, ImagesAreNoSoundSource) {
  V.VekAssignAudioSource(job, ImageAsSound);
  V.VekSetOutputFile(job, (dir + "v0000.bmp").c_str(), (dir + "s.wav").c_str());
  V.VekConvert(job);
  EXPECT_EQ(g_image_as_sound.status, VEK_STATUS_ERROR);
  char text[1100];
  V.VekMakeErrorStr(&g_image_as_sound, text);
  EXPECT_STREQ(text, "An image cannot be a sound source.");
}

TEST_F(HostTest, UnknownOutputExtension) {
  V.VekSetOutputFile(job, (dir + "out.xyz").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_INVALID_OUTPUT);
  char text[1100];
  VekLastError e = Last();
  V.VekMakeErrorStr(&e, text);
  EXPECT_STREQ(text, "Invalid output file.");
  EXPECT_EQ(H.states, (std::vector<int>{1, 0}));
}

// A source the run cannot use is put to the host like a read error: skipped,
// the run still ends in the error; answered to go on, the run succeeds.
TEST_F(HostTest, GivenUpSourcesAreReportedNotDropped) {
  const std::string odd = dir + "odd.bmp";
  std::ofstream(odd, std::ios::binary) << "BM not really a bitmap";
  for (const std::string& bad : {dir + "missing.bmp", odd}) {
    H = Host{};
    H.inputs = {dir + "in0000.bmp", bad, dir + "in0002.bmp"};
    V.VekAssignError(job, OnError);
    V.VekSetOutputFile(job, (dir + "m0000.bmp").c_str(), nullptr);
    EXPECT_EQ(V.VekConvert(job), VEK_STATUS_ERROR) << bad;
    EXPECT_EQ(Count(dir + "m", ".bmp"), 2);
    EXPECT_EQ(H.errors, 1);
    // A file that is there is never reported missing.
    const bool missing = bad == dir + "missing.bmp";
    EXPECT_EQ(Last().group, missing ? 6 : 7);
    EXPECT_EQ(Last().code, missing ? 9 : 2);
    char text[1100];
    const VekLastError rec = Last();
    V.VekMakeErrorStr(&rec, text);
    EXPECT_STREQ(text, missing ? "File not exist." : "Invalid image format.");
    EXPECT_NE(H.error_path.find("ConForm."), std::string::npos) << H.error_path;

    H = Host{};
    H.inputs = {dir + "in0000.bmp", bad, dir + "in0002.bmp"};
    H.answers = {0};  // go on
    EXPECT_EQ(V.VekConvert(job), VEK_STATUS_OK);
    EXPECT_EQ(H.errors, 1);
    EXPECT_EQ(Last().group, 0);
  }
}

// A file whose header reads but whose pixels are cut short fails while loading:
// the host's answer decides what happens.
TEST_F(HostTest, ReadErrorAnswers) {
  const std::string broken = dir + "broken.bmp";
  {
    std::ifstream in(H.inputs[0], std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::ofstream(broken, std::ios::binary).write(bytes.data(), 200);
  }
  H.inputs.resize(4);
  H.inputs[1] = broken;
  const std::vector<std::string> inputs = H.inputs;
  V.VekAssignError(job, OnError);

  struct Case {
    std::vector<int32_t> answers;
    int32_t status;
    int files;
    int errors;
  } cases[] = {
      {{VEK_ANSWER_STOP}, VEK_STATUS_ERROR, 0, 1},   // stop and delete the outputs
      {{VEK_ANSWER_KEEP}, VEK_STATUS_ERROR, 1, 1},   // stop, keep what was written
      // A skipped block still leaves the run with the error it was asked about.
      {{VEK_ANSWER_RETRY, VEK_ANSWER_SKIP}, VEK_STATUS_ERROR, 3, 2},
      {{VEK_ANSWER_SKIP}, VEK_STATUS_ERROR, 3, 1},
  };
  int n = 0;
  for (const Case& c : cases) {
    H = Host{};
    H.inputs = inputs;
    H.answers = c.answers;
    const std::string prefix = dir + "e" + std::to_string(n++) + "_";
    V.VekSetOutputFile(job, (prefix + "0000.bmp").c_str(), nullptr);
    EXPECT_EQ(V.VekConvert(job), c.status) << "answers " << c.answers[0];
    EXPECT_EQ(Count(prefix, ".bmp"), c.files) << "answers " << c.answers[0];
    EXPECT_EQ(H.errors, c.errors);
    if (c.status == VEK_STATUS_ERROR) {
      EXPECT_EQ(Last().group, 6);
      char text[1100];
      const VekLastError rec = Last();
      V.VekMakeErrorStr(&rec, text);
      EXPECT_STRNE(text, "No errors.");
    }
    // The question names where the read failed, traced or not.
    EXPECT_NE(H.error_path.find("DIBLoad_"), std::string::npos) << H.error_path;
  }
  // Any other answer goes on with the frame as far as it was loaded.
  H = Host{};
  H.inputs = inputs;
  H.answers = {0};
  V.VekSetOutputFile(job, (dir + "ign0000.bmp").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  EXPECT_EQ(Last().group, 0);
  EXPECT_GE(Count(dir + "ign", ".bmp"), 3);
}

TEST_F(HostTest, TraceNamesTheFailingPath) {
  const std::string trace = dir + "trace.txt";
  V.VekLogStart(trace.c_str(), -1);
  V.VekSetOutputFile(job, (dir + "no-such-folder/out0000.bmp").c_str(), nullptr);
  EXPECT_EQ(V.VekConvert(job), VEK_STATUS_ERROR);
  V.VekLogStop();
  std::ifstream in(trace, std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("VekConvert: Starting ----"), std::string::npos);
  EXPECT_NE(text.find("!6:2;\"Cannot create file: "), std::string::npos) << text;
  const auto at = text.find("\r\n@vekmain.VekConvert:");
  ASSERT_NE(at, std::string::npos) << text;
  const std::string path_line = text.substr(at + 2, text.find("\r\n", at + 2) - at - 2);
  EXPECT_NE(path_line.find(":ConForm.ConStart:"), std::string::npos) << path_line;
  EXPECT_NE(text.find("VekConvert: Finished ----"), std::string::npos);
}

long PeakKb() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  K32GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  return static_cast<long>(pmc.PeakWorkingSetSize / 1024);
#else
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
#endif
}

TEST_F(HostTest, PeakMemoryDoesNotGrowWithFrames) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer's quarantine grows with every allocation";
#endif
  H.pixels.assign(64 * 48 * 3, 128);
  H.pixel_frames = 100;
  V.VekSetOutputFile(job, (dir + "short0000.bmp").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  const long after_short = PeakKb();
  H.pixel_frames = 2000;
  V.VekSetOutputFile(job, (dir + "long0000.bmp").c_str(), nullptr);
  ASSERT_EQ(V.VekConvert(job), VEK_STATUS_OK);
  EXPECT_EQ(Count(dir + "long", ".bmp"), 2000);
  EXPECT_LT(PeakKb() - after_short, 2048) << "peak grew by more than 2 MiB";
}

}  // namespace
