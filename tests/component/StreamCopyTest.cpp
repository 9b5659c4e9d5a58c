// Streams that already fit an entry go into its output unchanged: the decision for each way a
// stream can miss, and real copies whose pictures decode as the source's.
#include "StreamCopy.h"
#include "ConverterTestSupport.h"
#include "DecodedVideo.h"
#include "MediaFacts.h"

namespace pelorix {
namespace {

using enum TQualityLevel;

const TOutputFormat& Entry(const std::string& AName) {
  const TOutputFormat* Format = FindOutputFormat(AName);
  if (!Format) throw std::runtime_error("no entry " + AName);
  return *Format;
}

// A 720p H.264 (high profile, 4:2:0) + AAC stereo 44100 Hz source.
TSourceFacts HdFacts() {
  TSourceFacts Facts;
  Facts.HasVideo = true;
  Facts.Width = 1280;
  Facts.Height = 720;
  Facts.VideoCodec = "h264";
  Facts.PixelFormat = AV_PIX_FMT_YUV420P;
  Facts.Profile = FF_PROFILE_H264_HIGH;
  Facts.AudioCodec = "aac";
  Facts.Channels = 2;
  Facts.SampleRate = 44100;
  Facts.AudioBitrate = 128000;
  return Facts;
}

constexpr TEncodingChoice CopyBalanced{qlBalanced, true};
constexpr TStreamCopy Both{true, true}, VideoOnly{true, false}, AudioOnly{false, true},
    Neither{false, false};

class TStreamCopyTest : public ::testing::Test {
protected:
  void SetUp() override { test::RequireMediaLibraries(); }
};

TEST_F(TStreamCopyTest, OnlyWhatTheEntryWouldWriteIsCopied) {
  const TSourceFacts Hd = HdFacts();
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Hd, CopyBalanced), Both);
  EXPECT_EQ(StreamsToCopy(Entry("mkv"), Hd, {qlBetter, true}), Both);

  TSourceFacts Mpeg4 = Hd; // another codec
  Mpeg4.VideoCodec = "mpeg4";
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Mpeg4, CopyBalanced), AudioOnly);
  TSourceFacts Deep = Hd; // 10-bit samples, or 4:2:2
  Deep.PixelFormat = AV_PIX_FMT_YUV420P10LE;
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Deep, CopyBalanced), AudioOnly);
  Deep.PixelFormat = AV_PIX_FMT_YUV422P;
  EXPECT_EQ(StreamsToCopy(Entry("mkv"), Deep, CopyBalanced), AudioOnly);
  TSourceFacts Odd = Hd; // the entry would make the size even
  Odd.Width = 1279;
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Odd, CopyBalanced), AudioOnly);
  TSourceFacts Fields = Hd; // the entry would deinterlace, or turn the pictures
  Fields.Interlaced = true;
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Fields, CopyBalanced), AudioOnly);
  TSourceFacts Turned = Hd;
  Turned.Turned = true;
  EXPECT_EQ(StreamsToCopy(Entry("mkv"), Turned, CopyBalanced), AudioOnly);

  TSourceFacts Surround = Hd; // more channels than the entry keeps
  Surround.Channels = 6;
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Surround, CopyBalanced), VideoOnly);
  EXPECT_EQ(StreamsToCopy(Entry("mkv"), Surround, CopyBalanced), Both);
  TSourceFacts HighRate = Hd; // a rate the entry does not keep
  HighRate.AudioCodec = "opus";
  HighRate.SampleRate = 44100;
  EXPECT_EQ(StreamsToCopy(Entry("opus"), HighRate, CopyBalanced), Neither);
  HighRate.SampleRate = 48000;
  EXPECT_EQ(StreamsToCopy(Entry("opus"), HighRate, CopyBalanced), AudioOnly);
}

TEST_F(TStreamCopyTest, ThePhoneEntryCopiesOnlySimpleProfileWithinItsWidth) {
  TSourceFacts Phone = HdFacts();
  Phone.VideoCodec = "mpeg4";
  Phone.Profile = FF_PROFILE_MPEG4_SIMPLE;
  Phone.Width = 352;
  Phone.Height = 288;
  EXPECT_EQ(StreamsToCopy(Entry("3gp"), Phone, CopyBalanced), Both);
  Phone.Profile = FF_PROFILE_MPEG4_ADVANCED_SIMPLE;
  EXPECT_EQ(StreamsToCopy(Entry("3gp"), Phone, CopyBalanced), AudioOnly);
  Phone.Profile = FF_PROFILE_MPEG4_SIMPLE;
  Phone.Width = 640;
  Phone.Height = 360;
  EXPECT_EQ(StreamsToCopy(Entry("3gp"), Phone, CopyBalanced), AudioOnly);
}

TEST_F(TStreamCopyTest, ContainerMustTakeTheCodec) {
  EXPECT_TRUE(ContainerTakes(Entry("mp4"), "h264"));
  EXPECT_TRUE(ContainerTakes(Entry("avi"), "mp3"));
  EXPECT_FALSE(ContainerTakes(Entry("webm"), "h264"));
  EXPECT_FALSE(ContainerTakes(Entry("webm"), "aac"));
  EXPECT_FALSE(ContainerTakes(Entry("mp4"), "no such codec"));
  // An entry whose encoder writes what its container refuses copies nothing of it.
  TOutputFormat H264InWebM = Entry("webm");
  H264InWebM.VideoCodec = "libx264";
  H264InWebM.AudioCodec = "aac";
  EXPECT_EQ(StreamsToCopy(H264InWebM, HdFacts(), CopyBalanced), Neither);
}

