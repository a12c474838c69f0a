// The one FFmpeg log callback of the library.
#include "codecs/ffmpeg/av_log.h"

#include <cstdarg>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace vek::platform {

namespace {

// Codec threads log too: the text is kept under a lock, and only taken on
// the caller's thread once the library call has returned, so errors are
// still reported there.
std::mutex& LogLock() {
  static std::mutex lock;
  return lock;
}

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
  if (text.empty()) return;
  std::lock_guard<std::mutex> hold(LogLock());
  LastMessage() = std::move(text);
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
  std::lock_guard<std::mutex> hold(LogLock());
  std::string t;
  t.swap(LastMessage());
  return t;
}

void AvLogClear() {
  std::lock_guard<std::mutex> hold(LogLock());
  LastMessage().clear();
}

}  // namespace vek::platform
