// The operating-system queries the runtime foundation needs. Each platform
// provides one implementation file; failed queries return false.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vek::platform {

struct OsVersion {
  int platform_id = -1;  // 0 Win32s, 1 Win 9x, 2 NT; anything else has no name
  unsigned major = 0, minor = 0, build = 0;
};
bool QueryOsVersion(OsVersion& out);

struct CpuInfo {
  int level = 0;  // 3..6 for i386..i686, anything else has no name
  unsigned processors = 0;
};
bool QueryCpu(CpuInfo& out);

struct MemoryStatus {
  uint64_t total_phys = 0, avail_phys = 0, total_page = 0, avail_page = 0;
};
bool QueryMemory(MemoryStatus& out);

// Total bytes and bytes available to the caller on the file system holding `path`.
bool QueryDiskSpace(const std::string& path, uint64_t& total, uint64_t& available);

// Milliseconds of a monotonic tick counter (wraps like a 32-bit tick count).
uint32_t TickCount();
// Local calendar time as days since 1899-12-30 with the time as fraction.
double NowAsDays();
// Local date and time as "yyyy-mm-dd, hh:mm".
std::string LocalDateTimeText();

// One version of a file, for caches of what was read from it: a rewrite
// changes at least one field unless it falls within one tick of the file
// system's clock (FAT's is two seconds).
struct FileVersion {
  int64_t device = -1, index = -1, size = -1, modified_ns = -1, changed_ns = -1;
  bool operator==(const FileVersion&) const = default;
};
// False when the file cannot be asked.
bool FileVersionOf(const std::string& name, FileVersion& version);
// The wall clock in the file times' unit and origin.
int64_t FileClockNs();
// True when the version's last change lies so far before `now_ns` (taken
// before the file was read) that any later rewrite must give another
// version: only then may a cache keep what was read.
inline bool FileVersionSettled(const FileVersion& version, int64_t now_ns) {
  // Coarse file-system clocks (and FAT's two seconds) stay within this.
  constexpr int64_t kSettleNs = int64_t{3} * 1000000000;
  return version.size >= 0 && version.modified_ns < now_ns - kSettleNs &&
         version.changed_ns < now_ns - kSettleNs;
}
// The calling thread's id (distinguishes temporary files of processes and threads).
uint32_t ThreadId();

// Folder of the running executable, with a trailing separator.
std::string ExecutableFolder();
// True when the name holds a folder part.
bool HasFolder(const std::string& name);
char PathSeparator();

// Title for message boxes: the one the library was given, else the host program's name.
void SetApplicationTitle(const std::string& title);
std::string ApplicationTitle();

// Names of the directory entries in `folder` matching the wildcard `pattern`
// ("*" and "?", without regard to case), skipping folders.
bool ListMatchingFiles(const std::string& folder, const std::string& pattern,
                       std::vector<std::string>& names);
// The absolute form of a path.
std::string FullPath(const std::string& path);
int CompareNoCase(const std::string& a, const std::string& b);

// A plain system message box; here it goes to standard error. A window
// toolkit can replace this function.
void ShowMessageBox(const std::string& caption, const std::string& text);
// Shows the message and ends the process at once.
[[noreturn]] void FatalExit(const std::string& text);

// An access fault raised inside an export, turned into an exception at the
// faulting instruction so that every frame between it and the export lets
// its owners go; the text is the fault's own ("Access violation at address
// ... Read of address ...").
class AccessFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Brackets an export's body on the calling thread: faults raised in between
// become AccessFault where the platform can do so safely. Nests.
void FaultGuardEnter();
void FaultGuardLeave();

}  // namespace vek::platform
