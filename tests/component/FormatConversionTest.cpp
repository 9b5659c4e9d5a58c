// Every output format converts the test clips into files that read back with the entry's
// codecs, the source's duration and the streams the entry keeps; the phone entry's size limit,
// the DVD entry's norm guess and same-named sources in one folder, on real conversions.
#include "ConverterTestSupport.h"
#include "MediaFacts.h"
#include "OutputFormats.h"
#include "PlaybackChecks.h"

#include <fstream>
#include <iterator>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

struct TEntryCase {
  const char* Entry;
  AVCodecID Video; // AV_CODEC_ID_NONE: the entry writes audio only
  AVCodecID Audio;
  int SampleRate; // from a 44100 Hz source
};

std::ostream& operator<<(std::ostream& AOut, const TEntryCase& ACase) {
  return AOut << ACase.Entry;
}

const test::TStreamFacts* StreamOf(const test::TMediaFacts& AFacts, AVMediaType AKind) {
  for (const auto& Stream : AFacts.Streams)
    if (Stream.Kind == AKind) return &Stream;
  return nullptr;
}

int StreamCount(const test::TMediaFacts& AFacts, AVMediaType AKind) {
  int Count = 0;
  for (const auto& Stream : AFacts.Streams) Count += Stream.Kind == AKind;
  return Count;
}

class TFormatRunTest : public test::TConverterTest {
protected:
  // Converts ASources (full paths) with AFormat into AFolder, one task at a time, and returns
  // the output names; every task must convert.
  std::vector<std::string> Convert(const TOutputFormat& AFormat,
                                   const std::vector<std::string>& ASources,
                                   const std::string& AFolder) {
    test::TRunRecorder Recorder(*Converter);
    std::vector<std::string> Names;
    for (const std::string& Source : ASources) {
      const int Index = Converter->AddTask(Source);
      EXPECT_GE(Index, 0) << Source << ": " << Converter->LastError();
      std::string Name;
      // One codec thread: the media libraries' own threads hand buffers over through
      // synchronisation that ThreadSanitizer cannot see in them. The thread count's way to the
      // engine has its own test.
      EXPECT_TRUE(SetFormatOutput(*Converter, Index, AFormat, false, AFolder, 1, &Name))
          << Source << ": " << Converter->LastError();
      Names.push_back(Name);
    }
    Converter->Start(1);
    if (!Recorder.WaitForFinal()) {
      ADD_FAILURE() << "the run did not end";
      Converter->Stop();
      Recorder.WaitForFinal();
    }
    for (const auto& End : Recorder.EndEvents()) {
      if (End.Index < 0) continue;
      EXPECT_EQ(End.Result.Outcome, TTaskOutcome::toConverted)
          << ASources[End.Index] << ": " << End.Result.Reason;
    }
    Converter->ClearTasks();
    ForgetRecorder();
    return Names;
  }
  std::string OutFolder() const { return (Dir / "out").string(); }
  // The recorder's handlers go before it does: the libraries' log still reaches the converter.
  void ForgetRecorder() {
    Converter->SetOnLog(nullptr);
    Converter->SetOnTerminate(nullptr);
  }
};

class TEveryFormatTest : public TFormatRunTest, public ::testing::WithParamInterface<TEntryCase> {};

