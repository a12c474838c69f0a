/* vekconv: convert image sequences, movies and sound with libvek. */
#define _POSIX_C_SOURCE 200809L
#include <ctype.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vek/vek.h"

static const char* kUsage =
    "usage: vekconv [options] OUTPUT INPUT...\n"
    "       vekconv --info FILE\n"
    "\n"
    "Converts the INPUT frames (and an optional sound file) into OUTPUT. The\n"
    "output format follows the extension of OUTPUT. A still-image output of\n"
    "several frames (several inputs, or a movie) becomes a numbered sequence:\n"
    "out.tga gives out00.tga, out01.tga, ... (as many digits as the frame count\n"
    "has); a numbered name such as out0100.tga counts on from 0100.\n"
    "\n"
    "Inputs are file names, wildcards in quotes (\"frames/*.bmp\", sorted by name)\n"
    "or numbered sequences written with a printf number (\"frame%04d.bmp\", read\n"
    "from the lowest number found until the first gap).\n"
    "\n"
    "options:\n"
    "  -s, --size WxH          output size (default: each frame keeps its size)\n"
    "  -b, --bpp N             output bits per pixel: 8, 15, 16, 24 or 32 (default 24);\n"
    "                          8 builds an optimised 256-colour palette in a first pass\n"
    "  -d, --dither            dither when remapping to the 8-bit palette\n"
    "  -r, --rate FPS          output frames per second (default 30)\n"
    "      --source-rate FPS   frames per second of the inputs (default: their own,\n"
    "                          or the output rate for still images)\n"
    "      --no-keep-duration  write every source frame once instead of keeping the\n"
    "                          play time when the rates differ\n"
    "  -c, --compatible        force compatibility: sizes in multiples of 16 and the\n"
    "                          Cinepak codec when the chosen one refuses\n"
    "  -a, --audio FILE        sound input, written into OUTPUT or --audio-out\n"
    "      --audio-out FILE    separate sound output file\n"
    "      --audio-format R,C,B  output sound: rate 1000..384000, channels 1 or 2,\n"
    "                          bits 8 or 16 (default 44100,2,16)\n"
    "      --codec CODE        codec of the output format: a number, or a four-character\n"
    "                          code for AVI (e.g. cvid)\n"
    "      --quality N         quality of the output codec (JPEG, Ogg Vorbis: percent;\n"
    "                          MP4, WebM: percent at constant quality, which it selects\n"
    "                          unless --data-rate is given)\n"
    "      --data-rate N       MPEG, MP4, WebM: video data rate in kilobits per second\n"
    "                          (MP4 and WebM default 1125)\n"
    "      --key-frames N      MP4, WebM: frames between key frames (default 25)\n"
    "      --refine-palette N  8-bit outputs: N (1..16) refinement passes after the\n"
    "                          palette optimiser, for pictures closer to the source\n"
    "      --stored-orientation  load JPEG and TIFF pictures in the order they are\n"
    "                          stored; by default the orientation the camera recorded\n"
    "                          (EXIF, TIFF Orientation) is applied, as browsers do\n"
    "      --palette MODE      palette of 8-bit outputs: auto (GIF the histogram\n"
    "                          quantiser, others the optimiser), optimiser, histogram\n"
    "      --loop N            GIF: plays, 0 forever (default), 1 once, N times\n"
    "      --threads N         threads the conversion may use (1..64; default: all\n"
    "                          cores; 1 keeps everything on one thread)\n"
    "      --trace FILE        write a trace of the run to FILE\n"
    "      --dialog            show the output settings dialog before the run (needs a\n"
    "                          display); cancelling it ends vekconv with status 2\n"
    "      --info FILE         describe FILE and exit\n"
    "  -q, --quiet             no progress output\n"
    "  -h, --help              this text\n"
    "\n"
    "Picture adjustments, applied to every frame in this order (V is one value for\n"
    "all three channels, or R,G,B):\n"
    "      --gamma V           gamma 0.01..5 (1 changes nothing)\n"
    "      --brightness V      brightness -100..100\n"
    "      --contrast V        contrast -100..100\n"
    "      --white-balance R,G,B  the colour (0..255 each) that is to become neutral\n"
    "Filters, after the adjustments, in the order given (each may repeat):\n"
    "      --soften            soften\n"
    "      --sharpen           sharpen\n"
    "      --edge-enhance      enhance edges\n"
    "\n"
    "A caption on every frame, drawn last:\n"
    "      --text TEXT         the caption; its first %d becomes the frame number.\n"
    "                          UTF-8 is drawn in Windows-1252 (other characters: ?)\n"
    "      --font NAME         font name (default Arial)\n"
    "      --font-size N       font size in points, 1..500 (default 12)\n"
    "      --text-style S      bold, italic, underline, strike, joined by commas\n"
    "      --text-pos X,Y      top-left corner of the caption (default 8,8)\n"
    "      --text-color RRGGBB text colour (default ffffff, white)\n"
    "      --text-shadow       a shadow below and to the right of the text\n"
    "      --text-border       a border around the letters\n"
    "      --text-opaque       draw the caption on a filled box\n"
    "      --text-background RRGGBB  colour of that box (default black, or white\n"
    "                          behind dark text)\n"
    "\n"
    "An input that cannot be read is named on standard error and left out; the\n"
    "last line says what was written and how many inputs were skipped.\n"
    "Formats (by extension): read and write HAV, AVI, MPEG (.mpg .m1v .m2v), FLIC\n"
    "(.flc .fli), GIF (animated or still, 8 bits: one palette over the whole run,\n"
    "changed rectangles only), BMP, TGA, PCX, TIFF, JPEG, PNG, SGI (.rgb .sgi), Sun\n"
    "raster (.ras), PPM (.ppm .pnm), XPM, WAV, Ogg Vorbis; read only PGM, Bayer raw\n"
    "(.bay) and MPEG audio (.mp3 .mpa); write only MPEG audio layer II (.mp2).\n"
    "Through FFmpeg: read and write MP4 (.mp4 .m4v; H.264 and AAC written, .mov\n"
    "read too) and WebM (.webm; VP9 and Opus written, .mkv read too); read MPEG\n"
    "transport streams (.ts .m2ts .mts). The first video and sound streams are\n"
    "used; rotation recorded in the file is applied.\n"
    "Codecs (--codec): TGA, SGI, Sun raster 0 plain / 1 RLE; PNM 0 binary / 1 ASCII;\n"
    "HAV 0 BEST / 1 FAST; PNG level 0..9; TIFF 1 none, 5 LZW, 7 JPEG, 32773\n"
    "PackBits, 32946 Deflate; MPEG 1 or 2; AVI a four-character code (cvid, MJPG...).\n"
    "\n"
    "Ctrl-C stops the run and keeps what was written. Exit status: 0 success,\n"
    "1 invalid output file, 2 aborted, 3 conversion error or skipped inputs,\n"
    "4 unexpected failure, 64 usage error.\n";

