// PNG images: load, save and file information over libpng, and the format's
// descriptor.
#include "formats/still/png.h"

#include <png.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "codecs/libdeflate/png_encode.h"
#include "codecs/libpng/png_codec.h"

#include "formats/format_descriptor.h"
#include "formats/save_option_fields.h"
#include "formats/still/raster_io.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"

namespace vek {

namespace {

// One PNG file open for reading. The file is tracked; the library's
// structures are destroyed with the state on every path.
struct QPngFile {
  TrackedFile file;
  int64_t file_size = 0;
  PngMessages messages;
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_uint_32 width = 0, height = 0;
  int bit_depth = 0, color_type = 0, interlace = 0, compression = 0, filter = 0;
  int channels = 0;
  int file_bit_depth = 0;  // as stored, before any transformation

  QPngFile() = default;
  QPngFile(const QPngFile&) = delete;
  QPngFile& operator=(const QPngFile&) = delete;
  ~QPngFile() { Close(); }
  void Close();
};

int32_t g_png_level = 6;

// Sides above this are refused by the library before anything is allocated.
constexpr png_uint_32 kMaxSide = 65535;
// The record counts its bytes in 32 bits; pictures above 1 GiB are refused.
constexpr int64_t kMaxImageBytes = int64_t{1} << 30;
// Deflate packs at most 1032 bytes into one: a file too small to hold the
// rows it claims is refused before the rows are allocated.
constexpr int64_t kMaxDeflateRatio = 1032;
// The largest ancillary chunk read (libpng's own default where it sets one).
constexpr png_alloc_size_t kMaxChunkBytes = 8000000;

// Warnings of the library are recorded and the work goes on.
void warning_handler_(const char* text) { WarnReportText(kGrpExternal, text, 1); }

// The file is reached through the structure's I/O pointer: each structure
// knows its own file.
void ReadData(png_structp png, png_bytep data, size_t length) {
  auto* s = static_cast<QPngFile*>(png_get_io_ptr(png));
  int64_t got = 0;
  FReadSome(s->file.id(), data, static_cast<int64_t>(length), got);
  if (got != static_cast<int64_t>(length)) png_error(png, "Read Error");
}

struct PngWriter {
  TrackedFile file;
  PngMessages messages;
  png_structp png = nullptr;
  png_infop info = nullptr;
  bool file_failed = false;  // a write of the file layer failed (its error is recorded)
  // Inputs of the guarded step.
  const QImg* img = nullptr;
  png_bytep* rows = nullptr;
  int level = 6;

