// A Windows host of the extension formats: loads the DLL with LoadLibrary,
// turns the extension formats on through their export, writes MP4 (H.264 and
// AAC) and WebM (VP9 and Opus) from BMP frames and a tone, and reads movies
// back into PNG sequences: its own outputs, and MOV, Matroska and transport
// stream files made by the Linux side. The Linux side checks every file.
//
//   vek_movie_host <library> <folder>
//
// The folder holds the inputs (mv0000.bmp .. mv0023.bmp, tone.wav, and the
// movies named in kReads where present) and receives the outputs and
// results.txt, one line a job: "<name> <status> <error text>". Names are
// written as Windows hosts write them (drive letter, backslashes).
#include <cstdio>
#include <string>

#include "vek/vek.h"

#include <windows.h>

namespace {

#define VEK_EXPORTS(X)                                                                      \
  X(VekAlloc) X(VekFree) X(VekSetOutputFile) X(VekSetFrameRate) X(VekAssignVideoSource)    \
  X(VekAssignAudioSource) X(VekSetAudioFormat) X(VekSrcSetFile) X(VekSrcFinished)          \
  X(VekConvert) X(VekGetLastError) X(VekMakeErrorStr) X(VekLogStart) X(VekImgAlloc)        \
  X(VekImgFree) X(VekImgLoad) X(VekImgSave) X(VekGetFileFmtID) X(VekExtSetFormats)         \
  X(VekSrcSetDirection)

struct Api {
#define DECLARE(name) decltype(&::name) name = nullptr;
  VEK_EXPORTS(DECLARE)
#undef DECLARE
  const char* missing = nullptr;
  bool Resolve(HMODULE h) {
#define FIND(name)                                                                    \
  name = reinterpret_cast<decltype(name)>(reinterpret_cast<void*>(GetProcAddress(h, #name))); \
  if (!name) {                                                                        \
    missing = #name;                                                                  \
    return false;                                                                     \
  }
    VEK_EXPORTS(FIND)
#undef FIND
    return true;
  }
};

Api V;
std::string g_dir;
FILE* g_results = nullptr;
constexpr int kFrames = 24;
constexpr double kFps = 12.0;

std::string At(const std::string& name) { return g_dir + '\\' + name; }

void Report(const std::string& name, int32_t status) {
  VekLastError e{};
  V.VekGetLastError(&e);
  char text[1100] = "";
  if (status != 0) V.VekMakeErrorStr(&e, text);
  for (char* p = text; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = ' ';
  std::fprintf(g_results, "%s %d %s\n", name.c_str(), static_cast<int>(status), text);
  std::fflush(g_results);
}

// The source of the running job: the BMP frames, or one movie.
std::string g_movie;
bool g_sound = false;

void VEKAPI VideoSource(VekJob* job, int32_t block) {
  if (!g_movie.empty()) {
    if (block == 0)
      V.VekSrcSetFile(job, g_movie.c_str());
    else
      V.VekSrcFinished(job);
  } else if (block < kFrames) {
    char name[32];
    std::snprintf(name, sizeof name, "mv%04d.bmp", static_cast<int>(block));
    V.VekSrcSetFile(job, At(name).c_str());
  } else {
    V.VekSrcFinished(job);
  }
}

int32_t g_direction = 1;
void VEKAPI MovieSource(VekJob* job, int32_t block) {
  if (block == 0) {
    V.VekSrcSetFile(job, g_movie.c_str());
    if (g_direction < 0) V.VekSrcSetDirection(job, -1);
  } else {
    V.VekSrcFinished(job);
  }
}

void VEKAPI SoundSource(VekJob* job, int32_t block) {
  if (block == 0 && g_sound)
    V.VekSrcSetFile(job, At("tone.wav").c_str());
  else
    V.VekSrcFinished(job);
}

// Frames and the tone into one movie; the format follows the name.
void Write(const char* name, const char* file) {
  std::fprintf(g_results, "%s_id %d\n", name, static_cast<int>(V.VekGetFileFmtID(At(file).c_str())));
  VekJob* job = V.VekAlloc();
  const std::string out = At(file);
  V.VekSetOutputFile(job, out.c_str(), out.c_str());
  V.VekSetFrameRate(job, kFps, 0);
  V.VekAssignVideoSource(job, VideoSource);
  V.VekSetAudioFormat(job, 48000, 2, 16);
  V.VekAssignAudioSource(job, SoundSource);
  g_movie.clear();
  g_sound = true;
  Report(name, V.VekConvert(job));
  V.VekFree(job);
}

// A movie's frames into a PNG sequence (<prefix>0000.png on), forwards or
// backwards.
void Read(const std::string& name, const char* movie, const char* prefix, int32_t direction) {
  const std::string in = At(movie);
  if (FILE* f = std::fopen(in.c_str(), "rb"))
    std::fclose(f);
  else
    return;  // not made on this run
  VekJob* job = V.VekAlloc();
  V.VekSetOutputFile(job, At(std::string(prefix) + "0000.png").c_str(), nullptr);
  V.VekSetFrameRate(job, kFps, 0);  // the movies' own rate: every frame once
  V.VekAssignVideoSource(job, MovieSource);
  g_movie = in;
  g_direction = direction;
  g_sound = false;
  Report(name, V.VekConvert(job));
  V.VekFree(job);
  g_direction = 1;

  // The first frame, as a still.
  VekImage* img = V.VekImgAlloc();
  int32_t status = V.VekImgLoad(img, in.c_str(), 0);
  if (status == 0) status = V.VekImgSave(img, At(std::string(prefix) + "_first.png").c_str());
  if (direction > 0) Report(name + "_still", status);
  V.VekImgFree(img);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vek_movie_host <library> <folder>\n");
    return 2;
  }
  g_dir = argv[2];
  while (g_dir.size() > 1 && (g_dir.back() == '/' || g_dir.back() == '\\')) g_dir.pop_back();
  HMODULE lib = LoadLibraryA(argv[1]);
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
  V.VekLogStart(At("trace.txt").c_str(), 0);
  std::fprintf(g_results, "formats_off_mp4_id %d\n", static_cast<int>(V.VekGetFileFmtID(At("x.mp4").c_str())));
  V.VekExtSetFormats(1);

  Write("mp4", "out.mp4");
  Write("webm", "out.webm");
  const struct {
    const char* name;
    const char* movie;
    const char* prefix;
  } kReads[] = {
      {"read_mp4", "out.mp4", "rmp4_"},  {"read_webm", "out.webm", "rwebm_"},
      {"read_mov", "in.mov", "rmov_"},   {"read_mkv", "in.mkv", "rmkv_"},
      {"read_ts", "in.ts", "rts_"},
  };
  for (const auto& r : kReads) Read(r.name, r.movie, r.prefix, 1);
  Read("back_mp4", "out.mp4", "bmp4_", -1);

  V.VekExtSetFormats(0);
  const bool unloaded = FreeLibrary(lib) != 0;
  std::fclose(g_results);
  return unloaded ? 0 : 6;
}
