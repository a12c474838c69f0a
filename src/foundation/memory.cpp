#include "foundation/memory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/foundation_state.h"

namespace vek {

namespace detail {
MemTable g_mem;
}  // namespace detail

using detail::g_mem;
using detail::MemEntry;

namespace {

int32_t FindBlock(const void* block) {
  if (!block) return -1;
  for (int32_t i = 0; i < g_mem.count; ++i)
    if (g_mem.entries[i].block == block) return i;
  return -1;
}

// Writes the grouped site number (1,234) into `out`; returns the length.
int GroupedSite(uint32_t v, char* out) {
  char digits[16];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v);
  int len = 0;
  for (int i = n - 1; i >= 0; --i) {
    out[len++] = digits[i];
    if (i > 0 && i % 3 == 0) out[len++] = ',';
  }
  return len;
}

// Builds the label in place: it is made on every allocation, so no heap and
// no formatting engine.
void SetLabel(MemEntry& e, int32_t index, int32_t kind, const char* label, int32_t site) {
  constexpr size_t kMax = sizeof e.label - 1;
  size_t n = 0;
  auto put = [&](const char* text, size_t len) {
    len = std::min(len, kMax - n);
    std::memcpy(e.label + n, text, len);
    n += len;
  };
  const char head[2] = {kind == kMemString ? 'S' : (kind == kMemNew ? 'N' : 'C'), ':'};
  put(head, 2);
  if (label && *label) {
    put(label, std::strlen(label));
  } else {
    const std::string handle = "Handle #" + std::to_string(index);
    put(handle.data(), handle.size());
  }
  char site_text[32];
  site_text[0] = ':';
  put(site_text, static_cast<size_t>(GroupedSite(static_cast<uint32_t>(site), site_text + 1)) + 1);
  e.label[n] = '\0';
}

// Removes entry i by moving the last entry into its place.
void RemoveEntry(int32_t i) {
  const MemEntry& e = g_mem.entries[i];
  if (!e.held) detail::CountLoose(e.depth, false, -1);
  --g_mem.count;
  if (i != g_mem.count) g_mem.entries[i] = g_mem.entries[g_mem.count];
}

}  // namespace

int64_t MemRoundedSize(int64_t size) {
  if (size <= 0) return 0;
  const double scaled = std::nearbyint(static_cast<double>(size) * 1.05);
  int64_t rounded = static_cast<int64_t>(scaled);
  rounded = (rounded + 3) & ~int64_t(3);
  return rounded < 4 ? 4 : rounded;
}

int32_t _memalloc_(void** variable, int64_t size, int32_t site, int32_t kind, const char* label,
                   bool held) {
  ProcScope proc("Basic._memalloc_");
  int32_t result = kMemOk;
  const int64_t real = MemRoundedSize(size);
  // Sizes that do not fit the address space are an allocation failure, not a wrap.
  // (1 TiB is far beyond any buffer the engine needs and below every
  // allocator's own limit.)
  const bool too_big = real <= 0 || static_cast<uint64_t>(real) > std::min<uint64_t>(SIZE_MAX / 2, uint64_t(1) << 40);
  if (size <= 0) {
    result = kMemInvalidRequest;
  } else {
    const int32_t found = FindBlock(*variable);
    if (found < 0 || kind == kMemNew) {
      if (g_mem.count >= kMemTableSize) {
        result = kMemFatal;
      } else {
        void* block = too_big ? nullptr : std::malloc(static_cast<size_t>(real));
        if (!block) {
          result = kMemAllocFault;
        } else {
          MemEntry& e = g_mem.entries[g_mem.count];
          e.block = block;
          e.size = real;
          e.depth = MonDepth();
          e.held = held;
          if (!held) detail::CountLoose(e.depth, false, 1);
          SetLabel(e, g_mem.count, kind, label, site);
          *variable = block;
          ++g_mem.count;
          if (g_mem.count > g_mem.max_count) g_mem.max_count = g_mem.count;
        }
      }
    } else {
      MemEntry& e = g_mem.entries[found];
      void* block = nullptr;
      if (!too_big) {
        if (kind == kMemString) {
          // A fresh string buffer: the old content is not kept.
          block = std::malloc(static_cast<size_t>(real));
          if (block) std::free(e.block);
        } else {
          block = std::realloc(e.block, static_cast<size_t>(real));
        }
      }
      if (!block) {
        result = kMemReallocFault;
      } else {
        e.block = block;
        e.size = real;
        SetLabel(e, found, kind, label, site);
        *variable = block;
      }
    }
  }
  ErrReportCode(kGrpMemory, result, site);
  return result;
}

void MemFree(void** variable) {
  WarnClear();
  const int32_t i = FindBlock(*variable);
  if (i < 0) return;
  // One allocator serves both kinds, so the release cannot fail here.
  std::free(g_mem.entries[i].block);
  RemoveEntry(i);
  *variable = nullptr;
}

void MemXchg(void** a, void** b) {
  ProcScope proc("Basic.MemXchg");
  const int32_t ia = FindBlock(*a);
  const int32_t ib = FindBlock(*b);
  if (ia < 0 || ib < 0) {
    ErrRaise(kGrpMemory, kMemManagerFault, 1);
    return;
  }
  std::swap(g_mem.entries[ia].block, g_mem.entries[ib].block);
  std::swap(g_mem.entries[ia].size, g_mem.entries[ib].size);
}

bool MemTracked(const void* block) { return FindBlock(block) >= 0; }
int32_t MemCount() { return g_mem.count; }
int32_t MemMaxCount() { return g_mem.max_count; }

int64_t MemSize(const void* block) {
  const int32_t i = FindBlock(block);
  return i < 0 ? 0 : g_mem.entries[i].size;
}

const char* MemLabel(const void* block) {
  const int32_t i = FindBlock(block);
  return i < 0 ? "" : g_mem.entries[i].label;
}

namespace detail {

void MemRollback(int32_t depth) {
  // From the top down: a removal moves the last entry, already visited, into
  // the freed slot, so every entry is seen once whatever the order of
  // earlier removals.
  for (int32_t i = g_mem.count - 1; i >= 0; --i) {
    const MemEntry& e = g_mem.entries[i];
    if (e.held || e.depth < depth) continue;
    std::free(e.block);
    RemoveEntry(i);
  }
}

void MemAdopt(int32_t depth) {
  for (int32_t i = 0; i < g_mem.count; ++i) {
    MemEntry& e = g_mem.entries[i];
    if (e.held || e.depth != depth) continue;
    CountLoose(depth, false, -1);
    e.depth = depth - 1;
    CountLoose(depth - 1, false, 1);
  }
}

}  // namespace detail

std::string MemLeakReport() {
  if (g_mem.count == 0) return {};
  std::string text = "Max. allocated memory handles: " + NumText(g_mem.max_count, 100) + "\r\n";
  text += "Memory handles not freed:";
  while (g_mem.count > 0) {
    MemEntry& e = g_mem.entries[g_mem.count - 1];
    text += "\r\n  ";
    text += e.label;
    text += ":" + NumText(e.size, 100) + " bytes";
    void* block = e.block;
    MemFree(&block);
  }
  return text;
}

}  // namespace vek
