// Writers on a full disk: a file-size limit (with SIGXFSZ ignored) makes
// the system refuse writes past it, as a full disk does. Every writer
// must report its write error and leave no partial file; the file layer
// must see data lost when a buffered file is closed.
#include <signal.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "formats/still/bmp.h"
#include "formats/still/jpeg.h"
#include "formats/still/pcx.h"
#include "formats/still/png.h"
#include "formats/still/pnm.h"
#include "formats/still/sgi.h"
#include "formats/still/sun_raster.h"
#include "formats/still/tga.h"
#include "formats/still/tiff.h"
#include "formats/still/xpm.h"
#include "still_test_util.h"
#include "windows_skip.h"

using namespace vek;
using namespace still_test;

namespace {

// Files may grow to `bytes` while it lives; writes beyond fail with EFBIG.
#ifdef _WIN32
// Windows has no file-size limit to stand in for a full disk.
using rlim_t = long;
struct DiskFull {
  explicit DiskFull(rlim_t) {}
};
#define VEK_NEED_FILE_SIZE_LIMIT() VEK_SKIP_ON_WINDOWS("a file-size limit (setrlimit) stands in for a full disk")
#else
#define VEK_NEED_FILE_SIZE_LIMIT() static_cast<void>(0)
class DiskFull {
 public:
  explicit DiskFull(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    old_signal_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lim{bytes, old_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~DiskFull() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, old_signal_);
  }
  DiskFull(const DiskFull&) = delete;
  DiskFull& operator=(const DiskFull&) = delete;

 private:
  rlimit old_{};
  sighandler_t old_signal_ = SIG_DFL;
};
#endif

struct WriteFailTest : StillTest {
  void TearDown() override {
    SGISetCompression(1);
    RASSetCompression(1);
    TGASetRLE(1);
    PNMSetAscii(0);
    TIFSetCompression(1);
    StillTest::TearDown();
  }
};

// A noisy picture that no codec packs below a few kilobytes.
void Noise(QImg& img, int32_t bits) {
  _imgalloc_(&img, 160, 120, bits, 1, "Test.noise");
  uint32_t v = 12345;
  for (int32_t i = 0; i < img.size; ++i) {
    v = v * 1103515245u + 12345u;
    img.pixels[i] = static_cast<uint8_t>(v >> 16);
  }
  for (int i = 0; i < 768; ++i) img.palette[i] = static_cast<uint8_t>(i * 7);
}

TEST_F(WriteFailTest, EveryWriterReportsAFullDiskAndLeavesNoFile) {
  VEK_NEED_FILE_SIZE_LIMIT();
  using Saver = void (*)(const std::string&, QImg&);
  struct W {
    const char* name;
    Saver save;
    int32_t bits;
    void (*setup)();
    int32_t group, code;  // the error the writer reports
  } writers[] = {
      {"f.bmp", DIBSave_, 24, [] {}, kGrpFile, kFileWrite},
      {"f8.bmp", DIBSave_, 8, [] {}, kGrpFile, kFileWrite},
      {"f.tga", TGASave_, 24, [] { TGASetRLE(1); }, kGrpFile, kFileWrite},
      {"raw.tga", TGASave_, 24, [] { TGASetRLE(0); }, kGrpFile, kFileWrite},
      {"f.pcx", PCXSave_, 8, [] {}, kGrpFile, kFileWrite},
      {"f.png", PNGSave, 24, [] {}, kGrpFile, kFileWrite},
      {"f.sgi", SGISave, 24, [] { SGISetCompression(1); }, kGrpFile, kFileWrite},
      {"raw.sgi", SGISave, 24, [] { SGISetCompression(0); }, kGrpFile, kFileWrite},
      {"f.ras", RASSave, 24, [] { RASSetCompression(1); }, kGrpFile, kFileWrite},
      {"raw.ras", RASSave, 8, [] { RASSetCompression(0); }, kGrpFile, kFileWrite},
      {"f.ppm", PNMSave, 24, [] { PNMSetAscii(0); }, kGrpFile, kFileWrite},
      {"text.ppm", PNMSave, 24, [] { PNMSetAscii(1); }, kGrpFile, kFileWrite},
      {"f.jpg", JPGSave, 24, [] {}, kGrpImage, kImgCreate},
      {"f.xpm", XPMSave, 24, [] {}, kGrpImage, kImgCreate},
      // libtiff reports the failed write in its own words.
      {"f.tif", TIFSave, 24, [] { TIFSetCompression(1); }, kGrpExternal, 0},
      {"lzw.tif", TIFSave, 8, [] { TIFSetCompression(5); }, kGrpExternal, 0},
  };
  for (const W& w : writers) {
    SCOPED_TRACE(w.name);
    Img img;
    Noise(img.r, w.bits);
    w.setup();
    const std::string file = Temp(w.name);
    // Room for the header, not for the picture; then no room at all.
    for (rlim_t room : {rlim_t{2000}, rlim_t{0}}) {
      ErrClear();
      {
        DiskFull full(room);
        MonitoredBoundary("Test.Save", [&] { w.save(file, img.r); });
      }
      EXPECT_EQ(ErrGroup(), w.group) << ErrMsgLast();
      if (w.code != 0) {
        EXPECT_EQ(ErrCode(), w.code) << ErrMsgLast();
      }
      EXPECT_FALSE(FExists(file)) << "partial file left behind, room " << room << ": " << ErrText();
      EXPECT_EQ(FCount(), 0);
    }
    ErrClear();
    // With room the same writer succeeds.
    MonitoredBoundary("Test.Save", [&] { w.save(file, img.r); });
    EXPECT_TRUE(ErrNone()) << ErrMsgLast();
    EXPECT_TRUE(FExists(file));
    std::remove(file.c_str());
  }
}

// Data that stdio still buffers when the file is closed: the close is the
// write that fails. Outputs made whole by Create() disappear; files opened
// for writing otherwise (movie writers) keep what was stored.
TEST_F(WriteFailTest, ClosingReportsBufferedDataThatCannotBeStored) {
  VEK_NEED_FILE_SIZE_LIMIT();
  const std::string file = Temp("close.bin");
  const uint8_t data[100] = {1, 2, 3};
  for (bool whole : {true, false}) {
    SCOPED_TRACE(whole ? "Create" : "Open");
    ErrClear();
    {
      DiskFull full(50);
      MonitoredBoundary("Test.Write", [&] {
        TrackedFile f;
        if (whole)
          f.Create(file);
        else
          f.Open(file, kFmCreate);
        f.Write(data, sizeof data);  // buffered: no error yet
        EXPECT_TRUE(ErrNone());
        f.Close();
        ADD_FAILURE() << "the close did not raise";
      });
    }
    EXPECT_EQ(ErrGroup(), kGrpFile);
    EXPECT_EQ(ErrCode(), kFileWrite);
    EXPECT_EQ(ErrMsgLast(), "Cannot write to file.");
    EXPECT_EQ(FExists(file), !whole);
    EXPECT_EQ(FCount(), 0);
    std::remove(file.c_str());
  }
  // A file only read closes quietly, and a complete output stays.
  ErrClear();
  MonitoredBoundary("Test.Write", [&] {
    TrackedFile f;
    f.Create(file);
    f.Write(data, sizeof data);
    f.Close();
    f.Open(file, kFmRead);
    f.Close();
  });
  EXPECT_TRUE(ErrNone());
  EXPECT_TRUE(FExists(file));
  std::remove(file.c_str());
}

}  // namespace
