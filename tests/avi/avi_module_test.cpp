// The AVI module's rules: codec choice and fall-backs, codec messages,
// names, the catalogue exports, frame layout on disk, and hostile files.
#include <gtest/gtest.h>

#include <dirent.h>

#include "avi_test_util.h"
#include "formats/movie/avi.h"
#include "foundation/memory.h"
#include "platform/vfw/avifile.h"
#include "platform/vfw/ic.h"
#include "vek/vek.h"

namespace vek {
namespace {

using namespace avitest;
namespace p = platform;

class AviModule : public ::testing::Test {
 protected:
  void SetUp() override { ErrClear(); }
  void TearDown() override {
    AviSettingsSelect(FourCC("cvid"));
    ErrClear();
  }
  std::string Temp(const std::string& n) { return testing::UniqueTemp(n); }
};

// The chosen codec, then Cinepak at 24 bits, then uncompressed frames.
TEST_F(AviModule, CodecFallBacks) {
  QAviCodec c{};
  AviSettingsSelect(FourCC("MRLE"));
  AviSetVC(320, 240, 8, false);
  AviSettingsGet(c);
  EXPECT_EQ(c.handler, FourCC("MRLE"));
  EXPECT_EQ(c.bits, 8);
  // Run lengths take 8-bit frames only.
  AviSetVC(320, 240, 24, false);
  EXPECT_TRUE(ErrNone());
  AviSettingsGet(c);
  EXPECT_EQ(c.handler, FourCC("cvid"));
  EXPECT_EQ(c.bits, 24);
  // Cinepak wants sizes in multiples of 4: uncompressed at the bits asked.
  AviSetVC(66, 50, 15, false);
  EXPECT_TRUE(ErrNone());
  AviSettingsGet(c);
  EXPECT_EQ(c.handler, FourCC("DIB "));
  EXPECT_TRUE(AviSettingsUncompressed());
  EXPECT_EQ(c.bits, 15);
  // Video 1 works on 5-bit channels whatever it is fed.
  AviSettingsSelect(FourCC("CRAM"));
  AviSetVC(320, 240, 24, false);
  AviSettingsGet(c);
  EXPECT_EQ(c.handler, FourCC("CRAM"));
  EXPECT_EQ(c.bits, 15);
  // An unknown handler: a record of its own, then the fall-back.
  AviSettingsSelect(FourCC("abcd"));
  AviSettingsGet(c);
  EXPECT_EQ(c.handler, FourCC("abcd"));
  EXPECT_EQ(c.encoder, 0);
  AviSetVC(320, 240, 24, false);
  AviSettingsGet(c);
  EXPECT_EQ(c.handler, FourCC("cvid"));
}

// The save options choose the depth the run writes and the prepared codec.
TEST_F(AviModule, SaveOptionsPrepare) {
  QSaveOpts o;
  FFSaveReset(o);
  FFSaveSetFormat(o, kFmtAVI);
  FFSaveSetCodec(o, static_cast<int32_t>(FourCC("MRLE")));
  FFSaveSetQuality(o, 40);
  EXPECT_EQ(FFSavePrepare(o, 160, 120, 8), 8);
  EXPECT_EQ(static_cast<uint32_t>(o.prepCodec), FourCC("MRLE"));
  EXPECT_EQ(FFSavePrepare(o, 160, 120, 24), 24);  // fell back to Cinepak
  EXPECT_EQ(static_cast<uint32_t>(o.prepCodec), FourCC("cvid"));
  EXPECT_EQ(o.avi.quality, 40);  // the job's own choice stays
  FFSaveSetCodec(o, static_cast<int32_t>(FourCC("MJPG")));
  EXPECT_EQ(o.avi.quality, 40);
  EXPECT_EQ(FFSavePrepare(o, 160, 120, 24), 24);
  EXPECT_EQ(o.prepQuality, 40);
  EXPECT_EQ(FFSaveCodecName(o), "(MJPG) Motion JPEG");
}

// What the codecs answer: no boxes, state bytes that restore, defaults.
TEST_F(AviModule, CodecMessages) {
  p::HIC ic = p::ICOpen(p::ICTYPE_VIDEO, FourCC("MJPG"), p::ICMODE_COMPRESS);
  ASSERT_NE(ic, nullptr);
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_ABOUT, p::ICMF_QUERY_WINDOW, 1), p::ICERR_UNSUPPORTED);
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_CONFIGURE, p::ICMF_QUERY_WINDOW, 1), p::ICERR_UNSUPPORTED);
  uint32_t q = 0;
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_GETDEFAULTQUALITY, reinterpret_cast<uintptr_t>(&q), 4), p::ICERR_OK);
  EXPECT_EQ(q, 8500u);
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_SETQUALITY, 3000, 0), p::ICERR_OK);
  const p::LRESULT n = p::ICSendMessage(ic, p::ICM_GETSTATE, 0, 0);
  ASSERT_GT(n, 0);
  std::vector<uint8_t> state(static_cast<size_t>(n));
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_GETSTATE, reinterpret_cast<uintptr_t>(state.data()), state.size()), n);
  p::ICClose(ic);
  ic = p::ICOpen(p::ICTYPE_VIDEO, FourCC("MJPG"), p::ICMODE_QUERY);
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_SETSTATE, reinterpret_cast<uintptr_t>(state.data()), state.size()), n);
  EXPECT_EQ(p::ICSendMessage(ic, p::ICM_GETQUALITY, reinterpret_cast<uintptr_t>(&q), 4), p::ICERR_OK);
  EXPECT_EQ(q, 3000u);
  p::ICClose(ic);
  // Decoders without an encoder open for decompression only.
  EXPECT_EQ(p::ICOpen(p::ICTYPE_VIDEO, FourCC("H264"), p::ICMODE_COMPRESS), nullptr);
  EXPECT_EQ(p::IcOpenCodecs(), 0);
}

