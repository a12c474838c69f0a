// Reading wave files that sox and ffmpeg wrote, in every format the readers
// take, against those tools' own decode: whole files in blocks of odd
// length, from any sample position, and files with chunks around the data.
#include "formats/movie/wav.h"
#include "sound_files_util.h"

using namespace vek;
using namespace sftest;

namespace {

struct Case {
  const char* name;
  const char* make;    // command writing $OUT
  const char* tool;    // the tool it needs
  bool ffmpeg_oracle;  // decode with ffmpeg instead of sox
  int max_diff;        // largest sample difference allowed (-1: by SNR)
  double min_snr;      // dB, when max_diff is -1
  int seek;            // after a seek: 0 the same samples, 1 close (SNR), 2 the right count
  uint16_t tag;        // tag stored in the file (0xFFFE: extensible)
};

const Case kCases[] = {
    {"u8", "sox -n -r 22050 -c 1 -b 8 -e unsigned $OUT synth 1.3 sine 300 sine 2000", "sox",
     false, 0, 0, 0, 1},
    {"s16", "sox -n -r 44100 -c 2 -b 16 $OUT synth 1.3 sine 300 sine 2000 vol 0.8", "sox", false,
     0, 0, 0, 1},
    {"s24", "sox -n -r 48000 -c 2 -b 24 $OUT synth 1.1 sine 300 pinknoise vol 0.7", "sox", false,
     0, 0, 0, 0xFFFE},
    {"s24ff", "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=f=500:r=32000:d=1.2 "
              "-c:a pcm_s24le $OUT",
     "ffmpeg", false, 0, 0, 0, 0xFFFE},
    {"s32", "sox -n -r 16000 -c 1 -b 32 $OUT synth 1.2 sine 700 whitenoise vol 0.5", "sox", false,
     0, 0, 0, 0xFFFE},
    {"f32", "sox -n -r 22050 -c 2 -e floating-point -b 32 $OUT synth 1.2 sine 440 sine 3000",
     "sox", false, 0, 0, 0, 3},
    {"f64", "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=f=440:r=22050:d=1.2 "
            "-c:a pcm_f64le $OUT",
     "ffmpeg", false, 0, 0, 0, 0xFFFE},
    {"alaw", "sox -n -r 8000 -c 1 -e a-law $OUT synth 1.5 sine 440 vol 0.9", "sox", false, 0, 0,
     0, 6},
    {"mulaw", "sox -n -r 8000 -c 2 -e mu-law $OUT synth 1.5 sine 440 sine 900", "sox", false, 0, 0,
     0, 7},
    {"gsm", "sox -n -r 8000 -c 1 -e gsm-full-rate $OUT synth 1.5 sine 440 vol 0.5", "sox", false,
     0, 0, 1, 0x31},
    {"ima", "sox -n -r 22050 -c 1 -e ima-adpcm $OUT synth 1.5 sine 440 sine 1500 vol 0.5", "sox",
     false, -1, 30, 0, 0x11},
    {"imaff", "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=f=440:r=44100:d=1.3 -ac 2 "
              "-c:a adpcm_ima_wav $OUT",
     "ffmpeg", false, -1, 30, 0, 0x11},
    {"msadpcm", "sox -n -r 22050 -c 2 -e ms-adpcm $OUT synth 1.5 sine 440 sine 1500 vol 0.5",
     "sox", false, -1, 30, 0, 0x02},
    {"mp3", "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=f=440:r=44100:d=1.5 "
            "-c:a libmp3lame -b:a 128k $OUT",
     "ffmpeg", true, -1, 25, 2, 0x55},
};

class WavDecode : public SoundFileTest, public ::testing::WithParamInterface<Case> {};

// 8-bit samples as the 16-bit ones a decoder gives for them.
std::vector<int16_t> Widen(const std::vector<uint8_t>& bytes, const WaveFormat& f) {
  if (f.wBitsPerSample == 16) return AsS16(bytes);
  std::vector<int16_t> s(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) s[i] = int16_t((bytes[i] - 128) * 256);
  return s;
}

}  // namespace

