#include "engine/save_options.h"

#include "engine/format_registry.h"
#include "foundation/errors.h"

namespace vek {

namespace {
const SaveOptionOps* Ops(const QSaveOpts& opts) {
  const FormatDescriptor* d = FormatFor(opts.format);
  // The options of an extension writer stay out of sight while it is off.
  if (d && !FmtIsWritable(opts.format) && FmtHasExtensionRows(*d)) return nullptr;
  return d ? &d->save : nullptr;
}

// Installed by the dialog layer, by format id.
SaveDialogFn g_dialogs[kFmtExtIdEnd] = {};
}  // namespace

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
  opts.mpegDataRate = 1125;  // kilobits per second, the MPEG-1 standard rate
}

void FFSaveSetFormat(QSaveOpts& opts, int32_t id) {
  opts.format = id;
  const SaveOptionOps* ops = Ops(opts);
  opts.dialog = ops && ops->dialog ? -1 : 0;
}

void FFSaveSetCodec(QSaveOpts& opts, int32_t codec) {
  if (const SaveOptionOps* ops = Ops(opts); ops && ops->set_codec) ops->set_codec(opts, codec);
}

void FFSaveSetQuality(QSaveOpts& opts, int32_t quality) {
  if (const SaveOptionOps* ops = Ops(opts); ops && ops->set_quality) ops->set_quality(opts, quality);
}

void FFSaveSetKeyFrameRate(QSaveOpts& opts, int32_t frames) {
  if (const SaveOptionOps* ops = Ops(opts); ops && ops->set_key_frame_rate)
    ops->set_key_frame_rate(opts, frames);
}

void FFSaveSetDataRate(QSaveOpts& opts, int32_t rate) {
  if (const SaveOptionOps* ops = Ops(opts); ops && ops->set_data_rate) ops->set_data_rate(opts, rate);
}

void FFSaveSetDialog(int32_t format, SaveDialogFn dialog) {
  if (format > 0 && format < kFmtExtIdEnd) g_dialogs[format] = dialog;
}

bool FFSaveDlg(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits) {
  return Monitored("FFBasic.FFSaveDlg", [&]() -> bool {
    // A format without settings has nothing to ask: a silent refusal (the
    // codec button of the output dialog relies on it).
    const SaveOptionOps* ops = Ops(opts);
    if (!ops || !ops->dialog || opts.dialog == 0) MonAbort();
    // One with settings whose dialog is not installed says so.
    const SaveDialogFn dialog = g_dialogs[opts.format];
    if (!dialog) ErrRaise(kGrpGeneral, kGenNotSupported, 2);
    return dialog(opts, width, height, bits);
  });
}

std::string FFSaveCodecName(const QSaveOpts& opts) {
  std::string name;
  if (const SaveOptionOps* ops = Ops(opts); ops && ops->codec_name) name = ops->codec_name(opts);
  return name.empty() ? kDefaultCompression : name;
}

int32_t FFSavePrepare(QSaveOpts& opts, int32_t width, int32_t height, int32_t bits) {
  const int32_t depth = FmtDepth(opts.format, bits);
  const SaveOptionOps* ops = Ops(opts);
  if (!ops || !ops->prepare) return depth;
  return ops->prepare(opts, width, height, bits, depth);
}

void FFSaveApply(const QSaveOpts& opts) {
  if (const SaveOptionOps* ops = Ops(opts); ops && ops->apply) ops->apply(opts);
}

bool FFSoundFormatOk(const VekWaveFormat& f) {
  return f.formatTag == 1 && (f.bitsPerSample == 8 || f.bitsPerSample == 16) && f.channels >= 1 &&
         f.channels <= 2 && f.samplesPerSec >= static_cast<uint32_t>(kSndOutMinRate) &&
         f.samplesPerSec <= static_cast<uint32_t>(kSndOutMaxRate);
}

void FFSoundCheck(const VekWaveFormat& format) {
  Monitored("FFBasic.FFSoundCheck", [&] {
    if (!FFSoundFormatOk(format)) ErrRaise(kGrpAudio, kAudInvalidFormat, 3);
  });
}

}  // namespace vek
