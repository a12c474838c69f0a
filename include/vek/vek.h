/* libvek: media conversion library, flat C interface.

   Ownership in short: the host owns its job records (VekAlloc to VekFree),
   file lists (VekListAlloc to VekListFree) and every buffer it passes in;
   the library copies what a source hands it and never keeps a host pointer
   past the call, except the callbacks assigned to a job. Every call sets the
   status that VekGetLastError reports: 0 success, 1000 with an error pair
   (VekMakeErrorStr names it). Texts are zero-terminated, names at most 255
   characters (longer ones are cut). Calls come from one thread at a time; a
   second VekConvert while one runs is refused. */
#ifndef VEK_VEK_H
#define VEK_VEK_H

#include <stddef.h>
#include <stdint.h>

/* The library's version and file name (libvek-2.3.2.so / libvek-2.3.2.dll). */
#define VEK_VERSION_MAJOR 2
#define VEK_VERSION_MINOR 3
#define VEK_VERSION_PATCH 2
#define VEK_LIBRARY_NAME "libvek-2.3.2"

#if defined(_WIN32) && !defined(_WIN64)
#define VEKAPI __stdcall
#else
#define VEKAPI
#endif

/* Exported while the library is built, imported by hosts of the shared
   library; define VEK_STATIC to link the static library. */
#if defined(_WIN32)
#if defined(VEK_BUILDING_LIBRARY)
#define VEK_EXPORT __declspec(dllexport)
#elif defined(VEK_STATIC)
#define VEK_EXPORT
#else
#define VEK_EXPORT __declspec(dllimport)
#endif
#elif defined(VEK_BUILDING_LIBRARY)
#define VEK_EXPORT __attribute__((visibility("default")))
#else
#define VEK_EXPORT
#endif

/* Layout checks for C and C++ hosts alike. */
#if defined(__cplusplus)
#define VEK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define VEK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define VEK_STATIC_ASSERT(cond, msg)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Not set, unknown, none or invalid handle. */
#define VEK_UNDEFINED ((int32_t)-1357902468) /* 0xAF100D7C */

/* Status codes of the last exported call. */
#define VEK_STATUS_OK 0              /* "Finished successfully." */
#define VEK_STATUS_INVALID_OUTPUT 1  /* "Invalid output file." */
#define VEK_STATUS_ABORTED 2         /* "Operation aborted by the user." */
#define VEK_STATUS_UNKNOWN 999       /* "Unknown error." */
#define VEK_STATUS_ERROR 1000        /* an error pair was recorded */

#define VEK_NAME_MAX 255

/* Texts inside records: a length byte and up to 255 characters. */
typedef struct VekShortStr {
  uint8_t len;
  char text[VEK_NAME_MAX];
} VekShortStr;

/* Wave format: 18 bytes, little-endian, packed (the WAVEFORMATEX layout). */
#pragma pack(push, 1)
typedef struct VekWaveFormat {
  uint16_t formatTag; /* 1 = PCM */
  uint16_t channels;
  uint32_t samplesPerSec;
  uint32_t avgBytesPerSec;
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;
} VekWaveFormat;
#pragma pack(pop)

/* The AVI compressor choice inside the save options. */
typedef struct VekAviCodecSettings {
  uint32_t handler; /* four-character code, first character in the low byte */
  int32_t quality;
  int32_t keyFrameRate;
  int32_t dataRate;
} VekAviCodecSettings;

/* Per-format save options, kept side by side. */
typedef struct VekSaveOpts {
  int32_t resetFlag;
  int32_t dialog;
  int32_t format;
  int32_t prepCodec, prepQuality, prepDataRate, prepKeyFrameRate;
  int32_t tgaCodec;
  int32_t tiffCompression;
  int32_t sgiCodec;
  int32_t rasCodec;
  int32_t pnmAscii;
  int32_t havCodec;
  int32_t pngLevel;
  int32_t mpegCodec;
  VekAviCodecSettings avi;
  int32_t jpegQuality;
  int32_t havKeyFrameRate;
  int32_t mpegDataRate; /* the value given times 8 */
} VekSaveOpts;

typedef struct VekStopwatch {
  double elapsed;
  uint16_t hours, minutes, seconds, milliseconds;
  double startTime;
  uint32_t startTicks;
} VekStopwatch;

typedef struct VekAviInfoEntry {
  char id[5];                   /* up to 4 characters, zero-terminated */
  char value[VEK_NAME_MAX + 1]; /* zero-terminated */
} VekAviInfoEntry;

typedef struct VekJob VekJob;

/* Image record: rows top-down without padding; 24-bit pixels blue, green,
   red; palette entries blue, green, red. */
typedef struct VekImage {
  uint8_t* pixels;
  int32_t size; /* width * height * bytespp */
  int32_t width;
  int32_t height;
  int32_t bytespp;
  int32_t bits; /* 8, 15, 16, 24 or 32 */
  uint8_t palette[768];
  int32_t external; /* nonzero: the pixels belong to the host */
} VekImage;

/* Sound buffer: interleaved sample frames. */
typedef struct VekSound {
  uint8_t* data;
  int32_t capacity;    /* bytes allocated */
  int32_t sampleCount; /* sample frames held */
  VekWaveFormat format;
} VekSound;

/* Host callbacks; their results are ignored. */
typedef void(VEKAPI* VekSourceProc)(VekJob* job, int32_t block);
typedef void(VEKAPI* VekVideoFuncProc)(VekJob* job, VekImage* image, int32_t frame);
typedef void(VEKAPI* VekAudioFuncProc)(VekJob* job, VekSound* sound, int32_t sample);
typedef void(VEKAPI* VekProgressProc)(VekJob* job, int32_t state, int32_t doneFrames,
                                      int32_t doneSamples);
typedef void(VEKAPI* VekErrorProc)(VekJob* job, const char* path, int32_t* answer);

