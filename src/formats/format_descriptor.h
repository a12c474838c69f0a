// What one format module tells the engine about its format: the rows it adds
// to the reading and writing tables, the depths it writes, how its files are
// opened (still, sequence or movie), how it reads its save options, and the
// operations it offers. Every format module defines one descriptor; the
// registry builds its tables from them and the engine asks them, never the
// format id, what to do.
//
// This header and the file information record are all a format module needs
// from above; formats depend on nothing of the engine beyond them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>

#include "sound/sound.h"
#include "formats/file_info.h"
#include "image/image.h"
#include "vek/vek.h"

namespace vek {

enum FormatId : int32_t {
  kFmtTGA = 1,
  kFmtPCX = 2,
  kFmtBMP = 3,
  kFmtGIF = 4,
  kFmtFLIC = 5,
  kFmtAVI = 6,
  kFmtHAV = 7,
  kFmtJPEG = 8,
  kFmtPNG = 9,
  kFmtTIFF = 10,
  kFmtMPEG = 11,
  kFmtWAV = 12,
  kFmtSGI = 13,
  kFmtRAS = 14,
  kFmtPNM = 15,
  kFmtBAY = 16,
  kFmtXPM = 17,
  kFmtMP2 = 18,
  kFmtOGG = 19,
  kFmtIdEnd = 20,  // ids from here on name no format of the original tables
  // Formats of this library's own extension take ids from kFmtExtFirst on;
  // they exist only while the extension formats are switched on.
  kFmtExtFirst = 20,
  kFmtMP4 = 20,     // MP4/MOV read, MP4 written (H.264, AAC)
  kFmtWEBM = 21,    // Matroska/WebM read, WebM written (VP9, Opus)
  kFmtMPEGTS = 22,  // MPEG transport streams, read only
  kFmtExtIdEnd = 40,
};

// Capability flags of a table row.
enum FormatFlags : int32_t {
  kFfStill = 0x01,     // one still image per file
  kFfFrames = 0x02,    // several frames in one file
  kFfSoundOnly = 0x04,
  kFfImages = 0x08,
  kFfSound = 0x10,
};

// The two format tables.
inline constexpr int kReadTable = 1;
inline constexpr int kWriteTable = 2;

// How the media layer opens a file of the format.
enum UniKind : int32_t { kKindNone = 0, kKindStill = 1, kKindSequence = 2, kKindMovie = 3 };

// One row of a format table.
struct QffDesc {
  int32_t id;
  int32_t flags;
  const char* extensions;
  const char* short_name;
  const char* long_name;
  const char* full_name;
};

// A row as a module declares it: its place in the table (lookup order
// matters, the first matching row wins) and its contents. Extension rows
// join the tables only while the extension formats are switched on, and then
// after every other row, in the order of their positions.
struct FormatRow {
  int32_t position;
  QffDesc row;
  bool extension = false;
};

// How the kind of a file follows from its format and frame count.
enum class FormatKindRule {
  kStill,     // one image per file; several files make a numbered sequence
  kMovie,     // frames and sound in one file
  kAnimation  // a still image, or a movie when the file holds several frames
};

// Compressor choice of formats that pick a codec from a platform catalogue.
struct CodecOps {
  // Chooses the compressor and applies quality, key frame rate and data rate.
  void (*select)(VekAviCodecSettings& settings, uint32_t handler);
  std::string (*name)(const VekAviCodecSettings& settings);
  // Sets the compressor up for frames of that size; returns the depth it takes.
  int32_t (*prepare)(VekAviCodecSettings& settings, int32_t width, int32_t height, int32_t bits);
};

// What every movie or sound module tells about its open file.
struct MovieView {
  int32_t width, height, bytespp, bits;
  int32_t frames;        // frame count
  int32_t current;       // current frame number
  int32_t samples_done;  // sound sample frames read or written
  bool writing;          // opened for writing
  bool new_picture;      // the last load delivered a changed picture
  bool has_sound;
  WaveFormat sound;
};

// Movie and sound operations. `state` is the module's own state object,
// made by `construct` in a tracked block of `state_size` bytes owned by the
// movie handle before open or create, and ended by `destroy` when the handle
// lets it go (after close, or when open or create failed), so its members
// may be owning handles. StateOps<S>() fills the three for a type S.
struct MovieOps {
  int32_t state_size;
  void (*construct)(void* state);
  void (*destroy)(void* state);
  const char* tag;  // label part: "GIF", "FLC", "AVI", "HAV", "MPG", "WAV", "OGG"
  void (*open)(void* state, const std::string& name);
  void (*img_load)(void* state, QImg& image, int32_t frame, int32_t mode);  // null: no pictures
  void (*snd_load)(void* state, SoundBuffer& snd, int32_t first, int32_t mode,
                   int32_t count);  // null: no sound
  // null: not writable
  void (*create)(void* state, const std::string& name, double fps, int32_t frames_per_block,
                 int32_t expected_frames);
  void (*img_save)(void* state, QImg& image);
  void (*snd_save)(void* state, SoundBuffer& snd);
  void (*close)(void* state);
  void (*set_custom_info)(void* state, const char* id, const char* text);  // null: none
  MovieView (*view)(const void* state);
  // After create: sound of this format will follow the frames, so a writer
  // whose file takes no new stream once data is in it sets that stream up
  // with the first frame. Null: nothing to prepare.
  void (*expect_sound)(void* state, const WaveFormat& format);
};

template <class S>
struct StateOps {
  static constexpr int32_t size = static_cast<int32_t>(sizeof(S));
  static void Construct(void* p) { new (p) S(); }
  static void Destroy(void* p) { static_cast<S*>(p)->~S(); }
};

// The view of a module state that keeps the view's fields under the same
// names; a file being written counts the frames written so far.
template <class S>
MovieView ViewOfState(const S& s) {
  MovieView v{};
  v.width = s.width;
  v.height = s.height;
  v.bytespp = s.bytespp;
  v.bits = s.bits;
  v.frames = s.writing ? std::max(s.frames, s.current) : s.frames;
  v.current = s.current;
  v.samples_done = s.samples_done;
  v.writing = s.writing;
  v.new_picture = s.new_picture;
  v.has_sound = s.has_sound;
  v.sound = s.sound;
  return v;
}

// The movie operations of a sound-only module, from its functions on its
// own state type S: the file opens, reads sound blocks, is created, takes
// sound blocks and closes.
template <class S, void (*Open)(S&, const std::string&),
          void (*Load)(S&, SoundBuffer&, int32_t, int32_t, int32_t),
          void (*Create)(S&, const std::string&), void (*Save)(S&, SoundBuffer&),
          void (*Close)(S&), MovieView (*View)(const void*)>
constexpr MovieOps SoundOnlyOps(const char* tag) {
  return MovieOps{
      .state_size = StateOps<S>::size,
      .construct = StateOps<S>::Construct,
      .destroy = StateOps<S>::Destroy,
      .tag = tag,
      .open = [](void* p, const std::string& name) { Open(*static_cast<S*>(p), name); },
      .img_load = nullptr,
      .snd_load = [](void* p, SoundBuffer& snd, int32_t first, int32_t mode, int32_t count) {
        Load(*static_cast<S*>(p), snd, first, mode, count);
      },
      .create = [](void* p, const std::string& name, double, int32_t, int32_t) {
        Create(*static_cast<S*>(p), name);
      },
      .img_save = nullptr,
      .snd_save = [](void* p, SoundBuffer& snd) { Save(*static_cast<S*>(p), snd); },
      .close = [](void* p) { Close(*static_cast<S*>(p)); },
      .set_custom_info = nullptr,
      .view = View,
  };
}

// How a format reads the save options record (a host-visible record with a
// field per format). Every member may be null: the call then does nothing
// (or gives the default codec name, or the table depth).
struct SaveOptionOps {
  bool dialog;  // the format has an options dialog
  void (*set_codec)(VekSaveOpts& opts, int32_t codec);
  void (*set_quality)(VekSaveOpts& opts, int32_t quality);
  void (*set_key_frame_rate)(VekSaveOpts& opts, int32_t frames);
  void (*set_data_rate)(VekSaveOpts& opts, int32_t rate);
  // Empty text: "Uncompressed, full frames".
  std::string (*codec_name)(const VekSaveOpts& opts);
  // Copies the chosen values into the prepared fields; returns the output
  // depth, given the table's depth for these frames (0: frames rejected).
  int32_t (*prepare)(VekSaveOpts& opts, int32_t width, int32_t height, int32_t bits, int32_t depth);
  // Hands the prepared options to the writer's process-wide settings.
  void (*apply)(const VekSaveOpts& opts);
};

// What an output of the format asks of the job before a run.
struct OutputRules {
  // The frame rate the writer takes nearest to the one asked for (null: any).
  double (*frame_rate)(double fps);
  // The sample rate the writer takes nearest to the one asked for (null: any);
  // outputs with such a rule are written as 16-bit PCM.
  int32_t (*sample_rate)(int32_t rate);
  // The codec an output file name asks for, or the undefined marker (null:
  // names ask for none). The job sets it as a host would, through VekSetCodec.
  int32_t (*named_codec)(const std::string& name);
};

struct FormatDescriptor {
  FormatId id;
  const char* tag;  // short tag for labels and fuzz targets
  const FormatRow* read_rows;
  int32_t read_count;
  const FormatRow* write_rows;
  int32_t write_count;
  // Output depth by source depth 8, 15, 16, 24, 32 and any other; null for
  // formats that write no images or are not written at all.
  const int32_t* depths;
  FormatKindRule kind;
  // Decoded frames build on the previous picture (delta frames), so a
  // frame handed on must be copied before the next one is read.
  bool delta_frames;
  SaveOptionOps save;
  OutputRules output;
  // Still images (null: not offered).
  void (*load)(const std::string& name, QImg& image);
  void (*save_image)(const std::string& name, QImg& image);
  void (*info)(const std::string& name, QffInfo& info);
  const CodecOps* codec;  // null: no compressor catalogue
  const MovieOps* movie;  // null: no movie operations
};

// Four-character code as the platform stores it: first character lowest.
constexpr uint32_t FourCC(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}
inline std::string FourCCText(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return s;
}

// Depth rows of the table, by source depth 8, 15, 16, 24, 32 and other.
inline constexpr int32_t kDepthsNone[6] = {0, 0, 0, 0, 0, 0};
inline constexpr int32_t kDepthsAll24[6] = {24, 24, 24, 24, 24, 24};
inline constexpr int32_t kDepthsPal24[6] = {8, 24, 24, 24, 24, 24};
inline constexpr int32_t kDepthsPal15[6] = {8, 15, 24, 24, 24, 24};

}  // namespace vek
