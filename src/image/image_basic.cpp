// Image records: allocation, copy, exchange, operation set-up and wind-up,
// and the simple whole-image operations.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "image/image.h"
#include "image/image_internal.h"

namespace vek {

namespace img {


int32_t CheckedSize(int32_t width, int32_t height, int32_t bits, int32_t site) {
  const int32_t bpp = ImgBytesPP(bits);
  if (bpp == 0) ErrRaise(kGrpImage, kImgUnsupported, site);  // "Image format not supported."
  if (width <= 0 || height <= 0) ErrRaise(kGrpGeneral, kGenOutOfRange, site);  // "Out of range."
  const int64_t size = int64_t{width} * height * bpp;
  if (size > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, site);
  return static_cast<int32_t>(size);
}

void CheckImage(const QImg* image, int32_t site) {
  if (!image || !image->pixels || !ImgValid(image)) ErrRaise(kGrpImage, kImgCorrupted, site);
  if (ImgBytesPP(image->bits) == 0) ErrRaise(kGrpImage, kImgUnsupported, site);
  if (image->bytespp != ImgBytesPP(image->bits) || image->width <= 0 || image->height <= 0 ||
      int64_t{image->width} * image->height * image->bytespp != image->size)
    ErrRaise(kGrpImage, kImgCorrupted, site);  // "Image data corrupted."
  // A tracked buffer must hold what the fields promise.
  if (!image->external && MemSize(image->pixels) < image->size) ErrRaise(kGrpImage, kImgCorrupted, site);
}

}  // namespace img

using img::CheckImage;
using img::CheckedSize;

int32_t ImgBytesPP(int32_t bits) {
  switch (bits) {
    case 8: return 1;
    case 15:
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 0;
  }
}

bool ImgValid(const QImg* image) {
  return image && (image->external != 0 || MemTracked(image->pixels));
}

void _imgalloc_(QImg* image, int32_t width, int32_t height, int32_t bits, int32_t site,
                const char* label) {
  Monitored("ImgBasic._imgalloc_", [&] {
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 1);
    const int32_t size = CheckedSize(width, height, bits, 2);
    if (!MemTracked(image->pixels)) {
      image->pixels = nullptr;
      image->size = image->width = image->height = image->bytespp = image->bits = 0;
      std::memset(image->palette, 0, 4);
    }
    std::string text = "(ImgAlloc):";
    if (label) text += label;
    MemAllocHeld(image->pixels, size, site, kMemRealloc, text.c_str());
    image->size = size;
    image->width = width;
    image->height = height;
    image->bytespp = ImgBytesPP(bits);
    image->bits = bits;
    image->external = 0;
  });
}

void ImgSetDims(QImg* image, int32_t width, int32_t height, int32_t bits) {
  Monitored("ImgBasic.ImgSetDims", [&] {
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 3);
    image->width = width;
    image->height = height;
    image->bytespp = (bits + 7) / 8;
    image->bits = bits;
    if (image->external) {
      const int64_t size = int64_t{width} * height * image->bytespp;
      if (width < 0 || height < 0 || size > INT32_MAX) ErrRaise(kGrpGeneral, kGenOutOfRange, 4);
      image->size = static_cast<int32_t>(size);
    }
  });
}

void ImgCopyDims(const QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgCopyDims", [&] {
    if (!source || !destination || source == destination) return;
    destination->width = source->width;
    destination->height = source->height;
    destination->bytespp = source->bytespp;
    destination->bits = source->bits;
  });
}

void ImgFree(QImg* image) {
  Monitored("ImgBasic.ImgFree", [&] {
    if (!image) return;
    // Host memory is not ours to free; the allocator would not know it anyway.
    if (!image->external) MemFree(image->pixels);
    std::memset(image, 0, sizeof *image);
  });
}

void ImgCopyPalette(const QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgCopyPalette", [&] {
    if (!source || !destination || source == destination || source->bits != 8) return;
    std::memmove(destination->palette, source->palette, kPaletteBytes);
  });
}

