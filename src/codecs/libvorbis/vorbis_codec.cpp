// Ogg Vorbis decoding and encoding over the reference libraries.
#include "codecs/libvorbis/vorbis_codec.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_set>

namespace vek::platform {

struct OvFileHandle {
  std::FILE* f = nullptr;
  void* vf = nullptr;
};

struct OvEncoder {
  std::FILE* f = nullptr;
  const WAVEFORMATEX* format = nullptr;
  float quality = 0.3f;
  bool started = false;
  bool failed = false;
  int channels = 0;
  int bits = 0;
  vorbis_info vi;
  vorbis_comment vc;
  vorbis_dsp_state vd;
  vorbis_block vb;
  ogg_stream_state os;
};

namespace {

// What the caller's storage holds.
struct FileBlock {
  OggVorbis_File vf;
  OvInfo info;
  int32_t channels;  // of the first stream: later links must match
  int32_t rate;
  int32_t link;      // the link the last read came from
};
static_assert(sizeof(FileBlock) <= kOvFileStructSize, "decoder storage too small");

std::unordered_set<const void*>& Live() {
  static std::unordered_set<const void*> live;
  return live;
}

FileBlock* Block(void* vf) {
  return vf && Live().count(vf) ? static_cast<FileBlock*>(vf) : nullptr;
}

size_t ReadCb(void* ptr, size_t size, size_t n, void* src) {
  return std::fread(ptr, size, n, static_cast<std::FILE*>(src));
}
int SeekCb(void* src, ogg_int64_t off, int whence) {
  return fseeko(static_cast<std::FILE*>(src), static_cast<off_t>(off), whence);
}
long TellCb(void* src) { return static_cast<long>(ftello(static_cast<std::FILE*>(src))); }

bool Put(OvEncoder* e, const ogg_page& og) {
  if (std::fwrite(og.header, 1, static_cast<size_t>(og.header_len), e->f) !=
          static_cast<size_t>(og.header_len) ||
      std::fwrite(og.body, 1, static_cast<size_t>(og.body_len), e->f) !=
          static_cast<size_t>(og.body_len)) {
    e->failed = true;
    return false;
  }
  return true;
}

// Hands every finished block to the stream and writes the pages it fills.
bool Drain(OvEncoder* e) {
  ogg_packet op;
  ogg_page og;
  while (vorbis_analysis_blockout(&e->vd, &e->vb) == 1) {
    vorbis_analysis(&e->vb, nullptr);
    vorbis_bitrate_addblock(&e->vb);
    while (vorbis_bitrate_flushpacket(&e->vd, &op)) {
      ogg_stream_packetin(&e->os, &op);
      while (ogg_stream_pageout(&e->os, &og))
        if (!Put(e, og)) return false;
    }
  }
  return true;
}

bool Start(OvEncoder* e) {
  if (e->started) return true;
  if (e->failed || !e->format) return false;
  const WAVEFORMATEX& f = *e->format;
  if (f.wFormatTag != WAVE_FORMAT_PCM || f.nChannels < 1 || f.nChannels > 255 ||
      (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) || f.nSamplesPerSec < 1 ||
      f.nSamplesPerSec > 768000) {
    e->failed = true;
    return false;
  }
  e->channels = f.nChannels;
  e->bits = f.wBitsPerSample;
  vorbis_info_init(&e->vi);
  if (vorbis_encode_init_vbr(&e->vi, e->channels, static_cast<long>(f.nSamplesPerSec),
                             e->quality) != 0) {
    vorbis_info_clear(&e->vi);
    e->failed = true;
    return false;
  }
  vorbis_comment_init(&e->vc);
  vorbis_comment_add_tag(&e->vc, "ENCODER", "libvek");
  vorbis_analysis_init(&e->vd, &e->vi);
  vorbis_block_init(&e->vd, &e->vb);
  // Serial numbers tell streams apart when files are chained.
  ogg_stream_init(&e->os, static_cast<int>(std::time(nullptr) ^ reinterpret_cast<uintptr_t>(e)));
  e->started = true;
  ogg_packet h1, h2, h3;
  vorbis_analysis_headerout(&e->vd, &e->vc, &h1, &h2, &h3);
  ogg_stream_packetin(&e->os, &h1);
  ogg_stream_packetin(&e->os, &h2);
  ogg_stream_packetin(&e->os, &h3);
  ogg_page og;
  // The headers end their own pages, as the format asks.
  while (ogg_stream_flush(&e->os, &og))
    if (!Put(e, og)) return false;
  return true;
}

void FreeEncoder(OvEncoder* e) {
  if (e->started) {
    ogg_stream_clear(&e->os);
    vorbis_block_clear(&e->vb);
    vorbis_dsp_clear(&e->vd);
    vorbis_comment_clear(&e->vc);
    vorbis_info_clear(&e->vi);
  }
  if (e->f) std::fclose(e->f);
  Live().erase(e);
  delete e;
}

}  // namespace

int32_t OvOpenHandles() { return static_cast<int32_t>(Live().size()); }

int32_t ov_open_2(OvFileHandle** handle, const char* name, void* vf, const char* initial,
                  int32_t ibytes) {
  if (handle) *handle = nullptr;
  if (!handle || !name || !vf || initial || ibytes) return OV_EINVAL;
  if (Live().count(vf)) return OV_EINVAL;  // already open
  std::FILE* f = std::fopen(name, "rb");
  if (!f) return OV_EREAD;
  OvFileHandle* h = new (std::nothrow) OvFileHandle;
  if (!h) {
    std::fclose(f);
    return OV_EFAULT;
  }
  FileBlock* b = new (vf) FileBlock{};
  // The file is closed here, not by the library.
  const ov_callbacks cb{ReadCb, SeekCb, nullptr, TellCb};
  const int r = ::ov_open_callbacks(f, &b->vf, nullptr, 0, cb);
  const vorbis_info* vi = r == 0 ? ::ov_info(&b->vf, -1) : nullptr;
  if (r != 0 || !vi || vi->channels < 1 || vi->rate < 1) {
    if (r == 0) ::ov_clear(&b->vf);
    std::memset(vf, 0, sizeof(FileBlock));
    std::fclose(f);
    delete h;
    return r < 0 ? r : OV_ENOTVORBIS;
  }
  b->channels = vi->channels;
  b->rate = static_cast<int32_t>(std::min<long>(vi->rate, INT32_MAX));
  b->link = b->vf.current_link;
  h->f = f;
  h->vf = vf;
  Live().insert(vf);
  Live().insert(h);
  *handle = h;
  return 0;
}

const OvInfo* ov_info(void* vf, int32_t link) {
  FileBlock* b = Block(vf);
  if (!b) return nullptr;
  const vorbis_info* vi = ::ov_info(&b->vf, link);
  if (!vi) return nullptr;
  b->info = OvInfo{vi->version,
                   vi->channels,
                   static_cast<int32_t>(std::clamp<long>(vi->rate, 0, INT32_MAX)),
                   static_cast<int32_t>(std::clamp<long>(vi->bitrate_upper, INT32_MIN, INT32_MAX)),
                   static_cast<int32_t>(std::clamp<long>(vi->bitrate_nominal, INT32_MIN, INT32_MAX)),
                   static_cast<int32_t>(std::clamp<long>(vi->bitrate_lower, INT32_MIN, INT32_MAX))};
  return &b->info;
}

int64_t ov_pcm_total(void* vf, int32_t link) {
  FileBlock* b = Block(vf);
  if (!b) return OV_EINVAL;
  return ::ov_pcm_total(&b->vf, link);
}

int64_t ov_pcm_seek(void* vf, int64_t position) {
  FileBlock* b = Block(vf);
  if (!b) return OV_EINVAL;
  const int64_t total = ::ov_pcm_total(&b->vf, -1);
  if (total < 0) return total;
  const int64_t target = std::clamp<int64_t>(position - 1, 0, total);
  const int r = ::ov_pcm_seek(&b->vf, target);
  if (r < 0) return r;
  b->link = b->vf.current_link;
  return target;
}

int32_t ov_read(void* vf, char* buffer, int32_t length, int32_t bigendian, int32_t word,
                int32_t sgned, int32_t* bitstream) {
  FileBlock* b = Block(vf);
  if (!b || !buffer || length < 1) return OV_EINVAL;
  int link = 0;
  long r;
  // A hole (lost pages) is reported once; the stream goes on behind it.
  int holes = 0;
  do {
    r = ::ov_read(&b->vf, buffer, length, bigendian, word, sgned, &link);
  } while (r == OV_HOLE && ++holes < 64);
  if (r <= 0) return static_cast<int32_t>(r);
  if (bitstream) *bitstream = link;
  if (link != b->link) {
    const vorbis_info* vi = ::ov_info(&b->vf, link);
    if (!vi || vi->channels != b->channels || vi->rate != b->rate) return 0;
    b->link = link;
  }
  return static_cast<int32_t>(r);
}

int32_t ov_clear_2(OvFileHandle* handle, void* vf) {
  if (!handle || !Live().count(handle)) return 0;
  if (FileBlock* b = Block(handle->vf)) {
    ::ov_clear(&b->vf);
    Live().erase(handle->vf);
    b->~FileBlock();
    std::memset(handle->vf, 0, sizeof(FileBlock));
  }
  (void)vf;
  std::fclose(handle->f);
  Live().erase(handle);
  delete handle;
  return 0;
}

int32_t ov_create(OvEncoder** encoder, const char* name, const WAVEFORMATEX* format,
                  float quality) {
  if (!encoder) return 0;
  *encoder = nullptr;
  if (!name || !format) return 0;
  std::FILE* f = std::fopen(name, "wb");
  if (!f) return 0;
  OvEncoder* e = new (std::nothrow) OvEncoder;
  if (!e) {
    std::fclose(f);
    return 0;
  }
  e->f = f;
  e->format = format;
  e->quality = std::clamp(quality, -0.1f, 1.0f);
  Live().insert(e);
  *encoder = e;
  return 1;
}

int32_t ov_write(OvEncoder* e, const void* samples, int32_t bytes) {
  if (!e || !Live().count(e) || bytes < 0 || (bytes > 0 && !samples)) return OV_EINVAL;
  if (!Start(e)) return OV_EFAULT;
  const int ch = e->channels;
  const int frame = ch * (e->bits / 8);
  int64_t frames = bytes / frame;
  const uint8_t* p = static_cast<const uint8_t*>(samples);
  constexpr int64_t kStep = 4096;
  while (frames > 0) {
    const int n = static_cast<int>(std::min(frames, kStep));
    float** buf = vorbis_analysis_buffer(&e->vd, n);
    if (e->bits == 16) {
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < ch; ++c) {
          const uint8_t* s = p + (size_t(i) * ch + c) * 2;
          buf[c][i] = static_cast<float>(static_cast<int16_t>(s[0] | s[1] << 8)) / 32768.0f;
        }
    } else {
      for (int i = 0; i < n; ++i)
        for (int c = 0; c < ch; ++c) buf[c][i] = (p[size_t(i) * ch + c] - 128) / 128.0f;
    }
    vorbis_analysis_wrote(&e->vd, n);
    if (!Drain(e)) return OV_EFAULT;
    p += size_t(n) * frame;
    frames -= n;
  }
  return e->failed ? OV_EFAULT : 0;
}

int32_t ov_close(OvEncoder* e) {
  if (!e || !Live().count(e)) return OV_EINVAL;
  bool ok = Start(e);
  if (ok) {
    vorbis_analysis_wrote(&e->vd, 0);
    ok = Drain(e);
    ogg_page og;
    while (ok && ogg_stream_flush(&e->os, &og)) ok = Put(e, og);
  }
  ok = ok && !e->failed;
  if (std::fflush(e->f) != 0) ok = false;
  FreeEncoder(e);
  return ok ? 0 : OV_EFAULT;
}

}  // namespace vek::platform