TEST_F(TStreamCopyTest, NothingIsCopiedUnlessAskedNorForASmallerFileAFixedRateOrADisc) {
  const TSourceFacts Hd = HdFacts();
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Hd, {qlBalanced, false}), Neither);
  EXPECT_EQ(StreamsToCopy(Entry("mp4"), Hd, {qlSmaller, true}), Neither);
  TSourceFacts Xvid = Hd;
  Xvid.VideoCodec = "mpeg4";
  Xvid.Profile = FF_PROFILE_MPEG4_SIMPLE;
  Xvid.AudioCodec = "mp3";
  EXPECT_EQ(StreamsToCopy(Entry("avi"), Xvid, CopyBalanced), AudioOnly);
  TSourceFacts Dvd = Hd;
  Dvd.VideoCodec = "mpeg2video";
  Dvd.AudioCodec = "ac3";
  Dvd.SampleRate = 48000;
  EXPECT_EQ(StreamsToCopy(Entry("mpg"), Dvd, CopyBalanced), Neither);
}

TEST_F(TStreamCopyTest, CopiedOutputsTakeNoEncoderSettings) {
  const TTaskOutput Output =
      BuildTaskOutput(Entry("mp4"), "/m/clip.mkv", HdFacts(), true, "", 0, CopyBalanced);
  EXPECT_TRUE(Output.VideoCopied);
  EXPECT_TRUE(Output.AudioCopied);
  EXPECT_EQ(Output.Options.VideoCodec, "copy");
  EXPECT_EQ(Output.Options.AudioCodec, "copy");
  EXPECT_EQ(Output.Options.ExtOptions, "movflags=+faststart");
  EXPECT_EQ(Output.Options.FrameSize, "");
  EXPECT_EQ(Output.Options.VideoMaxRate, -1);
  EXPECT_EQ(Output.Options.AudioBitrate, -1);
}

// Real copies through the converter: MP4 to Matroska, back to MP4, and H.264 with start codes
// (MPEG-TS) to MP4, which stores length prefixes.
class TStreamCopyRunTest : public test::TConverterTest {
protected:
  // Converts ASource with the entry, copying what fits; the output's name.
  std::string Convert(const std::string& ASource, const char* AEntry, TTaskOutput& ABuilt) {
    test::TRunRecorder Recorder(*Converter);
    const int Index = Converter->AddTask(ASource);
    EXPECT_GE(Index, 0) << Converter->LastError();
    std::string Name;
    EXPECT_TRUE(SetFormatOutput(*Converter, Index, Entry(AEntry), false, (Dir / "out").string(), 1,
                                &Name, CopyBalanced, &ABuilt))
        << Converter->LastError();
    Converter->Start(1);
    EXPECT_TRUE(Recorder.WaitForFinal());
    for (const auto& End : Recorder.EndEvents()) {
      if (End.Index >= 0) {
        EXPECT_EQ(End.Result.Outcome, TTaskOutcome::toConverted) << End.Result.Reason;
      }
    }
    Converter->ClearTasks();
    Converter->SetOnLog(nullptr);
    Converter->SetOnTerminate(nullptr);
    return Name;
  }

  static void ExpectSamePictures(const std::string& ASource, const std::string& ACopy) {
    const auto Source = test::DecodeVideo(ASource).Pictures;
    const auto Copy = test::DecodeVideo(ACopy).Pictures;
    ASSERT_FALSE(Source.empty());
    ASSERT_EQ(Copy.size(), Source.size());
    for (size_t I = 0; I < Copy.size(); ++I)
      EXPECT_TRUE(Copy[I].Planes == Source[I].Planes) << ACopy << " picture " << I;
  }
};

TEST_F(TStreamCopyRunTest, CopiesBetweenContainersDecodeAsTheSource) {
  const std::string Mp4 = test::TestMedia("h264_aac.mp4");
  TTaskOutput Built;
  const std::string Mkv = Convert(Mp4, "mkv", Built);
  EXPECT_TRUE(Built.VideoCopied);
  EXPECT_TRUE(Built.AudioCopied);
  ExpectSamePictures(Mp4, Mkv);
  const std::string Back = Convert(Mkv, "mp4", Built);
  EXPECT_TRUE(Built.VideoCopied);
  ExpectSamePictures(Mp4, Back);

  const std::string Ts = test::TestMedia("h264_aac.ts");
  const std::string FromTs = Convert(Ts, "mp4", Built);
  EXPECT_TRUE(Built.VideoCopied);
  EXPECT_TRUE(Built.AudioCopied);
  ExpectSamePictures(Ts, FromTs);
  const test::TMediaFacts Facts = test::ReadMediaFacts(FromTs);
  ASSERT_EQ(Facts.Streams.size(), 2u);
  EXPECT_NEAR(Facts.Streams[1].Duration, 1.0, 0.1);
}

} // namespace
} // namespace pelorix
