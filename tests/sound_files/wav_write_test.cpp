// Writing wave files: the exact layout, what sox makes of them, and sound
// that arrives in another format than the first buffer's.
#include "formats/movie/wav.h"
#include "sound_files_util.h"

using namespace vek;
using namespace sftest;

namespace {

SoundBuffer Buffer(int rate, int ch, int bits, int frames, int seed) {
  SoundBuffer b{};
  WaveFormat f{};
  SndMakeFormat(f, rate, ch, bits);
  _sndalloc_(b, std::max<int64_t>(int64_t(frames) * f.nBlockAlign, 1), 1, "Test.Buffer");
  b.format = f;
  b.sample_count = frames;
  for (int64_t i = 0; i < int64_t(frames) * f.nBlockAlign; ++i)
    b.data[i] = uint8_t((i * 31 + seed) ^ (i >> 7));
  return b;
}

// Writes the buffers through the movie layer.
void Write(const std::string& path, std::vector<SoundBuffer>& buffers) {
  struct Handle {
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    ~Handle() {
      if (mh.state) MonitoredBoundary("Test.Close", [&] { MviClose(mh); });
    }
  } h;
  MviCreate(h.mh, path, 25.0, 25, 1);
  for (SoundBuffer& b : buffers) MviSndSave(h.mh, b);
  MviClose(h.mh);
}

uint32_t Le32(const std::vector<uint8_t>& f, size_t at) {
  uint32_t v;
  std::memcpy(&v, &f[at], 4);
  return v;
}

std::string Soxi(const std::string& path, const char* what) {
  return Capture(std::string("soxi ") + what + " " + path);
}

}  // namespace

TEST_F(SoundFileTest, WrittenFilesHaveTheExactLayoutAndSoxReadsThem) {
  struct Shape {
    int rate, ch, bits;
    std::vector<int> frames;  // per buffer
  };
  const Shape shapes[] = {{44100, 2, 16, {1000, 1, 4410}},
                          {22050, 1, 8, {301, 0, 1000}},  // odd data: a pad byte
                          {8000, 1, 16, {1}}};
  for (const Shape& sh : shapes) {
    SCOPED_TRACE(sh.bits);
    const std::string path = Temp("layout.wav");
    WriteFile(path, std::vector<uint8_t>(5000, 0xEE));  // an old file is replaced
    std::vector<SoundBuffer> bufs;
    std::vector<uint8_t> want;
    for (size_t i = 0; i < sh.frames.size(); ++i) {
      bufs.push_back(Buffer(sh.rate, sh.ch, sh.bits, sh.frames[i], int(i)));
      want.insert(want.end(), bufs.back().data,
                  bufs.back().data + int64_t(sh.frames[i]) * bufs.back().format.nBlockAlign);
    }
    ASSERT_EQ(Guarded([&] { Write(path, bufs); }), std::make_pair(0, 0));
    for (SoundBuffer& b : bufs) SndFree(b);

    const std::vector<uint8_t> f = ReadFile(path);
    const size_t n = want.size();
    ASSERT_EQ(f.size(), 46 + n + (n & 1));
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "RIFF");
    EXPECT_EQ(Le32(f, 4), f.size() - 8);
    EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Le32(f, 16), 18u);
    WaveFormat expect{};
    SndMakeFormat(expect, sh.rate, sh.ch, sh.bits);
    EXPECT_EQ(std::memcmp(&f[20], &expect, 18), 0);
    EXPECT_EQ(std::string(f.begin() + 38, f.begin() + 42), "data");
    EXPECT_EQ(Le32(f, 42), n);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), f.begin() + 46));
    if (n & 1) {
      EXPECT_EQ(f.back(), 0);
    }

    if (!HaveTool("soxi")) continue;
    EXPECT_EQ(Soxi(path, "-r"), std::to_string(sh.rate));
    EXPECT_EQ(Soxi(path, "-c"), std::to_string(sh.ch));
    EXPECT_EQ(Soxi(path, "-b"), std::to_string(sh.bits));
    EXPECT_EQ(Soxi(path, "-s"), std::to_string(n / expect.nBlockAlign));
    // And the samples sox decodes are the ones written.
    const std::string raw = path + ".raw";
    ASSERT_TRUE(sftest::Run("sox " + path + " -t raw " + raw));
    EXPECT_EQ(ReadFile(raw), want);
  }
}

TEST_F(SoundFileTest, SoundInAnotherFormatIsConvertedToTheFilesFormat) {
  const std::string path = Temp("mixed.wav");
  // 16-bit stereo first, then the same tone as 8-bit mono.
  std::vector<SoundBuffer> bufs;
  WaveFormat st{}, mono{};
  SndMakeFormat(st, 22050, 2, 16);
  SndMakeFormat(mono, 22050, 1, 8);
  SoundBuffer a{}, b{};
  _sndalloc_(a, 2000 * 4, 1, "Test.a");
  _sndalloc_(b, 2000, 2, "Test.b");
  a.format = st;
  b.format = mono;
  a.sample_count = b.sample_count = 2000;
  for (int i = 0; i < 2000; ++i) {
    const double v = std::sin(i * 0.05) * 0.5;
    const int16_t s = int16_t(std::lround(v * 32767));
    std::memcpy(a.data + 4 * i, &s, 2);
    std::memcpy(a.data + 4 * i + 2, &s, 2);
    b.data[i] = uint8_t(std::lround(v * 127) + 128);
  }
  bufs.push_back(a);
  bufs.push_back(b);
  ASSERT_EQ(Guarded([&] { Write(path, bufs); }), std::make_pair(0, 0));
  SndFree(bufs[0]);
  SndFree(bufs[1]);

  Opened f(path);
  const std::vector<int16_t> s = AsS16(f.LoadAll(4096));
  EXPECT_EQ(int(f.format.nChannels), 2);
  EXPECT_EQ(int(f.format.wBitsPerSample), 16);
  ASSERT_EQ(s.size(), 2u * 4000);
  // The second half is the same tone again, not 8-bit bytes read as noise.
  std::vector<int16_t> first(s.begin(), s.begin() + 4000), second(s.begin() + 4000, s.end());
  EXPECT_GT(SnrDb(first, second), 35.0);
}

TEST_F(SoundFileTest, WritingFailuresAreReportedNotIgnored) {
  // A folder that does not exist: the file cannot be created.
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  EXPECT_EQ(Guarded([&] { MviCreate(mh, "/nonexistent-dir/x.wav", 25, 25, 1); }),
            std::make_pair(int32_t(kGrpWav), int32_t(kWavCreate)));
  MonitoredBoundary("Test.Close", [&] { MviClose(mh); });
  // A buffer whose format cannot be completed.
  const std::string path = Temp("badfmt.wav");
  SoundBuffer b = Buffer(8000, 1, 16, 10, 0);
  b.format.nChannels = 0;
  std::vector<SoundBuffer> bufs{b};
  EXPECT_EQ(Guarded([&] { Write(path, bufs); }).first, kGrpAudio);
  SndFree(bufs[0]);
}
