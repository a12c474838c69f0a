// Ogg Vorbis: decoding files that oggenc and ffmpeg wrote against oggdec,
// from the start and after seeks; files we write as ffprobe and oggdec see
// them; the quality setting; files that are no Ogg Vorbis.
#include "formats/format_descriptor.h"
#include "formats/movie/ogg.h"
#include "sound_files_util.h"

using namespace vek;
using namespace sftest;

namespace vek {
extern const FormatDescriptor kOggFormat;
}

namespace {

std::vector<int16_t> OggDec(const std::string& path) {
  const std::string raw = path + ".oggdec.raw";
  if (!sftest::Run("oggdec -Q -R -b 16 -e 0 -s 1 -o " + raw + " " + path)) return {};
  return AsS16(ReadFile(raw));
}

std::string Probe(const std::string& path, const char* entry) {
  return Capture(std::string("ffprobe -v error -select_streams a:0 -show_entries stream=") + entry +
                 " -of default=nw=1:nk=1 " + path);
}

struct Source {
  const char* name;
  const char* make;  // writes $OUT
  const char* tool;
  int rate, channels;
};

const Source kSources[] = {
    {"oggenc", "sox -n -r 44100 -c 2 -b 16 $OUT.wav synth 2.3 sine 440 sine 1300 vol 0.7 && "
               "oggenc -Q -q 4 -o $OUT $OUT.wav",
     "oggenc", 44100, 2},
    {"ffmpeg", "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=f=660:r=22050:d=2.1 "
               "-c:a libvorbis -q:a 2 $OUT",
     "ffmpeg", 22050, 1},
};

class OggDecode : public SoundFileTest, public ::testing::WithParamInterface<Source> {};

}  // namespace

TEST_P(OggDecode, MatchesOggdecFromTheStartAndAfterSeeks) {
  const Source& src = GetParam();
  if (!HaveTool(src.tool) || !HaveTool("oggdec") || !HaveTool("sox"))
    GTEST_SKIP() << VEK_ORACLE_SKIP << "oggenc, oggdec, ffmpeg or sox is not installed";
  const std::string path = Temp(std::string(src.name) + ".ogg");
  std::string make = src.make;
  for (size_t at; (at = make.find("$OUT")) != std::string::npos;) make.replace(at, 4, path);
  ASSERT_TRUE(sftest::Run(make)) << make;
  const std::vector<int16_t> ref = OggDec(path);
  ASSERT_FALSE(ref.empty());
  const int ch = src.channels;

  QffInfo info{};
  ASSERT_EQ(Guarded([&] { FFInfo(path, kFmtOGG, info); }), std::make_pair(0, 0));
  EXPECT_EQ(info.samples, int32_t(ref.size() / ch));
  EXPECT_EQ(int64_t(info.sndFormatOut.samplesPerSec), uint32_t(src.rate));
  EXPECT_EQ(int64_t(info.sndFormatOut.channels), ch);
  EXPECT_EQ(int64_t(info.sndFormatOut.bitsPerSample), 16);
  EXPECT_EQ(int64_t(info.sndFormatOut.blockAlign), 2 * ch);
  EXPECT_STREQ(info.sndFormatName, "Ogg Vorbis audio codec");
  EXPECT_EQ(info.soundSupported, -1);

  Opened f(path);
  ASSERT_TRUE(ErrNone());
  const std::vector<int16_t> all = AsS16(f.LoadAll(1111));
  ASSERT_EQ(all.size(), ref.size());
  EXPECT_LE(MaxDiff(all, ref), 1);

  const int32_t frames = int32_t(ref.size() / ch);
  for (int32_t pos : {0, 1, 4097, frames / 2 + 7, frames - 300}) {
    const std::vector<int16_t> part = AsS16(f.Load(pos, 2000));
    ASSERT_EQ(int32_t(part.size()) / ch, std::min(2000, frames - pos)) << "at " << pos;
    const std::vector<int16_t> want(ref.begin() + int64_t(pos) * ch,
                                    ref.begin() + int64_t(pos) * ch + int64_t(part.size()));
    EXPECT_LE(MaxDiff(part, want), 1) << "at " << pos;
    EXPECT_EQ(MviView(f.mh).samples_done, pos + int32_t(part.size()) / ch);
  }
  // Loading on with the continue flag does not seek.
  const std::vector<int16_t> a = AsS16(f.Load(100, 500)), b = AsS16(f.Load(600, 500, 1));
  EXPECT_LE(MaxDiff(b, std::vector<int16_t>(ref.begin() + 600 * ch, ref.begin() + 1100 * ch)), 1);
  // Beyond the end: nothing.
  EXPECT_TRUE(f.Load(frames + 10, 100).empty());
}

INSTANTIATE_TEST_SUITE_P(Writers, OggDecode, ::testing::ValuesIn(kSources),
                         [](const auto& i) { return std::string(i.param.name); });

