// The subtitle output path: one decoded subtitle re-encoded for one output stream and written
// as one packet; DVB subtitles get a second one, the removal of the page at its end.
//
// Runs on the run's thread. The encoded bytes go through the engine's SubtitleBuffer, made at
// the first subtitle and kept for the engine's life.
#include "FFmpeg.h"

#include <algorithm>

namespace pelorix {

namespace {

constexpr size_t SubtitleBufferSize = 65536;
constexpr AVRational Milliseconds{1, 1000};

} // namespace

void TCustomFFmpeg::OutputSubtitle(TOutputStream& AOutput, TInputStream& AInput,
                                   AVSubtitle* ASubtitle, int64_t APts) {
  if (APts == AV_NOPTS_VALUE) {
    if (Settings.ExitOnError) throw FFMpegException("Subtitle packets must have a pts");
    Log(0, "Subtitle packets must have a pts");
    return;
  }
  if (Stats.SubtitleBuffer.empty()) Stats.SubtitleBuffer.resize(SubtitleBufferSize);

  AVCodecContext* Encoder = AOutput.Encoder;
  const AVRational TimeBase = AOutput.Stream->time_base;
  const int64_t Pts = AVUtil().av_rescale_q(APts, AInput.Stream->time_base, TimeBase);
  // The display times are milliseconds, whatever the stream counts in.
  const int64_t Start =
      Pts + AVUtil().av_rescale_q(ASubtitle->start_display_time, Milliseconds, TimeBase);
  const int64_t End =
      Pts + AVUtil().av_rescale_q(ASubtitle->end_display_time, Milliseconds, TimeBase);
  const bool Dvb = Encoder->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
  uint8_t* Buffer = Stats.SubtitleBuffer.data();
  const auto Encode = [&] {
    const int Size = AVCodec().avcodec_encode_subtitle(
        Encoder, Buffer, static_cast<int>(SubtitleBufferSize), ASubtitle);
    if (Size < 0) {
      if (Settings.ExitOnError) throw FFMpegException("Subtitle encoding failed");
      Log(0, "Subtitle encoding failed");
    }
    return Size;
  };

  if (!Dvb) {
    const int Size = Encode();
    if (Size > 0) WriteSubtitlePacket(AOutput, Pts, End - Start, Buffer, Size);
    return;
  }

  // A DVB page is shown by one packet at its start and taken away by another at its end. A new
  // page replaces the one on screen, so a removal that falls after the new page's start would
  // take the new page away: it is dropped. Until the next page comes, the removal is held.
  if (AOutput.PendingClearPts != AV_NOPTS_VALUE) {
    if (AOutput.PendingClearPts <= Start)
      WriteSubtitlePacket(AOutput, AOutput.PendingClearPts, 0, AOutput.PendingClear.data(),
                          static_cast<int>(AOutput.PendingClear.size()));
    AOutput.PendingClearPts = AV_NOPTS_VALUE;
  }
  const int Size = Encode();
  if (Size <= 0) return;
  WriteSubtitlePacket(AOutput, Start, End - Start, Buffer, Size);
  // The removal is the same subtitle without its regions: the encoder writes an empty page.
  const unsigned Rects = ASubtitle->num_rects;
  ASubtitle->num_rects = 0;
  const int ClearSize = Encode();
  ASubtitle->num_rects = Rects;
  if (ClearSize <= 0) return;
  AOutput.PendingClear.assign(Buffer, Buffer + ClearSize);
  AOutput.PendingClearPts = End;
}

void TCustomFFmpeg::WriteSubtitlePacket(TOutputStream& AOutput, int64_t APts, int64_t ADuration,
                                        uint8_t* AData, int ASize) {
  AVPacket* Packet = Tables.OutputPacket.get();
  AVCodec().av_packet_unref(Packet);
  // Not reference counted: the muxer copies the bytes before the buffer is used again.
  Packet->data = AData;
  Packet->size = ASize;
  Packet->stream_index = AOutput.StreamIndex;
  Packet->pts = Packet->dts = APts;
  Packet->duration = std::max<int64_t>(ADuration, 0);
  Packet->flags = AV_PKT_FLAG_KEY;
  AOutput.Writer->Write(Packet);
}

// At the end of input: the removals still held for the subtitle streams fed by input stream
// AIndex are written.
void TCustomFFmpeg::FlushSubtitles(int AIndex) {
  for (auto& Output : Tables.OutputStreams) {
    if (Output->SourceIndex != AIndex || Output->PendingClearPts == AV_NOPTS_VALUE) continue;
    const int64_t Pts = Output->PendingClearPts;
    Output->PendingClearPts = AV_NOPTS_VALUE;
    WriteSubtitlePacket(*Output, Pts, 0, Output->PendingClear.data(),
                        static_cast<int>(Output->PendingClear.size()));
  }
}

} // namespace pelorix
