// Block clean-up, the stopwatch, and what happens when the library unloads.
#include <cmath>

#include "foundation/foundation_state.h"
#include "platform/system/system.h"

namespace vek {

void WatchStart(Stopwatch& watch) {
  watch = Stopwatch{};
  watch.start_time = platform::NowAsDays();
  watch.start_ticks = platform::TickCount();
}

double WatchElapsed(Stopwatch& watch) {
  const double clock_ms = std::round((platform::NowAsDays() - watch.start_time) * 86400000.0);
  const uint32_t tick_ms = platform::TickCount() - watch.start_ticks;
  int64_t ms;
  if (double(tick_ms) - clock_ms >= 1000.0) {
    // The tick counter ran ahead (or wrapped): the calendar clock stands.
    ms = clock_ms > 0 ? static_cast<int64_t>(clock_ms) : 0;
  } else {
    ms = tick_ms;
  }
  watch.elapsed = double(ms) / 1000.0;
  watch.hours = static_cast<uint16_t>(ms / 3600000);
  watch.minutes = static_cast<uint16_t>(ms / 60000 % 60);
  watch.seconds = static_cast<uint16_t>(ms / 1000 % 60);
  watch.milliseconds = static_cast<uint16_t>(ms % 1000);
  return watch.elapsed;
}

namespace {

// A plain array: it must outlive the static destructor that runs the hooks.
constexpr int kMaxUnloadHooks = 64;
void (*g_hooks[kMaxUnloadHooks])() = {};
int g_hook_count = 0;

bool g_unloaded = false;

// Runs the unload sequence when the shared library is unloaded (dlclose) or
// the process ends.
struct LibraryLifetime {
  ~LibraryLifetime() { LibraryUnload(); }
} g_lifetime;

}  // namespace

void RegisterUnloadHook(void (*hook)()) {
  if (g_hook_count < kMaxUnloadHooks) g_hooks[g_hook_count++] = hook;
}

void LibraryUnload() {
  if (g_unloaded) return;
  g_unloaded = true;
  for (int i = g_hook_count - 1; i >= 0; --i) g_hooks[i]();
  std::string report = MemLeakReport();
  const std::string files = FLeakReport();
  if (!files.empty()) report += (report.empty() ? "" : "\r\n") + files;
  if (!report.empty()) TraceNote(report);
  if (detail::g_err.depth != 0)
    TraceNote("Monitoring failure: " + NumText(detail::g_err.depth) + " hanging processes.");
  // Then the stored names and texts go.
  TraceStop();
  std::string().swap(detail::g_err.text);
  std::string().swap(detail::g_err.warn_text);
  std::string().swap(detail::g_err.current_file);
  std::string().swap(detail::g_trace.file_name);
  for (auto& b : detail::g_err.blocks) b.cleanup = nullptr;
}

}  // namespace vek
