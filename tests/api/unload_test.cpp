// Unloading the library writes the leak report and the monitoring state to
// the trace, also when a host loads and unloads it with dlopen/dlclose.
#include <gtest/gtest.h>

#include "test_temp.h"
#include "dl_compat.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "vek/vek.h"

namespace {

TEST(Unload, LeakReportReachesTheTrace) {
  const std::string trace = vek::testing::UniqueTemp("unload_trace.txt");
  std::remove(trace.c_str());
  void* lib = dlopen(VEK_LIBRARY, RTLD_NOW | RTLD_LOCAL | (getenv("VEK_NODELETE") ? RTLD_NODELETE : 0));
  ASSERT_NE(lib, nullptr) << dlerror();
  auto log_start = reinterpret_cast<decltype(&VekLogStart)>(dlsym(lib, "VekLogStart"));
  auto alloc = reinterpret_cast<decltype(&VekAlloc)>(dlsym(lib, "VekAlloc"));
  auto list_alloc = reinterpret_cast<decltype(&VekListAlloc)>(dlsym(lib, "VekListAlloc"));
  ASSERT_TRUE(log_start && alloc && list_alloc);
  log_start(trace.c_str(), 0);
  ASSERT_NE(alloc(), nullptr);        // never freed
  ASSERT_NE(list_alloc(), nullptr);   // never freed
  ASSERT_EQ(dlclose(lib), 0);

  std::ifstream in(trace, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("\r\n#Max. allocated memory handles: "), std::string::npos) << text;
  const auto at = text.find("#Memory handles not freed:\r\n");
  ASSERT_NE(at, std::string::npos) << text;
  // Newest first, each with its label, grouped size and " bytes".
  const auto list = text.find("#  N:vekmain.VekListAlloc.listP:2,919:");
  const auto job = text.find("#  N:vekmain.VekAlloc.dataP:463:");
  ASSERT_NE(list, std::string::npos) << text;
  ASSERT_NE(job, std::string::npos) << text;
  EXPECT_LT(list, job);
  EXPECT_NE(text.find(" bytes\r\n", job), std::string::npos);
  EXPECT_EQ(text.find("Monitoring failure"), std::string::npos);
  std::remove(trace.c_str());
}

}  // namespace
