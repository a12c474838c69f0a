// The frame every export runs in: status reset, procedure path, exception
// trap, status 999/1000, and the trace-line formatting of the interface.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "foundation/errors.h"
#include "foundation/trace.h"
#include "platform/system/system.h"
#include "vek/vek.h"

namespace vek::api {

VekLastError& LastError();

namespace detail {
void FrameBegin();
void FrameException();
void FrameEnd();
}  // namespace detail

namespace detail {
// The frame itself: a fresh error state, the body, and the status of what it left.
template <class R, class F>
R RunFrame(R on_failure, F&& body) {
  FrameBegin();
  R result = on_failure;
  int32_t group = 0, code = 0;
  {
    vek::detail::Block block(true);  // a fresh error state for every call
    try {
      result = body();
      group = ErrGroup();
      code = ErrCode();
      block.Succeed();
    } catch (const EMon& e) {
      group = ErrGroup();
      code = ErrCode();
      block.Fail(e);
      result = on_failure;
    } catch (const platform::AccessFault& e) {
      // A fault outside any monitored procedure is still the host's error
      // (3, free text), as inside one.
      const EMon m = vek::detail::Block::Foreign(e.what());
      group = ErrGroup();
      code = ErrCode();
      block.Fail(m);
      result = on_failure;
    } catch (...) {
      // Not a monitored error: status 999 unless one was recorded; the
      // block still releases what it holds.
      FrameException();
      group = ErrGroup();
      code = ErrCode();
      block.Fail(EMon(kGrpException, kFreeTextCode, ""));
      result = on_failure;
    }
  }
  // Leaving the frame's own block would report "no error"; keep what the body left.
  ErrSet(group, code);
  FrameEnd();
  return result;
}
}  // namespace detail

// Runs an export's body. Nothing ever escapes into the host: an exception
// gives status 999 (or 1000 when an error was recorded) and the failure
// result `on_failure`.
template <class R, class F>
R ApiCall(const char* qualified_name, R on_failure, F&& body) {
  ProcScope scope(qualified_name);
  return detail::RunFrame<R>(on_failure, std::forward<F>(body));
}

template <class F>
void ApiCall(const char* qualified_name, F&& body) {
  ApiCall<int>(qualified_name, 0, [&] {
    body();
    return 0;
  });
}

// Trace-line pieces.
std::string TrPtr(const void* p);
std::string TrFlag(int32_t flag);
std::string TrDouble(double v);
std::string TrHex(uint32_t v);
void ApiTrace(const std::string& line);  // only while the interface trace is on
void SetApiTrace(bool on);
bool ApiTraceOn();

}  // namespace vek::api
