// The value list: typed fields over rows, with the dialog's two-column use.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "foundation/errors.h"
#include "foundation/memory.h"
#include "foundation/value_list.h"

using namespace vek;

namespace {

// Runs `body` and answers the error pair it left (0, 0 when none).
template <class F>
std::pair<int32_t, int32_t> Pair(F body) {
  MonitoredBoundary("Test.VList", body);
  return {ErrGroup(), ErrCode()};
}

const std::pair<int32_t, int32_t> kNoError{0, 0};
const std::pair<int32_t, int32_t> kInvalidType{4, 3};

TEST(ValueList, TwoColumnListFindsAndReads) {
  const int32_t before = MemCount();
  VList list{};
  VList_Prepare2(&list);
  VList_Add2(&list, "24-bit  (16M colors)", 24);
  VList_Add2(&list, "16-bit  (65k colors)", 16);
  VList_Add2(&list, "8-bit  (256 colors)", 8);
  EXPECT_EQ(VList_GetCount(&list), 3);
  EXPECT_EQ(VList_FindInt(&list, 1, 16, -1), 1);
  EXPECT_EQ(VList_FindInt(&list, 1, 15, -1), -1);
  EXPECT_EQ(VList_GetStr(&list, 2, 0, "?"), "8-bit  (256 colors)");
  EXPECT_EQ(VList_GetInt(&list, 0, 1, -1), 24);
  // Rows and fields that do not exist give the caller's default.
  EXPECT_EQ(VList_GetInt(&list, 5, 1, -7), -7);
  EXPECT_EQ(VList_GetInt(&list, -1, 1, -7), -7);
  EXPECT_EQ(VList_GetInt(&list, 0, 99, -7), -7);
  EXPECT_EQ(VList_GetStr(&list, 3, 0, "none"), "none");
  VList_SetInt(&list, 9, 1, 5);  // nothing happens
  EXPECT_EQ(MemCount(), before + 6);  // three rows and their three texts
  VList_Free(&list);
  EXPECT_EQ(MemCount(), before);
  VList_Free(&list);  // twice is harmless
}

TEST(ValueList, TypeMismatchesReportInvalidType) {
  VList list{};
  VList_Prepare2(&list);
  VList_Add2(&list, "a", 1);
  EXPECT_EQ(Pair([&] { VList_SetInt(&list, 0, 0, 5); }), kInvalidType);
  EXPECT_EQ(Pair([&] { VList_SetStr(&list, 0, 1, "x"); }), kInvalidType);
  EXPECT_EQ(Pair([&] { VList_GetInt(&list, 0, 0, 0); }), kInvalidType);
  EXPECT_EQ(Pair([&] { VList_GetStr(&list, 0, 1, ""); }), kInvalidType);
  EXPECT_EQ(ErrMsg(4, 3), "Invalid variable type.");
  // A repeated field id, too; the list is unchanged by all of these.
  EXPECT_EQ(Pair([&] { VList_AddField(&list, 1, kVListInt); }), kInvalidType);
  EXPECT_EQ(list.count, 2);
  EXPECT_EQ(VList_GetStr(&list, 0, 0, ""), "a");
  EXPECT_EQ(VList_GetInt(&list, 0, 1, 0), 1);
  // A missing slot is no error even on a field of the wrong type.
  EXPECT_EQ(Pair([&] { VList_SetInt(&list, 4, 0, 5); }), kNoError);
  VList_Free(&list);
}

TEST(ValueList, FieldsAddedLaterAndTheSeventeenth) {
  VList list{};
  VList_Alloc(&list);
  VList_AddField(&list, 10, kVListInt);
  VList_Append(&list);
  VList_Append(&list);
  VList_SetInt(&list, 0, 10, 3);
  VList_AddField(&list, 20, kVListInt);
  VList_AddField(&list, 30, kVListStr);
  EXPECT_EQ(VList_GetInt(&list, 0, 20, 0), kUndefined);
  EXPECT_EQ(VList_GetInt(&list, 1, 20, 0), kUndefined);
  EXPECT_EQ(VList_GetInt(&list, 0, 10, 0), 3);  // older fields keep their values
  EXPECT_EQ(VList_GetStr(&list, 1, 30, "x"), "");
  // A fresh integer slot holds the undefined marker, so searching for it
  // finds the first row never set.
  EXPECT_EQ(VList_FindInt(&list, 10, kUndefined, -1), 1);
  for (int32_t id = 100; id < 113; ++id) VList_AddField(&list, id, kVListInt);
  EXPECT_EQ(list.count, 16);
  EXPECT_EQ(Pair([&] { VList_AddField(&list, 999, kVListInt); }), kNoError);
  EXPECT_EQ(list.count, 16);
  EXPECT_EQ(VList_FindFieldByID(&list, 999), kUndefined);
  EXPECT_EQ(VList_FindFieldByID(&list, 112), 15);
  VList_Free(&list);
}

TEST(ValueList, SearchNeverMatchesRowsWithoutTheValue) {
  VList list{};
  VList_Prepare2(&list);
  VList_Add2(&list, "min", INT_MIN);
  VList_Add2(&list, "max", INT_MAX);
  EXPECT_EQ(VList_FindInt(&list, 1, INT_MIN, -1), 0);
  EXPECT_EQ(VList_FindInt(&list, 1, INT_MAX, -1), 1);
  // A field id the list lacks: the default, for any value (also value - 1
  // wrapping at the smallest integer).
  EXPECT_EQ(VList_FindInt(&list, 7, INT_MIN, -5), -5);
  EXPECT_EQ(VList_FindInt(&list, 7, 0, -5), -5);
  VList empty{};
  EXPECT_EQ(VList_FindInt(&empty, 1, 0, -3), -3);
  EXPECT_EQ(VList_GetCount(&empty), 0);
  VList_Free(&list);
}

TEST(ValueList, TextsAreCopiedAndReplacedWithoutLeaks) {
  const int32_t before = MemCount();
  VList list{};
  VList_Prepare2(&list);
  std::string text = "first";
  VList_Add2(&list, text.c_str(), 1);
  text[0] = 'X';  // the list holds its own copy
  EXPECT_EQ(VList_GetStr(&list, 0, 0, ""), "first");
  VList_SetStr(&list, 0, 0, "a much longer second text");
  VList_SetStr(&list, 0, 0, nullptr);
  EXPECT_EQ(VList_GetStr(&list, 0, 0, "?"), "");
  EXPECT_EQ(MemCount(), before + 2);
  // Allocating again drops the old rows instead of losing them.
  VList_Prepare2(&list);
  EXPECT_EQ(VList_GetCount(&list), 0);
  EXPECT_EQ(MemCount(), before);
  VList_Free(&list);
  EXPECT_EQ(MemCount(), before);
}

}  // namespace