void ImgCopyData(const QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgCopyData", [&] {
    if (!destination) ErrRaise(kGrpGeneral, kGenOutOfRange, 5);
    if (source == destination) return;
    CheckImage(source, 6);
    _imgalloc_(destination, source->width, source->height, source->bits, 7,
               "ImgBasic.ImgCopyData.dest");
    std::memcpy(destination->pixels, source->pixels, static_cast<size_t>(source->size));
  });
}

void ImgCopy(const QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgCopy", [&] {
    if (!destination) ErrRaise(kGrpGeneral, kGenOutOfRange, 8);
    if (source == destination) return;
    CheckImage(source, 9);
    ImgCopyDims(source, destination);
    ImgCopyData(source, destination);
    ImgCopyPalette(source, destination);
  });
}

void ImgXchg(QImg* a, QImg* b) {
  Monitored("ImgBasic.ImgXchg", [&] {
    if (!a || !b) ErrRaise(kGrpGeneral, kGenOutOfRange, 10);
    if (a == b) return;
    // Keeps each allocation registered under the variable that will hold it.
    MemXchg(a->pixels, b->pixels);
    std::swap(*a, *b);
  });
}

// ---- operation set-up ----

void ImgInitInfo(ImgOpDesc* desc) {
  std::memset(desc, 0, sizeof *desc);
  for (int32_t& d : desc->depth) d = 24;
  desc->in_place = -1;
}

namespace {

void IdentityDepths(ImgOpDesc* d) {
  d->depth[kDepth8] = 8;
  d->depth[kDepth15] = 15;
  d->depth[kDepth16] = 16;
  d->depth[kDepth24] = 24;
  d->depth[kDepth32] = 32;
  d->depth[kDepthOther] = 24;
}

void PaletteMode(ImgOpDesc* d) {
  d->depth[kDepth8] = 8;
  d->palette_only = -1;
}

void Params(ImgOpDesc* d, double lo, double hi, double def) {
  d->params_defined = -1;
  d->param_count = 3;
  for (int i = 0; i < 3; ++i) d->params[i] = {lo, hi, def};
}

int32_t DepthSlot(int32_t bits) {
  switch (bits) {
    case 8: return kDepth8;
    case 15: return kDepth15;
    case 16: return kDepth16;
    case 24: return kDepth24;
    case 32: return kDepth32;
    default: return kDepthOther;
  }
}

}  // namespace

void ImgInfo(ImgOpDesc* desc, int32_t op) {
  ImgInitInfo(desc);
  desc->op = op;
  switch (op) {
    case kOpBrightness:
    case kOpContrast:
      PaletteMode(desc);
      Params(desc, -100, 100, 0);
      break;
    case kOpEdge:
    case kOpSharpen:
    case kOpSoften:
    case kOpResample:
      desc->in_place = 0;
      break;
    case kOpFlipV: IdentityDepths(desc); break;
    case kOpGamma:
      PaletteMode(desc);
      Params(desc, 0.01, 5.0, 1.0);
      break;
    case kOpSwapRB:
    case kOpRemap: PaletteMode(desc); break;
    case kOpWhiteBalance:
      PaletteMode(desc);
      Params(desc, 0, 255, 255);
      break;
    case kOpSprite:
      IdentityDepths(desc);
      desc->in_place = 0;
      desc->convert_dest = -1;
      break;
    case kOpResize:
      desc->depth[kDepth8] = 8;
      desc->in_place = 0;
      break;
    case kOpInsert:
      IdentityDepths(desc);
      desc->in_place = 0;
      desc->raise_dest = -1;
      break;
    default: break;
  }
}

