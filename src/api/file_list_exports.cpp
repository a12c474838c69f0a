#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "api/call_frame.h"
#include "api/file_list.h"
#include "api/job.h"
#include "engine/format_registry.h"
#include "engine/media_access.h"
#include "foundation/memory.h"
#include "platform/system/system.h"

namespace vek::api {

namespace {

constexpr int32_t kMaskEverything = 2147483647;
constexpr int32_t kMaskByExtension = 0x70000000;

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Decides whether a file belongs in the list; fills `info` when it was opened.
bool Accept(const std::string& name, int32_t mask, QUniInfo& info, bool& opened) {
  opened = false;
  if (mask == kMaskEverything) return true;
  if (mask & kMaskByExtension) {
    const int32_t id = FmtId(name, kReadTable);
    if (id == kUndefined) return false;
    if (mask == kMaskByExtension) return true;
    const int32_t flags = FmtFlags(id, kReadTable);
    return (flags & mask) != 0;
  }
  if (!UniInfo(name, info, 1, false)) return false;
  opened = true;
  if (mask == 0) return true;
  const int32_t flags = FmtFlags(info.id, kReadTable);
  if (flags == kUndefined || (flags & mask) == 0) return false;
  if (mask & (kFfStill | kFfImages)) {
    if (!info.img.valid || !info.img.supported || info.img.width == 0 || info.img.height == 0)
      return false;
  }
  if (mask & (kFfSoundOnly | kFfSound)) {
    if (!info.snd.valid || !info.snd.supported || !(info.snd.rate > 0)) return false;
  }
  return true;
}

void AddSums(VekFileList& list, const QUniInfo& info) {
  if (info.img.valid && info.img.width > 0 && info.img.height > 0) {
    list.frames += info.img.frames;
    if (int64_t(info.img.width) * info.img.height > int64_t(list.resX) * list.resY) {
      list.resX = info.img.width;
      list.resY = info.img.height;
    }
    if (info.img.bits > list.bpp) list.bpp = std::clamp(info.img.bits, 8, 24);
    if (info.img.fps > list.fps) list.fps = info.img.fps;
  }
  if (info.snd.valid && info.snd.rate > 0) {
    list.samples += info.snd.samples;
    const int32_t rate = static_cast<int32_t>(std::lround(info.snd.rate));
    if (rate > list.audFreq) list.audFreq = std::clamp(rate, 8000, 44100);
    if (info.snd.channels > list.audChan) list.audChan = std::clamp(info.snd.channels, 1, 2);
    if (info.snd.bits > list.audBits) list.audBits = std::clamp(info.snd.bits, 8, 16);
  }
}

void AddBlock(VekFileList& list, const std::string& spec, int32_t mask) {
  ApiTrace("AddBlock");
  const std::string full = platform::FullPath(spec);
  // The full path uses the system's separator (a backslash on Windows).
  const auto slash = full.find_last_of(std::string("/") + platform::PathSeparator());
  const std::string folder = full.substr(0, slash + 1);
  const std::string pattern = full.substr(slash + 1);
  std::vector<std::string> entries;
  platform::ListMatchingFiles(folder, pattern, entries);
  std::vector<std::string> found;
  for (const std::string& e : entries) {
    const std::string name = folder + e;
    QUniInfo info{};
    bool opened = false;
    bool ok = false;
        MonitoredBoundary("vekmain._VekFilesAddBlock", [&] { ok = Accept(name, mask, info, opened); });
    if (!ok || !ErrNone()) {
      ErrClear();
      continue;
    }
    ApiTrace("  " + name);
    found.push_back(name);
    if (opened) AddSums(list, info);
  }
  std::sort(found.begin(), found.end(),
            [](const std::string& a, const std::string& b) { return platform::CompareNoCase(a, b) < 0; });
  list.names.insert(list.names.end(), found.begin(), found.end());
}

bool ListValid(const VekFileList* list) { return list && MemTracked(list); }

void CheckList(const VekFileList* list, int32_t site) {
  if (!ListValid(list)) ErrRaiseText(kGrpText, "Invalid file list handle.", site);
}

}  // namespace

int32_t ListAdd(VekFileList& list, const char* spec, int32_t mask) {
  const size_t before = list.names.size();
  if (!spec) return 0;
  ApiTrace("FilesCollect (init)");
  const std::string text = Trim(spec);
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = text.find(';', start);
    const std::string block = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!block.empty()) AddBlock(list, block, mask);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (std::fabs(list.fps) < 0.0001) list.fps = 30.0;
  ApiTrace("FilesCollect (done): frames=" + NumText(list.frames) + ", resX=" +
           NumText(list.resX) + ", resY=" + NumText(list.resY) + ", bpp=" +
           NumText(list.bpp) + ", fps=" + TrDouble(list.fps) + ", samples=" +
           NumText(list.samples) + ", audFreq=" + NumText(list.audFreq) +
           ", audChan=" + NumText(list.audChan) + ", audBits=" + NumText(list.audBits));
  return static_cast<int32_t>(list.names.size() - before);
}

