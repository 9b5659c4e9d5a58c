// The clips make-test-media writes carry what the manifest promises, since the engine tests build
// on those facts; and the tool writes the same bytes on every run.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path MediaDir = PELORIX_TEST_MEDIA_DIR;

struct TInputDeleter {
  void operator()(AVFormatContext* AContext) const { avformat_close_input(&AContext); }
};
struct TCodecContextDeleter {
  void operator()(AVCodecContext* AContext) const { avcodec_free_context(&AContext); }
};
struct TPacketDeleter {
  void operator()(AVPacket* APacket) const { av_packet_free(&APacket); }
};
struct TFrameDeleter {
  void operator()(AVFrame* AFrame) const { av_frame_free(&AFrame); }
};
using TInputPtr = std::unique_ptr<AVFormatContext, TInputDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;

// Null when the file does not open as media.
TInputPtr OpenMedia(const std::string& AName) {
  AVFormatContext* Context = nullptr;
  if (avformat_open_input(&Context, (MediaDir / AName).c_str(), nullptr, nullptr) < 0) return {};
  TInputPtr Input(Context);
  if (avformat_find_stream_info(Context, nullptr) < 0) return {};
  return Input;
}

struct TPictureFacts {
  bool Interlaced = false;
  bool TopFieldFirst = false;
  AVRational SampleAspect{0, 1};
};

// Decodes the first video stream of AName to the end.
std::vector<TPictureFacts> DecodePictures(const std::string& AName) {
  TInputPtr Input = OpenMedia(AName);
  if (!Input) return {};
  const AVCodec* Decoder = nullptr;
  const int Video = av_find_best_stream(Input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &Decoder, 0);
  if (Video < 0) return {};
  std::unique_ptr<AVCodecContext, TCodecContextDeleter> Codec(avcodec_alloc_context3(Decoder));
  avcodec_parameters_to_context(Codec.get(), Input->streams[Video]->codecpar);
  if (avcodec_open2(Codec.get(), Decoder, nullptr) < 0) return {};

  std::vector<TPictureFacts> Pictures;
  TPacketPtr Packet(av_packet_alloc());
  std::unique_ptr<AVFrame, TFrameDeleter> Frame(av_frame_alloc());
  auto Drain = [&] {
    while (avcodec_receive_frame(Codec.get(), Frame.get()) == 0)
      Pictures.push_back(
          {Frame->interlaced_frame != 0, Frame->top_field_first != 0, Frame->sample_aspect_ratio});
  };
  while (av_read_frame(Input.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == Video) {
      avcodec_send_packet(Codec.get(), Packet.get());
      Drain();
    }
    av_packet_unref(Packet.get());
  }
  avcodec_send_packet(Codec.get(), nullptr);
  Drain();
  return Pictures;
}

