// GIF reader (FF_GIF): still pictures and animations, frame by frame, into
// 8-bit image records at the size of the logical screen, each frame composed
// onto the picture before it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "formats/file_info.h"
#include "foundation/files.h"
#include "foundation/memory.h"
#include "formats/movie/gif_writer.h"
#include "image/image.h"

namespace vek {

// Where one frame lies in the file: from the first block that belongs to it
// (its extensions, or its image descriptor) to the byte after its data.
struct GifFramePos {
  int64_t start;
  int64_t end;
};

// One open GIF file. The first members are what the movie layer reads.
struct GifState {
  int32_t width = 0, height = 0;  // logical screen
  int32_t bytespp = 1, bits = 8;  // 3 and 24 when the frames need true colour (below)
  int32_t frames = 0;   // frames found
  int32_t current = 0;  // frames decoded so far: the next frame's index
  double fps = 0;       // 0 when the file gives no delays
  int64_t file_size = 0;
  int32_t background = -1;  // background index, -1 without a global colour table
  // Rectangle of the last decoded frame (clipped to the screen) and what it
  // asks to happen to it before the next frame is drawn.
  int32_t prev_left = 0, prev_top = 0, prev_width = 0, prev_height = 0;
  Tracked<uint8_t> saved_window;  // pixels under the last frame (disposal 3)
  int32_t prev_disposal = 0;
  bool palette_changed = false;
  bool local_palette = false;
  // Some frame after the first needs the picture before it (it does not
  // cover the screen, or it has transparent pixels): seeking must decode
  // from the first frame.
  bool partial_frames = false;
  // Frames with colour tables of their own are drawn over pixels of other
  // tables: no one palette holds the composed picture, so it is delivered
  // in true colour (24 bits) instead.
  bool true_colour = false;
  bool new_picture = false;
  uint8_t global_palette[768] = {};  // blue, green, red
  Tracked<GifFramePos> pos;          // one entry per frame
  TrackedFile file;
  std::unique_ptr<GifWriter> writer;  // set while the file is being written
};

// Opens and checks the file; `quick` locates only the first frame.
void GIFOpen(GifState& gf, const std::string& name, bool quick);
// Decodes the frame with index `current` onto the image.
void GIFLoadNext(GifState& gf, QImg& image);
// Brings the image to frame n (from 1; 0 is the next frame).
void GIFLoad(GifState& gf, QImg& image, int32_t n, bool forward);
void GIFClose(GifState& gf);
void GIFInfo(const std::string& name, QffInfo& info, bool full_scan);
// Still loading: the first frame.
void GIFLoadStill(const std::string& name, QImg& image);

}  // namespace vek
