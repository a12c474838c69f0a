// TIFF images: load, save, file information and tag reading over libtiff,
// and the format's descriptor.
#include "formats/still/tiff.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "codecs/libtiff/tiff_codec.h"
#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/orientation.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

namespace vek {

// One TIFF file open through libtiff, closed with the state on every path.
struct QTiffFile {
  TiffHandle tif;
  int32_t width = 0;
  int32_t height = 0;
  int64_t row_bytes = 0;      // TIFFScanlineSize
  int32_t bits_per_sample = 0;
  int32_t samples = 0;        // samples per pixel
  int32_t bytespp = 0;        // row bytes / width
  int32_t compression = 0;
  int32_t photometric = 0;
  int32_t planar = 1;
  int32_t orientation = 1;    // the Orientation tag, 1 to 8
  bool tiled = false;
  bool scanlines = false;     // rows can be copied as they are stored
  bool rgba = false;          // libtiff's RGBA interface decodes it
  bool floats = false;        // grey or RGB samples of 32 or 64-bit floating point
  bool grey = false;          // one colour channel of grey levels
  int64_t stored_bytes = 0;   // the pixels as stored, unpacked from the codec
  bool supported = false;     // the loader can deliver it

  // Closes the file and zeroes the fields.
  void Clear() {
    tif.Close();
    width = height = bits_per_sample = samples = bytespp = compression = photometric = 0;
    row_bytes = 0;
    planar = orientation = 1;
    tiled = scanlines = rgba = floats = grey = supported = false;
    stored_bytes = 0;
  }
};

void TIFOpen_(QTiffFile& state, const std::string& name);
void TIFCreate_(QTiffFile& state, const std::string& name);
void TIFClose_(QTiffFile& state);


namespace {

int32_t g_tiff_compression = 1;

// Sides and sizes the loader accepts: the record counts its bytes in 32
// bits, and pictures above 1 GiB are refused before anything is allocated.
constexpr int64_t kMaxSide = int64_t{1} << 20;
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;
// No codec of the loader packs more than this many bytes into one; a file
// too small for the pixels it claims is refused before allocating them.
constexpr int64_t kMaxCodecRatio = 4096;

// The library's last error text, reported once the call that raised it has
// returned: the library is never left by a jump, it returns its failure.
char g_tiff_error[256] = "";

void error_handler_(const char* text) {
  // The first error of a call is the cause; later ones follow from it.
  if (g_tiff_error[0] == '\0') SetText(g_tiff_error, text && *text ? text : "libtiff error");
}

void warning_handler_(const char* text) { WarnReportText(kGrpExternal, text ? text : "", 1); }

void InstallHandlers() {
  ExternErrorSet(error_handler_);
  ExternWarningSet(warning_handler_);
  g_tiff_error[0] = '\0';
}

// Reports a pending library error as group 1 with its text.
void TiffCheck(int32_t site) {
  if (g_tiff_error[0] == '\0') return;
  const std::string text = g_tiff_error;
  g_tiff_error[0] = '\0';
  ErrReportText(kGrpExternal, text, site);
}

// A library failure: its own text when it gave one, else our code.
void TiffFail(int32_t code, int32_t site) {
  TiffCheck(site);
  ErrReportCode(kGrpImage, code, site);
}

bool WritableCompression(int32_t c) {
  return c == COMPRESSION_NONE || c == COMPRESSION_LZW || c == COMPRESSION_JPEG ||
         c == COMPRESSION_PACKBITS || c == COMPRESSION_DEFLATE;
}

// Swaps the first and third byte of every pixel.
void SwapRB(uint8_t* p, int64_t pixels, int32_t bytespp) {
  for (int64_t i = 0; i < pixels; ++i, p += bytespp) std::swap(p[0], p[2]);
}

struct CompressionName {
  int32_t code;
  const char* name;
};
constexpr CompressionName kCompressionNames[] = {
    {1, "Uncompressed"},
    {2, "CCITT modified Huffman RLE"},
    {3, "CCITT Group 3 fax encoding"},
    {4, "CCITT Group 4 fax encoding"},
    {5, "Variable-Length-Code LZW (Lempel-Ziv & Welch)"},
    {6, "JPEG 6.0"},
    {7, "JPEG DCT compression"},
    {32766, "NeXT 2-bit RLE"},
    {32771, "#1 w/ word alignment"},
    {32773, "Macintosh RLE (PackBits)"},
    {32809, "ThunderScan RLE"},
    {32895, "IT8 CT w/padding"},
    {32896, "IT8 Linework RLE"},
    {32897, "IT8 Monochrome picture"},
    {32898, "IT8 Binary line art"},
    {32908, "Pixar companded 10bit LZW"},
    {32909, "Pixar companded 11bit ZIP"},
    {32946, "Deflate compression (modified LZ77)"},
    {32947, "Kodak DCS encoding"},
    {34661, "ISO JBIG"},
    {34676, "SGI Log Luminance RLE"},
    {34677, "SGI Log 24-bit packed"},
};

}  // namespace

const char* TiffCompressionName(int32_t code) {
  for (const auto& c : kCompressionNames)
    if (c.code == code) return c.name;
  return nullptr;
}

int32_t TIFSetCompression(int32_t code) {
  if (code != kUndefined) g_tiff_compression = code;
  return g_tiff_compression;
}

int32_t checkpal_(int32_t count, const uint16_t* red, const uint16_t* green,
                  const uint16_t* blue) {
  for (int32_t i = 0; i < count; ++i)
    if (red[i] >= 256 || green[i] >= 256 || blue[i] >= 256) return 16;
  return 8;
}

void TIFOpen_(QTiffFile& s, const std::string& name) {
  Monitored("FF_TIF.TIFOpen_", [&] {
    s.Clear();
    InstallHandlers();
    s.tif.Reset(TiffOpen(name, "r"));
    if (!s.tif) TiffFail(kImgOpen, 2);
    TIFF* t = s.tif.get();
    uint32_t w = 0, h = 0;
    uint16_t bps = 1, comp = COMPRESSION_NONE, photo = 0, spp = 1, planar = PLANARCONFIG_CONTIG;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &comp);
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photo)) photo = 0xFFFF;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &orientation);
    TiffCheck(3);
    // JPEG data in YCbCr is handed out as RGB by the library's codec.
    if (comp == COMPRESSION_JPEG && photo == PHOTOMETRIC_YCBCR) {
      TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
      TiffCheck(4);
      photo = PHOTOMETRIC_RGB;
    }
    s.width = w <= INT32_MAX ? static_cast<int32_t>(w) : 0;
    s.height = h <= INT32_MAX ? static_cast<int32_t>(h) : 0;
    s.bits_per_sample = bps;
    s.samples = spp;
    s.compression = comp;
    s.photometric = photo;
    s.planar = planar;
    s.orientation = orientation >= 1 && orientation <= 8 ? orientation : ORIENTATION_TOPLEFT;
    s.tiled = TIFFIsTiled(t) != 0;
    s.row_bytes = static_cast<int64_t>(TIFFScanlineSize64(t));
    // A size the library could not compute is an error of its own; it only
    // makes the file unsupported here.
    g_tiff_error[0] = '\0';
    s.bytespp = s.width > 0 ? static_cast<int32_t>(s.row_bytes / s.width) : 0;
    // Deflate comes under two codes: the old 32946 and Adobe's 8, which
    // most writers use today.
    const bool codec = comp == COMPRESSION_NONE || comp == COMPRESSION_LZW ||
                       comp == COMPRESSION_PACKBITS || comp == COMPRESSION_DEFLATE ||
                       comp == COMPRESSION_ADOBE_DEFLATE || comp == COMPRESSION_JPEG;
    // Layouts with a record depth of their own: one sample of grey levels
    // or palette indices, or three or four of RGB, interleaved.
    const bool one = spp == 1 && (photo == PHOTOMETRIC_MINISWHITE ||
                                  photo == PHOTOMETRIC_MINISBLACK || photo == PHOTOMETRIC_PALETTE);
    const bool colour = photo == PHOTOMETRIC_RGB && (spp == 3 || spp == 4) &&
                        planar == PLANARCONFIG_CONTIG;
    s.scanlines = bps == 8 && codec && (one || colour) && s.bytespp == spp &&
                  s.row_bytes == static_cast<int64_t>(s.width) * spp;
    if (!s.scanlines) {
      // Alpha is dropped, never multiplied into the colours: the RGBA
      // interface is told the extra samples carry nothing.
      uint16_t extra = 0;
      uint16_t* kinds = nullptr;
      if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extra, &kinds) && extra > 0 && extra < spp) {
        uint16_t none[16] = {};
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, std::min<uint16_t>(extra, 16), none);
      }
      char why[1024] = "";
      s.rgba = TIFFRGBAImageOK(t, why) != 0;
      s.grey = (photo == PHOTOMETRIC_MINISWHITE || photo == PHOTOMETRIC_MINISBLACK) &&
               spp - extra == 1;
      // Floating-point samples, which the RGBA interface refuses, run from
      // 0 (black) to 1 (full intensity).
      uint16_t format = SAMPLEFORMAT_UINT;
      TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
      s.floats = !s.rgba && format == SAMPLEFORMAT_IEEEFP && (bps == 32 || bps == 64) && !s.tiled &&
                 ((photo == PHOTOMETRIC_MINISBLACK && spp - extra == 1) ||
                  (photo == PHOTOMETRIC_RGB && spp - extra == 3));
    }
    g_tiff_error[0] = '\0';
    // The pixels as the codec hands them out, whatever the record becomes.
    s.stored_bytes = static_cast<int64_t>(w) * h * spp * bps / 8;
    s.supported = s.scanlines || s.rgba || s.floats;
  });
}

