// Sound buffer operations: silence, join, move, delete, convert and the
// streaming decoder, including records a host may hand over damaged.
#include <numeric>

#include "sound_test_util.h"

using namespace vek;
using soundtest::SoundTest;

namespace {

WaveFormat Pcm(int rate, int ch, int bits) {
  WaveFormat f{};
  SndMakeFormat(f, rate, ch, bits);
  return f;
}

// A buffer holding `frames` frames of a byte ramp.
SoundBuffer Ramp(const WaveFormat& f, int frames) {
  SoundBuffer b{};
  _sndalloc_(b, int64_t(frames) * f.nBlockAlign, 1, "Test.Ramp");
  b.format = f;
  b.sample_count = frames;
  for (int i = 0; i < frames * f.nBlockAlign; ++i) b.data[i] = uint8_t(i % 251);
  return b;
}

}  // namespace

TEST_F(SoundTest, FormatOperations) {
  WaveFormat f = Pcm(44100, 2, 16);
  EXPECT_EQ(+f.nBlockAlign, 4);
  EXPECT_EQ(+f.nAvgBytesPerSec, 176400u);
  WaveFormat g{};
  g.nChannels = 1;
  g.nSamplesPerSec = 8000;
  g.wBitsPerSample = 8;
  EXPECT_TRUE(SndCompleteFormat(g));  // the tag is not examined
  EXPECT_EQ(+g.nAvgBytesPerSec, 8000u);
  g.nSamplesPerSec = 0;
  EXPECT_FALSE(SndCompleteFormat(g));
  // Products that do not fit the record's fields are no format.
  WaveFormat huge = Pcm(1, 1, 8);
  huge.nChannels = 60000;
  huge.wBitsPerSample = 64;
  EXPECT_FALSE(SndCompleteFormat(huge));
  WaveFormat nibbles = Pcm(22050, 2, 8);
  nibbles.wBitsPerSample = 4;  // no whole bytes per frame
  EXPECT_FALSE(SndCompleteFormat(nibbles));
  EXPECT_EQ(+nibbles.nBlockAlign, 2);
  WaveFormat h = f;
  h.cbSize = 22;  // extra size is not compared
  EXPECT_FALSE(SndFormatsDiffer(f, h));
  h.nSamplesPerSec = 22050;
  EXPECT_TRUE(SndFormatsDiffer(f, h));
}

TEST_F(SoundTest, SilenceFillsByWidthAndDefaultsATagZeroFormat) {
  SoundBuffer b{};
  SndMakeSilence(b, 100, Pcm(8000, 1, 8));
  ASSERT_EQ(b.sample_count, 100);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(b.data[i], 128);
  EXPECT_EQ(std::string(MemLabel(b.data)).find("C:SndBasic.SndAddSilence.snd.SndData:"), 0u);
  SndFree(b);

  SndMakeSilence(b, 50, Pcm(22050, 2, 16));
  for (int i = 0; i < 200; ++i) ASSERT_EQ(b.data[i], 0);
  // Not above the current count: nothing changes.
  b.data[0] = 7;
  SndAddSilence(b, 10);
  EXPECT_EQ(b.sample_count, 50);
  EXPECT_EQ(b.data[0], 7);
  SndFree(b);

  WaveFormat t = Pcm(44100, 2, 16);
  t.wFormatTag = 0;
  SndMakeSilence(b, 30, t);
  EXPECT_EQ(+b.format.wFormatTag, 1);
  EXPECT_EQ(+b.format.nSamplesPerSec, 22050u);
  EXPECT_EQ(+b.format.nChannels, 1);
  EXPECT_EQ(+b.format.wBitsPerSample, 8);
  EXPECT_EQ(b.sample_count, 30);
  EXPECT_EQ(b.data[29], 128);
  SndFree(b);

  SoundBuffer bad{};
  EXPECT_EQ(Guarded([&] { SndAddSilence(bad, 10); }), std::make_pair(8, 4));
  // A request beyond 2 GiB is refused, not attempted.
  SoundBuffer big{};
  big.format = Pcm(44100, 2, 16);
  EXPECT_EQ(Guarded([&] { SndAddSilence(big, 1 << 30); }), std::make_pair(5, 5));
  EXPECT_EQ(big.data, nullptr);
}

