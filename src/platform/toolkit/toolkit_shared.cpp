#include "platform/toolkit/toolkit_shared.h"

#include <png.h>

#include <cstdio>

#include "codecs/libpng/png_codec.h"

namespace vek::toolkit {

bool ImageRgb(const PixelView* img, std::vector<uint8_t>& rgb) {
  if (!img || !img->pixels || (img->bits == 8 && !img->palette) || img->width <= 0 || img->height <= 0) return false;
  int bpp = 0;
  switch (img->bits) {
    case 8: bpp = 1; break;
    case 15: case 16: bpp = 2; break;
    case 24: bpp = 3; break;
    case 32: bpp = 4; break;
    default: return false;
  }
  const int64_t count = static_cast<int64_t>(img->width) * img->height;
  if (count > (int64_t{1} << 26) || img->size < count * bpp) return false;
  rgb.resize(static_cast<size_t>(count) * 3);
  const uint8_t* s = img->pixels;
  uint8_t* d = rgb.data();
  for (int64_t i = 0; i < count; ++i, d += 3) {
    switch (img->bits) {
      case 8: {
        const uint8_t* p = img->palette + 3 * s[i];
        d[0] = p[2], d[1] = p[1], d[2] = p[0];
        break;
      }
      case 15: {
        const unsigned w = s[2 * i] | (s[2 * i + 1] << 8);
        const unsigned r = (w >> 10) & 31, g = (w >> 5) & 31, b = w & 31;
        d[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        d[1] = static_cast<uint8_t>((g << 3) | (g >> 2));
        d[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
        break;
      }
      case 16: {
        const unsigned w = s[2 * i] | (s[2 * i + 1] << 8);
        const unsigned r = (w >> 11) & 31, g = (w >> 5) & 63, b = w & 31;
        d[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        d[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
        d[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
        break;
      }
      default: {
        const uint8_t* p = s + i * bpp;
        d[0] = p[2], d[1] = p[1], d[2] = p[0];
        break;
      }
    }
  }
  return true;
}

bool RouteAction(DialogLogic& logic, DialogView& view, const ControlSpec& spec, UserAction action) {
  const int id = spec.id;
  switch (spec.kind) {
    case ControlKind::Button:
      if (spec.modal_result != 0) return logic.OnClose(view, spec.modal_result);
      logic.OnCommand(view, id);
      break;
    case ControlKind::Edit:
      if (action == UserAction::Leave) logic.OnLeave(view, id); else logic.OnChange(view, id);
      break;
    case ControlKind::TrackBar:
      if (action == UserAction::Track) logic.OnTrack(view, id); else logic.OnChange(view, id);
      break;
    case ControlKind::Label: case ControlKind::Group: case ControlKind::Panel:
    case ControlKind::Display:
      break;
    default:
      logic.OnChange(view, id);
      break;
  }
  return false;
}

namespace {

struct PngSource {
  FILE* file;
  png_infop info;
  int width, height;
  const uint8_t* rgb;
};

void WritePngRows(png_structp png, void* context) {
  auto* s = static_cast<PngSource*>(context);
  png_init_io(png, s->file);
  png_set_IHDR(png, s->info, static_cast<png_uint_32>(s->width), static_cast<png_uint_32>(s->height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, s->info);
  for (int y = 0; y < s->height; ++y)
    png_write_row(png, const_cast<png_bytep>(s->rgb + static_cast<size_t>(y) * s->width * 3));
  png_write_end(png, s->info);
}

}  // namespace

bool SaveRgbPng(const std::string& path, int width, int height, const uint8_t* rgb) {
  if (!rgb || width <= 0 || height <= 0) return false;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  PngMessages messages;
  png_structp png = PngCreateWrite(&messages);
  bool ok = false;
  if (png) {
    png_infop info = png_create_info_struct(png);
    if (info) {
      PngSource src{f, info, width, height, rgb};
      ok = PngGuarded(png, WritePngRows, &src);
      png_destroy_write_struct(&png, &info);
    } else {
      png_destroy_write_struct(&png, nullptr);
    }
  }
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) std::remove(path.c_str());
  return ok;
}

}  // namespace vek::toolkit