std::string ReadFile(const fs::path& APath) {
  std::ifstream File(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

std::vector<std::string> ManifestNames() {
  std::vector<std::string> Names;
  std::ifstream Manifest(MediaDir / "manifest.txt");
  for (std::string Line; std::getline(Manifest, Line);)
    if (!Line.empty() && Line[0] != '#') Names.push_back(Line.substr(0, Line.find(' ')));
  return Names;
}

struct TExpectedFile {
  const char* Name;
  std::vector<AVCodecID> Codecs;
  double Seconds;
};

// Every file opens with the listed streams in order, lasts Seconds (within ATolerance) and
// stays small.
void CheckStreamsAndDuration(const std::vector<TExpectedFile>& AFiles, double ATolerance) {
  for (const TExpectedFile& Expected : AFiles) {
    SCOPED_TRACE(Expected.Name);
    TInputPtr Input = OpenMedia(Expected.Name);
    ASSERT_TRUE(Input);
    ASSERT_EQ(Input->nb_streams, Expected.Codecs.size());
    for (unsigned Index = 0; Index < Input->nb_streams; ++Index)
      EXPECT_EQ(Input->streams[Index]->codecpar->codec_id, Expected.Codecs[Index]) << Index;
    EXPECT_NEAR(static_cast<double>(Input->duration) / AV_TIME_BASE, Expected.Seconds, ATolerance);
    EXPECT_LT(fs::file_size(MediaDir / Expected.Name), 400'000u);
  }
}

} // namespace

TEST(TestMedia, FilesCarryTheListedStreamsAndDuration) {
  const std::vector<TExpectedFile> Files = {
      {"mpeg4_aac.3gp", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC}, 2.0},
      {"h264_aac.mp4", {AV_CODEC_ID_H264, AV_CODEC_ID_AAC}, 2.0},
      {"camera.mp4", {AV_CODEC_ID_H264, AV_CODEC_ID_AAC}, 1.0},
      {"h264_aac.ts", {AV_CODEC_ID_H264, AV_CODEC_ID_AAC}, 1.0},
      {"mpeg4_mp3.avi", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3}, 2.0},
      {"multi.mkv", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC, AV_CODEC_ID_AAC, AV_CODEC_ID_SUBRIP}, 2.0},
      {"tone.mp3", {AV_CODEC_ID_MP3}, 2.0},
      {"tone.wav", {AV_CODEC_ID_PCM_S16LE}, 2.0},
      {"mono8k.wav", {AV_CODEC_ID_PCM_S16LE}, 1.0},
      {"ntsc.mp4", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC}, 2.0},
      {"nokey_start.ts", {AV_CODEC_ID_MPEG2VIDEO}, 1.84},
      {"interlaced.mkv", {AV_CODEC_ID_MPEG2VIDEO}, 2.0},
      {"sar4x3.mp4", {AV_CODEC_ID_H264}, 1.0},
      {"two_programs.ts",
       {AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP2, AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
       2.0},
      {"dvbsub.mkv", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_DVB_SUBTITLE}, 2.0},
      {"vfr.mkv", {AV_CODEC_ID_MPEG4}, 1.92},
  };
  CheckStreamsAndDuration(Files, 0.06);
}

// The kinds of files met in the wild, each with the property it is made for.
TEST(TestMedia, RealWorldKindsCarryTheirProperties) {
  const std::vector<TExpectedFile> Files = {
      {"vfr_phone.mp4", {AV_CODEC_ID_H264}, 1.97},
      {"interlaced_h264.ts", {AV_CODEC_ID_H264}, 1.0},
      {"theora_vorbis.ogg", {AV_CODEC_ID_THEORA, AV_CODEC_ID_VORBIS}, 2.0},
      {"wmv.asf", {AV_CODEC_ID_WMV2, AV_CODEC_ID_WMAV2}, 2.09},
      {"paired_audio.mkv", {AV_CODEC_ID_WMV2, AV_CODEC_ID_WMAV2}, 2.0},
      {"surround.mkv", {AV_CODEC_ID_AC3}, 1.02},
      {"hirate.wav", {AV_CODEC_ID_PCM_S16LE}, 0.5},
      {"h263_sar.3gp", {AV_CODEC_ID_H263}, 1.0},
      {"mpeg1.mpg", {AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MP2}, 0.94},
      {"noninterleaved.avi", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3}, 2.04},
      {"cover.wav", {AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_MJPEG}, 2.0},
      {"amr.3gp", {AV_CODEC_ID_AMR_NB}, 1.0},
      {"eac3_dts.mkv", {AV_CODEC_ID_EAC3, AV_CODEC_ID_DTS}, 1.0},
      {"speex.ogg", {AV_CODEC_ID_SPEEX}, 2.0},
  };
  CheckStreamsAndDuration(Files, 0.03);
  // The property each one is made for.
  TInputPtr Phone = OpenMedia("vfr_phone.mp4");
  EXPECT_EQ(av_cmp_q(Phone->streams[0]->r_frame_rate, AVRational{600, 1}), 0); // the tick
  EXPECT_EQ(av_cmp_q(Phone->streams[0]->avg_frame_rate, AVRational{240, 23}), 0);
  EXPECT_EQ(OpenMedia("surround.mkv")->streams[0]->codecpar->ch_layout.nb_channels, 6);
  EXPECT_EQ(OpenMedia("hirate.wav")->streams[0]->codecpar->sample_rate, 96000);
  EXPECT_EQ(av_cmp_q(OpenMedia("h263_sar.3gp")->streams[0]->codecpar->sample_aspect_ratio,
                     AVRational{12, 11}),
            0);
  EXPECT_TRUE(OpenMedia("cover.wav")->streams[1]->disposition & AV_DISPOSITION_ATTACHED_PIC);
  EXPECT_EQ(OpenMedia("amr.3gp")->streams[0]->codecpar->frame_size, 0); // as phones' files
  TInputPtr Elementary = OpenMedia("mpeg2.m2v");
  ASSERT_TRUE(Elementary);
  EXPECT_EQ(Elementary->streams[0]->codecpar->codec_id, AV_CODEC_ID_MPEG2VIDEO);
  EXPECT_GT(Elementary->streams[0]->codecpar->video_delay, 0); // B-pictures
}