TEST_F(AviModule, Names) {
  EXPECT_EQ(AVIGetVideoName(0), "Full frames, uncompressed");
  EXPECT_EQ(AVIGetVideoName(FourCC("abcd")), "(abcd) Unknown codec");
  // Where the system has no Cinepak compressor (Wine), the library's own is the codec.
  EXPECT_EQ(AVIGetVideoName(FourCC("cvid")), kWindowsBuild ? "(cvid) Cinepak (libvek)" : "(cvid) Cinepak");
  EXPECT_EQ(AVIGetVideoName(FourCC("DIB ")), "(DIB ) Full frames, uncompressed");
  EXPECT_EQ(AVIGetAudioName(1), "(#1) PCM, uncompressed");
  EXPECT_EQ(AVIGetAudioName(0x55).rfind("(#85) ", 0), 0u);
  EXPECT_EQ(AVIGetAudioName(0x7777), "(#30583) Unknown codec");
}

// The catalogue through the exports.
TEST_F(AviModule, CatalogueExports) {
  EXPECT_EQ(VekCodecsInit(10, 0, 0, 0), 5);
  EXPECT_EQ(VekCodecsInit(11, 0, 0, 0), 2);
  EXPECT_EQ(VekCodecsInit(3, 0, 0, 0), 0);
  EXPECT_EQ(VekCodecsInit(12, 0, 0, 0), 1);
  EXPECT_EQ(VekCodecsInit(19, 0, 0, 0), 0);
  VekCodecInfo r;
  EXPECT_EQ(VekCodecsGetInfo(10, &r, 3), VEK_STATUS_OK);
  EXPECT_EQ(r.codec, 32773);
  EXPECT_STREQ(r.description, "PackBits (Macintosh RLE)");
  VekCodecsGetInfo(7, &r, 2);
  EXPECT_EQ(r.codec, 0);
  EXPECT_STREQ(r.description, "HAV-BEST compression");
  EXPECT_EQ(r.keyFrameDefault, 25);
  VekCodecsGetInfo(42, &r, 2);
  EXPECT_EQ(r.format, 42);
  EXPECT_EQ(r.codec, 1);
  EXPECT_STREQ(r.description, "Run length encoded (RLE)");

  const int32_t n = VekCodecsInit(6, 320, 240, 24);
  ASSERT_GT(n, 9);
  ASSERT_LE(n, 255);
  std::map<uint32_t, VekCodecInfo> seen;
  for (int32_t i = 1; i <= n; ++i) {
    VekCodecsGetInfo(6, &r, i);
    seen[static_cast<uint32_t>(r.codec)] = r;
  }
  for (const char* need : {"cvid", "MSVC", "MRLE", "MJPG", "HFYU", "FFVH", "ULRG", "ZMBV", "FFV1", "DIB "})
    EXPECT_TRUE(seen.count(Code(need))) << need;
  EXPECT_EQ(seen[FourCC("MJPG")].qualityAdjustable, -1);
  EXPECT_EQ(seen[FourCC("MJPG")].qualityDefault, 85);
  EXPECT_EQ(seen[FourCC("cvid")].keyFrameAdjustable, -1);
  EXPECT_EQ(seen[FourCC("cvid")].dataRateDefault, 300);
  const QAviCodec* list = nullptr;
  AviCodecsQuery(&list, 320, 240, 24);
  for (int32_t i = 0; i < n; ++i) {
    if (list[i].handler == FourCC("MRLE")) {
      EXPECT_FALSE(list[i].available);
    } else if (list[i].handler == FourCC("MJPG")) {
      EXPECT_TRUE(list[i].available);
      EXPECT_EQ(list[i].out_width, 320);
    }
  }
  EXPECT_EQ(list[n].handler, 0u);  // the closing zero record

  EXPECT_EQ(VekGetFileFmtID("a/b/clip.AVI"), 6);
  EXPECT_EQ(VekGetFileFmtID("anim.gif"), VEK_UNDEFINED);
  EXPECT_EQ(static_cast<uint32_t>(VekMakeFourCC("ab")), FourCC("ab  "));
  EXPECT_EQ(static_cast<uint32_t>(VekMakeFourCC("MJPGXY")), FourCC("MJPG"));
  EXPECT_EQ(VekRGB(255, 0, 0), 255);
  EXPECT_EQ(VekRGB(0, 0, 255), 16711680);
  EXPECT_EQ(VekRGB(256 + 1, 0, 0), 1);

  VekJob* job = VekAlloc();
  int32_t codec = 0, quality = 0, rate = 0, key = 0;
  VekSetCodec(job, 6, static_cast<int32_t>(FourCC("MJPG")));
  VekSetQuality(job, 6, 70);
  EXPECT_EQ(VekGetVideoFormat(job, 6, 320, 240, 24, &codec, &quality, &rate, &key), VEK_STATUS_OK);
  EXPECT_EQ(static_cast<uint32_t>(codec), FourCC("MJPG"));
  EXPECT_EQ(quality, 70);
  VekFree(job);
}

