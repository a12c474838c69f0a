// AVI movies (ff_avi): reading and writing through the video-file and codec
// layer, the catalogue of video codecs, the process-wide codec choice with
// its fall-backs, and the custom INFO texts.
#pragma once

#include <cstdint>
#include <string>

#include "formats/file_info.h"
#include "vek/vek.h"

namespace vek {

// One catalogue entry (and the current codec settings).
struct QAviCodec {
  int32_t index;      // 1-based position in the catalogue
  uint32_t handler;   // four-character code
  intptr_t codec_handle;  // the handle used while the entry was built (closed since)
  char name[16];
  char description[128];
  int32_t has_about;
  int32_t has_configure;
  int32_t can_quality;
  int32_t can_key_frames;
  int32_t can_data_rate;
  int32_t encoder;    // compresses at 8, 16 or 24 bits
  int32_t available;  // compresses the size of the last catalogue query
  int32_t out_width, out_height;
  int32_t bits;       // bits per pixel to feed it
  int32_t key_frame_every;
  int32_t data_rate;  // kilobytes per second, 0 = none
  int32_t quality;    // 0 to 100
  int32_t state_size;
  uint8_t* state;     // the codec's saved state (owned by the catalogue or the settings)
};

inline constexpr int32_t kAviMaxCodecs = 254;

// Builds the catalogue again; returns the entry count (codecs and the
// uncompressed entry).
int32_t AviCodecsInit();
// Builds the catalogue if needed; with positive width, height and bits marks
// the entries that compress such frames. `entries` (may be null) receives the
// catalogue, valid until it is rebuilt; returns the entry count.
int32_t AviCodecsQuery(const QAviCodec** entries, int32_t width, int32_t height, int32_t bits);

// Current codec settings.
void AviSettingsGet(QAviCodec& codec);
void AviSettingsSelect(uint32_t handler);
// Makes a codec record (a catalogue entry as a dialog edited it) the current
// settings, with its own copy of the codec state.
void AviSettingsSet(const QAviCodec& codec);
void AviSettingsSetKeyFrameEvery(int32_t frames);
void AviSettingsSetQuality(int32_t quality);
void AviSettingsSetDataRate(int32_t rate);
bool AviSettingsUncompressed();
// Makes the current codec usable for such frames (fall-backs: Cinepak at 24
// bits, then uncompressed); the error of the last attempt is raised.
void AviSetVC(int32_t width, int32_t height, int32_t bits, bool dialog_allowed);

// The codec's about box and configuration dialog. Configure first restores
// the record's stored state and afterwards stores the codec's state again (in
// the catalogue entry, which the record then points at). A codec without the
// box reports the codec interface's error.
void AviCodecAbout(uint32_t handler);
void AviCodecConfigure(QAviCodec& codec);

// The codec dialog lives in the dialog layer, which installs it here (null
// removes it): it shows the choice for frames of that size and depth and, on
// "OK", makes the chosen codec the current settings; true when confirmed.
using AviDialogFn = bool (*)(int32_t width, int32_t height, int32_t bits);
void AviSetDialog(AviDialogFn dialog);
// Lets the user pick the codec; true when a codec that takes such frames was
// chosen. Without a dialog (or a display) the error says why.
bool AviSelectVC(int32_t width, int32_t height, int32_t bits);
// The same for a job's choice: the dialog opens on it; on "OK" the choice
// becomes the job's and the current settings, otherwise both stay as they
// were. True when the user confirmed.
bool AviSelectVCFor(VekAviCodecSettings& job, int32_t width, int32_t height, int32_t bits);

std::string AVIGetVideoName(uint32_t handler);
std::string AVIGetAudioName(int32_t tag);

// The INFO text stored under `id` in an AVI file; empty when none.
std::string AviReadCustomInfo(const std::string& file, const char* id);
void AviInfo(const std::string& name, QffInfo& info);

}  // namespace vek
