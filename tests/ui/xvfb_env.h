// A display for the dialog tests: the one in DISPLAY, or an Xvfb server this
// test program starts on a free display number and stops at its end.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace vektest {

class XvfbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* d = std::getenv("DISPLAY");
    if (d && *d) return;
    if (access("/usr/bin/Xvfb", X_OK) != 0) return;
    for (int n = 91; n < 160; ++n) {
      const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
      struct stat st;
      if (stat(lock.c_str(), &st) == 0 || stat(sock.c_str(), &st) == 0) continue;
      const std::string name = ":" + std::to_string(n);
      pid_t pid = fork();
      if (pid == 0) {
        // The server ends with this program, however it ends, and keeps
        // its chatter out of the test output.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
          dup2(null, 0), dup2(null, 1), dup2(null, 2);
          close(null);
        }
        execl("/usr/bin/Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset",
              static_cast<char*>(nullptr));
        _exit(127);
      }
      if (pid < 0) return;
      // Wait until it takes connections (or gives up on this number).
      for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
          pid = -1;
          break;
        }
        Display* x = XOpenDisplay(name.c_str());
        if (x) {
          XCloseDisplay(x);
          setenv("DISPLAY", name.c_str(), 1);
          pid_ = pid;
          return;
        }
      }
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    }
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
};

// Registers the environment once per test program.
inline bool RegisterXvfb() {
  static bool done = (::testing::AddGlobalTestEnvironment(new XvfbEnvironment), true);
  return done;
}

}  // namespace vektest

#define VEK_REQUIRE_DISPLAY()                                                       \
  do {                                                                              \
    if (!vek::toolkit::DisplayAvailable())                                          \
      GTEST_SKIP() << "no X display (set DISPLAY or install Xvfb) for dialog tests"; \
  } while (0)
