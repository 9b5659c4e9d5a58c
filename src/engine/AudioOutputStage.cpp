#include "AudioOutputStage.h"

#include "FFMpegException.h"
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

TAudioOutputStage::TAudioOutputStage(AVCodecContext* AEncoder, const TAudioSyncSettings& ASettings,
                                     bool AResample, TStageLog ALog, TPacketSink ASink)
    : Encoder(AEncoder), Settings(ASettings), LogLine(std::move(ALog)), Sink(std::move(ASink)),
      Resample(AResample) {
  Fifo.reset(AVUtil().av_audio_fifo_alloc(Encoder->sample_fmt < 0 ? AV_SAMPLE_FMT_S16
                                                                  : Encoder->sample_fmt,
                                          std::max(Encoder->ch_layout.nb_channels, 1), 1024));
  Packet.reset(AVCodec().av_packet_alloc());
  if (!Fifo || !Packet) throw FFMpegException("av_fifo_init fail");
}

void TAudioOutputStage::Log(int ALevel, const std::string& AText) const {
  if (LogLine) LogLine(ALevel, AText);
}

void TAudioOutputStage::Add(AVFrame* ABlock, int64_t AInputClock, int32_t& AAtStart) {
  RunThread.Check("TAudioOutputStage::Add");
  const int InChannels = ABlock->ch_layout.nb_channels;
  const int InRate = ABlock->sample_rate;
  const int OutRate = Encoder->sample_rate;
  int Count = ABlock->nb_samples;
  if (InChannels <= 0 || InRate <= 0 || OutRate <= 0 || Count <= 0) return;
  ClearWildSamples(ABlock);

  // A block of another channel count, or (as a decoder may change it mid-stream) of another
  // rate than the encoder's, must go through the resampler.
  if (InChannels != Encoder->ch_layout.nb_channels || InRate != OutRate) Resample = true;
  PrepareResampler(ABlock);

  const int Queued = AVUtil().av_audio_fifo_size(Fifo.get());
  const double InputTime = static_cast<double>(AInputClock - Settings.StartTime) / AV_TIME_BASE;
  int Dropped = 0;
  int Silence = 0;
  if (Settings.Method != 0) {
    // How many samples the output is behind the input (negative: ahead).
    const double Delta = InputTime * OutRate - static_cast<double>(SyncOpts) - Queued;
    const int64_t InputDelta = Truncate<int64_t>(Delta * InRate / OutRate);
    if (std::fabs(Delta) > SyncDeadZone) {
      if (AAtStart || std::fabs(Delta) > Settings.DriftThreshold * OutRate) {
        if (InputDelta < 0) {
          Dropped = static_cast<int>(std::min<int64_t>(-InputDelta, Count));
          Count -= Dropped;
          if (Settings.Verbose > 2)
            Log(1, FormatText("discarding %d audio samples", Truncate<int>(-Delta)));
          if (Count == 0) return;
          AAtStart = 0;
        } else {
          const int Cap = SilenceCapSamples / InChannels;
          if (InputDelta + Count <= Cap) {
            Silence = static_cast<int>(InputDelta);
            AAtStart = 0;
          } else {
            Silence = std::max(Cap - Count, 0);
          }
          if (Settings.Verbose > 2)
            Log(1, FormatText("adding %d audio samples of silence", Truncate<int>(Delta)));
        }
      } else if (Settings.Method > 1) {
        const int Limit = Settings.Method;
        const int Compensation =
            static_cast<int>(std::clamp<double>(std::trunc(Delta), -Limit, Limit));
        // The set-up makes every stream resample when the method is above 1.
        if (!Resampler) throw TAssertionFailure("audio drift compensation without a resampler");
        if (Settings.Verbose > 2)
          Log(1, FormatText("compensating audio timestamp drift:%f compensation:%d in:%d", Delta,
                            Compensation, OutRate));
        // Only arguments out of range fail, and these are not: the call cannot fail here.
        SwResample().swr_set_compensation(Resampler.get(), Compensation, OutRate);
      }
    }
  } else {
    // No correction: the output clock is where the input's time stamps say, but never back
    // over samples already given to the encoder. Containers with coarse time stamps (ASF
    // stamps several audio payloads with one send time) would otherwise hand the encoder
    // overlapping frames, and its packets would reach the muxer out of order.
    const int64_t Clock = std::llrint(InputTime * OutRate) - Queued;
    if (!ClockStarted || Clock > SyncOpts) SyncOpts = Clock;
    ClockStarted = true;
  }

  // A duration limit ends the sound where it says: what the encoder and the resampler hold
  // back when reading stops would otherwise let more of the source through.
  if (Settings.Duration != std::numeric_limits<int64_t>::max()) {
    const int64_t Limit = AVUtil().av_rescale(Settings.Duration, OutRate, AV_TIME_BASE);
    const int64_t Room = AVUtil().av_rescale(Limit - SyncOpts - Queued, InRate, OutRate);
    if (Room <= static_cast<int64_t>(Silence) + Count) Full = true;
    if (Room <= 0) return;
    Silence = static_cast<int>(std::min<int64_t>(Silence, Room));
    Count = static_cast<int>(std::min<int64_t>(Count, Room - Silence));
  }
  if (Silence > 0) {
    const auto Format = static_cast<AVSampleFormat>(ABlock->format);
    if (ReserveSamples(SilenceBuffer, Format, ABlock->ch_layout, InRate, Silence))
      AVUtil().av_samples_set_silence(SilenceBuffer->extended_data, 0, SilenceBuffer->nb_samples,
                                      InChannels, Format);
    if (!QueueSamples(SilenceBuffer->extended_data, Silence)) return;
  }
  const uint8_t* const* Planes = ABlock->extended_data;
  if (Dropped > 0) {
    const auto Format = static_cast<AVSampleFormat>(ABlock->format);
    const bool Planar = AVUtil().av_sample_fmt_is_planar(Format) != 0;
    const int PlaneCount = Planar ? InChannels : 1;
    const size_t Skip = static_cast<size_t>(Dropped) * AVUtil().av_get_bytes_per_sample(Format) *
                        (Planar ? 1 : InChannels);
    BlockPlanes.resize(static_cast<size_t>(PlaneCount));
    for (int P = 0; P < PlaneCount; ++P) BlockPlanes[P] = ABlock->extended_data[P] + Skip;
    Planes = BlockPlanes.data();
  }
  if (Count > 0 && !QueueSamples(Planes, Count)) return;
  EncodeQueued(false);
}

