#include "engine/format_registry.h"

#include <algorithm>
#include <cctype>

#include "foundation/errors.h"

namespace vek {

namespace {

// Lookup order matters: the first row whose extension list holds the name's
// extension wins.
constexpr QffDesc kRead[] = {
    {7, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
    {4, 0x0B, ".gif.giff", "GIF", "Graphics Interchange Format", "GIF, Graphics Interchange Format"},
    {3, 0x09, ".bmp.dib.rle", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {14, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {13, 0x09, ".rgb.rgba.bw.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {15, 0x09, ".pnm.ppm.pgm", "PNM", "Portable Image", "PNM, Portable Image"},
    {2, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {6, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {12, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {8, 0x09, ".jpg.jpeg.jif.jfif.jpe.J", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {10, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {11, 0x1A, ".mpg.mpeg.m1v.m2v.mpe", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {1, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {16, 0x09, ".bay", "BAY", "Bayer Image", "BAY, Bayer Image"},
    {17, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {11, 0x14, ".mp3.mpa.mp2", "MPA", "MPEG Audio Layer I/II/III", "MP3/MPA, MPEG Audio Layer I/II/III"},
    {19, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
};

constexpr QffDesc kWrite[] = {
    {6, 0x1A, ".avi", "AVI", "Windows Audio Video Interleaved", "AVI, Windows Audio Video Interleaved"},
    {3, 0x09, ".bmp.dib", "BMP", "Windows Device Independent Bitmap",
     "BMP/DIB, Windows Device Independent Bitmap"},
    {5, 0x0A, ".flc.fli", "FLIC", "Autodesk FLIC", "FLIC/FLIC-Pro, Autodesk"},
    {7, 0x1A, ".hav", "HAV", "High quality Audio Video", "HAV, High quality Audio Video"},
    {8, 0x09, ".jpg.jpeg", "JPEG", "Joint Photographic Experts Group",
     "JPEG, Joint Photographic Experts Group"},
    {2, 0x09, ".pcx", "PCX", "Zsoft Paintbrush", "PCX, Zsoft Paintbrush"},
    {9, 0x09, ".png", "PNG", "Portable Network Graphics", "PNG, Portable Network Graphics"},
    {1, 0x09, ".tga", "TGA", "Truevision Targa", "TGA, Truevision Targa"},
    {11, 0x1A, ".mpg.mpeg.m1v.m2v", "MPEG", "Moving Pictures Experts Group",
     "MPEG, Moving Pictures Experts Group"},
    {12, 0x14, ".wav", "WAV", "Windows Wave Sound", "WAV, Windows Wave Sound"},
    {13, 0x09, ".rgb.sgi", "SGI", "Silicon Graphics Image", "RGB, Silicon Graphics Image"},
    {14, 0x09, ".ras.sun.im1", "RGB", "Sun Raster Image", "RAS, Sun Raster Image"},
    {15, 0x09, ".ppm.pnm", "PPM", "Portable PixelMap", "PPM, Portable PixelMap"},
    {10, 0x09, ".tif.tiff", "TIFF", "Tagged Image File Format", "TIFF, Tagged Image File Format"},
    {17, 0x09, ".xpm", "XPM", "X PixMap", "XPM, X PixMap"},
    {18, 0x14, ".mp2", "MPA", "MPEG Audio Layer II", "MP2, MPEG Audio Layer II"},
    {19, 0x14, ".ogg", "OGG", "Ogg Vorbis Audio", "OGG, Ogg Vorbis Audio"},
};

// Output depth by source depth 8, 15, 16, 24, 32 and any other.
struct DepthRow {
  int32_t id;
  int32_t depth[6];
};
constexpr DepthRow kDepths[] = {
    {6, {8, 15, 24, 24, 24, 24}},  {3, {8, 15, 24, 24, 24, 24}},  {5, {8, 8, 8, 8, 8, 8}},
    {7, {8, 16, 16, 24, 24, 24}},  {8, {24, 24, 24, 24, 24, 24}}, {2, {8, 24, 24, 24, 24, 24}},
    {9, {8, 24, 24, 24, 24, 24}},  {1, {8, 15, 24, 24, 24, 24}},  {11, {24, 24, 24, 24, 24, 24}},
    {12, {0, 0, 0, 0, 0, 0}},      {13, {24, 24, 24, 24, 24, 24}}, {14, {8, 24, 24, 24, 24, 24}},
    {15, {24, 24, 24, 24, 24, 24}}, {10, {8, 24, 24, 24, 24, 24}}, {17, {24, 24, 24, 24, 24, 24}},
    {18, {0, 0, 0, 0, 0, 0}},      {19, {0, 0, 0, 0, 0, 0}},
};

}  // namespace

const QffDesc* FmtTable(int table, int& count) {
  if (table == kWriteTable) {
    count = static_cast<int>(std::size(kWrite));
    return kWrite;
  }
  count = static_cast<int>(std::size(kRead));
  return kRead;
}

QffDesc FmtFind(const std::string& file_name, int table) {
  QffDesc none{kUndefined, 0, "", "", "", ""};
  const auto dot = file_name.find_last_of('.');
  if (dot == std::string::npos) return none;
  std::string ext = file_name.substr(dot);
  // A point inside a folder name is no extension.
  if (ext.find_first_of("/\\") != std::string::npos) return none;
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  ext += '.';
  if (ext == "..") return none;
  int count;
  const QffDesc* rows = FmtTable(table, count);
  for (int i = 0; i < count; ++i) {
    const std::string list = std::string(rows[i].extensions) + ".";
    if (list.find(ext) != std::string::npos) return rows[i];
  }
  return none;
}

int32_t FmtId(const std::string& file_name, int table) { return FmtFind(file_name, table).id; }

int32_t FmtFlags(int32_t id, int table) {
  int count;
  const QffDesc* rows = FmtTable(table, count);
  for (int i = 0; i < count; ++i)
    if (rows[i].id == id) return rows[i].flags;
  return kUndefined;
}

bool FmtIsWritable(int32_t id) { return FmtFlags(id, kWriteTable) != kUndefined; }

int32_t FmtDepth(int32_t id, int32_t bits) {
  int column;
  switch (bits) {
    case 8: column = 0; break;
    case 15: column = 1; break;
    case 16: column = 2; break;
    case 24: column = 3; break;
    case 32: column = 4; break;
    default: column = 5; break;
  }
  for (const auto& row : kDepths)
    if (row.id == id) return row.depth[column];
  return kUndefined;
}

int32_t FmtKind(int32_t id, int32_t frames) {
  if (id <= 0 || id >= 20) return 0;
  switch (id) {
    case 5: case 6: case 7: case 11: case 12: case 18: case 19: return 3;
    case 4: return frames >= 2 ? 3 : 1;
    default: return frames >= 2 ? 2 : 1;
  }
}

const char* FmtFullName(int32_t id) {
  for (const auto& row : kRead)
    if (row.id == id) return row.full_name;
  return "";
}

}  // namespace vek
