#include "api/call_frame.h"

#include <cstdio>

namespace vek::api {

namespace {
VekLastError g_last{0, 0, 0};
bool g_api_trace = false;
}  // namespace

VekLastError& LastError() { return g_last; }

namespace detail {

void FrameBegin() {
  platform::FaultGuardEnter();
  g_last.status = VEK_STATUS_OK;
  g_last.group = ErrGroup();
  g_last.code = ErrCode();
}

void FrameException() {
  if (ErrNone()) {
    g_last.status = VEK_STATUS_UNKNOWN;
    g_last.group = ErrGroup();
    g_last.code = ErrCode();
    if (TraceOn()) TraceLine("Exception");
  }
}

void FrameEnd() {
  platform::FaultGuardLeave();
  g_last.group = ErrGroup();
  g_last.code = ErrCode();
  if (!ErrNone()) g_last.status = VEK_STATUS_ERROR;
}

}  // namespace detail

std::string TrPtr(const void* p) {
  if (!p) return "NULL";
  char buf[32];
  // Full pointer width: cutting a 64-bit address would make the trace lie.
  std::snprintf(buf, sizeof buf, "0x%0*llX", static_cast<int>(sizeof(void*) * 2),
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
  return buf;
}

std::string TrFlag(int32_t flag) { return flag ? "TRUE" : "FALSE"; }

std::string TrDouble(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string TrHex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

void SetApiTrace(bool on) { g_api_trace = on; }
bool ApiTraceOn() { return g_api_trace; }

void ApiTrace(const std::string& line) {
  if (g_api_trace && TraceOn()) TraceLine(line);
}

}  // namespace vek::api
