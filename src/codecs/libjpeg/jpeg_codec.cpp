#include "codecs/libjpeg/jpeg_codec.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "codecs/exif/exif_orientation.h"

namespace vek {

namespace {

char g_message[JMSG_LENGTH_MAX] = "";

void SetMessage(const char* text) {
  std::snprintf(g_message, sizeof g_message, "%s", text);
}

// libjpeg's own error exit ends the process; ours keeps the text and jumps
// back to the call that started the work.
struct ErrorJump {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo) {
  (*cinfo->err->format_message)(cinfo, g_message);
  std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
}

// Warnings about damaged data are not printed; decoding goes on as the
// library intends.
void OutputMessage(j_common_ptr) {}

// A progressive file may hold any number of scans, each one a full pass over
// the coefficients: a hostile file with thousands of tiny scans would keep
// the decoder busy for minutes.
constexpr int kMaxScans = 1000;

void Progress(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxScans) {
    SetMessage("JPEG file holds too many scans");
    std::longjmp(reinterpret_cast<ErrorJump*>(cinfo->err)->jump, 1);
  }
}

void InitErrors(ErrorJump& err) {
  jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = OutputMessage;
}

// Components a file is delivered with, 0 for colour spaces we cannot show.
int DeliveredComponents(const jpeg_decompress_struct& c) {
  switch (c.jpeg_color_space) {
    case JCS_GRAYSCALE: return c.num_components == 1 ? 1 : 0;
    case JCS_YCbCr:
    case JCS_RGB: return c.num_components == 3 ? 3 : 0;
    case JCS_CMYK:
    case JCS_YCCK: return c.num_components == 4 ? 3 : 0;
    default: return 0;
  }
}

// The parts that may jump back hold no objects with destructors: everything
// they allocate comes from the library's pools, freed by jpeg_destroy.
int ReadHeader(jpeg_decompress_struct& c, ErrorJump& err, std::FILE* f, jpeg_progress_mgr& prog) {
  if (setjmp(err.jump)) return 1;
  jpeg_create_decompress(&c);
  prog.progress_monitor = Progress;
  c.progress = &prog;
  jpeg_stdio_src(&c, f);
  // EXIF blocks are kept for their orientation.
  jpeg_save_markers(&c, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(&c, TRUE);
  return 0;
}

// The orientation of the first EXIF block, 1 without one.
int32_t Orientation(const jpeg_decompress_struct& c) {
  static constexpr uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
  for (jpeg_saved_marker_ptr m = c.marker_list; m; m = m->next) {
    if (m->marker != JPEG_APP0 + 1 || m->data_length < sizeof kExif || !m->data ||
        std::memcmp(m->data, kExif, sizeof kExif) != 0)
      continue;
    return ExifOrientation(m->data + sizeof kExif, m->data_length - sizeof kExif);
  }
  return kOrientTopLeft;
}

// CMYK samples are read as Adobe stores them, inverted (255 no ink), with
// or without its marker, as ImageMagick reads them: files without the
// marker come out as every other reader shows them.
void CmykRowToBgr(const uint8_t* s, uint8_t* d, JDIMENSION width) {
  for (JDIMENSION x = 0; x < width; ++x, s += 4, d += 3) {
    const unsigned c = s[0];
    const unsigned m = s[1];
    const unsigned y = s[2];
    const unsigned k = s[3];
    d[0] = static_cast<uint8_t>((y * k + 127) / 255);
    d[1] = static_cast<uint8_t>((m * k + 127) / 255);
    d[2] = static_cast<uint8_t>((c * k + 127) / 255);
  }
}

// Huffman-coded data spends at least one bit on every 8x8 block of every
// component (its DC difference), even in a progressive file. A file far too
// small for its frame would be decoded as a huge grey picture out of almost
// nothing; it is refused. Arithmetic coding has no such bound.
bool PlausibleSize(const jpeg_decompress_struct& c, std::FILE* f) {
  if (c.arith_code) return true;
  struct stat st {};
  if (fstat(fileno(f), &st) != 0) return true;
  int64_t blocks = 0;
  for (int i = 0; i < c.num_components; ++i)
    blocks += static_cast<int64_t>(c.comp_info[i].width_in_blocks) * c.comp_info[i].height_in_blocks;
  return static_cast<int64_t>(st.st_size) * 8 >= blocks;
}

int Decode(jpeg_decompress_struct& c, ErrorJump& err, uint8_t* buffer, int64_t capacity,
           int components) {
  if (setjmp(err.jump)) return 1;
  const bool cmyk = c.jpeg_color_space == JCS_CMYK || c.jpeg_color_space == JCS_YCCK;
  c.out_color_space = components == 1 ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_EXT_BGR;
  jpeg_start_decompress(&c);
  const int64_t stride = static_cast<int64_t>(c.output_width) * components;
  if (c.output_components != (cmyk ? 4 : components) ||
      stride * static_cast<int64_t>(c.output_height) > capacity) {
    SetMessage("JPEG picture does not fit the image");
    return 1;
  }
  JSAMPARRAY ink = nullptr;
  if (cmyk) ink = (*c.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&c), JPOOL_IMAGE,
                                         c.output_width * 4, 1);
  while (c.output_scanline < c.output_height) {
    uint8_t* row = buffer + static_cast<int64_t>(c.output_scanline) * stride;
    if (cmyk) {
      if (jpeg_read_scanlines(&c, ink, 1) != 1) break;
      CmykRowToBgr(ink[0], row, c.output_width);
      continue;
    }
    // Several rows per call where the decoder produces them together.
    JSAMPROW rows[16];
    JDIMENSION n = c.output_height - c.output_scanline;
    if (n > 16) n = 16;
    for (JDIMENSION i = 0; i < n; ++i) rows[i] = row + static_cast<int64_t>(i) * stride;
    if (jpeg_read_scanlines(&c, rows, n) == 0) break;
  }
  if (c.output_scanline < c.output_height) {
    SetMessage("JPEG data ends early");
    return 1;
  }
  jpeg_finish_decompress(&c);
  return 0;
}

int Encode(jpeg_compress_struct& c, ErrorJump& err, std::FILE* f, const uint8_t* pixels,
           int32_t width, int32_t height, int32_t quality) {
  if (setjmp(err.jump)) return 1;
  jpeg_create_compress(&c);
  jpeg_stdio_dest(&c, f);
  c.image_width = static_cast<JDIMENSION>(width);
  c.image_height = static_cast<JDIMENSION>(height);
  c.input_components = 3;
  c.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  // Huffman tables fitted to the picture: some 4 % smaller files at the
  // same quality, still baseline.
  c.optimize_coding = TRUE;
  jpeg_start_compress(&c, TRUE);
  const int64_t stride = static_cast<int64_t>(width) * 3;
  while (c.next_scanline < c.image_height) {
    JSAMPROW rows[16];
    JDIMENSION n = c.image_height - c.next_scanline;
    if (n > 16) n = 16;
    for (JDIMENSION i = 0; i < n; ++i)
      rows[i] = const_cast<JSAMPROW>(pixels + (c.next_scanline + i) * stride);
    jpeg_write_scanlines(&c, rows, n);
  }
  jpeg_finish_compress(&c);
  return 0;
}

}  // namespace

