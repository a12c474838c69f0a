// Conversion quality against the ideal signal and against sox, and decoding
// of files written by independent tools against those tools' own decode.
#include "oracle_shell.h"
#include "sound_test_util.h"
#include "windows_skip.h"

using namespace vek;
using namespace soundtest;

namespace {

SoundBuffer FromS16(const std::vector<int16_t>& s, int rate, int channels) {
  SoundBuffer b{};
  _sndalloc_(b, int64_t(s.size()) * 2, 1, "Test.FromS16");
  SndMakeFormat(b.format, rate, channels, 16);
  b.sample_count = int32_t(s.size() / channels);
  std::memcpy(b.data, s.data(), s.size() * 2);
  return b;
}

// First channel of a 16-bit buffer, without `skip` frames at each end.
std::vector<double> Channel0(const SoundBuffer& b, int skip) {
  std::vector<double> x;
  const int16_t* s = reinterpret_cast<const int16_t*>(b.data);
  for (int i = skip; i < b.sample_count - skip; ++i) x.push_back(s[i * b.format.nChannels]);
  return x;
}

}  // namespace

TEST_F(SoundTest, HalvingAndRestoringTheRateKeepsA1kHzTone) {
  VEK_SKIP_ON_WINDOWS("measures the library's own resampler (the Linux backend's ACM); this build converts through the system's");
  const std::vector<int16_t> tone = Sine(1000, 44100, 44100, 1, 0.5);
  SoundBuffer src = FromS16(tone, 44100, 1), half{}, back{};
  WaveFormat f22{}, f44{};
  SndMakeFormat(f22, 22050, 1, 16);
  SndMakeFormat(f44, 44100, 1, 16);
  SndConvert(src, half, f22);
  SndConvert(half, back, f44);
  EXPECT_NEAR(half.sample_count, 22050, 2);
  EXPECT_NEAR(back.sample_count, 44100, 4);
  const std::vector<double> x = Channel0(back, 1000);
  const double level = ToneDb(x, 1000, 44100);
  EXPECT_NEAR(level, 20 * std::log10(0.5), 0.1);
  // Aligned with the original sample for sample: the residual is tiny.
  std::vector<double> diff;
  for (size_t i = 0; i < x.size(); ++i) diff.push_back(x[i] - tone[i + 1000]);
  const double residual = RmsDb(diff);
  std::printf("1 kHz round trip: level %.2f dBFS, residual %.1f dBFS\n", level, residual);
  EXPECT_LT(residual, -60.0);
  SndFree(src);
  SndFree(half);
  SndFree(back);
}

TEST_F(SoundTest, A15kHzToneDoesNotAliasWhenHalvingTheRate) {
  VEK_SKIP_ON_WINDOWS("measures the library's own resampler (the Linux backend's ACM); this build converts through the system's");
  const std::vector<int16_t> tone = Sine(15000, 44100, 44100, 2, 0.5);
  SoundBuffer src = FromS16(tone, 44100, 2), half{};
  WaveFormat f22{};
  SndMakeFormat(f22, 22050, 2, 16);
  SndConvert(src, half, f22);
  const std::vector<double> x = Channel0(half, 500);
  const double total = RmsDb(x), alias = ToneDb(x, 22050 - 15000, 22050);
  std::printf("15 kHz to 22050 Hz: residual %.1f dBFS, alias tone %.1f dBFS\n", total, alias);
  EXPECT_LT(total, -70.0);
  EXPECT_LT(alias, -70.0);
  SndFree(src);
  SndFree(half);
  // sox, as an independent reference, for the record.
  if (HaveTool("sox")) {
    const std::string in = TempPath("alias_in.wav"), out = TempPath("alias_sox.raw");
    const std::string cmd = "sox -n -r 44100 -c 1 -b 16 " + in +
                            " synth 1 sine 15000 gain -6.02 && sox " + in +
                            " -t raw -e signed -b 16 -r 22050 " + out;
    ASSERT_EQ(::vektest::RunShell(cmd.c_str()), 0);
    const std::vector<int16_t> s = ReadS16(out);
    std::vector<double> y(s.begin() + 500, s.end() - 500);
    std::printf("sox for comparison: residual %.1f dBFS\n", RmsDb(y));
  }
}

