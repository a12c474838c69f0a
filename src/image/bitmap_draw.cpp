// Drawing image records on device contexts, with palette handling on
// palette devices.
#include <algorithm>
#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/bitmap_exchange.h"
#include "image/image.h"
#include "image/palette.h"
#include "image/palette_internal.h"
#include "platform/gdi/gdi.h"

namespace vek {


namespace {

// The one palette object the library draws with; made by PalPut.
gdi::HPALETTE g_draw_palette = nullptr;

constexpr int32_t kInfoBytes = 40 + 256 * 4;  // header with room for 256 colours

bool PaletteDevice(gdi::HDC dc) {
  return (gdi::GetDeviceCaps(dc, gdi::RASTERCAPS) & gdi::RC_PALETTE) != 0;
}

// Rows of the picture, last row first, `stride` bytes apart.
void CopyBottomUp(const QImg* pic, uint8_t* out, int64_t stride) {
  const int64_t row = int64_t{pic->width} * pic->bytespp;
  for (int32_t k = 0; k < pic->height; ++k)
    std::memcpy(out + (pic->height - 1 - k) * stride, pic->pixels + k * row,
                static_cast<size_t>(row));
}

}  // namespace

void PalPut(const uint8_t* palette, gdi::HDC dc) {
  Monitored("ImgBasic.PalPut", [&] {
    if (!palette) ErrRaise(kGrpGeneral, kGenOutOfRange, 1);
    if (!PaletteDevice(dc)) return;
    Tracked<uint8_t> logpal(4 + 256 * 4, 2, "ImgBasic.PalPut.logpal");
    auto* lp = reinterpret_cast<gdi::LOGPALETTE*>(logpal.get());
    lp->palVersion = 0x300;
    lp->palNumEntries = 256;
    for (int32_t i = 0; i < 256; ++i) {
      gdi::PALETTEENTRY& e = lp->palPalEntry[i];
      e.peRed = palette[3 * i + 2];
      e.peGreen = palette[3 * i + 1];
      e.peBlue = palette[3 * i];
      e.peFlags = gdi::PC_NOCOLLAPSE;
    }
    gdi::HPALETTE made = gdi::CreatePalette(lp);
    if (!made) ErrRaise(kGrpImage, kImgPalette, 3);  // "Cannot realize palette."
    // The previous object goes once the new one has replaced it in the context:
    // a palette still selected cannot be deleted.
    gdi::SelectPalette(dc, made, -1);
    if (g_draw_palette) gdi::DeleteObject(g_draw_palette);
    g_draw_palette = made;
    gdi::SetSystemPaletteUse(dc, gdi::SYSPAL_NOSTATIC);
    gdi::SetSystemPaletteUse(dc, gdi::SYSPAL_STATIC);
    gdi::RealizePalette(dc);
  });
}

void PalPutDone() {
  Monitored("ImgBasic.PalPutDone", [&] {
    if (g_draw_palette && gdi::DeleteObject(g_draw_palette)) g_draw_palette = nullptr;
  });
}

void ImgPutEx(QImg* image, const ImgRect* source, gdi::HDC dc, int32_t x, int32_t y,
              int32_t palette_mode) {
  Monitored("ImgBasic.ImgPutEx", [&] {
    if (!image || !ImgValid(image)) return;
    pal::CheckPixels(image, 4);
    Tracked<uint8_t> info_mem(kInfoBytes, 5, "ImgBasic.ImgPutEx.DIBinfo");
    std::memset(info_mem.get(), 0, kInfoBytes);
    auto* info = reinterpret_cast<gdi::BITMAPINFO*>(info_mem.get());
    gdi::BITMAPINFOHEADER& h = info->bmiHeader;
    uint8_t* table = info_mem.get() + 40;

    const QImg* pic = image;
    QImg img8{};
    gdi::UINT use = gdi::DIB_RGB_COLORS;
    if (PaletteDevice(dc)) {
      use = gdi::DIB_PAL_COLORS;
      for (int32_t i = 0; i < 256; ++i) {
        const gdi::WORD index = static_cast<gdi::WORD>(i);
        std::memcpy(table + 2 * i, &index, 2);
      }
      if (image->bits == 8) {
        if (g_draw_palette) {
          gdi::SelectPalette(dc, g_draw_palette, -1);
          gdi::RealizePalette(dc);
        }
      } else {
        if (palette_mode == kPalGrey || palette_mode == 4)
          ImgConvBppEx(image, &img8, 8, palette_mode);
        else
          ConvTo8bit(image, &img8, palette_mode == kPalDither ? kRemapHeavy : kRemapPlain);
        PalPut(img8.palette, dc);
        pic = &img8;
      }
    } else if (image->bits == 8) {
      for (int32_t i = 0; i < 256; ++i) {
        table[4 * i] = image->palette[3 * i];
        table[4 * i + 1] = image->palette[3 * i + 1];
        table[4 * i + 2] = image->palette[3 * i + 2];
      }
    } else if (image->bits == 16) {
      const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
      std::memcpy(table, masks, sizeof masks);
      h.biCompression = gdi::BI_BITFIELDS;
    }
    const int32_t width = pic->width, height = pic->height;
    h.biSize = 40;
    h.biWidth = width;
    h.biHeight = -height;
    h.biPlanes = 1;
    h.biBitCount = static_cast<gdi::WORD>(pic->bytespp * 8);
    h.biSizeImage = static_cast<gdi::DWORD>(pic->size);

    // Clip the source rectangle to the picture.
    ImgRect r = source ? *source : ImgRect{0, 0, 0, 0};
    if (r.x < 0 || r.x >= width) r.x = 0;
    if (r.y < 0 || r.y >= height) r.y = 0;
    if (r.w <= 0) r.w = width;
    if (r.h <= 0) r.h = height;
    r.w = std::min(r.w, width - r.x);
    r.h = std::min(r.h, height - r.y);

    const int64_t row = int64_t{width} * pic->bytespp;
    const int64_t stride = (row + 3) / 4 * 4;
    const uint8_t* bits = pic->pixels;
    Tracked<uint8_t> padded;
    if (row % 4 != 0) {
      // Unpadded rows are not a bitmap: copy them with a 4-byte stride.
      padded.Alloc(stride * height, 6, "ImgBasic.ImgPutEx.bmpBits", kMemNew);
      CopyBottomUp(pic, padded.get(), stride);
      bits = padded.get();
      h.biHeight = height;
    }
    const int drawn = gdi::SetDIBitsToDevice(dc, x, y, static_cast<gdi::DWORD>(r.w),
                                             static_cast<gdi::DWORD>(r.h), r.x,
                                             height - r.h - r.y, 0, static_cast<gdi::UINT>(height),
                                             bits, info, use);
    if (drawn == 0) {
      // Devices that take no bitmaps directly: draw through a DIB section.
      gdi::HDC mem = gdi::CreateCompatibleDC(dc);
      if (mem) {
        h.biHeight = height;
        void* section_bits = nullptr;
        gdi::HBITMAP section = gdi::CreateDIBSection(dc, info, use, &section_bits, nullptr, 0);
        if (section && section_bits) {
          CopyBottomUp(pic, static_cast<uint8_t*>(section_bits), stride);
          gdi::HGDIOBJ old = gdi::SelectObject(mem, section);
          gdi::BitBlt(dc, x, y, r.w, r.h, mem, r.x, r.y, gdi::SRCCOPY);
          if (old) gdi::SelectObject(mem, old);
        }
        gdi::DeleteDC(mem);
        if (section) gdi::DeleteObject(section);
      }
    }
    ImgFree(&img8);
  });
}

void ImgPut(QImg* image, gdi::HDC dc, int32_t x, int32_t y) {
  Monitored("ImgBasic.ImgPut", [&] { ImgPutEx(image, nullptr, dc, x, y, 0); });
}

}  // namespace vek
