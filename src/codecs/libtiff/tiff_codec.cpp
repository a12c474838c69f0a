#include "codecs/libtiff/tiff_codec.h"

#include <cstdarg>
#include <cstdio>

namespace vek {

namespace {

ImageLibHook g_error_hook = nullptr;
ImageLibHook g_warning_hook = nullptr;

void Forward(ImageLibHook hook, const char* module, const char* fmt, va_list ap) {
  if (!hook) return;
  char text[256];
  int n = 0;
  if (module && *module) n = std::snprintf(text, sizeof text, "%s: ", module);
  if (n < 0 || n >= static_cast<int>(sizeof text)) n = 0;
  std::vsnprintf(text + n, sizeof text - static_cast<size_t>(n), fmt, ap);
  hook(text);
}

void GlobalError(const char* module, const char* fmt, va_list ap) {
  Forward(g_error_hook, module, fmt, ap);
}
void GlobalWarning(const char* module, const char* fmt, va_list ap) {
  Forward(g_warning_hook, module, fmt, ap);
}
// Per-file handlers: answering 1 keeps the global handlers from repeating it.
int FileError(TIFF*, void*, const char* module, const char* fmt, va_list ap) {
  Forward(g_error_hook, module, fmt, ap);
  return 1;
}
int FileWarning(TIFF*, void*, const char* module, const char* fmt, va_list ap) {
  Forward(g_warning_hook, module, fmt, ap);
  return 1;
}

}  // namespace

void ExternErrorSet(ImageLibHook hook) {
  g_error_hook = hook;
  TIFFSetErrorHandler(GlobalError);
}

void ExternWarningSet(ImageLibHook hook) {
  g_warning_hook = hook;
  TIFFSetWarningHandler(GlobalWarning);
}

TIFF* TiffOpen(const std::string& name, const char* mode) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (!opts) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, kTiffMaxAlloc);
  TIFFOpenOptionsSetErrorHandlerExtR(opts, FileError, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, FileWarning, nullptr);
  TIFF* tif = TIFFOpenExt(name.c_str(), mode, opts);
  TIFFOpenOptionsFree(opts);
  return tif;
}

}  // namespace vek
