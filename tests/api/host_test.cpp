// The library as a host sees it: loaded at run time, exports looked up by name.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include "vek/vek.h"

namespace {

TEST(Host, LoadsAndFindsExports) {
  void* lib = dlopen(VEK_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto alloc = reinterpret_cast<VekJob* (*)()>(dlsym(lib, "VekAlloc"));
  auto free_job = reinterpret_cast<void (*)(VekJob*)>(dlsym(lib, "VekFree"));
  ASSERT_NE(alloc, nullptr);
  ASSERT_NE(free_job, nullptr);
  VekJob* job = alloc();
  ASSERT_NE(job, nullptr);
  EXPECT_EQ(job->width, 320);
  free_job(job);
  dlclose(lib);
}

}  // namespace
