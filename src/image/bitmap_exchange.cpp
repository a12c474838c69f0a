// Image records to and from packed bitmaps, bitmap handles and global blocks.
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/bitmap_exchange.h"
#include "image/image.h"
#include "image/palette_internal.h"
#include "platform/gdi/gdi.h"

namespace vek {


namespace {

constexpr uint32_t kHeaderSize = 40;
constexpr uint32_t kHeaderWithTable = 40 + 256 * 4;  // the colour table counted in

// Rows of bitmaps are padded to 4 bytes.
int64_t DibStride(int64_t width, int32_t bytespp) { return (width * bytespp + 3) / 4 * 4; }

// The bit-field masks of a DIB section (the system's DWORD need not be uint32_t).
const uint32_t* MasksOf(const gdi::DIBSECTION& ds) {
  static_assert(sizeof ds.dsBitfields == 3 * sizeof(uint32_t));
  return reinterpret_cast<const uint32_t*>(ds.dsBitfields);
}
bool Masks565(const uint32_t* m) { return m[0] == 0xF800 && m[1] == 0x07E0 && m[2] == 0x001F; }
bool Masks555(const uint32_t* m) { return m[0] == 0x7C00 && m[1] == 0x03E0 && m[2] == 0x001F; }

}  // namespace

void DibToQimgEx(QImg* image, const void* dib, int64_t bytes) {
  Monitored("ImgBasic.DibToQimg", [&] {
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 1);
    if (!dib) ErrRaise(kGrpImage, kImgCorrupted, 2);
    const bool bounded = bytes >= 0;
    if (bounded && bytes < kHeaderSize) ErrRaise(kGrpImage, kImgHeader, 3);  // "Image header invalid."
    const uint8_t* base = static_cast<const uint8_t*>(dib);
    gdi::BITMAPINFOHEADER h;
    std::memcpy(&h, base, sizeof h);
    if (h.biSize < kHeaderSize || h.biSize > 0x10000 || h.biWidth <= 0 || h.biHeight == 0 ||
        h.biHeight == INT32_MIN || h.biPlanes != 1)
      ErrRaise(kGrpImage, kImgHeader, 4);
    const int32_t width = h.biWidth;
    const int32_t height = h.biHeight < 0 ? -h.biHeight : h.biHeight;

    int32_t bits = h.biBitCount;
    int64_t offset = h.biSize;
    uint32_t colors = 0;
    if (bits != 8 && bits != 15 && bits != 16 && bits != 24 && bits != 32) ErrRaise(kGrpImage, kImgUnsupported, 5);
    if (h.biCompression == gdi::BI_BITFIELDS) {
      if (bits != 16 && bits != 32) ErrRaise(kGrpImage, kImgUnsupported, 6);
      // Masks follow a 40-byte header; larger headers hold them inside.
      if (h.biSize == kHeaderSize) offset += 12;
      if (bounded && bytes < kHeaderSize + 12) ErrRaise(kGrpImage, kImgHeader, 7);
      uint32_t m[3];
      std::memcpy(m, base + kHeaderSize, sizeof m);
      if (bits == 16) {
        if (Masks555(m))
          bits = 15;
        else if (!Masks565(m))
          ErrRaise(kGrpImage, kImgUnsupported, 8);
      } else if (!(m[0] == 0xFF0000 && m[1] == 0xFF00 && m[2] == 0xFF)) {
        ErrRaise(kGrpImage, kImgUnsupported, 9);
      }
    } else if (h.biCompression != gdi::BI_RGB) {
      ErrRaise(kGrpImage, kImgUnsupported, 10);  // compressed bitmaps are not read here
    } else if (bits == 16) {
      bits = 15;  // 16 bits without masks are 5-5-5
    }
    if (bits == 8) {
      if (h.biClrUsed > 256) ErrRaise(kGrpImage, kImgHeader, 11);
      colors = h.biClrUsed == 0 ? 256 : h.biClrUsed;
      // The 1064 form counts its 256-entry table in the header size.
      if (h.biSize == kHeaderWithTable) {
        colors = 256;
        offset = kHeaderWithTable;
      } else {
        offset += int64_t{colors} * 4;
      }
    }
    const int64_t stride = DibStride(width, ImgBytesPP(bits));
    if (stride * height > INT32_MAX) ErrRaise(kGrpImage, kImgHeader, 24);
    if (bounded && offset + stride * height > bytes) ErrRaise(kGrpImage, kImgCorrupted, 12);
    MakeQimg(image, base + offset, width, height, bits, static_cast<int32_t>(stride),
             h.biHeight < 0 ? -1 : 0);
    if (bits == 8) {
      const uint8_t* table = base + (h.biSize == kHeaderWithTable ? kHeaderSize : h.biSize);
      std::memset(image->palette, 0, kPaletteBytes);
      for (uint32_t i = 0; i < colors; ++i) {
        image->palette[3 * i] = table[4 * i];
        image->palette[3 * i + 1] = table[4 * i + 1];
        image->palette[3 * i + 2] = table[4 * i + 2];
      }
    }
  });
}

