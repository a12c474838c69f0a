// Damaged and hostile files: every path ends in an error of the module's
// groups or in a picture of the announced size, never in a crash, a hang
// or anything left held.
#include <fstream>
#include <random>

#include "engine/format_dispatch.h"
#include "formats/format_descriptor.h"
#include "foundation/files.h"
#include "image/image.h"
#include "mpeg_test_util.h"

namespace vek {
namespace {

using namespace mpegtest;

void WriteBytes(const std::string& name, const std::vector<uint8_t>& b) {
  std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                              std::streamsize(b.size()));
}

std::vector<uint8_t> ReadBytes(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

bool KnownGroup() {
  const int32_t g = ErrGroup();
  return g == kGrpExternal || g == kGrpMovie || g == kGrpMovie2 || g == kGrpFile ||
         g == kGrpMemory;
}

// Reads everything a conversion would read; true when the file opened.
bool ReadAll(const std::string& file) {
  const int32_t mem = MemCount(), files = FCount();
  QffInfo fi{};
  MonitoredBoundary("Test.Info", [&] { FFInfo(file, kFmtMPEG, fi); });
  EXPECT_TRUE(ErrNone() || KnownGroup()) << ErrGroup() << "," << ErrCode();
  ErrClear();
  QMovieHandle mh{kUndefined, nullptr, nullptr};
  MonitoredBoundary("Test.Open", [&] { MviOpen(mh, file, kFmtMPEG); });
  const bool opened = ErrNone() && mh.ops;
  if (!opened) {
    EXPECT_TRUE(KnownGroup()) << ErrGroup() << "," << ErrCode() << " " << ErrMsgLast();
  }
  ErrClear();
  if (opened) {
    const MovieView v = MviView(mh);
    QImg img{};
    for (int32_t f : {1, 2, 3, v.frames, 1, v.frames / 2}) {
      if (f < 1 || f > std::min(v.frames, 200)) continue;
      MonitoredBoundary("Test.Frame", [&] { MviImgLoad(mh, img, f, 0); });
      if (ErrNone()) {
        EXPECT_EQ(img.size, img.width * img.height * 3);
        EXPECT_EQ(img.width, v.width);
      } else {
        EXPECT_TRUE(KnownGroup()) << ErrGroup() << "," << ErrCode();
      }
      ErrClear();
    }
    ImgFree(&img);
    SoundBuffer snd{};
    for (int32_t first : {0, 1000, 5000, 0}) {
      MonitoredBoundary("Test.Sound", [&] { MviSndLoad(mh, snd, first, 0, 3000); });
      if (!ErrNone()) {
        EXPECT_TRUE(KnownGroup()) << ErrGroup() << "," << ErrCode();
      }
      ErrClear();
    }
    SndFree(snd);
    MonitoredBoundary("Test.Close", [&] { MviClose(mh); });
    ErrClear();
  }
  EXPECT_EQ(MemCount(), mem) << file;
  EXPECT_EQ(FCount(), files) << file;
  EXPECT_EQ(MonDepth(), 0);
  return opened;
}

TEST(MpegHostile, TruncatedAndCorruptedFilesFailCleanly) {
  VEK_NEED_FFMPEG();
  const std::string good = Dir() + "good.mpg";
  ASSERT_EQ(Sh("ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=25 -f lavfi -i "
                "sine=sample_rate=44100 -t 1 -c:v mpeg2video -bf 2 -g 6 -c:a mp2 -f vob '" +
                good + "'"),
            0);
  const std::vector<uint8_t> bytes = ReadBytes(good);
  ASSERT_GT(bytes.size(), 10000u);
  EXPECT_TRUE(ReadAll(good));
  const std::string bad = Dir() + "bad.mpg";
  // Cut short at many places.
  for (size_t cut : {size_t(0), size_t(1), size_t(14), size_t(100), size_t(2048), size_t(2100),
                     bytes.size() / 3, bytes.size() / 2, bytes.size() - 7}) {
    WriteBytes(bad, std::vector<uint8_t>(bytes.begin(), bytes.begin() + std::ptrdiff_t(cut)));
    ReadAll(bad);
  }
  // Damaged bytes, headers included.
  std::mt19937 rng(3);
  for (int round = 0; round < 12; ++round) {
    std::vector<uint8_t> b = bytes;
    for (int i = 0; i < 40; ++i) b[rng() % std::min<size_t>(b.size(), round < 6 ? 4096 : b.size())] ^= uint8_t(1 + rng() % 255);
    WriteBytes(bad, b);
    ReadAll(bad);
  }
  // Not MPEG at all.
  std::vector<uint8_t> noise(5000);
  for (auto& x : noise) x = uint8_t(rng());
  WriteBytes(bad, noise);
  EXPECT_FALSE(ReadAll(bad));
  // A file that does not exist.
  EXPECT_FALSE(ReadAll(Dir() + "missing.mpg"));
}

TEST(MpegHostile, FuzzFindingsAndSeedsStayHarmless) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(VEK_MPEG_CORPUS, ec)) {
    const std::string copy = Dir() + "corpus.mpg";
    std::filesystem::copy_file(e.path(), copy, std::filesystem::copy_options::overwrite_existing);
    ReadAll(copy);
    ++n;
  }
  EXPECT_GT(n, 0);
}

}  // namespace
}  // namespace vek
