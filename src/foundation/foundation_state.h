// Process-wide state of the runtime foundation, in one place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "foundation/errors.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "foundation/trace.h"

namespace vek::detail {

inline constexpr int kBlockSlots = 257;  // slot 0 is the root

struct BlockRecord {
  // Table entries this block holds without an owner: freed when it fails,
  // handed to the enclosing block when it succeeds.
  int32_t loose_mem = 0;
  int32_t loose_files = 0;
  bool boundary = false;
  MonCleanup cleanup;
};

struct ErrorState {
  int32_t group = 0;
  int32_t code = 0;
  std::string text;
  std::string path;  // procedure path of the last recorded error
  bool locked = false;
  int32_t warn_group = 0;
  int32_t warn_code = 0;
  std::string warn_text;
  std::string current_file;

  BlockRecord blocks[kBlockSlots];
  int depth = 0;
  bool suspended = false;  // clean-up callbacks run: no blocks open
};

struct MemEntry {
  void* block;
  int64_t size;
  int32_t depth;  // the block that holds it when it has no owner
  bool held;      // an owner (handle or record) releases it
  char label[96];
};

struct MemTable {
  MemEntry entries[kMemTableSize];
  int32_t count = 0;
  int32_t max_count = 0;
};

struct FileEntry {
  int32_t id;
  int32_t depth;  // the block that holds it when it has no owner
  bool held;      // an owning handle closes it
  bool text;
  std::FILE* file;
  int8_t last_op;  // 0 none, 1 read, 2 write: stdio needs a seek between the two
  bool written;    // data went out: a failing close loses some of it
  char name[256];
};

struct FileTable {
  FileEntry entries[kFileTableSize];
  int32_t count = 0;
  int32_t next_id = 0;
};

struct TraceState {
  std::string file_name;  // empty means the default root trace file
  std::string output;     // the file the current work writes
  const char* stack[kProcStackSize];
  int count = 0;
};

// Kept alive through static destruction: the unload report runs from a static
// destructor and still needs the error state and the trace.
template <class T>
union NoDestroy {
  T value;
  constexpr NoDestroy() : value() {}
  ~NoDestroy() {}
};

extern ErrorState& g_err;
extern MemTable g_mem;
extern FileTable g_files;
extern TraceState& g_trace;

// Frees the memory and closes the files without an owner that blocks at
// `depth` and deeper hold; hands them from `depth` to `depth - 1`.
void MemRollback(int32_t depth);
void FCloseRollback(int32_t depth);
void MemAdopt(int32_t depth);
void FAdopt(int32_t depth);
// Counts a loose entry in or out of the block at `depth`.
void CountLoose(int32_t depth, bool file, int32_t delta);

}  // namespace vek::detail
