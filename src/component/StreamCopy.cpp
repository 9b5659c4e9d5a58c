#include "StreamCopy.h"

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"

#include <algorithm>

namespace pelorix {

namespace {

bool LibrariesBound() {
  return AVCodec().avcodec_find_encoder_by_name && AVCodec().avcodec_get_name &&
         AVFormat().av_guess_format && AVFormat().avformat_query_codec;
}

// The codec an encoder of the entry writes ("libx264" writes "h264"); empty when unknown.
std::string CodecOfEncoder(const std::string& AEncoder) {
  if (AEncoder.empty()) return "";
  const ::AVCodec* Encoder = AVCodec().avcodec_find_encoder_by_name(AEncoder.c_str());
  return Encoder ? AVCodec().avcodec_get_name(Encoder->id) : "";
}

AVCodecID CodecIdNamed(const std::string& AName) {
  const ::AVCodec* Decoder = AVCodec().avcodec_find_decoder_by_name(AName.c_str());
  if (Decoder) return Decoder->id;
  const ::AVCodec* Encoder = AVCodec().avcodec_find_encoder_by_name(AName.c_str());
  return Encoder ? Encoder->id : AV_CODEC_ID_NONE;
}

} // namespace

bool ContainerTakes(const TOutputFormat& AFormat, const std::string& ACodecName) {
  if (!LibrariesBound()) return false;
  const std::string Extension = FormatExtension(AFormat.Text);
  const std::string Probe = "x" + Extension;
  const AVOutputFormat* Container = AVFormat().av_guess_format(
      AFormat.Container.empty() ? nullptr : AFormat.Container.c_str(), Probe.c_str(), nullptr);
  const AVCodecID Codec = CodecIdNamed(ACodecName);
  return Container && Codec != AV_CODEC_ID_NONE &&
         AVFormat().avformat_query_codec(Container, Codec, FF_COMPLIANCE_NORMAL) == 1;
}

bool MayCopyFitting(const TOutputFormat& AFormat, TQualityLevel ALevel) {
  return ALevel != TQualityLevel::qlSmaller && AFormat.Target == 0;
}

TStreamCopy StreamsToCopy(const TOutputFormat& AFormat, const TSourceFacts& AFacts,
                          const TEncodingChoice& AChoice) {
  TStreamCopy Copy;
  if (!AChoice.CopyFitting || !MayCopyFitting(AFormat, AChoice.Level) || !LibrariesBound())
    return Copy;

  if (AFacts.HasVideo && !AFormat.AudioOnly && AFormat.VideoRate.FixedBitrate == 0 &&
      !AFacts.VideoCodec.empty() && AFacts.VideoCodec == CodecOfEncoder(AFormat.VideoCodec)) {
    const auto Size = OutputFrameSize(AFormat, AFacts.Width, AFacts.Height);
    const bool ProfileFits = AFormat.CopyProfiles.empty() ||
                             std::find(AFormat.CopyProfiles.begin(), AFormat.CopyProfiles.end(),
                                       AFacts.Profile) != AFormat.CopyProfiles.end();
    Copy.Video = ProfileFits && AFacts.PixelFormat == AV_PIX_FMT_YUV420P &&
                 Size == std::pair(AFacts.Width, AFacts.Height) && !AFacts.Interlaced &&
                 !AFacts.Turned && ContainerTakes(AFormat, AFacts.VideoCodec);
  }

  if (AFacts.Channels > 0 && !AFacts.AudioCodec.empty() &&
      AFacts.AudioCodec == CodecOfEncoder(AFormat.AudioCodec))
    Copy.Audio = CappedChannels(AFormat, AFacts.Channels) == AFacts.Channels &&
                 CappedSampleRate(AFormat, AFacts.SampleRate) == AFacts.SampleRate &&
                 ContainerTakes(AFormat, AFacts.AudioCodec);
  return Copy;
}

} // namespace pelorix
