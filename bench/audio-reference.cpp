// pelorix-audio-reference INPUT OUTPUT
//
// The least a re-encode to MP3 can do: decode the first audio stream of INPUT, convert its
// samples to the encoder's format (one resampling context), cut them into the encoder's frames
// (an audio FIFO), encode them with libmp3lame at 128 kbit/s with the input's rate and channels,
// and write OUTPUT, whose container is picked from its name. No other stream, no progress. The
// audio benchmark holds the engine's audio path against this program's time.
//
// The settings are the engine's for the same job: the encoder's first sample format, a time base
// of 1/rate, one thread everywhere.
//
// Exit status: 0 written, 1 failed (the message names the step; an OUTPUT this run began is
// removed), 2 usage error.

#include "ReferenceObjects.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace pelorix::reference;

class TReencoder {
public:
  TReencoder(const char* AInputPath, const char* AOutputPath, bool& ACreated) {
    OpenInput(AInputPath);
    OpenEncoder();
    CreateOutput(AOutputPath, ACreated);
  }

  void Run() {
    TPacketPtr Packet(Allocated(av_packet_alloc(), "packet"));
    for (;;) {
      const int Read = av_read_frame(Input.get(), Packet.get());
      if (Read == AVERROR_EOF) break;
      Check(Read, "reading a packet");
      if (Packet->stream_index == StreamIndex) {
        Check(avcodec_send_packet(Decoder.get(), Packet.get()), "decoding");
        ReceiveFrames();
      }
      av_packet_unref(Packet.get());
    }
    Check(avcodec_send_packet(Decoder.get(), nullptr), "draining the decoder");
    ReceiveFrames();
    // What the resampler holds back, then the short last frame, then the encoder's delay.
    Queue(nullptr, 0);
    Encode(true);
    Check(avcodec_send_frame(Encoder.get(), nullptr), "draining the encoder");
    WritePackets();
    Check(av_write_trailer(Output.get()), "writing the trailer");
  }

private:
  void OpenInput(const char* APath) {
    AVFormatContext* Context = nullptr;
    Check(avformat_open_input(&Context, APath, nullptr, nullptr), std::string("opening ") + APath);
    Input.reset(Context);
    Check(avformat_find_stream_info(Context, nullptr), "reading the stream information");
    const AVCodec* Codec = nullptr;
    StreamIndex =
        Check(av_find_best_stream(Context, AVMEDIA_TYPE_AUDIO, -1, -1, &Codec, 0), "audio stream");
    Decoder.reset(Allocated(avcodec_alloc_context3(Codec), "decoder"));
    Check(avcodec_parameters_to_context(Decoder.get(), Context->streams[StreamIndex]->codecpar),
          "decoder parameters");
    Decoder->pkt_timebase = Context->streams[StreamIndex]->time_base;
    Decoder->thread_count = 1;
    Check(avcodec_open2(Decoder.get(), Codec, nullptr), "opening the decoder");
  }

  void OpenEncoder() {
    const AVCodec* Codec = avcodec_find_encoder_by_name("libmp3lame");
    if (!Codec) throw TReferenceError("no libmp3lame encoder");
    Encoder.reset(Allocated(avcodec_alloc_context3(Codec), "encoder"));
    Encoder->sample_rate = Decoder->sample_rate;
    Check(av_channel_layout_copy(&Encoder->ch_layout, &Decoder->ch_layout), "channel layout");
    Encoder->sample_fmt = Codec->sample_fmts[0];
    Encoder->time_base = AVRational{1, Encoder->sample_rate};
    Encoder->bit_rate = 128000;
    Encoder->thread_count = 1;
    Check(avcodec_open2(Encoder.get(), Codec, nullptr), "opening the encoder");

    SwrContext* Context = nullptr;
    Check(swr_alloc_set_opts2(&Context, &Encoder->ch_layout, Encoder->sample_fmt,
                              Encoder->sample_rate, &Decoder->ch_layout, Decoder->sample_fmt,
                              Decoder->sample_rate, 0, nullptr),
          "resampler");
    Resampler.reset(Context);
    Check(swr_init(Context), "opening the resampler");
    Fifo.reset(Allocated(
        av_audio_fifo_alloc(Encoder->sample_fmt, Encoder->ch_layout.nb_channels, 8192), "fifo"));
    Converted.reset(MakeFrame(8192));
    Frame.reset(MakeFrame(Encoder->frame_size));
    Decoded.reset(Allocated(av_frame_alloc(), "frame"));
    Packet.reset(Allocated(av_packet_alloc(), "packet"));
  }

