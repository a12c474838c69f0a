#include "codecs/libpng/png_codec.h"

#include <csetjmp>
#include <cstdio>

namespace vek {

namespace {

[[noreturn]] void OnError(png_structp png, png_const_charp text) {
  auto* m = static_cast<PngMessages*>(png_get_error_ptr(png));
  if (m) std::snprintf(m->error, sizeof m->error, "%s", text ? text : "libpng error");
  png_longjmp(png, 1);
}

void OnWarning(png_structp png, png_const_charp text) {
  auto* m = static_cast<PngMessages*>(png_get_error_ptr(png));
  if (m && m->warning) m->warning(text ? text : "");
}

}  // namespace

png_structp PngCreateRead(PngMessages* messages) {
  return png_create_read_struct(PNG_LIBPNG_VER_STRING, messages, OnError, OnWarning);
}

png_structp PngCreateWrite(PngMessages* messages) {
  return png_create_write_struct(PNG_LIBPNG_VER_STRING, messages, OnError, OnWarning);
}

bool PngGuarded(png_structp png, void (*step)(png_structp, void*), void* context) {
  if (setjmp(png_jmpbuf(png))) return false;
  step(png, context);
  return true;
}

}  // namespace vek
