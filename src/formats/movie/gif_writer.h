// GIF writer (extension): GIF89a animations and still pictures. Frames are
// stored as the rectangle that changed since the picture before, drawn over
// it; pixels inside that did not change become transparent where that
// shortens the compressed data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/files.h"
#include "image/image.h"

namespace vek {

struct GifWriter {
  TrackedFile file;
  std::string name;
  double fps = 0;
  bool still = false;  // one picture: no looping block, no entry kept free
  int32_t width = 0, height = 0;
  int32_t frames = 0;            // frames written
  uint8_t global[768] = {};      // blue, green, red
  int32_t global_count = 0;      // entries of the global table in use
  int32_t global_bits = 0;       // table of 1 << global_bits entries
  int32_t global_base = 0;       // 1: entry 0 is the transparent one, the colours follow
  std::vector<uint32_t> canvas;  // the picture shown after the last frame, 0xRRGGBB
  std::vector<uint8_t> out;      // bytes waiting to be written
  size_t header_size = 0;        // of the header at the start of `out`
};

// Process-wide choice of plays: 0 (the default) forever, 1 once, n n times.
// Clamps to 0..65536, stores and returns the value; the undefined marker only
// queries.
int32_t GifSetLoopCount(int32_t count);

void GifWriterCreate(GifWriter& gw, const std::string& name, double fps, bool still);
// Any depth; frames other than 8 bits get a palette of their own.
void GifWriterSave(GifWriter& gw, QImg& image);
void GifWriterClose(GifWriter& gw);
// One picture as a still GIF.
void GIFSaveStill(const std::string& name, QImg& image);

}  // namespace vek