/* The conversion job record. Hosts treat it as opaque and use the exports. */
struct VekJob {
  int32_t outFrames;
  int32_t vidFmt;
  VekShortStr vidFile;
  int32_t width;
  int32_t height;
  int32_t sourceRes;
  int32_t bpp;
  int32_t dither;
  double frameRate;
  int32_t keepDuration;
  int32_t direction;
  int32_t compatible;
  VekSaveOpts saveOpts;
  int32_t audFmt;
  VekShortStr audFile;
  VekWaveFormat audFormat;
  VekSourceProc onVideoSource;
  VekVideoFuncProc onVideoFunc;
  VekSourceProc onAudioSource;
  VekAudioFuncProc onAudioFunc;
  VekProgressProc onProgress;
  VekErrorProc onError;
  int32_t activeKind;
  void* srcRequest;
  void* funcRequest;
  int32_t curFrame;
  int32_t curSample;
  int32_t needPalette;
  int32_t abortFlag;
  VekStopwatch stopwatch;
  int32_t state;
  double elapsed;
  int32_t doneFrames;
  int32_t doneSamples;
  VekAviInfoEntry aviInfo[16];
  int32_t aviInfoCount;
};

/* The library's status record: the last exported call's status and error pair. */
typedef struct VekLastError {
  int32_t status;
  int32_t group;
  int32_t code;
} VekLastError;

/* Job and output settings. A job is allocated by VekAlloc and freed by
   VekFree (refused while it converts); every call on a null, freed or
   foreign job fails with "Invalid job handle.". Settings made while a run is
   active are ignored. */
/* A new job with the default settings, or NULL when memory is short. */
VEK_EXPORT VekJob* VEKAPI VekAlloc(void);
VEK_EXPORT void VEKAPI VekFree(VekJob* job);
/* The output file names; the extensions choose the formats (an unknown one
   makes VekConvert answer VEK_STATUS_INVALID_OUTPUT). Either may be NULL. A
   still-image output of several frames becomes a numbered sequence. Without
   a sound name, or with one whose extension names no sound format, the
   sound goes into the video file when its format carries sound (AVI, MPEG,
   HAV), as when both names are equal; otherwise no sound is written and
   none is counted in doneSamples. */
VEK_EXPORT void VEKAPI VekSetOutputFile(VekJob* job, const char* videoFile, const char* soundFile);
/* Output frames per second; keepDuration nonzero keeps the play time of
   sources at other rates by repeating or dropping frames. */
VEK_EXPORT void VEKAPI VekSetFrameRate(VekJob* job, double fps, int32_t keepDuration);
/* Output size, each side clamped to 4..4096. */
VEK_EXPORT void VEKAPI VekSetResolution(VekJob* job, int32_t width, int32_t height);
/* Output depth: 8, 15, 16, 24 or 32; other values are ignored. 8 bits make
   the run build an optimised palette in a first pass. */
VEK_EXPORT void VEKAPI VekSetBpp(VekJob* job, int32_t bpp);
VEK_EXPORT void VEKAPI VekEnableDithering(VekJob* job, int32_t enable);
/* Sizes in multiples of 16, and Cinepak when the chosen codec refuses. */
VEK_EXPORT void VEKAPI VekForceCompatibility(VekJob* job, int32_t enable);
/* Output sound: rate in Hz, 1 or 2 channels, 8 or 16 bits. */
VEK_EXPORT void VEKAPI VekSetAudioFormat(VekJob* job, int32_t rate, int32_t channels, int32_t bits);
/* AVI INFO texts (ids of up to 4 characters, at most 16 entries). */
VEK_EXPORT int32_t VEKAPI VekAviClearCustomInfo(VekJob* job);
VEK_EXPORT void VEKAPI VekAviAddCustomInfo(VekJob* job, const char* id, const char* value);
/* Codec options of one output format (a format id); what each value means
   is the format's: a four-character code for AVI, a level for PNG, ... */
VEK_EXPORT void VEKAPI VekSetCodec(VekJob* job, int32_t format, int32_t codec);
VEK_EXPORT void VEKAPI VekSetQuality(VekJob* job, int32_t format, int32_t quality);
VEK_EXPORT void VEKAPI VekSetDataRate(VekJob* job, int32_t format, int32_t rate);
VEK_EXPORT void VEKAPI VekSetKeyFrameRate(VekJob* job, int32_t format, int32_t rate);

/* Sources and callbacks. The library calls the source callbacks for block
   0, 1, ...; the callback describes the block with the VekSrc... calls
   (valid only inside a source callback, else they do nothing) or ends the
   stream with VekSrcFinished. Callbacks run on the thread of VekConvert. */
VEK_EXPORT void VEKAPI VekAssignVideoSource(VekJob* job, VekSourceProc cb);
/* Sees every output frame before it is written; the image belongs to the
   run: change it in place, or set its size to 0 to drop the frame. */
VEK_EXPORT void VEKAPI VekAssignVideoFunc(VekJob* job, VekVideoFuncProc cb);
VEK_EXPORT void VEKAPI VekAssignAudioSource(VekJob* job, VekSourceProc cb);
VEK_EXPORT void VEKAPI VekAssignAudioFunc(VekJob* job, VekAudioFuncProc cb);
/* Called after every frame; may call VekAbort. */
VEK_EXPORT void VEKAPI VekAssignProgress(VekJob* job, VekProgressProc cb);
/* Asked when a source cannot be read or used; answers below. The path names
   the procedures that failed. Without one, the run stops on the error. */
VEK_EXPORT void VEKAPI VekAssignError(VekJob* job, VekErrorProc cb);
/* A still image, numbered sequence, movie or sound file; the name is copied. */
VEK_EXPORT void VEKAPI VekSrcSetFile(VekJob* job, const char* name);
/* An image in memory, copied (video side only). */
VEK_EXPORT void VEKAPI VekSrcSetImg(VekJob* job, VekImage* image);
/* bitmap: a bitmap handle (HBITMAP), copied (video side only). */
VEK_EXPORT void VEKAPI VekSrcSetDIB(VekJob* job, void* bitmap);
/* Raw pixels of 8 (with a 768-byte palette), 15, 16, 24 or 32 bits, rows
   top-down without padding; copied (video side only). */