  AVFrame* MakeFrame(int ASamples) {
    AVFrame* Made = Allocated(av_frame_alloc(), "frame");
    Made->format = Encoder->sample_fmt;
    Made->sample_rate = Encoder->sample_rate;
    Made->nb_samples = ASamples;
    Check(av_channel_layout_copy(&Made->ch_layout, &Encoder->ch_layout), "channel layout");
    Check(av_frame_get_buffer(Made, 0), "frame buffer");
    return Made;
  }

  void CreateOutput(const char* APath, bool& ACreated) {
    AVFormatContext* Context = nullptr;
    Check(avformat_alloc_output_context2(&Context, nullptr, nullptr, APath),
          std::string("choosing a container for ") + APath);
    Output.reset(Context);
    AVStream* Stream = Allocated(avformat_new_stream(Context, nullptr), "stream");
    Check(avcodec_parameters_from_context(Stream->codecpar, Encoder.get()), "stream parameters");
    Stream->time_base = Encoder->time_base;
    if (!(Context->oformat->flags & AVFMT_NOFILE)) {
      Check(avio_open(&Context->pb, APath, AVIO_FLAG_WRITE), std::string("creating ") + APath);
      ACreated = true;
    }
    Check(avformat_write_header(Context, nullptr), "writing the header");
  }

  void ReceiveFrames() {
    while (avcodec_receive_frame(Decoder.get(), Decoded.get()) >= 0) {
      Queue(const_cast<const uint8_t**>(Decoded->extended_data), Decoded->nb_samples);
      av_frame_unref(Decoded.get());
      Encode(false);
    }
  }

  // Converts ACount samples (none: what the resampler still holds) into the FIFO.
  void Queue(const uint8_t** APlanes, int ACount) {
    const int Room = swr_get_out_samples(Resampler.get(), ACount);
    if (Room > Converted->nb_samples) Converted.reset(MakeFrame(Room));
    const int Count = Check(swr_convert(Resampler.get(), Converted->extended_data,
                                        Converted->nb_samples, APlanes, ACount),
                            "converting samples");
    if (av_audio_fifo_write(Fifo.get(), reinterpret_cast<void**>(Converted->extended_data),
                            Count) != Count)
      throw TReferenceError("fifo: out of memory");
  }

  void Encode(bool ALast) {
    const int FrameSize = Encoder->frame_size;
    while (av_audio_fifo_size(Fifo.get()) >= FrameSize ||
           (ALast && av_audio_fifo_size(Fifo.get()) > 0)) {
      Check(av_frame_make_writable(Frame.get()), "frame buffer");
      const int Count = std::min(FrameSize, av_audio_fifo_size(Fifo.get()));
      Frame->nb_samples = FrameSize;
      av_audio_fifo_read(Fifo.get(), reinterpret_cast<void**>(Frame->extended_data), Count);
      Frame->nb_samples = Count;
      Frame->pts = NextPts;
      NextPts += Count;
      Check(avcodec_send_frame(Encoder.get(), Frame.get()), "encoding");
      WritePackets();
    }
  }

  void WritePackets() {
    for (;;) {
      const int Received = avcodec_receive_packet(Encoder.get(), Packet.get());
      if (Received == AVERROR(EAGAIN) || Received == AVERROR_EOF) return;
      Check(Received, "encoding");
      Packet->stream_index = 0;
      av_packet_rescale_ts(Packet.get(), Encoder->time_base, Output->streams[0]->time_base);
      Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a packet");
    }
  }

  TInputPtr Input;
  int StreamIndex = -1;
  TCodecPtr Decoder, Encoder;
  TResamplerPtr Resampler;
  TFifoPtr Fifo;
  TFramePtr Decoded, Converted, Frame;
  TPacketPtr Packet;
  TOutputPtr Output;
  int64_t NextPts = 0;
};

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: pelorix-audio-reference INPUT OUTPUT\n");
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);
  bool Created = false;
  try {
    TReencoder Reencoder(argv[1], argv[2], Created);
    Reencoder.Run();
  } catch (const std::exception& Failure) {
    std::fprintf(stderr, "pelorix-audio-reference: %s\n", Failure.what());
    if (Created) std::remove(argv[2]);
    return 1;
  }
  return 0;
}
