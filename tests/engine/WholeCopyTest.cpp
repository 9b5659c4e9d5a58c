// Stream copies write everything they read: into the raw audio containers, and every audio
// track into the containers that hold several.
#include "EngineRunFixture.h"
#include "MediaFacts.h"
#include "MediaTestSupport.h"

#include <unistd.h>

#include <filesystem>

namespace pelorix {
namespace {

namespace fs = std::filesystem;
using test::ReadMediaFacts;
using test::TestMedia;

class TWholeCopyTest : public test::TEngineRunFixture {
protected:
  TWholeCopyTest() : TEngineRunFixture("pelorix-wholecopy") {}
};

// The first audio stream of a file's facts.
const test::TStreamFacts* AudioOf(const test::TMediaFacts& AFacts, int ANumber = 0) {
  for (const test::TStreamFacts& Stream : AFacts.Streams)
    if (Stream.Kind == AVMEDIA_TYPE_AUDIO && ANumber-- == 0) return &Stream;
  return nullptr;
}

TEST_F(TWholeCopyTest, RawAudioFilesGetEveryPacket) {
  struct TCase {
    const char* Source;
    int Track; // the source's audio track copied
    const char* Output;
  };
  for (const TCase& Case :
       {TCase{"tone.mp3", 0, "copy.mp3"}, TCase{"mpeg1.mpg", 0, "copy.mp2"},
        TCase{"h264_aac.mp4", 0, "copy.aac"}, TCase{"surround.mkv", 0, "copy.ac3"},
        TCase{"eac3_dts.mkv", 0, "copy.eac3"}, TCase{"eac3_dts.mkv", 1, "copy.dts"},
        TCase{"tagged.flac", 0, "copy.flac"}}) {
    SCOPED_TRACE(Case.Output);
    Engine.Reset();
    ASSERT_TRUE(Engine.OpenInputFile(TestMedia(Case.Source))) << Engine.LastErrorText();
    const test::TMediaFacts Source = ReadMediaFacts(TestMedia(Case.Source));
    int Index = -1;
    for (int I = 0, Audio = 0; I < static_cast<int>(Source.Streams.size()); ++I)
      if (Source.Streams[I].Kind == AVMEDIA_TYPE_AUDIO && Audio++ == Case.Track) Index = I;
    ASSERT_GE(Index, 0);
    // The second track of a file by a map; a map would leave out a cover picture.
    if (Case.Track > 0) Engine.SetOption("map", "0." + std::to_string(Index));
    Engine.SetOption("acodec", "copy");
    ASSERT_TRUE(Engine.OpenOutputFile(Out(Case.Output))) << Engine.LastErrorText();
    ASSERT_EQ(RunToEnd(), "");

    const test::TMediaFacts Copy = ReadMediaFacts(Out(Case.Output));
    const test::TStreamFacts* Written = AudioOf(Copy);
    ASSERT_NE(Written, nullptr);
    EXPECT_EQ(Written->Codec, Source.Streams[Index].Codec);
    EXPECT_NEAR(Written->Duration, Source.Streams[Index].Duration, 0.1);
    EXPECT_NEAR(Engine.RunSpans().Outputs.at(0).Duration, Source.Streams[Index].Duration, 0.1);
  }
}

// Speex carries its frame length only in its own header: a copy keeps every packet, its 2 s
// by the packets and by the container, and about the source's size.
TEST_F(TWholeCopyTest, ASpeexCopyLastsAsLongAsItsSource) {
  const test::TMediaFacts Source = ReadMediaFacts(TestMedia("speex.ogg"));
  ASSERT_EQ(Source.Streams.size(), 1u);
  ASSERT_EQ(Source.Streams[0].Codec, AV_CODEC_ID_SPEEX);
  for (const char* Name : {"copy.mkv", "copy.ogg", "copy.spx", "copy.flv"}) {
    SCOPED_TRACE(Name);
    Engine.Reset();
    Input("speex.ogg");
    Engine.SetOption("acodec", "copy");
    Output(Name);
    ASSERT_EQ(RunToEnd(), "");
    const test::TMediaFacts Copy = ReadMediaFacts(Out(Name));
    const test::TStreamFacts* Written = AudioOf(Copy);
    ASSERT_NE(Written, nullptr);
    EXPECT_EQ(Written->Packets, Source.Streams[0].Packets);
    EXPECT_NEAR(Written->Duration, 2.0, 0.05);
    EXPECT_NEAR(Copy.FileDuration, 2.0, 0.05);
    EXPECT_LT(fs::file_size(Out(Name)), 2 * fs::file_size(TestMedia("speex.ogg")));
  }
}

TEST_F(TWholeCopyTest, ContainersOfSeveralTracksKeepEveryAudioTrack) {
  for (const char* Output : {"tracks.mkv", "tracks.mp4"}) {
    SCOPED_TRACE(Output);
    Engine.Reset();
    ASSERT_TRUE(Engine.OpenInputFile(TestMedia("multi.mkv")));
    Engine.SetOption("vcodec", "copy");
    Engine.SetOption("acodec", "copy");
    Engine.SetOption("sn", "");
    ASSERT_TRUE(Engine.OpenOutputFile(Out(Output))) << Engine.LastErrorText();
    ASSERT_EQ(RunToEnd(), "");
    const test::TMediaFacts Copy = ReadMediaFacts(Out(Output));
    ASSERT_EQ(Copy.Streams.size(), 3u);
    // The stereo track first, then the mono one, each whole.
    ASSERT_NE(AudioOf(Copy, 1), nullptr);
    EXPECT_EQ(AudioOf(Copy, 0)->Channels, 2);
    EXPECT_EQ(AudioOf(Copy, 1)->Channels, 1);
    EXPECT_NEAR(AudioOf(Copy, 0)->Duration, 2.0, 0.1);
    EXPECT_NEAR(AudioOf(Copy, 1)->Duration, 2.0, 0.1);
  }

  // Converted, both take the settings given.
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("multi.mkv")));
  Engine.SetOption("vn", "");
  Engine.SetOption("sn", "");
  Engine.SetOption("acodec", "mp2");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("tracks.mka"))) << Engine.LastErrorText();
  ASSERT_EQ(RunToEnd(), "");
  const test::TMediaFacts Converted = ReadMediaFacts(Out("tracks.mka"));
  ASSERT_EQ(Converted.Streams.size(), 2u);
  for (const test::TStreamFacts& Track : Converted.Streams) {
    EXPECT_EQ(Track.Codec, AV_CODEC_ID_MP2);
    EXPECT_NEAR(Track.Duration, 2.0, 0.1);
  }

  // A container of one track takes the first.
  Engine.Reset();
  ASSERT_TRUE(Engine.OpenInputFile(TestMedia("multi.mkv")));
  Engine.SetOption("acodec", "copy");
  ASSERT_TRUE(Engine.OpenOutputFile(Out("first.aac"))) << Engine.LastErrorText();
  ASSERT_EQ(RunToEnd(), "");
  ASSERT_EQ(ReadMediaFacts(Out("first.aac")).Streams.size(), 1u);
  EXPECT_EQ(ReadMediaFacts(Out("first.aac")).Streams[0].Channels, 2);
}

} // namespace
} // namespace pelorix
