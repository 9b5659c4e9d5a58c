// An encoder that cannot thread itself, given threads: its pictures go out in chunks to copies
// of it, one thread each. The file must be the one-thread file in all a player sees: the same
// pictures in the same order, a key picture where one thread puts one, the same duration.
#include "ChunkedVideoEncoder.h"
#include "DecodedVideo.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <filesystem>

namespace pelorix {
namespace {

using test::ReadMediaFacts;
using test::TestMedia;
using test::TMediaFacts;

class TChunkedEncodingTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Dir =
        std::filesystem::temp_directory_path() / ("pelorix-chunked-" + std::to_string(::getpid()));
    std::filesystem::create_directories(Dir);
  }
  void TearDown() override { std::filesystem::remove_all(Dir); }

  std::string Out(const std::string& AName) { return (Dir / AName).string(); }

  // Converts h264_aac.mp4 to libxvid in AVI with AThreads threads; the run's error, if any.
  // AStopAtFrame > 0 asks for a stop once that many pictures are reported.
  std::string Convert(int AThreads, const std::string& AName,
                      const std::vector<std::pair<std::string, std::string>>& AOptions = {},
                      int AStopAtFrame = 0) {
    TCustomFFmpeg Engine;
    Engine.Reset();
    Engine.SetThreadCount(AThreads);
    if (!Engine.OpenInputFile(TestMedia("h264_aac.mp4"))) return Engine.LastErrorText();
    Engine.SetOption("vcodec", "libxvid");
    Engine.SetOption("acodec", "libmp3lame");
    for (const auto& [Name, Value] : AOptions)
      Engine.SetOption(Name, Value);
    if (!Engine.OpenOutputFile(Out(AName))) return Engine.LastErrorText();
    if (AStopAtFrame > 0) {
      Engine.SetReportInterval(0);
      Engine.SetProgressCallback(
          [AStopAtFrame](TCustomFFmpeg& AEngine, int AFrame, int, int, float, float, int64_t, int) {
            if (AFrame >= AStopAtFrame) AEngine.SignalStop();
          });
    }
    Engine.Start(false, TConvertPriority::tpNormal);
    Stopped = !Engine.Finished();
    return Engine.ErrorOccurred() ? Engine.ErrorMessage() : std::string();
  }

  std::filesystem::path Dir;
  bool Stopped = false;
};

TEST_F(TChunkedEncodingTest, ChunksKeepThePicturesTheirOrderAndKeyPictures) {
  // Three encoders, chunks of 6: the 50 pictures are dealt out over every encoder more than
  // once, and the last chunk is short.
  const std::vector<std::pair<std::string, std::string>> Gop{{"g", "6"}};
  ASSERT_EQ(Convert(1, "one.avi", Gop), "");
  ASSERT_EQ(Convert(3, "three.avi", Gop), "");
  const TMediaFacts One = ReadMediaFacts(Out("one.avi"));
  const TMediaFacts Three = ReadMediaFacts(Out("three.avi"));
  ASSERT_EQ(Three.Streams.size(), 2u);
  EXPECT_EQ(Three.Streams[0].Packets, 50);
  EXPECT_EQ(Three.Streams[0].Packets, One.Streams[0].Packets);
  EXPECT_EQ(Three.Streams[0].KeyPackets, One.Streams[0].KeyPackets);
  EXPECT_EQ(Three.Streams[0].KeyPackets, 9); // 0, 6, ..., 48
  EXPECT_TRUE(Three.Streams[0].FirstPacketKey);
  EXPECT_NEAR(Three.Streams[0].Duration, One.Streams[0].Duration, 1e-6);
  EXPECT_NEAR(Three.Streams[1].Duration, One.Streams[1].Duration, 1e-6);

  // Every picture is the one-thread file's picture of the same place, not its neighbour's:
  // packets out of order would decode to the wrong place, or not at all.
  const test::TDecodedVideo Single = test::DecodeVideo(Out("one.avi"));
  const test::TDecodedVideo Chunked = test::DecodeVideo(Out("three.avi"));
  ASSERT_EQ(Chunked.Pictures.size(), Single.Pictures.size());
  for (size_t I = 0; I < Chunked.Pictures.size(); ++I) {
    const double Same = test::LumaDifference(Chunked.Pictures[I], Single.Pictures[I]);
    EXPECT_LT(Same, 4.0) << "picture " << I;
    for (size_t Other : {I - 1, I + 1, I + 6}) {
      if (Other >= Single.Pictures.size()) continue;
      EXPECT_LT(Same, test::LumaDifference(Chunked.Pictures[I], Single.Pictures[Other]))
          << "picture " << I << " against " << Other;
    }
  }
}

