// The video-file and video-codec service: AVI files read and written stream
// by stream (the AVIFile calls), and the installed video compressors and
// decompressors (the IC calls), with the records, flags and result codes a
// Windows host knows from Video for Windows.
//
// Files: RIFF AVI with idx1, continued as OpenDML (AVIX parts with indx
// super-indexes and ix## chunk indexes) past the first part's size limit.
// Reading copes with OpenDML, a missing or broken idx1 (the index is rebuilt
// by scanning the movi lists), odd padding and cut-off files (everything
// before the cut reads). Every size, offset and count read from a file is
// checked before use.
//
// Codecs: libavcodec's video codecs by FourCC (ic_ffmpeg.cpp), with our
// own Microsoft RLE encoder for 8-bit frames.
#pragma once

#include <cstdint>

#include "platform/gdi/gdi.h"

namespace vek::platform {

using HRESULT = int32_t;
using LRESULT = intptr_t;
using FOURCC = uint32_t;
using gdi::BITMAPINFOHEADER;

constexpr FOURCC MakeFourCC(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
         uint32_t(uint8_t(d)) << 24;
}

inline constexpr FOURCC streamtypeVIDEO = MakeFourCC('v', 'i', 'd', 's');
inline constexpr FOURCC streamtypeAUDIO = MakeFourCC('a', 'u', 'd', 's');
inline constexpr FOURCC ICTYPE_VIDEO = MakeFourCC('v', 'i', 'd', 'c');
inline constexpr FOURCC ckidLIST = MakeFourCC('L', 'I', 'S', 'T');

// Result codes of the file library (MAKE_AVIERROR).
inline constexpr HRESULT AVIERR_OK = 0;
constexpr HRESULT MakeAviError(int n) { return static_cast<HRESULT>(0x80044000u + uint32_t(n)); }
inline constexpr HRESULT AVIERR_UNSUPPORTED = MakeAviError(101);
inline constexpr HRESULT AVIERR_BADFORMAT = MakeAviError(102);
inline constexpr HRESULT AVIERR_MEMORY = MakeAviError(103);
inline constexpr HRESULT AVIERR_INTERNAL = MakeAviError(104);
inline constexpr HRESULT AVIERR_BADFLAGS = MakeAviError(105);
inline constexpr HRESULT AVIERR_BADPARAM = MakeAviError(106);
inline constexpr HRESULT AVIERR_BADSIZE = MakeAviError(107);
inline constexpr HRESULT AVIERR_BADHANDLE = MakeAviError(108);
inline constexpr HRESULT AVIERR_FILEREAD = MakeAviError(109);
inline constexpr HRESULT AVIERR_FILEWRITE = MakeAviError(110);
inline constexpr HRESULT AVIERR_FILEOPEN = MakeAviError(111);
inline constexpr HRESULT AVIERR_COMPRESSOR = MakeAviError(112);
inline constexpr HRESULT AVIERR_NOCOMPRESSOR = MakeAviError(113);
inline constexpr HRESULT AVIERR_READONLY = MakeAviError(114);
inline constexpr HRESULT AVIERR_NODATA = MakeAviError(115);
inline constexpr HRESULT AVIERR_BUFFERTOOSMALL = MakeAviError(116);
inline constexpr HRESULT AVIERR_CANTCOMPRESS = MakeAviError(117);
inline constexpr HRESULT AVIERR_ERROR = MakeAviError(199);

// Open modes. Windows' headers have them as macros; ours take their place.
#ifdef _WIN32
#undef OF_READ
#undef OF_WRITE
#undef OF_CREATE
#endif
inline constexpr uint32_t OF_READ = 0x0000;
inline constexpr uint32_t OF_WRITE = 0x0001;
inline constexpr uint32_t OF_CREATE = 0x1000;

// Index and write flags.
inline constexpr uint32_t AVIIF_LIST = 0x00000001;
inline constexpr uint32_t AVIIF_KEYFRAME = 0x00000010;
inline constexpr int32_t AVISTREAMREAD_CONVENIENT = -1;

// Compression option flags.
inline constexpr uint32_t AVICOMPRESSF_INTERLEAVE = 0x01;
inline constexpr uint32_t AVICOMPRESSF_DATARATE = 0x02;
inline constexpr uint32_t AVICOMPRESSF_KEYFRAMES = 0x04;
inline constexpr uint32_t AVICOMPRESSF_VALID = 0x08;

struct CLSID {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
};
// The AVI file handler and the compressed-stream handler.
inline constexpr CLSID CLSID_AVIFile{0x00020000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID CLSID_AVICmprsStream{0x00020001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct RECT32 {
  int32_t left, top, right, bottom;
};

struct AVIFILEINFO {
  uint32_t dwMaxBytesPerSec;
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint32_t dwStreams;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwWidth;
  uint32_t dwHeight;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwLength;
  uint32_t dwEditCount;
  char szFileType[64];
};

struct AVISTREAMINFO {
  FOURCC fccType;
  FOURCC fccHandler;
  uint32_t dwFlags;
  uint32_t dwCaps;
  uint16_t wPriority;
  uint16_t wLanguage;
  uint32_t dwScale;
  uint32_t dwRate;
  uint32_t dwStart;
  uint32_t dwLength;
  uint32_t dwInitialFrames;
  uint32_t dwSuggestedBufferSize;
  uint32_t dwQuality;
  uint32_t dwSampleSize;
  RECT32 rcFrame;
  uint32_t dwEditCount;
  uint32_t dwFormatChangeCount;
  char szName[64];
};

// Compression options; on a 32-bit host the 44-byte record hosts know.
struct AVICOMPRESSOPTIONS {
  FOURCC fccType;
  FOURCC fccHandler;
  uint32_t dwKeyFrameEvery;
  uint32_t dwQuality;        // 0..10000
  uint32_t dwBytesPerSecond;
  uint32_t dwFlags;
  void* lpFormat;
  uint32_t cbFormat;
  void* lpParms;  // codec state (ICM_SETSTATE)
  uint32_t cbParms;
  uint32_t dwInterleaveEvery;
};
static_assert(sizeof(void*) != 4 || sizeof(AVICOMPRESSOPTIONS) == 44);

struct AviFile;
struct AviStream;
struct GetFrame;
using PAVIFILE = AviFile*;
using PAVISTREAM = AviStream*;
using PGETFRAME = GetFrame*;

void AVIFileInit();
void AVIFileExit();
// `handler` may be null (the AVI file handler) or CLSID_AVIFile.
HRESULT AVIFileOpen(PAVIFILE* file, const char* name, uint32_t mode, const CLSID* handler);
// Closes the file when the last reference goes; a written file is finished
// then (indexes, headers). Returns the remaining references.
uint32_t AVIFileRelease(PAVIFILE file);
// Finishes a written file now (indexes, headers) and tells how that went;
// the release does it otherwise. Nothing to do for files being read.
HRESULT AviFileFinish(PAVIFILE file);
HRESULT AVIFileInfo(PAVIFILE file, AVIFILEINFO* info, int32_t size);
HRESULT AVIFileGetStream(PAVIFILE file, PAVISTREAM* stream, FOURCC type, int32_t index);
HRESULT AVIFileCreateStream(PAVIFILE file, PAVISTREAM* stream, const AVISTREAMINFO* info);
// Extra chunks of the file: a "LIST" chunk's data begins with its list type.
HRESULT AVIFileWriteData(PAVIFILE file, FOURCC ckid, const void* data, int32_t size);
// Null `data`: *size receives the chunk's size. AVIERR_NODATA when absent.
HRESULT AVIFileReadData(PAVIFILE file, FOURCC ckid, void* data, int32_t* size);

uint32_t AVIStreamRelease(PAVISTREAM stream);
HRESULT AVIStreamInfo(PAVISTREAM stream, AVISTREAMINFO* info, int32_t size);
// Null `format`: *size receives the format's size.
HRESULT AVIStreamReadFormat(PAVISTREAM stream, int32_t pos, void* format, int32_t* size);
HRESULT AVIStreamSetFormat(PAVISTREAM stream, int32_t pos, const void* format, int32_t size);
int32_t AVIStreamStart(PAVISTREAM stream);
int32_t AVIStreamLength(PAVISTREAM stream);
// Reads `samples` samples from `start` (AVISTREAMREAD_CONVENIENT: as many as
// fit); null `buffer` asks the size. Video samples are frames.
HRESULT AVIStreamRead(PAVISTREAM stream, int32_t start, int32_t samples, void* buffer,
                      int32_t buffer_size, int32_t* bytes, int32_t* samples_read);
HRESULT AVIStreamWrite(PAVISTREAM stream, int32_t start, int32_t samples, const void* buffer,
                       int32_t buffer_size, uint32_t flags, int32_t* samples_written,
                       int32_t* bytes_written);
bool AVIStreamIsKeyFrame(PAVISTREAM stream, int32_t pos);

// A stream that compresses the frames written to it with the options' codec
// (ic_ffmpeg.cpp).
HRESULT AVIMakeCompressedStream(PAVISTREAM* compressed, PAVISTREAM source,
                                const AVICOMPRESSOPTIONS* options, const CLSID* handler);
// Decompresses frames into packed bitmaps (header, colour table, rows).
// `wanted` null: the decompressor's natural format (8 bits with palette for
// palette streams, else 24 bits).
PGETFRAME AVIStreamGetFrameOpen(PAVISTREAM stream, const BITMAPINFOHEADER* wanted);
// The packed bitmap of frame `pos`, valid until the next call; null on failure.
void* AVIStreamGetFrame(PGETFRAME frames, int32_t pos);
HRESULT AVIStreamGetFrameClose(PGETFRAME frames);

// Whether a written file still takes a new stream once data is in it. Ours
// keeps room for one (a sound stream begun after the first frame); the
// system's AVIFile takes none.
bool AviLateStreams();

// Size at which a new RIFF part is begun (1 GiB); tests lower it.
void AviSetRiffLimit(int64_t bytes);
// Files, streams and frame decoders still open (leak checks in tests).
int32_t AviOpenObjects();

}  // namespace vek::platform
