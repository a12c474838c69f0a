// The audio compression service: results and flags a host relies on,
// hostile format records, and streaming that loses nothing.
#include "sound_test_util.h"
#include "windows_skip.h"

using namespace vek;
using namespace vek::platform;
using soundtest::SoundTest;

namespace {

WAVEFORMATEX Fmt(uint16_t tag, uint16_t ch, uint32_t rate, uint16_t align, uint16_t bits,
                 uint32_t avg = 0) {
  WAVEFORMATEX f{};
  f.wFormatTag = tag;
  f.nChannels = ch;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = align;
  f.wBitsPerSample = bits;
  f.nAvgBytesPerSec = avg ? avg : rate * align;
  return f;
}

// Converts `in` in passes of `step` bytes (the last one carries the end flag).
std::vector<uint8_t> Stream(const WAVEFORMATEX& from, const WAVEFORMATEX& to,
                            const std::vector<uint8_t>& in, size_t step, size_t room) {
  HACMSTREAM s = nullptr;
  EXPECT_EQ(acmStreamOpen(&s, nullptr, &from, &to, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
            0u);
  std::vector<uint8_t> out, buf(room);
  DWORD flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
  for (size_t pos = 0; pos < in.size(); pos += step) {
    ACMSTREAMHEADER h{};
    h.cbStruct = kAcmStreamHeaderSize;
    h.pbSrc = const_cast<uint8_t*>(in.data() + pos);
    h.cbSrcLength = DWORD(std::min(step, in.size() - pos));
    h.pbDst = buf.data();
    h.cbDstLength = DWORD(room);
    EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), 0u);
    const bool last = pos + step >= in.size();
    EXPECT_EQ(acmStreamConvert(s, &h, flags | (last ? ACM_STREAMCONVERTF_END : 0)), 0u);
    EXPECT_EQ(+h.cbSrcLengthUsed, +h.cbSrcLength);
    EXPECT_LE(h.cbDstLengthUsed, room);
    out.insert(out.end(), buf.begin(), buf.begin() + h.cbDstLengthUsed);
    EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), 0u);
    flags = ACM_STREAMCONVERTF_BLOCKALIGN;
  }
  EXPECT_EQ(acmStreamClose(s, 0), 0u);
  return out;
}

}  // namespace