TEST_F(TChunkedEncodingTest, StopLeavesACompleteShorterFile) {
  ASSERT_EQ(Convert(2, "stopped.avi", {{"g", "4"}}, 10), "");
  EXPECT_TRUE(Stopped);
  const TMediaFacts Copy = ReadMediaFacts(Out("stopped.avi"));
  ASSERT_TRUE(Copy.Opened);
  ASSERT_EQ(Copy.Streams.size(), 2u);
  // Every picture handed to the chunk encoders before the stop is written, and decodes.
  EXPECT_GE(Copy.Streams[0].Packets, 10);
  EXPECT_LT(Copy.Streams[0].Packets, 50);
  EXPECT_TRUE(Copy.Streams[0].FirstPacketKey);
  EXPECT_EQ(test::DecodeVideo(Out("stopped.avi")).Pictures.size(),
            static_cast<size_t>(Copy.Streams[0].Packets));
}

// An encoder context for ACodec set up as the engine sets up a 720p stream.
TCodecContextPtr Configured(const char* ACodec) {
  const ::AVCodec* Codec = AVCodec().avcodec_find_encoder_by_name(ACodec);
  if (!Codec) return nullptr;
  TCodecContextPtr C(AVCodec().avcodec_alloc_context3(Codec));
  C->width = 1280;
  C->height = 720;
  C->pix_fmt = AV_PIX_FMT_YUV420P;
  C->time_base = AVRational{1, 25};
  C->bit_rate = 1'500'000;
  C->gop_size = 12;
  C->max_b_frames = 0;
  return C;
}

TEST(TChunkEncoderCount, OnlyAnEncoderThatCannotThreadItselfAndKeepsNoStateIsChunked) {
  test::RequireMediaLibraries();
  TCodecContextPtr Xvid = Configured("libxvid");
  ASSERT_TRUE(Xvid);
  const ::AVCodec& Codec = *Xvid->codec;
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 1), 0);
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 2), 2);
  Xvid->width = 640;
  Xvid->height = 360;
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 16), TChunkedVideoEncoder::MaxEncoders);

  // Settings a chunk would break: B-pictures, statistics passes, PSNR sums, no key pictures.
  Xvid->max_b_frames = 2;
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 2), 0);
  Xvid->max_b_frames = 0;
  for (int Flag : {AV_CODEC_FLAG_PASS1, AV_CODEC_FLAG_PASS2, AV_CODEC_FLAG_PSNR}) {
    Xvid->flags = Flag;
    EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 2), 0) << Flag;
  }
  Xvid->flags = 0;
  Xvid->gop_size = 0;
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 2), 0);

  // Large pictures keep fewer of them waiting: a 2160p stream still gets its two encoders.
  Xvid->gop_size = 12;
  Xvid->width = 3840;
  Xvid->height = 2160;
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 2), 2);
  // Long chunks of large pictures take fewer encoders, down to none.
  Xvid->gop_size = 30;
  Xvid->width = 1920;
  Xvid->height = 1080;
  const int Long = TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 8);
  EXPECT_GE(Long, 2);
  EXPECT_LT(Long, 8);
  Xvid->gop_size = 300;
  EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(Codec, *Xvid, 8), 0);

  // Encoders with threads or a delay of their own are left to themselves.
  for (const char* Own : {"libx264", "mpeg4", "mjpeg"}) {
    TCodecContextPtr Other = Configured(Own);
    if (!Other) continue;
    EXPECT_EQ(TChunkedVideoEncoder::EncodersFor(*Other->codec, *Other, 2), 0) << Own;
  }
}

TEST(TChunkEncoderCount, CopiesTakeEverySettingAndOneThread) {
  test::RequireMediaLibraries();
  TCodecContextPtr Xvid = Configured("libxvid");
  ASSERT_TRUE(Xvid);
  Xvid->thread_count = 4;
  Xvid->sample_aspect_ratio = AVRational{4, 3};
  Xvid->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Xvid->qmax = 12;
  ASSERT_GE(AVUtil().av_opt_set(Xvid->priv_data, "me_quality", "2", 0), 0);
  const TCodecContextPtr Copy = TChunkedVideoEncoder::CopySettings(*Xvid->codec, *Xvid);
  ASSERT_TRUE(Copy);
  EXPECT_EQ(Copy->width, 1280);
  EXPECT_EQ(Copy->height, 720);
  EXPECT_EQ(Copy->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(Copy->time_base.den, 25);
  EXPECT_EQ(Copy->bit_rate, 1'500'000);
  EXPECT_EQ(Copy->gop_size, 12);
  EXPECT_EQ(Copy->qmax, 12);
  EXPECT_EQ(Copy->sample_aspect_ratio.num, 4);
  EXPECT_TRUE(Copy->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
  EXPECT_EQ(Copy->thread_count, 1);
  int64_t MeQuality = 0;
  ASSERT_GE(AVUtil().av_opt_get_int(Copy->priv_data, "me_quality", 0, &MeQuality), 0);
  EXPECT_EQ(MeQuality, 2);
}

} // namespace
} // namespace pelorix
