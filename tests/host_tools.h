// What the tests that play a host need: the library's exports looked up by
// name after dlopen, and the outside tools used as oracles.
#pragma once

#include "oracle_shell.h"
#include "dl_compat.h"
#include "windows_skip.h"
#include <unistd.h>

#include <cstdio>
#include <string>

// Inside a struct: one member per export of EXPORTS (an X-macro list), and
// Resolve(handle), which looks them all up and says whether every one exists.
#define VEK_HOST_DECLARE_(name) decltype(&::name) name = nullptr;
#define VEK_HOST_FIND_(name)                                      \
  name = reinterpret_cast<decltype(name)>(dlsym(handle, #name)); \
  if (!name) return false;
#define VEK_HOST_MEMBERS(EXPORTS) \
  EXPORTS(VEK_HOST_DECLARE_)      \
  bool Resolve(void* handle) {    \
    EXPORTS(VEK_HOST_FIND_)       \
    return true;                  \
  }

namespace vektest {

inline bool HaveTool(const char* path) { return HaveOracle(path); }

// Runs a shell command and returns what it wrote on standard output.
inline std::string Shell(const std::string& cmd) {
  std::string out;
  FILE* p = ::vektest::OpenPipe(cmd.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::vektest::ClosePipe(p);
  return out;
}

}  // namespace vektest
