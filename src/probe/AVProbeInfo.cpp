// The probe's per-stream queries and the opened file name (see AVProbe.h for owner and threads).
// Query failures are written to the media libraries' log; nothing is raised.
#include "AVProbe.h"

#include "DisplayMatrix.h"
#include "MediaLibraries.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace pelorix {

namespace {

constexpr size_t MaxFileNameBytes = 1024;

// Writes a line to the libraries' log at AScale (the engine's scale). A probe that never
// opened anything may be queried before the libraries are loaded; there is no log then.
void ProbeLog(int AScale, const std::string& AText) {
  if (!AVUtilLibrary().IsLibraryBound()) return;
  AVUtil().av_log(nullptr, LibraryLogLevelOf(AScale), "%s", AText.c_str());
}

// The first AMaxBytes bytes of AText, or fewer so that no UTF-8 sequence is cut in two.
std::string CutText(const char* AText, size_t AMaxBytes) {
  if (!AText) return {};
  size_t Length = strnlen(AText, AMaxBytes + 1);
  if (Length > AMaxBytes) {
    Length = AMaxBytes;
    while (Length > 0 && (static_cast<unsigned char>(AText[Length]) & 0xC0) == 0x80) --Length;
  }
  return std::string(AText, Length);
}

// Fills a fixed text field, keeping its last character zero.
template <size_t N> void SetField(std::array<char, N>& AField, const char* AText) {
  AField.fill('\0');
  const std::string Text = CutText(AText, N - 1);
  std::memcpy(AField.data(), Text.data(), Text.size());
}

int64_t Microseconds(int64_t ATime, AVRational ATimeBase) {
  if (ATime == AV_NOPTS_VALUE) return -1;
  return AVUtil().av_rescale_q(ATime, ATimeBase, AVRational{1, 1000000});
}

// The library keeps bit rates in 64 bits; the record has 32.
int32_t BitRateOf(int64_t ABitRate) {
  if (ABitRate > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(ABitRate);
}

template <class TInfo> void FillCommon(const AVStream& AStream, TInfo& AInfo) {
  const AVDictionaryEntry* Language =
      AVUtil().av_dict_get(AStream.metadata, "language", nullptr, 0);
  SetField(AInfo.Language, Language ? Language->value : nullptr);
  SetField(AInfo.CodecName, AVCodec().avcodec_get_name(AStream.codecpar->codec_id));
  AInfo.StartTime = AStream.start_time;
  AInfo.StartTimeUS = Microseconds(AStream.start_time, AStream.time_base);
  AInfo.Duration = AStream.duration;
  AInfo.DurationUS = Microseconds(AStream.duration, AStream.time_base);
  AInfo.BitRate = BitRateOf(AStream.codecpar->bit_rate);
}

// Width × (sample aspect) ÷ height in IEEE arithmetic: a zero divisor gives infinity or NaN,
// which the caller sees as such.
float DisplayAspectOf(int AWidth, int AHeight, AVRational ASampleAspect) {
  static_assert(std::numeric_limits<double>::is_iec559);
  const double Aspect =
      static_cast<double>(AWidth) *
      (static_cast<double>(ASampleAspect.num) / static_cast<double>(ASampleAspect.den)) /
      static_cast<double>(AHeight);
  return static_cast<float>(Aspect);
}

} // namespace

const AVStream* TAVProbe::QueriedStream(int32_t AIndex, AVMediaType AKind) const {
  const std::string KindName = AKind == AVMEDIA_TYPE_AUDIO ? "audio" : "video";
  if (!Context) {
    ProbeLog(1, "file not loaded.\n");
    return nullptr;
  }
  int32_t Index = AIndex;
  if (Index < 0) {
    Index = AKind == AVMEDIA_TYPE_AUDIO ? Counts.FirstAudio : Counts.FirstVideo;
    if (Index == -1) {
      ProbeLog(0, "no " + KindName + " stream.\n");
      return nullptr;
    }
  }
  if (Index >= Counts.Streams || static_cast<unsigned>(Index) >= Context->nb_streams) {
    ProbeLog(0, "stream index #" + std::to_string(Index) + " is invalid.\n");
    return nullptr;
  }
  const AVStream* Stream = Context->streams[Index];
  if (Stream->codecpar->codec_type != AKind) {
    ProbeLog(0, "stream #" + std::to_string(Index) + " is not " + KindName + " stream.\n");
    return nullptr;
  }
  return Stream;
}

void TAVProbe::AudioStreamInfo(int32_t AIndex, TAudioStreamInfo& AInfo) const {
  AInfo = TAudioStreamInfo{};
  const AVStream* Stream = QueriedStream(AIndex, AVMEDIA_TYPE_AUDIO);
  if (!Stream) return;
  FillCommon(*Stream, AInfo);
  const AVCodecParameters& Codec = *Stream->codecpar;
  AInfo.Channels = Codec.ch_layout.nb_channels;
  AInfo.SampleRate = Codec.sample_rate;
  AInfo.SampleFormat = Codec.format;
}

void TAVProbe::VideoStreamInfo(int32_t AIndex, TVideoStreamInfo& AInfo) const {
  AInfo = TVideoStreamInfo{};
  const AVStream* Stream = QueriedStream(AIndex, AVMEDIA_TYPE_VIDEO);
  if (!Stream) return;
  FillCommon(*Stream, AInfo);
  const AVCodecParameters& Codec = *Stream->codecpar;
  AInfo.Height = Codec.height;
  AInfo.Width = Codec.width;
  AInfo.DisplayAspect = DisplayAspectOf(Codec.width, Codec.height, Codec.sample_aspect_ratio);
  AInfo.PixelFormat = Codec.format;
  AInfo.Profile = Codec.profile == FF_PROFILE_UNKNOWN ? -1 : Codec.profile;
  AInfo.FrameRateNum = Stream->r_frame_rate.num;
  AInfo.FrameRateDen = Stream->r_frame_rate.den;
  const TPictureTurn Turn = TurnOfStream(Stream);
  AInfo.DisplayWidth = Turn.SwapsSides() ? Codec.height : Codec.width;
  AInfo.DisplayHeight = Turn.SwapsSides() ? Codec.width : Codec.height;
  AInfo.Rotation = Turn.Rotation;
  AInfo.Mirrored = Turn.Mirrored;
  AInfo.Interlaced =
      Codec.field_order != AV_FIELD_UNKNOWN && Codec.field_order != AV_FIELD_PROGRESSIVE;
  AInfo.AttachedPicture = (Stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

std::string TAVProbe::OpenedFileName() const {
  if (!Context) {
    ProbeLog(1, "file not loaded.\n");
    return {};
  }
  return CutText(Context->url, MaxFileNameBytes);
}

AVMediaType TAVProbe::StreamKind(int32_t AIndex) const {
  if (!Context || AIndex < 0 || AIndex >= static_cast<int32_t>(Context->nb_streams))
    return AVMEDIA_TYPE_UNKNOWN;
  return Context->streams[AIndex]->codecpar->codec_type;
}

int64_t TAVProbe::DurationUS() const {
  if (!Context || Context->duration == AV_NOPTS_VALUE || Context->duration < 0) return -1;
  return Context->duration; // AV_TIME_BASE is microseconds
}

std::vector<double> TAVProbe::ReadStreamSpans() {
  if (!Context) return {};
  const size_t Count = Context->nb_streams;
  std::vector<int64_t> First(Count, AV_NOPTS_VALUE), End(Count, AV_NOPTS_VALUE);
  TPacketPtr Packet(AVCodec().av_packet_alloc());
  if (!Packet) return std::vector<double>(Count, -1);
  while (AVFormat().av_read_frame(Context, Packet.get()) >= 0) {
    const size_t Index = static_cast<size_t>(Packet->stream_index);
    const int64_t Time = Packet->pts != AV_NOPTS_VALUE ? Packet->pts : Packet->dts;
    if (Index < Count && Time != AV_NOPTS_VALUE) {
      if (First[Index] == AV_NOPTS_VALUE || Time < First[Index]) First[Index] = Time;
      const int64_t Until = Time + std::max<int64_t>(Packet->duration, 0);
      if (End[Index] == AV_NOPTS_VALUE || Until > End[Index]) End[Index] = Until;
    }
    AVCodec().av_packet_unref(Packet.get());
  }
  std::vector<double> Spans(Count, -1);
  for (size_t I = 0; I < Count && I < Context->nb_streams; ++I)
    if (First[I] != AV_NOPTS_VALUE)
      Spans[I] = static_cast<double>(End[I] - First[I]) * av_q2d(Context->streams[I]->time_base);
  return Spans;
}

std::string TAVProbe::ContainerName() const {
  if (!Context || !Context->iformat || !Context->iformat->name) return {};
  return Context->iformat->name;
}

} // namespace pelorix
