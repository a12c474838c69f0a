#include "foundation/errors.h"

#include <cstdint>
#include <cstring>

#include "foundation/foundation_state.h"
#include "platform/system/system.h"

namespace vek {

namespace detail {
NoDestroy<ErrorState> g_err_storage;
ErrorState& g_err = g_err_storage.value;
}  // namespace detail

using detail::g_err;

std::string NumText(int64_t value, int width) {
  const uint32_t v = static_cast<uint32_t>(value);
  std::string digits = std::to_string(v);
  if (width >= 200) {
    size_t w = static_cast<size_t>(width - 200);
    if (digits.size() < w) digits.insert(0, w - digits.size(), '0');
    return digits;
  }
  if (width >= 100) {
    std::string grouped;
    const size_t n = digits.size();
    for (size_t i = 0; i < n; ++i) {
      if (i > 0 && (n - i) % 3 == 0) grouped.push_back(',');
      grouped.push_back(digits[i]);
    }
    size_t w = static_cast<size_t>(width - 100);
    if (grouped.size() < w) grouped.insert(0, w - grouped.size(), ' ');
    return grouped;
  }
  size_t w = width > 0 ? static_cast<size_t>(width) : 0;
  if (digits.size() < w) digits.insert(0, w - digits.size(), ' ');
  return digits;
}

// Names are held to 255 characters, so every message fits the documented
// 1100-byte buffer of the error-text export.
void SetCurrentFileName(const std::string& name) { g_err.current_file.assign(name, 0, 255); }
const std::string& CurrentFileName() { return g_err.current_file; }

namespace {

const char* CodeMessage(int32_t group, int32_t code) {
  switch (group) {
    case kGrpGeneral:
      switch (code) {
        case kGenOutOfRange: return "Out of range.";
        case kGenNotSupported: return "Not supported.";
        case kGenInvalidType: return "Invalid variable type.";
        default: return "General \"GEN\" error.";
      }
    case kGrpMemory:
      switch (code) {
        case kMemAllocFault: return "Memory allocation fault.";
        case kMemManagerFault: return "Memory manager fault.";
        case kMemReallocFault: return "Memory reallocation fault.";
        case kMemFreeFault: return "Memory could not be deallocated.";
        case kMemInvalidRequest: return "Invalid memory request.";
        case kMemFatal: return "Fatal memory manager error.";
        default: return "General memory fault.";
      }
    case kGrpFile:
      switch (code) {
        case kFileOpen: return "Cannot open file: ";
        case kFileCreate: return "Cannot create file: ";
        case kFileRead: return "Cannot read from file.";
        case kFileWrite: return "Cannot write to file.";
        case kFileSeek: return "Cannot seek in file.";
        case kFileDelete: return "Cannot delete file: ";
        case kFileAppend: return "Cannot append to file: ";
        case kFileClose: return "Cannot close file.";
        case kFileNotExist: return "File not exist.";
        case kFileRename: return "File name change failed.";
        case kFileFatal: return "Fatal file manager fault.";
        default: return "General file handling fault.";
      }
    case kGrpImage:
      switch (code) {
        case kImgUnsupported: return "Image format not supported.";
        case kImgInvalid: return "Invalid image format.";
        case kImgDecompress: return "Cannot decompress image data.";
        case kImgHeader: return "Image header invalid.";
        case kImgCompress: return "Cannot compress image data.";
        case kImgInitFunction: return "Cannot initialize image function.";
        case kImgInitCompression: return "Cannot initialize image compression data.";
        case kImgOpen: return "Cannot open image file.";
        case kImgCorrupted: return "Image data corrupted.";
        case kImgPalette: return "Cannot realize palette.";
        case kImgCreate: return "Cannot create image file.";
        default: return "General image handling fault.";
      }
    case kGrpAudio:
      switch (code) {
        case kAudConvert: return "Audio conversion error.";
        case kAudConvertAcm: return "Audio conversion error (ACM).";
        case kAudConvertWave: return "Audio conversion error (WAVE).";
        case kAudInvalidFormat: return "Invalid audio format.";
        default: return "General audio handling fault.";
      }
    case kGrpAvi:
      switch (code) {
        case kAviRead: return "Cannot read from AVI file.";
        case kAviWrite: return "Cannot write to AVI file.";
        case kAviReadAudio: return "Cannot read audio data from AVI file.";
        case kAviWriteAudio: return "Cannot write audio data to AVI file.";
        case kAviOpen: return "Cannot open AVI file.";
        case kAviCreate: return "Cannot create AVI file.";
        case kAviInitCodec: return "Cannot initialize AVI codec.";
        case kAviAudioInvalid:
          return "AVI audio stream not valid (decompressor not found?), ignoring audio";
        default: return "General AVI handling fault.";
      }
    case kGrpMovie:
    case kGrpMovie2:
      switch (code) {
        case kMviInvalidFormat: return "Invalid movie format.";
        case kMviWrite: return "Cannot write to movie file.";
        case kMviDecompress: return "Cannot decompress movie image data.";
        case kMviCompress: return "Cannot compress movie image data.";
        case kMviNotSupported: return "Movie format not supported.";
        case kMviOpen: return "Cannot open movie file.";
        case kMviEnd: return "End of movie reached.";
        case kMviCreate: return "Cannot create movie file.";
        default: return "General \"MVI\" handling fault.";
      }
    case kGrpWav:
      switch (code) {
        case kWavOpen: return "Cannot open WAV file.";
        case kWavCreate: return "Cannot create WAV file.";
        case kWavRead: return "Cannot read from WAV file.";
        case kWavWrite: return "Cannot write to WAV file.";
        case kWavSeek: return "Cannot seek in WAV file.";
        default: return "general \"WAV\" handling fault.";
      }
    case kGrpHav: return code == kHavEnd ? "End of HAV movie reached." : "General \"HAV\" handling fault.";
    case kGrpUni: return code == kUniProtocol ? "UNI protocol fault." : "General \"UNI\" handling fault.";
    case kGrpFlic:
      return code == kFlicEnd ? "End of FLIC movie reached." : "General \"FLIC\" handling fault.";
    default: return nullptr;
  }
}

// Runs the innermost block's clean-up callback and frees what it holds
// without an owner, with the stack suspended and the recording lock set, so
// the clean-up can neither report nor open blocks of its own.
void RollBack(detail::BlockRecord& b, int32_t depth) {
  const bool was_suspended = g_err.suspended;
  g_err.suspended = true;
  const bool was_locked = g_err.locked;
  g_err.locked = true;
  if (b.cleanup) {
    MonCleanup cb = std::move(b.cleanup);
    b.cleanup = nullptr;
    try {
      cb();
    } catch (...) {
      // Exceptions of clean-up callbacks are swallowed.
    }
  }
  if (b.loose_mem > 0) detail::MemRollback(depth);
  if (b.loose_files > 0) detail::FCloseRollback(depth);
  g_err.locked = was_locked;
  g_err.suspended = was_suspended;
}

void Record(int32_t group, int32_t code, const char* text, int32_t site) {
  g_err.group = group;
  g_err.code = code;
  if (text) g_err.text.assign(text, strnlen(text, 1024));
  g_err.path = ProcPath();
  TraceError('!', group, code, site);
  ProcClear();
}

}  // namespace

std::string ErrMsg(int32_t group, int32_t code) {
  if (group == 0 || code == 0) return "No errors.";
  const std::string n = NumText(code);
  switch (group) {
    case kGrpExternal:
    case kGrpText:
    case kGrpException: return g_err.text;
    case kGrpAviLib: return "AVI subsystem malfunction: " + n;
    case kGrpVfw: return "Video For Windows malfunction: " + n;
    case kGrpAcm: return "Fatal error in Audio Compression Manager: " + n;
    case kGrpWinMM: return "Fatal error in Win-MM: " + n;
    default: break;
  }
  const char* m = CodeMessage(group, code);
  if (!m) return "Undefined error: " + NumText(group) + ":" + n;
  std::string msg = m;
  if (group == kGrpFile && (code == kFileOpen || code == kFileCreate || code == kFileDelete || code == kFileAppend))
    msg += g_err.current_file;
  return msg;
}

std::string ErrMsgLast() { return ErrMsg(g_err.group, g_err.code); }
const std::string& ErrText() { return g_err.text; }
const std::string& ErrPath() { return g_err.path; }

bool RecordingLocked() { return g_err.locked; }
RecordingLock::RecordingLock() : previous_(g_err.locked) { g_err.locked = true; }
RecordingLock::~RecordingLock() { g_err.locked = previous_; }

void ErrReport(int32_t group, int32_t code, const char* text, int32_t site) {
  if (group == 0 || code == 0) {
    if (!g_err.locked) {
      g_err.group = 0;
      g_err.code = 0;
    }
    return;
  }
  if (!g_err.locked) {
    g_err.locked = true;
    Record(group, code, text, site);
    g_err.locked = false;
  }
  throw EMon(group, code, ErrMsg(group, code));
}

void ErrReportCode(int32_t group, int32_t code, int32_t site) {
  ErrReport(group, code, nullptr, site);
}

void ErrReportText(int32_t group, const std::string& text, int32_t site) {
  ErrReport(group, kFreeTextCode, text.c_str(), site);
}

void ErrRaise(int32_t group, int32_t code, int32_t site) {
  ErrReport(group != 0 ? group : kGrpGeneral, code != 0 ? code : kFreeTextCode, nullptr, site);
  std::abort();  // not reached: a non-zero pair always raises
}

void ErrRaiseText(int32_t group, const std::string& text, int32_t site) {
  ErrReport(group != 0 ? group : kGrpText, kFreeTextCode, text.c_str(), site);
  std::abort();
}

void ErrClear() {
  if (g_err.locked) return;
  g_err.group = 0;
  g_err.code = 0;
}

void ErrSet(int32_t group, int32_t code) {
  if (g_err.locked) return;
  g_err.group = group;
  g_err.code = code;
}

int32_t ErrGroup() { return g_err.group; }
int32_t ErrCode() { return g_err.code; }
bool ErrNone() { return g_err.group == 0 && g_err.code == 0; }

void WarnReport(int32_t group, int32_t code, const char* text, int32_t site) {
  if (group != 0 && code != 0) {
    g_err.warn_group = group;
    g_err.warn_code = code;
    if (text) g_err.warn_text = text;
    TraceError('?', group, code, site);
  } else {
    WarnClear();
  }
}
void WarnReportCode(int32_t group, int32_t code, int32_t site) {
  WarnReport(group, code, nullptr, site);
}
void WarnReportText(int32_t group, const std::string& text, int32_t site) {
  WarnReport(group, kFreeTextCode, text.c_str(), site);
}
void WarnClear() {
  g_err.warn_group = 0;
  g_err.warn_code = 0;
}
bool WarnNone() { return g_err.warn_group == 0 && g_err.warn_code == 0; }
int32_t WarnGroup() { return g_err.warn_group; }
int32_t WarnCode() { return g_err.warn_code; }

int32_t MonDepth() { return g_err.depth; }

void MonSetCleanup(MonCleanup callback) {
  if (g_err.depth >= 1 && !g_err.suspended) g_err.blocks[g_err.depth].cleanup = std::move(callback);
}

void MonAbort() { throw EMon(); }

namespace detail {

void CountLoose(int32_t depth, bool file, int32_t delta) {
  if (depth < 0 || depth >= kBlockSlots) return;
  BlockRecord& b = g_err.blocks[depth];
  (file ? b.loose_files : b.loose_mem) += delta;
}

Block::Block(bool boundary) : open_(!g_err.suspended) {
  if (!open_) return;
  if (g_err.depth >= kBlockSlots - 1) platform::FatalExit("Fatal error: internal monitoring overflow.");
  BlockRecord& b = g_err.blocks[++g_err.depth];
  b.loose_mem = 0;
  b.loose_files = 0;
  b.boundary = boundary;
  b.cleanup = nullptr;
  if (!g_err.locked) {
    g_err.group = 0;
    g_err.code = 0;
  }
  g_err.warn_group = 0;
  g_err.warn_code = 0;
}

Block::~Block() {
  // Only reached open when the body left by a path that neither returned
  // nor raised through the block: release it as a failure, quietly.
  if (open_) {
    BlockRecord& b = g_err.blocks[g_err.depth];
    RollBack(b, g_err.depth);
    --g_err.depth;
  }
}

namespace {
// Leaves the innermost block without an error: what it holds without an
// owner passes to the block around it.
void LeaveClean() {
  BlockRecord& b = g_err.blocks[g_err.depth];
  b.cleanup = nullptr;
  if (b.loose_mem > 0) MemAdopt(g_err.depth);
  if (b.loose_files > 0) FAdopt(g_err.depth);
  --g_err.depth;
  if (!g_err.locked) {
    g_err.group = 0;
    g_err.code = 0;
  }
}
}  // namespace

void Block::Succeed() {
  if (!open_) return;
  open_ = false;
  LeaveClean();
}

bool Block::Fail(const EMon& e) {
  if (!open_) return false;
  open_ = false;
  BlockRecord& b = g_err.blocks[g_err.depth];
  if (e.silent()) {
    LeaveClean();  // a silent stop ends the block like a return
    return true;
  }
  RollBack(b, g_err.depth);
  --g_err.depth;
  // Owners' destructors may have run monitored procedures of their own while
  // the error unwound, which start from a clear state: the error is put back.
  if (!g_err.locked) {
    g_err.group = e.group();
    g_err.code = e.code();
  }
  return b.boundary;
}

EMon Block::Foreign(const char* message) {
  const bool was_locked = g_err.locked;
  if (!g_err.suspended) {
    g_err.locked = true;
    Record(kGrpException, kFreeTextCode, message ? message : "", 0);
    g_err.locked = was_locked;
  }
  return EMon(kGrpException, kFreeTextCode, message ? message : "");
}

}  // namespace detail

}  // namespace vek