TEST_P(WavDecode, MatchesTheIndependentDecoderInBlocksAndAfterSeeks) {
  const Case& c = GetParam();
  if (!HaveTool(c.tool) || !HaveTool("sox")) GTEST_SKIP() << VEK_ORACLE_SKIP << c.tool << " is not installed";
  const std::string path = Temp(std::string(c.name) + ".wav");
  std::string make = c.make;
  make.replace(make.find("$OUT"), 4, path);
  ASSERT_TRUE(sftest::Run(make)) << make;
  const std::vector<int16_t> ref = c.ffmpeg_oracle ? FfmpegDecode(path) : SoxDecode(path);
  ASSERT_FALSE(ref.empty());

  QffInfo info{};
  ASSERT_EQ(Guarded([&] { FFInfo(path, kFmtWAV, info); }), std::make_pair(0, 0));
  EXPECT_EQ(int64_t(info.sndFormat.formatTag), c.tag);
  EXPECT_EQ(info.soundValid, -1);
  EXPECT_EQ(info.soundSupported, -1);
  EXPECT_EQ(int64_t(info.sndFormatOut.formatTag), 1);
  const int ch = info.sndFormatOut.channels;
  ASSERT_GE(ch, 1);

  Opened f(path);
  ASSERT_TRUE(ErrNone());
  const std::vector<uint8_t> bytes = f.LoadAll(777);
  const WaveFormat fmt = f.format;
  EXPECT_EQ(uint32_t(fmt.nSamplesPerSec), uint32_t(info.sndFormatOut.samplesPerSec));
  const std::vector<int16_t> got = Widen(bytes, fmt);
  const int64_t frames = int64_t(got.size()) / ch;
  if (c.max_diff >= 0) {
    // Exact formats: the same length and the same samples.
    EXPECT_EQ(got.size(), ref.size());
    EXPECT_LE(MaxDiff(ref, got), c.max_diff);
    EXPECT_EQ(info.samples, frames);
  } else {
    const double snr = SnrDb(ref, got);
    std::printf("%s: SNR %.1f dB against %s, %lld of %zu frames\n", c.name, snr,
                c.ffmpeg_oracle ? "ffmpeg" : "sox", static_cast<long long>(frames), ref.size() / ch);
    EXPECT_GE(snr, c.min_snr);
    EXPECT_NEAR(double(frames), double(ref.size() / ch), 2304.0);
  }

  // Loading from a position gives the samples found there in the whole.
  for (int32_t pos : {0, 1, 4093, int32_t(frames / 2) + 3, int32_t(frames) - 500}) {
    const std::vector<int16_t> part = Widen(f.Load(pos, 1000), fmt);
    ASSERT_TRUE(ErrNone()) << "at " << pos;
    if (c.seek == 2) {
      // Where a byte offset lands in a stream of frames of varying size is
      // known only roughly: sound is there, of the right kind.
      if (pos < frames - 3000) {
        EXPECT_EQ(int64_t(part.size()) / ch, 1000);
      }
      continue;
    }
    ASSERT_EQ(int64_t(part.size()) / ch, std::min<int64_t>(1000, frames - pos)) << "at " << pos;
    const std::vector<int16_t> want(got.begin() + int64_t(pos) * ch,
                                    got.begin() + int64_t(pos) * ch + int64_t(part.size()));
    if (c.seek == 0) {
      EXPECT_EQ(part, want) << "at " << pos;
    } else if (pos > 0) {
      EXPECT_GT(SnrDb(want, part), 20.0) << "at " << pos;  // without the preroll: 3 to 10 dB
    }
  }
  // Beyond the end: the last block, nothing after it.
  const std::vector<uint8_t> tail = f.Load(int32_t(frames) + 100000, 100000);
  EXPECT_LE(int64_t(tail.size()) / std::max<int>(fmt.nBlockAlign, 1), c.seek == 2 ? 8000 : 2304);
}