void TIFCreate_(QTiffFile& s, const std::string& name) {
  Monitored("FF_TIF.TIFCreate_", [&] {
    s.Clear();
    InstallHandlers();
    s.tif.Reset(TiffOpen(name, "w"));
    if (!s.tif) TiffFail(kImgCreate, 5);
  });
}

void TIFClose_(QTiffFile& s) {
  Monitored("FF_TIF.TIFClose_", [&] {
    s.tif.Close();
    TiffCheck(6);
  });
}

namespace {

// Rasters up to this size need no proof from the file's size: a fax page
// of a few hundred bytes is a valid picture of some megapixels.
constexpr int64_t kFreeRasterBytes = int64_t{64} << 20;

void CheckLoadable(const QTiffFile& s, int64_t file_size) {
  if (s.width <= 0 || s.height <= 0) ErrReportCode(kGrpImage, kImgInvalid, 7);
  // Through the RGBA interface the library fills a 32-bit raster first.
  const int64_t bytes = static_cast<int64_t>(s.width) * s.height * (s.scanlines ? s.bytespp : 4);
  if (s.width > kMaxSide || s.height > kMaxSide || bytes > kMaxImageBytes)
    ErrReportCode(kGrpImage, kImgUnsupported, 8);
  const int64_t stored = s.scanlines ? bytes : s.stored_bytes;
  const int64_t ratio = s.compression == COMPRESSION_NONE ? 1 : kMaxCodecRatio;
  const bool small = !s.scanlines && s.compression != COMPRESSION_NONE && bytes <= kFreeRasterBytes;
  if (!small && stored / ratio > file_size) ErrReportCode(kGrpImage, kImgDecompress, 9);
}

inline uint8_t FloatLevel(double v) {
  return static_cast<uint8_t>(v > 0 ? v < 1 ? v * 255 + 0.5 : 255 : 0);
}

// Grey or RGB samples of floating point, row by row, plane by plane when
// the planes are separate.
void ReadFloats(QTiffFile& s, QImg& img) {
  TIFF* t = s.tif.get();
  const int64_t row_bytes = static_cast<int64_t>(TIFFScanlineSize64(t));
  const int32_t bps = s.bits_per_sample / 8;
  const int32_t colours = s.grey ? 1 : 3;
  const bool separate = s.planar == PLANARCONFIG_SEPARATE;
  const int64_t stride = separate ? 1 : s.samples;
  if (row_bytes < static_cast<int64_t>(s.width) * stride * bps) ErrReportCode(kGrpImage, kImgUnsupported, 24);
  Tracked<uint8_t> row(row_bytes, 25, "FF_TIF.TIFLoad.floats", kMemNew);
  const int32_t out = img.bytespp;
  // Separate planes are read one whole plane after the other: codecs
  // cannot jump between them row by row.
  for (int32_t c = 0; c < (separate ? colours : 1); ++c) {
    for (int32_t y = 0; y < s.height; ++y) {
      if (TIFFReadScanline(t, row.get(), static_cast<uint32_t>(y), static_cast<uint16_t>(c)) < 0)
        TiffFail(kImgDecompress, 26);
      uint8_t* d = img.pixels + static_cast<int64_t>(y) * s.width * out;
      for (int32_t x = 0; x < s.width; ++x) {
        for (int32_t k = separate ? c : 0; k < (separate ? c + 1 : colours); ++k) {
          const uint8_t* p = row.get() + (x * stride + (separate ? 0 : k)) * bps;
          double v;
          if (bps == 4) {
            float f;
            std::memcpy(&f, p, 4);
            v = f;
          } else {
            std::memcpy(&v, p, 8);
          }
          // Red, green, blue go to bytes 2, 1, 0 of a pixel.
          d[x * out + (colours == 1 ? 0 : 2 - k)] = FloatLevel(v);
        }
      }
    }
  }
  if (s.grey)
    for (int i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
}

// Any picture the RGBA interface decodes, as grey levels or colour.
void ReadRgba(QTiffFile& s, QImg& img) {
  const int64_t n = static_cast<int64_t>(s.width) * s.height;
  Tracked<uint32_t> raster(n, 18, "FF_TIF.TIFLoad.raster", kMemNew);
  // Asked for the file's own orientation, the interface hands the rows out
  // as stored, like every other path of the loader.
  if (!TIFFReadRGBAImageOriented(s.tif.get(), static_cast<uint32_t>(s.width),
                                 static_cast<uint32_t>(s.height), raster.get(), s.orientation, 1))
    TiffFail(kImgDecompress, 19);
  const uint32_t* p = raster.get();
  uint8_t* d = img.pixels;
  if (s.grey) {
    for (int64_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(TIFFGetR(p[i]));
    for (int i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
  } else {
    for (int64_t i = 0; i < n; ++i, d += 3) {
      d[0] = static_cast<uint8_t>(TIFFGetB(p[i]));
      d[1] = static_cast<uint8_t>(TIFFGetG(p[i]));
      d[2] = static_cast<uint8_t>(TIFFGetR(p[i]));
    }
  }
}

void ReadPalette(const QTiffFile& s, QImg& img) {
  std::memset(img.palette, 0, kPaletteBytes);
  switch (s.photometric) {
    case PHOTOMETRIC_MINISWHITE:
      for (int i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, 255 - i, 3);
      break;
    case PHOTOMETRIC_MINISBLACK:
      for (int i = 0; i < 256; ++i) std::memset(img.palette + 3 * i, i, 3);
      break;
    case PHOTOMETRIC_PALETTE: {
      uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
      if (!TIFFGetField(s.tif.get(), TIFFTAG_COLORMAP, &r, &g, &b) || !r || !g || !b) break;
      const int32_t n = s.bits_per_sample > 8 ? 256 : 1 << s.bits_per_sample;
      const int shift = checkpal_(n, r, g, b) == 16 ? 8 : 0;
      for (int32_t i = 0; i < n; ++i) {
        img.palette[3 * i] = static_cast<uint8_t>(b[i] >> shift);
        img.palette[3 * i + 1] = static_cast<uint8_t>(g[i] >> shift);
        img.palette[3 * i + 2] = static_cast<uint8_t>(r[i] >> shift);
      }
      break;
    }
    default: break;
  }
}

void ReadTiles(QTiffFile& s, QImg& img) {
  TIFF* t = s.tif.get();
  uint32_t tw = 0, th = 0;
  TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
  TIFFGetField(t, TIFFTAG_TILELENGTH, &th);
  const int64_t tile_row = static_cast<int64_t>(TIFFTileRowSize64(t));
  const int64_t tile_bytes = static_cast<int64_t>(TIFFTileSize64(t));
  TiffCheck(10);
  if (tw == 0 || th == 0 || tile_row != static_cast<int64_t>(tw) * s.bytespp ||
      tile_bytes != tile_row * th || tile_bytes > kTiffMaxAlloc)
    ErrReportCode(kGrpImage, kImgUnsupported, 11);
  Tracked<uint8_t> tile(tile_bytes, 12, "FF_TIF.TIFLoad.tile");
  const int64_t row_bytes = static_cast<int64_t>(img.width) * img.bytespp;
  for (int64_t y = 0; y < img.height; y += th) {
    for (int64_t x = 0; x < img.width; x += tw) {
      if (TIFFReadTile(t, tile.get(), static_cast<uint32_t>(x), static_cast<uint32_t>(y), 0, 0) < 0)
        TiffFail(kImgDecompress, 13);
      const int64_t cols = std::min<int64_t>(tw, img.width - x);
      const int64_t rows = std::min<int64_t>(th, img.height - y);
      for (int64_t r = 0; r < rows; ++r)
        std::memcpy(img.pixels + (y + r) * row_bytes + x * img.bytespp, tile.get() + r * tile_row,
                    static_cast<size_t>(cols * img.bytespp));
    }
  }
}

}  // namespace

void TIFLoad(const std::string& name, QImg& img) {
  Monitored("FF_TIF.TIFLoad", [&] {
    int64_t file_size = 0;
    {
      TrackedFile f;
      f.Open(name, kFmRead);
      file_size = f.Size();
    }
    QTiffFile s;
    TIFOpen_(s, name);
    if (!s.supported) ErrReportCode(kGrpImage, kImgUnsupported, 14);
    CheckLoadable(s, file_size);
    ImgLoadGuard loading(img);
    if (!s.scanlines) {
      const int32_t bits = s.grey ? 8 : 24;
      ImgAlloc(&img, s.width, s.height, bits, 15, "FF_TIF.TIFLoad.img");
      if (s.floats)
        ReadFloats(s, img);
      else
        ReadRgba(s, img);
      TiffCheck(17);
      ImgSetDims(&img, s.width, s.height, bits);
      if (StillAutoOrient()) OrientImage(img, s.orientation);
      TIFClose_(s);
      return;
    }
    ImgAlloc(&img, s.width, s.height, s.bytespp * 8, 15, "FF_TIF.TIFLoad.img");
    ReadPalette(s, img);
    if (s.tiled) {
      ReadTiles(s, img);
    } else {
      for (int32_t y = 0; y < s.height; ++y)
        if (TIFFReadScanline(s.tif.get(), img.pixels + y * s.row_bytes, static_cast<uint32_t>(y), 0) < 0)
          TiffFail(kImgDecompress, 16);
    }
    TiffCheck(17);
    ImgSetDims(&img, s.width, s.height, s.bytespp * 8);
    if (s.bytespp >= 3) SwapRB(img.pixels, static_cast<int64_t>(img.width) * img.height, img.bytespp);
    if (StillAutoOrient()) OrientImage(img, s.orientation);
    TIFClose_(s);
  });
}

void TIFSave(const std::string& name, QImg& img) {
  Monitored("FF_TIF.TIFSave", [&] {
    RasterCheckSave(img, static_cast<int32_t>(kMaxSide));
    const int32_t comp = WritableCompression(g_tiff_compression) ? g_tiff_compression : 1;
    // 8 bits keep their palette, except under JPEG, which stores no palette
    // pictures; every other depth is written as 24 bits.
    const int32_t bits = img.bits == 8 && comp != COMPRESSION_JPEG ? 8 : 24;
    struct Temp {
      QImg r{};
      // Plain release: this may run while an error unwinds the block, where
      // no monitored procedure may start.
      ~Temp() { MemFree(r.pixels); }
    } temp;
    const QImg* src = &img;
    if (img.bits != bits) {
      ImgConvBpp(&img, &temp.r, bits);
      src = &temp.r;
    }
    // A file the library could not complete is removed; declared before
    // the handle, so the handle is closed first.
    struct Discard {
      const std::string& name;
      bool armed = false;
      ~Discard() {
        if (armed) FDiscard(name);
      }
    } discard{name};
    QTiffFile s;
    // An old file goes first, so what is left after a failure is ours.
    FDelete(name);
    discard.armed = true;
    TIFCreate_(s, name);
    TIFF* t = s.tif.get();
    const int64_t row_bytes = static_cast<int64_t>(src->width) * src->bytespp;
    const uint32_t rows_per_strip =
        comp == COMPRESSION_JPEG || row_bytes > 8192 ? 8 : static_cast<uint32_t>(8192 / row_bytes);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(src->height));
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(src->width));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_COMPRESSION, comp);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, src->bytespp);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (bits == 8) {
      // Full scale is 65535: 255 becomes 65535 (x 257), which readers that
      // take the high byte and readers that scale both read back as 255.
      uint16_t r[256], g[256], b[256];
      for (int i = 0; i < 256; ++i) {
        b[i] = static_cast<uint16_t>(src->palette[3 * i] * 257);
        g[i] = static_cast<uint16_t>(src->palette[3 * i + 1] * 257);
        r[i] = static_cast<uint16_t>(src->palette[3 * i + 2] * 257);
      }
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
      TIFFSetField(t, TIFFTAG_COLORMAP, r, g, b);
    } else {
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    }
    TiffCheck(18);
    // The library may change the row it is given while encoding: rows go
    // through a buffer of ours, never straight from the caller's image.
    Tracked<uint8_t> line(row_bytes, 19, "FF_TIF.TIFSave.tempLine");
    for (int32_t y = 0; y < src->height; ++y) {
      std::memcpy(line.get(), src->pixels + y * row_bytes, static_cast<size_t>(row_bytes));
      if (bits == 24) SwapRB(line.get(), src->width, 3);
      if (TIFFWriteScanline(t, line.get(), static_cast<uint32_t>(y), 0) < 0)
        TiffFail(kImgCompress, 20);
    }
    TIFClose_(s);
    discard.armed = false;
  });
}

void TIFInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_TIF.TIFInfo", [&] {
    QTiffFile s;
    TIFOpen_(s, name);
    // Turned pictures load with their sides exchanged.
    const bool turned = StillAutoOrient() && s.orientation >= 5;
    info.width = turned ? s.height : s.width;
    info.height = turned ? s.width : s.height;
    // Bits of a whole pixel: every sample counts, whatever its width.
    info.bits = s.bits_per_sample * s.samples;
    info.bytespp = (info.bits + 7) / 8;
    info.frames = 1;
    if (const char* c = TiffCompressionName(s.compression)) SetText(info.compression, c);
    info.imagesValid = s.width > 0 ? -1 : 0;
    info.imagesSupported = s.supported ? -1 : 0;
    TIFClose_(s);
    TrackedFile f;
    f.Open(name, kFmRead);
    info.size = f.Size();
  });
}

int32_t TiffTypeSize(int32_t type) {
  switch (type) {
    case kTiffByte:
    case kTiffSByte:
    case kTiffUndefined:
    case kTiffAscii: return 1;
    case kTiffShort:
    case kTiffSShort: return 2;
    case kTiffLong:
    case kTiffSLong:
    case kTiffFloat: return 4;
    case kTiffRational:
    case kTiffSRational:
    case kTiffDouble: return 8;
    default: return 0;
  }
}