VEK_EXPORT void VEKAPI VekSrcSetPixels(VekJob* job, const void* pixels, const void* palette,
                                       int32_t width, int32_t height, int32_t bpp);
/* Frame rate of the block, its direction (1 forward, -1 backwards), first
   frame (1-based; for sound the first sample) and length, or the same in
   seconds. */
VEK_EXPORT void VEKAPI VekSrcSetFrameRate(VekJob* job, double fps);
VEK_EXPORT void VEKAPI VekSrcSetDirection(VekJob* job, int32_t direction);
VEK_EXPORT void VEKAPI VekSrcSetStart(VekJob* job, int32_t first);
VEK_EXPORT void VEKAPI VekSrcSetLen(VekJob* job, int32_t count);
VEK_EXPORT void VEKAPI VekSrcSetStartTime(VekJob* job, double seconds);
VEK_EXPORT void VEKAPI VekSrcSetLenTime(VekJob* job, double seconds);
/* There are no more blocks. Returns the status. */
VEK_EXPORT int32_t VEKAPI VekSrcFinished(VekJob* job);

/* Error answers of the error callback. */
#define VEK_ANSWER_STOP 1   /* stop and delete the outputs */
#define VEK_ANSWER_KEEP 2   /* stop and keep what was written */
#define VEK_ANSWER_RETRY 3  /* repeat the failed step */
#define VEK_ANSWER_SKIP 4   /* leave the current source block; the run ends in the error */
/* any other answer: go on as if the step had succeeded */

/* Run states, as VekGetStatus and the progress callback report them. */
#define VEK_STATE_IDLE 0
#define VEK_STATE_STARTING 1
#define VEK_STATE_PALETTE 2
#define VEK_STATE_SAVING 3

/* The run. VekConvert returns the status: 0 done, 1 invalid output, 2
   aborted, 1000 an error (also when a source was skipped after an error
   question), 999 an unexpected fault. Text buffers: VekMakeTimeStr needs 32
   bytes, VekMakeErrorStr 1100. */
VEK_EXPORT int32_t VEKAPI VekConvert(VekJob* job);
/* Asks the running conversion to stop after the current frame, keeping
   what was written. */
VEK_EXPORT int32_t VEKAPI VekAbort(VekJob* job);
/* One of the VEK_STATE_ values; 0 for an invalid job. */
VEK_EXPORT int32_t VEKAPI VekGetStatus(VekJob* job);
/* Seconds since the run started (of the last run when idle). */
VEK_EXPORT double VEKAPI VekGetElapsedTime(VekJob* job);
/* "hh:mm:ss". */
VEK_EXPORT void VEKAPI VekMakeTimeStr(double seconds, char* buffer);
VEK_EXPORT void VEKAPI VekGetLastError(VekLastError* record);
VEK_EXPORT void VEKAPI VekMakeErrorStr(const VekLastError* record, char* buffer);
/* Shows the last error in a message box (on this platform: standard error). */
VEK_EXPORT void VEKAPI VekCheckError(void);
/* One call for a whole job: lists of sources (as VekListAdd takes them) into
   one output; VEK_UNDEFINED size or rate take the sources'. */
VEK_EXPORT int32_t VEKAPI VekQuickConvert(const char* output, const char* videoList,
                                          const char* audioList, int32_t width, int32_t height,
                                          double fps);
/* Starts a trace file (a bare name goes beside the program); traceCalls
   nonzero also traces every call. */
VEK_EXPORT void VEKAPI VekLogStart(const char* file, int32_t traceCalls);
VEK_EXPORT void VEKAPI VekLogStop(void);

/* Extension of this library, beyond the original interface: the palette of
   8-bit outputs (and of single images converted to 8 bits). 0, the default,
   builds it with the optimiser alone; 1 to 16 add that many refinement passes
   that move each entry to the mean of the colours it stands for and map every
   colour to its nearest entry: pictures about 0.3 to 0.6 dB closer to the
   source at some cost in time. Process-wide; clamps, stores and returns the
   value; VEK_UNDEFINED only queries. */
VEK_EXPORT int32_t VEKAPI VekExtSetPaletteRefinement(int32_t passes);

/* Extension of this library: the orientation a camera records. JPEG files
   (EXIF Orientation) and TIFF files (the Orientation tag) load in the order
   their rows are stored by default (0). Nonzero applies the recorded
   orientation while reading, as browsers do: mirrored, turned half round or
   a quarter round (all eight values), so the picture comes out upright; a
   quarter turn exchanges width and height, and file information reports
   the sides the picture loads with. Process-wide; nonzero is on, 0 off;
   VEK_UNDEFINED only queries; returns the current setting. */
VEK_EXPORT int32_t VEKAPI VekExtSetAutoOrient(int32_t on);
/* Extension of this library: the formats beyond the original tables. Off (the
   default), the reading and writing tables, format ids, codec counts, file
   lists and dialogs are exactly the original ones. On, extension rows follow
   the original rows in both tables: GIF (id 4) becomes writable (animations and
   still pictures), and new formats take ids from 20 on, read and written
   through FFmpeg: 20 MP4 (reads .mp4 .m4v .mov, writes .mp4 .m4v with H.264
   and AAC), 21 WebM (reads .webm .mkv, writes .webm with VP9 and Opus), 22
   MPEG transport streams (reads .ts .m2ts .mts). Their save options: the
   data rate (VekSetDataRate, kilobytes per second as for MPEG; 0 selects
   constant quality), the quality (VekSetQuality, 0..100, used at constant
   quality; default 85) and the key-frame interval (VekSetKeyFrameRate,
   frames; default 25).
   Process-wide; nonzero turns them on, 0 off, VEK_UNDEFINED only queries;
   returns -1 while on, else 0. */
