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

// The one exception class that carries an error outward through monitored
// blocks, with its error pair. The pair (0, 0) is a silent stop (MonAbort).
class EMon : public std::exception {
 public:
  EMon() = default;
  EMon(int32_t group, int32_t code, std::string message)
      : group_(group), code_(code), message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  int32_t group() const { return group_; }
  int32_t code() const { return code_; }
  bool silent() const { return group_ == 0 || code_ == 0; }

 private:
  int32_t group_ = 0;
  int32_t code_ = 0;
  std::string message_;
};

// Number text: a 32-bit value written unsigned. Width 0..99 pads with blanks,
// 100..199 groups digits with "," and pads to width-100, 200+ pads with "0".
std::string NumText(int64_t value, int width = 0);

// The current file name that the file messages quote.
void SetCurrentFileName(const std::string& name);
const std::string& CurrentFileName();

// Records an error pair and raises it: the innermost monitored block lets
// its owners release what they hold, and the error travels outward to the
// next boundary. A pair with a zero group or code only clears the error
// state and returns. A raise is never continued past: with the recording
// lock set the pair is not recorded, but it is raised all the same.
void ErrReport(int32_t group, int32_t code, const char* text, int32_t site);
void ErrReportCode(int32_t group, int32_t code, int32_t site);
void ErrReportText(int32_t group, const std::string& text, int32_t site);
// The same for pairs known to be errors: these never return.
[[noreturn]] void ErrRaise(int32_t group, int32_t code, int32_t site);
[[noreturn]] void ErrRaiseText(int32_t group, const std::string& text, int32_t site);
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
// The procedure path where the last recorded error was raised.
const std::string& ErrPath();

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

// A callback the innermost block runs when an error passes it, before the
// block's own resources go; it runs with reporting suspended.
void MonSetCleanup(MonCleanup callback);
// Ends the innermost block silently: no error, the caller goes on.
[[noreturn]] void MonAbort();
int32_t MonDepth();

namespace detail {

// One monitored block while its body runs. A block that fails frees the
// tracked memory and closes the tracked files that were taken inside it
// without an owner (owners release theirs in their destructors while the
// exception unwinds); one that succeeds hands those to the enclosing block.
class Block {
 public:
  explicit Block(bool boundary);
  ~Block();
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  void Succeed();
  // The body raised `e`: releases the block; true when the error stops here
  // (a boundary, or a silent stop), false when it must travel on.
  bool Fail(const EMon& e);
  // An exception from outside the monitored blocks (a library or runtime
  // fault) becomes the error pair (3, free text).
  static EMon Foreign(const char* message);

 private:
  bool open_;
};

template <class F>
auto RunMonitored(bool boundary, F&& body) -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  Block block(boundary);
  try {
    if constexpr (std::is_void_v<R>) {
      std::forward<F>(body)();
      block.Succeed();
      return;
    } else {
      R result = std::forward<F>(body)();
      block.Succeed();
      return result;
    }
  } catch (const EMon& e) {
    if (!block.Fail(e)) throw;
  } catch (const std::exception& e) {
    const EMon m = Block::Foreign(e.what());
    if (!block.Fail(m)) throw m;
  } catch (...) {
    const EMon m = Block::Foreign("Unknown exception.");
    if (!block.Fail(m)) throw m;
  }
  if constexpr (!std::is_void_v<R>) return R{};
}

}  // namespace detail

// A monitored engine procedure: names itself on the procedure path and runs
// its body inside a block that frees what the body allocated if an error
// passes, then carries the error to the caller.
//   return Monitored("ImgBasic.ImgResample", [&] { ...; });
template <class F>
auto Monitored(const char* procedure, F&& body) -> std::invoke_result_t<F> {
  ProcScope scope(procedure);
  return detail::RunMonitored(false, std::forward<F>(body));
}

// Same, but the error stops here; the caller inspects ErrNone() afterwards.
template <class F>
auto MonitoredBoundary(const char* procedure, F&& body) -> std::invoke_result_t<F> {
  ProcScope scope(procedure);
  return detail::RunMonitored(true, std::forward<F>(body));
}

}  // namespace vek
