#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "oracle_shell.h"
#include "engine/format_dispatch.h"
#include "windows_skip.h"
#include "engine/format_registry.h"
#include "engine/save_options.h"
#include "foundation/errors.h"
#include "foundation/memory.h"
#include "test_frames.h"
#include "vek/vek.h"

using namespace vek;
using vek::testing::TempName;
using vek::testing::WriteSolid;

namespace {

// The tables as the library has always had them: the rows the descriptors
// declare must rebuild them exactly, in this order.
struct DepthRow {
  int32_t id;
  int32_t depth[6];
};
constexpr QffDesc kPinnedRead[] = {
    {7, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
    {4, 0x0B, ".gif.giff", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"},
    {3, 0x09, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {14, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {13, 0x09, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {15, 0x09, ".pnm.ppm.pgm.pbm", "PNM", "Portable Image", "PNM, Portable Image"},
    {2, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {6, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {12, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {8, 0x09, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {10, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {11, 0x1A, ".mpg.mpeg.m1v.m2v.mpe", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {1, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {16, 0x09, ".bay", "BAY", "Bayer Image", "BAY, Bayer Image"},
    {17, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {11, 0x14, ".mp3.mpa.mp2", "MPA", "MPEG Audio Layer I/II/III", "MP3/MPA, MPEG Audio Layer I/II/III"},
    {19, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
};
constexpr QffDesc kPinnedWrite[] = {
    {6, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {3, 0x09, ".bmp.dib", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {7, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
    {8, 0x09, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {2, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {1, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {11, 0x1A, ".mpg.mpeg.m1v.m2v", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {12, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {13, 0x09, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {14, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {15, 0x09, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"},
    {10, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {17, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {18, 0x14, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"},
    {19, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
};
constexpr DepthRow kPinnedDepths[] = {
    {6, {8, 15, 24, 24, 24, 24}},  {3, {8, 15, 24, 24, 24, 24}},  {5, {8, 8, 8, 8, 8, 8}},
    {7, {8, 16, 16, 24, 24, 24}},  {8, {24, 24, 24, 24, 24, 24}}, {2, {8, 24, 24, 24, 24, 24}},
    {9, {8, 24, 24, 24, 24, 24}},  {1, {8, 15, 24, 24, 24, 24}},  {11, {24, 24, 24, 24, 24, 24}},
    {12, {0, 0, 0, 0, 0, 0}},      {13, {24, 24, 24, 24, 24, 24}}, {14, {8, 24, 24, 24, 24, 24}},
    {15, {24, 24, 24, 24, 24, 24}}, {10, {8, 24, 24, 24, 24, 24}}, {17, {24, 24, 24, 24, 24, 24}},
    {18, {0, 0, 0, 0, 0, 0}},      {19, {0, 0, 0, 0, 0, 0}},
};

TEST(FormatLookup, DescriptorsRebuildTheTablesRowForRow) {
  const auto same = [](const QffDesc& a, const QffDesc& b) {
    return a.id == b.id && a.flags == b.flags && std::string(a.extensions) == b.extensions &&
           std::string(a.short_name) == b.short_name && std::string(a.long_name) == b.long_name &&
           std::string(a.full_name) == b.full_name;
  };
  int n = 0;
  const QffDesc* read = FmtTable(kReadTable, n);
  ASSERT_EQ(n, static_cast<int>(std::size(kPinnedRead)));
  for (int i = 0; i < n; ++i) EXPECT_TRUE(same(read[i], kPinnedRead[i])) << "reading row " << i;
  const QffDesc* write = FmtTable(kWriteTable, n);
  ASSERT_EQ(n, static_cast<int>(std::size(kPinnedWrite)));
  for (int i = 0; i < n; ++i) EXPECT_TRUE(same(write[i], kPinnedWrite[i])) << "writing row " << i;
  const int32_t bits[6] = {8, 15, 16, 24, 32, 12};
  for (const DepthRow& row : kPinnedDepths)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(FmtDepth(row.id, bits[c]), row.depth[c]) << row.id;
  // Every id has one descriptor, and only writable formats have depths.
  for (int32_t id = 1; id < kFmtIdEnd; ++id) {
    ASSERT_NE(FormatFor(id), nullptr) << id;
    EXPECT_EQ(FormatFor(id)->id, id);
    EXPECT_EQ(FmtDepth(id, 24) != kUndefined, FmtIsWritable(id)) << id;
  }
  EXPECT_TRUE(FmtDeltaFrames(kFmtHAV, 1));
  EXPECT_TRUE(FmtDeltaFrames(kFmtGIF, 2));
  EXPECT_FALSE(FmtDeltaFrames(kFmtGIF, 1));
  EXPECT_FALSE(FmtDeltaFrames(kFmtAVI, 10));
}

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
  EXPECT_EQ(name(kFmtAVI), kWindowsBuild ? "(cvid) Cinepak (libvek)" : "(cvid) Cinepak");
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
  EXPECT_EQ(o.mpegDataRate, 1125);
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
  EXPECT_EQ(o.prepDataRate, 100);  // back in the units it was set in
  // Cinepak, the default compressor, takes 320 x 240 at 24 bits.
  FFSaveSetFormat(o, kFmtAVI);
  EXPECT_EQ(FFSavePrepare(o, 320, 240, 24), 24);
  EXPECT_EQ(static_cast<uint32_t>(o.prepCodec), FourCC("cvid"));
}

TEST(SaveOptions, DialogStopsSilently) {
  QSaveOpts o;
  FFSaveReset(o);
  FFSaveSetFormat(o, kFmtBMP);  // no options dialog
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

namespace {

std::string g_mpeg_frame;
void VEKAPI MpegFrameSource(VekJob* job, int32_t block) {
  if (block < 3)
    VekSrcSetFile(job, g_mpeg_frame.c_str());
  else
    VekSrcFinished(job);
}

}  // namespace

// The MPEG catalogue entries hand out the codec values the MPEG writer
// takes: a host passing them to VekSetCodec gets the format the entry
// names, as FFprobe reads the file.
TEST(Catalogue, MpegEntriesGiveTheWritersCodecValues) {
  if (!::vektest::HaveOracle("ffprobe"))
    GTEST_SKIP() << VEK_ORACLE_SKIP "ffprobe missing";
  g_mpeg_frame = TempName("mpg_src.bmp");
  WriteSolid(g_mpeg_frame, 40, 64, 48);
  for (int32_t index = 1; index <= 2; ++index) {
    VekCodecInfo ci{};
    ASSERT_EQ(VekCodecsGetInfo(11, &ci, index), VEK_STATUS_OK);
    const std::string want = index == 1 ? "mpeg1video" : "mpeg2video";
    EXPECT_STREQ(ci.description, index == 1 ? "MPEG-1 format" : "MPEG-2 format");
    EXPECT_EQ(ci.dataRateDefault, 610);
    const std::string out = TempName("catalogue" + std::to_string(index) + ".mpg");
    VekJob* job = VekAlloc();
    VekSetResolution(job, 64, 48);
    VekSetBpp(job, 24);
    VekSetFrameRate(job, 25, 0);
    VekSetCodec(job, 11, ci.codec);
    VekAssignVideoSource(job, MpegFrameSource);
    VekSetOutputFile(job, out.c_str(), nullptr);
    EXPECT_EQ(VekConvert(job), VEK_STATUS_OK) << index;
    VekFree(job);
    std::string probe;
    if (FILE* p = ::vektest::OpenPipe(("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 '" +
                         out + "' 2>/dev/null").c_str(), "r")) {
      char buf[64] = {};
      if (fgets(buf, sizeof buf, p)) probe = buf;
      ::vektest::ClosePipe(p);
    }
    while (!probe.empty() && (probe.back() == '\n' || probe.back() == ',')) probe.pop_back();
    EXPECT_EQ(probe, want) << "catalogue entry " << index << " gave codec " << ci.codec;
    std::remove(out.c_str());
  }
  std::remove(g_mpeg_frame.c_str());
}
