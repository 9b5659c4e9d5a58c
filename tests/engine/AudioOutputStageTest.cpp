// The audio stage on its own: decoded blocks of the test clips in, real encoders' packets out.
// Whole conversions through it (every encoder, the sync rules' corner cases) are in
// AudioPathTest.cpp.
#include "AudioOutputStage.h"
#include "FFMpegException.h"
#include "MediaTestSupport.h"

#include <cstring>
#include <functional>

namespace pelorix {
namespace {

using test::TestMedia;

// Hands every decoded block of the first audio stream of AFileName to AUse with its time in
// microseconds.
void DecodeBlocks(const std::string& AFileName,
                  const std::function<void(AVFrame*, int64_t)>& AUse) {
  AVFormatContext* Raw = nullptr;
  ASSERT_GE(AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr), 0);
  TInputContextPtr Input(Raw);
  ASSERT_GE(AVFormat().avformat_find_stream_info(Raw, nullptr), 0);
  const AVStream* Stream = Raw->streams[0];
  const ::AVCodec* Codec = AVCodec().avcodec_find_decoder(Stream->codecpar->codec_id);
  TCodecContextPtr Decoder(AVCodec().avcodec_alloc_context3(Codec));
  ASSERT_GE(AVCodec().avcodec_parameters_to_context(Decoder.get(), Stream->codecpar), 0);
  ASSERT_GE(AVCodec().avcodec_open2(Decoder.get(), Codec, nullptr), 0);
  TPacketPtr Packet(AVCodec().av_packet_alloc());
  TFramePtr Frame(AVUtil().av_frame_alloc());
  const auto Receive = [&] {
    while (AVCodec().avcodec_receive_frame(Decoder.get(), Frame.get()) >= 0) {
      AUse(Frame.get(), AVUtil().av_rescale_q(Frame->pts, Stream->time_base, AV_TIME_BASE_Q));
      AVUtil().av_frame_unref(Frame.get());
    }
  };
  while (AVFormat().av_read_frame(Raw, Packet.get()) >= 0) {
    if (Packet->stream_index == 0) AVCodec().avcodec_send_packet(Decoder.get(), Packet.get());
    AVCodec().av_packet_unref(Packet.get());
    Receive();
  }
  AVCodec().avcodec_send_packet(Decoder.get(), nullptr);
  Receive();
}

// An opened encoder of stereo 16-bit samples at ARate.
TCodecContextPtr OpenEncoder(const char* AName, int ARate) {
  const ::AVCodec* Codec = AVCodec().avcodec_find_encoder_by_name(AName);
  TCodecContextPtr Encoder(AVCodec().avcodec_alloc_context3(Codec));
  Encoder->sample_fmt = AV_SAMPLE_FMT_S16;
  Encoder->sample_rate = ARate;
  Encoder->time_base = AVRational{1, ARate};
  Encoder->bit_rate = 128000;
  AVUtil().av_channel_layout_default(&Encoder->ch_layout, 2);
  EXPECT_GE(AVCodec().avcodec_open2(Encoder.get(), Codec, nullptr), 0) << AName;
  return Encoder;
}

struct TWritten {
  std::vector<int64_t> Pts;
  std::vector<uint8_t> Bytes; // the packets' data back to back
};

TPacketSink Collect(TWritten& AWritten) {
  return [&AWritten](AVPacket* APacket) {
    AWritten.Pts.push_back(APacket->pts);
    AWritten.Bytes.insert(AWritten.Bytes.end(), APacket->data, APacket->data + APacket->size);
  };
}

TEST(TAudioOutputStageTest, CutsTheBlocksIntoEncoderFramesOnTheSampleClock) {
  test::RequireMediaLibraries();
  TCodecContextPtr Encoder = OpenEncoder("mp2", 44100);
  ASSERT_EQ(Encoder->frame_size, 1152);
  TWritten Written;
  TAudioOutputStage Stage(Encoder.get(), {}, false, {}, Collect(Written));
  int64_t Samples = 0;
  int32_t AtStart = 1;
  DecodeBlocks(TestMedia("tone.wav"), [&](AVFrame* ABlock, int64_t AClock) {
    Samples += ABlock->nb_samples;
    Stage.Add(ABlock, AClock, AtStart);
  });
  ASSERT_EQ(Samples, 88200);
  // Before the end only whole frames went to the encoder; the rest waits in the queue.
  EXPECT_EQ(Stage.SampleClock(), Samples / 1152 * 1152);
  Stage.Finish();
  EXPECT_EQ(Stage.SampleClock(), Samples); // the short last frame too
  ASSERT_EQ(Written.Pts.size(), static_cast<size_t>((Samples + 1151) / 1152));
  // Frame after frame on the clock, less the encoder's own delay.
  for (size_t I = 0; I < Written.Pts.size(); ++I)
    EXPECT_EQ(Written.Pts[I], 1152 * static_cast<int64_t>(I) - Encoder->initial_padding);
  EXPECT_EQ(AtStart, 1); // no sync method: the clock follows the input, nothing is corrected
}

TEST(TAudioOutputStageTest, PutsSilenceInFrontOfALateFirstBlockOnce) {
  test::RequireMediaLibraries();
  TCodecContextPtr Encoder = OpenEncoder("pcm_s16le", 44100);
  TWritten Written;
  std::vector<std::string> Lines;
  TAudioSyncSettings Sync;
  Sync.Method = 1;
  Sync.Verbose = 3;
  TAudioOutputStage Stage(
      Encoder.get(), Sync, false, [&](int, const std::string& AText) { Lines.push_back(AText); },
      Collect(Written));
  std::vector<uint8_t> Source;
  int32_t AtStart = 1;
  DecodeBlocks(TestMedia("tone.wav"), [&](AVFrame* ABlock, int64_t AClock) {
    Source.insert(Source.end(), ABlock->data[0], ABlock->data[0] + ABlock->nb_samples * 4);
    Stage.Add(ABlock, AClock + 250000, AtStart); // a quarter of a second late
  });
  Stage.Finish();
  EXPECT_EQ(AtStart, 0);
  EXPECT_EQ(Lines, std::vector<std::string>{"adding 11025 audio samples of silence"});
  const size_t Silence = 11025 * 4;
  ASSERT_EQ(Written.Bytes.size(), Silence + Source.size());
  EXPECT_TRUE(std::all_of(Written.Bytes.begin(), Written.Bytes.begin() + Silence,
                          [](uint8_t B) { return B == 0; }));
  EXPECT_EQ(std::memcmp(Written.Bytes.data() + Silence, Source.data(), Source.size()), 0);
}

TEST(TAudioOutputStageTest, ResamplesAndGivesUpWhatTheResamplerHoldsAtTheEnd) {
  test::RequireMediaLibraries();
  TCodecContextPtr Encoder = OpenEncoder("pcm_s16le", 44100);
  TWritten Written;
  TAudioOutputStage Stage(Encoder.get(), {}, false, {}, Collect(Written));
  int32_t AtStart = 1;
  DecodeBlocks(TestMedia("mono8k.wav"),
               [&](AVFrame* ABlock, int64_t AClock) { Stage.Add(ABlock, AClock, AtStart); });
  const size_t BeforeEnd = Written.Bytes.size();
  Stage.Finish();
  // One second of 8000 Hz mono is one second of 44100 Hz stereo, the filter's tail included.
  EXPECT_GT(Written.Bytes.size(), BeforeEnd);
  EXPECT_NEAR(static_cast<double>(Written.Bytes.size()) / 4, 44100, 64);
}

TEST(TAudioOutputStageTest, AnEncoderThatFailsEndsTheRunWithItsMessage) {
  test::RequireMediaLibraries();
  // Configured and never opened: it refuses every frame.
  const ::AVCodec* Codec = AVCodec().avcodec_find_encoder_by_name("pcm_s16le");
  TCodecContextPtr Encoder(AVCodec().avcodec_alloc_context3(Codec));
  Encoder->sample_fmt = AV_SAMPLE_FMT_S16;
  Encoder->sample_rate = 44100;
  Encoder->time_base = AVRational{1, 44100};
  AVUtil().av_channel_layout_default(&Encoder->ch_layout, 2);
  TWritten Written;
  TAudioOutputStage Stage(Encoder.get(), {}, false, {}, Collect(Written));
  int32_t AtStart = 1;
  std::string Message;
  DecodeBlocks(TestMedia("tone.wav"), [&](AVFrame* ABlock, int64_t AClock) {
    try {
      if (Message.empty()) Stage.Add(ABlock, AClock, AtStart);
    } catch (const FFMpegException& E) {
      Message = E.what();
    }
  });
  EXPECT_EQ(Message, "Audio encoding failed");
  EXPECT_TRUE(Written.Pts.empty());
}

} // namespace
} // namespace pelorix