TEST_F(AviModule, FileInfoAndCustomTextExports) {
  const std::string f = Temp("info.avi");
  WriteSpec s;
  s.handler = FourCC("MJPG");
  s.sound = true;
  s.info = {{"INAM", std::string(300, 'x')}, {"ISFT", "libvek"}};
  WriteAvi(f, s);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  VekFileInfo fi;
  VekGetFileInfo(f.c_str(), &fi, 0);
  VekLastError e;
  VekGetLastError(&e);
  EXPECT_EQ(e.status, VEK_STATUS_OK);
  EXPECT_EQ(fi.frameCount, 6);
  EXPECT_EQ(fi.width, 64);
  EXPECT_EQ(fi.bpp, 24);
  EXPECT_DOUBLE_EQ(fi.fps, 25.0);
  EXPECT_STREQ(fi.compression, "(MJPG) Motion JPEG");
  EXPECT_STREQ(fi.formatName, "AVI, Windows Audio Video Interleaved");
  EXPECT_EQ(fi.imagesSupported, -1);
  EXPECT_EQ(fi.soundValid, -1);
  EXPECT_EQ(fi.sampleCount, 6 * 882);
  EXPECT_STREQ(fi.soundFormat, "(#1) PCM, uncompressed");
  char buf[8];
  EXPECT_EQ(VekAviGetCustomInfo(f.c_str(), "ISFT", buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "libvek");
  EXPECT_EQ(VekAviGetCustomInfo(f.c_str(), "INAM", buf, 4), 255);  // cut to 255 when stored
  EXPECT_STREQ(buf, "xxx");
  EXPECT_EQ(VekAviGetCustomInfo(f.c_str(), "IART", nullptr, 0), 0);
  VekGetFileInfo(Temp("missing.avi").c_str(), &fi, 0);
  VekGetLastError(&e);
  EXPECT_EQ(e.status, VEK_STATUS_ERROR);
  EXPECT_EQ(fi.imagesValid, 0);
}

// Rows on disk: bottom row first, padded to 4 bytes.
TEST_F(AviModule, UncompressedRowsArePaddedAndBottomUp) {
  const std::string f = Temp("rows.avi");
  WriteSpec s;
  s.width = 5;
  s.height = 4;
  s.frames = 1;
  const std::vector<uint8_t> rgb = WriteAvi(f, s);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  const std::vector<uint8_t> d = ReadFile(f);
  size_t at = 0;
  size_t movi = 0;
  while (movi + 4 < d.size() && std::memcmp(&d[movi], "movi", 4) != 0) ++movi;
  for (size_t i = movi; i + 8 < d.size(); ++i)
    if (std::memcmp(&d[i], "00db", 4) == 0) {
      at = i;
      break;
    }
  ASSERT_GT(at, 0u);
  uint32_t size;
  std::memcpy(&size, &d[at + 4], 4);
  ASSERT_EQ(size, 4u * 16);
  for (int row = 0; row < 4; ++row) {
    const uint8_t* disk = &d[at + 8 + size_t(row) * 16];
    const uint8_t* top = &rgb[size_t(3 - row) * 15];
    for (int x = 0; x < 5; ++x) {
      EXPECT_EQ(disk[x * 3], top[x * 3 + 2]);  // blue
      EXPECT_EQ(disk[x * 3 + 2], top[x * 3]);  // red
    }
    EXPECT_EQ(disk[15], 0);
  }
}

// A movie opened, read in any order, and closed leaves nothing behind.
TEST_F(AviModule, RandomAccessAndNoLeftovers) {
  const std::string f = Temp("seek.avi");
  WriteSpec s;
  s.handler = FourCC("FFV1");  // key frames every 12
  s.frames = 30;
  const std::vector<uint8_t> all = WriteAvi(f, s);
  ASSERT_TRUE(ErrNone()) << ErrMsgLast();
  const int32_t mem = MemCount(), files = FCount();
  const size_t frame = size_t(64) * 48 * 3;
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MonitoredBoundary("T.Seek", [&] {
    MviOpen(mh, f, kFmtAVI);
    for (int32_t n : {30, 1, 17, 16, 29, 13, 13}) {
      QImg img{};
      ImgGuard g(img);
      MviImgLoad(mh, img, n, 0);
      EXPECT_EQ(ToRgb(img), std::vector<uint8_t>(all.begin() + long(frame * (n - 1)),
                                                 all.begin() + long(frame * n)))
          << n;
    }
    QImg img{};
    ImgGuard g(img);
    MviImgLoad(mh, img, 31, 0);
  });
  EXPECT_EQ(ErrGroup(), kGrpMovie);  // past the end
  ErrClear();
  MviClose(mh);
  EXPECT_EQ(MemCount(), mem);
  EXPECT_EQ(FCount(), files);
  EXPECT_EQ(p::AviOpenObjects(), 0);
  EXPECT_EQ(p::IcOpenCodecs(), 0);
}

// Hostile inputs: the fuzz findings and seeds, and hand-made damage. Every
// one ends in an error or a readable movie, never a crash or a leftover.
TEST_F(AviModule, HostileFiles) {
  std::vector<std::string> inputs;
  const std::string dir = std::string(VEK_SOURCE_DIR) + "/fuzz/corpus/avi/";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') inputs.push_back(dir + e->d_name);
    closedir(d);
  }
  ASSERT_FALSE(inputs.empty());
  // Hand-made: a valid small file with one field at a time made absurd.
  const std::string base = Temp("base.avi");
  WriteSpec s;
  s.width = 8;
  s.height = 8;
  s.frames = 3;
  s.sound = true;
  WriteAvi(base, s);
  const std::vector<uint8_t> d = ReadFile(base);
  auto patch_after = [&](const char* tag, size_t offset, uint32_t value, const std::string& name) {
    std::vector<uint8_t> v = d;
    for (size_t i = 0; i + 4 <= v.size(); ++i) {
      if (std::memcmp(&v[i], tag, 4) == 0 && i + offset + 4 <= v.size()) {
        std::memcpy(&v[i + offset], &value, 4);
        break;
      }
    }
    WriteFile(Temp(name), v);
    inputs.push_back(Temp(name));
  };
  patch_after("strf", 4, 0xFFFFFFF0u, "h1.avi");     // format size
  patch_after("strf", 12, 0x7FFFFFFFu, "h2.avi");    // bitmap width
  patch_after("strf", 16, 0x80000000u, "h3.avi");    // bitmap height
  patch_after("indx", 8, 0x00FFFFFFu, "h4.avi");     // super-index entries in use
  patch_after("indx", 32, 0xFFFFFF00u, "h5.avi");    // first ix chunk offset
  patch_after("ix00", 32, 0x7FFFFFF0u, "h6.avi");    // first chunk offset
  patch_after("idx1", 16, 0xFFFFFFF0u, "h7.avi");    // first entry offset
  patch_after("strh", 28, 0u, "h8.avi");             // video scale 0
  patch_after("auds", 44, 0xFFFFFFFFu, "h9.avi");    // sample size
  patch_after("LIST", 4, 0xFFFFFFFFu, "h10.avi");    // hdrl size
  patch_after("00wb", 4, 0xFFFFFFFFu, "h11.avi");    // no such chunk: nothing changes
  patch_after("01wb", 4, 0x7FFFFFFFu, "h12.avi");    // sound chunk size
  std::vector<uint8_t> tiny(d.begin(), d.begin() + 100);
  WriteFile(Temp("h13.avi"), tiny);
  inputs.push_back(Temp("h13.avi"));
  const int32_t mem = MemCount(), files = FCount();
  for (const std::string& in : inputs) {
    SCOPED_TRACE(in);
    QffInfo fi{};
    MonitoredBoundary("T.Info", [&] { AviInfo(in, fi); });
    ErrClear();
    int32_t frames = 0;
    ReadAviFrames(in, &frames);
    QMovieHandle mh{kUndefined, nullptr, nullptr};
    MonitoredBoundary("T.Snd", [&] {
      MviOpen(mh, in, kFmtAVI);
      SoundBuffer snd{};
      SndGuard g(snd);
      for (int32_t first : {0, 500, 0}) MviSndLoad(mh, snd, first, 0, 4096);
    });
    ErrClear();
    MonitoredBoundary("T.Close", [&] { MviClose(mh); });
    ErrClear();
    EXPECT_EQ(MemCount(), mem);
    EXPECT_EQ(FCount(), files);
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(p::AviOpenObjects(), 0);
  }
}

}  // namespace
}  // namespace vek

