// dlopen and friends for the tests that play a host; on Windows they map to
// LoadLibrary, GetProcAddress and FreeLibrary, as a Windows host loads the DLL.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <string>

#ifndef RTLD_NOW
#define RTLD_NOW 2
#define RTLD_LOCAL 0
#define RTLD_NOLOAD 4
#define RTLD_NODELETE 0x1000
#endif

inline std::string& DlLastError() {
  static std::string text;
  return text;
}

inline void* dlopen(const char* path, int flags) {
  HMODULE h = nullptr;
  if (flags & RTLD_NOLOAD) {
    if (!GetModuleHandleExA(0, path, &h)) h = nullptr;
  } else {
    h = LoadLibraryA(path);
    if (h && (flags & RTLD_NODELETE)) {
      HMODULE pin = nullptr;
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN, path, &pin);
    }
  }
  DlLastError() = h ? "" : "LoadLibrary(" + std::string(path) + ") failed, error " +
                               std::to_string(GetLastError());
  return reinterpret_cast<void*>(h);
}

inline void* dlsym(void* lib, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

inline int dlclose(void* lib) { return FreeLibrary(static_cast<HMODULE>(lib)) ? 0 : -1; }

inline const char* dlerror() { return DlLastError().c_str(); }
#else
#include <dlfcn.h>
#endif
