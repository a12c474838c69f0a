// Shared between the AVI file layer and the codec layer: the stream object
// behind PAVISTREAM. File streams belong to their file; compressed streams
// are made by the codec layer and sit on a file stream.
#pragma once

#include <cstdint>

#include "platform/vfw/avifile.h"

namespace vek::platform {

struct AviStream {
  virtual ~AviStream() = default;
  virtual uint32_t Release() = 0;
  virtual HRESULT Info(AVISTREAMINFO& info) = 0;
  virtual HRESULT ReadFormat(void* format, int32_t* size) = 0;
  virtual HRESULT SetFormat(const void* format, int32_t size) = 0;
  virtual int32_t Length() = 0;
  virtual HRESULT Read(int32_t start, int32_t samples, void* buffer, int32_t buffer_size,
                       int32_t* bytes, int32_t* samples_read) = 0;
  virtual HRESULT Write(int32_t start, int32_t samples, const void* buffer, int32_t buffer_size,
                        uint32_t flags, int32_t* samples_written, int32_t* bytes_written) = 0;
  virtual bool IsKey(int32_t pos) = 0;
  // Streams whose palette changes within the file (8-bit video with
  // palette-change chunks) put the colour table in force at frame `pos`
  // into `rgbquad` (256 entries) and return true; others leave it alone.
  virtual bool PaletteAt(int32_t, uint8_t* /*rgbquad*/) { return false; }
};

// Live objects of both layers, for leak checks.
void AviObjectMade();
void AviObjectGone();

}  // namespace vek::platform