INSTANTIATE_TEST_SUITE_P(Formats, WavDecode, ::testing::ValuesIn(kCases),
                         [](const auto& i) { return std::string(i.param.name); });

namespace {

// A RIFF file built by hand: chunks in the given order.
struct Chunk {
  std::string id;
  std::vector<uint8_t> body;
  int64_t claimed = -1;  // size written in the header (-1: the real one)
};

std::vector<uint8_t> BuildRiff(const std::vector<Chunk>& chunks) {
  std::vector<uint8_t> f = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) f.push_back(uint8_t(v >> (8 * i)));
  };
  for (const Chunk& c : chunks) {
    f.insert(f.end(), c.id.begin(), c.id.end());
    put32(uint32_t(c.claimed >= 0 ? c.claimed : int64_t(c.body.size())));
    f.insert(f.end(), c.body.begin(), c.body.end());
    if (c.body.size() & 1) f.push_back(0);
  }
  const uint32_t riff = uint32_t(f.size() - 8);
  std::memcpy(&f[4], &riff, 4);
  return f;
}

std::vector<uint8_t> PcmFmt(uint16_t ch, uint32_t rate, uint16_t bits) {
  std::vector<uint8_t> b(16);
  const uint16_t align = uint16_t(ch * bits / 8);
  const uint32_t avg = rate * align;
  const uint16_t tag = 1;
  std::memcpy(&b[0], &tag, 2);
  std::memcpy(&b[2], &ch, 2);
  std::memcpy(&b[4], &rate, 4);
  std::memcpy(&b[8], &avg, 4);
  std::memcpy(&b[12], &align, 2);
  std::memcpy(&b[14], &bits, 2);
  return b;
}

std::vector<uint8_t> Ramp(size_t n) {
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i * 7919) >> 3);
  return b;
}

std::vector<uint8_t> List(size_t n) {
  std::vector<uint8_t> b = {'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T'};
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(n >> (8 * i)));
  for (size_t i = 0; i < n; ++i) b.push_back(uint8_t('a' + i % 26));
  return b;
}

}  // namespace

TEST_F(SoundFileTest, ChunksAroundTheDataAreReadPastAndTheSoundEndsWithTheData) {
  if (!HaveTool("sox")) GTEST_SKIP() << VEK_ORACLE_SKIP << "sox is not installed";
  const std::vector<uint8_t> samples = Ramp(2 * 2 * 3001);  // 16-bit stereo
  struct Layout {
    const char* name;
    std::vector<Chunk> chunks;
  };
  const std::vector<uint8_t> fact = {0xB9, 0x0B, 0, 0};
  const std::vector<uint8_t> cue(28, 0);
  const Layout layouts[] = {
      {"list_first", {{"LIST", List(33)}, {"fmt ", PcmFmt(2, 22050, 16)}, {"data", samples},
                      {"LIST", List(10)}}},
      {"odd_before_data", {{"fmt ", PcmFmt(2, 22050, 16)}, {"junk", Ramp(13)}, {"fact", fact},
                           {"data", samples}, {"cue ", cue}}},
      {"fmt_18", {{"fmt ", [] { auto f = PcmFmt(2, 22050, 16); f.resize(18, 0); return f; }()},
                  {"LIST", List(7)}, {"data", samples}}},
  };
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.name);
    const std::string path = Temp(std::string(l.name) + ".wav");
    WriteFile(path, BuildRiff(l.chunks));
    const std::vector<int16_t> ref = SoxDecode(path);
    ASSERT_EQ(ref.size() * 2, samples.size());
    Opened f(path);
    ASSERT_TRUE(ErrNone());
    const std::vector<uint8_t> got = f.LoadAll(1024);
    EXPECT_EQ(got, samples);
    EXPECT_EQ(AsS16(got), ref);
  }
}