const char* JpegLastMessage() { return g_message; }
void JpegSetLastMessage(const char* text) { SetMessage(text); }

namespace {

// A JPEG file opened for reading with its header read; the decompressor and
// the file are released on every path.
struct JpegReader {
  std::FILE* f = nullptr;
  jpeg_decompress_struct c;
  ErrorJump err;
  jpeg_progress_mgr prog{};

  JpegReader() {
    std::memset(&c, 0, sizeof c);
    InitErrors(err);
    c.err = &err.pub;
  }
  ~JpegReader() {
    jpeg_destroy_decompress(&c);  // nothing to do when it was never created
    if (f) std::fclose(f);
  }
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  // 0 when the header is read; 1 with the message set otherwise.
  int Open(const char* name) {
    g_message[0] = '\0';
    f = std::fopen(name, "rb");
    if (!f) {
      SetMessage("Cannot open JPEG file");
      return 1;
    }
    return ReadHeader(c, err, f, prog);
  }
};

}  // namespace

int info_JPEG_file(const char* name, int32_t* width, int32_t* height, int32_t* components,
                   int32_t* orientation) {
  JpegReader r;
  int rc = r.Open(name);
  if (rc == 0) {
    const int comps = DeliveredComponents(r.c);
    if (comps == 0) {
      SetMessage("Unsupported JPEG colour space");
      rc = 1;
    } else {
      *width = static_cast<int32_t>(r.c.image_width);
      *height = static_cast<int32_t>(r.c.image_height);
      *components = comps;
      if (orientation) *orientation = Orientation(r.c);
    }
  }
  return rc;
}

int read_JPEG_file(const char* name, uint8_t* buffer, int64_t capacity, int32_t* width,
                   int32_t* height, int32_t* components, int32_t* orientation) {
  JpegReader r;
  int rc = r.Open(name);
  int comps = 0;
  if (rc == 0) {
    comps = DeliveredComponents(r.c);
    if (comps == 0 || r.c.image_width > kJpegMaxSide || r.c.image_height > kJpegMaxSide) {
      SetMessage("Unsupported JPEG file");
      rc = 1;
    } else if (!PlausibleSize(r.c, r.f)) {
      SetMessage("JPEG file too small for its picture");
      rc = 1;
    }
  }
  // Saved markers go with the picture's memory when decoding finishes.
  const int32_t oriented = rc == 0 ? Orientation(r.c) : kOrientTopLeft;
  if (rc == 0) rc = Decode(r.c, r.err, buffer, capacity, comps);
  if (rc == 0) {
    *width = static_cast<int32_t>(r.c.output_width);
    *height = static_cast<int32_t>(r.c.output_height);
    *components = comps;
    if (orientation) *orientation = oriented;
  }
  return rc;
}

int write_JPEG_file(const char* name, const uint8_t* pixels, int32_t width, int32_t height,
                    int32_t quality) {
  g_message[0] = '\0';
  if (!pixels || width <= 0 || height <= 0 || width > kJpegMaxSide || height > kJpegMaxSide) {
    SetMessage("Invalid picture for JPEG");
    return 1;
  }
  std::FILE* f = std::fopen(name, "wb");
  if (!f) {
    SetMessage("Cannot create JPEG file");
    return 1;
  }
  jpeg_compress_struct c;
  ErrorJump err;
  std::memset(&c, 0, sizeof c);
  InitErrors(err);
  c.err = &err.pub;
  int rc = Encode(c, err, f, pixels, width, height, quality < 0 ? 0 : quality > 100 ? 100 : quality);
  jpeg_destroy_compress(&c);
  if (std::fflush(f) != 0 || std::ferror(f)) {
    if (rc == 0) SetMessage("Cannot write JPEG file");
    rc = 1;
  }
  if (std::fclose(f) != 0 && rc == 0) {
    SetMessage("Cannot write JPEG file");
    rc = 1;
  }
  if (rc != 0) std::remove(name);
  return rc;
}

}  // namespace vek
