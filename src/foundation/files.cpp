#include "foundation/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/foundation_state.h"

namespace vek {

namespace detail {
FileTable g_files;
}  // namespace detail

using detail::FileEntry;
using detail::g_files;

namespace {

// Update streams must not switch between reading and writing without a seek.
void SwitchTo(FileEntry* e, int8_t op) {
  if (e->last_op != 0 && e->last_op != op) std::fseek(e->file, 0, SEEK_CUR);
  e->last_op = op;
}

FileEntry* Find(int32_t id) {
  if (id == kUndefined) return nullptr;
  for (int32_t i = 0; i < g_files.count; ++i)
    if (g_files.entries[i].id == id) return &g_files.entries[i];
  return nullptr;
}

int32_t IndexOf(int32_t id) {
  for (int32_t i = 0; i < g_files.count; ++i)
    if (g_files.entries[i].id == id) return i;
  return -1;
}

bool Seek64(std::FILE* f, int64_t pos, int whence) {
#if defined(_WIN32)
  return _fseeki64(f, pos, whence) == 0;
#else
  return fseeko(f, static_cast<off_t>(pos), whence) == 0;
#endif
}

int64_t Tell64(std::FILE* f) {
#if defined(_WIN32)
  return _ftelli64(f);
#else
  return static_cast<int64_t>(ftello(f));
#endif
}

// Registers an opened file; closes it again when the table is full.
int32_t Register(std::FILE* f, const std::string& name, bool text, int32_t& id) {
  if (g_files.count >= kFileTableSize) {
    std::fclose(f);
    return kFileFatal;
  }
  FileEntry& e = g_files.entries[g_files.count++];
  e.id = g_files.next_id++;
  e.depth = MonDepth();
  e.held = false;
  detail::CountLoose(e.depth, true, 1);
  e.text = text;
  e.file = f;
  e.last_op = 0;
  e.written = false;
  std::strncpy(e.name, name.c_str(), sizeof e.name - 1);
  e.name[sizeof e.name - 1] = '\0';
  id = e.id;
  return kFileOk;
}

// Closes and removes the entry; false when the runtime's close failed,
// which for a written file includes data that never reached the disk.
bool CloseEntry(int32_t index) {
  FileEntry& e = g_files.entries[index];
  bool ok = true;
  if (e.written) ok = std::fflush(e.file) == 0 && !std::ferror(e.file);
  ok = std::fclose(e.file) == 0 && ok;
  if (!e.held) detail::CountLoose(e.depth, true, -1);
  --g_files.count;
  if (index != g_files.count) g_files.entries[index] = g_files.entries[g_files.count];
  return ok;
}

const char* AccessMode(int32_t mode) {
  if (mode & kFmRead) return "rb";
  return "r+b";  // write only or read and write on an existing file
}

void CloseReporting(int32_t id) {
  // The trace file is closed while a warning is being recorded: clearing
  // then would lose the warning it records.
  if (!RecordingLocked()) WarnClear();
  const int32_t i = IndexOf(id);
  if (i < 0) return;
  if (!CloseEntry(i)) WarnReportCode(kGrpFile, kFileClose, 1);
}

}  // namespace

int32_t FOpen(int32_t& id, const std::string& name, int32_t mode) {
  ProcScope proc("Basic.FOpen");
  errno = 0;
  SetCurrentFileName(name);
  id = kUndefined;
  int32_t result = kFileOk;
  std::FILE* f = nullptr;
  if (mode & kFmCreate) {
    f = std::fopen(name.c_str(), "w+b");
    if (!f) result = kFileCreate;
  } else if (mode & kFmAppend) {
    f = std::fopen(name.c_str(), AccessMode(mode));
    if (!f) {
      result = kFileAppend;
    } else if (!Seek64(f, 0, SEEK_END)) {
      std::fclose(f);
      f = nullptr;
      result = kFileSeek;
    }
  } else {
    f = std::fopen(name.c_str(), AccessMode(mode));
    if (!f) result = kFileOpen;
  }
  if (f) result = Register(f, name, false, id);
  ErrReportCode(kGrpFile, result, 1);
  return result;
}

int32_t FRead(int32_t id, void* buffer, int64_t count) {
  ProcScope proc("Basic.FRead");
  FileEntry* e = Find(id);
  int32_t result = kFileOk;
  if (e && count > 0) {
    SwitchTo(e, 1);
    if (std::fread(buffer, 1, static_cast<size_t>(count), e->file) != static_cast<size_t>(count))
      result = kFileRead;
  }
  ErrReportCode(kGrpFile, result, 2);
  return result;
}

int32_t FWrite(int32_t id, const void* buffer, int64_t count) {
  ProcScope proc("Basic.FWrite");
  FileEntry* e = Find(id);
  int32_t result = kFileOk;
  if (e && count > 0) {
    SwitchTo(e, 2);
    e->written = true;
    if (std::fwrite(buffer, 1, static_cast<size_t>(count), e->file) != static_cast<size_t>(count))
      result = kFileWrite;
  }
  ErrReportCode(kGrpFile, result, 3);
  return result;
}

int32_t FSeek(int32_t id, int64_t position) {
  ProcScope proc("Basic.FSeek");
  FileEntry* e = Find(id);
  int32_t result = kFileOk;
  if (e) {
    e->last_op = 0;
    if (position < 0 || !Seek64(e->file, position, SEEK_SET)) result = kFileSeek;
  }
  ErrReportCode(kGrpFile, result, 4);
  return result;
}

void FClose(int32_t id) {
  ProcScope proc("Basic.FClose");
  CloseReporting(id);
}

int32_t FCloseChecked(int32_t id) {
  ProcScope proc("Basic.FClose");
  if (!RecordingLocked()) WarnClear();
  const int32_t i = IndexOf(id);
  if (i < 0) return kFileOk;
  const bool written = g_files.entries[i].written;
  if (CloseEntry(i)) return kFileOk;
  // Data still buffered when the disk filled up is lost: the file is
  // incomplete, which is a failed write, not a harmless close.
  if (written) ErrRaise(kGrpFile, kFileWrite, 11);
  WarnReportCode(kGrpFile, kFileClose, 12);
  return kFileClose;
}

void FDiscard(const std::string& name) {
  // No reporting: this runs while an error leaves the writer, and that
  // error is the one the caller must see.
  chmod(name.c_str(), S_IRUSR | S_IWUSR);
  std::remove(name.c_str());
}

void FReadSome(int32_t id, void* buffer, int64_t count, int64_t& read) {
  read = 0;
  FileEntry* e = Find(id);
  if (!e || count <= 0) return;
  SwitchTo(e, 1);
  read = static_cast<int64_t>(std::fread(buffer, 1, static_cast<size_t>(count), e->file));
}

int64_t FSize(int32_t id) {
  FileEntry* e = Find(id);
  if (!e) return kUndefined;
  std::fflush(e->file);
  struct stat st {};
  if (fstat(fileno(e->file), &st) != 0) return kUndefined;
  return static_cast<int64_t>(st.st_size);
}

int64_t FPos(int32_t id) {
  FileEntry* e = Find(id);
  return e ? Tell64(e->file) : kUndefined;
}

bool FExists(const std::string& name) {
  struct stat st {};
  return stat(name.c_str(), &st) == 0;
}

int32_t FDelete(const std::string& name) {
  ProcScope proc("Basic.FDelete");
  SetCurrentFileName(name);
  int32_t result = kFileOk;
  if (FExists(name)) {
    // Make a read-only file deletable first.
    chmod(name.c_str(), S_IRUSR | S_IWUSR);
    if (std::remove(name.c_str()) != 0) result = kFileDelete;
  }
  ErrReportCode(kGrpFile, result, 5);
  return result;
}

int32_t FRename(const std::string& old_name, const std::string& new_name) {
  ProcScope proc("Basic.FRename");
  ErrClear();
  SetCurrentFileName(old_name);
  if (!FExists(old_name)) ErrRaise(kGrpFile, kFileRename, 6);
  if (FExists(new_name)) ErrRaise(kGrpFile, kFileRename, 7);
  if (std::rename(old_name.c_str(), new_name.c_str()) != 0) ErrRaise(kGrpFile, kFileRename, 8);
  return kFileOk;
}

int32_t TXTOpen(int32_t& id, const std::string& name, int32_t mode) {
  ProcScope proc("Basic.TXTOpen");
  SetCurrentFileName(name);
  id = kUndefined;
  int32_t result = kFileOk;
  std::FILE* f = nullptr;
  if (mode == kFmCreate) {
    f = std::fopen(name.c_str(), "wb");
    if (!f) result = kFileCreate;
  } else if (mode == kFmAppend) {
    f = std::fopen(name.c_str(), "ab");
    if (!f) result = kFileAppend;
  } else {
    f = std::fopen(name.c_str(), "rb");
    if (!f) result = kFileOpen;
  }
  if (f) result = Register(f, name, true, id);
  ErrReportCode(kGrpFile, result, 9);
  return result;
}

int32_t TXTWrite(int32_t id, const std::string& line) {
  ProcScope proc("Basic.TXTWrite");
  FileEntry* e = Find(id);
  int32_t result = kFileOk;
  if (e) {
    SwitchTo(e, 2);
    e->written = true;
    if (std::fwrite(line.data(), 1, line.size(), e->file) != line.size() ||
        std::fwrite("\r\n", 1, 2, e->file) != 2)
      result = kFileWrite;
  }
  ErrReportCode(kGrpFile, result, 10);
  return result;
}

bool TXTReadLine(int32_t id, std::string& line) {
  line.clear();
  FileEntry* e = Find(id);
  if (!e) return false;
  SwitchTo(e, 1);
  int c;
  bool any = false;
  while ((c = std::fgetc(e->file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\r') {
      int next = std::fgetc(e->file);
      if (next != '\n' && next != EOF) std::ungetc(next, e->file);
      break;
    }
    line.push_back(static_cast<char>(c));
  }
  return any;
}

void TXTClose(int32_t id) {
  ProcScope proc("Basic.TXTClose");
  CloseReporting(id);
}

int32_t FCount() { return g_files.count; }

void FHold(int32_t id) {
  FileEntry* e = Find(id);
  if (!e || e->held) return;
  detail::CountLoose(e->depth, true, -1);
  e->held = true;
}

namespace detail {

void FCloseRollback(int32_t depth) {
  for (int32_t i = g_files.count - 1; i >= 0; --i) {
    const FileEntry& e = g_files.entries[i];
    if (!e.held && e.depth >= depth) CloseEntry(i);
  }
}

void FAdopt(int32_t depth) {
  for (int32_t i = 0; i < g_files.count; ++i) {
    FileEntry& e = g_files.entries[i];
    if (e.held || e.depth != depth) continue;
    CountLoose(depth, true, -1);
    e.depth = depth - 1;
    CountLoose(depth - 1, true, 1);
  }
}

}  // namespace detail

const char* FName(int32_t id) {
  FileEntry* e = Find(id);
  return e ? e->name : "";
}

std::string FLeakReport() {
  if (g_files.count == 0) return {};
  std::string text = "Files not closed: " + NumText(g_files.count, 100);
  while (g_files.count > 0) {
    text += "\r\n  ";
    text += g_files.entries[g_files.count - 1].name;
    CloseEntry(g_files.count - 1);
  }
  return text;
}

}  // namespace vek
