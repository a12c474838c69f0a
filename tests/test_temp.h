// Temporary file names for tests. CTest runs every test case as its own
// process, in parallel: names carry the process id so cases never collide,
// spelt in letters so that no name looks like part of a numbered sequence.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace vek::testing {

inline std::string UniqueTemp(const std::string& name) {
  std::string tag = std::to_string(getpid());
  for (char& c : tag) c = static_cast<char>('a' + (c - '0'));
  return ::testing::TempDir() + "vek" + tag + "_" + name;
}

}  // namespace vek::testing