void ImgInitEx(ImgOpDesc* desc, ImgOpFrame* frame, QImg* source, QImg* destination,
               int32_t width, int32_t height) {
  Monitored("ImgBasic.ImgInitEx", [&] {
    std::memset(frame, 0, sizeof *frame);
    if (!desc->in_place && !destination) ErrRaise(kGrpImage, kImgInitFunction, 11);
    if (!source) return;
    CheckImage(source, 12);
    CheckedSize(width, height, 8, 13);  // the allocation checks the full size
    QImg* dest = destination ? destination : source;

    int32_t depth = desc->depth[DepthSlot(source->bits)];
    if (dest != source && (desc->raise_dest || desc->convert_dest)) {
      CheckImage(dest, 14);
      if (desc->raise_dest) {
        if (depth != dest->bits) {
          if (dest->bits < depth)
            ImgConvBpp(dest, dest, depth);
          else
            depth = dest->bits;
        }
      } else if (depth != dest->bits) {
        ImgConvBpp(dest, dest, depth);
      }
    }

    if (depth != source->bits) {
      ImgConvBpp(source, &frame->temp, depth);
      frame->src = &frame->temp;
      frame->dst = dest;
      frame->free_temp = -1;
    } else if (desc->in_place || dest != source) {
      frame->src = source;
      frame->dst = dest;
    } else {
      // The operation cannot write over its input: build the result aside.
      _imgalloc_(&frame->temp, width, height, depth, 28, "ImgBasic.ImgInitEx.temp_ih");
      frame->src = source;
      frame->dst = &frame->temp;
      frame->free_temp = -1;
      frame->xchg_end = -1;
    }
    // A destination that already has the right shape keeps its buffer: an
    // insert must see its old pixels, also when the host owns them.
    QImg* d = frame->dst;
    const bool fits = ImgValid(d) && d->pixels && d->width == width && d->height == height &&
                      d->bits == depth && d->bytespp == ImgBytesPP(depth) &&
                      int64_t{width} * height * d->bytespp == d->size &&
                      (d->external || MemSize(d->pixels) >= d->size);
    if (frame->src != frame->dst && !fits)
      _imgalloc_(frame->dst, width, height, depth, 15, "ImgBasic.ImgInitEx.pdest^");

    const QImg* s = frame->src;
    const int32_t dbpp = ImgBytesPP(depth);
    frame->req_width = width;
    frame->req_height = height;
    frame->src_row_bytes = s->width * s->bytespp;
    frame->dst_row_bytes = width * dbpp;
    frame->src_bytes = int64_t{frame->src_row_bytes} * s->height;
    frame->dst_bytes = int64_t{frame->dst_row_bytes} * height;
    frame->src_pixel_count = int64_t{s->width} * s->height;
    frame->dst_pixel_count = int64_t{width} * height;
    if (desc->palette_only && s->bits == 8) {
      frame->units = frame->dst_units = 256;
      frame->src_span = frame->dst_span = kPaletteBytes;
      frame->src_unit_ptr = frame->src->palette;
      frame->dst_unit_ptr = frame->dst->palette;
      frame->copy_pixels_end = -1;
    } else {
      frame->units = static_cast<int32_t>(frame->src_pixel_count);
      frame->dst_units = static_cast<int32_t>(frame->dst_pixel_count);
      frame->src_span = frame->src_bytes;
      frame->dst_span = frame->dst_bytes;
      frame->src_unit_ptr = frame->src->pixels;
      frame->dst_unit_ptr = frame->dst->pixels;
    }
    if (s->bits == 8) frame->copy_palette_end = -1;
  });
}

void ImgInit(ImgOpDesc* desc, ImgOpFrame* frame, QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgInit", [&] {
    if (!source) ErrRaise(kGrpImage, kImgCorrupted, 16);
    ImgInitEx(desc, frame, source, destination, source->width, source->height);
  });
}

void ImgDone(ImgOpFrame* frame) {
  Monitored("ImgBasic.ImgDone", [&] {
    if (!frame->src || !frame->dst) return;
    if (frame->copy_pixels_end)
      ImgCopyData(frame->src, frame->dst);
    else if (frame->copy_palette_end)
      ImgCopyPalette(frame->src, frame->dst);
    QImg* result = frame->dst;
    if (frame->xchg_end) {
      ImgXchg(frame->src, &frame->temp);
      result = frame->src;
    }
    if (frame->free_temp) ImgFree(&frame->temp);
    if (result != &frame->temp) {
      result->width = frame->req_width;
      result->height = frame->req_height;
    }
  });
}

// ---- whole-image operations ----

