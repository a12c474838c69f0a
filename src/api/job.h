// Access to job records for the exports: validation and text fields.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/memory.h"
#include "vek/vek.h"

namespace vek::api {

// A tracked block for a record the host holds by handle: the table keeps it
// for the leak report, but no library variable owns it.
template <class T>
T* AllocHostRecord(int32_t site, const char* label) {
  T* record = nullptr;
  MemAllocHeld(record, static_cast<int64_t>(sizeof(T)), site, kMemNew, label);
  return record;
}

// A job handle the library handed out and has not freed yet.
bool JobValid(const VekJob* job);
// Raises "Invalid job handle." for a null, freed or foreign handle.
void CheckJob(const VekJob* job, int32_t site);
void ResetVekRec(VekJob& job);
std::string GetShortStr(const VekShortStr& s);
void SetShortStr(VekShortStr& s, const char* text);

}  // namespace vek::api