int32_t TIFGetTag(const std::string& name, int32_t tag, void* buffer, int32_t length) {
  return Monitored("FF_TIF.TIFGetTag", [&]() -> int32_t {
    TrackedFile f;
    f.Open(name, kFmRead);
    const int64_t size = f.Size();
    if (size < 8) return 0;
    uint8_t h[8];
    f.Read(h, 8);
    const bool big = h[0] == 'M' && h[1] == 'M';
    if (!big && !(h[0] == 'I' && h[1] == 'I')) return 0;
    auto u16 = [big](const uint8_t* p) -> uint32_t { return big ? (p[0] << 8) | p[1] : Get16(p); };
    auto u32 = [big](const uint8_t* p) -> uint32_t {
      return big ? (uint32_t(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3] : Get32(p);
    };
    if (u16(h + 2) != 42) return 0;
    const int64_t dir = u32(h + 4);
    if (dir < 8 || dir > size - 2) return 0;
    uint8_t cnt[2];
    f.Seek(dir);
    f.Read(cnt, 2);
    const int64_t entries = std::min<int64_t>(u16(cnt), (size - dir - 2) / 12);
    Tracked<uint8_t> table(std::max<int64_t>(entries * 12, 1), 21, "FF_TIF.TIFGetTag.entries");
    if (entries > 0) f.Read(table.get(), entries * 12);
    for (int64_t i = 0; i < entries; ++i) {
      const uint8_t* e = table.get() + 12 * i;
      if (static_cast<int32_t>(u16(e)) != tag) continue;
      const int32_t type = static_cast<int32_t>(u16(e + 2));
      const int64_t count = u32(e + 4);
      // The byte array comes whole; any other tag gives one value.
      const bool array = tag == kTiffByteArrayTag;
      const int64_t unit = array ? 1 : TiffTypeSize(type);
      const int64_t bytes = array ? count : unit;
      if (bytes <= 0 || count == 0 || bytes > INT32_MAX) return 0;
      if (!buffer) return static_cast<int32_t>(bytes);
      // Values of more than four bytes are stored at the offset.
      const int64_t stored = array ? count : count * unit;
      const int64_t n = std::min<int64_t>(bytes, std::max(length, 0));
      Tracked<uint8_t> value(std::max<int64_t>(bytes, 4), 22, "FF_TIF.TIFGetTag.value");
      if (stored <= 4) {
        std::memcpy(value.get(), e + 8, static_cast<size_t>(bytes));
      } else {
        const int64_t at = u32(e + 8);
        if (at > size || bytes > size - at) return 0;
        f.Seek(at);
        f.Read(value.get(), bytes);
      }
      // Values come in the machine's order, little-endian.
      const int64_t word = type == kTiffRational || type == kTiffSRational ? 4 : unit;
      if (big && !array && word > 1)
        for (int64_t k = 0; k + word <= bytes; k += word) std::reverse(value.get() + k, value.get() + k + word);
      if (n > 0) std::memcpy(buffer, value.get(), static_cast<size_t>(n));
      return static_cast<int32_t>(n);
    }
    return 0;
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {12, {kFmtTIFF, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"}},
};
constexpr FormatRow kWrite[] = {
    {13, {kFmtTIFF, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"}},
};
std::string TiffCodecName(const VekSaveOpts& o) {
  switch (o.tiffCompression) {
    case 5: return "Variable-Length-Code LZW";
    case 7: return "JPEG DCT compression";
    case 32773: return "PackBits (Macintosh RLE)";
    case 32946: return "Deflate compression (ZIP)";
    default: return "";
  }
}
}  // namespace

extern const FormatDescriptor kTiffFormat{
    .id = kFmtTIFF,
    .tag = "TIF",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::tiffCompression>,
        .codec_name = TiffCodecName,
        .prepare = PrepareCodec<&VekSaveOpts::tiffCompression>,
        .apply = [](const VekSaveOpts& o) { TIFSetCompression(o.prepCodec); },},
    .load = TIFLoad,
    .save_image = TIFSave,
    .info = TIFInfo,
};

}  // namespace vek