double ListFrameRate(const VekFileList& list) { return list.fps; }

}  // namespace vek::api

using namespace vek;
using namespace vek::api;

extern "C" {

VEK_EXPORT VekList* VEKAPI VekListAlloc(void) {
  return ApiCall<VekList*>("vekmain.VekListAlloc", nullptr, []() -> VekList* {
    auto* list = new (AllocHostRecord<VekFileList>(2919, "vekmain.VekListAlloc.listP")) VekFileList();
    ApiTrace("VekListAlloc: " + TrPtr(list));
    return reinterpret_cast<VekList*>(list);
  });
}

VEK_EXPORT void VEKAPI VekListFree(VekList* handle) {
  ApiCall("vekmain.VekListFree", [&] {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 201);
    ApiTrace("VekListFree: " + TrPtr(list));
    list->~VekFileList();
    MemFree(list);
  });
}

VEK_EXPORT int32_t VEKAPI VekListAdd(VekList* handle, const char* spec, int32_t mask) {
  return ApiCall<int32_t>("vekmain.VekListAdd", 0, [&]() -> int32_t {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 202);
    ApiTrace(std::string("VekListAdd: fs=") + (spec ? spec : "") + ", type=" + TrHex(uint32_t(mask)));
    return ListAdd(*list, spec, mask);
  });
}

VEK_EXPORT void VEKAPI VekListGetName(VekList* handle, int32_t index, char* buffer) {
  ApiCall("vekmain.VekListGetName", [&] {
    if (!buffer) return;
    buffer[0] = '\0';
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 203);
    ApiTrace("VekListGetName (init): " + NumText(index));
    if (index < 0 || index >= static_cast<int32_t>(list->names.size())) return;
    // The interface has no buffer length; 264 bytes is the documented minimum.
    const std::string& name = list->names[static_cast<size_t>(index)];
    const size_t n = std::min<size_t>(name.size(), 263);
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
    ApiTrace("VekListGetName (done): " + std::string(buffer));
  });
}

VEK_EXPORT int32_t VEKAPI VekListGetFileCount(VekList* handle) {
  return ApiCall<int32_t>("vekmain.VekListGetFileCount", 0, [&]() -> int32_t {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 206);
    return static_cast<int32_t>(list->names.size());
  });
}

VEK_EXPORT int32_t VEKAPI VekListGetFrameCount(VekList* handle) {
  return ApiCall<int32_t>("vekmain.VekListGetFrameCount", 0, [&]() -> int32_t {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 207);
    return list->frames;
  });
}

VEK_EXPORT int32_t VEKAPI VekListGetMaxRes(VekList* handle, int32_t* width, int32_t* height, int32_t* bpp) {
  ApiCall("vekmain.VekListGetMaxRes", [&] {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 204);
    if (width) *width = list->resX;
    if (height) *height = list->resY;
    if (bpp) *bpp = list->bpp;
  });
  return LastError().status;
}

VEK_EXPORT int32_t VEKAPI VekListGetSampleCount(VekList* handle) {
  return ApiCall<int32_t>("vekmain.VekListGetSampleCount", 0, [&]() -> int32_t {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 208);
    return list->samples;
  });
}

VEK_EXPORT int32_t VEKAPI VekListGetAudioFormat(VekList* handle, int32_t* rate, int32_t* channels, int32_t* bits) {
  ApiCall("vekmain.VekListGetAudioFormat", [&] {
    auto* list = reinterpret_cast<VekFileList*>(handle);
    CheckList(list, 205);
    if (rate) *rate = list->audFreq;
    if (channels) *channels = list->audChan;
    if (bits) *bits = list->audBits;
  });
  return LastError().status;
}

}  // extern "C"