// Files as phones and music libraries write them: turned pictures, tags, covers, chapters.
TEST(TestMedia, PlaybackKindsCarryTheirProperties) {
  const std::vector<TExpectedFile> Files = {
      {"tagged.flac", {AV_CODEC_ID_FLAC, AV_CODEC_ID_MJPEG}, 1.0},
      {"tagged.mp3", {AV_CODEC_ID_MP3, AV_CODEC_ID_MJPEG}, 1.05},
      {"rotate90.mp4", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC}, 1.0},
      {"rotate180.mp4", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC}, 1.0},
      {"rotate270.mp4", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC}, 1.0},
      {"chapters.mkv", {AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC}, 2.0},
  };
  CheckStreamsAndDuration(Files, 0.06);
  // The display matrix turns clockwise; the library reads its angle counterclockwise.
  for (const auto& [Name, Clockwise] :
       {std::pair{"rotate90.mp4", 90}, {"rotate180.mp4", 180}, {"rotate270.mp4", 270}}) {
    SCOPED_TRACE(Name);
    TInputPtr Input = OpenMedia(Name);
    size_t Size = 0;
    const auto* Matrix = reinterpret_cast<const int32_t*>(
        av_stream_get_side_data(Input->streams[0], AV_PKT_DATA_DISPLAYMATRIX, &Size));
    ASSERT_EQ(Size, 9 * sizeof(int32_t));
    EXPECT_EQ(std::lround(-av_display_rotation_get(Matrix) + 360) % 360, Clockwise);
    EXPECT_EQ(Input->streams[0]->codecpar->width, 160);
  }
  for (const char* Name : {"tagged.flac", "tagged.mp3"}) {
    SCOPED_TRACE(Name);
    TInputPtr Input = OpenMedia(Name);
    EXPECT_STREQ(av_dict_get(Input->metadata, "title", nullptr, 0)->value, "Pelorix Sång");
    EXPECT_STREQ(av_dict_get(Input->metadata, "track", nullptr, 0)->value, "3/12");
    EXPECT_STREQ(av_dict_get(Input->metadata, "composer", nullptr, 0)->value, "A. Composer");
    const AVStream* Cover = Input->streams[1];
    EXPECT_TRUE(Cover->disposition & AV_DISPOSITION_ATTACHED_PIC);
    EXPECT_STREQ(av_dict_get(Cover->metadata, "comment", nullptr, 0)->value, "Cover (front)");
    EXPECT_GT(Cover->attached_pic.size, 100);
  }
  TInputPtr Chapters = OpenMedia("chapters.mkv");
  ASSERT_EQ(Chapters->nb_chapters, 3u);
  EXPECT_STREQ(av_dict_get(Chapters->chapters[1]->metadata, "title", nullptr, 0)->value, "Middle");
  EXPECT_EQ(av_rescale_q(Chapters->chapters[1]->start, Chapters->chapters[1]->time_base,
                         AVRational{1, 1000}),
            400);
}