VEK_EXPORT int32_t VEKAPI VekExtSetFormats(int32_t on);

/* Extension: the palette of 8-bit outputs. 0 (the default): GIF outputs get
   the histogram quantiser (a variance-minimising median cut over a colour
   histogram, then k-means passes; several dB closer to the source than the
   optimiser, 5 dB on a dithered photo), every other 8-bit output the
   optimiser; 1: the optimiser for every output; 2: the histogram quantiser
   for every 8-bit output while VekExtSetFormats is on. With dithering the
   quantiser diffuses three quarters of the error but keeps the pattern of
   pixels that did not change from the frame before. The GIF options dialog
   (VekCodecDlg) sets it too. Process-wide; clamps, stores and returns the
   value; VEK_UNDEFINED only queries. */
VEK_EXPORT int32_t VEKAPI VekExtSetPaletteMode(int32_t mode);
/* Extension: how often GIF animations play: 0 (the default) forever, 1 once,
   n (up to 65536) n times. Process-wide; clamps, stores and returns the value;
   VEK_UNDEFINED only queries. */
VEK_EXPORT int32_t VEKAPI VekExtSetLoopCount(int32_t count);
/* Extension of this library, beyond the original interface: the threads a
   conversion may use, the caller's included. By default all the machine's
   cores: codec libraries that thread themselves (the MPEG and AVI codec
   encoders) and the library's own Cinepak encoder spread their work over
   them. 1 does everything on the caller's thread. Host callbacks,
   progress, abort and errors stay on the caller's thread in any case, and
   the Cinepak and HAV files are the same bytes for every value; MPEG and
   libavcodec AVI codecs may cut pictures into more slices. Process-wide;
   clamps to 1..64, stores and returns the value; VEK_UNDEFINED only
   queries. */
VEK_EXPORT int32_t VEKAPI VekExtSetThreads(int32_t n);

/* ---- Images, sound buffers and small conversions ------------------------

   Image handles are VekImage records: from VekImgAlloc (freed by VekImgFree),
   the host's own, or the frame a video function callback receives. Sound
   handles likewise are VekSound records (VekSndAlloc, VekSndFree). A record
   may hold the host's own pixel memory (external nonzero): the library reads
   and writes it but never frees it, and an operation whose result has
   another size or depth gives the record pixels of the library's own.
   Every call sets the status (VekGetLastError). A null handle fails with
   "Invalid image handle." or "Invalid sound handle."; an operation on an
   image without pixels, or on a record whose fields disagree with its
   pixels, fails with "Image data corrupted.". Colours are Windows colour
   values (VekRGB: red in the low byte). Device contexts and bitmaps are
   Windows handles (HDC, HBITMAP) passed as pointers. */

/* Processing, in place. 8-bit images adjust their palette only; other
   depths, and every filter, give 24-bit results. Ranges: gamma 0.01..5.0
   (1.0 unchanged), brightness and contrast -100..100 (0 unchanged), white
   balance: the colour that becomes neutral, 0..255 each. The filters need
   images of at least 3 x 3 pixels. */
VEK_EXPORT void VEKAPI VekImgGamma(VekImage* image, double red, double green, double blue);
VEK_EXPORT void VEKAPI VekImgBrightness(VekImage* image, int32_t red, int32_t green, int32_t blue);
VEK_EXPORT void VEKAPI VekImgContrast(VekImage* image, int32_t red, int32_t green, int32_t blue);
VEK_EXPORT void VEKAPI VekImgWhiteBalance(VekImage* image, int32_t red, int32_t green, int32_t blue);
VEK_EXPORT void VEKAPI VekImgSoften(VekImage* image);
VEK_EXPORT void VEKAPI VekImgSharpen(VekImage* image);
VEK_EXPORT void VEKAPI VekImgEdgeEnhance(VekImage* image);
/* New size, each side 1 or more. Resize picks pixels (8-bit images stay
   8-bit), resample averages and interpolates (the result is 24-bit). The
   image's own size changes nothing. */
VEK_EXPORT void VEKAPI VekImgResize(VekImage* image, int32_t resX, int32_t resY);
VEK_EXPORT void VEKAPI VekImgResample(VekImage* image, int32_t resX, int32_t resY);
/* Grows the image by borders of the colour (each 0..4096; larger values are
   cut); the result is 24-bit. All borders 0 change nothing. */
VEK_EXPORT void VEKAPI VekImgBorder(VekImage* image, int32_t left, int32_t top, int32_t right,
                                    int32_t bottom, int32_t colour);
/* Passes every colour through three 256-byte tables; a NULL table leaves
   its channel unchanged. */
VEK_EXPORT void VEKAPI VekImgRemap(VekImage* image, const uint8_t* redP, const uint8_t* greenP,
                                   const uint8_t* blueP);
/* Copies source into dest with its top-left corner at (x, y), both 0 or
   more (negative offsets fail with "Out of range."), cut at dest's edges. A
   deeper source raises dest to its depth. */
VEK_EXPORT void VEKAPI VekImgInsert(VekImage* dest, VekImage* source, int32_t x, int32_t y);
/* Averaging of images of one size: clear, add each, then get the average
   (24 bits) into an image. Each returns the status; adding an image of
   another size fails with "Out of range.", getting before adding with
   "General image handling fault.". */
VEK_EXPORT int32_t VEKAPI VekImgAverageClear(void);
VEK_EXPORT int32_t VEKAPI VekImgAverageAdd(VekImage* image);
VEK_EXPORT int32_t VEKAPI VekImgAverageGet(VekImage* image);

/* Image records. VekImgAlloc gives an empty record (NULL when memory is
   short); VekImgFree frees its pixels and the record (NULL does nothing; a
   record of the host's own is only emptied). VekImgSkip empties a record
   and keeps it; returns the status. */