void TAudioOutputStage::PrepareResampler(const AVFrame* AFrame) {
  const int InFormat = AFrame->format;
  if (!Resample && InFormat == Encoder->sample_fmt) {
    // The blocks go to the queue as they are.
    Resampler.reset();
    ReformatPair = NoReformatPair;
    return;
  }
  const int Pair = Encoder->sample_fmt + AV_SAMPLE_FMT_NB * InFormat;
  if (Resampler && ReformatPair == Pair && ResampleRate == AFrame->sample_rate &&
      AVUtil().av_channel_layout_compare(&ResampleLayout.Layout, &AFrame->ch_layout) == 0)
    return;

  // The blocks changed their format on the way: what the old context still holds comes out
  // before the new one takes over.
  DrainResampler();
  Resampler.reset();
  ReformatPair = NoReformatPair;

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
  TResamplerPtr Made(Raw);
  // Drift compensation needs the resampling filter even where the rates are equal.
  if (Result >= 0 && Settings.Method > 1)
    Result = AVUtil().av_opt_set_int(Raw, "flags", SWR_FLAG_RESAMPLE, 0);
  // Mono becomes stereo by copying the one channel to both sides at full level, as it always
  // did; the library's own mix would put it 3 dB lower on each side.
  static constexpr double MonoToStereo[] = {1.0, 1.0};
  if (Result >= 0 && InChannels == 1 && Encoder->ch_layout.nb_channels == 2)
    Result = SwResample().swr_set_matrix(Raw, MonoToStereo, 1);
  if (Result >= 0) Result = SwResample().swr_init(Raw);
  if (Result < 0) {
    if (Resample)
      throw FFMpegException(
          FormatText("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", InChannels,
                     AFrame->sample_rate, Encoder->ch_layout.nb_channels, Encoder->sample_rate));
    throw FFMpegException(FormatText("Cannot convert %s sample format to %s sample format",
                                     SampleFormatName(InFormat),
                                     SampleFormatName(Encoder->sample_fmt)));
  }
  if (!ResampleLayout.Assign(AFrame->ch_layout)) throw FFMpegException("av_malloc failed");
  Resampler = std::move(Made);
  ReformatPair = Pair;
  ResampleRate = AFrame->sample_rate;
}

