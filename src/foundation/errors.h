// Error pairs, the process-wide error and warning state, and monitored blocks.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>

#include "foundation/trace.h"

namespace vek {

// "Not set / unknown / invalid handle" everywhere in the engine.
inline constexpr int32_t kUndefined = -1357902468;  // 0xAF100D7C
inline constexpr double kUndefinedD = -1357902468.0;
// Code used whenever the message is a free text.
inline constexpr int32_t kFreeTextCode = 0x7FFFFFFF;

enum ErrorGroup : int32_t {
  kGrpExternal = 1,
  kGrpText = 2,
  kGrpException = 3,
  kGrpGeneral = 4,
  kGrpMemory = 5,
  kGrpFile = 6,
  kGrpImage = 7,
  kGrpAudio = 8,
  kGrpAvi = 9,
  kGrpAviLib = 10,
  kGrpVfw = 11,
  kGrpMovie = 12,
  kGrpWav = 13,
  kGrpMovie2 = 14,
  kGrpHav = 15,
  kGrpUni = 16,
  kGrpFlic = 17,
  kGrpAcm = 19,
  kGrpWinMM = 20,
};

// Codes of the general group (4).
enum GenCode : int32_t { kGenOutOfRange = 1, kGenNotSupported = 2, kGenInvalidType = 3 };
// Codes of the image group (7).
enum ImgCode : int32_t {
  kImgUnsupported = 1,
  kImgInvalid = 2,
  kImgDecompress = 3,
  kImgHeader = 4,
  kImgCompress = 5,
  kImgInitFunction = 6,
  kImgInitCompression = 7,
  kImgOpen = 8,
  kImgCorrupted = 9,
  kImgPalette = 10,
  kImgCreate = 11,
};
// Codes of the audio group (8).
enum AudioCode : int32_t {
  kAudConvert = 1,
  kAudConvertAcm = 2,
  kAudConvertWave = 3,
  kAudInvalidFormat = 4,
};
// Codes of the AVI group (9).
enum AviCode : int32_t {
  kAviRead = 1,
  kAviWrite = 2,
  kAviReadAudio = 3,
  kAviWriteAudio = 4,
  kAviOpen = 5,
  kAviCreate = 6,
  kAviInitCodec = 7,
  kAviAudioInvalid = 8,
};
// Codes of the two movie groups (12 and 14).
enum MovieCode : int32_t {
  kMviInvalidFormat = 1,
  kMviWrite = 2,
  kMviDecompress = 3,
  kMviCompress = 4,
  kMviNotSupported = 5,
  kMviOpen = 6,
  kMviEnd = 7,
  kMviCreate = 8,
};
// Codes of the WAV group (13).
enum WavCode : int32_t { kWavOpen = 1, kWavCreate = 2, kWavRead = 3, kWavWrite = 4, kWavSeek = 5 };
// The one code of the HAV (15), UNI (16) and FLIC (17) groups.
inline constexpr int32_t kHavEnd = 1;
inline constexpr int32_t kUniProtocol = 1;
inline constexpr int32_t kFlicEnd = 1;

// The one exception class that carries an error outward through monitored blocks.
class EMon : public std::exception {
 public:
  EMon() = default;
  explicit EMon(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Number text: a 32-bit value written unsigned. Width 0..99 pads with blanks,
// 100..199 groups digits with "," and pads to width-100, 200+ pads with "0".
std::string NumText(int64_t value, int width = 0);

// The current file name that the file messages quote.
void SetCurrentFileName(const std::string& name);
const std::string& CurrentFileName();

void ErrReport(int32_t group, int32_t code, const char* text, int32_t site);
void ErrReportCode(int32_t group, int32_t code, int32_t site);
void ErrReportText(int32_t group, const std::string& text, int32_t site);
void ErrClear();
// Puts a pair back as the error state without tracing or raising: for the
// export frame, which keeps an error that a boundary stopped inside its body.
void ErrSet(int32_t group, int32_t code);
int32_t ErrGroup();
int32_t ErrCode();
bool ErrNone();
std::string ErrMsg(int32_t group, int32_t code);
std::string ErrMsgLast();
const std::string& ErrText();  // stored free text (groups 1 to 3)

void WarnReport(int32_t group, int32_t code, const char* text, int32_t site);
void WarnReportCode(int32_t group, int32_t code, int32_t site);
void WarnReportText(int32_t group, const std::string& text, int32_t site);
void WarnClear();
bool WarnNone();
int32_t WarnGroup();
int32_t WarnCode();

// The recording lock: while set, reporting and clearing do nothing.
bool RecordingLocked();
class RecordingLock {
 public:
  RecordingLock();
  ~RecordingLock();
  RecordingLock(const RecordingLock&) = delete;
  RecordingLock& operator=(const RecordingLock&) = delete;

 private:
  bool previous_;
};

using MonCleanup = std::function<void()>;

void MonEnter();
void MonEnterBoundary();
void MonNextIsBoundary();
void MonSetCleanup(MonCleanup callback);
void MonExcept(const char* message);
void MonExit();
void MonRaise(int32_t group, int32_t code);
[[noreturn]] void MonAbort();
int32_t MonDepth();
// Frees what the innermost block holds without recording an error: for the
// export frame, which turns a stray exception into a status instead.
void MonFreeResources();

namespace detail {
// Marks the stack below the caller's frame as unwound while a block is
// cleaned up after its body has gone: variables there no longer exist and
// must not be written. The frame is taken in a call that is never inlined,
// so inlined bodies cannot blur it.
class UnwoundBelow {
 public:
  UnwoundBelow();
  ~UnwoundBelow();
  UnwoundBelow(const UnwoundBelow&) = delete;
  UnwoundBelow& operator=(const UnwoundBelow&) = delete;

 private:
  const void* previous_;
};
// True when `p` lies in stack frames that have already been unwound.
bool InUnwoundStack(const void* p);

template <class F>
auto RunMonitored(F&& body) -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  if constexpr (std::is_void_v<R>) {
    RunMonitored([&] {
      std::forward<F>(body)();
      return 0;
    });
  } else {
    R result{};
    try {
      result = std::forward<F>(body)();
    } catch (const std::exception& e) {
      UnwoundBelow unwound;
      MonExcept(e.what());
    } catch (...) {
      UnwoundBelow unwound;
      MonExcept("Unknown exception.");
    }
    {
      UnwoundBelow unwound;
      MonExit();
    }
    return result;
  }
}
}  // namespace detail

// A monitored engine procedure: names itself on the procedure path and runs
// its body inside a block that frees what the body allocated if an error
// passes, then carries the error to the caller.
//   return Monitored("ImgBasic.ImgResample", [&] { ...; });
template <class F>
auto Monitored(const char* procedure, F&& body) -> std::invoke_result_t<F> {
  ProcScope scope(procedure);
  MonEnter();
  return detail::RunMonitored(std::forward<F>(body));
}

// Same, but the error stops here; the caller inspects ErrNone() afterwards.
template <class F>
auto MonitoredBoundary(const char* procedure, F&& body) -> std::invoke_result_t<F> {
  ProcScope scope(procedure);
  MonEnterBoundary();
  return detail::RunMonitored(std::forward<F>(body));
}

}  // namespace vek
