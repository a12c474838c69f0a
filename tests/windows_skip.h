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

// Put before the reason of cases that skip when an outside tool is missing:
// under Wine the tools (Linux programs) cannot be started at all.
#ifdef _WIN32
#define VEK_ORACLE_SKIP "Windows build, no oracle runner (scripts/windows-test.sh starts it): "
#else
#define VEK_ORACLE_SKIP ""
#endif