typedef struct Options {
  int width, height, bpp, dither, compatible, keep, quiet;
  double rate, source_rate;
  const char* audio;
  const char* audio_out;
  int aud_rate, aud_chan, aud_bits;
  const char* codec;
  int quality;
  int data_rate, key_frames;
  int refine;
  int palette_mode; /* -1: not given */
  int loops;        /* -1: not given */
  int threads;
  const char* trace;
  int dialog;
  /* adjustments and filters */
  int gamma, brightness, contrast, balance;
  double gam[3];
  int bri[3], con[3], bal[3];
  char filters[32]; /* 's'often, 'h'arpen, 'e'dge in the order given */
  int filter_count;
  /* text overlay */
  const char* text;
  const char* font;
  int font_size, text_style, text_x, text_y, text_shadow, text_opaque, text_back_set;
  uint32_t text_color, text_back;
} Options;

static char** g_inputs;
static char g_text_cp[1024]; /* the caption in Windows-1252 */
static VekTextParams* g_text;
static int g_input_count;
static Options g_opt;
static volatile sig_atomic_t g_interrupted;
static int g_skipped;       /* inputs left out: unreadable, unknown, or matching nothing */
static int g_current = -1;  /* the video block being read */
static int g_tty;
static int g_total_frames;

static void OnSignal(int sig) {
  (void)sig;
  g_interrupted = 1;
}

static void AddInput(const char* name) {
  char** grown = realloc(g_inputs, sizeof(char*) * (size_t)(g_input_count + 1));
  if (!grown) {
    fprintf(stderr, "vekconv: out of memory\n");
    exit(4);
  }
  g_inputs = grown;
  g_inputs[g_input_count++] = strdup(name);
}