TEST_F(SoundTest, BlockByBlockConversionLeavesNoSeams) {
  VEK_SKIP_ON_WINDOWS("measures the library's own resampler (the Linux backend's ACM); this build converts through the system's");
  // The conversion loop converts every sound block on its own.
  const std::vector<int16_t> tone = Sine(1000, 44100, 44100, 1, 0.5);
  // Blocks whose length maps to a whole number of output frames.
  for (const auto& [rate, size] : {std::pair{22050, 2206}, std::pair{48000, 2205}}) {
    WaveFormat to{};
    SndMakeFormat(to, rate, 1, 16);
    SoundBuffer joined{};
    joined.format = to;
    for (int first = 0; first + size <= 44100; first += size) {
      std::vector<int16_t> part(tone.begin() + first, tone.begin() + first + size);
      SoundBuffer block = FromS16(part, 44100, 1), out{};
      SndConvert(block, out, to);
      SndJoin(joined, out);
      SndFree(block);
      SndFree(out);
    }
    EXPECT_NEAR(joined.sample_count, 44100 / size * size * double(rate) / 44100, 2);
    const std::vector<int16_t> ideal = Sine(1000, rate, rate, 1, 0.5);
    std::vector<double> diff;
    const int16_t* s = reinterpret_cast<const int16_t*>(joined.data);
    for (int i = 100; i < std::min(joined.sample_count, rate) - 100; ++i) diff.push_back(s[i] - ideal[i]);
    const double residual = RmsDb(diff);
    double peak = 0;
    for (double d : diff) peak = std::max(peak, std::fabs(d));
    std::printf("1 kHz in blocks of %d frames to %d Hz: residual %.1f dBFS, peak error %.0f\n",
                size, rate, residual, peak);
    // Filters that saw silence past each block's ends gave peaks near 800.
    EXPECT_LT(residual, -75.0);
    EXPECT_LT(peak, 200.0);
    SndFree(joined);
  }
}

namespace {

struct WaveReader {
  const Wave* wave;
  size_t pos = 0;
};

// Reads one second of source data at a time, like a wave file reader; the
// pieces need not end on a block boundary.
void ReadSecond(void* module, uint8_t*& raw, int32_t, int32_t& bytes, int32_t& blocks) {
  auto& r = *static_cast<WaveReader*>(module);
  const WaveFormat& f = *r.wave->format();
  const size_t n = std::min<size_t>(f.nAvgBytesPerSec, r.wave->data.size() - r.pos);
  bytes = blocks = 0;
  if (n == 0) return;
  MemAlloc(raw, int64_t(n), 1, kMemNew, "Test.ReadSecond.raw");
  std::memcpy(raw, r.wave->data.data() + r.pos, n);
  r.pos += n;
  bytes = int32_t(n);
  blocks = int32_t(n / f.nBlockAlign);
}

// Decodes a whole wave file through SndLoad in pieces of 1000 frames.
std::vector<int16_t> DecodeWave(const Wave& w, WaveFormat& out) {
  SndDecodeState dec{};
  dec.src_format = const_cast<WaveFormat*>(w.format());
  dec.src_format_size = int32_t(w.fmt.size());
  dec.out_format.wFormatTag = 1;
  EXPECT_EQ(platform::acmFormatSuggest(nullptr, w.format(), &dec.out_format, 18,
                                       platform::ACM_FORMATSUGGESTF_WFORMATTAG),
            0u);
  out = dec.out_format;
  dec.blocks_total = int32_t(w.data.size() / w.format()->nBlockAlign);
  WaveConvState conv{};
  WaveConvertInit(conv, w.format(), &dec.out_format);
  platform::DWORD pcm_bytes = 0;
  EXPECT_EQ(platform::acmStreamSize(conv.stream, platform::DWORD(w.data.size()), &pcm_bytes, 0),
            0u);
  dec.ratio = double(pcm_bytes / out.nBlockAlign) / dec.blocks_total;
  WaveReader reader{&w};
  SoundBuffer b{};
  std::vector<int16_t> all;
  for (int guard = 0; guard < 100000; ++guard) {
    SndLoad(&reader, conv, dec, ReadSecond, 1000, b);
    if (b.sample_count == 0) break;
    const int16_t* s = reinterpret_cast<const int16_t*>(b.data);
    all.insert(all.end(), s, s + b.sample_count * out.nChannels);
  }
  WaveConvertDone(conv);
  SndDecodeFree(dec);
  SndFree(b);
  return all;
}

struct Codec {
  const char* name;
  const char* tool;
  const char* encode;  // {src} and {enc} are replaced
  const char* decode;  // {enc} and {ref}
  uint16_t tag;
  // Largest sample difference allowed; -1 judges by SNR instead, for codecs
  // whose decoders round their predictors differently (ADPCM: sox floors
  // where libavcodec truncates) or decode in floating point.
  int max_diff;
};

std::string Fill(std::string s, const std::string& key, const std::string& value) {
  for (size_t p; (p = s.find(key)) != std::string::npos;) s.replace(p, key.size(), value);
  return s;
}

}  // namespace

