#include "foundation/trace.h"

#include <string>

#include "foundation/foundation_state.h"
#include "platform/system/paths.h"
#include "platform/system/system.h"

namespace vek {

namespace detail {
bool g_tracing = false;
NoDestroy<TraceState> g_trace_storage;
TraceState& g_trace = g_trace_storage.value;

void ProcPush(const char* name) {
  if (g_trace.count < kProcStackSize) g_trace.stack[g_trace.count++] = name;
}
void ProcPop() {
  if (g_trace.count > 0) --g_trace.count;
}
}  // namespace detail

using detail::g_err;
using detail::g_trace;
using detail::g_tracing;

namespace {

// The default trace file sits at the root of the current drive.
std::string DefaultTraceFile() { return std::string(1, platform::PathSeparator()) + "trace.txt"; }

// Runs file operations for the trace itself: with tracing off (so they do not
// trace themselves) and the recording lock set (so their failures are dropped).
template <class F>
void Quietly(F&& body) {
  RecordingLock lock;
  const bool was_tracing = g_tracing;
  g_tracing = false;
  const std::string saved_file = CurrentFileName();
  try {
    body();
  } catch (...) {
    // Trace failures are never reported.
  }
  SetCurrentFileName(saved_file);
  g_tracing = was_tracing;
}

std::string KbLine(uint64_t total, uint64_t avail) {
  return "  total: " + NumText(static_cast<int64_t>(total >> 10), 100) +
         "k, free: " + NumText(static_cast<int64_t>(avail >> 10), 100) + "k";
}

}  // namespace

bool TraceOn() { return g_tracing; }

std::string ProcPath() {
  std::string path;
  for (int i = 0; i < g_trace.count; ++i) {
    if (i) path += ':';
    path += g_trace.stack[i];
  }
  return path;
}

int ProcDepth() { return g_trace.count; }
void ProcClear() { g_trace.count = 0; }

void TraceSetFile(const std::string& name) { g_trace.file_name = name.substr(0, 255); }

const std::string& TraceFile() {
  if (g_trace.file_name.empty()) g_trace.file_name = DefaultTraceFile();
  return g_trace.file_name;
}

void TraceSetOutput(const std::string& name) { g_trace.output = name; }

std::string TraceDrive() {
  if constexpr (paths::kNative == paths::Style::kWindows) {
    const std::string& where = g_trace.output.empty() ? TraceFile() : g_trace.output;
    const std::string root = paths::Root(platform::FullPath(where));
    if (!root.empty()) return paths::WithSeparator(root);
  }
  const std::string folder = paths::Folder(TraceFile());
  return folder.empty() ? std::string(".") + paths::Separator() : folder;
}

void TraceStart(const std::string& banner) {
  RecordingLock lock;
  g_tracing = false;
  g_trace.count = 0;
  bool ok = false;
  Quietly([&] {
    if (FDelete(TraceFile()) != 0) return;
    int32_t id = kUndefined;
    if (TXTOpen(id, TraceFile(), kFmCreate) != 0) return;
    TXTClose(id);
    ok = true;
  });
  if (!ok) return;
  g_tracing = true;
  g_trace.count = 0;
  TraceLine(banner);
  TraceLine("Trace started at " + platform::LocalDateTimeText());
  platform::OsVersion os;
  platform::CpuInfo cpu;
  if (platform::QueryOsVersion(os)) {
    const char* names[] = {"Win 3.1 with Win32s", "Win 95/98", "Win NT/2000"};
    const std::string sys = os.platform_id >= 0 && os.platform_id <= 2 ? names[os.platform_id] : "N/A";
    TraceLine("OS: " + sys + " v" + NumText(os.major) + "." + NumText(os.minor) + " - build " +
              NumText(os.build));
    if (platform::QueryCpu(cpu)) {
      const char* cpus[] = {"i386", "i486", "i586", "i686"};
      const std::string name = cpu.level >= 3 && cpu.level <= 6 ? cpus[cpu.level - 3] : "N/A";
      TraceLine("CPU: " + name + ", processors: " + NumText(cpu.processors));
    }
  }
  TraceLine(std::string(40, '-'));
}

void TraceLine(const std::string& text) {
  if (!g_tracing) return;
  Quietly([&] {
    int32_t id = kUndefined;
    if (TXTOpen(id, TraceFile(), kFmAppend) != 0) return;
    TXTWrite(id, text);
    TXTClose(id);
  });
}

void TraceNote(const std::string& text) {
  if (!g_tracing) return;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find("\r\n", start);
    TraceLine("#" + text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
}

void TraceError(char marker, int32_t group, int32_t code, int32_t site) {
  if (!g_tracing) return;
  TraceLine(std::string(1, marker) + NumText(group) + ":" + NumText(code) + ";\"" +
            ErrMsg(group, code) + "\"");
  TraceLine("@" + ProcPath() + ";" + NumText(site));
  TraceMemory();
  TraceDisk(TraceDrive());
}

void TraceMemory() {
  if (!g_tracing) return;
  platform::MemoryStatus m;
  if (!platform::QueryMemory(m)) return;
  TraceNote("Physical memory:");
  TraceNote(KbLine(m.total_phys, m.avail_phys));
  TraceNote("Swap memory:");
  TraceNote(KbLine(m.total_page, m.avail_page));
}

void TraceDisk(const std::string& drive) {
  if (!g_tracing) return;
  uint64_t total = 0, avail = 0;
  if (!platform::QueryDiskSpace(drive, total, avail)) return;
  TraceNote("Drive " + drive);
  TraceNote(KbLine(total, avail));
}

void TraceStop() {
  g_tracing = false;
  g_trace.count = 0;
}

}  // namespace vek