namespace vek {
namespace {

using namespace avitest;

// Standard error of the process while `work` runs.
template <class F>
std::string StderrOf(F work) {
  std::fflush(stderr);
  const std::string name = testing::UniqueTemp("stderr.txt");
  const int saved = dup(2);
  FILE* f = std::fopen(name.c_str(), "w+");
  if (saved < 0 || !f) return "cannot capture stderr";
  dup2(fileno(f), 2);
  work();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::fclose(f);
  const std::vector<uint8_t> b = ReadFile(name);
  std::remove(name.c_str());
  return std::string(b.begin(), b.end());
}

// Nothing of FFmpeg's log reaches the host's standard error: not the
// encoders' notes while the catalogue is built, not the decoders' complaints
// about damaged pictures and sound.
TEST(AviQuiet, FfmpegLogStaysOffStderr) {
  REQUIRE_FFMPEG();
  std::vector<std::string> damaged;
  for (const char* c : {"-c:v mjpeg -c:a adpcm_ms", "-c:v cinepak -c:a adpcm_ima_wav",
                        "-c:v mpeg4 -bf 2 -c:a pcm_s16le"}) {
    const std::string f = testing::UniqueTemp("dmg" + std::to_string(damaged.size()) + ".avi");
    Sh(std::string("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -f lavfi -i "
                   "sine=r=22050:d=1 -t 1 ") + c + " -ac 1 '" + f + "'");
    std::vector<uint8_t> d = ReadFile(f);
    ASSERT_GT(d.size(), 4000u);
    // Scramble the middle of the movie data, headers and index stay.
    uint32_t r = 99;
    for (size_t i = d.size() / 4; i < d.size() * 3 / 4; i += 7) {
      r = r * 1103515245u + 12345u;
      d[i] = static_cast<uint8_t>(r >> 16);
    }
    WriteFile(f, d);
    damaged.push_back(f);
  }
  const std::string out = StderrOf([&] {
    MonitoredBoundary("T.Catalogue", [&] { AviCodecsInit(); });
    ErrClear();
    for (const std::string& f : damaged) {
      QMovieHandle mh{kUndefined, nullptr, nullptr};
      MonitoredBoundary("T.Open", [&] { MviOpen(mh, f, kFmtAVI); });
      const bool open = ErrNone();
      ErrClear();
      if (!open) continue;
      const MovieView v = MviView(mh);
      for (int32_t n = 1; n <= v.frames; ++n) {
        QImg img{};
        ImgGuard g(img);
        MonitoredBoundary("T.Frame", [&] { MviImgLoad(mh, img, n, 0); });
        ErrClear();
      }
      SoundBuffer snd{};
      SndGuard g(snd);
      for (int32_t at = 0; at < 22050; at += 2000) {
        MonitoredBoundary("T.Sound", [&] { MviSndLoad(mh, snd, at, 0, 2000); });
        ErrClear();
      }
      MonitoredBoundary("T.Close", [&] { MviClose(mh); });
      ErrClear();
    }
  });
  EXPECT_TRUE(out.empty()) << out.substr(0, 400);
  for (const std::string& f : damaged) FDelete(f);
}

}  // namespace
}  // namespace vek
