// Outside tools (ffmpeg, ImageMagick, sox, netpbm) as the tests' oracles.
// The Linux build starts them itself. The Windows build runs under Wine,
// which cannot start Linux programs: it hands each command to a Linux-side
// runner (scripts/oracle-bridge.py, started by scripts/windows-test.sh)
// through a shared folder, named by VEK_ORACLE_BRIDGE. The Windows side
// writes its outputs and the command; the runner turns the Windows names in
// it into Linux ones, runs it with the shell and hands back the exit code
// and standard output. Without the runner the tools count as missing.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#endif

namespace vektest {

#ifdef _WIN32
namespace bridge {

inline std::string Dir() {
  const char* d = std::getenv("VEK_ORACLE_BRIDGE");
  return d && *d ? std::string(d) + "\\" : std::string();
}

// (The C runtime only: <windows.h> would clash with the tests' own names.)
inline bool FileExists(const std::string& name) { return access(name.c_str(), 0) == 0; }

inline bool Up() {
  const std::string d = Dir();
  return !d.empty() && FileExists(d + "ready");
}

struct Result {
  int status = -1;   // the shell's exit status; -1: no answer
  std::string out;   // the file holding its standard output
};

// Runs one command and waits for its exit; the runner may take as long as
// the command does, and an answer that never comes ends when the runner does.
inline Result Run(const std::string& cmd) {
  Result r;
  const std::string d = Dir();
  if (d.empty() || !FileExists(d + "ready")) return r;
  static std::mutex m;
  static unsigned serial = 0;
  std::string base;
  {
    std::lock_guard<std::mutex> lock(m);
    // Process ids come back; the start time tells two processes apart.
    static const auto start = std::chrono::steady_clock::now().time_since_epoch().count();
    base = d + std::to_string(getpid()) + "-" + std::to_string(start) + "-" +
           std::to_string(++serial);
  }
  char cwd[1024] = {};
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  {
    // The folder to run in on the first line, the command after it.
    FILE* f = std::fopen((base + ".tmp").c_str(), "wb");
    if (!f) return r;
    std::fprintf(f, "%s\n%s", cwd, cmd.c_str());
    std::fclose(f);
  }
  if (std::rename((base + ".tmp").c_str(), (base + ".cmd").c_str()) != 0) return r;
  const std::string rc_file = base + ".rc";
  for (int spin = 0; !FileExists(rc_file); ++spin) {
    std::this_thread::sleep_for(std::chrono::milliseconds(spin < 100 ? 2 : 20));
    if (spin % 50 == 49 && !FileExists(d + "ready")) return r;
  }
  if (FILE* f = std::fopen(rc_file.c_str(), "rb")) {
    if (std::fscanf(f, "%d", &r.status) != 1) r.status = -1;
    std::fclose(f);
  }
  std::remove(rc_file.c_str());
  r.out = base + ".out";
  return r;
}

inline std::map<FILE*, Result>& Open() {
  static std::map<FILE*, Result> open;
  return open;
}
inline std::mutex& OpenLock() {
  static std::mutex m;
  return m;
}

}  // namespace bridge

// Whether the runner is there to start the outside tools.
inline bool OracleBridgeUp() { return bridge::Up(); }

// std::system: the exit status, 0 when the command succeeded.
inline int RunShell(const char* cmd) {
  bridge::Result r = bridge::Run(cmd);
  if (!r.out.empty()) std::remove(r.out.c_str());
  return r.status;
}

// popen(cmd, "r"): the command has run to its end; its output is read back.
inline FILE* OpenPipe(const char* cmd, const char*) {
  bridge::Result r = bridge::Run(cmd);
  if (r.status < 0) return nullptr;
  FILE* f = std::fopen(r.out.c_str(), "rb");
  if (!f) return nullptr;
  std::lock_guard<std::mutex> lock(bridge::OpenLock());
  bridge::Open()[f] = r;
  return f;
}

inline int ClosePipe(FILE* f) {
  bridge::Result r;
  {
    std::lock_guard<std::mutex> lock(bridge::OpenLock());
    auto it = bridge::Open().find(f);
    if (it == bridge::Open().end()) return -1;
    r = it->second;
    bridge::Open().erase(it);
  }
  std::fclose(f);
  std::remove(r.out.c_str());
  return r.status;
}
#else
inline bool OracleBridgeUp() { return true; }
inline int RunShell(const char* cmd) { return std::system(cmd); }
inline FILE* OpenPipe(const char* cmd, const char* mode) { return popen(cmd, mode); }
inline int ClosePipe(FILE* f) { return pclose(f); }
#endif

inline int RunShell(const std::string& cmd) { return RunShell(cmd.c_str()); }

// Whether an outside tool can be started: a full name, or a name looked up
// in the search path.
inline bool HaveOracle(const std::string& tool) {
#ifdef _WIN32
  static std::map<std::string, bool> known;
  static std::mutex m;
  std::lock_guard<std::mutex> lock(m);
  auto it = known.find(tool);
  if (it != known.end()) return it->second;
  if (!OracleBridgeUp()) return false;
  const bool have = RunShell("command -v '" + tool + "' >/dev/null 2>&1") == 0;
  return known[tool] = have;
#else
  return RunShell("command -v '" + tool + "' >/dev/null 2>&1") == 0;
#endif
}

}  // namespace vektest
