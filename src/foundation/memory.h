// Tracked memory: every engine buffer is registered with the variable that
// holds it, so monitored blocks can free it on error and unload can report leaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace vek {

inline constexpr int32_t kMemTableSize = 10240;

enum MemKind : int32_t {
  kMemString = 1,   // "S": fresh buffer on every request
  kMemNew = 2,      // "N": always a new block
  kMemRealloc = 3,  // "C": reallocated in place, content kept
};

// Memory result codes (group 5).
enum MemResult : int32_t {
  kMemOk = 0,
  kMemAllocFault = 1,
  kMemManagerFault = 2,
  kMemReallocFault = 3,
  kMemFreeFault = 4,
  kMemInvalidRequest = 5,
  kMemFatal = 6,
};

// Size actually allocated for a request: x1.05, ties to even, up to a multiple of 4.
int64_t MemRoundedSize(int64_t size);

// Allocates into `*variable` (or resizes the tracked block it holds). A
// block taken without an owner (`held` false) belongs to the innermost
// monitored block, which frees it if it fails; a held one is released by its
// owner alone: an owning handle, or the record that holds it.
int32_t _memalloc_(void** variable, int64_t size, int32_t site, int32_t kind, const char* label,
                   bool held = false);
void MemFree(void** variable);
void MemXchg(void** a, void** b);
bool MemTracked(const void* block);
int32_t MemCount();
int32_t MemMaxCount();
// The recorded size of a tracked block, 0 when untracked.
int64_t MemSize(const void* block);
// The label of a tracked block, empty when untracked.
const char* MemLabel(const void* block);
// The leak report text (empty when nothing is held); frees what it lists.
std::string MemLeakReport();

template <class T>
int32_t MemAlloc(T*& variable, int64_t size, int32_t site, int32_t kind, const char* label,
                 bool held = false) {
  return _memalloc_(reinterpret_cast<void**>(&variable), size, site, kind, label, held);
}
// For buffers a record holds (image pixels, sound data, host records): the
// record's own free function releases them.
template <class T>
int32_t MemAllocHeld(T*& variable, int64_t size, int32_t site, int32_t kind, const char* label) {
  return _memalloc_(reinterpret_cast<void**>(&variable), size, site, kind, label, true);
}
template <class T>
void MemFree(T*& variable) {
  MemFree(reinterpret_cast<void**>(&variable));
}
template <class T>
void MemXchg(T*& a, T*& b) {
  MemXchg(reinterpret_cast<void**>(&a), reinterpret_cast<void**>(&b));
}

// Owning handle over a tracked block of T. Frees on destruction, also while
// an error unwinds; monitored blocks never touch what it holds.
template <class T>
class Tracked {
 public:
  Tracked() = default;
  Tracked(int64_t count, int32_t site, const char* label, int32_t kind = kMemNew) {
    Alloc(count, site, label, kind);
  }
  ~Tracked() { MemFree(ptr_); }
  Tracked(const Tracked&) = delete;
  Tracked& operator=(const Tracked&) = delete;
  Tracked(Tracked&& other) noexcept { Take(other); }
  Tracked& operator=(Tracked&& other) noexcept {
    if (this != &other) {
      MemFree(ptr_);
      Take(other);
    }
    return *this;
  }

  // Allocates (or, for kMemRealloc, resizes) room for `count` elements.
  // Reports group 5 and raises on failure.
  void Alloc(int64_t count, int32_t site, const char* label, int32_t kind = kMemRealloc) {
    if (kind == kMemNew) MemFree(ptr_);
    const int64_t bytes = count > 0 && count <= INT64_MAX / static_cast<int64_t>(sizeof(T))
                              ? count * static_cast<int64_t>(sizeof(T))
                              : (count > 0 ? -1 : count);
    MemAllocHeld(ptr_, bytes, site, kind, label);
    count_ = ptr_ ? count : 0;
  }
  void Reset() {
    MemFree(ptr_);
    count_ = 0;
  }
  // Hands the block to a record, which then releases it.
  T* ReleaseTo(T*& variable) {
    variable = ptr_;
    ptr_ = nullptr;
    count_ = 0;
    return variable;
  }

  T* get() const { return ptr_; }
  T* data() const { return ptr_; }
  int64_t size() const { return ptr_ ? count_ : 0; }
  T& operator[](size_t i) const { return ptr_[i]; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  void Take(Tracked& other) {
    ptr_ = other.ptr_;
    count_ = other.count_;
    other.ptr_ = nullptr;
    other.count_ = 0;
  }
  T* ptr_ = nullptr;
  int64_t count_ = 0;
};

}  // namespace vek
