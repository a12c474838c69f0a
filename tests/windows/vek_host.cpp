// A host program that loads the shared library by name at run time and
// looks its exports up by their plain names, as Windows hosts do with
// LoadLibrary and GetProcAddress; built for Windows (run under Wine) and for
// Linux, so that the outputs of both builds can be compared by the oracles.
//
//   vek_host <library> <folder>
//
// The folder holds the inputs (in0000.bmp .. in0009.bmp, 64 x 48, 24 bits;
// white.bmp; tone.wav; optionally cvid_in.avi, and the pictures and sound of
// BigAviJob) and receives the outputs and results.txt, one line a
// job: "<name> <status> <error text>". Outputs are checked outside. On
// Windows every name is written as Windows hosts write them (drive letter,
// backslashes); the path cases also write into "<folder>/sub dir".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vek/vek.h"

#ifdef _WIN32
#include <windows.h>
using LibHandle = HMODULE;
static LibHandle OpenLib(const char* name) { return LoadLibraryA(name); }
static void* FindSym(LibHandle h, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(h, name));
}
static bool CloseLib(LibHandle h) { return FreeLibrary(h) != 0; }
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>
using LibHandle = void*;
static LibHandle OpenLib(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }
static void* FindSym(LibHandle h, const char* name) { return dlsym(h, name); }
static bool CloseLib(LibHandle h) { return dlclose(h) == 0; }
#endif

#define VEK_EXPORTS(X)                                                                        \
  X(VekAlloc) X(VekFree) X(VekSetOutputFile) X(VekSetFrameRate) X(VekSetResolution)          \
  X(VekSetBpp) X(VekSetAudioFormat) X(VekSetCodec) X(VekSetQuality) X(VekSetKeyFrameRate)    \
  X(VekAviAddCustomInfo) X(VekAssignVideoSource) X(VekAssignAudioSource) X(VekSrcSetFile)    \
  X(VekSrcFinished) X(VekConvert) X(VekGetLastError) X(VekMakeErrorStr) X(VekMakeFourCC)     \
  X(VekLogStart) X(VekLogStop) X(VekImgAlloc) X(VekImgFree) X(VekImgLoad) X(VekImgSave)      \
  X(VekImgToDIB) X(VekReleaseDIB) X(VekDIBToImg) X(VekImgShow) X(VekTextAlloc) X(VekTextFree) \
  X(VekTextSetFont) X(VekTextSetColor) X(VekTextOut) X(VekForceCompatibility)                \
  X(VekListAlloc) X(VekListFree) X(VekListAdd) X(VekListGetFileCount) X(VekQuickConvert)    \
  X(VekAssignProgress)