TEST_F(SoundTest, SuggestGivesPcmFormsAndRefusesUnknownOrAbsurdFormats) {
  VEK_SKIP_ON_WINDOWS("checks the library's own Audio Compression Manager (the Linux backend); this build calls the system's");
  const WAVEFORMATEX ok[] = {
      Fmt(2, 2, 22050, 1024, 4, 22311), Fmt(0x11, 1, 44100, 1024, 4, 22201),
      Fmt(6, 1, 8000, 1, 8),            Fmt(7, 2, 8000, 2, 8),
      Fmt(0x31, 1, 8000, 65, 0, 1625),  Fmt(0x50, 2, 44100, 1, 0, 24000),
      Fmt(0x55, 1, 22050, 1, 0, 8000),
  };
  for (const WAVEFORMATEX& f : ok) {
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = 1;
    ASSERT_EQ(acmFormatSuggest(nullptr, &f, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG), 0u)
        << "tag " << f.wFormatTag;
    EXPECT_EQ(+pcm.wFormatTag, 1);
    EXPECT_EQ(+pcm.nChannels, +f.nChannels);
    EXPECT_EQ(+pcm.nSamplesPerSec, +f.nSamplesPerSec);
    EXPECT_EQ(+pcm.wBitsPerSample, 16);
    EXPECT_EQ(+pcm.nBlockAlign, 2 * +f.nChannels);
  }
  const WAVEFORMATEX bad[] = {
      Fmt(0x161, 2, 44100, 4096, 16),  // unknown tag: never a guess
      Fmt(2, 2, 22050, 0, 4),          // no block
      Fmt(2, 0, 22050, 1024, 4),       // no channels
      Fmt(2, 9, 22050, 1024, 4),       // too many channels
      Fmt(0x11, 1, 0, 1024, 4),        // no rate
      Fmt(0x11, 1, 0xFFFFFFFF, 1024, 4),
      Fmt(0x31, 2, 8000, 65, 0),       // GSM is mono
      Fmt(0x55, 2, 44100, 1, 0, 999),  // no usable data rate
      Fmt(1, 2, 44100, 6, 24),         // 24-bit PCM is not converted here
      Fmt(1, 2, 44100, 3, 16),         // inconsistent block align
  };
  for (const WAVEFORMATEX& f : bad) {
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = 1;
    EXPECT_EQ(acmFormatSuggest(nullptr, &f, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
              ACMERR_NOTPOSSIBLE);
    HACMSTREAM s = reinterpret_cast<HACMSTREAM>(1);
    const WAVEFORMATEX to = Fmt(1, 1, 22050, 2, 16);
    EXPECT_EQ(acmStreamOpen(&s, nullptr, &f, &to, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME),
              ACMERR_NOTPOSSIBLE);
    EXPECT_EQ(s, nullptr);
  }
  WAVEFORMATEX pcm{};
  EXPECT_EQ(acmFormatSuggest(nullptr, &ok[0], &pcm, 16, ACM_FORMATSUGGESTF_WFORMATTAG),
            MMSYSERR_INVALPARAM);
}

TEST_F(SoundTest, TagDetailsNameTheFormats) {
  VEK_SKIP_ON_WINDOWS("checks the library's own Audio Compression Manager (the Linux backend); this build calls the system's");
  const std::pair<uint16_t, const char*> names[] = {
      {1, "PCM"},         {2, "Microsoft ADPCM"}, {6, "CCITT A-Law"},
      {7, "CCITT u-Law"}, {0x11, "IMA ADPCM"},    {0x31, "GSM 6.10"},
      {0x50, "MPEG Layer-1/2"}, {0x55, "MPEG Layer-3"}};
  for (const auto& [tag, name] : names) {
    ACMFORMATTAGDETAILS d{};
    d.cbStruct = sizeof d;
    d.dwFormatTag = tag;
    ASSERT_EQ(acmFormatTagDetailsA(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), 0u);
    EXPECT_STREQ(d.szFormatTag, name);
  }
  ACMFORMATTAGDETAILS d{};
  d.cbStruct = sizeof d;
  d.dwFormatTag = 0x0161;  // Windows Media Audio: not decoded here
  EXPECT_EQ(acmFormatTagDetails(nullptr, &d, ACM_FORMATTAGDETAILSF_FORMATTAG), ACMERR_NOTPOSSIBLE);
  d.dwFormatTagIndex = 2;
  EXPECT_EQ(acmFormatTagDetails(nullptr, &d, ACM_FORMATTAGDETAILSF_INDEX), 0u);
  EXPECT_EQ(d.dwFormatTag, 6u);
  d.cbStruct = 20;
  EXPECT_EQ(acmFormatTagDetails(nullptr, &d, ACM_FORMATTAGDETAILSF_INDEX), MMSYSERR_INVALPARAM);
}

TEST_F(SoundTest, StreamCallsCheckHandlesHeadersAndFlags) {
  VEK_SKIP_ON_WINDOWS("checks the library's own Audio Compression Manager (the Linux backend); this build calls the system's");
  const WAVEFORMATEX a = Fmt(1, 2, 44100, 4, 16), b = Fmt(1, 1, 22050, 1, 8);
  DWORD size = 0;
  EXPECT_EQ(acmStreamSize(nullptr, 100, &size, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(acmStreamOpen(nullptr, nullptr, &a, &b, nullptr, 0, 0, ACM_STREAMOPENF_QUERY), 0u);
  HACMSTREAM s = nullptr;
  ASSERT_EQ(acmStreamOpen(&s, nullptr, &a, &b, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME), 0u);
  EXPECT_EQ(acmStreamSize(s, 4000, &size, ACM_STREAMSIZEF_SOURCE), 0u);
  EXPECT_EQ(size, 500u);
  EXPECT_EQ(acmStreamSize(s, 500, &size, ACM_STREAMSIZEF_DESTINATION), 0u);
  EXPECT_EQ(size, 4000u);
  std::vector<uint8_t> in(4000), out(600);
  ACMSTREAMHEADER h{};
  h.cbStruct = 80;
  h.pbSrc = in.data();
  h.cbSrcLength = 4000;
  h.pbDst = out.data();
  h.cbDstLength = 600;
  EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), MMSYSERR_INVALPARAM);
  h.cbStruct = kAcmStreamHeaderSize;
  EXPECT_EQ(acmStreamConvert(s, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamPrepareHeader(s, &h, 0), 0u);
  EXPECT_EQ(acmStreamConvert(s, &h, 0x100), MMSYSERR_INVALFLAG);
  EXPECT_EQ(acmStreamConvert(s, &h, ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END), 0u);
  EXPECT_TRUE(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
  EXPECT_NEAR(double(+h.cbDstLengthUsed), 500, 2);
  EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), 0u);
  EXPECT_EQ(acmStreamUnprepareHeader(s, &h, 0), ACMERR_UNPREPARED);
  EXPECT_EQ(acmStreamClose(s, 0), 0u);
  EXPECT_EQ(acmStreamClose(s, 0), MMSYSERR_INVALHANDLE);
}

TEST_F(SoundTest, StreamingInOddPiecesMatchesOnePass) {
  VEK_SKIP_ON_WINDOWS("checks the library's own Audio Compression Manager (the Linux backend); this build calls the system's");
  const WAVEFORMATEX from = Fmt(1, 2, 44100, 4, 16);
  const std::vector<int16_t> tone = soundtest::Sine(440, 44100, 20000, 2, 0.5);
  std::vector<uint8_t> in(tone.size() * 2);
  std::memcpy(in.data(), tone.data(), in.size());
  for (const WAVEFORMATEX& to : {Fmt(1, 1, 22050, 1, 8), Fmt(1, 2, 48000, 4, 16),
                                 Fmt(1, 2, 44100, 2, 8), Fmt(1, 1, 44100, 2, 16)}) {
    const std::vector<uint8_t> whole = Stream(from, to, in, in.size(), in.size() * 2);
    // Pieces that split frames, into a target far too small for one pass.
    const std::vector<uint8_t> pieces = Stream(from, to, in, 1237, 1501);
    EXPECT_EQ(pieces.size(), whole.size()) << +to.nSamplesPerSec;
    EXPECT_TRUE(pieces == whole) << to.nSamplesPerSec;
    const double frames = 20000.0 * to.nSamplesPerSec / 44100.0;
    EXPECT_NEAR(double(whole.size()) / +to.nBlockAlign, frames, 2.0);
  }
}

TEST_F(SoundTest, WaveConvertReportsServiceFailuresAsGroup19) {
  VEK_SKIP_ON_WINDOWS("checks the library's own Audio Compression Manager (the Linux backend); this build calls the system's");
  WaveConvState st{};
  const WAVEFORMATEX bad = Fmt(0x161, 2, 44100, 4096, 16), pcm = Fmt(1, 2, 44100, 4, 16);
  EXPECT_EQ(Guarded([&] { WaveConvertInit(st, &bad, &pcm); }), std::make_pair(19, 512));
  EXPECT_EQ(st.stream, nullptr);
  EXPECT_EQ(ErrMsgLast(), "Fatal error in Audio Compression Manager: 512");
  // No PCM form for the source: a wave conversion error.
  uint8_t in[8] = {}, out[8] = {};
  int32_t produced = -1;
  EXPECT_EQ(Guarded([&] { WaveConvert(st, in, out, &pcm, &bad, produced, 8, 8); }),
            std::make_pair(8, 3));
  // Equal formats with too small a target.
  EXPECT_EQ(Guarded([&] { WaveConvert(st, in, out, &pcm, &pcm, produced, 4, 8); }),
            std::make_pair(8, 3));
}

TEST_F(SoundTest, GarbageCodedDataAndAbsurdRecordsFailCleanly) {
  VEK_SKIP_ON_WINDOWS("checks the library's own Audio Compression Manager (the Linux backend); this build calls the system's");
  const WAVEFORMATEX coded[] = {
      Fmt(2, 2, 22050, 1024, 4, 22311), Fmt(0x11, 2, 44100, 2048, 4, 44359),
      Fmt(6, 1, 8000, 1, 8),            Fmt(0x31, 1, 8000, 65, 0, 1625),
      Fmt(0x50, 2, 44100, 1, 0, 24000), Fmt(0x55, 2, 48000, 1, 0, 16000),
  };
  std::vector<uint8_t> noise(30000);
  uint32_t x = 12345;
  for (uint8_t& b : noise) b = uint8_t((x = x * 1103515245u + 12345u) >> 24);
  for (WAVEFORMATEX f : coded) {
    f.cbSize = 0xFFFF;  // an extra size that promises bytes nobody wrote
    SoundBuffer src{};
    _sndalloc_(src, int64_t(noise.size()), 1, "Test.Noise");
    std::memcpy(src.data, noise.data(), noise.size());
    src.format = f;
    src.sample_count = int32_t(noise.size() / f.nBlockAlign);
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = 1;
    ASSERT_EQ(acmFormatSuggest(nullptr, &f, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG), 0u);
    SoundBuffer out{};
    const auto err = Guarded([&] { SndConvert(src, out, pcm); });
    EXPECT_TRUE(err.first == 0 || err.first == 19) << f.wFormatTag;
    // Whatever came out lies within the buffer.
    EXPECT_LE(int64_t(out.sample_count) * pcm.nBlockAlign, int64_t(out.capacity));
    SndFree(out);
    SndFree(src);
  }
  // A source record with no data rate cannot be sized.
  SoundBuffer src{};
  _sndalloc_(src, 100, 2, "Test.Bad");
  src.format = Fmt(1, 1, 8000, 1, 8);
  src.format.nAvgBytesPerSec = 0;
  src.sample_count = 100;
  SoundBuffer out{};
  EXPECT_EQ(Guarded([&] { SndConvert(src, out, Fmt(1, 1, 22050, 2, 16)); }), std::make_pair(8, 1));
  SndFree(src);
}
