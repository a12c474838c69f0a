// Drawing objects alive now, for the tests that check none is left: GDI's
// own count on Windows; the in-memory drawing layer keeps its own elsewhere.
#pragma once

#include "platform/gdi/gdi.h"

#ifdef _WIN32
#include <windows.h>
namespace vek::gdi {
// GDI's own count of the process's objects (the in-memory drawing layer of
// the other builds keeps its own).
inline int LiveObjectCount() {
  return static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
}
}  // namespace vek::gdi
#endif