void DibToQimg(QImg* image, const void* dib) { DibToQimgEx(image, dib, -1); }

int32_t HBitmapToQimg(gdi::HBITMAP bitmap, QImg* image) {
  return Monitored("ImgBasic.HBitmapToQimg", [&]() -> int32_t {
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 13);
    gdi::BITMAP bm{};
    if (!gdi::GetObject(bitmap, sizeof bm, &bm)) return 0;
    const int32_t width = bm.bmWidth < 0 ? -bm.bmWidth : bm.bmWidth;
    const int32_t height = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    int32_t bits = bm.bmBitsPixel;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) ErrRaise(kGrpImage, kImgUnsupported, 14);
    if (width <= 0 || height <= 0) return 0;
    gdi::RGBQUAD table[256] = {};
    uint32_t table_size = 0;

    // Windows reports every DIB section as bottom-up, so the rows of 8, 24
    // and 32-bit sections are fetched with GetDIBits, which knows their
    // order (and gives the colour table); 16-bit ones are taken as their
    // header tells (their 16-bit layout matters).
    const bool section = bm.bmBits != nullptr;
    if (section && bits == 16) {
      // A DIB section: its own header tells the row order and the 16-bit layout.
      gdi::DIBSECTION ds{};
      const bool described = gdi::GetObject(bitmap, sizeof ds, &ds) == sizeof ds;
      const bool top_down = described && ds.dsBmih.biHeight < 0;
      if (bits == 16)
        bits = described && ds.dsBmih.biCompression == gdi::BI_BITFIELDS &&
                       Masks565(MasksOf(ds))
                   ? 16
                   : 15;
      const int64_t stride = DibStride(width, ImgBytesPP(bits));
      if (stride > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 15);
      MakeQimg(image, bm.bmBits, width, height, bits, static_cast<int32_t>(stride),
               top_down ? -1 : 0);
    } else {
      if (bits == 16) bits = 15;
      // Device-dependent rows: the bitmap's own row length, top row first.
      const int64_t own_stride = bm.bmWidthBytes;
      if (own_stride < int64_t{width} * ImgBytesPP(bits)) return 0;
      const int64_t own_bytes = own_stride * height;
      const int64_t dib_stride = DibStride(width, ImgBytesPP(bits));
      const int64_t dib_bytes = dib_stride * height;
      if (own_bytes > INT32_MAX || dib_bytes > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 16);
      Tracked<uint8_t> data(std::max(own_bytes, dib_bytes), 17,
                            "ImgBasic.HBitmapToQimg.bitmapData");
      const int32_t got =
          section ? 0 : gdi::GetBitmapBits(bitmap, static_cast<gdi::LONG>(own_bytes), data.get());
      if (got >= own_bytes) {
        MakeQimg(image, data.get(), width, height, bits, static_cast<int32_t>(own_stride), -1);
      } else {
        // Asked for top-down rows, so the picture comes out upright.
        struct {
          gdi::BITMAPINFOHEADER header;
          gdi::RGBQUAD colors[256];
        } info{};
        info.header.biSize = kHeaderSize;
        info.header.biWidth = width;
        info.header.biHeight = -height;
        info.header.biPlanes = 1;
        info.header.biBitCount = static_cast<gdi::WORD>(bits == 15 ? 16 : bits);
        info.header.biCompression = gdi::BI_RGB;
        gdi::HDC dc = gdi::CreateCompatibleDC(nullptr);
        if (!dc) return 0;
        const int lines =
            gdi::GetDIBits(dc, bitmap, 0, static_cast<gdi::UINT>(height), data.get(),
                           reinterpret_cast<gdi::BITMAPINFO*>(&info), gdi::DIB_RGB_COLORS);
        gdi::DeleteDC(dc);
        if (lines < height) return 0;
        if (bits == 8) {
          std::memcpy(table, info.colors, sizeof table);
          table_size = 256;
        }
        MakeQimg(image, data.get(), width, height, bits, static_cast<int32_t>(dib_stride), -1);
      }
    }

    if (bits == 8) {
      // The colour table of a DIB section is read through a memory context.
      gdi::HDC dc = gdi::CreateCompatibleDC(nullptr);
      if (dc) {
        gdi::HGDIOBJ old = gdi::SelectObject(dc, bitmap);
        if (old) {
          const gdi::UINT n = gdi::GetDIBColorTable(dc, 0, 256, table);
          if (n > 0) table_size = n;
          gdi::SelectObject(dc, old);
        }
        gdi::DeleteDC(dc);
      }
      if (table_size == 0) {
        // Selected elsewhere, or not a DIB section: the table through GetDIBits.
        struct {
          gdi::BITMAPINFOHEADER header;
          gdi::RGBQUAD colors[256];
        } info{};
        info.header.biSize = kHeaderSize;
        info.header.biBitCount = 8;
        gdi::HDC dc2 = gdi::CreateCompatibleDC(nullptr);
        if (dc2 && gdi::GetDIBits(dc2, bitmap, 0, 0, nullptr,
                                  reinterpret_cast<gdi::BITMAPINFO*>(&info), gdi::DIB_RGB_COLORS)) {
          std::memcpy(table, info.colors, sizeof table);
          table_size = 256;
        }
        if (dc2) gdi::DeleteDC(dc2);
      }
      std::memset(image->palette, 0, kPaletteBytes);
      for (uint32_t i = 0; i < table_size && i < 256; ++i) {
        image->palette[3 * i] = table[i].rgbBlue;
        image->palette[3 * i + 1] = table[i].rgbGreen;
        image->palette[3 * i + 2] = table[i].rgbRed;
      }
    }
    return -1;
  });
}

