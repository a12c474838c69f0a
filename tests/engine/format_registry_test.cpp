#include <gtest/gtest.h>

#include <cstring>

#include "engine/format_dispatch.h"
#include "engine/format_registry.h"
#include "engine/save_options.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

using namespace vek;

namespace {

TEST(FormatLookup, TablesAndOrder) {
  EXPECT_EQ(FmtId("clip.MPE", kReadTable), kFmtMPEG);
  EXPECT_EQ(FmtId("clip.mpe", kWriteTable), kUndefined);
  EXPECT_EQ(FmtId("song.mp2", kReadTable), kFmtMPEG);
  EXPECT_EQ(FmtId("song.mp2", kWriteTable), kFmtMP2);
  EXPECT_EQ(FmtFind("song.mp2", kReadTable).short_name, std::string("MPA"));
  EXPECT_EQ(FmtId("pic.J", kReadTable), kUndefined);  // lowered to .j, the list holds .J
  EXPECT_EQ(FmtId("pic.jpe", kReadTable), kFmtJPEG);
  EXPECT_EQ(FmtId("pic.rgb", kReadTable), kFmtSGI);
  EXPECT_EQ(FmtId("pic.rgb", kWriteTable), kFmtSGI);
  EXPECT_EQ(FmtId("pic.pgm", kReadTable), kFmtPNM);
  EXPECT_EQ(FmtId("pic.pgm", kWriteTable), kUndefined);
  EXPECT_EQ(FmtId("noextension", kReadTable), kUndefined);
  EXPECT_EQ(FmtId("dir.v1/noextension", kReadTable), kUndefined);
  EXPECT_EQ(FmtId("a.", kReadTable), kUndefined);
  EXPECT_EQ(FmtId("x.rle", kReadTable), kFmtBMP);
  EXPECT_EQ(FmtId("x.rle", kWriteTable), kUndefined);
  EXPECT_EQ(FmtId("x.gif", kWriteTable), kUndefined);
  // A whole extension must match, not a piece of one.
  EXPECT_EQ(FmtId("x.tif", kReadTable), kFmtTIFF);
  EXPECT_EQ(FmtId("x.ti", kReadTable), kUndefined);
  EXPECT_EQ(FmtId("x.if", kReadTable), kUndefined);
  EXPECT_EQ(FmtId("X.BMP", kWriteTable), kFmtBMP);
  int n;
  FmtTable(kReadTable, n);
  EXPECT_EQ(n, 19);
  FmtTable(kWriteTable, n);
  EXPECT_EQ(n, 17);
}

TEST(FormatLookup, FlagsDepthKind) {
  EXPECT_EQ(FmtFlags(kFmtMPEG, kReadTable), 0x1A);  // first row with the id
  EXPECT_EQ(FmtFlags(kFmtGIF, kWriteTable), kUndefined);
  EXPECT_TRUE(FmtIsWritable(kFmtMP2));
  EXPECT_FALSE(FmtIsWritable(kFmtBAY));
  EXPECT_EQ(FmtDepth(kFmtHAV, 15), 16);
  EXPECT_EQ(FmtDepth(kFmtFLIC, 24), 8);
  EXPECT_EQ(FmtDepth(kFmtBMP, 16), 24);
  EXPECT_EQ(FmtDepth(kFmtTGA, 12), 24);
  EXPECT_EQ(FmtDepth(kFmtWAV, 24), 0);
  EXPECT_EQ(FmtDepth(kFmtGIF, 8), kUndefined);
  EXPECT_EQ(FmtKind(4, 1), 1);
  EXPECT_EQ(FmtKind(4, 5), 3);
  EXPECT_EQ(FmtKind(3, 5), 2);
  EXPECT_EQ(FmtKind(3, 1), 1);
  EXPECT_EQ(FmtKind(12, 1), 3);
  EXPECT_EQ(FmtKind(0, 1), 0);
  EXPECT_EQ(FmtKind(20, 1), 0);
  EXPECT_EQ(FmtKind(kUndefined, 1), 0);
  EXPECT_STREQ(FmtFullName(kFmtMPEG), "MPEG, Moving Pictures Experts Group");
}

TEST(SaveOptions, CodecNamesForEveryFormat) {
  QSaveOpts o;
  FFSaveReset(o);
  auto name = [&](int32_t id) {
    FFSaveSetFormat(o, id);
    return FFSaveCodecName(o);
  };
  EXPECT_EQ(name(kFmtTGA), "Run Length Encoding (RLE)");
  EXPECT_EQ(name(kFmtPCX), "Run Length Encoding (RLE)");
  EXPECT_EQ(name(kFmtBMP), "Uncompressed, full frames");
  EXPECT_EQ(name(kFmtFLIC), "RLE + pixel difference from previous frame");
  EXPECT_EQ(name(kFmtAVI), "cvid");
  EXPECT_EQ(name(kFmtHAV), "HAV-FAST compression");
  EXPECT_EQ(name(kFmtJPEG), "JPEG quality: 85%");
  EXPECT_EQ(name(kFmtPNG), "PNG compression level: 7 of 9");
  EXPECT_EQ(name(kFmtTIFF), "Uncompressed, full frames");
  EXPECT_EQ(name(kFmtMPEG), "MPEG-1 format");
  EXPECT_EQ(name(kFmtWAV), "Uncompressed, full frames");
  EXPECT_EQ(name(kFmtSGI), "Run Length Encoding (RLE)");
  EXPECT_EQ(name(kFmtRAS), "Run Length Encoding (RLE)");
  EXPECT_EQ(name(kFmtPNM), "Binary encoded");
  EXPECT_EQ(name(kFmtXPM), "Uncompressed, full frames");
  EXPECT_EQ(name(kFmtMP2), "Uncompressed, full frames");
  EXPECT_EQ(name(kFmtOGG), "Uncompressed, full frames");

  FFSaveSetFormat(o, kFmtTGA);
  FFSaveSetCodec(o, 0);
  EXPECT_EQ(FFSaveCodecName(o), "Uncompressed, full frames");
  FFSaveSetFormat(o, kFmtHAV);
  FFSaveSetCodec(o, 0);
  EXPECT_EQ(FFSaveCodecName(o), "HAV-BEST compression");
  FFSaveSetCodec(o, 5);
  EXPECT_EQ(FFSaveCodecName(o), "N/A");
  FFSaveSetFormat(o, kFmtTIFF);
  const std::pair<int, const char*> tiff[] = {{5, "Variable-Length-Code LZW"},
                                              {7, "JPEG DCT compression"},
                                              {32773, "PackBits (Macintosh RLE)"},
                                              {32946, "Deflate compression (ZIP)"}};
  for (auto [c, text] : tiff) {
    FFSaveSetCodec(o, c);
    EXPECT_EQ(FFSaveCodecName(o), text);
  }
  FFSaveSetFormat(o, kFmtMPEG);
  FFSaveSetCodec(o, 2);
  EXPECT_EQ(FFSaveCodecName(o), "MPEG-2 format");
  FFSaveSetCodec(o, 3);
  EXPECT_EQ(FFSaveCodecName(o), "N/A");
  FFSaveSetFormat(o, kFmtPNM);
  FFSaveSetCodec(o, 1);
  EXPECT_EQ(FFSaveCodecName(o), "ASCII encoded");
}

TEST(SaveOptions, SettingsLiveSideBySideAndPrepare) {
  QSaveOpts o;
  FFSaveReset(o);
  EXPECT_EQ(o.resetFlag, -1);
  EXPECT_EQ(o.avi.handler, FourCC("cvid"));
  EXPECT_EQ(o.mpegDataRate, 9000);
  FFSaveSetFormat(o, kFmtJPEG);
  EXPECT_EQ(o.dialog, -1);
  FFSaveSetQuality(o, 50);
  FFSaveSetFormat(o, kFmtMPEG);
  FFSaveSetDataRate(o, 100);
  FFSaveSetQuality(o, 10);  // MPEG has no quality: nothing changes
  FFSaveSetFormat(o, kFmtHAV);
  FFSaveSetKeyFrameRate(o, 12);
  FFSaveSetFormat(o, kFmtBMP);
  EXPECT_EQ(o.dialog, 0);
  EXPECT_EQ(o.jpegQuality, 50);
  EXPECT_EQ(o.mpegDataRate, 800);
  EXPECT_EQ(o.havKeyFrameRate, 12);

  FFSaveSetFormat(o, kFmtHAV);
  EXPECT_EQ(FFSavePrepare(o, 320, 240, 15), 16);
  EXPECT_EQ(o.prepCodec, 1);
  EXPECT_EQ(o.prepKeyFrameRate, 12);
  FFSaveSetFormat(o, kFmtJPEG);
  EXPECT_EQ(FFSavePrepare(o, 320, 240, 8), 24);
  EXPECT_EQ(o.prepQuality, 50);
  FFSaveSetFormat(o, kFmtMPEG);
  EXPECT_EQ(FFSavePrepare(o, 320, 240, 24), 24);
  EXPECT_EQ(o.prepDataRate, 800);
  // Without an AVI module no compressor takes the frames.
  FFSaveSetFormat(o, kFmtAVI);
  EXPECT_EQ(FFSavePrepare(o, 320, 240, 24), 0);
}

TEST(SaveOptions, DialogStopsSilently) {
  QSaveOpts o;
  FFSaveReset(o);
  FFSaveSetFormat(o, kFmtJPEG);
  bool after = false;
  Monitored("T.Dlg", [&] {
    EXPECT_FALSE(FFSaveDlg(o, 320, 240, 24));
    after = true;
  });
  EXPECT_TRUE(after);
  EXPECT_TRUE(ErrNone());
}

TEST(Dispatch, UnknownFormatsGiveTheirErrors) {
  ErrClear();
  QffInfo info;
  info.width = 77;
  MonitoredBoundary("T.Info", [&] { FFInfo("noextension", kUndefined, info); });
  EXPECT_EQ(ErrGroup(), 14);
  EXPECT_EQ(ErrCode(), 2);
  EXPECT_EQ(info.width, 0);  // cleared, not left with stale values

  QImg img{};
  MonitoredBoundary("T.Load", [&] { ImgLoad("x.unknown", img, kUndefined); });
  EXPECT_EQ(ErrGroup(), 7);
  EXPECT_EQ(ErrCode(), 2);
  MonitoredBoundary("T.Save", [&] { ImgSave("x.bmp", img, kUndefined); });
  EXPECT_EQ(ErrCode(), 9);  // no pixels
  EXPECT_EQ(MemCount(), 0);
}

}  // namespace
