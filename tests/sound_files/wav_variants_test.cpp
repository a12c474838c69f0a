// Wave files as other programs write them: more than two channels (plain and
// extensible, 8 to 24 bits, with and without a channel mask), wide samples in
// wider containers, RF64, ADPCM ending in a short block, and multi-channel
// Ogg Vorbis, read and mixed to stereo 16 bits as a run does, against
// FFmpeg's decode and down-mix of the same files.
#include "oracle_shell.h"
#include "sound_files_util.h"

#include <unistd.h>

#include <cmath>

using namespace sftest;

namespace {

const std::string kVekconv = std::string(VEK_BINARY_DIR) + "/tools/vekconv/vekconv";

void Put(std::vector<uint8_t>& b, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put(std::vector<uint8_t>& b, const char* id) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id[i]));
}

struct Layout {
  int channels, container, valid;  // bytes per sample, valid bits
  bool extensible;
  uint32_t mask;
  bool rf64;
};

// Tones of a different pitch in each channel, `valid` bits left-justified in
// the container, little-endian.
std::vector<uint8_t> MakeWav(const Layout& l, int frames) {
  std::vector<uint8_t> data;
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < l.channels; ++c) {
      const double x = 0.6 * std::sin(2 * M_PI * (200 + 150 * c) * i / 44100.0) +
                       0.2 * std::sin(i * 0.37 * (c + 1));
      const int64_t v = std::llround(x * double((int64_t(1) << (l.valid - 1)) - 1))
                        << (8 * l.container - l.valid);
      Put(data, l.container == 1 ? uint64_t(v + 128) : uint64_t(v), l.container);
    }
  const int ba = l.channels * l.container;
  std::vector<uint8_t> fmt;
  Put(fmt, l.extensible ? 0xFFFE : 1, 2);
  Put(fmt, l.channels, 2);
  Put(fmt, 44100, 4);
  Put(fmt, 44100 * ba, 4);
  Put(fmt, ba, 2);
  Put(fmt, l.extensible || l.valid % 8 ? 8 * l.container : l.valid, 2);
  if (l.extensible) {
    Put(fmt, 22, 2);
    Put(fmt, l.valid, 2);
    Put(fmt, l.mask, 4);
    const uint8_t pcm[16] = {1, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    fmt.insert(fmt.end(), pcm, pcm + 16);
  }
  std::vector<uint8_t> body;
  Put(body, "WAVE");
  if (l.rf64) {
    Put(body, "ds64");
    Put(body, 28, 4);
    Put(body, 4 + 36 + 8 + fmt.size() + 8 + data.size(), 8);
    Put(body, data.size(), 8);
    Put(body, frames, 8);
    Put(body, 0, 4);
  }
  Put(body, "fmt ");
  Put(body, fmt.size(), 4);
  body.insert(body.end(), fmt.begin(), fmt.end());
  Put(body, "data");
  Put(body, l.rf64 ? 0xFFFFFFFFu : data.size(), 4);
  body.insert(body.end(), data.begin(), data.end());
  std::vector<uint8_t> file;
  Put(file, l.rf64 ? "RF64" : "RIFF");
  Put(file, l.rf64 ? 0xFFFFFFFFu : body.size(), 4);
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

// Cuts `bytes` off the data chunk (the last chunk), leaving a short block.
bool CutTail(const std::string& path, size_t bytes) {
  std::vector<uint8_t> f = ReadFile(path);
  for (size_t i = 12; i + 8 <= f.size();) {
    const uint32_t size = f[i + 4] | f[i + 5] << 8 | f[i + 6] << 16 | uint32_t(f[i + 7]) << 24;
    if (std::memcmp(&f[i], "data", 4) == 0) {
      if (size <= bytes || i + 8 + size != f.size()) return false;
      f.resize(f.size() - bytes);
      const uint32_t data = size - uint32_t(bytes), riff = uint32_t(f.size() - 8);
      for (int k = 0; k < 4; ++k) {
        f[i + 4 + k] = uint8_t(data >> (8 * k));
        f[4 + k] = uint8_t(riff >> (8 * k));
      }
      WriteFile(path, f);
      return true;
    }
    i += 8 + size + (size & 1);
  }
  return false;
}

// FFmpeg's down-mix to stereo, taken at 32 bits and rounded to 16 as the
// library rounds (its own 16-bit output truncates).
std::vector<int16_t> FfmpegStereo(const std::string& path) {
  const std::string raw = path + ".ff32.raw";
  if (!sftest::Run("ffmpeg -hide_banner -loglevel error -y -i " + path +
                   " -ac 2 -c:a pcm_s32le -f s32le " + raw))
    return {};
  const std::vector<uint8_t> b = ReadFile(raw);
  std::vector<int16_t> s(b.size() / 4);
  for (size_t i = 0; i < s.size(); ++i) {
    int32_t v;
    std::memcpy(&v, &b[4 * i], 4);
    s[i] = static_cast<int16_t>(std::min<int64_t>((int64_t(v) + 0x8000) >> 16, 32767));
  }
  return s;
}

}  // namespace