void ImgFlipV(QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgFlipV", [&] {
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, kOpFlipV);
    ImgInit(&desc, &f, source, destination);
    const size_t row = static_cast<size_t>(f.src_row_bytes);
    const int32_t h = f.src->height;
    const uint8_t* in = f.src->pixels;
    uint8_t* out = f.dst->pixels;
    if (f.src == f.dst) {
      Tracked<uint8_t> tmp(static_cast<int64_t>(row), 17, "ImgBasic.ImgFlipV.row");
      for (int32_t top = 0, bottom = h - 1; top < bottom; ++top, --bottom) {
        uint8_t* a = out + row * top;
        uint8_t* b = out + row * bottom;
        std::memcpy(tmp.get(), a, row);
        std::memcpy(a, b, row);
        std::memcpy(b, tmp.get(), row);
      }
    } else {
      for (int32_t k = 0; k < h; ++k)
        std::memcpy(out + row * (h - 1 - k), in + row * k, row);
    }
    ImgDone(&f);
  });
}

void ImgSwapRB(QImg* source, QImg* destination) {
  Monitored("ImgBasic.ImgSwapRB", [&] {
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, kOpSwapRB);
    ImgInit(&desc, &f, source, destination);
    const uint8_t* in = f.src_unit_ptr;
    uint8_t* out = f.dst_unit_ptr;
    const int64_t n = f.units;
    // Reads before writes per unit, so the same loop serves in-place work.
    for (int64_t i = 0; i < n; ++i) {
      const uint8_t b = in[3 * i], g = in[3 * i + 1], r = in[3 * i + 2];
      out[3 * i] = r;
      out[3 * i + 1] = g;
      out[3 * i + 2] = b;
    }
    ImgDone(&f);
  });
}

void ImgRemap(QImg* source, QImg* destination, const uint8_t* table) {
  Monitored("ImgBasic.ImgRemap", [&] {
    if (!table) ErrRaise(kGrpGeneral, kGenOutOfRange, 18);
    ImgOpDesc desc;
    ImgOpFrame f;
    ImgInfo(&desc, kOpRemap);
    ImgInit(&desc, &f, source, destination);
    const uint8_t* in = f.src_unit_ptr;
    uint8_t* out = f.dst_unit_ptr;
    const uint8_t* red = table;
    const uint8_t* green = table + 256;
    const uint8_t* blue = table + 512;
    const int64_t n = f.units;
    for (int64_t i = 0; i < n; ++i) {
      const uint8_t b = in[3 * i], g = in[3 * i + 1], r = in[3 * i + 2];
      out[3 * i] = blue[b];
      out[3 * i + 1] = green[g];
      out[3 * i + 2] = red[r];
    }
    ImgDone(&f);
  });
}

// ---- raw pixel buffers ----

void RawToQimg(QImg* image, const void* pixels, const uint8_t* palette, int32_t width,
               int32_t height, int32_t bits) {
  Monitored("ImgBasic.RawToQimg", [&] {
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 19);
    if (!pixels) ErrRaise(kGrpImage, kImgCorrupted, 20);
    CheckedSize(width, height, bits, 21);
    _imgalloc_(image, width, height, bits, 22, "ImgBasic.RawToQimg.img");
    std::memcpy(image->pixels, pixels, static_cast<size_t>(image->size));
    if (palette) std::memcpy(image->palette, palette, kPaletteBytes);
  });
}

void MakeQimg(QImg* image, const void* rows, int32_t width, int32_t height, int32_t bits,
              int32_t stride, int32_t top_down) {
  Monitored("ImgBasic.MakeQimg", [&] {
    if (!image) ErrRaise(kGrpGeneral, kGenOutOfRange, 23);
    if (!rows) ErrRaise(kGrpImage, kImgCorrupted, 24);
    CheckedSize(width, height, bits, 25);
    const int64_t row = int64_t{width} * ImgBytesPP(bits);
    // Rows closer than a row's length would overlap: not a picture.
    if (stride < row) ErrRaise(kGrpGeneral, kGenOutOfRange, 26);
    _imgalloc_(image, width, height, bits, 27, "ImgBasic.MakeQimg.img");
    const uint8_t* in = static_cast<const uint8_t*>(rows);
    uint8_t* out = image->pixels;
    if (stride == row && top_down) {
      std::memcpy(out, in, static_cast<size_t>(image->size));
      return;
    }
    for (int32_t k = 0; k < height; ++k) {
      const int32_t target = top_down ? k : height - 1 - k;
      std::memcpy(out + row * target, in + int64_t{stride} * k, static_cast<size_t>(row));
    }
  });
}

}  // namespace vek
