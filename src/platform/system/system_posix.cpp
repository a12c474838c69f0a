#include <dirent.h>
#include <fnmatch.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "platform/system/system.h"
#include "platform/system/system_internal.h"
#include "platform/system/paths.h"

namespace vek::platform {

bool QueryOsVersion(OsVersion& out) {
  utsname u{};
  if (uname(&u) != 0) return false;
  // No Windows platform id exists here, so the system name prints as "N/A".
  out.platform_id = -1;
  unsigned v[3] = {0, 0, 0};
  std::sscanf(u.release, "%u.%u.%u", &v[0], &v[1], &v[2]);
  out.major = v[0];
  out.minor = v[1];
  out.build = v[2];
  return true;
}

bool QueryCpu(CpuInfo& out) {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (n <= 0) return false;
  out.processors = static_cast<unsigned>(n);
  out.level = 0;
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("cpu family", 0) == 0) {
      auto colon = line.find(':');
      if (colon != std::string::npos) out.level = std::atoi(line.c_str() + colon + 1);
      break;
    }
  }
  return true;
}

bool QueryMemory(MemoryStatus& out) {
  struct sysinfo si {};
  if (sysinfo(&si) != 0) return false;
  const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
  out.total_phys = uint64_t(si.totalram) * unit;
  out.avail_phys = uint64_t(si.freeram) * unit;
  // MemAvailable counts reclaimable cache, which is what "available" means to a user.
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kb;
  std::string rest;
  while (in >> key >> kb) {
    std::getline(in, rest);
    if (key == "MemAvailable:") {
      out.avail_phys = kb * 1024;
      break;
    }
  }
  out.total_page = uint64_t(si.totalswap) * unit;
  out.avail_page = uint64_t(si.freeswap) * unit;
  return true;
}

bool QueryDiskSpace(const std::string& path, uint64_t& total, uint64_t& available) {
  struct statvfs s {};
  if (statvfs(path.empty() ? "." : path.c_str(), &s) != 0) return false;
  total = uint64_t(s.f_blocks) * s.f_frsize;
  available = uint64_t(s.f_bavail) * s.f_frsize;
  return true;
}

uint32_t TickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

double NowAsDays() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t t = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const double ms =
      double(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
  // Days from 1899-12-30 to 1970-01-01 are 25569; shift by the local offset.
  const double local_seconds = double(t) + double(local.tm_gmtoff) + ms / 1000.0;
  return 25569.0 + local_seconds / 86400.0;
}

std::string LocalDateTimeText() {
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d, %H:%M", &local);
  return buf;
}

namespace {
int64_t Ns(const struct timespec& t) { return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec; }
}  // namespace

bool FileVersionOf(const std::string& name, FileVersion& version) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return false;
  version.device = static_cast<int64_t>(st.st_dev);
  version.index = static_cast<int64_t>(st.st_ino);
  version.size = static_cast<int64_t>(st.st_size);
  version.modified_ns = Ns(st.st_mtim);
  version.changed_ns = Ns(st.st_ctim);
  return true;
}

int64_t FileClockNs() {
  struct timespec t {};
  clock_gettime(CLOCK_REALTIME, &t);
  return Ns(t);
}

uint32_t ThreadId() { return static_cast<uint32_t>(gettid()); }

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  return n <= 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

std::string ProgramName() {
  std::ifstream in("/proc/self/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

bool ListMatchingFiles(const std::string& folder, const std::string& pattern,
                       std::vector<std::string>& names) {
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return false;
  while (dirent* e = readdir(dir)) {
    // Matched as the file systems the interface was made for do: without
    // regard to case, and "*" also takes names that begin with a point.
    if (fnmatch(pattern.c_str(), e->d_name, FNM_CASEFOLD) != 0) continue;
    struct stat st {};
    const std::string full = (folder.empty() ? std::string() : folder) + e->d_name;
    if (stat(full.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    names.emplace_back(e->d_name);
  }
  closedir(dir);
  return true;
}

std::string FullPath(const std::string& path) {
  if (paths::RootLength(path) > 0) return path;
  char buf[4096];
  if (!getcwd(buf, sizeof buf)) return path;
  std::string cwd = buf;
  return paths::Join(cwd, path);
}

int CompareNoCase(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()); }

void ShowMessageBox(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
}

void FatalExit(const std::string& text) {
  ShowMessageBox("Error", text);
  std::_Exit(1);
}

// Here a fault stays a crash (SIGSEGV). Throwing out of a signal handler is
// only sound where every frame between the fault and the export has
// asynchronous unwind tables and no frame holds a lock or half-updated
// state: libc, libavcodec, libpng and the host's own callbacks give neither
// promise, and a handler that "recovers" from a fault in a locked malloc
// would hang the host instead. A crash with a core file is the honest
// outcome on a platform where hosts debug that way.
void FaultGuardEnter() {}
void FaultGuardLeave() {}

}  // namespace vek::platform
