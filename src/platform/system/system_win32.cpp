// The operating-system queries on Windows: the kernel's own version,
// processor, memory-status, disk-space, clock and file-search calls, and
// MessageBox.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/system/system.h"
#include "platform/system/system_internal.h"
#include "platform/system/paths.h"

namespace vek::platform {

bool QueryOsVersion(OsVersion& out) {
  // GetVersionEx answers with the version the program was made for; the
  // build number of the kernel's own file is what the user has.
  OSVERSIONINFOA v{};
  v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&v)) return false;
#pragma GCC diagnostic pop
  out.platform_id = static_cast<int>(v.dwPlatformId);
  out.major = v.dwMajorVersion;
  out.minor = v.dwMinorVersion;
  out.build = v.dwBuildNumber & 0xFFFF;
  return true;
}

bool QueryCpu(CpuInfo& out) {
  SYSTEM_INFO si{};
  GetSystemInfo(&si);
  if (si.dwNumberOfProcessors == 0) return false;
  out.processors = si.dwNumberOfProcessors;
  out.level = si.wProcessorLevel;
  return true;
}

bool QueryMemory(MemoryStatus& out) {
  MEMORYSTATUSEX m{};
  m.dwLength = sizeof m;
  if (!GlobalMemoryStatusEx(&m)) return false;
  out.total_phys = m.ullTotalPhys;
  out.avail_phys = m.ullAvailPhys;
  out.total_page = m.ullTotalPageFile;
  out.avail_page = m.ullAvailPageFile;
  return true;
}

bool QueryDiskSpace(const std::string& path, uint64_t& total, uint64_t& available) {
  ULARGE_INTEGER avail{}, tot{}, free_all{};
  if (!GetDiskFreeSpaceExA(path.empty() ? nullptr : path.c_str(), &avail, &tot, &free_all))
    return false;
  total = tot.QuadPart;
  available = avail.QuadPart;
  return true;
}

uint32_t TickCount() { return GetTickCount(); }

double NowAsDays() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  FILETIME ft{};
  if (!SystemTimeToFileTime(&st, &ft)) return 0;
  const uint64_t ticks = (uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // File times count 100 ns from 1601-01-01; that day is 109205 days before 1899-12-30.
  return double(ticks) / 864000000000.0 - 109205.0;
}

std::string LocalDateTimeText() {
  SYSTEMTIME st{};
  GetLocalTime(&st);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u, %02u:%02u", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute);
  return buf;
}

namespace {
int64_t Ns(const FILETIME& t) {
  return int64_t((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 100;
}
}  // namespace

bool FileVersionOf(const std::string& name, FileVersion& version) {
  WIN32_FILE_ATTRIBUTE_DATA a{};
  if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &a)) return false;
  version.size = int64_t((uint64_t(a.nFileSizeHigh) << 32) | a.nFileSizeLow);
  version.modified_ns = Ns(a.ftLastWriteTime);
  // Windows keeps no change time apart from the write time; a file's
  // identity needs it opened, which the name and times make up for here.
  version.changed_ns = version.modified_ns;
  version.device = 0;
  version.index = 0;
  return true;
}

int64_t FileClockNs() {
  FILETIME t{};
  GetSystemTimeAsFileTime(&t);
  return Ns(t);
}

uint32_t ThreadId() { return GetCurrentThreadId(); }

std::string ExecutablePath() {
  char buf[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::string() : std::string(buf, n);
}

std::string ProgramName() {
  std::string name = paths::Name(ExecutablePath());
  if (const std::string ext = paths::Extension(name); ext.size() < name.size()) name.resize(name.size() - ext.size());
  return name;
}

bool ListMatchingFiles(const std::string& folder, const std::string& pattern,
                       std::vector<std::string>& names) {
  // FindFirstFile matches without regard to case, as the callers expect.
  const std::string query = (folder.empty() ? std::string(".\\") : folder) + pattern;
  WIN32_FIND_DATAA fd{};
  HANDLE h = FindFirstFileA(query.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    // An existing folder without matches is an empty answer, not a failure.
    if (e == ERROR_FILE_NOT_FOUND) return true;
    return false;
  }
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    names.emplace_back(fd.cFileName);
  } while (FindNextFileA(h, &fd));
  FindClose(h);
  return true;
}

std::string FullPath(const std::string& path) {
  char buf[MAX_PATH + 1];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof buf, buf, nullptr);
  if (n == 0 || n >= sizeof buf) return path;
  return std::string(buf, n);
}

int CompareNoCase(const std::string& a, const std::string& b) {
  return _stricmp(a.c_str(), b.c_str());
}

void ShowMessageBox(const std::string& caption, const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_TASKMODAL);
}

void FatalExit(const std::string& text) {
  ShowMessageBox("Error", text);
  ExitProcess(1);
}

}  // namespace vek::platform
