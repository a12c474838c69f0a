#include "foundation/value_list.h"

#include <cstring>

#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

namespace {

void ResetSlot(VListSlot& slot, int32_t type) {
  slot.raw = 0;
  if (type == kVListInt) slot.i = kUndefined;
  else if (type == kVListDouble) slot.d = kUndefinedD;
}

// The slot of (row, field id) and its type; null when either does not exist.
VListSlot* FindSlot(const VList* list, int32_t row, int32_t id, int32_t* type) {
  const int32_t f = VList_FindFieldByID(list, id);
  if (f == kUndefined || !list->rows || row < 0 || row >= static_cast<int32_t>(list->rows->size()))
    return nullptr;
  *type = list->types[f];
  return &(*list->rows)[static_cast<size_t>(row)]->slot[f];
}

}  // namespace

void VList_Alloc(VList* list) {
  Monitored("ValueList.VList_Alloc", [&] {
    if (!list) ErrRaise(kGrpGeneral, kGenOutOfRange, 1);
    if (list->rows) VList_Free(list);  // never drop a live list's rows
    list->rows = new std::vector<VListRow*>();
    list->count = 0;
  });
}

void VList_Free(VList* list) {
  if (!list || !list->rows) return;
  Monitored("ValueList.VList_Free", [&] {
    for (VListRow*& row : *list->rows) {
      for (int32_t f = 0; f < list->count; ++f)
        if (list->types[f] == kVListStr) MemFree(row->slot[f].s);
      MemFree(row);
    }
    delete list->rows;
    list->rows = nullptr;
    list->count = 0;
  });
}

int32_t VList_FindFieldByID(const VList* list, int32_t id) {
  if (!list) return kUndefined;
  const int32_t n = list->count < 0 ? 0 : (list->count > kVListMaxFields ? kVListMaxFields : list->count);
  for (int32_t f = 0; f < n; ++f)
    if (list->ids[f] == id) return f;
  return kUndefined;
}

void VList_AddField(VList* list, int32_t id, int32_t type) {
  Monitored("ValueList.VList_AddField", [&] {
    if (!list) return;
    if (VList_FindFieldByID(list, id) != kUndefined) ErrRaise(kGrpGeneral, kGenInvalidType, 2);
    if (list->count >= kVListMaxFields) return;
    const int32_t f = list->count++;
    list->ids[f] = id;
    list->types[f] = type;
    if (list->rows)
      for (VListRow* row : *list->rows) ResetSlot(row->slot[f], type);
  });
}

int32_t VList_Append(VList* list) {
  return Monitored("ValueList.VList_Append", [&]() -> int32_t {
    if (!list || !list->rows) ErrRaise(kGrpGeneral, kGenOutOfRange, 3);
    Tracked<VListRow> item(1, 177, "ValueList.VList_Append.itemP");
    for (int32_t f = 0; f < kVListMaxFields; ++f)
      ResetSlot(item[0].slot[f], f < list->count ? list->types[f] : 0);
    list->rows->reserve(list->rows->size() + 1);
    VListRow* row = nullptr;
    item.ReleaseTo(row);
    list->rows->push_back(row);
    return static_cast<int32_t>(list->rows->size()) - 1;
  });
}

int32_t VList_GetCount(const VList* list) {
  return list && list->rows ? static_cast<int32_t>(list->rows->size()) : 0;
}

void VList_SetInt(VList* list, int32_t row, int32_t id, int32_t value) {
  Monitored("ValueList.VList_SetInt", [&] {
    int32_t type = 0;
    VListSlot* slot = FindSlot(list, row, id, &type);
    if (!slot) return;
    if (type != kVListInt) ErrRaise(kGrpGeneral, kGenInvalidType, 4);
    slot->i = value;
  });
}

void VList_SetStr(VList* list, int32_t row, int32_t id, const char* text) {
  Monitored("ValueList.VList_SetStr", [&] {
    int32_t type = 0;
    VListSlot* slot = FindSlot(list, row, id, &type);
    if (!slot) return;
    if (type != kVListStr) ErrRaise(kGrpGeneral, kGenInvalidType, 5);
    const size_t n = text ? std::strlen(text) : 0;
    // The new text is made before the old one goes, so a failure keeps it.
    Tracked<char> copy(static_cast<int64_t>(n) + 1, 258, "ValueList.VList_SetStr.valueP^.vStrP");
    if (n) std::memcpy(copy.get(), text, n);
    copy[n] = '\0';
    MemFree(slot->s);
    copy.ReleaseTo(slot->s);
  });
}

int32_t VList_GetInt(const VList* list, int32_t row, int32_t id, int32_t def) {
  return Monitored("ValueList.VList_GetInt", [&]() -> int32_t {
    int32_t type = 0;
    const VListSlot* slot = FindSlot(list, row, id, &type);
    if (!slot) return def;
    if (type != kVListInt) ErrRaise(kGrpGeneral, kGenInvalidType, 6);
    return slot->i;
  });
}

std::string VList_GetStr(const VList* list, int32_t row, int32_t id, const std::string& def) {
  return Monitored("ValueList.VList_GetStr", [&]() -> std::string {
    int32_t type = 0;
    const VListSlot* slot = FindSlot(list, row, id, &type);
    if (!slot) return def;
    if (type != kVListStr) ErrRaise(kGrpGeneral, kGenInvalidType, 7);
    return slot->s ? std::string(slot->s) : std::string();
  });
}

int32_t VList_FindInt(const VList* list, int32_t id, int32_t value, int32_t def) {
  return Monitored("ValueList.VList_FindInt", [&]() -> int32_t {
    // value - 1 as the default: a row without the field never matches. The
    // subtraction wraps for the smallest integer, as the stored slots do.
    const int32_t miss = static_cast<int32_t>(static_cast<uint32_t>(value) - 1u);
    const int32_t n = VList_GetCount(list);
    for (int32_t r = 0; r < n; ++r)
      if (VList_GetInt(list, r, id, miss) == value) return r;
    return def;
  });
}

void VList_Prepare2(VList* list) {
  Monitored("ValueList.VList_Prepare2", [&] {
    VList_Alloc(list);
    VList_AddField(list, 0, kVListStr);
    VList_AddField(list, 1, kVListInt);
  });
}

void VList_Add2(VList* list, const char* text, int32_t number) {
  Monitored("ValueList.VList_Add2", [&] {
    const int32_t row = VList_Append(list);
    VList_SetStr(list, row, 0, text);
    VList_SetInt(list, row, 1, number);
  });
}

}  // namespace vek