class DecodeTest : public SoundTest, public ::testing::WithParamInterface<Codec> {};

TEST_P(DecodeTest, MatchesTheToolsOwnDecode) {
  const Codec& c = GetParam();
  if (!HaveTool(c.tool)) GTEST_SKIP() << VEK_ORACLE_SKIP << c.tool << " is not installed";
  const std::string src = TempPath(std::string(c.name) + "_src.wav");
  const std::string enc = TempPath(std::string(c.name) + "_enc.wav");
  const std::string ref = TempPath(std::string(c.name) + "_ref.raw");
  const bool gsm = c.tag == 0x31;
  const std::string make = std::string("sox -n -r ") + (gsm ? "8000 -c 1" : "22050 -c 2") +
                           " -b 16 " + src + " synth 1.7 sine 440 sine 1250 gain -8";
  ASSERT_EQ(::vektest::RunShell(make.c_str()), 0);
  std::string cmd = Fill(Fill(c.encode, "{src}", src), "{enc}", enc);
  ASSERT_EQ(::vektest::RunShell(cmd.c_str()), 0) << cmd;
  cmd = Fill(Fill(c.decode, "{enc}", enc), "{ref}", ref);
  ASSERT_EQ(::vektest::RunShell(cmd.c_str()), 0) << cmd;

  Wave w;
  ASSERT_TRUE(ParseWave(ReadFile(enc), w));
  ASSERT_EQ(w.format()->wFormatTag, c.tag);
  WaveFormat out{};
  const std::vector<int16_t> ours = DecodeWave(w, out);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  const std::vector<int16_t> theirs = ReadS16(ref);
  const int ch = out.nChannels;
  ASSERT_GT(theirs.size(), 0u);
  // Lengths agree within one coded frame.
  EXPECT_NEAR(double(ours.size()) / ch, double(theirs.size()) / ch, 1152.0) << c.name;
  const size_t n = std::min(ours.size(), theirs.size());
  int max_diff = 0;
  double sig = 0, err = 0;
  for (size_t i = 0; i < n; ++i) {
    const int d = std::abs(ours[i] - theirs[i]);
    max_diff = std::max(max_diff, d);
    sig += double(theirs[i]) * theirs[i];
    err += double(d) * d;
  }
  const double snr = 10 * std::log10(sig / (err + 1e-9));
  std::printf("%s: %zu vs %zu samples, max diff %d, SNR %.1f dB\n", c.name, ours.size(),
              theirs.size(), max_diff, snr);
  if (c.max_diff >= 0)
    EXPECT_LE(max_diff, c.max_diff) << c.name;
  else
    EXPECT_GT(snr, 40.0) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, DecodeTest,
    ::testing::Values(
        Codec{"msadpcm", "sox", "sox {src} -e ms-adpcm {enc}", "sox {enc} -t raw -e signed -b 16 {ref}", 2, -1},
        Codec{"imaadpcm", "sox", "sox {src} -e ima-adpcm {enc}", "sox {enc} -t raw -e signed -b 16 {ref}", 0x11, -1},
        Codec{"alaw", "sox", "sox {src} -e a-law {enc}", "sox {enc} -t raw -e signed -b 16 {ref}", 6, 0},
        Codec{"mulaw", "sox", "sox {src} -e u-law {enc}", "sox {enc} -t raw -e signed -b 16 {ref}", 7, 0},
        Codec{"gsm", "sox", "sox {src} -e gsm-full-rate {enc}", "sox {enc} -t raw -e signed -b 16 {ref}", 0x31, -1},
        Codec{"mp2", "ffmpeg", "ffmpeg -v error -y -i {src} -c:a mp2 -b:a 160k {enc}",
              "ffmpeg -v error -y -i {enc} -f s16le {ref}", 0x50, -1},
        Codec{"mp3", "ffmpeg", "ffmpeg -v error -y -i {src} -c:a libmp3lame -b:a 128k {enc}",
              "ffmpeg -v error -y -i {enc} -f s16le {ref}", 0x55, -1}),
    [](const auto& info) { return std::string(info.param.name); });
