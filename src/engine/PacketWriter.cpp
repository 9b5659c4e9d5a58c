#include "PacketWriter.h"

#include "FFMpegException.h"
#include "OpenErrorText.h"
#include "TextFormat.h"

#include <algorithm>

namespace pelorix {

TPacketWriter::TPacketWriter(AVFormatContext* AFile, AVStream* AStream, std::string ACodecName,
                             bool AExitOnError, TStageLog ALog)
    : File(AFile), Stream(AStream), CodecName(std::move(ACodecName)), ExitOnError(AExitOnError),
      LogLine(std::move(ALog)) {}

void TPacketWriter::FilterFailed(const char* AFilter, int AStreamIndex, int ACode) {
  if (!LogLine && !ExitOnError) return;
  const std::string Message = FileOpenErrorText(
      FormatText("%s failed for stream %d, codec %s", AFilter, AStreamIndex, CodecName.c_str()),
      ACode);
  if (ExitOnError) throw FFMpegException(Message);
  LogLine(0, Message);
}

void TPacketWriter::AddFilters(const std::vector<std::string>& AChain) {
  RunThread.Check("TPacketWriter::AddFilters");
  const AVCodecParameters* Parameters = Stream->codecpar;
  for (const std::string& Spec : AChain) {
    const size_t Equals = Spec.find('=', 1);
    const std::string Name = Equals == std::string::npos ? Spec : Spec.substr(0, Equals);
    const AVBitStreamFilter* Filter = AVCodec().av_bsf_get_by_name(Name.c_str());
    AVBSFContext* Raw = nullptr;
    if (!Filter || AVCodec().av_bsf_alloc(Filter, &Raw) < 0)
      throw FFMpegException("Unknown bitstream filter " + Name);
    TBitstreamFilterPtr Context(Raw);
    AVCodec().avcodec_parameters_copy(Context->par_in, Parameters);
    Context->time_base_in = Stream->time_base;
    const int Result = AVCodec().av_bsf_init(Context.get());
    if (Result < 0) {
      // A filter that refuses the stream is a filter failure like any other: fatal only with
      // "xerror"; otherwise the packets go on without it.
      FilterFailed(Name.c_str(), Stream->index, Result);
      continue;
    }
    TPacketPtr Out(AVCodec().av_packet_alloc());
    if (!Out) throw FFMpegException("av_malloc failed");
    Parameters = Context->par_out;
    Filters.push_back(std::move(Context));
    FilterPackets.push_back(std::move(Out));
  }
  // The muxer sees what the last filter puts out.
  if (!Filters.empty()) AVCodec().avcodec_parameters_copy(Stream->codecpar, Parameters);
}

void TPacketWriter::Write(AVPacket* APacket) {
  RunThread.Check("TPacketWriter::Write");
  FilterAndWrite(APacket, 0);
}

void TPacketWriter::FilterAndWrite(AVPacket* APacket, size_t AFilter) {
  if (AFilter == Filters.size()) {
    WritePacket(APacket);
    return;
  }
  AVBSFContext* Filter = Filters[AFilter].get();
  const int StreamIndex = APacket->stream_index;
  const int Sent = AVCodec().av_bsf_send_packet(Filter, APacket);
  if (Sent < 0) {
    // The packet goes on as the filter left it.
    FilterFailed(Filter->filter->name, StreamIndex, Sent);
    FilterAndWrite(APacket, AFilter + 1);
    return;
  }
  AVPacket* Filtered = FilterPackets[AFilter].get();
  for (;;) {
    const int Received = AVCodec().av_bsf_receive_packet(Filter, Filtered);
    if (Received == AVERROR(EAGAIN) || Received == AVERROR_EOF) return;
    if (Received < 0) {
      FilterFailed(Filter->filter->name, StreamIndex, Received);
      return;
    }
    Filtered->stream_index = StreamIndex;
    FilterAndWrite(Filtered, AFilter + 1);
  }
}

void TPacketWriter::WritePacket(AVPacket* APacket) {
  const int64_t Start = APacket->pts != AV_NOPTS_VALUE ? APacket->pts : APacket->dts;
  if (Start != AV_NOPTS_VALUE) {
    const int64_t Last = Start + std::max<int64_t>(APacket->duration, 0);
    if (End == AV_NOPTS_VALUE || Last > End) End = Last;
    if (First == AV_NOPTS_VALUE || Start < First) First = Start;
  }
  // The muxer takes the packet's reference, written or not.
  const int Result = AVFormat().av_interleaved_write_frame(File, APacket);
  // A failed write to the file (full disk, size limit, gone device) is no open error: it is
  // told as what it is, with the file's name and the system's reason.
  if (File->pb && File->pb->error < 0) WriteFailed(File, File->pb->error);
  if (Result < 0) throw FFMpegException(FileOpenErrorText("av_interleaved_write_frame()", Result));
  ++Written;
}

void TPacketWriter::WriteFailed(const AVFormatContext* AFile, int ACode) {
  const std::string Name = AFile->url ? AFile->url : "";
  throw FFMpegException("Could not write output file '" + Name + "': " + LibraryErrorText(ACode));
}

} // namespace pelorix
