// Hostile files: sizes that lie, data cut short at every length, and every
// input the fuzzers kept. Each must end in an error or a complete image,
// never a crash, with nothing left allocated or open.
#include <dirent.h>

#include <cstring>

#include "formats/file_info.h"
#include "formats/still/bayer.h"
#include "formats/still/pnm.h"
#include "formats/still/sgi.h"
#include "formats/still/sun_raster.h"
#include "formats/still/xpm.h"
#include "raster_test_util.h"

using namespace vek;
using namespace raster_test;

namespace {

using Loader = void (*)(const std::string&, QImg&);
using InfoFn = void (*)(const std::string&, QffInfo&);

struct Reader {
  const char* corpus;
  const char* ext;
  Loader load;
  InfoFn info;
};
const Reader kReaders[] = {
    {"sgi", ".sgi", SGILoad, SGIInfo},   {"sunraster", ".ras", RASLoad, RASInfo},
    {"pnm", ".ppm", PNMLoad, PNMInfo},   {"xpm", ".xpm", XPMLoad, XPMInfo},
    {"bayer", ".bay", BayLoad, BayInfo},
};

struct RasterHostile : StillTest {
  // Info and load of `data`; a loaded image must be whole.
  void Survive(const Reader& r, const Bytes& data) {
    const std::string file = Temp(std::string("hostile") + r.ext);
    WriteAll(file, data);
    QffInfo fi{};
    TryLoad([&] { r.info(file, fi); });
    Img img;
    if (TryLoad([&] { r.load(file, img.r); }) == 0) {
      ASSERT_NE(img->pixels, nullptr);
      ASSERT_EQ(img->size, img->width * img->height * img->bytespp);
      volatile uint8_t sink = img->pixels[img->size - 1];
      (void)sink;
    }
    EXPECT_EQ(MonDepth(), 0);
    EXPECT_EQ(FCount(), 0);
    std::remove(file.c_str());
  }
};

std::vector<std::string> Files(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return out;
}

TEST_F(RasterHostile, KeptFuzzInputsAndTheirTruncations) {
  // Every seed and every input the fuzzers found, whole and cut at many lengths.
  for (const Reader& r : kReaders) {
    const auto files = Files(std::string(VEK_FUZZ_CORPUS) + "/" + r.corpus);
    EXPECT_FALSE(files.empty()) << r.corpus;
    for (const std::string& f : files) {
      SCOPED_TRACE(f);
      const Bytes data = ReadAll(f);
      Survive(r, data);
      const size_t step = std::max<size_t>(1, data.size() / 97);
      for (size_t n = 0; n < data.size(); n += step) Survive(r, Bytes(data.begin(), data.begin() + n));
    }
  }
}

TEST_F(RasterHostile, LyingSizesFailBeforeAllocation) {
  const std::string file = Temp("lie");
  Img img;
  const int32_t mem = MemCount();
  auto load = [&](Loader l, const Bytes& d) {
    WriteAll(file, d);
    const int32_t code = TryLoad([&] { l(file, img.r); });
    EXPECT_EQ(img->pixels, nullptr);
    EXPECT_EQ(MemCount(), mem);
    return code;
  };

  // SGI: 65535 x 65535 x 4 claimed by a header alone, raw and encoded, is
  // beyond the library's limit; 30000 x 30000 grey is not, but the file
  // cannot hold it.
  Bytes sgi(512 + 64, 0);
  sgi[0] = 0x01, sgi[1] = 0xDA, sgi[3] = 1, sgi[5] = 3, sgi[6] = sgi[7] = sgi[8] = sgi[9] = 0xFF, sgi[11] = 4;
  EXPECT_EQ(load(SGILoad, sgi), Code(kGrpImage, kImgUnsupported));
  sgi[2] = 1;
  EXPECT_EQ(load(SGILoad, sgi), Code(kGrpImage, kImgUnsupported));
  sgi[6] = sgi[8] = 0x75, sgi[7] = sgi[9] = 0x30, sgi[11] = 1;
  EXPECT_EQ(load(SGILoad, sgi), Code(kGrpFile, kFileRead));
  sgi[2] = 0;
  EXPECT_EQ(load(SGILoad, sgi), Code(kGrpFile, kFileRead));
  // Encoded rows whose tables fit but whose data could never fill the width.
  sgi[2] = 1, sgi[6] = sgi[7] = 0xFF, sgi[8] = 0, sgi[9] = 2, sgi[11] = 1;
  EXPECT_EQ(load(SGILoad, sgi), Code(kGrpImage, kImgDecompress));

  // Sun raster: a huge encoded picture from a few bytes, and raw data missing.
  Bytes ras = {0x59, 0xA6, 0x6A, 0x95, 0, 0, 0x40, 0, 0, 0, 0x40, 0, 0, 0, 0, 24,
               0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 1};
  EXPECT_EQ(load(RASLoad, ras), Code(kGrpImage, kImgDecompress));
  ras[23] = 1;
  EXPECT_EQ(load(RASLoad, ras), Code(kGrpFile, kFileRead));
  // A colour map longer than the file.
  ras[27] = 1, ras[30] = 0x10;
  EXPECT_EQ(load(RASLoad, ras), Code(kGrpFile, kFileRead));
  // Widths beyond 31 bits are not taken for sizes.
  ras[4] = 0xFF;
  EXPECT_EQ(load(RASLoad, ras), Code(kGrpImage, kImgInvalid));

  // PNM: a full-size header over a few bytes of samples, binary and text.
  const std::string p6 = "P6 4096 4096 65535\n\1\2\3";
  EXPECT_EQ(load(PNMLoad, Bytes(p6.begin(), p6.end())), Code(kGrpFile, kFileRead));
  const std::string p3 = "P3 4096 4096 255\n1 2 3\n";
  EXPECT_EQ(load(PNMLoad, Bytes(p3.begin(), p3.end())), Code(kGrpImage, kImgCorrupted));

  // XPM: a values line promising far more pixels than the text holds.
  const std::string xpm = "/* XPM */\nstatic char *x[] = {\n\"60000 60000 1 1\",\n\"a c red\",\n\"a\"};\n";
  EXPECT_EQ(load(XPMLoad, Bytes(xpm.begin(), xpm.end())), Code(kGrpImage, kImgOpen));
  const std::string xpm1 = "#define x_format 1\n#define x_width 60000\n#define x_height 60000\n"
                           "#define x_ncolors 1\n#define x_chars_per_pixel 1\n";
  EXPECT_EQ(load(XPMLoad, Bytes(xpm1.begin(), xpm1.end())), Code(kGrpImage, kImgOpen));
  std::remove(file.c_str());
}

TEST_F(RasterHostile, RunLengthRowsStayInsideTheirRow) {
  // Every packet longer than what is left of the row, and row offsets past
  // the end of the file or into the header.
  Bytes sgi(512, 0);
  sgi[0] = 0x01, sgi[1] = 0xDA, sgi[2] = 1, sgi[3] = 1, sgi[5] = 3, sgi[7] = 3, sgi[9] = 2, sgi[11] = 1;
  auto put = [&](size_t o, uint32_t v) {
    if (sgi.size() < o + 4) sgi.resize(o + 4);
    sgi[o] = uint8_t(v >> 24), sgi[o + 1] = uint8_t(v >> 16), sgi[o + 2] = uint8_t(v >> 8), sgi[o + 3] = uint8_t(v);
  };
  put(512, 528);
  put(516, 0);  // row 1 starts at the file's start: decoded from the header
  put(520, 4000);
  put(524, 100);
  sgi.insert(sgi.end(), {0x82, 1, 2, 0x7F, 9});  // a run of 127 into the last pixel
  const std::string file = Temp("rows.sgi");
  WriteAll(file, sgi);
  Img img;
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), 0);
  ASSERT_EQ(img->width, 3);
  EXPECT_EQ(Bytes(img->pixels + 3, img->pixels + 6), (Bytes{1, 2, 9}));  // bottom row: file row 0
  // From the header: runs of one 0xDA and one 0x01, then a zero ends the row.
  EXPECT_EQ(Bytes(img->pixels, img->pixels + 3), (Bytes{0xDA, 1, 0}));

  put(512, 99999);
  WriteAll(file, sgi);
  EXPECT_EQ(TryLoad([&] { SGILoad(file, img.r); }), Code(kGrpImage, kImgDecompress));
  std::remove(file.c_str());
}

}  // namespace