// Timelines as phones and encoders write them: a held last picture, repeated pictures left
// uncoded, a granule rate of ticks, several AMR frames in a sample.
TEST(TestMedia, TimelineKindsCarryTheirProperties) {
  const std::vector<TExpectedFile> Files = {
      {"held_last.mp4", {AV_CODEC_ID_H264}, 3.47},
      {"theora_repeat.ogg", {AV_CODEC_ID_THEORA, AV_CODEC_ID_VORBIS}, 2.0},
      {"theora_tick.ogg", {AV_CODEC_ID_THEORA}, 1.56}, // the last picture's own time is lost
      {"amr_wb_multi.3gp", {AV_CODEC_ID_AMR_WB}, 2.0},
  };
  CheckStreamsAndDuration(Files, 0.03);
  const auto Packets = [](const std::string& AName) {
    std::vector<std::pair<int64_t, int>> Times; // pts, size
    TInputPtr Input = OpenMedia(AName);
    TPacketPtr Packet(av_packet_alloc());
    while (av_read_frame(Input.get(), Packet.get()) >= 0) {
      if (Packet->stream_index == 0) Times.emplace_back(Packet->pts, Packet->size);
      av_packet_unref(Packet.get());
    }
    return Times;
  };
  // 20 pictures in 1.97 s, the last one shown 1.5 s: the stream lasts 3.47 s.
  EXPECT_EQ(Packets("held_last.mp4").size(), 20u);
  // A coded picture every 5 periods; the repeats in between are not handed out as packets.
  const auto Repeats = Packets("theora_repeat.ogg");
  ASSERT_EQ(Repeats.size(), 10u);
  EXPECT_EQ(Repeats[1].first - Repeats[0].first, 5);
  TInputPtr Tick = OpenMedia("theora_tick.ogg");
  EXPECT_EQ(av_cmp_q(Tick->streams[0]->time_base, AVRational{1, 600}), 0);
  EXPECT_EQ(Packets("theora_tick.ogg").size(), 40u);
  const auto Amr = Packets("amr_wb_multi.3gp");
  ASSERT_EQ(Amr.size(), 20u);
  EXPECT_EQ(Amr[0].second, 5 * 61); // five frames of 23.85 kbit/s
}