VEK_EXPORT VekImage* VEKAPI VekImgAlloc(void);
VEK_EXPORT void VEKAPI VekImgFree(VekImage* image);
VEK_EXPORT int32_t VEKAPI VekImgSkip(VekImage* image);
/* Loads a still image, or frame `frame` (0-based) of a movie, into the
   image; the file's content decides the format when its extension does
   not. Returns the status: "File not exist." when the file cannot be read
   as any format, "End of movie reached." beyond the last frame. */
VEK_EXPORT int32_t VEKAPI VekImgLoad(VekImage* image, const char* name, int32_t frame);
/* Writes the image; the extension chooses the format ("Invalid image
   format." when none matches). VekImgSave uses the process-wide codec
   settings of the format; VekImgSaveEx takes the format's defaults,
   replaced by codec and quality unless they are VEK_UNDEFINED (codec: as
   VekSetCodec takes it, e.g. the TIFF compression 1, 5, 7, 32773 or 32946,
   the PNG level 0..9; quality: JPEG 0..100), and leaves them as the
   process-wide settings. Return the status. */
VEK_EXPORT int32_t VEKAPI VekImgSave(VekImage* image, const char* name);
VEK_EXPORT int32_t VEKAPI VekImgSaveEx(VekImage* image, const char* name, int32_t codec,
                                       int32_t quality);
/* Copies source (when it holds pixels) into dest. */
VEK_EXPORT void VEKAPI VekImgCopy(VekImage* dest, VekImage* source);
/* Any output may be NULL. size = width x height x bytes per pixel; the
   pixel pointer is the record's own (valid until the image changes), the
   palette pointer its 768-byte palette (256 entries blue, green, red). */
VEK_EXPORT void VEKAPI VekImgGetInfo(VekImage* image, int32_t* width, int32_t* height, int32_t* bpp,
                                     int32_t* size, uint8_t** pixels, uint8_t** palette);
/* Copies the pixels (the size VekImgGetInfo reports, nothing for an image
   without pixels) and the 768 palette bytes into the host's buffers; either
   may be NULL. */
VEK_EXPORT void VEKAPI VekImgGetPixels(VekImage* image, void* pixels, void* palette);
/* Makes the image resX x resY at bpp (8, 15, 16, 24 or 32; "Out of range."
   or "Image format not supported." otherwise, the image unchanged) and
   copies resX x resY x bytes-per-pixel bytes of pixels, rows top-down
   without padding, and 768 palette bytes from the pointers that are not
   NULL. */
VEK_EXPORT void VEKAPI VekImgSetPixels(VekImage* image, int32_t resX, int32_t resY, int32_t bpp,
                                       const void* pixPtr, const void* palPtr);
/* Red, green and blue (0..255) of one pixel; -1 each outside the image or
   for an image without pixels. */
VEK_EXPORT void VEKAPI VekImgGetPixelRGB(VekImage* image, int32_t x, int32_t y, int32_t* r, int32_t* g,
                                         int32_t* b);

/* Windows bitmaps. VekImgToDIB makes a 24-bit DIB section (HBITMAP), freed
   with VekReleaseDIB (the system's DeleteObject result, 0 for NULL).
   VekImgToDIBWin3 makes a packed bitmap in one fixed global memory block
   (HGLOBAL; the header's size field reads 1064 for 8-bit images, whose
   256-entry colour table follows), freed with VekReleaseDIBWin3 (-1 when
   freed, else 0). Both return NULL on failure. VekDIBToImg copies a bitmap
   into the image ("Invalid bitmap handle." when it cannot be read). */
VEK_EXPORT void* VEKAPI VekImgToDIB(VekImage* image);
VEK_EXPORT int32_t VEKAPI VekReleaseDIB(void* bitmap);
VEK_EXPORT void* VEKAPI VekImgToDIBWin3(VekImage* image);
VEK_EXPORT int32_t VEKAPI VekReleaseDIBWin3(void* memory);
VEK_EXPORT void VEKAPI VekDIBToImg(VekImage* image, void* bitmap);
/* Raw Bayer sensor cells (2 x 2 cells of four bytes, resX x resY bytes, each
   side 2 or more): colorOrMono 1 gives an 8-bit grey image, any other value
   a 24-bit one; colorOrder nonzero takes red, blue, upper and lower green
   from cell bytes 1, 2, 0, 3, zero from 3, 0, 2, 1. An odd last row or
   column stays black. VekBayerLoad reads the first resX x resY bytes of a
   file and returns the status; VekBayerToImg reads them from pixPtr. */
VEK_EXPORT int32_t VEKAPI VekBayerLoad(VekImage* image, const char* name, int32_t resX, int32_t resY,
                                       int32_t colorOrMono, int32_t colorOrder);
VEK_EXPORT void VEKAPI VekBayerToImg(VekImage* image, const void* pixPtr, int32_t resX, int32_t resY,
                                     int32_t colorOrMono, int32_t colorOrder);
/* 24 or 32-bit pixels (other depths do nothing). 32-bit input is first
   packed in place to 3 bytes a pixel (inData changes). With inOrg 0 the
   pixels go to outData (numPixels x 3 bytes, may be inData) with the first
   and third byte exchanged: red-green-blue becomes the blue-green-red of
   image records; any other inOrg writes nothing to outData. */
VEK_EXPORT void VEKAPI VekPixelReorder(void* inData, int32_t inBpp, int32_t inOrg, void* outData,
                                       int32_t numPixels);

/* Drawing on a device context (HDC). VekClearCanvas fills the rectangle
   from (x, y) to (x + width, y + height) with the colour. VekImgShow draws
   the image at (x, y), its palette realised on palette devices.
   VekImgShowInRect fits the image into the box (scaled by the smaller of
   the two ratios when enlarge is nonzero or it does not fit, else kept) and
   draws it centred; the image itself is resampled to that size. A box
   without area draws nothing. */
VEK_EXPORT void VEKAPI VekClearCanvas(void* dc, int32_t x, int32_t y, int32_t width, int32_t height,
                                      int32_t colour);
