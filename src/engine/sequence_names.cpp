// Numbered still-image sequences: frame0042.bmp, frame0043.bmp, ...
#include <cstdlib>
#include <cstring>

#include "platform/system/paths.h"
#include "engine/format_dispatch.h"
#include "engine/media_access.h"
#include "foundation/errors.h"

namespace vek {

bool SeqSplit(const std::string& name, bool allow_minus, std::string& prefix, int32_t& digits,
              int32_t& number, std::string& suffix) {
  const std::string folder = paths::Folder(name);
  const std::string file = paths::Name(name);
  prefix = folder;
  suffix.clear();
  std::string num;
  bool minus = false;
  for (size_t i = file.size(); i-- > 0;) {
    const char c = file[i];
    if (c >= '0' && c <= '9') {
      num.insert(num.begin(), c);
    } else if (c == '-' && allow_minus && !minus && !num.empty()) {
      minus = true;
    } else if (num.empty()) {
      suffix.insert(suffix.begin(), c);
    } else {
      prefix = folder + file.substr(0, i + 1);
      break;
    }
    if (minus && i > 0) {
      // The minus sign ends the number: what stands before it is the prefix.
      prefix = folder + file.substr(0, i);
      break;
    }
  }
  digits = static_cast<int32_t>(num.size());
  if (num.empty()) {
    suffix = paths::Extension(file);
    prefix = folder + paths::StripExtension(file);
    number = 0;
    return false;
  }
  // Numbers too long for 32 bits saturate rather than wrap.
  long long v = 0;
  for (char c : num) v = v < 1000000000000LL ? v * 10 + (c - '0') : v;
  if (v > INT32_MAX) v = INT32_MAX;
  number = static_cast<int32_t>(minus ? -v : v);
  return true;
}

std::string SeqName(const QSeqName& seq, int32_t index) {
  const int64_t n = int64_t(index) + seq.start - 1;
  std::string digits = std::to_string(n < 0 ? -n : n);
  if (static_cast<int32_t>(digits.size()) < seq.digits)
    digits.insert(0, static_cast<size_t>(seq.digits) - digits.size(), '0');
  return std::string(seq.prefix) + (n < 0 ? "-" : "") + digits + seq.suffix;
}

bool SeqCheck(const std::string& prefix, const std::string& suffix, int32_t number,
              int64_t& file_size, const QUniImagePart& first, int32_t digits) {
  QSeqName seq{};
  SetText(seq.prefix, prefix.c_str());
  SetText(seq.suffix, suffix.c_str());
  seq.start = number;
  seq.digits = digits;
  const std::string name = SeqName(seq, 1);
  QffInfo info{};
  file_size = 0;
    MonitoredBoundary("FFBasic.SeqCheck", [&] { FFInfo(name, kUndefined, info); });
  const bool ok = ErrNone();
  ErrClear();
  if (!ok) return false;
  file_size = info.size;
  return first.frames == 1 && first.supported && info.width == first.width &&
         info.height == first.height && info.bits == first.bits;
}

}  // namespace vek
