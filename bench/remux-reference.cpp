// pelorix-remux-reference INPUT OUTPUT
//
// The least a stream copy can do: read every packet of INPUT and write it unchanged into OUTPUT,
// whose container is picked from its name. No decoding, no filtering, no progress. The remux
// benchmark holds the engine's stream copy against this program's time and memory.
//
// Exit status: 0 written, 1 failed (the message names the step; an OUTPUT this run began is
// removed, one that was there before and never opened is left alone), 2 usage error.

#include "ReferenceObjects.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>

namespace {

using namespace pelorix::reference;

TInputPtr OpenInput(const char* APath) {
  AVFormatContext* Context = nullptr;
  Check(avformat_open_input(&Context, APath, nullptr, nullptr), std::string("opening ") + APath);
  TInputPtr Input(Context);
  Check(avformat_find_stream_info(Context, nullptr), "reading the stream information");
  return Input;
}

// ACreated turns true once OUTPUT has been opened for writing, that is, truncated.
TOutputPtr CreateOutput(const char* APath, const AVFormatContext& AInput, bool& ACreated) {
  AVFormatContext* Context = nullptr;
  Check(avformat_alloc_output_context2(&Context, nullptr, nullptr, APath),
        std::string("choosing a container for ") + APath);
  TOutputPtr Output(Context);
  for (unsigned Index = 0; Index < AInput.nb_streams; ++Index) {
    const AVStream& From = *AInput.streams[Index];
    AVStream* To = avformat_new_stream(Context, nullptr);
    if (!To) throw TReferenceError("adding a stream: out of memory");
    Check(avcodec_parameters_copy(To->codecpar, From.codecpar), "copying stream parameters");
    // The input's tag means something only in the input's container.
    To->codecpar->codec_tag = 0;
    To->time_base = From.time_base; // a hint; the muxer settles the real one in the header
  }
  if (!(Context->oformat->flags & AVFMT_NOFILE)) {
    Check(avio_open(&Context->pb, APath, AVIO_FLAG_WRITE), std::string("creating ") + APath);
    ACreated = true;
  }
  Check(avformat_write_header(Context, nullptr), "writing the header");
  return Output;
}

void CopyPackets(AVFormatContext& AInput, AVFormatContext& AOutput) {
  TPacketPtr Packet(av_packet_alloc());
  if (!Packet) throw TReferenceError("packet: out of memory");
  for (;;) {
    const int Read = av_read_frame(&AInput, Packet.get());
    if (Read == AVERROR_EOF) break;
    Check(Read, "reading a packet");
    // Some containers announce streams only once their first packet arrives; the header is
    // written by then, so such a stream cannot be added to the output.
    if (Packet->stream_index >= static_cast<int>(AOutput.nb_streams)) {
      av_packet_unref(Packet.get());
      continue;
    }
    const AVRational From = AInput.streams[Packet->stream_index]->time_base;
    const AVRational To = AOutput.streams[Packet->stream_index]->time_base;
    av_packet_rescale_ts(Packet.get(), From, To);
    Packet->pos = -1;
    // Takes the packet's reference and leaves Packet blank for the next read.
    Check(av_interleaved_write_frame(&AOutput, Packet.get()), "writing a packet");
  }
  Check(av_write_trailer(&AOutput), "writing the trailer");
}

// Writing over the file being read would destroy it before it is read.
bool SameFile(const char* AInputPath, const char* AOutputPath) {
  std::error_code Error;
  return std::filesystem::equivalent(AInputPath, AOutputPath, Error) && !Error;
}

void Remux(const char* AInputPath, const char* AOutputPath, bool& ACreated) {
  if (SameFile(AInputPath, AOutputPath))
    throw TReferenceError(std::string(AOutputPath) + " is the input itself");
  TInputPtr Input = OpenInput(AInputPath);
  TOutputPtr Output = CreateOutput(AOutputPath, *Input, ACreated);
  CopyPackets(*Input, *Output);
  if (!(Output->oformat->flags & AVFMT_NOFILE))
    Check(avio_closep(&Output->pb), std::string("closing ") + AOutputPath);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pelorix-remux-reference INPUT OUTPUT\n");
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);
  bool Created = false;
  try {
    Remux(argv[1], argv[2], Created);
  } catch (const std::exception& Failure) {
    std::fprintf(stderr, "pelorix-remux-reference: %s\n", Failure.what());
    if (Created) std::remove(argv[2]);
    return 1;
  }
  return 0;
}
