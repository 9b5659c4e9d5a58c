// The engine's side of the audio path: the volume scaling, which runs once per decoded block
// before the block is routed, and the stage every re-encoded audio stream gets
// (TAudioOutputStage: resampling, sample clock, queue, encoder frames).
//
// Owner: TCustomFFmpeg. Threads: the run's thread only.
#include "FFmpeg.h"

#include <algorithm>
#include <limits>

namespace pelorix {

namespace {

// Scales every sample of one plane. Integer samples follow the 16-bit rule: times the volume,
// plus 128, shifted right by 8 (rounding down, also for negative values), held to the
// format's range. Unsigned 8-bit samples are scaled around their centre, 128. Floating samples
// are only multiplied: the conversion to the encoder's format clips them.
template <class TSample, class TWide>
void ScaleSamples(uint8_t* APlane, int ACount, int AVolume, TWide ACentre) {
  constexpr TWide Low = std::numeric_limits<TSample>::min();
  constexpr TWide High = std::numeric_limits<TSample>::max();
  auto* Samples = reinterpret_cast<TSample*>(APlane);
  for (int I = 0; I < ACount; ++I) {
    const TWide Value = (static_cast<TWide>(Samples[I]) - ACentre) * AVolume + 128;
    Samples[I] = static_cast<TSample>(std::clamp<TWide>((Value >> 8) + ACentre, Low, High));
  }
}

template <class TSample> void ScaleFloats(uint8_t* APlane, int ACount, int AVolume) {
  const TSample Factor = static_cast<TSample>(AVolume) / 256;
  auto* Samples = reinterpret_cast<TSample*>(APlane);
  for (int I = 0; I < ACount; ++I) Samples[I] *= Factor;
}

} // namespace

void TCustomFFmpeg::ScaleVolume(AVFrame* AFrame) {
  const int Volume = Settings.AudioVolume;
  if (Volume == 256 || AFrame->nb_samples <= 0) return;
  // A decoder may still hold the block's buffer; scaling must not change what it keeps.
  if (AVUtil().av_frame_make_writable(AFrame) < 0) throw FFMpegException("av_malloc failed");
  const auto Format = static_cast<AVSampleFormat>(AFrame->format);
  const int Channels = AFrame->ch_layout.nb_channels;
  const bool Planar = AVUtil().av_sample_fmt_is_planar(Format) != 0;
  const int Planes = Planar ? Channels : 1;
  const int Count = AFrame->nb_samples * (Planar ? 1 : Channels);
  for (int P = 0; P < Planes; ++P) {
    uint8_t* Plane = AFrame->extended_data[P];
    switch (Format) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_U8P:
      ScaleSamples<uint8_t, int64_t>(Plane, Count, Volume, 128);
      break;
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S16P:
      ScaleSamples<int16_t, int64_t>(Plane, Count, Volume, 0);
      break;
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S32P:
      ScaleSamples<int32_t, int64_t>(Plane, Count, Volume, 0);
      break;
    case AV_SAMPLE_FMT_S64:
    case AV_SAMPLE_FMT_S64P:
      ScaleSamples<int64_t, __int128>(Plane, Count, Volume, 0);
      break;
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_FLTP:
      ScaleFloats<float>(Plane, Count, Volume);
      break;
    case AV_SAMPLE_FMT_DBL:
    case AV_SAMPLE_FMT_DBLP:
      ScaleFloats<double>(Plane, Count, Volume);
      break;
    default:
      return;
    }
  }
}

std::unique_ptr<TAudioOutputStage> TCustomFFmpeg::NewAudioStage(TOutputStream& AOutput,
                                                                bool AResample) {
  TAudioSyncSettings Sync;
  Sync.Method = Settings.AudioSyncMethod;
  Sync.DriftThreshold = Settings.AudioDriftThreshold;
  Sync.StartTime = Options.StartTime;
  Sync.Duration = Options.RecordingTime;
  Sync.Verbose = Settings.Verbose;
  Sync.ExitOnError = Settings.ExitOnError != 0;
  return std::make_unique<TAudioOutputStage>(
      AOutput.Encoder, Sync, AResample,
      [this](int ALevel, const std::string& AText) { Log(ALevel, AText); },
      [this, &AOutput](AVPacket* APacket) { WriteEncodedPacket(AOutput, APacket); });
}

} // namespace pelorix
