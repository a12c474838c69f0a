// The unified layer over still files, numbered sequences and movies.
#include "engine/media_access.h"

#include <cstring>

#include "engine/format_dispatch.h"
#include "engine/format_registry.h"
#include "foundation/errors.h"
#include "foundation/files.h"
#include "image/geometry.h"

namespace vek {

namespace {

void FillImagePart(QUniImagePart& img, const QffInfo& fi) {
  img.width = fi.width;
  img.height = fi.height;
  img.bytespp = fi.bytespp;
  img.bits = fi.bits;
  img.frames = fi.frames;
  img.fps = fi.fps;
  SetText(img.compression, fi.compression);
  img.valid = fi.imagesValid;
  img.supported = fi.imagesSupported;
}

void FillSoundPart(QUniSoundPart& snd, const QffInfo& fi) {
  std::memcpy(&snd.file_format, &fi.sndFormat, sizeof snd.file_format);
  std::memcpy(&snd.format, &fi.sndFormatOut, sizeof snd.format);
  snd.samples = fi.samples;
  SetText(snd.format_name, fi.sndFormatName);
  snd.valid = fi.soundValid;
  snd.supported = fi.soundSupported;
}

void DeriveImage(QUniImagePart& img) {
  img.duration = img.frames > 0 && img.fps > 0 ? img.frames / img.fps : 0.0;
  img.total_bytes = double(img.width) * img.height * img.bytespp * img.frames;
}

void DeriveSound(QUniSoundPart& snd) {
  snd.rate = snd.format.nSamplesPerSec;
  snd.channels = snd.format.nChannels;
  snd.bits = snd.format.wBitsPerSample;
  snd.block_align = snd.format.nBlockAlign;
  snd.duration = snd.rate > 0 ? snd.samples / snd.rate : 0.0;
  snd.total_bytes = double(snd.samples) * snd.block_align;
}

bool TryInfo(const std::string& name, int32_t id, QffInfo& fi) {
    MonitoredBoundary("ConForm.UniInfo_", [&] { FFInfo(name, id, fi); });
  return ErrNone();
}

void SetTime(QUniHandle& h) { h.time = h.fps > 0 ? (h.frame - 1) / h.fps : 0.0; }


int32_t DigitCount(int32_t n) {
  int32_t d = 1;
  while (n >= 10) {
    n /= 10;
    ++d;
  }
  return d;
}

void UniCreateCheck_(QUniHandle& h) {
  Monitored("ConForm.UniCreateCheck_", [&] {
    if (h.created) return;
    h.kind = FmtWriteKind(h.id, h.img.frames);
    const int32_t flags = FmtFlags(h.id, kWriteTable);
    h.img.supported = flags != kUndefined && (flags & kFfImages) ? -1 : 0;
    h.snd.supported = flags != kUndefined && (flags & kFfSound) ? -1 : 0;
    if (h.opts.resetFlag) FFSaveApply(h.opts);
    if (h.kind == kKindStill || h.kind == kKindSequence) {
      std::string prefix, suffix;
      int32_t digits = 0, number = 0;
      const bool numbered = SeqSplit(h.name, false, prefix, digits, number, suffix);
      if (numbered || h.img.frames > 1) {
        h.kind = kKindSequence;
        SetText(h.seq.prefix, prefix.c_str());
        SetText(h.seq.suffix, suffix.c_str());
        h.seq.start = numbered ? number : 0;
        h.seq.digits = numbered ? digits : DigitCount(h.img.frames);
      }
    } else if (h.kind == kKindMovie) {
      MviCreate(h.movie, h.name, h.fps, h.frames_per_block, h.img.frames);
      for (int i = 0; i < h.avi_info_count; ++i)
        MviSetAviCustomInfo(h.movie, h.avi_info[i].id, h.avi_info[i].text);
      if (h.sound_expected_set && h.snd.supported) MviExpectSound(h.movie, h.sound_expected);
    } else {
      ErrRaise(kGrpUni, kUniProtocol, 1);
    }
    h.created = -1;
  });
}

}  // namespace

bool UniInfo(const std::string& name, QUniInfo& info, int32_t max_frames, bool allow_minus) {
    MonitoredBoundary("ConForm.UniInfo", [&] {
    std::memset(&info, 0, sizeof info);
    int32_t id = FmtId(name, kReadTable);
    QffInfo fi{};
    bool ok = TryInfo(name, id, fi);
    if (!ok && ErrGroup() == kGrpMovie2 && ErrCode() == kMviWrite && id != kUndefined) {
      // A known extension whose module is missing: the content search may still help.
    } else if (!ok && ErrGroup() == kGrpMovie2 && ErrCode() == kMviWrite) {
      ErrRaise(kGrpMovie2, kMviWrite, 2);
    }
    const bool failed = !ok;
    if (!ok || (!fi.imagesValid && !fi.soundValid)) {
      int count;
      const QffDesc* rows = FmtTable(kReadTable, count);
      bool found = false;
      for (int i = 0; i < count && !found; ++i) {
        if (rows[i].id == id) continue;
        QffInfo other{};
        if (TryInfo(name, rows[i].id, other) && (other.imagesValid || other.soundValid)) {
          id = rows[i].id;
          fi = other;
          found = true;
        }
      }
      ErrClear();
      // A file its own format reads, though it holds nothing usable, stays
      // described as that format; only a failure with no other taker fails.
      if (!found && failed) ErrRaise(kGrpFile, kFileNotExist, 3);
    }
    info.id = id;
    SetText(info.name, name.c_str());
    SetText(info.full_name, fi.fullName);
    info.file_size = double(fi.size);
    FillImagePart(info.img, fi);
    FillSoundPart(info.snd, fi);
    info.max_data_rate = fi.maxDataRate;
    info.kind = FmtKind(id, info.img.frames);
    if (info.kind == kKindStill && max_frames > 1) {
      std::string prefix, suffix;
      int32_t digits = 0, number = 0;
      if (SeqSplit(name, allow_minus, prefix, digits, number, suffix)) {
        int32_t files = 0;
        double total = 0;
        for (int64_t n = number; files < max_frames && n <= INT32_MAX; ++n) {
          int64_t size = 0;
          if (!SeqCheck(prefix, suffix, static_cast<int32_t>(n), size, info.img, digits)) break;
          total += double(size);
          ++files;
        }
        if (files >= 2) {
          info.kind = kKindSequence;
          info.img.frames = files;
          info.file_size = total;
        }
        SetText(info.seq.prefix, prefix.c_str());
        SetText(info.seq.suffix, suffix.c_str());
        info.seq.start = number;
        info.seq.digits = digits;
      }
    }
    DeriveImage(info.img);
    DeriveSound(info.snd);
  });
  if (ErrNone()) return true;
  const int32_t group = ErrGroup(), code = ErrCode();
  ErrClear();
  // Only a missing file is reported missing; one that is there but that no
  // reader takes is an invalid file, or keeps the reason it failed for.
  const bool unknown = (group == kGrpFile && code == kFileNotExist) ||
                       (group == kGrpMovie2 && code == kMviWrite);
  if (!FExists(name))
    WarnReportCode(kGrpFile, kFileNotExist, 4);
  else if (unknown)
    WarnReportCode(kGrpImage, kImgInvalid, 5);
  else
    WarnReportCode(group, code, 6);
  return false;
}

void UniOpen(QUniHandle& h, const QUniInfo& info) {
  Monitored("ConForm.UniOpen", [&] {
    std::memset(&h, 0, sizeof h);
    h.movie.id = kUndefined;
    h.id = info.id;
    h.kind = info.kind;
    SetText(h.name, info.name);
    h.img = info.img;
    h.snd = info.snd;
    h.fps = info.img.fps;
    h.img_known = -1;
    h.snd_known = -1;
    switch (h.kind) {
      case kKindStill: break;
      case kKindSequence: h.seq = info.seq; break;
      case kKindMovie: MviOpen(h.movie, h.name, h.id); break;
      default: ErrRaise(kGrpUni, kUniProtocol, 5);
    }
  });
}

void UniImgLoad(QUniHandle& h, QImg& image, int32_t frame, int32_t mode) {
  Monitored("ConForm.UniImgLoad", [&] {
    h.new_picture = 0;
    if (!h.img.supported) ErrRaise(kGrpMovie, kMviNotSupported, 6);
    switch (h.kind) {
      case kKindStill:
        ImgLoad(h.name, image, h.id);
        h.frame = 1;
        h.new_picture = -1;
        break;
      case kKindSequence:
        ImgLoad(SeqName(h.seq, frame), image, h.id);
        h.frame = frame;
        h.new_picture = -1;
        break;
      case kKindMovie: {
        MviImgLoad(h.movie, image, frame, mode);
        const MovieView v = MviView(h.movie);
        h.frame = v.current;
        h.new_picture = v.new_picture ? -1 : 0;
        break;
      }
      default: ErrRaise(kGrpUni, kUniProtocol, 7);
    }
    SetTime(h);
  });
}

void UniSndLoad(QUniHandle& h, SoundBuffer& snd, int32_t first, int32_t mode, int32_t count) {
  Monitored("ConForm.UniSndLoad", [&] {
    if (!h.snd.supported) ErrRaise(kGrpMovie, kMviNotSupported, 8);
    if (h.kind != kKindMovie) ErrRaise(kGrpUni, kUniProtocol, 9);
    MviSndLoad(h.movie, snd, first, mode, count);
    h.sample = MviView(h.movie).samples_done;
    h.sound_time = h.snd.rate > 0 ? h.sample / h.snd.rate : 0.0;
  });
}

void UniCreate(QUniHandle& h, const std::string& name) {
  Monitored("ConForm.UniCreate", [&] {
    std::memset(&h, 0, sizeof h);
    h.movie.id = kUndefined;
    h.id = FmtId(name, kWriteTable);
    h.kind = FmtWriteKind(h.id, 1);
    SetText(h.name, name.c_str());
    h.img.frames = 1;
  });
}

void UniSetFrames(QUniHandle& h, int32_t frames) {
  h.img.frames = frames;
  h.kind = FmtWriteKind(h.id, frames);
}
void UniSetFrameRate(QUniHandle& h, double fps) { h.fps = fps; }
void UniSetSoundBlock(QUniHandle& h, int32_t frames_per_block) { h.frames_per_block = frames_per_block; }
void UniExpectSound(QUniHandle& h, const WaveFormat& format) {
  h.sound_expected = format;
  h.sound_expected_set = -1;
}
void UniSetOptions(QUniHandle& h, const QSaveOpts& opts) { h.opts = opts; }

void UniAddAviInfo(QUniHandle& h, const char* id, const char* text) {
  if (h.avi_info_count >= 16 || !id || !text) return;
  QAviInfoItem& item = h.avi_info[h.avi_info_count++];
  SetText(item.id, id);
  SetText(item.text, text);
}

void UniImgSave(QUniHandle& h, QImg& image) {
  Monitored("ConForm.UniImgSave", [&] {
    if (!h.img_known) {
      h.img.width = image.width;
      h.img.height = image.height;
      h.img.bytespp = image.bytespp;
      h.img.bits = image.bits;
      h.img_known = -1;
    }
    if (!h.created) UniCreateCheck_(h);
    if (!h.img.supported) ErrRaise(kGrpMovie, kMviNotSupported, 10);
    QImg temp{};
    QImg* out = &image;
    ImgGuard guard_temp(temp);
    if (image.bits != h.img.bits) {
      ImgConvBpp(out, &temp, h.img.bits);
      out = &temp;
    }
    if (out->width != h.img.width || out->height != h.img.height) {
      if (out == &temp) {
        QImg sized{};
        ImgGuard guard_sized(sized);
        ImgResize(&temp, &sized, h.img.width, h.img.height);
        ImgXchg(&temp, &sized);
        ImgFree(&sized);
      } else {
        ImgResize(out, &temp, h.img.width, h.img.height);
      }
      out = &temp;
    }
    switch (h.kind) {
      case kKindStill:
        ImgSave(h.name, *out, h.id);
        h.frame = 1;
        break;
      case kKindSequence:
        if (h.count == 0) SetText(h.name, SeqName(h.seq, 1).c_str());
        ImgSave(SeqName(h.seq, h.count + 1), *out, h.id);
        ++h.count;
        h.frame = h.count;
        break;
      case kKindMovie:
        MviImgSave(h.movie, *out);
        h.frame = MviView(h.movie).current;
        break;
      default: ErrRaise(kGrpUni, kUniProtocol, 11);
    }
  });
}

void UniSndSave(QUniHandle& h, SoundBuffer& snd) {
  Monitored("ConForm.UniSndSave", [&] {
    if (!h.snd_known) {
      const WaveFormat& f = snd.format;
      SndMakeFormat(h.snd.format, static_cast<int32_t>(f.nSamplesPerSec), f.nChannels,
                    f.wBitsPerSample);
      DeriveSound(h.snd);
      h.snd_known = -1;
    }
    if (!h.created) UniCreateCheck_(h);
    if (!h.snd.supported) ErrRaise(kGrpMovie, kMviNotSupported, 12);
    if (h.kind != kKindMovie) ErrRaise(kGrpUni, kUniProtocol, 13);
    MviSndSave(h.movie, snd);
    h.sample = MviView(h.movie).samples_done;
    h.sound_time = h.snd.rate > 0 ? h.sample / h.snd.rate : 0.0;
  });
}

void UniClose(QUniHandle& h) {
  Monitored("ConForm.UniClose", [&] {
    if (h.kind == kKindMovie) {
      MonSetCleanup([&h] {
        std::memset(&h, 0, sizeof h);
        h.movie.id = kUndefined;
      });
      MviClose(h.movie);
    } else if (h.kind < 0 || h.kind > kKindMovie) {
      ErrRaise(kGrpUni, kUniProtocol, 14);
    }
    std::memset(&h, 0, sizeof h);
    h.movie.id = kUndefined;
  });
}

void FFInit(int32_t id, QFramePrep& prep, QImg& image, int32_t multiple) {
  Monitored("FFBasic.FFInit", [&] {
    std::memset(&prep, 0, sizeof prep);
    prep.image = &image;
        MonitoredBoundary("FFBasic.FFInit_", [&] {
      if (!ImgValid(&image) || image.width < 4 || image.width > 4096 || image.height < 4 ||
          image.height > 4096)
        ErrRaise(kGrpMovie2, kMviInvalidFormat, 15);
      const int32_t m = multiple > 0 ? multiple : 1;
      QImg* cur = &image;
      if (image.width % m != 0 || image.height % m != 0) {
        const int32_t w = (image.width + m - 1) / m * m;
        const int32_t hgt = (image.height + m - 1) / m * m;
        ImgAlloc(&prep.temp, w, hgt, image.bits, 16, "FFBasic.FFInit.ffi.temp_img");
        std::memset(prep.temp.pixels, 0, static_cast<size_t>(prep.temp.size));
        ImgCopyPalette(&image, &prep.temp);
        ImgInsert(&image, &prep.temp, 0, 0);
        cur = &prep.temp;
      }
      const int32_t depth = FmtDepth(id, cur->bits);
      if (depth != cur->bits && depth > 0) {
        if (cur == &prep.temp) {
          QImg conv{};
          ImgGuard guard_conv(conv);
          ImgConvBpp(&prep.temp, &conv, depth);
          ImgXchg(&prep.temp, &conv);
          ImgFree(&conv);
        } else {
          ImgConvBpp(&image, &prep.temp, depth);
        }
        cur = &prep.temp;
      }
      prep.image = cur;
    });
    if (!ErrNone()) {
      ImgFree(&prep.temp);
      ErrRaise(kGrpMovie2, kMviInvalidFormat, 17);
    }
  });
}

void FFDone(QFramePrep& prep) {
  ImgFree(&prep.temp);
  prep.image = nullptr;
}

}  // namespace vek
