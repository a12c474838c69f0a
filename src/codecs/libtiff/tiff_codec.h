// libtiff behind the TIFF module: the two process-wide message hooks and
// opening files with a cap on the library's single allocations, so a
// hostile header cannot make it reserve gigabytes.
#pragma once

#include <tiffio.h>

#include <string>

namespace vek {

// Receives one message of the library, already formatted ("module: text").
using ImageLibHook = void (*)(const char* message);

// Install the hooks for the library's error and warning messages (null:
// messages are dropped). They take effect for files opened afterwards and
// for messages outside any open file.
void ExternErrorSet(ImageLibHook hook);
void ExternWarningSet(ImageLibHook hook);

// Largest single block the library may allocate for one file.
inline constexpr tmsize_t kTiffMaxAlloc = tmsize_t{256} << 20;

// TIFFOpen with the hooks and the allocation cap; null on failure.
TIFF* TiffOpen(const std::string& name, const char* mode);

// Owns an open TIFF handle; closing may still report through the hooks.
class TiffHandle {
 public:
  TiffHandle() = default;
  ~TiffHandle() { Close(); }
  TiffHandle(const TiffHandle&) = delete;
  TiffHandle& operator=(const TiffHandle&) = delete;
  void Reset(TIFF* tif) {
    Close();
    tif_ = tif;
  }
  void Close() {
    if (tif_) TIFFClose(tif_);
    tif_ = nullptr;
  }
  TIFF* get() const { return tif_; }
  explicit operator bool() const { return tif_ != nullptr; }

 private:
  TIFF* tif_ = nullptr;
};

}  // namespace vek
