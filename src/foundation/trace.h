// The trace file and the procedure path that its error records print.
#pragma once

#include <cstdint>
#include <string>

namespace vek {

inline constexpr const char* kTraceBanner = "VEK 2.3.2";
inline constexpr int kProcStackSize = 256;

namespace detail {
extern bool g_tracing;
void ProcPush(const char* name);
void ProcPop();
}  // namespace detail

// The path is kept whether or not a trace is written: an error record and
// the host's error callback both name where a failure happened.
inline void ProcEnter(const char* name) { detail::ProcPush(name); }
inline void ProcLeave() { detail::ProcPop(); }

// Pushes a procedure name for the lifetime of the scope.
class ProcScope {
 public:
  explicit ProcScope(const char* name) { ProcEnter(name); }
  ~ProcScope() { ProcLeave(); }
  ProcScope(const ProcScope&) = delete;
  ProcScope& operator=(const ProcScope&) = delete;
};

bool TraceOn();
std::string ProcPath();
int ProcDepth();
void ProcClear();

void TraceSetFile(const std::string& name);
const std::string& TraceFile();
void TraceStart(const std::string& banner);
void TraceLine(const std::string& text);
void TraceNote(const std::string& text);
void TraceError(char marker, int32_t group, int32_t code, int32_t site);
void TraceMemory();
void TraceDisk(const std::string& drive);
void TraceStop();

// The file the current work writes: on Windows the disk lines report the free
// space of its drive, where running out of room would hurt.
void TraceSetOutput(const std::string& name);
// Where the disk lines report free space: on Windows the root of the output's
// drive (the trace file's when no output is known), elsewhere the folder that
// holds the trace file.
std::string TraceDrive();

}  // namespace vek