VEK_EXPORT void VEKAPI VekImgShow(VekImage* image, void* dc, int32_t x, int32_t y);
VEK_EXPORT void VEKAPI VekImgShowInRect(VekImage* image, void* dc, int32_t x, int32_t y,
                                        int32_t boxWidth, int32_t boxHeight, int32_t enlarge);

/* Sound buffers. Sizes are one second of the buffer's format: rate x
   channels x ((bits + 7) / 8) bytes, whatever the buffer holds. VekSndAlloc
   gives an empty buffer (NULL when memory is short); VekSndFree frees its
   samples and the record (NULL does nothing). In VekSndGetInfo any output
   may be NULL; the data pointer is the buffer's own. VekSndGetSamples copies
   that size into the host's buffer, or less when the buffer's storage holds
   less. VekSndSetSamples makes the format PCM (rate, channels, bits: whole
   bytes per sample, else "Invalid audio format.") and copies one second of
   it from data into the existing storage, at most what the storage holds;
   it does not allocate, and the sample count only shrinks when the samples
   held no longer fit the storage in the new format. */
VEK_EXPORT VekSound* VEKAPI VekSndAlloc(void);
VEK_EXPORT void VEKAPI VekSndFree(VekSound* sound);
VEK_EXPORT void VEKAPI VekSndGetInfo(VekSound* sound, int32_t* rate, int32_t* channels, int32_t* bits,
                                     int32_t* size, uint8_t** data);
VEK_EXPORT void VEKAPI VekSndGetSamples(VekSound* sound, void* buffer);
VEK_EXPORT void VEKAPI VekSndSetSamples(VekSound* sound, int32_t rate, int32_t channels, int32_t bits,
                                        const void* data);

/* Header read-outs. VekTiffGetTag: the size in bytes of one value of a tag
   in the first directory of a TIFF file (tag 34071: its whole byte array),
   copied into buf (at most bufSize bytes, little-endian) when buf is not
   NULL; returns the bytes copied, or the size when buf is NULL, 0 when the
   tag is missing. VekBayerGetHdr copies up to bufSize bytes (at most 1024)
   of the trailer of a 512 x 384 BAY file into buf and returns the count.
   Both return 0 on failure. */
VEK_EXPORT int32_t VEKAPI VekTiffGetTag(const char* filename, int32_t tag, void* buf, int32_t bufSize);
VEK_EXPORT int32_t VEKAPI VekBayerGetHdr(const char* filename, void* buf, int32_t bufSize);

/* Record layouts. Both follow the platform's natural alignment; they differ
   only by the pointer size:
                      32-bit Windows        64-bit Windows, 64-bit Linux
     VekImage         796 bytes: pixels 0,  800 bytes: pixels 0, size 8,
                      size 4, palette 24,   palette 28, external 796
                      external 792
     VekSound         32 bytes: data 0,     40 bytes: data 0, capacity 8,
                      capacity 4,           sampleCount 12, format 16
                      sampleCount 8,
                      format 12
     VekJob           4968 bytes: the       5008 bytes: the callbacks from
                      callbacks from 676,   680, aviInfo 824
                      aviInfo 784
   The other records (VekWaveFormat 18, VekShortStr 256, VekSaveOpts 88,
   VekCodecInfo 196, VekFileInfo 756, VekTextParams 104 bytes) hold no
   pointers and are the same everywhere. */
#if defined(_WIN32) && !defined(_WIN64)
VEK_STATIC_ASSERT(offsetof(VekImage, palette) == 24, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekImage, external) == 792, "image record layout");
VEK_STATIC_ASSERT(sizeof(VekImage) == 796, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekSound, capacity) == 4, "sound buffer layout");
VEK_STATIC_ASSERT(offsetof(VekSound, sampleCount) == 8, "sound buffer layout");
VEK_STATIC_ASSERT(offsetof(VekSound, format) == 12, "sound buffer layout");
VEK_STATIC_ASSERT(sizeof(VekSound) == 32, "sound buffer layout");
#elif defined(_WIN64) || (defined(__x86_64__) && defined(__LP64__))
VEK_STATIC_ASSERT(offsetof(VekImage, size) == 8, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekImage, palette) == 28, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekImage, external) == 796, "image record layout");
VEK_STATIC_ASSERT(sizeof(VekImage) == 800, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekSound, capacity) == 8, "sound buffer layout");
VEK_STATIC_ASSERT(offsetof(VekSound, sampleCount) == 12, "sound buffer layout");
VEK_STATIC_ASSERT(offsetof(VekSound, format) == 16, "sound buffer layout");
VEK_STATIC_ASSERT(sizeof(VekSound) == 40, "sound buffer layout");
#endif
VEK_STATIC_ASSERT(offsetof(VekImage, size) == sizeof(void*), "image record layout");
VEK_STATIC_ASSERT(offsetof(VekImage, external) == sizeof(void*) + 788, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekSound, capacity) == sizeof(void*), "sound buffer layout");
VEK_STATIC_ASSERT(offsetof(VekSound, format) == sizeof(void*) + 8, "sound buffer layout");
/* ---- end of images, sound buffers and small conversions ---- */

/* File lists: names gathered from patterns such as "a.bmp; f*.tga" (the
   wildcards match without regard to case), with their frame and sample counts.
   A list is allocated by VekListAlloc and freed by VekListFree; every call on
   a null or freed list fails with "Invalid file list handle.". Type masks: 0
   recognised by content, 0x7FFFFFFF everything, 0x70000000 by extension,
   else capability bits (8 images, 16 sound). VekListGetName needs a 264-byte
   buffer. */