// Each file read through the movie layer and converted to stereo 16 bits as
// the run's function stage does: as many frames as FFmpeg gives, each
// sample within one step of FFmpeg's.
TEST_F(SoundFileTest, WaveVariantsMatchFfmpegsDecodeAndDownMix) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  struct Case {
    const char* name;
    Layout layout;  // channels 0: written by FFmpeg (command below)
    const char* ffmpeg;
    size_t cut;     // bytes cut off the data to leave a short last block
    int tolerance;
  };
  constexpr uint32_t k51 = 0x60F, k51back = 0x3F, kQuad = 0x33, k30 = 0x7, k50back = 0x37;
  const Case cases[] = {
      {"3ch 16 plain", {3, 2, 16, false, 0, false}, nullptr, 0, 1},
      {"4ch 16 plain", {4, 2, 16, false, 0, false}, nullptr, 0, 1},
      {"5ch 16 plain", {5, 2, 16, false, 0, false}, nullptr, 0, 1},
      {"6ch 16 plain", {6, 2, 16, false, 0, false}, nullptr, 0, 1},
      {"6ch 24 plain", {6, 3, 24, false, 0, false}, nullptr, 0, 1},
      {"3ch 8 ext 3.0", {3, 1, 8, true, k30, false}, nullptr, 0, 1},
      {"4ch 12-in-16 ext quad", {4, 2, 12, true, kQuad, false}, nullptr, 0, 1},
      {"5ch 20-in-24 ext 5.0 back", {5, 3, 20, true, k50back, false}, nullptr, 0, 1},
      {"6ch 24 ext 5.1", {6, 3, 24, true, k51, false}, nullptr, 0, 1},
      {"6ch 16 ext 5.1 back", {6, 2, 16, true, k51back, false}, nullptr, 0, 1},
      {"2ch 20-in-24 ext", {2, 3, 20, true, 3, false}, nullptr, 0, 1},
      {"2ch 16 RF64", {2, 2, 16, false, 0, true}, nullptr, 0, 0},
      {"6ch 16 RF64", {6, 2, 16, false, 0, true}, nullptr, 0, 1},
      {"MS ADPCM short tail", {}, "-ac 2 -c:a adpcm_ms", 509, 0},
      {"IMA ADPCM short tail", {}, "-ac 2 -c:a adpcm_ima_wav", 700, 0},
      {"MS ADPCM whole blocks", {}, "-ac 2 -c:a adpcm_ms", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Temp("variant.wav");
    if (c.ffmpeg) {
      ASSERT_TRUE(sftest::Run("ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                              "\"sine=f=440:d=0.4:r=22050\" " + std::string(c.ffmpeg) + " " + path));
      if (c.cut) {
        ASSERT_TRUE(CutTail(path, c.cut));
      }
    } else {
      WriteFile(path, MakeWav(c.layout, 6000));
    }
    const std::vector<int16_t> ref = FfmpegStereo(path);
    ASSERT_FALSE(ref.empty());
    std::vector<int16_t> got;
    {
      Opened o(path);
      const std::vector<uint8_t> all = o.LoadAll(1000);
      ASSERT_FALSE(all.empty());
      vek::SoundBuffer in{}, out{};
      vek::SndGuard gi(in), go(out);
      vek::WaveFormat stereo{};
      vek::SndMakeFormat(stereo, static_cast<int32_t>(o.format.nSamplesPerSec), 2, 16);
      EXPECT_EQ(Guarded([&] {
                  vek::_sndalloc_(in, int64_t(all.size()), 1, "test");
                  std::memcpy(in.data, all.data(), all.size());
                  in.format = o.format;
                  in.sample_count = int32_t(all.size() / o.format.nBlockAlign);
                  vek::SndConvert(in, out, stereo);
                }),
                (std::pair<int32_t, int32_t>{0, 0}));
      got.assign(reinterpret_cast<int16_t*>(out.data),
                 reinterpret_cast<int16_t*>(out.data) + int64_t(out.sample_count) * 2);
    }
    EXPECT_EQ(got.size() / 2, ref.size() / 2) << "sample frames";
    EXPECT_LE(MaxDiff(ref, got), c.tolerance);
  }
}