bool TAudioOutputStage::QueueSamples(const uint8_t* const* APlanes, int ACount) {
  // The libraries' signatures take writable pointers; neither call writes through them.
  uint8_t** Samples = const_cast<uint8_t**>(APlanes);
  int Count = ACount;
  if (SwrContext* Context = Resampler.get()) {
    const int Room = SwResample().swr_get_out_samples(Context, ACount);
    if (Room < 0) throw FFMpegException("av_malloc failed");
    ReserveSamples(ResampleBuffer, Encoder->sample_fmt, Encoder->ch_layout, Encoder->sample_rate,
                   std::max(Room, 1));
    AVFrame* Buffer = ResampleBuffer.get();
    Count = SwResample().swr_convert(Context, Buffer->extended_data, Buffer->nb_samples,
                                     const_cast<const uint8_t**>(Samples), ACount);
    if (Count < 0) {
      if (Settings.ExitOnError) throw FFMpegException("av_audio_convert() failed");
      Log(0, "av_audio_convert() failed");
      return false;
    }
    Samples = Buffer->extended_data;
  }
  if (Count > 0 &&
      AVUtil().av_audio_fifo_write(Fifo.get(), reinterpret_cast<void**>(Samples), Count) != Count)
    throw FFMpegException("av_fifo_realloc2() failed");
  return true;
}

void TAudioOutputStage::DrainResampler() {
  SwrContext* Context = Resampler.get();
  if (!Context || !ResampleBuffer) return;
  AVFrame* Buffer = ResampleBuffer.get();
  for (;;) {
    const int Count =
        SwResample().swr_convert(Context, Buffer->extended_data, Buffer->nb_samples, nullptr, 0);
    if (Count <= 0) return;
    if (AVUtil().av_audio_fifo_write(Fifo.get(), reinterpret_cast<void**>(Buffer->extended_data),
                                     Count) != Count)
      throw FFMpegException("av_fifo_realloc2() failed");
  }
}

void TAudioOutputStage::EncodeQueued(bool ALast) {
  AVAudioFifo* Queue = Fifo.get();
  const int FrameSize = Encoder->frame_size;
  if (FrameSize > 1) {
    while (AVUtil().av_audio_fifo_size(Queue) >= FrameSize) SendFrame(FrameSize);
    // The last frame may be short: the encoder takes it as it is or pads it itself.
    if (ALast && AVUtil().av_audio_fifo_size(Queue) > 0)
      SendFrame(AVUtil().av_audio_fifo_size(Queue));
    return;
  }
  // An encoder without a frame size takes the whole block in one go.
  if (const int Queued = AVUtil().av_audio_fifo_size(Queue); Queued > 0) SendFrame(Queued);
}

void TAudioOutputStage::SendFrame(int ACount) {
  ReserveSamples(EncodeFrame, Encoder->sample_fmt, Encoder->ch_layout, Encoder->sample_rate,
                 ACount);
  AVFrame* Frame = EncodeFrame.get();
  // An encoder may keep a reference to the last frame; then the frame gets a buffer of its own
  // instead of overwriting what the encoder still reads.
  if (AVUtil().av_frame_make_writable(Frame) < 0) throw FFMpegException("av_malloc failed");
  const int Capacity = Frame->nb_samples;
  if (AVUtil().av_audio_fifo_read(Fifo.get(), reinterpret_cast<void**>(Frame->extended_data),
                                  ACount) != ACount)
    throw FFMpegException("Audio encoding failed");
  Frame->nb_samples = ACount;
  // The frame starts at the output's sample clock, counted in 1/sample rate.
  Frame->pts =
      AVUtil().av_rescale_q(SyncOpts, AVRational{1, Encoder->sample_rate}, Encoder->time_base);
  const int Sent = AVCodec().avcodec_send_frame(Encoder, Frame);
  Frame->nb_samples = Capacity;
  if (Sent < 0) throw FFMpegException("Audio encoding failed");
  SyncOpts += ACount;
  ReceivePackets();
}

void TAudioOutputStage::ReceivePackets() {
  for (;;) {
    const int Result = AVCodec().avcodec_receive_packet(Encoder, Packet.get());
    if (Result == AVERROR(EAGAIN) || Result == AVERROR_EOF) return;
    if (Result < 0) throw FFMpegException("Audio encoding failed");
    Sink(Packet.get());
    AVCodec().av_packet_unref(Packet.get());
  }
}

void TAudioOutputStage::Finish() {
  RunThread.Check("TAudioOutputStage::Finish");
  DrainResampler();
  EncodeQueued(true);
  AVCodec().avcodec_send_frame(Encoder, nullptr);
  ReceivePackets();
}

} // namespace pelorix
