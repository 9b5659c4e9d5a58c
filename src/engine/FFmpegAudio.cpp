// The audio output path: a block of decoded samples of an input stream becomes encoded packets
// of a re-encoded output audio stream. For every output stream the block feeds, in this order:
// the resampler (channels, rate and sample format in one context, made on first need), the
// output's sample clock kept in step with the input's time stamps (by dropping samples,
// inserting silence or asking the resampler to stretch), the stream's sample queue, and the
// encoder, fed whole frames of its frame size (or the whole block when it takes any size). The
// volume scaling runs once per decoded block, before the block is routed; the queue's
// remainder goes to the encoder when the input ends.
//
// Every count here is in samples per channel. The design this follows counted bytes of 16-bit
// interleaved audio; each of its formulas gives the same number of samples here, whatever the
// real sample format and layout.
//
// Owner: TCustomFFmpeg. The per-stream state (resampler, queue, work buffers) lives in the
// output stream's record and goes with the working tables. Threads: the run's thread only;
// nothing here is shared between engines.
#include "FFmpeg.h"

#include "TextFormat.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelorix {

namespace {

// Drift of this many samples or less is left alone.
constexpr double SyncDeadZone = 50;
// A block and the silence put in front of it together hold at most 131072 bytes of 16-bit
// samples over all channels: 65536 samples divided among the channels.
constexpr int SilenceCapSamples = 65536;

// Truncates toward zero like a C cast, held to the range of the result so that a wild time
// stamp cannot make the conversion undefined.
template <class TInt> TInt Truncate(double AValue) {
  constexpr double Low = static_cast<double>(std::numeric_limits<TInt>::min());
  constexpr double High = static_cast<double>(std::numeric_limits<TInt>::max());
  if (std::isnan(AValue)) return 0;
  if (AValue <= Low) return std::numeric_limits<TInt>::min();
  if (AValue >= High) return std::numeric_limits<TInt>::max();
  return static_cast<TInt>(AValue);
}

const char* SampleFormatName(int AFormat) {
  const char* Name = AVUtil().av_get_sample_fmt_name(static_cast<AVSampleFormat>(AFormat));
  return Name ? Name : "none";
}

// Makes AFrame a buffer for at least ASamples samples per channel of AFormat and ALayout,
// keeping it when it already is one. Returns true when a new buffer was made. Buffers only
// grow (at least doubling), so a run makes each one a few times at most.
bool ReserveSamples(TFramePtr& AFrame, AVSampleFormat AFormat, const AVChannelLayout& ALayout,
                    int ARate, int ASamples) {
  const AVFrame* Old = AFrame.get();
  const bool Same = Old && Old->format == AFormat &&
                    AVUtil().av_channel_layout_compare(&Old->ch_layout, &ALayout) == 0;
  if (Same && Old->nb_samples >= ASamples) return false;
  TFramePtr Frame(AVUtil().av_frame_alloc());
  if (!Frame) throw FFMpegException("av_malloc failed");
  Frame->format = AFormat;
  Frame->sample_rate = ARate;
  Frame->nb_samples = Same ? std::max(ASamples, 2 * Old->nb_samples) : ASamples;
  if (AVUtil().av_channel_layout_copy(&Frame->ch_layout, &ALayout) < 0 ||
      AVUtil().av_frame_get_buffer(Frame.get(), 0) < 0)
    throw FFMpegException("av_malloc failed");
  AFrame = std::move(Frame);
  return true;
}

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

// Damaged data can make a floating-point decoder put out infinities, NaNs or samples far
// beyond full scale (libmp3lame asserts on those, ending the process). Such samples are made
// silence or held at 4 (12 dB over full scale, which no intact stream reaches).
template <class TSample> bool ClearWildSamples(uint8_t* APlane, int ACount, bool AWrite) {
  constexpr TSample Limit = 4;
  auto* Samples = reinterpret_cast<TSample*>(APlane);
  bool Found = false;
  for (int I = 0; I < ACount; ++I) {
    if (std::isfinite(Samples[I]) && Samples[I] <= Limit && Samples[I] >= -Limit) continue;
    Found = true;
    if (!AWrite) return true;
    Samples[I] = std::isfinite(Samples[I]) ? std::clamp<TSample>(Samples[I], -Limit, Limit) : 0;
  }
  return Found;
}

void ClearWildSamples(AVFrame* AFrame) {
  const auto Format = static_cast<AVSampleFormat>(AFrame->format);
  const bool Float = Format == AV_SAMPLE_FMT_FLT || Format == AV_SAMPLE_FMT_FLTP;
  if (!Float && Format != AV_SAMPLE_FMT_DBL && Format != AV_SAMPLE_FMT_DBLP) return;
  const int Channels = AFrame->ch_layout.nb_channels;
  const bool Planar = AVUtil().av_sample_fmt_is_planar(Format) != 0;
  const int Planes = Planar ? Channels : 1;
  const int Count = AFrame->nb_samples * (Planar ? 1 : Channels);
  const auto Pass = [&](bool AWrite) {
    bool Found = false;
    for (int P = 0; P < Planes; ++P)
      Found |= Float ? ClearWildSamples<float>(AFrame->extended_data[P], Count, AWrite)
                     : ClearWildSamples<double>(AFrame->extended_data[P], Count, AWrite);
    return Found;
  };
  // A decoder may still hold the block's buffer: it is copied only when something changes.
  if (!Pass(false)) return;
  if (AVUtil().av_frame_make_writable(AFrame) < 0) throw FFMpegException("av_malloc failed");
  Pass(true);
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

void TCustomFFmpeg::OutputAudio(TOutputStream& AOutput, TInputStream& AInput, AVFrame* AFrame) {
  const AVCodecContext* Encoder = AOutput.Encoder;
  const int InChannels = AFrame->ch_layout.nb_channels;
  const int InRate = AFrame->sample_rate;
  const int OutRate = Encoder->sample_rate;
  int Count = AFrame->nb_samples;
  if (InChannels <= 0 || InRate <= 0 || OutRate <= 0 || Count <= 0 || !AOutput.Fifo) return;
  ClearWildSamples(AFrame);

  // A block of another channel count, or (as a decoder may change it mid-stream) of another
  // rate than the encoder's, must go through the resampler.
  if (InChannels != Encoder->ch_layout.nb_channels || InRate != OutRate) AOutput.AudioResample = 1;
  PrepareResampler(AOutput, AFrame);

  const int Queued = AVUtil().av_audio_fifo_size(AOutput.Fifo.get());
  const double InputTime =
      static_cast<double>(AOutput.SyncStream->Pts - Options.StartTime) / AV_TIME_BASE;
  int Dropped = 0;
  int Silence = 0;
  if (Settings.AudioSyncMethod != 0) {
    // How many samples the output is behind the input (negative: ahead).
    const double Delta = InputTime * OutRate - static_cast<double>(AOutput.SyncOpts) - Queued;
    const int64_t InputDelta = Truncate<int64_t>(Delta * InRate / OutRate);
    if (std::fabs(Delta) > SyncDeadZone) {
      if (AInput.IsStart || std::fabs(Delta) > Settings.AudioDriftThreshold * OutRate) {
        if (InputDelta < 0) {
          Dropped = static_cast<int>(std::min<int64_t>(-InputDelta, Count));
          Count -= Dropped;
          if (Settings.Verbose > 2)
            Log(1, FormatText("discarding %d audio samples", Truncate<int>(-Delta)));
          if (Count == 0) return;
          AInput.IsStart = 0;
        } else {
          const int Cap = SilenceCapSamples / InChannels;
          if (InputDelta + Count <= Cap) {
            Silence = static_cast<int>(InputDelta);
            AInput.IsStart = 0;
          } else {
            Silence = std::max(Cap - Count, 0);
          }
          if (Settings.Verbose > 2)
            Log(1, FormatText("adding %d audio samples of silence", Truncate<int>(Delta)));
        }
      } else if (Settings.AudioSyncMethod > 1) {
        const int Limit = Settings.AudioSyncMethod;
        const int Compensation =
            static_cast<int>(std::clamp<double>(std::trunc(Delta), -Limit, Limit));
        // The set-up makes every stream resample when the method is above 1.
        if (!AOutput.Resampler)
          throw TAssertionFailure("audio drift compensation without a resampler");
        if (Settings.Verbose > 2)
          Log(1, FormatText("compensating audio timestamp drift:%f compensation:%d in:%d", Delta,
                            Compensation, OutRate));
        // Only arguments out of range fail, and these are not: the call cannot fail here.
        SwResample().swr_set_compensation(AOutput.Resampler.get(), Compensation, OutRate);
      }
    }
  } else {
    // No correction: the output clock is where the input's time stamps say, but never back
    // over samples already given to the encoder. Containers with coarse time stamps (ASF
    // stamps several audio payloads with one send time) would otherwise hand the encoder
    // overlapping frames, and its packets would reach the muxer out of order.
    const int64_t Clock = std::llrint(InputTime * OutRate) - Queued;
    if (!AOutput.AudioClockStarted || Clock > AOutput.SyncOpts) AOutput.SyncOpts = Clock;
    AOutput.AudioClockStarted = true;
  }

  if (Silence > 0) {
    const auto Format = static_cast<AVSampleFormat>(AFrame->format);
    if (ReserveSamples(AOutput.SilenceBuffer, Format, AFrame->ch_layout, InRate, Silence))
      AVUtil().av_samples_set_silence(AOutput.SilenceBuffer->extended_data, 0,
                                      AOutput.SilenceBuffer->nb_samples, InChannels, Format);
    if (!QueueSamples(AOutput, AOutput.SilenceBuffer->extended_data, Silence)) return;
  }
  const uint8_t* const* Planes = AFrame->extended_data;
  if (Dropped > 0) {
    const auto Format = static_cast<AVSampleFormat>(AFrame->format);
    const bool Planar = AVUtil().av_sample_fmt_is_planar(Format) != 0;
    const int PlaneCount = Planar ? InChannels : 1;
    const size_t Skip = static_cast<size_t>(Dropped) * AVUtil().av_get_bytes_per_sample(Format) *
                        (Planar ? 1 : InChannels);
    AOutput.BlockPlanes.resize(static_cast<size_t>(PlaneCount));
    for (int P = 0; P < PlaneCount; ++P) AOutput.BlockPlanes[P] = AFrame->extended_data[P] + Skip;
    Planes = AOutput.BlockPlanes.data();
  }
  if (!QueueSamples(AOutput, Planes, Count)) return;
  EncodeQueuedAudio(AOutput, false);
}

void TCustomFFmpeg::PrepareResampler(TOutputStream& AOutput, const AVFrame* AFrame) {
  AVCodecContext* Encoder = AOutput.Encoder;
  const int InFormat = AFrame->format;
  if (!AOutput.AudioResample && InFormat == Encoder->sample_fmt) {
    // The blocks go to the queue as they are.
    AOutput.Resampler.reset();
    AOutput.ReformatPair = NoReformatPair;
    return;
  }
  const int Pair = Encoder->sample_fmt + AV_SAMPLE_FMT_NB * InFormat;
  if (AOutput.Resampler && AOutput.ReformatPair == Pair &&
      AOutput.ResampleRate == AFrame->sample_rate &&
      AVUtil().av_channel_layout_compare(&AOutput.ResampleLayout.Layout, &AFrame->ch_layout) == 0)
    return;

  // The blocks changed their format on the way: what the old context still holds comes out
  // before the new one takes over.
  DrainResampler(AOutput);
  AOutput.Resampler.reset();
  AOutput.ReformatPair = NoReformatPair;

  const int InChannels = AFrame->ch_layout.nb_channels;
  TChannelLayout InLayout;
  // A decoder that knows only the channel count gets the usual layout of that count.
  if (AFrame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
    AVUtil().av_channel_layout_default(&InLayout.Layout, InChannels);
  else if (!InLayout.Assign(AFrame->ch_layout))
    throw FFMpegException("av_malloc failed");
  SwrContext* Raw = nullptr;
  int Result = SwResample().swr_alloc_set_opts2(
      &Raw, &Encoder->ch_layout, Encoder->sample_fmt, Encoder->sample_rate, &InLayout.Layout,
      static_cast<AVSampleFormat>(InFormat), AFrame->sample_rate, 0, nullptr);
  TResamplerPtr Resampler(Raw);
  // Drift compensation needs the resampling filter even where the rates are equal.
  if (Result >= 0 && Settings.AudioSyncMethod > 1)
    Result = AVUtil().av_opt_set_int(Raw, "flags", SWR_FLAG_RESAMPLE, 0);
  // Mono becomes stereo by copying the one channel to both sides at full level, as it always
  // did; the library's own mix would put it 3 dB lower on each side.
  static constexpr double MonoToStereo[] = {1.0, 1.0};
  if (Result >= 0 && InChannels == 1 && Encoder->ch_layout.nb_channels == 2)
    Result = SwResample().swr_set_matrix(Raw, MonoToStereo, 1);
  if (Result >= 0) Result = SwResample().swr_init(Raw);
  if (Result < 0) {
    if (AOutput.AudioResample)
      throw FFMpegException(
          FormatText("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", InChannels,
                     AFrame->sample_rate, Encoder->ch_layout.nb_channels, Encoder->sample_rate));
    throw FFMpegException(FormatText("Cannot convert %s sample format to %s sample format",
                                     SampleFormatName(InFormat),
                                     SampleFormatName(Encoder->sample_fmt)));
  }
  if (!AOutput.ResampleLayout.Assign(AFrame->ch_layout)) throw FFMpegException("av_malloc failed");
  AOutput.Resampler = std::move(Resampler);
  AOutput.ReformatPair = Pair;
  AOutput.ResampleRate = AFrame->sample_rate;
}

bool TCustomFFmpeg::QueueSamples(TOutputStream& AOutput, const uint8_t* const* APlanes,
                                 int ACount) {
  // The libraries' signatures take writable pointers; neither call writes through them.
  uint8_t** Samples = const_cast<uint8_t**>(APlanes);
  int Count = ACount;
  if (SwrContext* Resampler = AOutput.Resampler.get()) {
    const AVCodecContext* Encoder = AOutput.Encoder;
    const int Room = SwResample().swr_get_out_samples(Resampler, ACount);
    if (Room < 0) throw FFMpegException("av_malloc failed");
    ReserveSamples(AOutput.ResampleBuffer, Encoder->sample_fmt, Encoder->ch_layout,
                   Encoder->sample_rate, std::max(Room, 1));
    AVFrame* Buffer = AOutput.ResampleBuffer.get();
    Count = SwResample().swr_convert(Resampler, Buffer->extended_data, Buffer->nb_samples,
                                     const_cast<const uint8_t**>(Samples), ACount);
    if (Count < 0) {
      if (Settings.ExitOnError) throw FFMpegException("av_audio_convert() failed");
      Log(0, "av_audio_convert() failed");
      return false;
    }
    Samples = Buffer->extended_data;
  }
  if (Count > 0 && AVUtil().av_audio_fifo_write(AOutput.Fifo.get(),
                                                reinterpret_cast<void**>(Samples), Count) != Count)
    throw FFMpegException("av_fifo_realloc2() failed");
  return true;
}

void TCustomFFmpeg::DrainResampler(TOutputStream& AOutput) {
  SwrContext* Resampler = AOutput.Resampler.get();
  if (!Resampler || !AOutput.ResampleBuffer) return;
  AVFrame* Buffer = AOutput.ResampleBuffer.get();
  for (;;) {
    const int Count =
        SwResample().swr_convert(Resampler, Buffer->extended_data, Buffer->nb_samples, nullptr, 0);
    if (Count <= 0) return;
    if (AVUtil().av_audio_fifo_write(
            AOutput.Fifo.get(), reinterpret_cast<void**>(Buffer->extended_data), Count) != Count)
      throw FFMpegException("av_fifo_realloc2() failed");
  }
}

void TCustomFFmpeg::EncodeQueuedAudio(TOutputStream& AOutput, bool ALast) {
  AVAudioFifo* Fifo = AOutput.Fifo.get();
  const int FrameSize = AOutput.Encoder->frame_size;
  if (FrameSize > 1) {
    while (AVUtil().av_audio_fifo_size(Fifo) >= FrameSize) SendAudioFrame(AOutput, FrameSize);
    // The last frame may be short: the encoder takes it as it is or pads it itself.
    if (ALast && AVUtil().av_audio_fifo_size(Fifo) > 0)
      SendAudioFrame(AOutput, AVUtil().av_audio_fifo_size(Fifo));
    return;
  }
  // An encoder without a frame size takes the whole block in one go.
  if (const int Queued = AVUtil().av_audio_fifo_size(Fifo); Queued > 0)
    SendAudioFrame(AOutput, Queued);
}

void TCustomFFmpeg::SendAudioFrame(TOutputStream& AOutput, int ACount) {
  AVCodecContext* Encoder = AOutput.Encoder;
  ReserveSamples(AOutput.EncodeFrame, Encoder->sample_fmt, Encoder->ch_layout, Encoder->sample_rate,
                 ACount);
  AVFrame* Frame = AOutput.EncodeFrame.get();
  // An encoder may keep a reference to the last frame; then the frame gets a buffer of its own
  // instead of overwriting what the encoder still reads.
  if (AVUtil().av_frame_make_writable(Frame) < 0) throw FFMpegException("av_malloc failed");
  const int Capacity = Frame->nb_samples;
  if (AVUtil().av_audio_fifo_read(AOutput.Fifo.get(),
                                  reinterpret_cast<void**>(Frame->extended_data), ACount) != ACount)
    throw FFMpegException("Audio encoding failed");
  Frame->nb_samples = ACount;
  // The frame starts at the output's sample clock, counted in 1/sample rate.
  Frame->pts = AVUtil().av_rescale_q(AOutput.SyncOpts, AVRational{1, Encoder->sample_rate},
                                     Encoder->time_base);
  const int Sent = AVCodec().avcodec_send_frame(Encoder, Frame);
  Frame->nb_samples = Capacity;
  if (Sent < 0) throw FFMpegException("Audio encoding failed");
  AOutput.SyncOpts += ACount;
  ReceivePackets(AOutput);
}

void TCustomFFmpeg::FlushAudioQueue(TOutputStream& AOutput) {
  if (!AOutput.Fifo) return;
  DrainResampler(AOutput);
  EncodeQueuedAudio(AOutput, true);
}

} // namespace pelorix