TEST_F(SoundTest, JoinTakesFormatConvertsAndAppends) {
  SoundBuffer src = Ramp(Pcm(22050, 2, 16), 100);
  SoundBuffer empty{};
  empty.format = Pcm(8000, 1, 8);
  SndJoin(empty, src);
  EXPECT_FALSE(SndFormatsDiffer(empty.format, src.format));
  ASSERT_EQ(empty.sample_count, 100);
  EXPECT_EQ(std::memcmp(empty.data, src.data, 400), 0);
  SndFree(empty);

  SoundBuffer mono8{};
  SndMakeSilence(mono8, 40, Pcm(22050, 1, 8));
  SndJoin(mono8, src);
  EXPECT_EQ(+mono8.format.nChannels, 1);
  EXPECT_EQ(mono8.sample_count, 140);
  SndFree(mono8);

  // Joining a buffer to itself doubles it.
  SndJoin(src, src);
  ASSERT_EQ(src.sample_count, 200);
  EXPECT_EQ(std::memcmp(src.data, src.data + 400, 400), 0);

  SoundBuffer nothing{};
  SoundBuffer copy = Ramp(Pcm(8000, 1, 8), 5);
  SndJoin(copy, nothing);  // an empty source changes nothing
  EXPECT_EQ(copy.sample_count, 5);
  SndFree(copy);
  SndFree(src);
}

TEST_F(SoundTest, MoveAndDeleteRanges) {
  SoundBuffer src = Ramp(Pcm(8000, 2, 16), 100);
  SoundBuffer dst{};
  SndMove(src, dst, 90, 50);
  ASSERT_EQ(dst.sample_count, 10);
  EXPECT_EQ(std::memcmp(dst.data, src.data + 360, 40), 0);
  EXPECT_EQ(src.sample_count, 100);
  EXPECT_EQ(std::string(MemLabel(dst.data)).find("C:(SndAlloc):SndBasic.SndMove.dest"), 0u);
  SndMove(src, dst, 100, 5);  // starts beyond: quiet, unchanged
  EXPECT_EQ(dst.sample_count, 10);
  SndFree(dst);

  // Within one buffer.
  SoundBuffer same = Ramp(Pcm(8000, 1, 8), 50);
  SndMove(same, same, 10, 20);
  ASSERT_EQ(same.sample_count, 20);
  EXPECT_EQ(same.data[0], 10);
  EXPECT_EQ(same.data[19], 29);
  SndFree(same);

  const int32_t cap = src.capacity;
  SndDelete(src, 10, 20);
  ASSERT_EQ(src.sample_count, 80);
  EXPECT_EQ(src.capacity, 320);
  EXPECT_EQ(src.data[40], uint8_t(120 % 251));
  SndDelete(src, 70, 1000);  // runs past the end: cut, storage kept
  EXPECT_EQ(src.sample_count, 70);
  EXPECT_EQ(src.capacity, 320);
  EXPECT_NE(cap, 0);
  SndDelete(src, 0, 70);  // everything: no error, storage released
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(src.sample_count, 0);
  SndFree(src);
}