#define VEK_LIST_ANY 0x7FFFFFFF
#define VEK_LIST_BY_EXTENSION 0x70000000
#define VEK_LIST_IMAGES 8
#define VEK_LIST_SOUND 16
typedef struct VekList VekList;
VEK_EXPORT VekList* VEKAPI VekListAlloc(void);
VEK_EXPORT void VEKAPI VekListFree(VekList* list);
/* Returns the number of names added. */
VEK_EXPORT int32_t VEKAPI VekListAdd(VekList* list, const char* spec, int32_t mask);
VEK_EXPORT void VEKAPI VekListGetName(VekList* list, int32_t index, char* buffer);
VEK_EXPORT int32_t VEKAPI VekListGetFileCount(VekList* list);
VEK_EXPORT int32_t VEKAPI VekListGetFrameCount(VekList* list);
VEK_EXPORT int32_t VEKAPI VekListGetMaxRes(VekList* list, int32_t* width, int32_t* height, int32_t* bpp);
VEK_EXPORT int32_t VEKAPI VekListGetSampleCount(VekList* list);
VEK_EXPORT int32_t VEKAPI VekListGetAudioFormat(VekList* list, int32_t* rate, int32_t* channels,
                                                int32_t* bits);

#ifdef __cplusplus
}
#endif

VEK_STATIC_ASSERT(sizeof(VekWaveFormat) == 18, "wave format is 18 packed bytes");
VEK_STATIC_ASSERT(sizeof(VekShortStr) == 256, "name buffers are a length byte and 255 characters");
VEK_STATIC_ASSERT(sizeof(VekImage) == 796 || sizeof(void*) != 4, "image record layout");
VEK_STATIC_ASSERT(offsetof(VekJob, vidFile) == 8, "job layout");
VEK_STATIC_ASSERT(offsetof(VekJob, width) == 264, "job layout");
VEK_STATIC_ASSERT(offsetof(VekJob, frameRate) == 288, "job layout");
VEK_STATIC_ASSERT(offsetof(VekJob, saveOpts) == 308, "job layout");
VEK_STATIC_ASSERT(offsetof(VekJob, audFormat) == 656, "job layout");
#if defined(_WIN32) && !defined(_WIN64)
VEK_STATIC_ASSERT(offsetof(VekJob, onVideoSource) == 676, "job layout");
VEK_STATIC_ASSERT(offsetof(VekJob, aviInfo) == 784, "job layout");
VEK_STATIC_ASSERT(sizeof(VekJob) == 4968, "job layout");
#elif defined(_WIN64) || (defined(__x86_64__) && defined(__LP64__))
VEK_STATIC_ASSERT(offsetof(VekJob, onVideoSource) == 680, "job layout");
VEK_STATIC_ASSERT(offsetof(VekJob, aviInfo) == 824, "job layout");
VEK_STATIC_ASSERT(sizeof(VekJob) == 5008, "job layout");
#endif
VEK_STATIC_ASSERT(sizeof(VekSaveOpts) == 88, "save options layout");

/* ---- Format and codec catalogue, file information --------------------- */

/* Codec information (196 bytes, little-endian). Flags are -1 for true. */
typedef struct VekCodecInfo {
  int32_t format;
  int32_t hasSettings;
  int32_t codec; /* the value for VekSetCodec (AVI: a FourCC) */
  int32_t codecMin;
  int32_t codecMax;
  char description[128];
  int32_t qualityAdjustable, qualityDefault, qualityMin, qualityMax;
  int32_t dataRateAdjustable, dataRateDefault, dataRateMin, dataRateMax;
  int32_t keyFrameAdjustable, keyFrameDefault, keyFrameMin, keyFrameMax;
} VekCodecInfo;

/* File information (756 bytes, little-endian, texts zero-terminated). */
#pragma pack(push, 4)
typedef struct VekFileInfo {
  char fileName[264];
  char formatName[128];
  double fileSize; /* all files of a sequence */
  int32_t imagesValid;
  int32_t imagesSupported;
  char compression[128];
  int32_t frameCount;
  double duration;   /* seconds */
  double imageBytes; /* width x height x bytes per pixel x frames */
  double fps;
  int32_t width;
  int32_t height;
  int32_t bytespp;
  int32_t bpp;
  int32_t soundValid;
  int32_t soundSupported;
  char soundFormat[128];
  int32_t sampleCount;
  double soundDuration; /* seconds */
  double soundBytes;
  double sampleRate;
  int32_t channels;
  int32_t bitsPerSample;
  int32_t blockAlign;
} VekFileInfo;
#pragma pack(pop)

