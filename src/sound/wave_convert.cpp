// Conversion between wave formats through the audio compression service,
// whole-buffer conversion and the streaming decoder (unit SndBasic).
#include <cmath>
#include <algorithm>
#include <cstring>
#include <vector>

#include "sound/sound.h"
#include "sound/sound_internal.h"
#include "foundation/errors.h"
#include "foundation/memory.h"

namespace vek {

using namespace platform;

namespace {

void AcmCheck(MMRESULT result, int32_t site) {
  if (result != MMSYSERR_NOERROR) ErrReportCode(kGrpAcm, static_cast<int32_t>(result), site);
}

// Closes a conversion stream that an error leaves open.
struct StreamGuard {
  WaveConvState& state;
  ~StreamGuard() {
    if (state.stream) acmStreamClose(state.stream, 0);
    state.stream = nullptr;
  }
};

}  // namespace

namespace {

// `count` frames of PCM with more than two channels, in the usual layout of
// the count, to 16 bits at the target's channel count, then to the target.
void MixDown(const SoundBuffer& source, int32_t count, SoundBuffer& dest,
             const WaveFormat& target) {
  const WaveFormat& sf = source.format;
  const int32_t ch = sf.nChannels;
  const int32_t bits = sf.wBitsPerSample;
  int32_t gains[2 * kSndMaxMixChannels];
  if ((bits != 8 && bits != 16) || sf.nBlockAlign != ch * (bits / 8) ||
      !SndMixDownMatrix(0, ch, target.nChannels, gains))
    ErrRaise(kGrpAudio, kAudConvertWave, 23);
  SoundBuffer mixed{};
  SndGuard guard(mixed);
  WaveFormat mf{};
  SndMakeFormat(mf, static_cast<int32_t>(std::min<uint32_t>(sf.nSamplesPerSec, INT32_MAX)),
                target.nChannels, 16);
  _sndalloc_(mixed, sndinternal::CheckedBytes(count, mf.nBlockAlign, 24), 25,
             "SndBasic.SndConvert.mixed");
  mixed.format = mf;
  std::vector<int16_t> wide;
  const int16_t* in = reinterpret_cast<const int16_t*>(source.data);
  if (bits == 8) {
    wide.resize(size_t(count) * ch);
    for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<int16_t>((source.data[i] - 128) * 256);
    in = wide.data();
  }
  SndMixDown(in, count, ch, gains, target.nChannels, reinterpret_cast<int16_t*>(mixed.data));
  mixed.sample_count = count;
  if (SndFormatsDiffer(mixed.format, target)) {
    SndConvert(mixed, dest, target);
  } else {
    const int32_t bytes = sndinternal::CheckedBytes(count, target.nBlockAlign, 26);
    _sndalloc_(dest, bytes, 27, "SndBasic.SndConvert.dest");
    std::memcpy(dest.data, mixed.data, size_t(bytes));
    dest.format = target;
    dest.sample_count = count;
  }
}

}  // namespace

void WaveConvertInit(WaveConvState& state, const WaveFormat* source, const WaveFormat* target) {
  Monitored("SndBasic.WaveConvertInit", [&] {
    std::memset(&state, 0, sizeof state);
    if (!source || !target) ErrRaise(kGrpAudio, kAudConvertWave, 1);
    // Equal formats are copied; no stream is needed for them.
    if (SndFormatsDiffer(*source, *target))
      AcmCheck(acmStreamOpen(&state.stream, nullptr, source, target, nullptr, 0, 0,
                             ACM_STREAMOPENF_NONREALTIME),
               2);
    state.flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
  });
}

void WaveConvertDone(WaveConvState& state) {
  Monitored("SndBasic.WaveConvertDone", [&] {
    MMRESULT result = MMSYSERR_NOERROR;
    if (state.stream) result = acmStreamClose(state.stream, 0);
    std::memset(&state, 0, sizeof state);
    AcmCheck(result, 3);
  });
}

void WaveConvert_(WaveConvState& state, const uint8_t* source, uint8_t* target,
                  const WaveFormat* /*target_format*/, const WaveFormat* /*source_format*/,
                  int32_t& produced, int32_t capacity, int32_t length) {
  Monitored("SndBasic.WaveConvert_", [&] {
    produced = 0;
    DWORD estimate = 0;
    AcmCheck(acmStreamSize(state.stream, static_cast<DWORD>(length), &estimate,
                           ACM_STREAMSIZEF_SOURCE),
             4);
    // A target below the estimate is not an error by itself: output that
    // does not fit stays in the stream for the next pass.
    ACMSTREAMHEADER& h = state.header;
    std::memset(&h, 0, sizeof h);
    h.cbStruct = kAcmStreamHeaderSize;
    h.pbSrc = const_cast<uint8_t*>(source);
    h.cbSrcLength = static_cast<DWORD>(length);
    h.pbDst = target;
    h.cbDstLength = static_cast<DWORD>(capacity);
    AcmCheck(acmStreamPrepareHeader(state.stream, &h, 0), 5);
    h.cbSrcLengthUsed = 0;
    h.cbDstLengthUsed = 0;
    const MMRESULT converted = acmStreamConvert(state.stream, &h, state.flags);
    produced = static_cast<int32_t>(h.cbDstLengthUsed);
    const MMRESULT unprepared = acmStreamUnprepareHeader(state.stream, &h, 0);
    AcmCheck(converted, 6);
    AcmCheck(unprepared, 7);
    state.flags = ACM_STREAMCONVERTF_BLOCKALIGN;
    // Source the stream could not take would be lost without a word.
    if (h.cbSrcLengthUsed < h.cbSrcLength) ErrRaise(kGrpAudio, kAudConvertAcm, 8);
  });
}

void WaveConvert(WaveConvState& state, const uint8_t* source, uint8_t* target,
                 const WaveFormat* target_format, const WaveFormat* source_format,
                 int32_t& produced, int32_t capacity, int32_t length) {
  Monitored("SndBasic.WaveConvert", [&] {
    produced = 0;
    if (length < 1 || capacity < 1) return;
    if (!source || !target || !target_format || !source_format) ErrRaise(kGrpAudio, kAudConvertWave, 9);
    if (!SndFormatsDiffer(*target_format, *source_format)) {
      if (capacity < length) ErrRaise(kGrpAudio, kAudConvertWave, 10);
      std::memcpy(target, source, static_cast<size_t>(length));
      produced = length;
      return;
    }
    WaveFormat pcm{};
    if (source_format->wFormatTag == kWaveFormatPcm) {
      pcm = *source_format;
    } else {
      pcm.wFormatTag = kWaveFormatPcm;
      if (acmFormatSuggest(nullptr, source_format, &pcm, sizeof pcm,
                           ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        ErrRaise(kGrpAudio, kAudConvertWave, 11);
    }
    if (!SndCompleteFormat(pcm)) ErrRaise(kGrpAudio, kAudConvertWave, 12);
    // The stream opened by WaveConvertInit decodes and converts in one
    // pipeline, so a compressed source reaches any PCM target in one pass.
    WaveConvert_(state, source, target, target_format, source_format, produced, capacity,
                 length);
  });
}

void SndConvert(const SoundBuffer& source, SoundBuffer& dest, const WaveFormat& format) {
  Monitored("SndBasic.SndConvert", [&] {
    const int32_t count = sndinternal::UsableCount(source, source.format.nBlockAlign);
    if (count <= 0) return;
    WaveFormat target = format;
    if (!SndCompleteFormat(target)) ErrRaise(kGrpAudio, kAudConvert, 13);
    if (&source == &dest) {
      // Into a fresh buffer, which then replaces the old data.
      SoundBuffer fresh{};
      SndGuard guard_fresh(fresh);
      SndConvert(source, fresh, format);
      MemFree(dest.data);
      dest = fresh;
      fresh = SoundBuffer{};  // the data now belongs to dest
      return;
    }
    const WaveFormat& sf = source.format;
    if (sf.nAvgBytesPerSec == 0 || sf.nBlockAlign == 0) ErrRaise(kGrpAudio, kAudConvert, 14);
    if (sf.wFormatTag == kWaveFormatPcm && sf.nChannels > 2 && target.nChannels <= 2) {
      // The compression service takes one or two channels: mix down first,
      // then change rate and width.
      MixDown(source, count, dest, target);
      return;
    }
    const int32_t bytes = sndinternal::CheckedBytes(count, sf.nBlockAlign, 15);
    WaveConvState state{};
    StreamGuard guard{state};
    WaveConvertInit(state, &sf, &target);
    double size = std::nearbyint(double(target.nAvgBytesPerSec) / sf.nAvgBytesPerSec * bytes *
                                 1.05);
    // The stream's own estimate, with room for what the resampler releases
    // at the end, is the least that must fit.
    DWORD estimate = 0;
    if (state.stream &&
        acmStreamSize(state.stream, static_cast<DWORD>(bytes), &estimate,
                      ACM_STREAMSIZEF_SOURCE) == MMSYSERR_NOERROR) {
      const double least = double(estimate) + 64.0 * target.nBlockAlign;
      if (size < least) size = least;
    }
    if (!(size >= 1.0) || size > double(INT32_MAX)) ErrRaise(kGrpAudio, kAudConvert, 16);
    _sndalloc_(dest, static_cast<int64_t>(size), 17, "SndBasic.SndConvert.dest");
    // One pass over the whole buffer: the stream releases everything it holds.
    state.flags |= ACM_STREAMCONVERTF_END;
    int32_t produced = 0;
    WaveConvert(state, source.data, dest.data, &target, &sf, produced, dest.capacity, bytes);
    WaveConvertDone(state);
    dest.format = target;
    dest.sample_count = produced / target.nBlockAlign;
  });
}

void SndDecodeFree(SndDecodeState& dec) {
  MemFree(dec.staging);
  dec.staging_fill = 0;
  dec.staging_pos = 0;
}

void SndLoad(void* module, WaveConvState& conv, SndDecodeState& dec, SndReadFunc read,
             int32_t count, SoundBuffer& dest) {
  Monitored("SndBasic.SndLoad", [&] {
    WaveFormat out = dec.out_format;
    if (!read || !dec.src_format || !SndCompleteFormat(out)) ErrRaise(kGrpAudio, kAudInvalidFormat, 18);
    const int32_t ba = out.nBlockAlign;
    // A format record stored shorter than 18 bytes has no extra-size field.
    // A whole one goes as it is: codecs read its extra bytes (ADPCM's
    // samples per block and coefficients) behind the header.
    WaveFormat short_record{};
    std::memcpy(&short_record, dec.src_format,
                dec.src_format_size > 0 && dec.src_format_size < int32_t(sizeof short_record)
                    ? size_t(dec.src_format_size)
                    : sizeof short_record);
    const WaveFormat& src =
        dec.src_format_size >= int32_t(sizeof(WaveFormat)) ? *dec.src_format : short_record;
    const int32_t wanted = sndinternal::CheckedBytes(count < 0 ? 0 : count, ba, 19);
    if (wanted == 0) {
      // Nothing asked: an empty buffer in the output format.
      sndinternal::MakeUsable(dest);
      dest.format = dec.out_format;
      dest.sample_count = 0;
      return;
    }
    _sndalloc_(dest, wanted, 20, "SndBasic.SndLoad.sh");
    dest.format = dec.out_format;
    int32_t gathered = 0;
    // The staging buffer must be what it claims to be before it is read.
    if (!dec.staging || !MemTracked(dec.staging) || dec.staging_fill < 0 ||
        dec.staging_pos < 0 || dec.staging_pos > dec.staging_fill ||
        dec.staging_fill > MemSize(dec.staging)) {
      if (dec.staging && !MemTracked(dec.staging)) dec.staging = nullptr;
      dec.staging_fill = 0;
      dec.staging_pos = 0;
    }
    const int32_t held = dec.staging_fill - dec.staging_pos;
    if (held >= wanted) {
      std::memcpy(dest.data, dec.staging + dec.staging_pos, size_t(wanted));
      dec.staging_pos += wanted;
      dest.sample_count = wanted / ba;
    } else {
      if (held > 0) std::memcpy(dest.data, dec.staging + dec.staging_pos, size_t(held));
      gathered = held;
      dec.staging_fill = 0;
      dec.staging_pos = 0;
      if (dec.ended) {
        dest.sample_count = gathered / ba;
        return;
      }
      uint8_t* raw = nullptr;
      struct RawGuard {
        uint8_t*& p;
        ~RawGuard() { MemFree(p); }
      } raw_guard{raw};
      for (;;) {
        int32_t bytes = 0, blocks = 0;
        read(module, raw, wanted, bytes, blocks);
        // Never trust the reader beyond the block it filled.
        if (raw && bytes > MemSize(raw)) bytes = static_cast<int32_t>(MemSize(raw));
        if (blocks <= 0 || bytes <= 0 || !raw) {
          MemFree(raw);
          dec.ended = -1;
          dest.sample_count = gathered / ba;
          return;
        }
        dec.blocks_read += blocks;
        double size = std::nearbyint(double(blocks) * dec.ratio * ba * 2.0);
        // A ratio the module could not tell must not starve the decoder.
        DWORD estimate = 0;
        if (!conv.stream)
          estimate = static_cast<DWORD>(bytes);
        else if (acmStreamSize(conv.stream, static_cast<DWORD>(bytes), &estimate,
                               ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR)
          estimate = 0;
        if (!(size >= double(estimate) + ba)) size = double(estimate) + ba;
        if (size > double(INT32_MAX)) ErrRaise(kGrpAudio, kAudConvertWave, 21);
        MemAllocHeld(dec.staging, static_cast<int64_t>(size), 22, kMemRealloc,
                 "SndBasic.SndLoad.sl.SndData");
        int32_t produced = 0;
        WaveConvert(conv, raw, dec.staging, &out, &src, produced, static_cast<int32_t>(size),
                    bytes);
        dec.staging_fill = produced;
        const int32_t take = produced < wanted - gathered ? produced : wanted - gathered;
        if (take > 0) std::memcpy(dest.data + gathered, dec.staging, size_t(take));
        gathered += take;
        dec.staging_pos = take;
        dec.ended = dec.blocks_read >= dec.blocks_total ? -1 : 0;
        if (gathered >= wanted || dec.ended) {
          dest.sample_count = gathered / ba;
          MemFree(raw);
          break;
        }
      }
    }
    if (dec.staging_pos >= dec.staging_fill) {
      dec.staging_fill = 0;
      dec.staging_pos = 0;
    }
  });
}

}  // namespace vek