  PngWriter() = default;
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;
  ~PngWriter() {
    if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
  }
};

void WriteData(png_structp png, png_bytep data, size_t length) {
  auto* w = static_cast<PngWriter*>(png_get_io_ptr(png));
  // The file layer reports by raising; that must not cross the library.
  MonitoredBoundary("FF_PNG.PNGWrite_",
                    [&] { w->file.Write(data, static_cast<int64_t>(length)); });
  if (ErrNone()) return;
  w->file_failed = true;
  png_error(png, "Write Error");
}

void FlushData(png_structp) {}

// An error inside a guarded step: the library's text as group 1, or the
// file layer's own error when a write of ours failed.
[[noreturn]] void RaiseLibraryError(const char* text, bool file_failed, int32_t site) {
  if (file_failed && !ErrNone()) ErrRaise(ErrGroup(), ErrCode(), site);
  ErrRaiseText(kGrpExternal, text, site);
}

void GetHeader(png_structp png, QPngFile* s) {
  png_get_IHDR(png, s->info, &s->width, &s->height, &s->bit_depth, &s->color_type, &s->interlace,
               &s->compression, &s->filter);
  s->channels = png_get_channels(png, s->info);
}

void StepReadInfo(png_structp png, void* ctx) {
  auto* s = static_cast<QPngFile*>(ctx);
  png_read_info(png, s->info);
  GetHeader(png, s);
}

void StepTransform(png_structp png, void* ctx) {
  auto* s = static_cast<QPngFile*>(ctx);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_packing(png);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, s->info);
  GetHeader(png, s);
}

struct ReadRows {
  QPngFile* s;
  png_bytep* rows;
};

void StepReadImage(png_structp png, void* ctx) {
  auto* r = static_cast<ReadRows*>(ctx);
  png_read_image(png, r->rows);
  png_read_end(png, nullptr);
}

void StepWrite(png_structp png, void* ctx) {
  auto* w = static_cast<PngWriter*>(ctx);
  const QImg& img = *w->img;
  png_set_compression_level(png, w->level);
  png_set_write_fn(png, w, WriteData, FlushData);
  png_set_IHDR(png, w->info, static_cast<png_uint_32>(img.width),
               static_cast<png_uint_32>(img.height), 8,
               img.bytespp == 1 ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (img.bytespp == 1) {
    png_color pal[256];
    for (int i = 0; i < 256; ++i) {
      pal[i].red = img.palette[3 * i + 2];
      pal[i].green = img.palette[3 * i + 1];
      pal[i].blue = img.palette[3 * i];
    }
    png_set_PLTE(png, w->info, pal, 256);
  }
  png_write_info(png, w->info);
  png_set_bgr(png);
  png_write_image(png, w->rows);
  png_write_end(png, w->info);
}

}  // namespace

void QPngFile::Close() {
  if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  png = nullptr;
  info = nullptr;
  file.Close();
}

int32_t PNGSetCompressionLevel(int32_t level) {
  if (level != kUndefined) g_png_level = level < 0 ? 0 : level > 9 ? 9 : level;
  return g_png_level;
}

void PNGOpen_(QPngFile& s, const std::string& name) {
  Monitored("FF_PNG.PNGOpen_", [&] {
    s.Close();
    s.file.Open(name, kFmRead);
    s.file_size = s.file.Size();
    png_byte sig[8] = {};
    int64_t got = 0;
    FReadSome(s.file.id(), sig, 4, got);
    if (got != 4 || png_sig_cmp(sig, 0, 4) != 0) ErrReportCode(kGrpImage, kImgInvalid, 2);
    s.file.Seek(0);
    s.messages = PngMessages{};
    s.messages.warning = warning_handler_;
    s.png = PngCreateRead(&s.messages);
    if (!s.png) ErrReportCode(kGrpImage, kImgInitCompression, 3);
    s.info = png_create_info_struct(s.png);
    if (!s.info) ErrReportCode(kGrpImage, kImgInitCompression, 4);
    png_set_read_fn(s.png, &s, ReadData);
    png_set_user_limits(s.png, kMaxSide, kMaxSide);
    // A chunk is read whole before it is checked, and an oversized one is
    // only warned about: a few bytes claiming a text of gigabytes would make
    // the library reserve them. Chunks the picture does not need are
    // skipped unread.
    png_set_chunk_malloc_max(s.png, kMaxChunkBytes);
    static const png_byte kSkipped[] = "tEXt\0zTXt\0iTXt\0iCCP\0sPLT\0eXIf\0pCAL\0sCAL\0";
    png_set_keep_unknown_chunks(s.png, PNG_HANDLE_CHUNK_NEVER, kSkipped, 8);
    if (!PngGuarded(s.png, StepReadInfo, &s)) ErrReportText(kGrpExternal, s.messages.error, 5);
    s.file_bit_depth = s.bit_depth;
  });
}

void PNGClose_(QPngFile& s) {
  Monitored("FF_PNG.PNGClose_", [&] { s.Close(); });
}

void PNGLoad(const std::string& name, QImg& img) {
  Monitored("FF_PNG.PNGLoad", [&] {
    QPngFile s;
    PNGOpen_(s, name);
    // Rows as stored, one filter byte each: the least the compressed data
    // must unpack to.
    const int64_t stored_row =
        (static_cast<int64_t>(s.width) * s.file_bit_depth * s.channels + 7) / 8 + 1;
    if (stored_row * s.height / kMaxDeflateRatio > s.file_size)
      ErrReportCode(kGrpImage, kImgDecompress, 6);
    if (!PngGuarded(s.png, StepTransform, &s)) ErrReportText(kGrpExternal, s.messages.error, 7);
    const int64_t row_bytes = static_cast<int64_t>(png_get_rowbytes(s.png, s.info));
    const int32_t bits = s.channels * 8;
    if (s.width == 0 || s.height == 0 || (bits != 8 && bits != 24))
      ErrReportCode(kGrpImage, kImgUnsupported, 8);
    if (row_bytes != static_cast<int64_t>(s.width) * s.channels ||
        row_bytes * s.height > kMaxImageBytes)
      ErrReportCode(kGrpImage, kImgUnsupported, 9);
    ImgLoadGuard loading(img);
    ImgAlloc(&img, static_cast<int32_t>(s.width), static_cast<int32_t>(s.height), bits, 10,
             "FF_PNG.PNGLoad.img");
    Tracked<png_bytep> rows(s.height, 11, "FF_PNG.PNGLoad.row_pointers");
    for (png_uint_32 y = 0; y < s.height; ++y) rows[y] = img.pixels + y * row_bytes;
    ReadRows r{&s, rows.get()};
    if (!PngGuarded(s.png, StepReadImage, &r)) ErrReportText(kGrpExternal, s.messages.error, 12);
    if (bits == 8) {
      std::memset(img.palette, 0, kPaletteBytes);
      if (s.color_type == PNG_COLOR_TYPE_GRAY) {
        // The levels of the stored depth: a 1-bit picture is black and white.
        png_color grey[256];
        const int depth = s.file_bit_depth < 8 ? s.file_bit_depth : 8;
        png_build_grayscale_palette(depth, grey);
        for (int i = 0; i < (1 << depth); ++i) std::memset(img.palette + 3 * i, grey[i].red, 3);
      } else if (s.color_type == PNG_COLOR_TYPE_PALETTE) {
        png_colorp pal = nullptr;
        int count = 0;
        if (png_get_PLTE(s.png, s.info, &pal, &count) && pal) {
          for (int i = 0; i < count && i < 256; ++i) {
            img.palette[3 * i] = pal[i].blue;
            img.palette[3 * i + 1] = pal[i].green;
            img.palette[3 * i + 2] = pal[i].red;
          }
        }
      }
    }
    ImgSetDims(&img, static_cast<int32_t>(s.width), static_cast<int32_t>(s.height), bits);
    PNGClose_(s);
  });
}

void PNGSave(const std::string& name, QImg& img) {
  Monitored("FF_PNG.PNGSave", [&] {
    RasterCheckSave(img, 1 << 20);
    // 8 bits stay palette pictures; every other depth is written as 24.
    struct Temp {
      QImg r{};
      // Plain release: this may run while an error unwinds the block, where
      // no monitored procedure may start.
      ~Temp() { MemFree(r.pixels); }
    } temp;
    const QImg* src = &img;
    if (img.bits != 8 && img.bits != 24) {
      ImgConvBpp(&img, &temp.r, 24);
      src = &temp.r;
    }
    if (PngFastWriterAvailable()) {
      PngRaster raster;
      raster.width = src->width;
      raster.height = src->height;
      raster.bytespp = src->bytespp;
      raster.pixels = src->pixels;
      raster.stride = static_cast<int64_t>(src->width) * src->bytespp;
      raster.palette = src->palette;
      TrackedFile file;
      file.Create(name);
      std::vector<uint8_t> bytes;
      if (!PngEncode(raster, g_png_level, bytes)) ErrReportCode(kGrpImage, kImgCompress, 24);
      file.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
      file.Close();
      return;
    }
    PngWriter w;
    w.img = src;
    w.level = g_png_level;
    w.file.Create(name);
    w.messages.warning = warning_handler_;
    w.png = PngCreateWrite(&w.messages);
    if (!w.png) ErrReportCode(kGrpImage, kImgInitCompression, 20);
    w.info = png_create_info_struct(w.png);
    if (!w.info) ErrReportCode(kGrpImage, kImgInitCompression, 21);
    Tracked<png_bytep> rows(src->height, 22, "FF_PNG.PNGSave.row_pointers");
    const int64_t row_bytes = static_cast<int64_t>(src->width) * src->bytespp;
    for (int32_t y = 0; y < src->height; ++y) rows[y] = src->pixels + y * row_bytes;
    w.rows = rows.get();
    if (!PngGuarded(w.png, StepWrite, &w)) RaiseLibraryError(w.messages.error, w.file_failed, 23);
    png_destroy_write_struct(&w.png, &w.info);
    w.png = nullptr;
    w.info = nullptr;
    w.file.Close();
  });
}

void PNGInfo(const std::string& name, QffInfo& info) {
  Monitored("FF_PNG.PNGInfo", [&] {
    QPngFile s;
    PNGOpen_(s, name);
    info.size = s.file_size;
    info.width = static_cast<int32_t>(s.width);
    info.height = static_cast<int32_t>(s.height);
    info.bits = s.bit_depth * s.channels;
    info.bytespp = (info.bits + 7) / 8;
    info.frames = 1;
    SetText(info.compression, "Deflate compression (modified LZ77)");
    info.imagesValid = info.width > 0 ? -1 : 0;
    info.imagesSupported = info.imagesValid;
    PNGClose_(s);
  });
}

namespace {
constexpr FormatRow kRead[] = {
    {8, {kFmtPNG, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"}},
};
constexpr FormatRow kWrite[] = {
    {6, {kFmtPNG, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"}},
};
}  // namespace

extern const FormatDescriptor kPngFormat{
    .id = kFmtPNG,
    .tag = "PNG",
    .read_rows = kRead,
    .read_count = static_cast<int32_t>(std::size(kRead)),
    .write_rows = kWrite,
    .write_count = static_cast<int32_t>(std::size(kWrite)),
    .depths = kDepthsPal24,
    .kind = FormatKindRule::kStill,
    .delta_frames = false,
    .save = {.dialog = true,
        .set_codec = StoreOption<&VekSaveOpts::pngLevel>,
        .codec_name = [](const VekSaveOpts& o) -> std::string {
          return "PNG compression level: " + NumText(o.pngLevel) + " of 9";
        },
        .prepare = PrepareCodec<&VekSaveOpts::pngLevel>,
        .apply = [](const VekSaveOpts& o) { PNGSetCompressionLevel(o.prepCodec); },},
    .load = PNGLoad,
    .save_image = PNGSave,
    .info = PNGInfo,
};

}  // namespace vek