namespace {

struct Api {
#define DECLARE(name) decltype(&::name) name = nullptr;
  VEK_EXPORTS(DECLARE)
#undef DECLARE
  const char* missing = nullptr;
  bool Resolve(LibHandle h) {
#define FIND(name)                                                    \
  name = reinterpret_cast<decltype(name)>(FindSym(h, #name));         \
  if (!name) {                                                        \
    missing = #name;                                                  \
    return false;                                                     \
  }
    VEK_EXPORTS(FIND)
#undef FIND
    return true;
  }
};

Api V;
std::string g_dir;
int g_frames = 10;
bool g_sound = false;
FILE* g_results = nullptr;

// Names as the platform's hosts write them: on Windows a drive letter and
// backslashes (the folder comes from winepath -w), never a trailing separator.
#ifdef _WIN32
constexpr char kSep = '\\';
#else
constexpr char kSep = '/';
#endif
std::string At(const std::string& name) { return g_dir + kSep + name; }

std::string In(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "in%04d.bmp", i);
  return At(name);
}

// A movie given as the whole video source instead of the frames.
std::string g_movie;

void VEKAPI VideoSource(VekJob* job, int32_t block) {
  if (!g_movie.empty()) {
    if (block == 0)
      V.VekSrcSetFile(job, g_movie.c_str());
    else
      V.VekSrcFinished(job);
  } else if (block < g_frames) {
    V.VekSrcSetFile(job, In(block).c_str());
  } else {
    V.VekSrcFinished(job);
  }
}

void VEKAPI SoundSource(VekJob* job, int32_t block) {
  if (block == 0 && g_sound) {
    V.VekSrcSetFile(job, At("tone.wav").c_str());
  } else {
    V.VekSrcFinished(job);
  }
}

void Report(const char* name, int32_t status) {
  VekLastError e{};
  V.VekGetLastError(&e);
  char text[1100] = "";
  if (status != 0) V.VekMakeErrorStr(&e, text);
  for (char* p = text; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = ' ';
  std::fprintf(g_results, "%s %d %s\n", name, static_cast<int>(status), text);
  std::fflush(g_results);
}

struct JobSpec {
  const char* name;
  const char* video;  // output names, relative to the folder
  const char* sound;
  bool with_video, with_sound;
  int bpp;            // 0: the default
  const char* fourcc; // AVI codec, or null
  int key_rate;
  const char* info;   // AVI INFO comment
  // Sound format of the output; another one than the tone's goes through
  // the sound conversion service (the Audio Compression Manager on Windows).
  int rate = 22050, channels = 1, bits = 16;
};

void RunJob(const JobSpec& s) {
  VekJob* job = V.VekAlloc();
  if (!job) {
    std::fprintf(g_results, "%s -1 no job\n", s.name);
    return;
  }
  const std::string video = s.video ? At(s.video) : std::string();
  // Sound goes into the movie when the sound output names the movie.
  const char* sound_name = s.sound ? s.sound : (s.with_sound ? s.video : nullptr);
  const std::string sound = sound_name ? At(sound_name) : std::string();
  V.VekSetOutputFile(job, s.video ? video.c_str() : nullptr, sound_name ? sound.c_str() : nullptr);
  V.VekSetFrameRate(job, 10.0, 0);
  if (s.bpp) V.VekSetBpp(job, s.bpp);
  constexpr int32_t kAvi = 6;
  if (s.fourcc) V.VekSetCodec(job, kAvi, V.VekMakeFourCC(s.fourcc));
  if (s.key_rate) V.VekSetKeyFrameRate(job, kAvi, s.key_rate);
  if (s.info) V.VekAviAddCustomInfo(job, "ICMT", s.info);
  if (s.with_video) V.VekAssignVideoSource(job, VideoSource);
  g_sound = s.with_sound;
  if (s.with_sound) {
    V.VekSetAudioFormat(job, s.rate, s.channels, s.bits);
    V.VekAssignAudioSource(job, SoundSource);
  }
  const int32_t status = V.VekConvert(job);
  Report(s.name, status);
  V.VekFree(job);
}

// The picture drawn on a real device context and the bitmap exchange;
// writes drawn.bmp (read back from the context) and roundtrip.bmp.
void DrawAndExchange() {
  VekImage* img = V.VekImgAlloc();
  int32_t status = V.VekImgLoad(img, In(0).c_str(), 0);
  if (status != 0) {
    Report("draw", status);
    V.VekImgFree(img);
    return;
  }
  // Image to bitmap handle and back.
  void* bitmap = V.VekImgToDIB(img);
  VekImage* back = V.VekImgAlloc();
  if (bitmap) V.VekDIBToImg(back, bitmap);
  status = bitmap ? V.VekImgSave(back, At("roundtrip.bmp").c_str()) : -1;
  Report("dib_roundtrip", status);
  if (bitmap) V.VekReleaseDIB(bitmap);
  V.VekImgFree(back);
#ifdef _WIN32
  // Drawn on a memory context holding a 24-bit DIB section at (3, 2).
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = img->width + 6;
  bi.bmiHeader.biHeight = -(img->height + 4);
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP section = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(dc, section);
  V.VekImgShow(img, dc, 3, 2);
  GdiFlush();
  VekLastError e{};
  V.VekGetLastError(&e);
  // Compare inside the host as well: the context's pixels are the picture's.
  long wrong = 0;
  for (int y = 0; y < img->height; ++y)
    for (int x = 0; x < img->width; ++x) {
      const uint8_t* p = img->pixels + (y * img->width + x) * 3;
      const COLORREF c = GetPixel(dc, x + 3, y + 2);
      if (GetRValue(c) != p[2] || GetGValue(c) != p[1] || GetBValue(c) != p[0]) ++wrong;
    }
  std::fprintf(g_results, "draw_pixels %ld mismatches\n", wrong);
  // The drawn area, read back, as a BMP of its own.
  VekImage* drawn = V.VekImgAlloc();
  SelectObject(dc, old);
  V.VekDIBToImg(drawn, section);
  status = V.VekImgSave(drawn, At("drawn.bmp").c_str());
  Report("draw", e.status != 0 ? e.status : status);
  V.VekImgFree(drawn);
  DeleteObject(section);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
#endif
  V.VekImgFree(img);
}

// Text drawn into a white picture through the fonts of the system.
void DrawText() {
  VekImage* img = V.VekImgAlloc();
  int32_t status = V.VekImgLoad(img, At("white.bmp").c_str(), 0);
  VekTextParams* text = V.VekTextAlloc();
  if (status == 0) {
    V.VekTextSetFont(text, "Arial", 20, VEK_TEXT_BOLD);
    V.VekTextSetColor(text, 0x000000, 0x808080, 0xFFFFFF, -1);
    V.VekTextOut(img, text, 4, 4, "Wine 28");
    VekLastError e{};
    V.VekGetLastError(&e);
    status = e.status != 0 ? e.status : V.VekImgSave(img, At("text.bmp").c_str());
  }
  Report("text", status);
  V.VekTextFree(text);
  V.VekImgFree(img);
}

void MakeFolder(const std::string& name) {
#ifdef _WIN32
  CreateDirectoryA(name.c_str(), nullptr);
#else
  mkdir(name.c_str(), 0755);
#endif
}

void ChangeFolder(const std::string& name) {
#ifdef _WIN32
  SetCurrentDirectoryA(name.c_str());
#else
  if (chdir(name.c_str()) != 0) std::perror("chdir");
#endif
}

// Every export that takes a name, with the names a host writes: absolute
// (drive letter and backslashes on Windows), mixed separators, relative to the
// working folder, and a folder name with a space. Writes into "sub dir".
void PathCases() {
  ChangeFolder(g_dir);
  const std::string sub = "sub dir";
  MakeFolder(At(sub));
  // Mixed: the folder as given, then '/', then the platform's separator.
  auto mixed = [&](const std::string& name) { return g_dir + "/" + sub + kSep + name; };
  auto relative = [&](const std::string& name) { return sub + kSep + name; };

  const struct {
    const char* name;
    std::string spec;
  } lists[] = {
      {"list_absolute", At("in*.bmp")},
      {"list_mixed", g_dir + "/" + "IN000?.BMP"},
      {"list_relative", "in*.bmp"},
  };
  for (const auto& l : lists) {
    VekList* list = V.VekListAlloc();
    V.VekListAdd(list, l.spec.c_str(), VEK_LIST_IMAGES);
    VekLastError e{};
    V.VekGetLastError(&e);
    std::fprintf(g_results, "%s %d files=%d\n", l.name, static_cast<int>(e.status),
                 static_cast<int>(V.VekListGetFileCount(list)));
    V.VekListFree(list);
  }

  // Quick conversion: MPEG with sound into the folder with a space, from
  // wildcard lists; the multiplexer's temporary file sits beside the output.
  Report("quick_mpeg", V.VekQuickConvert(At(sub + kSep + "quick.mpg").c_str(), At("in*.bmp").c_str(),
                                         At("tone.wav").c_str(), VEK_UNDEFINED, VEK_UNDEFINED, 10.0));

  // Every still writer, each name written another way.
  VekImage* img = V.VekImgAlloc();
  const int32_t status = V.VekImgLoad(img, relative(std::string("..") + kSep + "in0003.bmp").c_str(), 0);
  Report("still_load", status);
  const char* exts[] = {"bmp", "jpg", "pcx", "png", "ppm", "rgb", "ras", "tga", "tif", "xpm"};
  int k = 0;
  for (const char* ext : exts) {
    const std::string file = std::string("s-") + ext + "." + ext;
    const std::string name = k % 3 == 0 ? At(sub + kSep + file) : k % 3 == 1 ? mixed(file) : relative(file);
    ++k;
    Report((std::string("still_") + ext).c_str(), status == 0 ? V.VekImgSave(img, name.c_str()) : status);
  }
  V.VekImgFree(img);

  // A failed load puts an error record with the drive lines into the trace.
  VekImage* none = V.VekImgAlloc();
  V.VekImgLoad(none, At(sub + kSep + "missing.bmp").c_str(), 0);
  V.VekImgFree(none);
}

// AVI with sound at everyday sizes, through the system's AVI library: a
// few pictures of the size (big<w>x<h>_<k>.bmp, k = 0..3) used in turn for
// 3 seconds of frames, uncompressed so that every frame can be checked, and
// 3 seconds of sound (tone3.wav) into the same file. Runs when the pictures
// are in the folder; writes "<name> <status>" and "<name>_done <frames>
// <samples>" as the progress reported them.
constexpr int kBigPictures = 4;
std::string g_big_prefix;
int g_big_frames = 0;
int32_t g_big_done_frames = 0, g_big_done_samples = 0;

void VEKAPI BigVideoSource(VekJob* job, int32_t block) {
  if (block >= g_big_frames) {
    V.VekSrcFinished(job);
    return;
  }
  V.VekSrcSetFile(job, (g_big_prefix + std::to_string(block % kBigPictures) + ".bmp").c_str());
}

void VEKAPI BigSoundSource(VekJob* job, int32_t block) {
  if (block == 0)
    V.VekSrcSetFile(job, At("tone3.wav").c_str());
  else
    V.VekSrcFinished(job);
}

void VEKAPI BigProgress(VekJob*, int32_t, int32_t frames, int32_t samples) {
  g_big_done_frames = frames;
  g_big_done_samples = samples;
}

void BigAviJob(int width, int height, int fps) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  g_big_prefix = At("big" + size + "_");
  if (FILE* f = std::fopen((g_big_prefix + "0.bmp").c_str(), "rb"))
    std::fclose(f);
  else
    return;
  const std::string name = "avi_" + size + "_" + std::to_string(fps);
  const std::string out = At("avi" + size + ".avi");
  VekJob* job = V.VekAlloc();
  V.VekSetOutputFile(job, out.c_str(), out.c_str());
  V.VekSetResolution(job, width, height);
  V.VekSetBpp(job, 24);
  V.VekSetFrameRate(job, fps, 0);
  V.VekSetCodec(job, 6, V.VekMakeFourCC("DIB "));
  V.VekSetAudioFormat(job, 44100, 2, 16);
  V.VekAssignVideoSource(job, BigVideoSource);
  V.VekAssignAudioSource(job, BigSoundSource);
  V.VekAssignProgress(job, BigProgress);
  g_big_frames = 3 * fps;
  g_big_done_frames = g_big_done_samples = 0;
  const int32_t status = V.VekConvert(job);
  Report(name.c_str(), status);
  std::fprintf(g_results, "%s_done %d %d\n", name.c_str(), static_cast<int>(g_big_done_frames),
               static_cast<int>(g_big_done_samples));
  V.VekFree(job);
}

#ifdef _WIN32
// The outcome of a job with its error pair: "<name> <status> <group> <code> <text>".
void ReportPair(const char* name, int32_t status) {
  VekLastError e{};
  V.VekGetLastError(&e);
  char text[1100] = "";
  if (status != 0) V.VekMakeErrorStr(&e, text);
  for (char* p = text; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = ' ';
  std::fprintf(g_results, "%s %d %d %d %s\n", name, static_cast<int>(status), static_cast<int>(e.group),
               static_cast<int>(e.code), text);
  std::fflush(g_results);
}

// Pixels at an address no process maps: every read of them faults.
uint8_t* const kBadPixels = reinterpret_cast<uint8_t*>(uintptr_t{16});

// A video function that hands the frame back with host pixels that are not
// there; the frame's own pixels go to a record of the host's, freed later.
VekImage* g_keeper = nullptr;
void VEKAPI BadPixelsFunc(VekJob*, VekImage* image, int32_t frame) {
  if (frame != 3 || !g_keeper) return;
  *g_keeper = *image;
  image->pixels = kBadPixels;
  image->external = 1;
}

// Access faults inside the library: a host image with a bad pixel pointer
// saved, and a frame whose pixels a video function made bad; each ends in
// error 3 with the fault's text, and the next job converts normally.
void AccessFaults(LibHandle lib) {
  VekImage* img = V.VekImgAlloc();
  int32_t status = V.VekImgLoad(img, In(0).c_str(), 0);
  if (status == 0) {
    uint8_t* own = img->pixels;
    const int32_t own_external = img->external;
    img->pixels = kBadPixels;
    img->external = 1;
    status = V.VekImgSave(img, At("fault.tga").c_str());
    img->pixels = own;
    img->external = own_external;
  }
  ReportPair("fault_imgsave", status);
  V.VekImgFree(img);

  using AssignFn = void(VEKAPI*)(VekJob*, VekVideoFuncProc);
  const auto assign = reinterpret_cast<AssignFn>(FindSym(lib, "VekAssignVideoFunc"));
  VekJob* job = V.VekAlloc();
  V.VekSetOutputFile(job, At("fault0000.tga").c_str(), nullptr);
  V.VekSetFrameRate(job, 10.0, 0);
  V.VekAssignVideoSource(job, VideoSource);
  if (assign) assign(job, BadPixelsFunc);
  g_keeper = V.VekImgAlloc();
  ReportPair("fault_videofunc", assign ? V.VekConvert(job) : -1);
  V.VekImgFree(g_keeper);
  g_keeper = nullptr;
  V.VekFree(job);

  RunJob({"fault_next", "next0000.png", nullptr, true, false, 0, nullptr, 0, nullptr});
}
#endif

// Unloaded and loaded again in the same process: the library starts afresh
// (its use of the system's AVI library included) and converts as before.
bool ReloadAndConvert(const char* library) {
  LibHandle lib = OpenLib(library);
  if (!lib || !V.Resolve(lib)) return false;
  RunJob({"reload_avi", "reload.avi", nullptr, true, true, 24, "DIB ", 0, nullptr});
  RunJob({"reload_default", "reload_cvid.avi", nullptr, true, false, 0, nullptr, 0, nullptr});
  return CloseLib(lib);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vek_host <library> <folder>\n");
    return 2;
  }
  g_dir = argv[2];
  while (g_dir.size() > 1 && (g_dir.back() == '/' || g_dir.back() == '\\')) g_dir.pop_back();
  LibHandle lib = OpenLib(argv[1]);
  if (!lib) {
    std::fprintf(stderr, "cannot load %s\n", argv[1]);
    return 3;
  }
  if (!V.Resolve(lib)) {
    std::fprintf(stderr, "export %s missing\n", V.missing);
    return 4;
  }
  g_results = std::fopen(At("results.txt").c_str(), "w");
  if (!g_results) return 5;
  // The leak report at unload goes to the trace.
  V.VekLogStart(At("trace.txt").c_str(), 0);

  const JobSpec jobs[] = {
      {"tga", "tga0000.tga", nullptr, true, false, 0, nullptr, 0, nullptr},
      {"png", "png0000.png", nullptr, true, false, 0, nullptr, 0, nullptr},
      {"jpeg", "jpg0000.jpg", nullptr, true, false, 0, nullptr, 0, nullptr},
      {"tiff", "tif0000.tif", nullptr, true, false, 0, nullptr, 0, nullptr},
      {"xpm", "xpm0000.xpm", nullptr, true, false, 0, nullptr, 0, nullptr},
      {"hav", "out.hav", nullptr, true, false, 0, nullptr, 0, nullptr},
      {"flic", "out.flc", nullptr, true, false, 8, nullptr, 0, nullptr},
      {"mpeg", "out.mpg", nullptr, true, true, 0, nullptr, 0, nullptr},
      {"avi_dib", "dib.avi", nullptr, true, true, 24, "DIB ", 0, "made by vek_host"},
      {"avi_mrle", "mrle.avi", nullptr, true, true, 8, "MRLE", 1, nullptr},
      {"wav", nullptr, "out.wav", false, true, 0, nullptr, 0, nullptr},
      {"wav_acm", nullptr, "acm.wav", false, true, 0, nullptr, 0, nullptr, 11025, 2, 8},
      // The default codec (Cinepak): written where the system can, else the
      // run ends with an error, never a crash.
      {"avi_default", "cvid.avi", nullptr, true, false, 0, nullptr, 0, nullptr},
  };
  for (const JobSpec& j : jobs) RunJob(j);
  // A Cinepak movie the Linux build wrote, read back through the system's
  // own decoder into a PNG sequence.
  g_movie = At("cvid_in.avi");
  if (FILE* f = std::fopen(g_movie.c_str(), "rb")) {
    std::fclose(f);
    RunJob({"cvid_read", "cvr0000.png", nullptr, true, false, 24, nullptr, 0, nullptr});
  }
  g_movie.clear();
  BigAviJob(640, 480, 60);
  BigAviJob(720, 576, 30);
  DrawAndExchange();
  DrawText();
  PathCases();
#ifdef _WIN32
  AccessFaults(lib);
#endif

  // Unloading writes the leak report to the trace, then stops it.
  if (!CloseLib(lib)) return 6;
  const bool reloaded = ReloadAndConvert(argv[1]);
  std::fclose(g_results);
  return reloaded ? 0 : 7;
}
