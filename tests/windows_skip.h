// Cases that cannot run in the Windows build of the tests (under Wine) skip
// with the reason; the Linux build runs them all.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
inline constexpr bool kWindowsBuild = true;
#define VEK_SKIP_ON_WINDOWS(reason) GTEST_SKIP() << "Windows build: " << reason
#else
inline constexpr bool kWindowsBuild = false;
#define VEK_SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif

// The reason given by cases whose oracle is a Linux program.
#define VEK_LINUX_ORACLE(tools) \
  "the oracle (" tools ") is a Linux program, which a test under Wine cannot start"

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
