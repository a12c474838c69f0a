#include "engine/save_options.h"

#include "engine/format_module.h"
#include "engine/format_registry.h"
#include "foundation/errors.h"

namespace vek {

namespace {
// The compressor operations of the AVI module, null until that module is built.
const CodecOps* AviCodec() {
  const FormatModule* m = FormatModuleFor(kFmtAVI);
  return m ? m->codec : nullptr;
}
}  // namespace

std::string FourCCText(uint32_t code) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return s;
}

void FFSaveReset(QSaveOpts& opts) {
  opts = QSaveOpts{};
  opts.resetFlag = -1;
  opts.dialog = 0;
  opts.format = kUndefined;
  opts.prepCodec = opts.prepQuality = opts.prepDataRate = opts.prepKeyFrameRate = kUndefined;
  opts.tgaCodec = 1;
  opts.tiffCompression = 1;
  opts.sgiCodec = 1;
  opts.rasCodec = 1;
  opts.pnmAscii = 0;
  opts.havCodec = 1;
  opts.pngLevel = 7;
  opts.mpegCodec = 1;
  opts.avi = QAviCodecSettings{FourCC("cvid"), kUndefined, kUndefined, kUndefined};
  opts.jpegQuality = 85;
  opts.havKeyFrameRate = 25;
  opts.mpegDataRate = 1125 * 8;
}

void FFSaveSetFormat(QSaveOpts& opts, int32_t id) {
  opts.format = id;
  switch (id) {
    case 1: case 6: case 7: case 8: case 9: case 10: case 11: case 13: case 14: case 15:
      opts.dialog = -1;
      break;
    default:
      opts.dialog = 0;
  }
}

void FFSaveSetCodec(QSaveOpts& opts, int32_t codec) {
  switch (opts.format) {
    case kFmtTGA: opts.tgaCodec = codec; break;
    case kFmtHAV: opts.havCodec = codec; break;
    case kFmtPNG: opts.pngLevel = codec; break;
    case kFmtTIFF: opts.tiffCompression = codec; break;
    case kFmtMPEG: opts.mpegCodec = codec; break;
    case kFmtSGI: opts.sgiCodec = codec; break;
    case kFmtRAS: opts.rasCodec = codec; break;
    case kFmtPNM: opts.pnmAscii = codec; break;
    case kFmtAVI:
      opts.prepKeyFrameRate = opts.avi.keyFrameRate;
      opts.prepQuality = opts.avi.quality;
      opts.prepDataRate = opts.avi.dataRate;
      if (const CodecOps* avi = AviCodec(); avi && avi->select) {
        avi->select(opts.avi, static_cast<uint32_t>(codec));
      } else {
        opts.avi.handler = static_cast<uint32_t>(codec);
      }
      opts.avi.keyFrameRate = opts.prepKeyFrameRate;
      opts.avi.quality = opts.prepQuality;
      opts.avi.dataRate = opts.prepDataRate;
      break;
    default: break;
  }
}

void FFSaveSetQuality(QSaveOpts& opts, int32_t quality) {
  if (opts.format == kFmtAVI)
    opts.avi.quality = quality;
  else if (opts.format == kFmtJPEG)
    opts.jpegQuality = quality;
}

void FFSaveSetKeyFrameRate(QSaveOpts& opts, int32_t frames) {
  if (opts.format == kFmtAVI)
    opts.avi.keyFrameRate = frames;
  else if (opts.format == kFmtHAV)
    opts.havKeyFrameRate = frames;
}

void FFSaveSetDataRate(QSaveOpts& opts, int32_t rate) {
  if (opts.format == kFmtAVI)
    opts.avi.dataRate = rate;
  else if (opts.format == kFmtMPEG)
    opts.mpegDataRate = rate * 8;
}

bool FFSaveDlg(QSaveOpts& opts, int32_t, int32_t, int32_t) {
  // No option dialogs exist on this platform yet: stop silently, as when the
  // format has none.
  (void)opts;
  return Monitored("FFBasic.FFSaveDlg", []() -> bool { MonAbort(); });
}

std::string FFSaveCodecName(const QSaveOpts& opts) {
  const std::string rle = "Run Length Encoding (RLE)";
  switch (opts.format) {
    case kFmtTGA:
      if (opts.tgaCodec != 0) return rle;
      break;
    case kFmtPCX: return rle;
    case kFmtFLIC: return "RLE + pixel difference from previous frame";
    case kFmtAVI:
      if (const CodecOps* avi = AviCodec(); avi && avi->name) return avi->name(opts.avi);
      return FourCCText(opts.avi.handler);
    case kFmtHAV:
      return opts.havCodec == 0 ? "HAV-BEST compression"
                                 : opts.havCodec == 1 ? "HAV-FAST compression" : "N/A";
    case kFmtJPEG: return "JPEG quality: " + NumText(opts.jpegQuality) + "%";
    case kFmtPNG: return "PNG compression level: " + NumText(opts.pngLevel) + " of 9";
    case kFmtTIFF:
      switch (opts.tiffCompression) {
        case 5: return "Variable-Length-Code LZW";
        case 7: return "JPEG DCT compression";
        case 32773: return "PackBits (Macintosh RLE)";
        case 32946: return "Deflate compression (ZIP)";
        default: break;
      }
      break;
    case kFmtMPEG:
      return opts.mpegCodec == 1 ? "MPEG-1 format" : opts.mpegCodec == 2 ? "MPEG-2 format" : "N/A";
    case kFmtSGI:
      if (opts.sgiCodec != 0) return rle;
      break;
    case kFmtRAS:
      if (opts.rasCodec != 0) return rle;
      break;
    case kFmtPNM: return opts.pnmAscii != 0 ? "ASCII encoded" : "Binary encoded";
    default: break;
  }
  return "Uncompressed, full frames";
}

int32_t FFSavePrepare(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits) {
  int32_t depth = FmtDepth(opts.format, bits);
  switch (opts.format) {
    case kFmtTGA: opts.prepCodec = opts.tgaCodec; break;
    case kFmtPNG: opts.prepCodec = opts.pngLevel; break;
    case kFmtTIFF: opts.prepCodec = opts.tiffCompression; break;
    case kFmtSGI: opts.prepCodec = opts.sgiCodec; break;
    case kFmtRAS: opts.prepCodec = opts.rasCodec; break;
    case kFmtPNM: opts.prepCodec = opts.pnmAscii; break;
    case kFmtHAV:
      opts.prepCodec = opts.havCodec;
      opts.prepKeyFrameRate = opts.havKeyFrameRate;
      break;
    case kFmtJPEG: opts.prepQuality = opts.jpegQuality; break;
    case kFmtMPEG:
      opts.prepCodec = opts.mpegCodec;
      opts.prepDataRate = opts.mpegDataRate;
      break;
    case kFmtAVI: {
      depth = 0;
      const CodecOps* avi = AviCodec();
      if (!avi || !avi->prepare) break;
      MonNextIsBoundary();
      const int32_t d = Monitored("FFBasic.FFSavePrepare", [&] {
        return avi->prepare(opts.avi, width, height, bits);
      });
      if (ErrNone()) {
        depth = d;
        opts.prepCodec = static_cast<int32_t>(opts.avi.handler);
      }
      break;
    }
    default: break;
  }
  return depth;
}

}  // namespace vek
