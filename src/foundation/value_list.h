// Value list: a small table of up to 16 typed fields, known by ids, over any
// number of rows. The output settings dialog keeps its selectable colour
// depths in one (text shown, number behind it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vek {

inline constexpr int32_t kVListMaxFields = 16;

enum VListType : int32_t { kVListInt = 1, kVListDouble = 3, kVListStr = 4 };

// One 8-byte value slot; which member holds depends on the field's type.
union VListSlot {
  int32_t i;
  double d;
  char* s;  // tracked text, or null
  uint64_t raw;
};
static_assert(sizeof(VListSlot) == 8);

struct VListRow {
  VListSlot slot[kVListMaxFields];
};
static_assert(sizeof(VListRow) == 128);

// Owned by its user, zero-filled before VList_Alloc.
struct VList {
  int32_t ids[kVListMaxFields];
  int32_t types[kVListMaxFields];
  std::vector<VListRow*>* rows;  // tracked rows, in order
  int32_t count;                 // fields in use
};

void VList_Alloc(VList* list);
void VList_Free(VList* list);
// Field index 0..15, or the undefined marker.
int32_t VList_FindFieldByID(const VList* list, int32_t id);
// A repeated id reports (4, 3); a 17th field is ignored.
void VList_AddField(VList* list, int32_t id, int32_t type);
// Index of the new row.
int32_t VList_Append(VList* list);
int32_t VList_GetCount(const VList* list);
// Setters and getters on a field of another type report (4, 3); rows or
// fields that do not exist are no error: setters do nothing, getters give
// the default.
void VList_SetInt(VList* list, int32_t row, int32_t id, int32_t value);
void VList_SetStr(VList* list, int32_t row, int32_t id, const char* text);
int32_t VList_GetInt(const VList* list, int32_t row, int32_t id, int32_t def);
std::string VList_GetStr(const VList* list, int32_t row, int32_t id, const std::string& def);
// Index of the first row whose integer field `id` equals `value`, else `def`.
int32_t VList_FindInt(const VList* list, int32_t id, int32_t value, int32_t def);
// A text field 0 and an integer field 1.
void VList_Prepare2(VList* list);
void VList_Add2(VList* list, const char* text, int32_t number);

}  // namespace vek
