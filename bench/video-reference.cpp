// pelorix-video-reference [-threads N] INPUT OUTPUT
//
// The least a conversion to the app's main format can do: decode the first video and the first
// audio stream of INPUT, encode the pictures with libxvid at 1500000 bit/s and the samples with
// libmp3lame at 128 kbit/s (converted to the encoder's format, cut into its frames), and write
// OUTPUT, whose container is picked from its name (AVI for the benchmark). No scaling, no other
// stream, no progress. The video benchmark holds the engine against this program's time.
//
// The settings are the engine's for the same job: the source's size and pixel format, one
// picture per period of the source's frame rate, the encoders' defaults otherwise (libxvid:
// GOP 12, no B-pictures), the audio encoder's first sample format, one thread everywhere.
//
// -threads N gives every decoder and encoder N threads with frame and slice threading allowed,
// as the engine's SetThreadCount does (0: one per online processor, at most 16); each codec
// uses what it supports. Without it, or with 1, every codec has one thread.
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

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

using namespace pelorix::reference;

constexpr int MaxAutoThreads = 16;

// The count -threads asks for; 0 is one per online processor. -1 when AText is not a count.
int ThreadCount(std::string_view AText) {
  int Count = -1;
  const auto [End, Error] = std::from_chars(AText.data(), AText.data() + AText.size(), Count);
  if (Error != std::errc() || End != AText.data() + AText.size() || Count < 0) return -1;
  if (Count == 0) {
    const long Online = ::sysconf(_SC_NPROCESSORS_ONLN);
    Count = static_cast<int>(std::clamp<long>(Online, 1, MaxAutoThreads));
  }
  return Count;
}

// One thread leaves the codec's own threading choice alone, as it always did.
void UseThreads(AVCodecContext& AContext, int AThreads) {
  AContext.thread_count = AThreads;
  if (AThreads > 1) AContext.thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
}

struct TChain {
  int InputIndex = -1;
  AVStream* Output = nullptr;
  TCodecPtr Decoder, Encoder;
  int64_t NextPts = 0; // in the encoder's time base
};

class TConverter {
public:
  TConverter(const char* AInputPath, const char* AOutputPath, int AThreads, bool& ACreated)
      : Threads(AThreads) {
    OpenInput(AInputPath);
    OpenVideoEncoder();
    OpenAudioEncoder();
    CreateOutput(AOutputPath, ACreated);
  }

  void Run() {
    TPacketPtr Read(Allocated(av_packet_alloc(), "packet"));
    for (;;) {
      const int Result = av_read_frame(Input.get(), Read.get());
      if (Result == AVERROR_EOF) break;
      Check(Result, "reading a packet");
      if (Read->stream_index == Video.InputIndex) Decode(Video, Read.get());
      if (Read->stream_index == Audio.InputIndex) Decode(Audio, Read.get());
      av_packet_unref(Read.get());
    }
    Decode(Video, nullptr);
    Decode(Audio, nullptr);
    // What the resampler holds back, then the short last frame, then the encoders' delay.
    Queue(nullptr, 0);
    EncodeAudio(true);
    for (TChain* Chain : {&Video, &Audio}) {
      Check(avcodec_send_frame(Chain->Encoder.get(), nullptr), "draining an encoder");
      WritePackets(*Chain);
    }
    Check(av_write_trailer(Output.get()), "writing the trailer");
  }

private:
  void OpenDecoder(TChain& AChain, AVMediaType AType) {
    const AVCodec* Codec = nullptr;
    AChain.InputIndex = Check(av_find_best_stream(Input.get(), AType, -1, -1, &Codec, 0),
                              AType == AVMEDIA_TYPE_VIDEO ? "video stream" : "audio stream");
    const AVStream* Stream = Input->streams[AChain.InputIndex];
    AChain.Decoder.reset(Allocated(avcodec_alloc_context3(Codec), "decoder"));
    Check(avcodec_parameters_to_context(AChain.Decoder.get(), Stream->codecpar),
          "decoder parameters");
    AChain.Decoder->pkt_timebase = Stream->time_base;
    UseThreads(*AChain.Decoder, Threads);
    Check(avcodec_open2(AChain.Decoder.get(), Codec, nullptr), "opening a decoder");
  }