int32_t QimgToHBitmap(QImg* image, gdi::HBITMAP* bitmap) {
  return Monitored("ImgBasic.QimgToHBitmap", [&]() -> int32_t {
    if (!bitmap) ErrRaise(kGrpGeneral, kGenOutOfRange, 18);
    *bitmap = nullptr;
    pal::CheckPixels(image, 19);
    QImg temp{};
    ImgGuard guard_temp(temp);
    const QImg* pic = image;
    if (image->bits != 24) {
      ImgConvBpp(image, &temp, 24);
      pic = &temp;
    }
    const int32_t width = pic->width, height = pic->height;
    const int64_t row = int64_t{width} * 3;
    const int64_t stride = DibStride(width, 3);
    if (stride * height > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 20);
    gdi::BITMAPINFO info{};
    info.bmiHeader.biSize = kHeaderSize;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = gdi::BI_RGB;
    info.bmiHeader.biSizeImage = static_cast<gdi::DWORD>(stride * height);

    gdi::HDC screen = gdi::GetDC(nullptr);
    gdi::HDC dc = gdi::CreateCompatibleDC(screen);
    void* bits = nullptr;
    gdi::HBITMAP made =
        dc ? gdi::CreateDIBSection(dc, &info, gdi::DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (dc) gdi::DeleteDC(dc);
    if (screen) gdi::ReleaseDC(nullptr, screen);
    if (made && bits) {
      uint8_t* out = static_cast<uint8_t*>(bits);
      for (int32_t k = 0; k < height; ++k)
        std::memcpy(out + (height - 1 - k) * stride, pic->pixels + k * row,
                    static_cast<size_t>(row));
    }
    ImgFree(&temp);
    if (!made) return 0;
    *bitmap = made;
    return -1;
  });
}

int32_t ImgToDIBWin3(QImg* image, gdi::HGLOBAL* block) {
  return Monitored("ImgBasic.ImgToDIBWin3", [&]() -> int32_t {
    if (!block) ErrRaise(kGrpGeneral, kGenOutOfRange, 21);
    *block = nullptr;
    pal::CheckPixels(image, 22);
    const int32_t width = image->width, height = image->height, bits = image->bits;
    const int64_t row = int64_t{width} * image->bytespp;
    const int64_t stride = DibStride(width, image->bytespp);
    // 5-6-5 words carry their masks, so readers do not take them for 5-5-5.
    const int64_t header = bits == 8 ? kHeaderWithTable : (bits == 16 ? kHeaderSize + 12 : kHeaderSize);
    if (stride * height > INT32_MAX - header) ErrRaise(kGrpGeneral, kGenOutOfRange, 23);
    const int64_t total = header + stride * height;
    gdi::HGLOBAL g = gdi::GlobalAlloc(gdi::GMEM_FIXED | gdi::GMEM_ZEROINIT, static_cast<size_t>(total));
    if (!g) return 0;
    auto* p = static_cast<uint8_t*>(gdi::GlobalLock(g));
    if (!p) {
      gdi::GlobalFree(g);
      return 0;
    }
    gdi::BITMAPINFOHEADER h{};
    h.biSize = kHeaderSize;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<gdi::WORD>(bits);
    h.biCompression = bits == 16 ? gdi::BI_BITFIELDS : gdi::BI_RGB;
    h.biSizeImage = static_cast<gdi::DWORD>(stride * height);
    if (bits == 8) {
      for (int32_t i = 0; i < 256; ++i) {
        uint8_t* q = p + kHeaderSize + 4 * i;
        q[0] = image->palette[3 * i];
        q[1] = image->palette[3 * i + 1];
        q[2] = image->palette[3 * i + 2];
        q[3] = 0;
      }
      h.biSize += 1024;
      h.biClrUsed = 256;
    } else if (bits == 16) {
      const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
      std::memcpy(p + kHeaderSize, masks, sizeof masks);
    }
    std::memcpy(p, &h, sizeof h);
    uint8_t* rows = p + header;
    for (int32_t k = 0; k < height; ++k)
      std::memcpy(rows + (height - 1 - k) * stride, image->pixels + k * row,
                  static_cast<size_t>(row));
    gdi::GlobalUnlock(g);
    *block = g;
    return -1;
  });
}

}  // namespace vek