TEST_P(TEveryFormatTest, ClipsConvertWithTheEntrysCodecsAndDuration) {
  const TEntryCase& Case = GetParam();
  const TOutputFormat* Format = FindOutputFormat(Case.Entry);
  ASSERT_NE(Format, nullptr);
  const auto Names =
      Convert(*Format, {test::TestMedia("h264_aac.mp4"), test::TestMedia("tone.wav")}, OutFolder());
  ASSERT_EQ(Names.size(), 2u);
  const std::string Extension = FormatExtension(Format->Text);
  EXPECT_EQ(Names[0], OutFolder() + "/h264_aac (" + FormatLabel(Format->Text) + ")" + Extension);
  EXPECT_EQ(Names[1], OutFolder() + "/tone (" + FormatLabel(Format->Text) + ")" + Extension);

  for (size_t I = 0; I < Names.size(); ++I) {
    SCOPED_TRACE(Names[I]);
    TAVProbe Probe;
    ASSERT_TRUE(Probe.Open(Names[I])) << Probe.LastError();
    const test::TMediaFacts Facts = test::ReadMediaFacts(Names[I]);
    ASSERT_TRUE(Facts.Opened);
    EXPECT_EQ(StreamCount(Facts, AVMEDIA_TYPE_SUBTITLE), 0);
    const bool WantVideo = I == 0 && Case.Video != AV_CODEC_ID_NONE;
    ASSERT_EQ(StreamCount(Facts, AVMEDIA_TYPE_VIDEO), WantVideo ? 1 : 0);
    ASSERT_EQ(StreamCount(Facts, AVMEDIA_TYPE_AUDIO), 1);
    const test::TStreamFacts& Audio = *StreamOf(Facts, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(Audio.Codec, Case.Audio);
    EXPECT_EQ(Audio.Channels, 2);
    EXPECT_EQ(Audio.SampleRate, Case.SampleRate);
    EXPECT_NEAR(Audio.Duration, 2.0, 0.1);
    if (WantVideo) {
      const test::TStreamFacts& Video = *StreamOf(Facts, AVMEDIA_TYPE_VIDEO);
      EXPECT_EQ(Video.Codec, Case.Video);
      EXPECT_NEAR(Video.Duration, 2.0, 0.1);
      if (Format->Target == 0) {
        EXPECT_EQ(Video.Width, 160);
        EXPECT_EQ(Video.Height, 120);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, TEveryFormatTest,
    ::testing::Values(TEntryCase{"avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3, 44100},
                      TEntryCase{"mp4", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 44100},
                      TEntryCase{"webm", AV_CODEC_ID_VP9, AV_CODEC_ID_OPUS, 48000},
                      TEntryCase{"mkv", AV_CODEC_ID_H264, AV_CODEC_ID_AAC, 44100},
                      TEntryCase{"3gp", AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC, 44100},
                      TEntryCase{"mpg", AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_AC3, 48000},
                      TEntryCase{"mp3", AV_CODEC_ID_NONE, AV_CODEC_ID_MP3, 44100},
                      TEntryCase{"m4a", AV_CODEC_ID_NONE, AV_CODEC_ID_AAC, 44100},
                      TEntryCase{"opus", AV_CODEC_ID_NONE, AV_CODEC_ID_OPUS, 48000},
                      TEntryCase{"flac", AV_CODEC_ID_NONE, AV_CODEC_ID_FLAC, 44100},
                      TEntryCase{"wav", AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE, 44100},
                      TEntryCase{"ogg", AV_CODEC_ID_NONE, AV_CODEC_ID_VORBIS, 44100}),
    [](const auto& AInfo) { return std::string(AInfo.param.Entry); });

// Sources beyond an encoder's limits: 5.1 goes down to stereo and 96 kHz to 48 kHz where the
// encoder needs it, and stays where the entry carries it; 8000 Hz mono is within every lossy
// entry's limits (at 8000 Hz a coded frame and the encoder's delay take over 0.1 s, hence 0.2).
TEST_F(TFormatRunTest, SurroundAndHighRateSourcesMeetEachEncodersLimits) {
  struct TCase {
    const char* Entry;
    const char* Clip;
    int Channels, SampleRate;
    double Duration, Tolerance = 0.1;
  };
  const TCase Cases[] = {
      {"avi", "surround.mkv", 2, 48000, 1.0},   {"avi", "hirate.wav", 2, 48000, 0.5},
      {"mp3", "surround.mkv", 2, 48000, 1.0},   {"mp4", "surround.mkv", 2, 48000, 1.0},
      {"mkv", "surround.mkv", 6, 48000, 1.0},   {"m4a", "surround.mkv", 6, 48000, 1.0},
      {"opus", "surround.mkv", 2, 48000, 1.0},  {"flac", "surround.mkv", 6, 48000, 1.0},
      {"3gp", "hirate.wav", 2, 48000, 0.5},     {"m4a", "hirate.wav", 2, 96000, 0.5},
      {"flac", "hirate.wav", 2, 96000, 0.5},    {"mpg", "surround.mkv", 6, 48000, 1.0},
      {"avi", "mono8k.wav", 1, 8000, 1.0, 0.2}, {"m4a", "mono8k.wav", 1, 8000, 1.0, 0.2},
      {"ogg", "mono8k.wav", 1, 8000, 1.0, 0.2}, {"3gp", "mono8k.wav", 1, 8000, 1.0, 0.2},
  };
  for (const TCase& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Entry) + " " + Case.Clip);
    const auto Names =
        Convert(*FindOutputFormat(Case.Entry), {test::TestMedia(Case.Clip)}, OutFolder());
    const test::TMediaFacts Facts = test::ReadMediaFacts(Names.at(0));
    ASSERT_EQ(StreamCount(Facts, AVMEDIA_TYPE_AUDIO), 1);
    EXPECT_EQ(StreamOf(Facts, AVMEDIA_TYPE_AUDIO)->Channels, Case.Channels);
    EXPECT_EQ(StreamOf(Facts, AVMEDIA_TYPE_AUDIO)->SampleRate, Case.SampleRate);
    EXPECT_NEAR(StreamOf(Facts, AVMEDIA_TYPE_AUDIO)->Duration, Case.Duration, Case.Tolerance);
  }
}

TEST_F(TFormatRunTest, DvdNormIsGuessedFromTheSourceFrameRate) {
  const auto Names =
      Convert(*FindOutputFormat("mpg"),
              {test::TestMedia("h264_aac.mp4"), test::TestMedia("ntsc.mp4")}, OutFolder());
  const test::TMediaFacts PalFacts = test::ReadMediaFacts(Names.at(0));
  const test::TMediaFacts NtscFacts = test::ReadMediaFacts(Names.at(1));
  const test::TStreamFacts* Pal = StreamOf(PalFacts, AVMEDIA_TYPE_VIDEO);
  const test::TStreamFacts* Ntsc = StreamOf(NtscFacts, AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(Pal && Ntsc);
  EXPECT_EQ(Pal->Width, 720);
  EXPECT_EQ(Pal->Height, 576);
  EXPECT_EQ(Ntsc->Width, 720);
  EXPECT_EQ(Ntsc->Height, 480);
  TAVProbe Probe;
  ASSERT_TRUE(Probe.Open(Names.at(1)));
  TVideoStreamInfo Video;
  Probe.VideoStreamInfo(-1, Video);
  EXPECT_EQ(Video.FrameRateNum * 1001, Video.FrameRateDen * 30000);
}

TEST_F(TFormatRunTest, PhoneEntryScalesAWideSourceTo352WithItsShape) {
  // A 704x396 source, made from a test clip.
  const int Index = Converter->AddTask(test::TestMedia("h264_aac.mp4"));
  ASSERT_GE(Index, 0);
  TOutputOptions Wide;
  Wide.VideoCodec = "mpeg4";
  Wide.FrameSize = "704x396";
  const std::string WideClip = (Dir / "wide.mp4").string();
  ASSERT_TRUE(Converter->SetTaskOutput(Index, WideClip, &Wide)) << Converter->LastError();
  {
    test::TRunRecorder Recorder(*Converter);
    Converter->Start(1);
    const bool Ended = Recorder.WaitForFinal();
    ForgetRecorder();
    ASSERT_TRUE(Ended);
  }
  Converter->ClearTasks();

  const auto Names = Convert(*FindOutputFormat("3gp"), {WideClip}, OutFolder());
  const test::TMediaFacts Facts = test::ReadMediaFacts(Names.at(0));
  const test::TStreamFacts* Video = StreamOf(Facts, AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(Video, nullptr);
  EXPECT_EQ(Video->Codec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(Video->Width, 352);
  EXPECT_EQ(Video->Height, 198);
  EXPECT_NEAR(Video->Duration, 2.0, 0.1);
}

TEST_F(TFormatRunTest, SameNamedSourcesGetNumberedOutputsInOneFolder) {
  for (const char* Sub : {"a", "b"}) {
    fs::create_directories(Dir / Sub);
    fs::copy_file(test::TestMedia("mpeg4_aac.3gp"), Dir / Sub / "clip.3gp");
  }
  const auto Names =
      Convert(*FindOutputFormat("mp4"),
              {(Dir / "a/clip.3gp").string(), (Dir / "b/clip.3gp").string()}, OutFolder());
  EXPECT_EQ(Names, (std::vector<std::string>{OutFolder() + "/clip (MP4 Video).mp4",
                                             OutFolder() + "/clip (MP4 Video [1]).mp4"}));
  for (const auto& Name : Names) {
    const test::TMediaFacts Facts = test::ReadMediaFacts(Name);
    ASSERT_NE(StreamOf(Facts, AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_NEAR(StreamOf(Facts, AVMEDIA_TYPE_VIDEO)->Duration, 2.0, 0.1);
  }
}

// An album track keeps its tags through every audio entry, as far as the container holds
// them (RIFF INFO in WAV has no album artist, disc or composer), and its front cover, byte for
// byte, where the container holds one (MP3, M4A, FLAC); it never becomes a picture stream.
TEST_F(TFormatRunTest, AudioEntriesCarryTheTracksTagsAndFrontCover) {
  const std::vector<std::string> AllTags = {"title",   "artist",  "album_artist", "album",
                                            "track",   "disc",    "date",         "genre",
                                            "comment", "composer"};
  const std::vector<std::string> InfoTags = {"title", "artist", "album",  "track",
                                             "date",  "genre",  "comment"};
  for (const char* Clip : {"tagged.flac", "tagged.mp3"}) {
    const test::TFileTags Source = test::ReadFileTags(test::TestMedia(Clip));
    ASSERT_GT(Source.Cover.size(), 100u);
    for (const char* Entry : {"mp3", "m4a", "opus", "flac", "ogg", "wav"}) {
      SCOPED_TRACE(std::string(Clip) + " to " + Entry);
      const auto Names = Convert(*FindOutputFormat(Entry), {test::TestMedia(Clip)}, OutFolder());
      test::TFileTags Output = test::ReadFileTags(Names.at(0));
      for (const std::string& Tag : std::string(Entry) == "wav" ? InfoTags : AllTags)
        EXPECT_EQ(Output.Tags[Tag], Source.Tags.at(Tag)) << Tag;
      const bool HoldsCover = std::string(Entry) == "mp3" || std::string(Entry) == "m4a" ||
                              std::string(Entry) == "flac";
      EXPECT_EQ(Output.Cover, HoldsCover ? Source.Cover : "");
      EXPECT_EQ(Output.PictureStreams, 0);
    }
  }
}

// The name decides nothing when the probe finds pictures to play: Theora in Ogg under the
// names that used to lose it, an M4A with video.
TEST_F(TFormatRunTest, VideoThatIsThereStaysWhateverTheSourcesName) {
  std::vector<std::string> Sources;
  for (const char* Name : {"clip.ogg", "clip.og", "clip.mp", "clip.a", "clip.w", "clip.OGV"}) {
    Sources.push_back((Dir / Name).string());
    fs::copy_file(test::TestMedia("theora_vorbis.ogg"), Sources.back());
  }
  Sources.push_back((Dir / "video.m4a").string());
  fs::copy_file(test::TestMedia("h264_aac.mp4"), Sources.back());
  const auto Names = Convert(*FindOutputFormat("mp4"), Sources, OutFolder());
  for (const std::string& Name : Names) {
    SCOPED_TRACE(Name);
    const test::TMediaFacts Facts = test::ReadMediaFacts(Name);
    ASSERT_EQ(StreamCount(Facts, AVMEDIA_TYPE_VIDEO), 1);
    EXPECT_NEAR(StreamOf(Facts, AVMEDIA_TYPE_VIDEO)->Duration, 2.0, 0.1);
  }
}

// A clip filmed upright plays upright from every video entry: the pictures are turned (the
// size rules apply to the turned size) and no display matrix turns them again.
TEST_F(TFormatRunTest, PhoneClipFilmedUprightPlaysUprightFromEveryVideoEntry) {
  for (const char* Entry : {"avi", "mp4", "webm", "mkv", "3gp", "mpg"}) {
    SCOPED_TRACE(Entry);
    const auto Names =
        Convert(*FindOutputFormat(Entry), {test::TestMedia("rotate90.mp4")}, OutFolder());
    const test::TDecodedVideo Video = test::DecodeVideo(Names.at(0), 1);
    ASSERT_EQ(Video.Pictures.size(), 1u);
    if (std::string(Entry) != "mpg") { // the disc's own size
      EXPECT_EQ(Video.Pictures[0].Width, 96);
      EXPECT_EQ(Video.Pictures[0].Height, 160);
    }
    EXPECT_EQ(test::BrightCorner(Video.Pictures[0]), 1);
    EXPECT_TRUE(test::ReadFileTags(Names.at(0)).Turn.IsNone());
  }
}

// A camera's field-coded clip (fields 20 ms apart, a moving scene): whole pictures, one for
// one, without comb lines from the progressive entries; fields kept in their order (top first)
// by the DVD entry.
TEST_F(TFormatRunTest, FieldCodedCameraClipIsDeinterlacedExceptOnDvd) {
  const double Source = test::MeanCombEnergy(test::DecodeVideo(test::TestMedia("interlaced.mkv")));
  const auto Mp4 =
      Convert(*FindOutputFormat("mp4"), {test::TestMedia("interlaced.mkv")}, OutFolder());
  const test::TDecodedVideo Whole = test::DecodeVideo(Mp4.at(0));
  ASSERT_EQ(Whole.Pictures.size(), 50u);
  EXPECT_LT(test::MeanCombEnergy(Whole), Source * 0.2);

  const auto Dvd =
      Convert(*FindOutputFormat("mpg"), {test::TestMedia("interlaced.mkv")}, OutFolder());
  const test::TDecodedVideo Fields = test::DecodeVideo(Dvd.at(0));
  ASSERT_EQ(Fields.Pictures.size(), 50u);
  for (const test::TDecodedPicture& Picture : Fields.Pictures) {
    EXPECT_TRUE(Picture.Interlaced);
    EXPECT_TRUE(Picture.TopFieldFirst);
  }
}

TEST_F(TFormatRunTest, Mp4OutputsPutTheirIndexFirstSoTheyPlayWhileLoading) {
  const auto Names =
      Convert(*FindOutputFormat("mp4"), {test::TestMedia("mpeg4_aac.3gp")}, OutFolder());
  std::ifstream File(Names.at(0), std::ios::binary);
  const std::string Bytes((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  const size_t Index = Bytes.find("moov"), Data = Bytes.find("mdat");
  ASSERT_NE(Index, std::string::npos);
  ASSERT_NE(Data, std::string::npos);
  EXPECT_LT(Index, Data);
}

} // namespace
} // namespace pelorix