  void OpenInput(const char* APath) {
    AVFormatContext* Context = nullptr;
    Check(avformat_open_input(&Context, APath, nullptr, nullptr), std::string("opening ") + APath);
    Input.reset(Context);
    Check(avformat_find_stream_info(Context, nullptr), "reading the stream information");
    OpenDecoder(Video, AVMEDIA_TYPE_VIDEO);
    OpenDecoder(Audio, AVMEDIA_TYPE_AUDIO);
    Decoded.reset(Allocated(av_frame_alloc(), "frame"));
    Packet.reset(Allocated(av_packet_alloc(), "packet"));
  }

  void OpenVideoEncoder() {
    const AVCodec* Codec = avcodec_find_encoder_by_name("libxvid");
    if (!Codec) throw TReferenceError("no libxvid encoder");
    const AVCodecContext& Decoder = *Video.Decoder;
    const AVRational Rate = Input->streams[Video.InputIndex]->r_frame_rate;
    AVCodecContext* Encoder = Allocated(avcodec_alloc_context3(Codec), "encoder");
    Video.Encoder.reset(Encoder);
    Encoder->width = Decoder.width;
    Encoder->height = Decoder.height;
    Encoder->pix_fmt = Decoder.pix_fmt;
    Encoder->sample_aspect_ratio =
        Decoder.sample_aspect_ratio.num ? Decoder.sample_aspect_ratio : AVRational{1, 1};
    Encoder->time_base = av_inv_q(Rate);
    Encoder->framerate = Rate;
    Encoder->bit_rate = 1500000;
    UseThreads(*Encoder, Threads);
    Check(avcodec_open2(Encoder, Codec, nullptr), "opening the video encoder");
  }

  void OpenAudioEncoder() {
    const AVCodec* Codec = avcodec_find_encoder_by_name("libmp3lame");
    if (!Codec) throw TReferenceError("no libmp3lame encoder");
    AVCodecContext& Decoder = *Audio.Decoder;
    AVCodecContext* Encoder = Allocated(avcodec_alloc_context3(Codec), "encoder");
    Audio.Encoder.reset(Encoder);
    Encoder->sample_rate = Decoder.sample_rate;
    Check(av_channel_layout_copy(&Encoder->ch_layout, &Decoder.ch_layout), "channel layout");
    Encoder->sample_fmt = Codec->sample_fmts[0];
    Encoder->time_base = AVRational{1, Encoder->sample_rate};
    Encoder->bit_rate = 128000;
    UseThreads(*Encoder, Threads);
    Check(avcodec_open2(Encoder, Codec, nullptr), "opening the audio encoder");

    SwrContext* Context = nullptr;
    Check(swr_alloc_set_opts2(&Context, &Encoder->ch_layout, Encoder->sample_fmt,
                              Encoder->sample_rate, &Decoder.ch_layout, Decoder.sample_fmt,
                              Decoder.sample_rate, 0, nullptr),
          "resampler");
    Resampler.reset(Context);
    Check(swr_init(Context), "opening the resampler");
    Fifo.reset(Allocated(
        av_audio_fifo_alloc(Encoder->sample_fmt, Encoder->ch_layout.nb_channels, 8192), "fifo"));
    Converted.reset(MakeAudioFrame(8192));
    AudioFrame.reset(MakeAudioFrame(Encoder->frame_size));
  }

  AVFrame* MakeAudioFrame(int ASamples) {
    const AVCodecContext& Encoder = *Audio.Encoder;
    AVFrame* Made = Allocated(av_frame_alloc(), "frame");
    Made->format = Encoder.sample_fmt;
    Made->sample_rate = Encoder.sample_rate;
    Made->nb_samples = ASamples;
    Check(av_channel_layout_copy(&Made->ch_layout, &Encoder.ch_layout), "channel layout");
    Check(av_frame_get_buffer(Made, 0), "frame buffer");
    return Made;
  }

  void CreateOutput(const char* APath, bool& ACreated) {
    AVFormatContext* Context = nullptr;
    Check(avformat_alloc_output_context2(&Context, nullptr, nullptr, APath),
          std::string("choosing a container for ") + APath);
    Output.reset(Context);
    for (TChain* Chain : {&Video, &Audio}) {
      Chain->Output = Allocated(avformat_new_stream(Context, nullptr), "stream");
      Check(avcodec_parameters_from_context(Chain->Output->codecpar, Chain->Encoder.get()),
            "stream parameters");
      Chain->Output->time_base = Chain->Encoder->time_base;
    }
    if (!(Context->oformat->flags & AVFMT_NOFILE)) {
      Check(avio_open(&Context->pb, APath, AVIO_FLAG_WRITE), std::string("creating ") + APath);
      ACreated = true;
    }
    Check(avformat_write_header(Context, nullptr), "writing the header");
  }

