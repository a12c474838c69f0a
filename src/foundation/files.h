// Tracked files: every open file is registered under a small id so that
// monitored blocks can close it on error and unload can report it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "foundation/errors.h"

namespace vek {

inline constexpr int32_t kFileTableSize = 64;

// FOpen mode bits.
enum FileMode : int32_t {
  kFmRead = 1,    // read only
  kFmWrite = 2,   // write only (when kFmRead is clear); neither = read and write
  kFmCreate = 4,  // create or truncate
  kFmAppend = 8,  // open existing and position at its end
};

// File result codes (group 6).
enum FileResult : int32_t {
  kFileOk = 0,
  kFileOpen = 1,
  kFileCreate = 2,
  kFileRead = 3,
  kFileWrite = 4,
  kFileSeek = 5,
  kFileDelete = 6,
  kFileAppend = 7,
  kFileClose = 8,
  kFileNotExist = 9,
  kFileRename = 10,
  kFileFatal = 11,
};

int32_t FOpen(int32_t& id, const std::string& name, int32_t mode);
int32_t FRead(int32_t id, void* buffer, int64_t count);
int32_t FWrite(int32_t id, const void* buffer, int64_t count);
int32_t FSeek(int32_t id, int64_t position);
void FClose(int32_t id);
// Closes like FClose, but a written file whose buffered data cannot be
// stored raises the write error (6, 4) instead of leaving a warning.
int32_t FCloseChecked(int32_t id);
// Removes a file without reporting anything: for outputs that failed.
void FDiscard(const std::string& name);
void FReadSome(int32_t id, void* buffer, int64_t count, int64_t& read);
int64_t FSize(int32_t id);
int64_t FPos(int32_t id);
int32_t FDelete(const std::string& name);
int32_t FRename(const std::string& old_name, const std::string& new_name);
bool FExists(const std::string& name);

int32_t TXTOpen(int32_t& id, const std::string& name, int32_t mode);
int32_t TXTWrite(int32_t id, const std::string& line);
// Reads one line without its line end; false at end of file.
bool TXTReadLine(int32_t id, std::string& line);
void TXTClose(int32_t id);

int32_t FCount();
// The file is closed by an owning handle, never by a failing block.
void FHold(int32_t id);
const char* FName(int32_t id);
// The leak report text for files still open (empty when none); closes them.
std::string FLeakReport();

// Owning handle over a tracked file id.
class TrackedFile {
 public:
  TrackedFile() = default;
  // A file dropped without Close() (an error left its writer) is closed
  // without raising; an output made by Create() is removed as well.
  ~TrackedFile() { Drop(); }
  TrackedFile(const TrackedFile&) = delete;
  TrackedFile& operator=(const TrackedFile&) = delete;
  TrackedFile(TrackedFile&& o) noexcept
      : id_(o.id_), text_(o.text_), discard_(std::move(o.discard_)) {
    o.id_ = kUndefined;
    o.discard_.clear();
  }
  TrackedFile& operator=(TrackedFile&& o) noexcept {
    if (this != &o) {
      Drop();
      id_ = o.id_;
      text_ = o.text_;
      discard_ = std::move(o.discard_);
      o.id_ = kUndefined;
      o.discard_.clear();
    }
    return *this;
  }

  int32_t Open(const std::string& name, int32_t mode) {
    Close();
    discard_.clear();
    text_ = false;
    const int32_t r = FOpen(id_, name, mode);
    FHold(id_);
    return r;
  }
  int32_t OpenText(const std::string& name, int32_t mode) {
    Close();
    discard_.clear();
    text_ = true;
    const int32_t r = TXTOpen(id_, name, mode);
    FHold(id_);
    return r;
  }
  // Creates a whole output: an old file of that name is deleted first, and
  // the new one is removed again unless Close() completes it.
  int32_t Create(const std::string& name) {
    Close();
    FDelete(name);
    const int32_t r = Open(name, kFmCreate);
    discard_ = name;
    return r;
  }
  // Closes the file. Written data that cannot be stored raises the write
  // error (the output of Create() is then removed when the handle goes);
  // while another error unwinds, the close stays quiet.
  void Close() {
    if (id_ == kUndefined) return;
    const int32_t id = id_;
    id_ = kUndefined;
    if (text_) {
      TXTClose(id);
    } else if (std::uncaught_exceptions() > 0) {
      FClose(id);
      return;
    } else {
      FCloseChecked(id);
    }
    discard_.clear();
  }
  int32_t Release() {
    int32_t id = id_;
    id_ = kUndefined;
    discard_.clear();
    return id;
  }
  int32_t id() const { return id_; }
  bool is_open() const { return id_ != kUndefined; }
  int32_t Read(void* buf, int64_t n) const { return FRead(id_, buf, n); }
  int32_t Write(const void* buf, int64_t n) const { return FWrite(id_, buf, n); }
  int32_t Seek(int64_t pos) const { return FSeek(id_, pos); }
  int64_t Size() const { return FSize(id_); }
  int64_t Pos() const { return FPos(id_); }

 private:
  void Drop() noexcept {
    if (id_ != kUndefined) {
      if (text_)
        TXTClose(id_);
      else
        FClose(id_);
      id_ = kUndefined;
    }
    if (!discard_.empty()) FDiscard(discard_);
    discard_.clear();
  }

  int32_t id_ = kUndefined;
  bool text_ = false;
  std::string discard_;  // output removed unless completed
};

// Stopwatch: calendar clock and tick counter combined.
struct Stopwatch {
  double elapsed = 0;
  uint16_t hours = 0, minutes = 0, seconds = 0, milliseconds = 0;
  double start_time = 0;     // days since 1899-12-30 with fraction
  uint32_t start_ticks = 0;  // ms of the tick counter
};
void WatchStart(Stopwatch& watch);
double WatchElapsed(Stopwatch& watch);

// Library load and unload. Later units register their own finalisers, which
// run in reverse order before the leak report.
void RegisterUnloadHook(void (*hook)());
void LibraryUnload();

}  // namespace vek