#ifdef __cplusplus
extern "C" {
#endif
/* ---- Text drawing ------------------------------------------------------ */

/* Text parameters (104 bytes, little-endian): allocated by VekTextAlloc,
   freed by VekTextFree; every call on a null, freed or foreign record fails
   with "Invalid text handle." (VekTextFree ignores null). The font name is
   counted (fontNameLen characters, not zero-terminated). Colours are
   Windows colour values (VekRGB: red in the low byte). Defaults: "Arial",
   12 points, plain, no shadow, offsets 2 and 2, black text, grey shadow,
   white background, transparent background. */
#define VEK_TEXT_BOLD 1
#define VEK_TEXT_ITALIC 2
#define VEK_TEXT_UNDERLINE 4
#define VEK_TEXT_STRIKEOUT 8
#define VEK_TEXT_SHADOW_NONE 0
#define VEK_TEXT_SHADOW_DROP 1
#define VEK_TEXT_SHADOW_BORDER 2
typedef struct VekTextParams {
  uint8_t fontNameLen;
  char fontName[32];
  uint8_t reserved[3];
  int32_t size;  /* points, at 96 pixels per inch */
  int32_t style; /* VEK_TEXT_BOLD | VEK_TEXT_ITALIC | VEK_TEXT_UNDERLINE | VEK_TEXT_STRIKEOUT */
  int32_t shadowX, shadowY; /* drop shadow offset, or border thickness */
  int32_t backIndex, foreIndex, shadowIndex; /* palette indices inside the sprite */
  int32_t charSet;
  int32_t shadowMode; /* VEK_TEXT_SHADOW_... */
  int32_t backColor, foreColor, shadowColor;
  int32_t transparent; /* flag: the background is left out */
  int32_t spriteWidth, spriteHeight; /* size of the last sprite drawn */
  int32_t textWidth, textHeight;     /* extent of the last text measured */
} VekTextParams;
VEK_STATIC_ASSERT(sizeof(VekTextParams) == 104, "text parameters are 104 bytes");
VEK_STATIC_ASSERT(offsetof(VekTextParams, size) == 36, "32-bit fields start after 3 bytes of alignment");

VEK_EXPORT VekTextParams* VEKAPI VekTextAlloc(void);
VEK_EXPORT void VEKAPI VekTextFree(VekTextParams* text);
/* The first 32 characters of the name; style keeps the bits 1, 2, 4 and 8. */
VEK_EXPORT void VEKAPI VekTextSetFont(VekTextParams* text, const char* name, int32_t size,
                                      int32_t style);
/* A non-zero transp leaves the background out when the text is drawn. */
VEK_EXPORT void VEKAPI VekTextSetColor(VekTextParams* text, int32_t fore, int32_t shadow,
                                       int32_t back, int32_t transp);
/* Modes other than 0, 1 and 2 keep the previous mode; the offsets are set always. */
VEK_EXPORT void VEKAPI VekTextShadow(VekTextParams* text, int32_t mode, int32_t x, int32_t y);
/* The text's measured extent (0 x 0 for an empty text); texts are cut to 255
   characters, bytes are the Windows-1252 code page. */
VEK_EXPORT void VEKAPI VekTextGetExtents(VekTextParams* text, const char* textStr, int32_t* width,
                                         int32_t* height);
/* Converts the image to 24 bits when it is not, then draws the text with the
   top-left corner of its sprite at (x, y); the part beyond the right and
   bottom edges is cut off, negative positions fail with "Out of range.". A
   text that cannot be rendered (no font at that size) fails. */
VEK_EXPORT void VEKAPI VekTextOut(VekImage* image, VekTextParams* text, int32_t x, int32_t y,
                                  const char* textStr);

/* Number of codecs of a format; for AVI, width, height and bits above 0 mark
   the compressors that take such frames. Call it for AVI before asking for
   AVI codec information. */
VEK_EXPORT int32_t VEKAPI VekCodecsInit(int32_t format, int32_t width, int32_t height, int32_t bpp);
VEK_EXPORT int32_t VEKAPI VekCodecsGetInfo(int32_t format, VekCodecInfo* info, int32_t index);
/* The writable format of a file name, VEK_UNDEFINED when none. */
VEK_EXPORT int32_t VEKAPI VekGetFileFmtID(const char* name);
/* sequence non-zero: a numbered run of still files counts as one movie. */
VEK_EXPORT void VEKAPI VekGetFileInfo(const char* name, VekFileInfo* info, int32_t sequence);
/* Unlike the original interface, which passed the first three arguments of
   this one in registers, it is stdcall like every other export. */
VEK_EXPORT int32_t VEKAPI VekGetVideoFormat(VekJob* job, int32_t format, int32_t width, int32_t height,
                                            int32_t bpp, int32_t* codec, int32_t* quality,
                                            int32_t* dataRate, int32_t* keyFrameRate);
/* The text stored under a four-character tag in an AVI file; bufSize is the
   size of buf in bytes, terminating zero included. Returns the text's length. */
VEK_EXPORT int32_t VEKAPI VekAviGetCustomInfo(const char* filename, const char* tag, char* buf,
                                              int32_t bufSize);
VEK_EXPORT int32_t VEKAPI VekMakeFourCC(const char* text);
VEK_EXPORT int32_t VEKAPI VekRGB(int32_t r, int32_t g, int32_t b);

/* ---- Dialogs ----
   Modal dialogs a host may open. They run their own event loop until closed
   (the host's main loop is not needed and not taken over) and need a display:
   without one (on X11: no DISPLAY, or one that cannot be opened) they fail at
   once with "No display available for dialogs." (status 1000). */
/* The output settings of a job (size, bits per pixel, dithering, codec) with
   a preview of the list's source files scaled to the chosen size. list may be
   NULL (nothing to preview); caption NULL is empty. With allowChanges 0 the
   output settings are shown greyed. Works on a copy of the job: returns -1
   when the user confirmed with OK (the job then holds the new settings), else
   0 and the job is left as it was. Refused while the job converts. */
VEK_EXPORT int32_t VEKAPI VekOutputDlg(VekJob* job, VekList* list, const char* caption,
                                       int32_t allowChanges);
VEK_EXPORT int32_t VEKAPI VekCodecDlg(VekJob* job, int32_t fmtId, int32_t width, int32_t height, int32_t bpp); /* codec settings of format fmtId in the job's save options: -1 confirmed, else 0 */
#ifdef __cplusplus
}
static_assert(sizeof(VekCodecInfo) == 196, "codec information is 196 bytes");
static_assert(offsetof(VekCodecInfo, description) == 20, "codec information layout");
static_assert(offsetof(VekCodecInfo, qualityAdjustable) == 148, "codec information layout");
static_assert(offsetof(VekCodecInfo, keyFrameMax) == 192, "codec information layout");
static_assert(sizeof(VekFileInfo) == 756, "file information is 756 bytes");
static_assert(offsetof(VekFileInfo, fileSize) == 392, "file information layout");
static_assert(offsetof(VekFileInfo, compression) == 408, "file information layout");
static_assert(offsetof(VekFileInfo, duration) == 540, "file information layout");
static_assert(offsetof(VekFileInfo, width) == 564, "file information layout");
static_assert(offsetof(VekFileInfo, soundFormat) == 588, "file information layout");
static_assert(offsetof(VekFileInfo, sampleCount) == 716, "file information layout");
static_assert(offsetof(VekFileInfo, soundDuration) == 720, "file information layout");
static_assert(offsetof(VekFileInfo, blockAlign) == 752, "file information layout");
#endif

#endif /* VEK_VEK_H */