TEST(TestMedia, RatesAndLayoutsAreTheListedOnes) {
  TInputPtr Ntsc = OpenMedia("ntsc.mp4");
  ASSERT_TRUE(Ntsc);
  EXPECT_EQ(av_cmp_q(Ntsc->streams[0]->avg_frame_rate, AVRational{30000, 1001}), 0);

  struct TAudio {
    const char* Name;
    int SampleRate;
    int Channels;
  };
  for (const TAudio& Expected : {TAudio{"tone.wav", 44100, 2}, TAudio{"mono8k.wav", 8000, 1},
                                 TAudio{"tone.mp3", 44100, 2}, TAudio{"mpeg4_aac.3gp", 16000, 1}}) {
    SCOPED_TRACE(Expected.Name);
    TInputPtr Input = OpenMedia(Expected.Name);
    ASSERT_TRUE(Input);
    const int Audio = av_find_best_stream(Input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    ASSERT_GE(Audio, 0);
    EXPECT_EQ(Input->streams[Audio]->codecpar->sample_rate, Expected.SampleRate);
    EXPECT_EQ(Input->streams[Audio]->codecpar->ch_layout.nb_channels, Expected.Channels);
  }
}

// Each channel's tone, measured by its sign changes: a sine of f Hz changes sign 2f times a second.
TEST(TestMedia, ToneWavCarries440HzLeftAnd1000HzRight) {
  TInputPtr Input = OpenMedia("tone.wav");
  ASSERT_TRUE(Input);
  TPacketPtr Packet(av_packet_alloc());
  int Crossings[2] = {0, 0};
  int16_t Previous[2] = {0, 0};
  int64_t Frames = 0;
  while (av_read_frame(Input.get(), Packet.get()) >= 0) {
    for (int Offset = 0; Offset + 4 <= Packet->size; Offset += 4, ++Frames) {
      for (int Channel = 0; Channel < 2; ++Channel) {
        const uint8_t* Bytes = Packet->data + Offset + Channel * 2;
        const auto Sample = static_cast<int16_t>(Bytes[0] | (Bytes[1] << 8));
        if (Frames > 0 && (Sample < 0) != (Previous[Channel] < 0)) ++Crossings[Channel];
        Previous[Channel] = Sample;
      }
    }
    av_packet_unref(Packet.get());
  }
  EXPECT_EQ(Frames, 88200);
  EXPECT_NEAR(Crossings[0], 1760, 2);
  EXPECT_NEAR(Crossings[1], 4000, 2);
}

TEST(TestMedia, NoKeyStartOpensWithPredictedPictures) {
  TInputPtr Input = OpenMedia("nokey_start.ts");
  ASSERT_TRUE(Input);
  TPacketPtr Packet(av_packet_alloc());
  int BeforeFirstKey = 0;
  bool SawKey = false;
  while (!SawKey && av_read_frame(Input.get(), Packet.get()) >= 0) {
    SawKey = (Packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (!SawKey) ++BeforeFirstKey;
    av_packet_unref(Packet.get());
  }
  EXPECT_TRUE(SawKey);
  EXPECT_EQ(BeforeFirstKey, 8);
}

TEST(TestMedia, InterlacedClipDecodesTopFieldFirst) {
  TInputPtr Input = OpenMedia("interlaced.mkv");
  ASSERT_TRUE(Input);
  EXPECT_EQ(Input->streams[0]->codecpar->field_order, AV_FIELD_TT);
  const std::vector<TPictureFacts> Pictures = DecodePictures("interlaced.mkv");
  ASSERT_EQ(Pictures.size(), 50u);
  for (const TPictureFacts& Picture : Pictures) {
    EXPECT_TRUE(Picture.Interlaced);
    EXPECT_TRUE(Picture.TopFieldFirst);
  }
}

TEST(TestMedia, Sar4x3IsOnStreamAndPictures) {
  TInputPtr Input = OpenMedia("sar4x3.mp4");
  ASSERT_TRUE(Input);
  EXPECT_EQ(av_cmp_q(Input->streams[0]->sample_aspect_ratio, AVRational{4, 3}), 0);
  EXPECT_EQ(av_cmp_q(Input->streams[0]->codecpar->sample_aspect_ratio, AVRational{4, 3}), 0);
  const std::vector<TPictureFacts> Pictures = DecodePictures("sar4x3.mp4");
  ASSERT_EQ(Pictures.size(), 25u);
  EXPECT_EQ(av_cmp_q(Pictures.front().SampleAspect, AVRational{4, 3}), 0);
}

TEST(TestMedia, TwoProgramsEachHoldOneVideoAndOneAudio) {
  TInputPtr Input = OpenMedia("two_programs.ts");
  ASSERT_TRUE(Input);
  ASSERT_EQ(Input->nb_programs, 2u);
  for (unsigned Index = 0; Index < 2; ++Index) {
    const AVProgram& Program = *Input->programs[Index];
    ASSERT_EQ(Program.nb_stream_indexes, 2u);
    EXPECT_EQ(Input->streams[Program.stream_index[0]]->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(Input->streams[Program.stream_index[1]]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
  }
}

TEST(TestMedia, MultiMkvHasLanguagesAndThreeCues) {
  TInputPtr Input = OpenMedia("multi.mkv");
  ASSERT_TRUE(Input);
  ASSERT_EQ(Input->nb_streams, 4u);
  auto Language = [&](unsigned AIndex) -> std::string {
    const AVDictionaryEntry* Entry =
        av_dict_get(Input->streams[AIndex]->metadata, "language", nullptr, 0);
    return Entry ? Entry->value : "";
  };
  EXPECT_EQ(Language(1), "eng");
  EXPECT_EQ(Language(2), "ger");
  EXPECT_EQ(Language(3), "eng");

  TPacketPtr Packet(av_packet_alloc());
  std::vector<std::string> Cues;
  while (av_read_frame(Input.get(), Packet.get()) >= 0) {
    if (Packet->stream_index == 3)
      Cues.emplace_back(reinterpret_cast<const char*>(Packet->data), Packet->size);
    av_packet_unref(Packet.get());
  }
  EXPECT_EQ(Cues, (std::vector<std::string>{"First cue", "Second cue", "Third cue"}));
}

TEST(TestMedia, VfrPicturesComeAtTheListedGaps) {
  TInputPtr Input = OpenMedia("vfr.mkv");
  ASSERT_TRUE(Input);
  std::vector<int64_t> Times;
  TPacketPtr Packet(av_packet_alloc());
  while (av_read_frame(Input.get(), Packet.get()) >= 0) {
    Times.push_back(av_rescale_q(Packet->pts, Input->streams[0]->time_base, AVRational{1, 1000}));
    av_packet_unref(Packet.get());
  }
  ASSERT_EQ(Times.size(), 44u);
  const std::vector<int64_t> FirstRound = {0, 40, 80, 120, 280, 290, 300, 310, 360};
  EXPECT_EQ(std::vector<int64_t>(Times.begin(), Times.begin() + 9), FirstRound);
  EXPECT_EQ(Times.back(), 1920);
}

TEST(TestMedia, DamagedInputsDoNotOpenAsMedia) {
  EXPECT_EQ(fs::file_size(MediaDir / "empty.avi"), 0u);
  EXPECT_EQ(fs::file_size(MediaDir / "garbage.bin"), 4096u);
  EXPECT_FALSE(OpenMedia("empty.avi"));
  EXPECT_FALSE(OpenMedia("garbage.bin"));
}

// The damaged files fail where they are made to: every video packet refuses to decode, and
// reading stops on an error half-way.
TEST(TestMedia, DamagedFilesFailWhereTheyAreMadeTo) {
  CheckStreamsAndDuration({{"undecodable_video.avi", {AV_CODEC_ID_UTVIDEO, AV_CODEC_ID_MP3}, 2.04}},
                          0.03);
  EXPECT_TRUE(DecodePictures("undecodable_video.avi").empty());
  EXPECT_TRUE(DecodePictures("mpeg4_mp3.avi").size() == 50u);

  TInputPtr Damaged = OpenMedia("read_error.nut");
  ASSERT_TRUE(Damaged);
  TPacketPtr Packet(av_packet_alloc());
  int Packets = 0;
  int Result = 0;
  while ((Result = av_read_frame(Damaged.get(), Packet.get())) >= 0) {
    ++Packets;
    av_packet_unref(Packet.get());
  }
  EXPECT_EQ(Result, AVERROR_INVALIDDATA);
  EXPECT_GT(Packets, 40);

  // One picture of the time jump plays two hours late.
  TInputPtr Jump = OpenMedia("time_jump.mp4");
  ASSERT_TRUE(Jump);
  int Late = 0;
  while (av_read_frame(Jump.get(), Packet.get()) >= 0) {
    const AVStream* Stream = Jump->streams[Packet->stream_index];
    if (Packet->pts != AV_NOPTS_VALUE && Packet->dts != AV_NOPTS_VALUE &&
        (Packet->pts - Packet->dts) * av_q2d(Stream->time_base) > 7000)
      ++Late;
    av_packet_unref(Packet.get());
  }
  EXPECT_EQ(Late, 1);
}

TEST(MakeTestMedia, SecondRunWritesTheSameBytes) {
  // A folder of this process's own: other builds on the machine run the same test.
  const fs::path Again =
      fs::path(testing::TempDir()) / ("make-test-media-again-" + std::to_string(::getpid()));
  fs::remove_all(Again);
  const std::string Command =
      std::string("'") + MAKE_TEST_MEDIA_PROGRAM + "' '" + Again.string() + "' >/dev/null";
  ASSERT_EQ(std::system(Command.c_str()), 0);

  const std::vector<std::string> Names = ManifestNames();
  EXPECT_EQ(Names.size(), 51u);
  for (const std::string& Name : Names) {
    SCOPED_TRACE(Name);
    EXPECT_TRUE(ReadFile(MediaDir / Name) == ReadFile(Again / Name));
  }
  EXPECT_EQ(ReadFile(MediaDir / "manifest.txt"), ReadFile(Again / "manifest.txt"));
  fs::remove_all(Again);
}

TEST(MakeTestMedia, FolderThatCannotBeMadeFails) {
  const std::string Command = std::string("'") + MAKE_TEST_MEDIA_PROGRAM + "' '" +
                              (MediaDir / "garbage.bin" / "inside").string() + "' 2>/dev/null";
  EXPECT_NE(std::system(Command.c_str()), 0);
}
