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
  int32_t mem_count = 0;
  int32_t file_count = 0;
  bool raised = false;
  bool boundary = false;
  int32_t group = 0;
  int32_t code = 0;
  MonCleanup cleanup;
};

struct ErrorState {
  int32_t group = 0;
  int32_t code = 0;
  std::string text;
  bool locked = false;
  int32_t warn_group = 0;
  int32_t warn_code = 0;
  std::string warn_text;
  std::string current_file;

  BlockRecord blocks[kBlockSlots];
  int depth = 0;
  int handled = 0;  // exceptions handled since the last exit
  bool suspended = false;
  bool next_is_boundary = false;
};

struct MemEntry {
  void* block;
  void** owner;
  int64_t size;
  char label[96];
};

struct MemTable {
  MemEntry entries[kMemTableSize];
  int32_t count = 0;
  int32_t max_count = 0;
};

struct FileEntry {
  int32_t id;
  bool text;
  std::FILE* file;
  int8_t last_op;  // 0 none, 1 read, 2 write: stdio needs a seek between the two
  char name[256];
};

struct FileTable {
  FileEntry entries[kFileTableSize];
  int32_t count = 0;
  int32_t next_id = 0;
};

struct TraceState {
  std::string file_name;  // empty means the default root trace file
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

// Frees the resources of a block: memory and files above its entry counts.
void FreeBlockResources(const BlockRecord& block);

}  // namespace vek::detail
