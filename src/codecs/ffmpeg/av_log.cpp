// The one FFmpeg log callback of the library.
#include "codecs/ffmpeg/av_log.h"

#include <cstdarg>

extern "C" {
#include <libavutil/log.h>
}

namespace vek::platform {

namespace {

// FFmpeg runs on the caller's thread alone here (no codec threads), so one
// text is enough.
std::string& LastMessage() {
  static std::string text;
  return text;
}

void LogCallback(void* avcl, int level, const char* fmt, va_list vl) {
  if (level > AV_LOG_ERROR) return;
  char line[512];
  int print_prefix = 1;
  av_log_format_line2(avcl, level, fmt, vl, line, sizeof line, &print_prefix);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (!text.empty()) LastMessage() = text;
}

}  // namespace

void AvLogInstall() {
  static const bool done = [] {
    av_log_set_callback(LogCallback);
    return true;
  }();
  (void)done;
}

std::string AvLogTake() {
  std::string t;
  t.swap(LastMessage());
  return t;
}

void AvLogClear() { LastMessage().clear(); }

}  // namespace vek::platform