  // Sends APacket (none: the end) to the chain's decoder and encodes what comes out.
  void Decode(TChain& AChain, const AVPacket* APacket) {
    Check(avcodec_send_packet(AChain.Decoder.get(), APacket), "decoding");
    while (avcodec_receive_frame(AChain.Decoder.get(), Decoded.get()) >= 0) {
      if (&AChain == &Video) {
        Decoded->pts = Video.NextPts++;
        Decoded->pict_type = AV_PICTURE_TYPE_NONE;
        Check(avcodec_send_frame(Video.Encoder.get(), Decoded.get()), "encoding a picture");
        WritePackets(Video);
      } else {
        Queue(const_cast<const uint8_t**>(Decoded->extended_data), Decoded->nb_samples);
        EncodeAudio(false);
      }
      av_frame_unref(Decoded.get());
    }
  }

  // Converts ACount samples (none: what the resampler still holds) into the FIFO.
  void Queue(const uint8_t** APlanes, int ACount) {
    const int Room = swr_get_out_samples(Resampler.get(), ACount);
    if (Room > Converted->nb_samples) Converted.reset(MakeAudioFrame(Room));
    const int Count = Check(swr_convert(Resampler.get(), Converted->extended_data,
                                        Converted->nb_samples, APlanes, ACount),
                            "converting samples");
    if (av_audio_fifo_write(Fifo.get(), reinterpret_cast<void**>(Converted->extended_data),
                            Count) != Count)
      throw TReferenceError("fifo: out of memory");
  }

  void EncodeAudio(bool ALast) {
    const int FrameSize = Audio.Encoder->frame_size;
    while (av_audio_fifo_size(Fifo.get()) >= FrameSize ||
           (ALast && av_audio_fifo_size(Fifo.get()) > 0)) {
      Check(av_frame_make_writable(AudioFrame.get()), "frame buffer");
      const int Count = std::min(FrameSize, av_audio_fifo_size(Fifo.get()));
      AudioFrame->nb_samples = FrameSize;
      av_audio_fifo_read(Fifo.get(), reinterpret_cast<void**>(AudioFrame->extended_data), Count);
      AudioFrame->nb_samples = Count;
      AudioFrame->pts = Audio.NextPts;
      Audio.NextPts += Count;
      Check(avcodec_send_frame(Audio.Encoder.get(), AudioFrame.get()), "encoding samples");
      WritePackets(Audio);
    }
  }

  void WritePackets(TChain& AChain) {
    for (;;) {
      const int Received = avcodec_receive_packet(AChain.Encoder.get(), Packet.get());
      if (Received == AVERROR(EAGAIN) || Received == AVERROR_EOF) return;
      Check(Received, "encoding");
      Packet->stream_index = AChain.Output->index;
      av_packet_rescale_ts(Packet.get(), AChain.Encoder->time_base, AChain.Output->time_base);
      Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a packet");
    }
  }

  const int Threads;
  TInputPtr Input;
  TChain Video, Audio;
  TResamplerPtr Resampler;
  TFifoPtr Fifo;
  TFramePtr Decoded, Converted, AudioFrame;
  TPacketPtr Packet;
  TOutputPtr Output;
};

} // namespace

int main(int argc, char** argv) {
  int Threads = 1;
  int First = 1; // the first argument after the options
  if (argc == 5 && std::string_view(argv[1]) == "-threads") {
    Threads = ThreadCount(argv[2]);
    First = 3;
  }
  if (argc != First + 2 || Threads < 1) {
    std::fprintf(stderr, "usage: pelorix-video-reference [-threads N] INPUT OUTPUT\n");
    return 2;
  }
  const char* OutputPath = argv[First + 1];
  av_log_set_level(AV_LOG_ERROR);
  bool Created = false;
  try {
    TConverter Converter(argv[First], OutputPath, Threads, Created);
    Converter.Run();
  } catch (const std::exception& Failure) {
    std::fprintf(stderr, "pelorix-video-reference: %s\n", Failure.what());
    if (Created) std::remove(OutputPath);
    return 1;
  }
  return 0;
}
