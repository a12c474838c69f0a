#include "platform/system/paths.h"
#include "engine/format_registry.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

#include "foundation/errors.h"

namespace vek {

#define VEK_FORMAT(name, role) extern const FormatDescriptor k##name##Format;
#include "formats/modules.def"
#undef VEK_FORMAT

namespace {

const FormatDescriptor* const kModules[] = {
#define VEK_FORMAT(name, role) &k##name##Format,
#include "formats/modules.def"
#undef VEK_FORMAT
};

struct Tables {
  std::vector<QffDesc> read, write;
  std::array<const FormatDescriptor*, kFmtExtIdEnd> by_id{};
};

// The rows of one table: the original rows, then (with `extended`) the
// extension rows, each group in the order of its positions.
std::vector<QffDesc> Collect(bool write, bool extended) {
  std::vector<FormatRow> rows;
  for (const FormatDescriptor* d : kModules) {
    const FormatRow* r = write ? d->write_rows : d->read_rows;
    const int32_t n = write ? d->write_count : d->read_count;
    for (int32_t i = 0; i < n; ++i)
      if (!r[i].extension || extended) rows.push_back(r[i]);
  }
  std::stable_sort(rows.begin(), rows.end(), [](const FormatRow& a, const FormatRow& b) {
    if (a.extension != b.extension) return b.extension;
    return a.position < b.position;
  });
  std::vector<QffDesc> out;
  for (const FormatRow& r : rows) out.push_back(r.row);
  return out;
}

Tables Build(bool extended) {
  Tables t;
  t.read = Collect(false, extended);
  t.write = Collect(true, extended);
  const int32_t end = extended ? kFmtExtIdEnd : kFmtIdEnd;
  for (const FormatDescriptor* d : kModules)
    if (d->id > 0 && d->id < end) t.by_id[d->id] = d;
  return t;
}

bool g_extensions = false;

const Tables& T() {
  static const Tables original = Build(false);
  static const Tables extended = Build(true);
  return g_extensions ? extended : original;
}

}  // namespace

void FmtSetExtensions(bool on) { g_extensions = on; }
bool FmtExtensions() { return g_extensions; }

bool FmtHasExtensionRows(const FormatDescriptor& d) {
  for (int32_t i = 0; i < d.read_count; ++i)
    if (d.read_rows[i].extension) return true;
  for (int32_t i = 0; i < d.write_count; ++i)
    if (d.write_rows[i].extension) return true;
  return d.id >= kFmtExtFirst;
}

const FormatDescriptor* FormatFor(int32_t id) {
  if (id <= 0 || id >= kFmtExtIdEnd) return nullptr;
  return T().by_id[id];
}

const FormatDescriptor* const* FormatList(int& count) {
  count = static_cast<int>(std::size(kModules));
  return kModules;
}

const QffDesc* FmtTable(int table, int& count) {
  const std::vector<QffDesc>& rows = table == kWriteTable ? T().write : T().read;
  count = static_cast<int>(rows.size());
  return rows.data();
}

QffDesc FmtFind(const std::string& file_name, int table) {
  QffDesc none{kUndefined, 0, "", "", "", ""};
  std::string ext = paths::Extension(file_name);
  if (ext.empty()) return none;
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  ext += '.';
  if (ext == "..") return none;
  int count;
  const QffDesc* rows = FmtTable(table, count);
  for (int i = 0; i < count; ++i) {
    const std::string list = std::string(rows[i].extensions) + ".";
    if (list.find(ext) != std::string::npos) return rows[i];
  }
  return none;
}

int32_t FmtId(const std::string& file_name, int table) { return FmtFind(file_name, table).id; }

int32_t FmtFlags(int32_t id, int table) {
  int count;
  const QffDesc* rows = FmtTable(table, count);
  for (int i = 0; i < count; ++i)
    if (rows[i].id == id) return rows[i].flags;
  return kUndefined;
}

bool FmtIsWritable(int32_t id) { return FmtFlags(id, kWriteTable) != kUndefined; }

int32_t FmtDepth(int32_t id, int32_t bits) {
  const FormatDescriptor* d = FormatFor(id);
  // A format writes only while it has a row in the writing table.
  if (!d || !d->depths || !FmtIsWritable(id)) return kUndefined;
  int column;
  switch (bits) {
    case 8: column = 0; break;
    case 15: column = 1; break;
    case 16: column = 2; break;
    case 24: column = 3; break;
    case 32: column = 4; break;
    default: column = 5; break;
  }
  return d->depths[column];
}

int32_t FmtKind(int32_t id, int32_t frames) {
  const FormatDescriptor* d = FormatFor(id);
  if (!d) return kKindNone;
  switch (d->kind) {
    case FormatKindRule::kMovie: return kKindMovie;
    case FormatKindRule::kAnimation: return frames >= 2 ? kKindMovie : kKindStill;
    case FormatKindRule::kStill: break;
  }
  return frames >= 2 ? kKindSequence : kKindStill;
}

int32_t FmtWriteKind(int32_t id, int32_t frames) {
  const FormatDescriptor* d = FormatFor(id);
  if (d && d->kind == FormatKindRule::kAnimation && d->movie && d->movie->create && FmtIsWritable(id))
    return kKindMovie;
  return FmtKind(id, frames);
}

bool FmtDeltaFrames(int32_t id, int32_t frames) {
  const FormatDescriptor* d = FormatFor(id);
  return d && d->delta_frames && FmtKind(id, frames) == kKindMovie;
}

const char* FmtFullName(int32_t id) {
  int count;
  const QffDesc* rows = FmtTable(kReadTable, count);
  for (int i = 0; i < count; ++i)
    if (rows[i].id == id) return rows[i].full_name;
  return "";
}

}  // namespace vek
