// The running half of a transcode: the body of a run, the main loop that reads the input
// whose outputs are furthest behind, timestamp correction, and the end of the transcode
// (drain, trailers, last report, codec close).
//
// Runs on the run's thread. StopRequested, written by the owner's thread, is read once at the
// top of each turn of the loop.
#include "FFmpeg.h"

#include "CodecLock.h"
#include "MediaLibraries.h"
#include "OpenErrorText.h"
#include "TextFormat.h"

#include <algorithm>
#include <cmath>

namespace pelorix {

namespace {

// Larger than any time a stream can reach, seconds: the start of a search for the least.
constexpr double NoTimeYet = 1e100;

// The least time jump taken as damage, however short the stream (microseconds).
constexpr int64_t MinJump = AV_TIME_BASE;

// Unreferences a packet when the turn of the loop that read it ends, however it ends.
struct TPacketRelease {
  AVPacket* Packet;
  ~TPacketRelease() { AVCodec().av_packet_unref(Packet); }
};

} // namespace

void TCustomFFmpeg::RunTranscode() {
  Run.Finished = false;
  Run.Spans = TRunSpans{};
  try {
    Transcode();
  } catch (const std::exception& E) {
    RunFailed(E.what());
  } catch (...) {
    RunFailed("Unexpected error during the run");
  }
  // A run that failed before its end collected them tells what it had read and written.
  if (Run.Spans.Empty() && !Tables.FileTable.empty()) CollectRunSpans(true);
  CloseOpenCodecs();
  TranscodeCleanup();
  ReleaseAll();
  EndRun();
}

void TCustomFFmpeg::CloseOpenCodecs() {
  // Chunk encoders stop using the streams' encoders before those close.
  for (auto& Output : Tables.OutputStreams) Output->Chunked.reset();
  for (AVCodecContext* Encoder : Stats.OpenEncoderList) {
    std::scoped_lock Guard(CodecLock());
    AVCodec().avcodec_close(Encoder);
  }
  Stats.OpenEncoderList.clear();
  for (AVCodecContext* Decoder : Stats.OpenDecoderList) {
    std::scoped_lock Guard(CodecLock());
    AVCodec().avcodec_close(Decoder);
  }
  Stats.OpenDecoderList.clear();
}

void TCustomFFmpeg::TranscodeCleanup() { Tables = TTranscodeTables{}; }

double TCustomFFmpeg::OutputTime(const TOutputStream& AOutput) const {
  // A re-encoded picture stream counts its pictures in the encoder's time base; everything
  // else has come as far as the end of its last written packet.
  if (AOutput.EncodingNeeded && AOutput.Encoder->codec_type == AVMEDIA_TYPE_VIDEO)
    return AOutput.SyncOpts * av_q2d(AOutput.Encoder->time_base);
  // Sound that took all a duration limit allows is at the limit, whatever its encoder holds.
  if (AOutput.Audio && AOutput.Audio->LimitReached())
    return static_cast<double>(Options.RecordingTime) / AV_TIME_BASE;
  const int64_t End = AOutput.Writer ? AOutput.Writer->EndTime() : AV_NOPTS_VALUE;
  if (End == AV_NOPTS_VALUE) return 0;
  return End * av_q2d(AOutput.Stream->time_base);
}

int TCustomFFmpeg::ChooseInputFile(double& AOptsMin) {
  double IptsMin = NoTimeYet;
  AOptsMin = NoTimeYet;
  int Chosen = -1;
  for (const auto& Output : Tables.OutputStreams) {
    // A cover picture is one picture at the start: it neither waits for input nor counts
    // towards a limit.
    if (Output->Stream->disposition & AV_DISPOSITION_ATTACHED_PIC) continue;
    const TInputStream& Source = *Tables.InputStreams[Output->SourceIndex];
    const double Opts = OutputTime(*Output);
    const double Ipts = static_cast<double>(Source.Pts);
    if (!Tables.FileTable[Source.FileIndex].EofReached) {
      if (Ipts < IptsMin) {
        IptsMin = Ipts;
        if (Settings.InputSync) Chosen = Source.FileIndex;
      }
      if (Opts < AOptsMin) {
        AOptsMin = Opts;
        if (!Settings.InputSync) Chosen = Source.FileIndex;
      }
    }
    const int Kind = Output->Stream->codecpar->codec_type;
    if (Kind >= 0 && Kind < FrameLimitKinds && Output->FrameNumber >= Options.MaxFrames[Kind])
      return -1;
  }
  return Chosen;
}

void TCustomFFmpeg::RunMainLoop() {
  TTranscodeTables& T = Tables;
  AVPacket* Packet = T.Packet.get();
  int64_t ReportClock = Stats.TimerStart;
  while (!Run.StopRequested) {
    double OptsMin = 0;
    const int FileIndex = ChooseInputFile(OptsMin);
    if (FileIndex < 0) break;
    if (static_cast<double>(Options.RecordingTime) / AV_TIME_BASE <= OptsMin) break;
    if (Settings.LimitFileSize != 0 &&
        AVFormat().avio_seek(Files.OutputFiles[0]->pb, 0, SEEK_CUR) > Settings.LimitFileSize)
      break;

    AVFormatContext* Input = Files.InputFiles[FileIndex].get();
    TInputFile& File = T.FileTable[FileIndex];
    const int Read = AVFormat().av_read_frame(Input, Packet);
    if (Read < 0) {
      NoteReadEnd(FileIndex, Read);
      if (Settings.Shortest) break;
      continue;
    }
    TPacketRelease Release{Packet};
    if (Settings.DoPktDump)
      AVFormat().av_pkt_dump_log2(nullptr, LibraryLogLevelOf(2), Packet, Settings.DoHexDump,
                                  Input->streams[Packet->stream_index]);

    if (Packet->stream_index < File.StreamCount) {
      const int Index = File.FirstStreamIndex + Packet->stream_index;
      TInputStream& Source = *T.InputStreams[Index];
      if (!Source.Discard) {
        CorrectTimestamps(Source, *Packet);
        NoteSpan(Source, *Packet);
        if (OutputPacket(Source, Index, Packet) < 0) {
          const std::string Message = FormatText("Error while decoding stream #%d.%d",
                                                 Source.FileIndex, Source.StreamIndex);
          if (Settings.ExitOnError) throw FFMpegException(Message);
          if (Settings.Verbose >= 0) Log(1, Message);
          continue;
        }
        ++Stats.PacketsRead;
      }
    }

    const int64_t Now = AVUtil().av_gettime();
    if (Now - ReportClock > Run.ReportInterval) {
      ReportClock = Now;
      PrintReport(false);
    }
  }
}

int64_t TCustomFFmpeg::KnownStreamLength(const TInputStream& ASource) const {
  const AVMediaType Kind = ASource.Stream->codecpar->codec_type;
  if (Kind != AVMEDIA_TYPE_AUDIO && Kind != AVMEDIA_TYPE_VIDEO) return AV_NOPTS_VALUE;
  if (ASource.Stream->duration > 0)
    return AVUtil().av_rescale_q(ASource.Stream->duration, ASource.Stream->time_base,
                                 AV_TIME_BASE_Q);
  const AVFormatContext* File = Files.InputFiles[ASource.FileIndex].get();
  return File && File->duration > 0 ? File->duration : AV_NOPTS_VALUE;
}

void TCustomFFmpeg::NoteReadEnd(int AFileIndex, int ACode) {
  TInputFile& File = Tables.FileTable[AFileIndex];
  File.EofReached = 1;
  // A demuxer tells the end of its file as "end of file"; an error of the file's own reading
  // can hide behind it.
  const AVIOContext* Io = Files.InputFiles[AFileIndex]->pb;
  const int Code =
      ACode == AVERROR_EOF && Io && Io->error < 0 && Io->error != AVERROR_EOF ? Io->error : ACode;
  if (Code == AVERROR_EOF) {
    File.ReadEnd = TReadEnd::reEndOfFile;
    return;
  }
  File.ReadEnd = TReadEnd::reReadError;
  File.ReadError = LibraryErrorText(Code);
}

void TCustomFFmpeg::NoteLoopEnd() {
  for (size_t I = 0; I < Tables.FileTable.size(); ++I) {
    TInputFile& File = Tables.FileTable[I];
    if (File.ReadEnd != TReadEnd::reNotRead) continue;
    bool Used = false;
    for (int K = 0; K < File.StreamCount; ++K)
      Used = Used || !Tables.InputStreams[File.FirstStreamIndex + K]->Discard;
    if (Run.StopRequested)
      File.ReadEnd = TReadEnd::reStopped;
    else if (Used)
      File.ReadEnd = TReadEnd::reLimit;
  }
}

void TCustomFFmpeg::CollectRunSpans(bool AFailed) {
  TRunSpans Spans;
  for (size_t I = 0; I < Tables.FileTable.size(); ++I) {
    const TInputFile& File = Tables.FileTable[I];
    TInputSpan Input;
    const AVFormatContext* Context = Files.InputFiles[I].get();
    if (Context && Context->url) Input.FileName = Context->url;
    Input.ReadEnd = File.ReadEnd;
    if (AFailed && (File.ReadEnd == TReadEnd::reNotRead || File.ReadEnd == TReadEnd::reLimit)) {
      bool Used = false;
      for (int K = 0; K < File.StreamCount; ++K)
        Used = Used || !Tables.InputStreams[File.FirstStreamIndex + K]->Discard;
      if (Used) Input.ReadEnd = TReadEnd::reRunFailed;
    }
    Input.ErrorText = File.ReadError;
    for (int K = 0; K < File.StreamCount; ++K) {
      const TInputStream& Stream = *Tables.InputStreams[File.FirstStreamIndex + K];
      if (Stream.Discard) continue;
      TStreamSpan Span;
      Span.StreamIndex = Stream.StreamIndex;
      Span.Kind = Stream.Stream->codecpar->codec_type;
      Span.AttachedPicture = (Stream.Stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
      Span.HasSpan = Stream.SpanStart != AV_NOPTS_VALUE;
      if (Span.HasSpan) {
        Span.Start = static_cast<double>(Stream.SpanStart) / AV_TIME_BASE;
        Span.End = static_cast<double>(Stream.SpanEnd) / AV_TIME_BASE;
        // Sound decoded beyond what the packets' times say was read all the same (within the
        // duration; a start would count sound before it).
        const bool Trimmed = Options.StartTime != 0 || Files.InputStartSeek[Stream.FileIndex];
        if (Stream.DecodingNeeded && Span.Kind == AVMEDIA_TYPE_AUDIO && !Trimmed) {
          const int64_t Decoded = std::min(Stream.SpanStart + Stream.SoundDecoded,
                                           std::max(Options.RecordingTime, Stream.SpanStart));
          Span.End = std::max(Span.End, static_cast<double>(Decoded) / AV_TIME_BASE);
        }
      }
      Span.Packets = Stream.SpanPackets;
      Span.FramesDecoded = Stream.DecodingNeeded ? Stream.FramesDecoded : -1;
      Input.Streams.push_back(Span);
    }
    Spans.Inputs.push_back(std::move(Input));
  }
  for (const auto& Output : Tables.OutputStreams) {
    TOutputStreamSpan Span;
    Span.FileIndex = Output->FileIndex;
    Span.StreamIndex = Output->StreamIndex;
    Span.Kind = Output->Stream->codecpar->codec_type;
    Span.Copied = !Output->EncodingNeeded;
    const TInputStream& Source = *Tables.InputStreams[Output->SourceIndex];
    Span.SourceFile = Source.FileIndex;
    Span.SourceStream = Source.StreamIndex;
    if (Output->Writer) {
      Span.Packets = Output->Writer->PacketsWritten();
      const int64_t First = Output->Writer->StartTime(), End = Output->Writer->EndTime();
      if (First != AV_NOPTS_VALUE && End != AV_NOPTS_VALUE)
        Span.Duration = static_cast<double>(End - First) * av_q2d(Output->Stream->time_base);
    }
    Spans.Outputs.push_back(Span);
  }
  Run.Spans = std::move(Spans);
}

void TCustomFFmpeg::CorrectTimestamps(TInputStream& ASource, AVPacket& APacket) {
  const AVRational TimeBase = ASource.Stream->time_base;
  int64_t& Offset = Files.InputTsOffset[ASource.FileIndex];
  if (APacket.dts != AV_NOPTS_VALUE)
    APacket.dts += AVUtil().av_rescale_q(Offset, AV_TIME_BASE_Q, TimeBase);
  if (APacket.pts != AV_NOPTS_VALUE)
    APacket.pts += AVUtil().av_rescale_q(Offset, AV_TIME_BASE_Q, TimeBase);

  const double Scale = ASource.StreamIndex < MaxStreams
                           ? Files.InputTsScale[ASource.FileIndex][ASource.StreamIndex]
                           : 0.0;
  if (Scale != 0) {
    if (APacket.pts != AV_NOPTS_VALUE)
      APacket.pts = static_cast<int64_t>(std::nearbyint(APacket.pts * Scale));
    if (APacket.dts != AV_NOPTS_VALUE)
      APacket.dts = static_cast<int64_t>(std::nearbyint(APacket.dts * Scale));
  }

  if (Settings.CopyTs) return;
  // A jump further than a stream lasts (as far as its file tells) cannot be a gap between its
  // packets: it is damage, taken out however long the file claims to be.
  const int64_t Length = KnownStreamLength(ASource);
  int64_t Threshold =
      static_cast<int64_t>(AV_TIME_BASE * static_cast<double>(Settings.DtsDeltaThreshold));
  if (Length != AV_NOPTS_VALUE) Threshold = std::min(Threshold, std::max(Length, MinJump));
  // A presentation time that far from the decoding time is damage of its own: the packet
  // plays when its decoding order says.
  if (APacket.pts != AV_NOPTS_VALUE && APacket.dts != AV_NOPTS_VALUE &&
      std::llabs(AVUtil().av_rescale_q(APacket.pts - APacket.dts, TimeBase, AV_TIME_BASE_Q)) >
          Threshold) {
    Log(0, FormatText("Stream #%d.%d: a packet's presentation time lies %.3f s from its "
                      "decoding time; taken as damage, the packet plays in decoding order",
                      ASource.FileIndex, ASource.StreamIndex,
                      static_cast<double>(APacket.pts - APacket.dts) * av_q2d(TimeBase)));
    APacket.pts = AV_NOPTS_VALUE;
  }
  if (APacket.dts == AV_NOPTS_VALUE || ASource.NextPts == AV_NOPTS_VALUE) return;
  const int64_t PacketDts = AVUtil().av_rescale_q(APacket.dts, TimeBase, AV_TIME_BASE_Q);
  const int64_t Delta = PacketDts - ASource.NextPts;
  if (std::llabs(Delta) > Threshold || PacketDts + 1 < ASource.Pts) {
    Offset -= Delta;
    if (Length != AV_NOPTS_VALUE && std::llabs(Delta) > std::max(Length, MinJump))
      Log(0, FormatText("Stream #%d.%d: its time jumps by %.3f s, further than the stream "
                        "lasts; taken as damage, the times that follow are moved back",
                        ASource.FileIndex, ASource.StreamIndex,
                        static_cast<double>(Delta) / AV_TIME_BASE));
    else if (Settings.Verbose > 2)
      Log(1, FormatText("timestamp discontinuity %lld, new offset= %lld",
                        static_cast<long long>(Delta), static_cast<long long>(Offset)));
    const int64_t Shift = AVUtil().av_rescale_q(Delta, AV_TIME_BASE_Q, TimeBase);
    APacket.dts -= Shift;
    if (APacket.pts != AV_NOPTS_VALUE) APacket.pts -= Shift;
  }
}

void TCustomFFmpeg::FinishTranscode() {
  TTranscodeTables& T = Tables;
  NoteLoopEnd();
  for (size_t K = 0; K < T.InputStreams.size(); ++K)
    if (T.InputStreams[K]->DecodingNeeded)
      OutputPacket(*T.InputStreams[K], static_cast<int>(K), nullptr);
  CollectRunSpans(false);
  for (int I = 0; I < Files.OutputFileCount; ++I) {
    AVFormatContext* Output = Files.OutputFiles[I].get();
    const int Result = AVFormat().av_write_trailer(Output);
    if (Output->pb && Output->pb->error < 0) TPacketWriter::WriteFailed(Output, Output->pb->error);
    if (Result < 0) TPacketWriter::WriteFailed(Output, Result);
  }
  PrintReport(true);
  CloseOutputFilesChecked();
  CloseOpenCodecs();
  // A file that opens but holds no packet that could be read and decoded (only its header, or
  // an index pointing past its end) must not read as converted. A stop before the first
  // packet is a stop, not a failure, and a run that a limit ended before its first packet
  // ("aframes=0", "t=0") did what it was asked: only inputs read to their end count.
  bool InputsEnded = !Tables.FileTable.empty();
  for (const TInputFile& File : Tables.FileTable) InputsEnded = InputsEnded && File.EofReached;
  int64_t PacketsWritten = 0;
  for (const auto& Output : Tables.OutputStreams)
    if (Output->Writer) PacketsWritten += Output->Writer->PacketsWritten();
  if (Stats.PacketsRead == 0 && PacketsWritten == 0 && !Run.StopRequested && InputsEnded)
    throw FFMpegException("The input holds no media data: nothing was converted");
  if (!Run.StopRequested) CheckInputsWhole();
  Run.Finished = !Run.StopRequested;
  TranscodeCleanup();
}

// What was written is in the files by now: a damaged source's good part stays for a user who
// keeps partial results, but the run does not read as converted.
void TCustomFFmpeg::CheckInputsWhole() const {
  for (const TInputSpan& Input : Run.Spans.Inputs)
    if (Input.ReadEnd == TReadEnd::reReadError)
      throw FFMpegException("Error while reading '" + Input.FileName + "': " + Input.ErrorText +
                            ": the input could not be read to its end");
  // A stream read to the end of its file without a single packet (its packets cut off or
  // lost with a damaged index) left its output stream empty: nothing of it was converted.
  for (const auto& Stream : Tables.InputStreams) {
    const AVMediaType Kind = Stream->Stream->codecpar->codec_type;
    if (Stream->Discard || Stream->SpanPackets != 0 ||
        (Kind != AVMEDIA_TYPE_VIDEO && Kind != AVMEDIA_TYPE_AUDIO) ||
        (Stream->Stream->disposition & AV_DISPOSITION_ATTACHED_PIC) ||
        Tables.FileTable[Stream->FileIndex].ReadEnd != TReadEnd::reEndOfFile)
      continue;
    const char* Name = AVCodec().avcodec_get_name(Stream->Stream->codecpar->codec_id);
    throw FFMpegException(FormatText("Error while reading stream #%d.%d (%s): the input holds no "
                                     "packet of it",
                                     Stream->FileIndex, Stream->StreamIndex, Name));
  }
  // A decoder that took packets and gave nothing (with threads it refuses them only by
  // giving nothing) converted nothing of its stream.
  for (const auto& Stream : Tables.InputStreams) {
    const AVMediaType Kind = Stream->Stream->codecpar->codec_type;
    if (Stream->Discard || !Stream->DecodingNeeded || Stream->PacketsDecoded == 0 ||
        Stream->FramesDecoded != 0 || (Kind != AVMEDIA_TYPE_VIDEO && Kind != AVMEDIA_TYPE_AUDIO))
      continue;
    const char* Name = AVCodec().avcodec_get_name(Stream->Stream->codecpar->codec_id);
    throw FFMpegException(FormatText("Error while decoding stream #%d.%d (%s): no %s of it could "
                                     "be decoded",
                                     Stream->FileIndex, Stream->StreamIndex, Name,
                                     Kind == AVMEDIA_TYPE_VIDEO ? "picture" : "sound"));
  }
}

// The files are closed here rather than by Cleanup so that the last flush and the close are
// checked: a full disk often shows only now, when the last buffer goes out.
void TCustomFFmpeg::CloseOutputFilesChecked() {
  for (int I = 0; I < Files.OutputFileCount; ++I) {
    AVFormatContext* Output = Files.OutputFiles[I].get();
    if (!Output || !Output->pb || (Output->oformat->flags & AVFMT_NOFILE)) continue;
    // The close flushes the last buffer and answers the first write error of the file.
    const int Closed = AVFormat().avio_closep(&Output->pb);
    if (Closed < 0) TPacketWriter::WriteFailed(Output, Closed);
  }
}

} // namespace pelorix
