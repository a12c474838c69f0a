// A display for the dialog tests: the one in DISPLAY, or an Xvfb server of
// this test program's own. Test programs run in parallel (and other
// worktrees' tests) start servers at the same time, so a display counts as
// ours only when its lock file names our server's process; the server dies
// with the program even when the program is killed.
#pragma once

#include <X11/Xlib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace vektest {

class OwnXvfb : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* d = std::getenv("DISPLAY");
    if ((d && *d) || access("/usr/bin/Xvfb", X_OK) != 0) return;
    for (int attempt = 0; attempt < 20 && pid_ <= 0; ++attempt) {
      const int n = 200 + static_cast<int>((getpid() * 7 + attempt * 31) % 700);
      if (Exists("/tmp/.X" + std::to_string(n) + "-lock") || Exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      Start(n);
    }
  }
  void TearDown() override {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  static bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }

  void Start(int n) {
    const std::string name = ":" + std::to_string(n);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      // No reset when the last client leaves: a reset refuses connections
      // for a moment, and every display probe is a client that leaves.
      execl("/usr/bin/Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
            "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;  // lost the number to another server
      std::ifstream lock("/tmp/.X" + std::to_string(n) + "-lock");
      long owner = 0;
      if (!(lock >> owner)) continue;
      if (owner != pid) break;
      if (Display* x = XOpenDisplay(name.c_str())) {
        XCloseDisplay(x);
        setenv("DISPLAY", name.c_str(), 1);
        pid_ = pid;
        return;
      }
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }

  pid_t pid_ = -1;
};

inline bool UseOwnXvfb() {
  static const bool done = (::testing::AddGlobalTestEnvironment(new OwnXvfb), true);
  return done;
}

}  // namespace vektest

#define VEK_REQUIRE_DISPLAY()                                                       \
  do {                                                                              \
    if (!vek::toolkit::DisplayAvailable())                                          \
      GTEST_SKIP() << "no X display (set DISPLAY or install Xvfb) for dialog tests"; \
  } while (0)