TEST_F(SoundFileTest, ADataSizePastTheEndOfTheFileEndsWithTheFile) {
  if (!HaveTool("sox")) GTEST_SKIP() << VEK_ORACLE_SKIP << "sox is not installed";
  const std::vector<uint8_t> samples = Ramp(2 * 5000);
  for (int64_t claimed : {int64_t(20000), int64_t(0xFFFFFFFF)}) {
    const std::string path = Temp("past_end.wav");
    WriteFile(path, BuildRiff({{"fmt ", PcmFmt(1, 8000, 16)}, {"data", samples, claimed}}));
    QffInfo info{};
    ASSERT_EQ(Guarded([&] { FFInfo(path, kFmtWAV, info); }), std::make_pair(0, 0));
    EXPECT_EQ(info.samples, 5000);
    const std::vector<int16_t> ref = SoxDecode(path);
    Opened f(path);
    const std::vector<uint8_t> got = f.LoadAll(999);
    EXPECT_EQ(got, samples);
    EXPECT_EQ(AsS16(got), ref);
  }
}

TEST_F(SoundFileTest, LoadingWithTheContinueFlagReadsOnAndWithoutItRestartsThere) {
  const std::string path = Temp("cont.wav");
  const std::vector<uint8_t> samples = Ramp(2 * 4000);
  WriteFile(path, BuildRiff({{"fmt ", PcmFmt(1, 8000, 16)}, {"data", samples}}));
  Opened f(path);
  EXPECT_EQ(f.Load(0, 100), std::vector<uint8_t>(samples.begin(), samples.begin() + 200));
  // Continue at the current position: the next samples.
  EXPECT_EQ(f.Load(100, 100, 1), std::vector<uint8_t>(samples.begin() + 200, samples.begin() + 400));
  // Continue elsewhere, or no continue flag: read from the sample asked for.
  EXPECT_EQ(f.Load(50, 10, 1), std::vector<uint8_t>(samples.begin() + 100, samples.begin() + 120));
  EXPECT_EQ(f.Load(60, 10, 0), std::vector<uint8_t>(samples.begin() + 120, samples.begin() + 140));
  EXPECT_EQ(MviView(f.mh).samples_done, 70);
  // A negative start counts as 0.
  EXPECT_EQ(f.Load(-5, 3), std::vector<uint8_t>(samples.begin(), samples.begin() + 6));
}

TEST_F(SoundFileTest, InfoNamesTheFormatAndTellsWhatCannotBeDecoded) {
  const std::string path = Temp("names.wav");
  struct Named {
    uint16_t tag;
    const char* name;
    int32_t supported;
  };
  for (const Named& n : {Named{1, "(#1) PCM, uncompressed", -1},
                         Named{0x11, "(#17) IMA ADPCM", 0},  // block align 1 is no IMA block
                         Named{0x1234, "(#4660) Unknown codec", 0}}) {
    std::vector<uint8_t> fmt = PcmFmt(1, 8000, 16);
    std::memcpy(&fmt[0], &n.tag, 2);
    if (n.tag != 1) fmt[12] = 1;
    WriteFile(path, BuildRiff({{"fmt ", fmt}, {"data", Ramp(400)}}));
    QffInfo info{};
    ASSERT_EQ(Guarded([&] { FFInfo(path, kFmtWAV, info); }), std::make_pair(0, 0)) << n.name;
    EXPECT_STREQ(info.sndFormatName, n.name);
    EXPECT_EQ(info.soundSupported, n.supported) << n.name;
    EXPECT_EQ(info.soundValid, -1);
    // Loading what cannot be decoded gives no samples and no error.
    Opened f(path);
    EXPECT_EQ(f.Load(0, 100).size(), n.supported ? 200u : 0u);
    EXPECT_TRUE(ErrNone());
  }
}