static int FileExists(const char* name) {
  struct stat st;
  return stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

/* frame%04d.bmp: from the lowest number found (0 or 1, or the first of the
   first 10000) until the first gap. */
static void AddSequence(const char* pattern) {
  char name[4096];
  int start = -1;
  for (int n = 0; n < 10000 && start < 0; ++n) {
    snprintf(name, sizeof name, pattern, n);
    if (FileExists(name)) start = n;
  }
  if (start < 0) {
    fprintf(stderr, "vekconv: no files match %s\n", pattern);
    ++g_skipped;
    return;
  }
  for (int n = start;; ++n) {
    snprintf(name, sizeof name, pattern, n);
    if (!FileExists(name)) break;
    AddInput(name);
  }
}

static int IsSequencePattern(const char* s) {
  const char* p = strchr(s, '%');
  if (!p) return 0;
  ++p;
  while (isdigit((unsigned char)*p)) ++p;
  return *p == 'd' && !strchr(p, '%');
}

static void AddWildcard(const char* spec) {
  VekList* list = VekListAlloc();
  if (!list) return;
  VekListAdd(list, spec, VEK_LIST_ANY);
  const int count = VekListGetFileCount(list);
  char name[264];
  for (int i = 0; i < count; ++i) {
    VekListGetName(list, i, name);
    AddInput(name);
  }
  VekListFree(list);
  if (count == 0) {
    fprintf(stderr, "vekconv: no files match %s\n", spec);
    ++g_skipped;
  }
}

static void VEKAPI VideoSource(VekJob* job, int32_t block) {
  if (g_interrupted) VekAbort(job);
  g_current = block;
  if (block >= 0 && block < g_input_count) {
    VekSrcSetFile(job, g_inputs[block]);
    if (g_opt.source_rate > 0) VekSrcSetFrameRate(job, g_opt.source_rate);
  } else {
    VekSrcFinished(job);
  }
}

/* An input the library cannot read is named, left out, and counted. */
static void VEKAPI OnError(VekJob* job, const char* path, int32_t* answer) {
  (void)job;
  (void)path;
  VekLastError e;
  char text[1100];
  VekGetLastError(&e);
  VekMakeErrorStr(&e, text);
  const char* name = g_current >= 0 && g_current < g_input_count ? g_inputs[g_current] : "input";
  if (g_tty && !g_opt.quiet) fprintf(stderr, "\r%60s\r", "");
  fprintf(stderr, "vekconv: skipped %s: %s\n", name, text);
  ++g_skipped;
  *answer = VEK_ANSWER_SKIP;
}

static void VEKAPI AudioSource(VekJob* job, int32_t block) {
  if (block == 0 && g_opt.audio)
    VekSrcSetFile(job, g_opt.audio);
  else
    VekSrcFinished(job);
}

static void VEKAPI Progress(VekJob* job, int32_t state, int32_t frames, int32_t samples) {
  if (g_interrupted) VekAbort(job);
  if (g_opt.quiet || !g_tty) return;
  const char* what = state == VEK_STATE_PALETTE ? "palette" : state == VEK_STATE_SAVING ? "saving " : "       ";
  if (state == VEK_STATE_IDLE) {
    fprintf(stderr, "\r%60s\r", "");
    return;
  }
  int width = 30, filled = g_total_frames > 0 ? (int)((long long)frames * width / g_total_frames) : 0;
  if (filled > width) filled = width;
  char bar[64];
  memset(bar, '#', (size_t)filled);
  memset(bar + filled, '.', (size_t)(width - filled));
  bar[width] = '\0';
  fprintf(stderr, "\r%s [%s] %d/%d frames, %d samples", what, bar, frames, g_total_frames, samples);
  fflush(stderr);
}

static int ExitCode(int status) {
  switch (status) {
    case VEK_STATUS_OK: return 0;
    case VEK_STATUS_INVALID_OUTPUT: return 1;
    case VEK_STATUS_ABORTED: return 2;
    case VEK_STATUS_ERROR: return 3;
    default: return 4;
  }
}

static int Info(const char* file) {
  VekList* list = VekListAlloc();
  if (!list) return 4;
  if (VekListAdd(list, file, 0) != 1) {
    printf("%s: not a file libvek can read\n", file);
    VekListFree(list);
    return 3;
  }
  int32_t w = 0, h = 0, bpp = 0, rate = 0, chan = 0, bits = 0;
  VekListGetMaxRes(list, &w, &h, &bpp);
  VekListGetAudioFormat(list, &rate, &chan, &bits);
  const int32_t frames = VekListGetFrameCount(list);
  const int32_t samples = VekListGetSampleCount(list);
  /* The list's size is a floor for a conversion (at least 4x4); the file's
     own size is what it holds. */
  VekFileInfo fi;
  memset(&fi, 0, sizeof fi);
  VekGetFileInfo(file, &fi, 0);
  if (fi.imagesValid && fi.width > 0 && fi.height > 0) {
    w = fi.width;
    h = fi.height;
  }
  printf("%s\n", file);
  if (frames > 0) printf("  images: %d frame(s), %dx%d, %d bits per pixel\n", frames, w, h, bpp);
  if (samples > 0)
    printf("  sound:  %d samples, %d Hz, %d channel(s), %d bits\n", samples,
           fi.soundValid && fi.sampleRate > 0 ? (int)fi.sampleRate : rate,
           fi.soundValid && fi.channels > 0 ? fi.channels : chan, bits);
  if (fi.formatName[0]) printf("  format: %s\n", fi.formatName);
  if (frames > 0 && fi.compression[0]) printf("  video:  %s, %.3f fps\n", fi.compression, fi.fps);
  if (samples > 0 && fi.soundFormat[0]) printf("  audio:  %s\n", fi.soundFormat);
  if (frames <= 0 && samples <= 0) printf("  no images or sound\n");
  VekListFree(list);
  return 0;
}

static int ParseSize(const char* s, int* w, int* h) { return sscanf(s, "%dx%d", w, h) == 2 && *w > 0 && *h > 0; }

static int Usage(const char* what) {
  fprintf(stderr, "vekconv: %s\n", what);
  return 64;
}

static const char* NeedArg(int argc, char** argv, int* i) {
  if (*i + 1 >= argc) {
    fprintf(stderr, "vekconv: %s needs a value\n%s", argv[*i], kUsage);
    exit(64);
  }
  return argv[++*i];
}

/* One value for all three channels, or R,G,B. */
static int ParseTriple(const char* s, double v[3]) {
  int n = sscanf(s, "%lf,%lf,%lf", &v[0], &v[1], &v[2]);
  if (n == 1) v[1] = v[2] = v[0];
  return n == 1 || n == 3;
}

static int ParseIntTriple(const char* s, int out[3], int lo, int hi) {
  double v[3];
  if (!ParseTriple(s, v)) return 0;
  for (int k = 0; k < 3; ++k) {
    if (v[k] < lo || v[k] > hi) return 0;
    out[k] = (int)v[k];
  }
  return 1;
}

static int ParseStyle(const char* s) {
  int style = 0;
  char buf[64];
  snprintf(buf, sizeof buf, "%s", s);
  for (char* t = strtok(buf, ","); t; t = strtok(NULL, ",")) {
    if (!strcmp(t, "bold")) style |= 1;
    else if (!strcmp(t, "italic")) style |= 2;
    else if (!strcmp(t, "underline")) style |= 4;
    else if (!strcmp(t, "strike")) style |= 8;
    else return -1;
  }
  return style;
}

/* Windows colour value (red in the low byte) from RRGGBB. */
static int ParseColor(const char* s, uint32_t* out) {
  char* end;
  unsigned long v = strtoul(s[0] == '#' ? s + 1 : s, &end, 16);
  if (*end || v > 0xFFFFFF) return 0;
  *out = (uint32_t)VekRGB((int32_t)(v >> 16), (int32_t)(v >> 8), (int32_t)v);
  return 1;
}

/* Unicode code points of Windows-1252 bytes 0x80..0x9F (0: unassigned). */
static const uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

/* Length of the UTF-8 sequence at s and its code point; 0 when it is not
   well-formed (overlong, surrogate, beyond U+10FFFF or cut short). */
static int Utf8Next(const unsigned char* s, uint32_t* cp) {
  const unsigned char c = s[0];
  int n;
  uint32_t v, min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  if ((c & 0xE0) == 0xC0) n = 2, v = c & 0x1F, min = 0x80;
  else if ((c & 0xF0) == 0xE0) n = 3, v = c & 0x0F, min = 0x800;
  else if ((c & 0xF8) == 0xF0) n = 4, v = c & 0x07, min = 0x10000;
  else return 0;
  for (int k = 1; k < n; ++k) {
    if ((s[k] & 0xC0) != 0x80) return 0;
    v = v << 6 | (s[k] & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

/* The library draws Windows-1252 bytes; a command line brings UTF-8. Text
   that is not UTF-8 at all is taken as Windows-1252 already. */
static void ToCp1252(const char* in, char* out, size_t size) {
  const unsigned char* s = (const unsigned char*)in;
  uint32_t cp;
  for (size_t i = 0; s[i];) {
    const int n = Utf8Next(s + i, &cp);
    if (n == 0) {
      snprintf(out, size, "%s", in);
      return;
    }
    i += (size_t)n;
  }
  size_t o = 0;
  for (size_t i = 0; s[i] && o + 1 < size;) {
    i += (size_t)Utf8Next(s + i, &cp);
    unsigned char b = '?';
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
      b = (unsigned char)cp;
    } else {
      for (int k = 0; k < 32; ++k)
        if (kCp1252High[k] != 0 && kCp1252High[k] == cp) b = (unsigned char)(0x80 + k);
    }
    out[o++] = (char)b;
  }
  out[o] = '\0';
}

/* Frames the run is to write: every readable input's frames, scaled by the
   rate change when the play time is kept. A still-image output numbers its
   files when this is above 1, so a movie input gets out00.tga, out01.tga,
   ... instead of one file written over and over. */
static int ExpectedFrames(void) {
  double total = 0;
  for (int i = 0; i < g_input_count; ++i) {
    VekFileInfo fi;
    memset(&fi, 0, sizeof fi);
    VekGetFileInfo(g_inputs[i], &fi, 0);
    if (!fi.imagesValid || fi.frameCount <= 0) continue;
    const double src = g_opt.source_rate > 0 ? g_opt.source_rate : fi.fps > 0 ? fi.fps : g_opt.rate;
    if (g_opt.keep && src > 0 && g_opt.rate > 0)
      total += fi.frameCount * g_opt.rate / src;
    else
      total += fi.frameCount;
  }
  /* Rounded up: a sequence one frame too long in its digits beats a file
     written twice. */
  const double frames = total - 1e-6 > 0 ? total - 1e-6 : 0;
  return frames >= 2147483647.0 ? 2147483647 : (int)frames + (frames > (int)frames ? 1 : 0);
}

/* The function stage: adjustments, filters, then the text. */
static void VEKAPI VideoFunc(VekJob* job, VekImage* image, int32_t frame) {
  (void)job;
  const Options* o = &g_opt;
  if (o->gamma) VekImgGamma(image, o->gam[0], o->gam[1], o->gam[2]);
  if (o->brightness) VekImgBrightness(image, o->bri[0], o->bri[1], o->bri[2]);
  if (o->contrast) VekImgContrast(image, o->con[0], o->con[1], o->con[2]);
  if (o->balance) VekImgWhiteBalance(image, o->bal[0], o->bal[1], o->bal[2]);
  for (int k = 0; k < o->filter_count; ++k) {
    if (o->filters[k] == 's') VekImgSoften(image);
    else if (o->filters[k] == 'h') VekImgSharpen(image);
    else VekImgEdgeEnhance(image);
  }
  if (g_text) {
    char line[1100];
    const char* text = g_text_cp;
    if (strstr(text, "%d")) {
      /* Only the first %d is a number; the rest of the text is taken as it is. */
      const char* at = strstr(text, "%d");
      snprintf(line, sizeof line, "%.*s%d%s", (int)(at - text), text, (int)frame, at + 2);
    } else {
      snprintf(line, sizeof line, "%s", text);
    }
    VekTextOut(image, g_text, o->text_x, o->text_y, line);
  }
}

int main(int argc, char** argv) {
  Options* o = &g_opt;
  o->text_x = o->text_y = 8;
  o->font_size = 12;
  o->text_color = 0xFFFFFF;
  o->bpp = 24;
  o->rate = 30.0;
  o->keep = 1;
  o->quality = -1;
  o->data_rate = -1;
  o->key_frames = -1;
  o->palette_mode = -1;
  o->loops = -1;
  o->aud_rate = 44100;
  o->aud_chan = 2;
  o->aud_bits = 16;
  const char* output = NULL;
  /* Pictures as they are shown, unless asked otherwise (before --info). */
  VekExtSetAutoOrient(1);
  /* vekconv offers every format the library has, its own extensions too. */
  VekExtSetFormats(-1);
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
      fputs(kUsage, stdout);
      return 0;
    } else if (!strcmp(a, "--stored-orientation")) {
      VekExtSetAutoOrient(0);
    } else if (!strcmp(a, "--info")) {
      return Info(NeedArg(argc, argv, &i));
    } else if (!strcmp(a, "-s") || !strcmp(a, "--size")) {
      if (!ParseSize(NeedArg(argc, argv, &i), &o->width, &o->height)) {
        fprintf(stderr, "vekconv: size must be WIDTHxHEIGHT\n");
        return 64;
      }
    } else if (!strcmp(a, "-b") || !strcmp(a, "--bpp")) {
      o->bpp = atoi(NeedArg(argc, argv, &i));
      if (o->bpp != 8 && o->bpp != 15 && o->bpp != 16 && o->bpp != 24 && o->bpp != 32) {
        fprintf(stderr, "vekconv: bits per pixel must be 8, 15, 16, 24 or 32\n");
        return 64;
      }
    } else if (!strcmp(a, "-d") || !strcmp(a, "--dither")) {
      o->dither = 1;
    } else if (!strcmp(a, "-r") || !strcmp(a, "--rate")) {
      o->rate = atof(NeedArg(argc, argv, &i));
    } else if (!strcmp(a, "--source-rate")) {
      o->source_rate = atof(NeedArg(argc, argv, &i));
    } else if (!strcmp(a, "--no-keep-duration")) {
      o->keep = 0;
    } else if (!strcmp(a, "-c") || !strcmp(a, "--compatible")) {
      o->compatible = 1;
    } else if (!strcmp(a, "-a") || !strcmp(a, "--audio")) {
      o->audio = NeedArg(argc, argv, &i);
    } else if (!strcmp(a, "--audio-out")) {
      o->audio_out = NeedArg(argc, argv, &i);
    } else if (!strcmp(a, "--audio-format")) {
      if (sscanf(NeedArg(argc, argv, &i), "%d,%d,%d", &o->aud_rate, &o->aud_chan, &o->aud_bits) != 3 ||
          o->aud_rate < 1000 || o->aud_rate > 384000 || o->aud_chan < 1 || o->aud_chan > 2 ||
          (o->aud_bits != 8 && o->aud_bits != 16)) {
        fprintf(stderr, "vekconv: audio format must be RATE,CHANNELS,BITS with rate 1000..384000,"
                        " 1 or 2 channels, 8 or 16 bits\n");
        return 64;
      }
    } else if (!strcmp(a, "--codec")) {
      o->codec = NeedArg(argc, argv, &i);
    } else if (!strcmp(a, "--quality")) {
      o->quality = atoi(NeedArg(argc, argv, &i));
    } else if (!strcmp(a, "--data-rate")) {
      o->data_rate = atoi(NeedArg(argc, argv, &i));
      if (o->data_rate < 0) return Usage("--data-rate needs a number of kilobits per second");
    } else if (!strcmp(a, "--key-frames")) {
      o->key_frames = atoi(NeedArg(argc, argv, &i));
      if (o->key_frames < 0) return Usage("--key-frames needs a number of frames");
    } else if (!strcmp(a, "--palette")) {
      const char* m = NeedArg(argc, argv, &i);
      if (!strcmp(m, "auto"))
        o->palette_mode = 0;
      else if (!strcmp(m, "optimiser") || !strcmp(m, "optimizer"))
        o->palette_mode = 1;
      else if (!strcmp(m, "histogram"))
        o->palette_mode = 2;
      else {
        fprintf(stderr, "vekconv: palette mode must be auto, optimiser or histogram\n");
        return 64;
      }
    } else if (!strcmp(a, "--loop")) {
      char* end = NULL;
      const long n = strtol(NeedArg(argc, argv, &i), &end, 10);
      if (!end || *end || n < 0 || n > 65536) {
        fprintf(stderr, "vekconv: --loop takes 0..65536\n");
        return 64;
      }
      o->loops = (int)n;
    } else if (!strcmp(a, "--refine-palette")) {
      o->refine = atoi(NeedArg(argc, argv, &i));
      if (o->refine < 1 || o->refine > 16) {
        fprintf(stderr, "vekconv: refinement passes must be 1..16\n");
        return 64;
      }
    } else if (!strcmp(a, "--threads")) {
      o->threads = atoi(NeedArg(argc, argv, &i));
      if (o->threads < 1 || o->threads > 64) {
        fprintf(stderr, "vekconv: threads must be 1..64\n");
        return 64;
      }
    } else if (!strcmp(a, "--trace")) {
      o->trace = NeedArg(argc, argv, &i);
    } else if (!strcmp(a, "--dialog")) {
      o->dialog = 1;
    } else if (!strcmp(a, "--gamma")) {
      o->gamma = ParseTriple(NeedArg(argc, argv, &i), o->gam);
      for (int k = 0; k < 3 && o->gamma; ++k) o->gamma = o->gam[k] >= 0.01 && o->gam[k] <= 5.0;
      if (!o->gamma) return Usage("gamma must be 0.01..5, or R,G,B");
    } else if (!strcmp(a, "--brightness")) {
      if (!(o->brightness = ParseIntTriple(NeedArg(argc, argv, &i), o->bri, -100, 100)))
        return Usage("brightness must be -100..100, or R,G,B");
    } else if (!strcmp(a, "--contrast")) {
      if (!(o->contrast = ParseIntTriple(NeedArg(argc, argv, &i), o->con, -100, 100)))
        return Usage("contrast must be -100..100, or R,G,B");
    } else if (!strcmp(a, "--white-balance")) {
      if (!(o->balance = ParseIntTriple(NeedArg(argc, argv, &i), o->bal, 0, 255)))
        return Usage("white balance must be R,G,B with 0..255 each");
    } else if (!strcmp(a, "--soften") || !strcmp(a, "--sharpen") || !strcmp(a, "--edge-enhance")) {
      if (o->filter_count >= (int)sizeof o->filters) return Usage("too many filters");
      o->filters[o->filter_count++] = a[2] == 's' ? (a[3] == 'o' ? 's' : 'h') : 'e';
    } else if (!strcmp(a, "--text")) {
      o->text = NeedArg(argc, argv, &i);
    } else if (!strcmp(a, "--font")) {
      o->font = NeedArg(argc, argv, &i);
    } else if (!strcmp(a, "--font-size")) {
      o->font_size = atoi(NeedArg(argc, argv, &i));
      if (o->font_size < 1 || o->font_size > 500) return Usage("font size must be 1..500 points");
    } else if (!strcmp(a, "--text-style")) {
      if ((o->text_style = ParseStyle(NeedArg(argc, argv, &i))) < 0)
        return Usage("text style takes bold, italic, underline, strike");
    } else if (!strcmp(a, "--text-pos")) {
      if (sscanf(NeedArg(argc, argv, &i), "%d,%d", &o->text_x, &o->text_y) != 2)
        return Usage("text position must be X,Y");
    } else if (!strcmp(a, "--text-color")) {
      if (!ParseColor(NeedArg(argc, argv, &i), &o->text_color)) return Usage("text colour must be RRGGBB");
    } else if (!strcmp(a, "--text-shadow")) {
      o->text_shadow = 1;
    } else if (!strcmp(a, "--text-border")) {
      o->text_shadow = 2;
    } else if (!strcmp(a, "--text-opaque")) {
      o->text_opaque = 1;
    } else if (!strcmp(a, "--text-background")) {
      if (!ParseColor(NeedArg(argc, argv, &i), &o->text_back)) return Usage("text background must be RRGGBB");
      o->text_back_set = 1;
    } else if (!strcmp(a, "-q") || !strcmp(a, "--quiet")) {
      o->quiet = 1;
    } else if (a[0] == '-' && a[1] != '\0') {
      fprintf(stderr, "vekconv: unknown option %s\n%s", a, kUsage);
      return 64;
    } else if (!output) {
      output = a;
    } else if (IsSequencePattern(a)) {
      AddSequence(a);
    } else if (strpbrk(a, "*?")) {
      AddWildcard(a);
    } else {
      AddInput(a);
    }
  }
  if (!output || (g_input_count == 0 && !o->audio)) {
    fprintf(stderr, "%s", kUsage);
    return 64;
  }
  g_tty = isatty(STDERR_FILENO);
  g_total_frames = ExpectedFrames();

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);

  if (o->trace) VekLogStart(o->trace, -1);
  VekJob* job = VekAlloc();
  if (!job) {
    fprintf(stderr, "vekconv: cannot create a conversion job\n");
    return 4;
  }
  if (o->width > 0) VekSetResolution(job, o->width, o->height);
  VekSetBpp(job, o->bpp);
  VekEnableDithering(job, o->dither ? -1 : 0);
  VekSetFrameRate(job, o->rate, o->keep ? -1 : 0);
  VekForceCompatibility(job, o->compatible ? -1 : 0);
  VekSetAudioFormat(job, o->aud_rate, o->aud_chan, o->aud_bits);
  const char* sound_out = o->audio ? (o->audio_out ? o->audio_out : output) : NULL;
  VekSetOutputFile(job, g_input_count > 0 ? output : NULL, sound_out);
  /* A still-image output of several frames becomes a numbered sequence. */
  if (g_total_frames > 1) job->outFrames = g_total_frames;
  if (o->codec) {
    int32_t code;
    if (isdigit((unsigned char)o->codec[0]))
      code = (int32_t)strtol(o->codec, NULL, 0);
    else {
      char fcc[4] = {' ', ' ', ' ', ' '};
      for (int k = 0; k < 4 && o->codec[k]; ++k) fcc[k] = o->codec[k];
      code = (int32_t)((uint32_t)(unsigned char)fcc[0] | (uint32_t)(unsigned char)fcc[1] << 8 |
                       (uint32_t)(unsigned char)fcc[2] << 16 | (uint32_t)(unsigned char)fcc[3] << 24);
    }
    VekSetCodec(job, job->vidFmt, code);
  }
  if (o->quality >= 0) {
    VekSetQuality(job, job->vidFmt, o->quality);
    if (job->audFmt != VEK_UNDEFINED) VekSetQuality(job, job->audFmt, o->quality);
  }
  /* The data rate is set in kilobytes per second (kilobits / 8); a quality
     without a data rate asks MP4 and WebM for constant quality (rate 0). */
  if (o->data_rate >= 0)
    VekSetDataRate(job, job->vidFmt, (o->data_rate + 4) / 8);
  else if (o->quality >= 0 && (job->vidFmt == 20 || job->vidFmt == 21)) /* MP4, WebM */
    VekSetDataRate(job, job->vidFmt, 0);
  if (o->key_frames >= 0) VekSetKeyFrameRate(job, job->vidFmt, o->key_frames);
  if (o->refine > 0) VekExtSetPaletteRefinement(o->refine);
  if (o->palette_mode >= 0) VekExtSetPaletteMode(o->palette_mode);
  if (o->loops >= 0) VekExtSetLoopCount(o->loops);
  if (o->threads > 0) VekExtSetThreads(o->threads);
  if (g_input_count > 0) VekAssignVideoSource(job, VideoSource);
  if (o->text) {
    g_text = VekTextAlloc();
    if (!g_text) {
      fprintf(stderr, "vekconv: cannot set up the text\n");
      VekFree(job);
      return 4;
    }
    VekTextSetFont(g_text, o->font ? o->font : "Arial", o->font_size, o->text_style);
    ToCp1252(o->text, g_text_cp, sizeof g_text_cp);
    /* Unless chosen, the box is black behind light text and white behind
       dark text (by the text's luma), so an opaque caption stays readable. */
    if (!o->text_back_set) {
      const uint32_t c = o->text_color;
      const unsigned luma = (299u * (c & 0xFF) + 587u * ((c >> 8) & 0xFF) + 114u * ((c >> 16) & 0xFF)) / 1000u;
      o->text_back = luma >= 128 ? 0x000000 : 0xFFFFFF;
    }
    VekTextSetColor(g_text, (int32_t)o->text_color, 0, (int32_t)o->text_back, o->text_opaque ? 0 : -1);
    VekTextShadow(g_text, o->text_shadow, 2, 2);
    if (o->text_shadow == 2) VekTextShadow(g_text, 2, 1, 1);
  }
  if (o->gamma || o->brightness || o->contrast || o->balance || o->filter_count || g_text)
    VekAssignVideoFunc(job, VideoFunc);
  if (o->dialog) {
    VekList* list = VekListAlloc();
    for (int k = 0; k < g_input_count; ++k) VekListAdd(list, g_inputs[k], VEK_LIST_ANY);
    const int32_t ok = VekOutputDlg(job, list, "vekconv: output settings", -1);
    VekLastError e;
    VekGetLastError(&e); /* before the next call replaces it */
    VekListFree(list);
    if (!ok) {
      char why[1100];
      e.status = VEK_STATUS_ERROR;
      VekMakeErrorStr(&e, why);
      fprintf(stderr, "vekconv: output settings %s\n", e.group ? why : "cancelled");
      VekTextFree(g_text);
      VekFree(job);
      return 2;
    }
  }
  if (o->audio) VekAssignAudioSource(job, AudioSource);
  VekAssignProgress(job, Progress);
  VekAssignError(job, OnError);

  const int32_t status = VekConvert(job);
  VekLastError err;
  VekGetLastError(&err);
  err.status = status;
  char text[1100];
  VekMakeErrorStr(&err, text);
  char elapsed[32];
  VekMakeTimeStr(VekGetElapsedTime(job), elapsed);
  const int frames = job->doneFrames;
  const int samples = job->doneSamples;
  VekFree(job);
  VekTextFree(g_text);
  if (o->trace) VekLogStop();
  /* Skipped inputs end the run in their error; the summary says what was
     written and what was left out, and the status is not 0. */
  const int only_skips = status == VEK_STATUS_ERROR && g_skipped > 0;
  if (status != VEK_STATUS_OK && !only_skips) fprintf(stderr, "vekconv: %s\n", text);
  if (status == VEK_STATUS_OK || only_skips || !o->quiet) {
    fprintf(stderr, "vekconv: wrote %d frame(s)", frames);
    if (o->audio) fprintf(stderr, " and %d sound sample(s)", samples);
    fprintf(stderr, " to %s in %s", output, elapsed);
    if (g_skipped > 0) fprintf(stderr, "; skipped %d input(s)", g_skipped);
    fputc('\n', stderr);
  }
  for (int i = 0; i < g_input_count; ++i) free(g_inputs[i]);
  free(g_inputs);
  if (status == VEK_STATUS_OK && g_skipped > 0) return 3;
  return ExitCode(status);
}
