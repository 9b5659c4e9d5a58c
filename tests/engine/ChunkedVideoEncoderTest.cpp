// How many chunk encoders a stream gets, and what the copies of its encoder keep. The
// conversions through them are in CodecThreadsTest.cpp.
#include "ChunkedVideoEncoder.h"
#include "MediaTestSupport.h"

namespace pelorix {
namespace {

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
