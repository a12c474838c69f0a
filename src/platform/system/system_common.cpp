// What the system service does alike on every OS, over the calls each
// backend answers its own way.
#include <string>

#include "platform/system/paths.h"
#include "platform/system/system.h"
#include "platform/system/system_internal.h"

namespace vek::platform {

std::string ExecutableFolder() {
  const std::string exe = ExecutablePath();
  const std::string folder = exe.empty() ? std::string() : paths::Folder(exe);
  return folder.empty() ? std::string(".") + paths::Separator() : folder;
}

bool HasFolder(const std::string& name) { return paths::HasFolder(name); }

char PathSeparator() { return paths::Separator(); }

namespace {
std::string g_title;
}  // namespace

void SetApplicationTitle(const std::string& title) { g_title = title; }

std::string ApplicationTitle() {
  if (!g_title.empty()) return g_title;
  const std::string name = ProgramName();
  return name.empty() ? "libvek" : name;
}

}  // namespace vek::platform