namespace {

// Writes `seconds` of a two-tone signal through the movie layer.
void Encode(const std::string& path, int rate, int ch, int bits, double seconds, int block) {
  struct Handle {
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    ~Handle() {
      if (mh.state) MonitoredBoundary("Test.Close", [&] { MviClose(mh); });
    }
  } h;
  MviCreate(h.mh, path, 25, 25, 1);
  const int total = int(rate * seconds);
  for (int done = 0; done < total; done += block) {
    const int n = std::min(block, total - done);
    SoundBuffer b{};
    WaveFormat f{};
    SndMakeFormat(f, rate, ch, bits);
    _sndalloc_(b, int64_t(n) * f.nBlockAlign, 1, "Test.Encode");
    b.format = f;
    b.sample_count = n;
    for (int i = 0; i < n; ++i)
      for (int c = 0; c < ch; ++c) {
        const double v = 0.4 * std::sin(2 * M_PI * 440 * (done + i) / rate) +
                         0.2 * std::sin(2 * M_PI * (1000 + 500 * c) * (done + i) / rate);
        if (bits == 16) {
          const int16_t s = int16_t(std::lround(v * 32767));
          std::memcpy(b.data + (int64_t(i) * ch + c) * 2, &s, 2);
        } else {
          b.data[int64_t(i) * ch + c] = uint8_t(std::lround(v * 127) + 128);
        }
      }
    MviSndSave(h.mh, b);
    SndFree(b);
  }
  MviClose(h.mh);
}

}  // namespace

TEST_F(SoundFileTest, WrittenOggFilesPlayWithTheRightRateChannelsAndLength) {
  if (!HaveTool("ffprobe") || !HaveTool("oggdec")) GTEST_SKIP() << VEK_ORACLE_SKIP << "ffprobe or oggdec missing";
  struct Shape {
    int rate, ch, bits, block;
  };
  for (const Shape& s : {Shape{44100, 2, 16, 4410}, Shape{22050, 1, 8, 1000}, Shape{8000, 1, 16, 333},
                         Shape{48000, 2, 16, 48000}}) {
    SCOPED_TRACE(s.rate);
    const std::string path = Temp("enc.ogg");
    WriteFile(path, std::vector<uint8_t>(100, 1));  // an old file is replaced
    ASSERT_EQ(Guarded([&] { Encode(path, s.rate, s.ch, s.bits, 1.5, s.block); }),
              std::make_pair(0, 0));
    EXPECT_EQ(Probe(path, "codec_name"), "vorbis");
    EXPECT_EQ(Probe(path, "sample_rate"), std::to_string(s.rate));
    EXPECT_EQ(Probe(path, "channels"), std::to_string(s.ch));
    const std::vector<int16_t> dec = OggDec(path);
    const int frames = int(s.rate * 1.5);
    // Exactly the frames written: the last page's granule position ends the
    // sound where the input ended.
    EXPECT_EQ(dec.size(), size_t(frames) * s.ch);
    // What comes back sounds like what went in.
    std::vector<int16_t> ideal(size_t(frames) * s.ch);
    for (int i = 0; i < frames; ++i)
      for (int c = 0; c < s.ch; ++c)
        ideal[size_t(i) * s.ch + c] =
            int16_t(std::lround(32767 * (0.4 * std::sin(2 * M_PI * 440 * i / s.rate) +
                                         0.2 * std::sin(2 * M_PI * (1000 + 500 * c) * i / s.rate))));
    EXPECT_GT(SnrDb(ideal, dec), s.bits == 8 ? 20.0 : 25.0);
    // And we read it back with the same length.
    Opened f(path);
    EXPECT_EQ(uint32_t(MviView(f.mh).sound.nSamplesPerSec), uint32_t(s.rate));
    EXPECT_EQ(f.LoadAll(5000).size(), dec.size() * 2);
  }
}

TEST_F(SoundFileTest, TheQualityOfTheSaveOptionsReachesTheEncoder) {
  const int32_t before = OggSetQuality(kUndefined);
  VekSaveOpts o{};
  o.prepQuality = kUndefined;
  std::vector<size_t> sizes;
  for (int32_t q : {0, 90}) {
    kOggFormat.save.set_quality(o, q);
    kOggFormat.save.apply(o);
    EXPECT_EQ(OggSetQuality(kUndefined), q);
    const std::string path = Temp("q.ogg");
    ASSERT_EQ(Guarded([&] { Encode(path, 44100, 2, 16, 2.0, 44100); }), std::make_pair(0, 0));
    sizes.push_back(ReadFile(path).size());
  }
  EXPECT_GT(double(sizes[1]), sizes[0] * 1.4);
  // Clamped, and the undefined marker only asks.
  EXPECT_EQ(OggSetQuality(500), 100);
  EXPECT_EQ(OggSetQuality(-50), -10);
  EXPECT_EQ(OggSetQuality(kUndefined), -10);
  OggSetQuality(before);
}

TEST_F(SoundFileTest, ACreatedOggFileThatNeverGetsSoundIsNotWritten) {
  const std::string path = Temp("never.ogg");
  std::remove(path.c_str());
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  ASSERT_EQ(Guarded([&] {
              MviCreate(mh, path, 25, 25, 1);
              MviClose(mh);
            }),
            std::make_pair(0, 0));
  EXPECT_FALSE(FExists(path));
}

TEST_F(SoundFileTest, FilesThatAreNoOggVorbisCannotBeOpened) {
  const std::string path = Temp("not.ogg");
  std::vector<uint8_t> junk(5000);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 13);
  std::memcpy(junk.data(), "OggS", 4);
  WriteFile(path, junk);
  QffInfo info{};
  EXPECT_EQ(Guarded([&] { FFInfo(path, kFmtOGG, info); }),
            std::make_pair(int32_t(kGrpMovie), int32_t(kMviOpen)));
  EXPECT_EQ(Guarded([&] { FFInfo(Temp("missing.ogg"), kFmtOGG, info); }),
            std::make_pair(int32_t(kGrpMovie), int32_t(kMviOpen)));
  Opened f(path);
  EXPECT_EQ(ErrGroup(), kGrpMovie);
  ErrClear();
}