// Six-channel Ogg Vorbis: Vorbis's channel order is turned into the wave
// order before the mix (a wrong order puts the centre into one side only).
// Both decoders round the float output of the same decoder, so two steps.
TEST_F(SoundFileTest, SixChannelVorbisMixesLikeFfmpeg) {
  if (!HaveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg missing";
  const std::string wav = Temp("six.wav"), ogg = Temp("six.ogg");
  WriteFile(wav, MakeWav({6, 2, 16, false, 0, false}, 20000));
  ASSERT_TRUE(sftest::Run("ffmpeg -hide_banner -loglevel error -y -i " + wav + " -c:a libvorbis " + ogg));
  const std::vector<int16_t> ref = FfmpegStereo(ogg);
  Opened o(ogg);
  const std::vector<uint8_t> all = o.LoadAll(4096);
  ASSERT_EQ(o.format.nChannels, 6);
  vek::SoundBuffer in{}, out{};
  vek::SndGuard gi(in), go(out);
  vek::WaveFormat stereo{};
  vek::SndMakeFormat(stereo, 44100, 2, 16);
  Guarded([&] {
    vek::_sndalloc_(in, int64_t(all.size()), 1, "test");
    std::memcpy(in.data, all.data(), all.size());
    in.format = o.format;
    in.sample_count = int32_t(all.size() / 12);
    vek::SndConvert(in, out, stereo);
  });
  const std::vector<int16_t> got(reinterpret_cast<int16_t*>(out.data),
                                 reinterpret_cast<int16_t*>(out.data) + int64_t(out.sample_count) * 2);
  ASSERT_GE(got.size(), ref.size() - 512);
  EXPECT_LE(MaxDiff(ref, got), 2);
}

// The command-line run of a 5.1 file writes a stereo file; a layout nothing
// can mix (nine channels) fails the run instead of reporting it written.
TEST_F(SoundFileTest, VekconvMixesSixChannelsAndRefusesNine) {
  if (access(kVekconv.c_str(), X_OK) != 0) GTEST_SKIP() << "vekconv is not built";
  const std::string six = Temp("cli_six.wav"), nine = Temp("cli_nine.wav"), out = Temp("cli_out.wav");
  WriteFile(six, MakeWav({6, 3, 24, false, 0, false}, 4410));
  WriteFile(nine, MakeWav({9, 2, 16, false, 0, false}, 4410));
  ASSERT_EQ(::vektest::RunShell((kVekconv + " -q -a " + six + " " + out + " 2>/dev/null").c_str()), 0);
  const std::vector<uint8_t> written = ReadFile(out);
  ASSERT_EQ(written.size(), 46u + 4410 * 4);
  std::remove(out.c_str());
  EXPECT_NE(::vektest::RunShell((kVekconv + " -q -a " + nine + " " + out + " 2>/dev/null").c_str()), 0);
  EXPECT_TRUE(ReadFile(out).empty());
}
