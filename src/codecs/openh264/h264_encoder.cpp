// Built only where OpenH264 is found (VEK_HAVE_OPENH264).
#ifdef VEK_HAVE_OPENH264
#include "codecs/openh264/h264_encoder.h"

#include <wels/codec_api.h>
#include <wels/codec_ver.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vek::codecs {

struct H264Encoder::Impl {
  ISVCEncoder* enc = nullptr;
  int32_t width = 0, height = 0;
  ~Impl() {
    if (enc) {
      enc->Uninitialize();
      WelsDestroySVCEncoder(enc);
    }
  }
};

H264Encoder::~H264Encoder() = default;

namespace {
// Every NAL unit of every layer of one coded picture, in order.
void Collect(const SFrameBSInfo& info, std::vector<uint8_t>& out) {
  out.clear();
  for (int l = 0; l < info.iLayerNum; ++l) {
    const SLayerBSInfo& layer = info.sLayerInfo[l];
    size_t bytes = 0;
    for (int n = 0; n < layer.iNalCount; ++n) bytes += static_cast<size_t>(std::max(0, layer.pNalLengthInByte[n]));
    out.insert(out.end(), layer.pBsBuf, layer.pBsBuf + bytes);
  }
}
}  // namespace

std::string H264Encoder::Version() {
  const OpenH264Version v = WelsGetCodecVersion();
  return "OpenH264 " + std::to_string(v.uMajor) + "." + std::to_string(v.uMinor) + "." +
         std::to_string(v.uRevision);
}

std::unique_ptr<H264Encoder> H264Encoder::Create(const H264Settings& s, std::string& error) {
  if (s.width < 2 || s.height < 2 || (s.width & 1) || (s.height & 1) || s.width > 16384 ||
      s.height > 16384 || !(s.fps > 0)) {
    error = "OpenH264: unsupported picture size or rate";
    return nullptr;
  }
  std::unique_ptr<H264Encoder> self(new H264Encoder());
  self->impl_ = std::make_unique<Impl>();
  if (WelsCreateSVCEncoder(&self->impl_->enc) != 0 || !self->impl_->enc) {
    self->impl_->enc = nullptr;
    error = "OpenH264: the encoder could not be created";
    return nullptr;
  }
  ISVCEncoder* enc = self->impl_->enc;
  SEncParamExt p{};
  enc->GetDefaultParams(&p);
  p.iUsageType = CAMERA_VIDEO_REAL_TIME;
  p.iPicWidth = s.width;
  p.iPicHeight = s.height;
  p.fMaxFrameRate = static_cast<float>(std::min(s.fps, 240.0));
  p.iRCMode = s.bit_rate > 0 ? RC_BITRATE_MODE : RC_OFF_MODE;
  const int bits = static_cast<int>(std::clamp<int64_t>(s.bit_rate, 0, 200'000'000));
  p.iTargetBitrate = bits;
  p.iMaxBitrate = UNSPECIFIED_BIT_RATE;
  p.bEnableFrameSkip = false;  // every frame of the run is in the file
  p.uiIntraPeriod = static_cast<unsigned>(std::max(0, s.key_interval));
  p.eSpsPpsIdStrategy = CONSTANT_ID;
  p.bPrefixNalAddingCtrl = false;
  p.iSpatialLayerNum = 1;
  p.iTemporalLayerNum = 1;
  p.iEntropyCodingModeFlag = 1;  // CABAC: the High profile's better coding
  p.iMultipleThreadIdc = static_cast<unsigned short>(std::clamp(s.threads, 1, 4));
  p.iComplexityMode = HIGH_COMPLEXITY;
  p.bEnableLongTermReference = false;
  SSpatialLayerConfig& l = p.sSpatialLayers[0];
  l.iVideoWidth = s.width;
  l.iVideoHeight = s.height;
  l.fFrameRate = p.fMaxFrameRate;
  l.iSpatialBitrate = bits;
  l.iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
  l.uiProfileIdc = PRO_HIGH;
  l.iDLayerQp = std::clamp(s.qp, 0, 51);
  if (p.iMultipleThreadIdc > 1) {
    l.sSliceArgument.uiSliceMode = SM_FIXEDSLCNUM_SLICE;
    l.sSliceArgument.uiSliceNum = p.iMultipleThreadIdc;
  } else {
    l.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
  }
  // Limited-range BT.709, said in the stream so players need not guess.
  l.bVideoSignalTypePresent = true;
  l.uiVideoFormat = VF_UNDEF;
  l.bFullRange = false;
  l.bColorDescriptionPresent = true;
  l.uiColorPrimaries = CP_BT709;
  l.uiTransferCharacteristics = TRC_BT709;
  l.uiColorMatrix = CM_BT709;
  if (p.iRCMode == RC_OFF_MODE) {
    p.iMinQp = p.iMaxQp = l.iDLayerQp;
  }
  int level = getenv("VEK_H264_TRACE") ? WELS_LOG_DETAIL : WELS_LOG_QUIET;
  enc->SetOption(ENCODER_OPTION_TRACE_LEVEL, &level);
  if (enc->InitializeExt(&p) != cmResultSuccess) {
    error = "OpenH264: the encoder refused its settings";
    return nullptr;
  }
  int format = videoFormatI420;
  enc->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  SFrameBSInfo info{};
  if (enc->EncodeParameterSets(&info) != cmResultSuccess) {
    error = "OpenH264: no parameter sets";
    return nullptr;
  }
  Collect(info, self->headers_);
  // profile_idc is the byte after the SPS NAL header.
  for (size_t i = 0; i + 4 < self->headers_.size(); ++i)
    if (self->headers_[i] == 0 && self->headers_[i + 1] == 0 && self->headers_[i + 2] == 1 &&
        (self->headers_[i + 3] & 0x1F) == 7) {
      self->profile_ = self->headers_[i + 4];
      break;
    }
  self->fps_ = s.fps;
  self->impl_->width = s.width;
  self->impl_->height = s.height;
  return self;
}

bool H264Encoder::Encode(const uint8_t* const planes[3], const int32_t strides[3], H264Packet& packet) {
  SSourcePicture pic{};
  pic.iColorFormat = videoFormatI420;
  pic.iPicWidth = impl_->width;
  pic.iPicHeight = impl_->height;
  for (int i = 0; i < 3; ++i) {
    pic.iStride[i] = strides[i];
    pic.pData[i] = const_cast<uint8_t*>(planes[i]);
  }
  pic.uiTimeStamp = static_cast<long long>(std::llround(static_cast<double>(frame_) * 1000.0 / fps_));
  SFrameBSInfo info{};
  if (impl_->enc->EncodeFrame(&pic, &info) != cmResultSuccess) return false;
  packet.frame = frame_++;
  packet.key = info.eFrameType == videoFrameTypeIDR;
  if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid)
    packet.data.clear();
  else
    Collect(info, packet.data);
  return true;
}

}  // namespace vek::codecs
#endif  // VEK_HAVE_OPENH264
