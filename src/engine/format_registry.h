// The format tables: which file names belong to which format, what each
// format can carry, and at which depth it writes images. Built from the
// descriptors of the format modules.
#pragma once

#include <cstdint>
#include <string>

#include "formats/format_descriptor.h"

namespace vek {

// The table rows themselves, in lookup order.
const QffDesc* FmtTable(int table, int& count);

QffDesc FmtFind(const std::string& file_name, int table);
int32_t FmtId(const std::string& file_name, int table);
int32_t FmtFlags(int32_t id, int table);
bool FmtIsWritable(int32_t id);
int32_t FmtDepth(int32_t id, int32_t bits);
// kKindNone for no format, else still, numbered sequence or movie.
int32_t FmtKind(int32_t id, int32_t frames);
// The kind an output of the format is written as: that of FmtKind, but a
// format that reads as still or animation by its frame count and has a
// movie writer is always written through it (the frame count of a run is
// not known when the output is made).
int32_t FmtWriteKind(int32_t id, int32_t frames);
// Full name of the first reading-table row with the id, empty when none.
const char* FmtFullName(int32_t id);
// True when frames of such a file build on the previous picture.
bool FmtDeltaFrames(int32_t id, int32_t frames);

// The extension formats and rows (process-wide, off by default): off, the
// tables are exactly the original ones; on, extension rows follow them.
void FmtSetExtensions(bool on);
bool FmtExtensions();
// True when some row of the format belongs to the extension.
bool FmtHasExtensionRows(const FormatDescriptor& d);

// The descriptor of a format id, or null for ids that name no format.
const FormatDescriptor* FormatFor(int32_t id);
// Every descriptor, in the order of the module list.
const FormatDescriptor* const* FormatList(int& count);

}  // namespace vek