TEST_F(SoundTest, ConvertCopiesEqualFormatsAndRejectsBadTargets) {
  SoundBuffer src = Ramp(Pcm(11025, 1, 16), 300);
  SoundBuffer dst{};
  SndConvert(src, dst, src.format);
  ASSERT_EQ(dst.sample_count, 300);
  EXPECT_EQ(std::memcmp(dst.data, src.data, 600), 0);

  WaveFormat zero{};
  EXPECT_EQ(Guarded([&] { SndConvert(src, dst, zero); }), std::make_pair(8, 1));
  // A format the service cannot produce: its own result as the code.
  WaveFormat many = Pcm(44100, 6, 16);
  EXPECT_EQ(Guarded([&] { SndConvert(src, dst, many); }), std::make_pair(19, 512));
  WaveFormat fast = Pcm(4000000, 2, 16);
  EXPECT_EQ(Guarded([&] { SndConvert(src, dst, fast); }), std::make_pair(19, 512));

  // Channel and width loops: 8-bit mono up to 16-bit stereo and back down.
  SoundBuffer m8 = Ramp(Pcm(11025, 1, 8), 4);
  m8.data[0] = 192;
  m8.data[1] = 0;
  m8.data[2] = 255;
  m8.data[3] = 128;
  SoundBuffer s16{}, back{};
  SndConvert(m8, s16, Pcm(11025, 2, 16));
  ASSERT_EQ(s16.sample_count, 4);
  const int16_t* v = reinterpret_cast<const int16_t*>(s16.data);
  const int16_t want[8] = {16384, 16384, -32768, -32768, 32512, 32512, 0, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(v[i], want[i]) << i;
  SndConvert(s16, back, Pcm(11025, 1, 8));
  ASSERT_EQ(back.sample_count, 4);
  EXPECT_EQ(std::memcmp(back.data, m8.data, 4), 0);
  // A very short sound still gives its full length at the new rate.
  SoundBuffer up{};
  SndMove(m8, dst, 0, 3);
  SndConvert(dst, up, Pcm(44100, 1, 16));
  EXPECT_EQ(up.sample_count, 12);
  SndFree(up);
  SndFree(back);
  SndFree(s16);
  SndFree(m8);

  // In place.
  SndConvert(src, src, Pcm(22050, 2, 8));
  EXPECT_EQ(+src.format.nChannels, 2);
  EXPECT_NEAR(src.sample_count, 600, 2);
  SndFree(dst);
  SndFree(src);
}

TEST_F(SoundTest, DamagedRecordsAreTreatedAsEmptyOrClamped) {
  uint8_t foreign[64] = {};
  SoundBuffer b{};
  b.data = foreign;  // not ours: the buffer counts as empty
  b.capacity = 1 << 30;
  b.sample_count = 1 << 29;
  b.format = Pcm(8000, 1, 8);
  SndAddSilence(b, 16);
  EXPECT_NE(b.data, foreign);
  EXPECT_EQ(b.sample_count, 16);
  // A count beyond the block is cut to what the block holds.
  b.sample_count = 100000;
  SoundBuffer d{};
  SndJoin(d, b);
  EXPECT_EQ(d.sample_count, 16);
  SndFree(d);
  SndFree(b);
}

namespace {

// A PCM "file" read in chunks of a given size.
struct FakeFile {
  std::vector<uint8_t> bytes;
  size_t pos = 0;
  size_t chunk = 0;
  int reads = 0;
};

void FakeRead(void* module, uint8_t*& raw, int32_t, int32_t& bytes, int32_t& blocks) {
  auto& f = *static_cast<FakeFile*>(module);
  ++f.reads;
  const size_t n = std::min(f.chunk, f.bytes.size() - f.pos);
  bytes = blocks = 0;
  if (n == 0) return;
  MemAlloc(raw, int64_t(n), 1, kMemRealloc, "Test.FakeRead.raw");
  std::memcpy(raw, f.bytes.data() + f.pos, n);
  f.pos += n;
  bytes = blocks = int32_t(n);
}

}  // namespace

TEST_F(SoundTest, SndLoadServesFromStagingBeforeReading) {
  FakeFile file;
  file.bytes.resize(3000);
  for (size_t i = 0; i < file.bytes.size(); ++i) file.bytes[i] = uint8_t(i % 251);
  file.chunk = 2500;
  WaveFormat f = Pcm(8000, 1, 8);
  SndDecodeState dec{};
  dec.src_format = &f;
  dec.src_format_size = 18;
  dec.out_format = f;
  dec.blocks_total = 3000;
  dec.ratio = 1.0;
  WaveConvState conv{};
  WaveConvertInit(conv, &f, &f);
  SoundBuffer out{};
  std::vector<uint8_t> got;
  for (int call = 0; call < 4; ++call) {
    SndLoad(&file, conv, dec, FakeRead, 1000, out);
    got.insert(got.end(), out.data, out.data + out.sample_count);
    if (call == 1) {
      EXPECT_EQ(file.reads, 1) << "1500 staged frames cover the second call";
    }
  }
  EXPECT_EQ(got, file.bytes);
  EXPECT_TRUE(dec.ended);
  SndLoad(&file, conv, dec, FakeRead, 1000, out);  // after the end: empty
  EXPECT_EQ(out.sample_count, 0);
  WaveConvertDone(conv);
  SndDecodeFree(dec);
  SndFree(out);
}
