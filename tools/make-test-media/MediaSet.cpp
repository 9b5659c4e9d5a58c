#include "MediaSet.h"

#include "MediaObjects.h"
#include "Muxer.h"
#include "Signals.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

namespace pelorix::testmedia {

namespace {

const std::vector<double> Left440Right1000{440.0, 1000.0};

void WriteMpeg4Aac3gp(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "3gp");
  Muxer.AddVideo({.FrameRate = {15, 1}});
  Muxer.AddAudio({.SampleRate = 16000, .BitRate = 32'000});
  Muxer.Write(2.0);
}

// H.264 + AAC in AFormat; MPEG-TS stores the H.264 with start codes before every unit (Annex B)
// and the AAC in ADTS.
void WriteH264Aac(const std::filesystem::path& APath, const char* AFormat, double ASeconds) {
  TMuxer Muxer(APath, AFormat);
  // Without macroblock-tree rate control: its float code takes a different path on processors
  // with fused multiply-add, and the bytes written would change with the machine.
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 160,
                  .Height = 120,
                  .BitRate = 0,
                  .EncoderOptions = {{"x264-params", "mbtree=0"}}});
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(ASeconds);
}

void WriteH264AacMp4(const std::filesystem::path& APath) { WriteH264Aac(APath, "mp4", 2.0); }

void WriteH264AacTs(const std::filesystem::path& APath) { WriteH264Aac(APath, "mpegts", 1.0); }

// A second of the camera scene (detail, pan, grain), small: what the quality levels tell apart.
void WriteCameraMp4(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 320,
                  .Height = 180,
                  .BitRate = 0,
                  .Content = TPictureContent::pcCameraScene,
                  .EncoderOptions = {{"preset", "ultrafast"}, {"qp", "18"}}});
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(1.0);
}

void WriteMpeg4Mp3Avi(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "avi");
  Muxer.AddVideo({});
  Muxer.AddAudio({.Encoder = "libmp3lame", .ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(2.0);
}

void WriteMultiMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddVideo({});
  Muxer.AddAudio({.ToneHz = {440.0, 440.0}, .BitRate = 96'000, .Language = "eng"});
  Muxer.AddAudio({.ToneHz = {1000.0}, .Language = "ger"});
  Muxer.AddText(
      {.Language = "eng",
       .Cues = {{0, 600, "First cue"}, {700, 600, "Second cue"}, {1400, 500, "Third cue"}}});
  Muxer.Write(2.0);
}

void WriteToneMp3(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp3");
  Muxer.AddAudio({.Encoder = "libmp3lame", .ToneHz = {440.0, 440.0}, .BitRate = 128'000});
  Muxer.Write(2.0);
}

void WriteToneWav(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "wav");
  Muxer.AddAudio({.Encoder = "pcm_s16le", .ToneHz = Left440Right1000});
  Muxer.Write(2.0);
}

void WriteMono8kWav(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "wav");
  Muxer.AddAudio({.Encoder = "pcm_s16le", .SampleRate = 8000});
  Muxer.Write(1.0);
}

// Speex in Ogg, as voice recorders and old podcasts wrote it: each packet holds one 20 ms
// frame.
void WriteSpeexOgg(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "ogg");
  Muxer.AddAudio({.Encoder = "libspeex", .SampleRate = 16000});
  Muxer.Write(2.0);
}

void WriteNtscMp4(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.FrameRate = {30000, 1001}, .GopSize = 15});
  Muxer.AddAudio({.SampleRate = 48000, .ToneHz = {440.0, 440.0}, .BitRate = 96'000});
  Muxer.Write(2.0);
}

void WriteNoKeyStartTs(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mpegts");
  // The first GOP loses its key picture and the three pictures after it; the file then starts
  // with predicted pictures whose references are missing.
  Muxer.AddVideo({.Encoder = "mpeg2video"}).DropLeadingPackets = 4;
  Muxer.Write(2.0);
}

void WriteInterlacedMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddVideo({.Encoder = "mpeg2video", .BitRate = 400'000, .Interlaced = true});
  Muxer.Write(2.0);
}

void WriteSar4x3Mp4(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  // Macroblock-tree rate control reads memory it never wrote at this width, so its choices
  // (and the bytes written) would change with the heap; without it the clip is reproducible.
  Muxer.AddVideo({.Encoder = "libx264",
                  .BitRate = 0,
                  .SampleAspect = {4, 3},
                  .EncoderOptions = {{"x264-params", "mbtree=0"}}});
  Muxer.Write(1.0);
}

void WriteDvbSubMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddVideo({});
  Muxer.AddText({.Codec = AV_CODEC_ID_DVB_SUBTITLE,
                 .Language = "eng",
                 .Cues = {{200, 500, "one"}, {1000, 700, "two"}}});
  Muxer.Write(2.0);
}

// Pictures 40, 40, 40, 160, 10, 10, 10 and 50 ms apart, over and over: each round of 8 covers
// 9 periods of 25 fps, with one picture 3 periods late and a burst of early ones.
void WriteVfrMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddVideo({.FrameSteps = {40, 40, 40, 160, 10, 10, 10, 50}});
  Muxer.Write(2.0);
}

void WriteTwoProgramsTs(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mpegts");
  const TEncoderStream& FirstVideo = Muxer.AddVideo({.Encoder = "mpeg2video"});
  const TEncoderStream& FirstAudio = Muxer.AddAudio(
      {.Encoder = "mp2", .SampleRate = 48000, .ToneHz = {440.0, 440.0}, .BitRate = 128'000});
  // Without macroblock-tree rate control: in this stream it reads memory it never wrote (see
  // WriteSar4x3Mp4).
  const TEncoderStream& SecondVideo =
      Muxer.AddVideo({.Encoder = "libx264",
                      .Width = 160,
                      .Height = 120,
                      .BitRate = 0,
                      .EncoderOptions = {{"x264-params", "mbtree=0"}}});
  const TEncoderStream& SecondAudio = Muxer.AddAudio({.ToneHz = {1000.0}});
  Muxer.AddProgram(1, "Pelorix One", {&FirstVideo, &FirstAudio});
  Muxer.AddProgram(2, "Pelorix Two", {&SecondVideo, &SecondAudio});
  Muxer.Write(2.0);
}

// Grainy pictures at a fixed quantiser: x264 cannot squeeze them much, so the file reaches a
// realistic bit rate (about 5 Mbit/s) in a short time to encode.
constexpr double BenchSeconds = 90.0;

void WriteBenchH264AacMp4(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 640,
                  .Height = 360,
                  .GopSize = 50,
                  .BitRate = 0,
                  .BFrames = 2,
                  .NoiseAmplitude = 6,
                  .EncoderOptions = {{"preset", "ultrafast"}, {"qp", "23"}}});
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(BenchSeconds);
}

// H.264 with light grain and the two tones, AWidth x AHeight for ASeconds: the video
// benchmark converts it to the app's main format.
void WriteBenchGrainH264AacMp4(const std::filesystem::path& APath, int AWidth, int AHeight,
                               double ASeconds) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = AWidth,
                  .Height = AHeight,
                  .GopSize = 50,
                  .BitRate = 0,
                  .BFrames = 2,
                  .NoiseAmplitude = 3,
                  .EncoderOptions = {{"preset", "ultrafast"}, {"qp", "23"}}});
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(ASeconds);
}

void WriteBench720pH264AacMp4(const std::filesystem::path& APath) {
  WriteBenchGrainH264AacMp4(APath, 1280, 720, 20.0);
}

// Half as long as the 720p clip: about as many samples to make, and pictures large enough for
// the threaded conversions to have work to share.
void WriteBench1080pH264AacMp4(const std::filesystem::path& APath) {
  WriteBenchGrainH264AacMp4(APath, 1920, 1080, 10.0);
}

// The quality benchmark's clips: 5 s of 1280x720 at 25 fps, a camera scene or a cartoon, kept
// nearly as painted (H.264 at quantiser 12) so that the clip is the reference the converted
// files are measured against, + AAC stereo.
void WriteBenchSceneMp4(const std::filesystem::path& APath, TPictureContent AContent) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 1280,
                  .Height = 720,
                  .GopSize = 50,
                  .BitRate = 0,
                  .Content = AContent,
                  .EncoderOptions = {{"preset", "ultrafast"}, {"qp", "12"}}});
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(5.0);
}

// Ten minutes of the two tones as AAC: the audio benchmark re-encodes it.
void WriteBenchAac10MinM4a(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(600.0);
}

// Short clips for the batch benchmark, which converts eight copies of each: 30 s of the two
// tones as AAC, and 10 s of small grainy H.264 with them.
void WriteBenchClipAacM4a(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddAudio({.ToneHz = Left440Right1000, .BitRate = 128'000});
  Muxer.Write(30.0);
}

void WriteBenchClipH264AacMp4(const std::filesystem::path& APath) {
  WriteBenchGrainH264AacMp4(APath, 320, 240, 10.0);
}

std::ofstream OpenPlainFile(const std::filesystem::path& APath) {
  std::ofstream File(APath, std::ios::binary | std::ios::trunc);
  if (!File) throw TMediaError("cannot create the file");
  return File;
}

// JPEG pictures back to back (a raw MJPEG stream, read at 25 fps): ten of 176x144, then ten of
// 128x96, as a stream that changes its picture size on the way.
void WriteSizesMjpeg(const std::filesystem::path& APath) {
  std::ofstream File = OpenPlainFile(APath);
  const AVCodec* Codec = CheckAllocated(avcodec_find_encoder(AV_CODEC_ID_MJPEG), "encoder mjpeg");
  TPacketPtr Packet(CheckAllocated(av_packet_alloc(), "packet"));
  int64_t Index = 0;
  const auto WritePackets = [&](AVCodecContext& AEncoder) {
    while (avcodec_receive_packet(&AEncoder, Packet.get()) >= 0) {
      File.write(reinterpret_cast<const char*>(Packet->data), Packet->size);
      av_packet_unref(Packet.get());
    }
  };
  for (const auto& [Width, Height] : {std::pair{176, 144}, std::pair{128, 96}}) {
    TCodecContextPtr Encoder(CheckAllocated(avcodec_alloc_context3(Codec), "encoder"));
    Encoder->width = Width;
    Encoder->height = Height;
    Encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    Encoder->time_base = AVRational{1, 25};
    Encoder->flags |= AV_CODEC_FLAG_BITEXACT;
    Encoder->thread_count = 1;
    Check(avcodec_open2(Encoder.get(), Codec, nullptr), "opening encoder mjpeg");
    TFramePtr Frame(CheckAllocated(av_frame_alloc(), "frame"));
    Frame->format = Encoder->pix_fmt;
    Frame->width = Width;
    Frame->height = Height;
    Check(av_frame_get_buffer(Frame.get(), 0), "video frame");
    for (int I = 0; I < 10; ++I, ++Index) {
      Check(av_frame_make_writable(Frame.get()), "frame buffer");
      FillTestPattern(*Frame, Index, false);
      Frame->pts = Index;
      Check(avcodec_send_frame(Encoder.get(), Frame.get()), "encoding");
      WritePackets(*Encoder);
    }
    Check(avcodec_send_frame(Encoder.get(), nullptr), "encoding");
    WritePackets(*Encoder);
  }
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

void WriteGarbageBin(const std::filesystem::path& APath) {
  std::array<char, 4096> Bytes{};
  uint32_t State = 0x2545F491u; // xorshift32: the same bytes on every machine
  for (char& Byte : Bytes) {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    Byte = static_cast<char>(State >> 24);
  }
  std::ofstream File = OpenPlainFile(APath);
  File.write(Bytes.data(), Bytes.size());
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

void WriteEmptyAvi(const std::filesystem::path& APath) {
  std::ofstream File = OpenPlainFile(APath);
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

// A phone's variable frame rate: pictures 37, 71, 53, 89 and 61 ticks of 1/600 s apart, in
// turn, so that no common picture rate fits them and the stream's base rate is the time base.
void WriteVfrPhoneMp4(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 160,
                  .Height = 120,
                  .BitRate = 0,
                  .EncoderOptions = {{"x264-params", "mbtree=0"}},
                  .FrameSteps = {37, 71, 53, 89, 61},
                  .TimeBase = {1, 600}});
  Muxer.Write(2.0);
}

// A phone's variable frame rate with the last picture held 1.5 s, as a clip whose last
// moments show a still scene.
void WriteHeldLastMp4(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 160,
                  .Height = 120,
                  .BitRate = 0,
                  .EncoderOptions = {{"x264-params", "mbtree=0:bframes=0"}},
                  .FrameSteps = {37, 71, 53, 89, 61},
                  .TimeBase = {1, 600},
                  .LastPictureHold = 900});
  Muxer.Write(2.0);
}

// Theora that codes a picture only when it changes and repeats the last one with empty
// packets in between.
void WriteTheoraRepeatOgg(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "ogg");
  Muxer.AddVideo({.Encoder = "libtheora",
                  .GopSize = 25,
                  .FrameSteps = {5},
                  .TimeBase = {1, 25},
                  .RepeatPackets = true});
  Muxer.AddAudio({.Encoder = "libvorbis", .ToneHz = Left440Right1000, .BitRate = 64'000});
  Muxer.Write(2.0);
}

// Theora whose granule rate is a fine tick (600 per second) rather than its picture rate: the
// pictures come every 24 ticks, 25 per second. Ogg counts the ticks since the last key picture
// in the granule's low bits: the group of pictures is made long enough (1024, 10 bits) for the
// whole clip, which therefore has one key picture.
void WriteTheoraTickOgg(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "ogg");
  // The encoder's rate control counts 600 pictures a second: at its usual rate it would leave
  // most pictures out (empty packets that repeat the last one).
  Muxer.AddVideo({.Encoder = "libtheora",
                  .GopSize = 1024,
                  .BitRate = 24 * 400'000,
                  .FrameSteps = {24},
                  .TimeBase = {1, 600}});
  Muxer.Write(1.6);
}

// H.264 coded as interlaced pictures (top field first) at 25 pictures per second.
void WriteInterlacedH264Ts(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mpegts");
  Muxer.AddVideo({.Encoder = "libx264",
                  .Width = 160,
                  .Height = 128,
                  .BitRate = 0,
                  .Interlaced = true,
                  .EncoderOptions = {{"x264-params", "interlaced=1:tff=1:mbtree=0"}}});
  Muxer.Write(1.0);
}

void WriteTheoraVorbisOgg(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "ogg");
  Muxer.AddVideo({.Encoder = "libtheora", .GopSize = 25});
  Muxer.AddAudio({.Encoder = "libvorbis", .ToneHz = Left440Right1000, .BitRate = 64'000});
  Muxer.Write(2.0);
}

void WriteWmvAsf(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "asf");
  Muxer.AddVideo({.Encoder = "wmv2"});
  Muxer.AddAudio({.Encoder = "wmav2", .ToneHz = Left440Right1000, .BitRate = 64'000});
  Muxer.Write(2.0);
}

void WriteSurroundMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddAudio({.Encoder = "ac3",
                  .SampleRate = 48000,
                  .ToneHz = {440.0, 550.0, 660.0, 110.0, 880.0, 990.0},
                  .BitRate = 384'000});
  Muxer.Write(1.0);
}

void WriteHighRateWav(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "wav");
  Muxer.AddAudio({.Encoder = "pcm_s16le", .SampleRate = 96000, .ToneHz = Left440Right1000});
  Muxer.Write(0.5);
}

// H.263 at CIF's own sample aspect (12:11 in the picture headers).
void WriteH263Sar3gp(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "3gp");
  Muxer.AddVideo({.Encoder = "h263", .FrameRate = {15, 1}, .SampleAspect = {12, 11}});
  Muxer.Write(1.0);
}

void WriteMpeg2Es(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mpeg2video");
  Muxer.AddVideo({.Encoder = "mpeg2video", .BFrames = 2});
  Muxer.Write(1.0);
}

void WriteMpeg1Ps(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mpeg");
  Muxer.AddVideo({.Encoder = "mpeg1video", .BFrames = 2});
  Muxer.AddAudio(
      {.Encoder = "mp2", .SampleRate = 44100, .ToneHz = {440.0, 440.0}, .BitRate = 128'000});
  Muxer.Write(1.0);
}

// Changes one packet's times on its way from one file to another (none: times kept).
using TPacketRetime = void (*)(AVPacket& APacket, const AVStream& AStream, int64_t& AState);

// The packets of ASource written to ADestination with the muxer its name calls for: stream
// after stream, each whole before the next (not interleaved), or with AInTurn false in the
// source's order, through av_interleaved_write_frame.
void RewritePackets(const std::filesystem::path& ASource, const std::filesystem::path& ADestination,
                    bool AInTurn, TPacketRetime ARetime) {
  AVFormatContext* Raw = nullptr;
  Check(avformat_open_input(&Raw, ASource.c_str(), nullptr, nullptr), "opening the source");
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> Input(
      Raw, [](AVFormatContext* AContext) { avformat_close_input(&AContext); });
  AVFormatContext* Context = nullptr;
  Check(avformat_alloc_output_context2(&Context, nullptr, nullptr, ADestination.c_str()), "muxer");
  TOutputContextPtr Output(Context);
  Output->flags |= AVFMT_FLAG_BITEXACT;
  for (unsigned I = 0; I < Input->nb_streams; ++I) {
    AVStream* Stream = CheckAllocated(avformat_new_stream(Output.get(), nullptr), "stream");
    Check(avcodec_parameters_copy(Stream->codecpar, Input->streams[I]->codecpar), "parameters");
    Stream->codecpar->codec_tag = 0;
    Stream->time_base = Input->streams[I]->time_base;
    Stream->avg_frame_rate = Input->streams[I]->avg_frame_rate;
  }
  Check(avio_open(&Output->pb, ADestination.c_str(), AVIO_FLAG_WRITE), "opening the file");
  Check(avformat_write_header(Output.get(), nullptr), "writing the header");
  TPacketPtr Packet(CheckAllocated(av_packet_alloc(), "packet"));
  std::vector<int64_t> States(Input->nb_streams, 0);
  const unsigned Rounds = AInTurn ? Input->nb_streams : 1;
  for (unsigned Wanted = 0; Wanted < Rounds; ++Wanted) {
    if (Wanted > 0)
      Check(avformat_seek_file(Input.get(), -1, INT64_MIN, 0, 0, AVSEEK_FLAG_BYTE), "rewinding");
    while (av_read_frame(Input.get(), Packet.get()) >= 0) {
      const auto Index = static_cast<unsigned>(Packet->stream_index);
      if (!AInTurn || Index == Wanted) {
        if (ARetime) ARetime(*Packet, *Input->streams[Index], States[Index]);
        av_packet_rescale_ts(Packet.get(), Input->streams[Index]->time_base,
                             Output->streams[Index]->time_base);
        Packet->pos = -1;
        Check(AInTurn ? av_write_frame(Output.get(), Packet.get())
                      : av_interleaved_write_frame(Output.get(), Packet.get()),
              "writing a packet");
      }
      av_packet_unref(Packet.get());
    }
  }
  Check(av_write_trailer(Output.get()), "writing the trailer");
  Check(avio_closep(&Output->pb), "closing the file");
}

// The 26th video packet claims to play two hours after it is decoded (a damaged composition
// offset); every other time is right.
void PushOnePictureAhead(AVPacket& APacket, const AVStream& AStream, int64_t& AState) {
  if (AStream.codecpar->codec_type != AVMEDIA_TYPE_VIDEO || AState++ != 25) return;
  APacket.pts += av_rescale_q(2 * 3600, AVRational{1, 1}, AStream.time_base);
}

void WriteTimeJumpMp4(const std::filesystem::path& APath) {
  const std::filesystem::path Source = APath.string() + ".source.avi";
  WriteMpeg4Mp3Avi(Source);
  RewritePackets(Source, APath, false, PushOnePictureAhead);
  std::filesystem::remove(Source);
}

void WriteNonInterleavedAvi(const std::filesystem::path& APath) {
  const std::filesystem::path Interleaved = APath.string() + ".interleaved.avi";
  WriteMpeg4Mp3Avi(Interleaved);
  RewritePackets(Interleaved, APath, true, nullptr);
  std::filesystem::remove(Interleaved);
}

// Every second audio packet carries the time of the one before, as ASF stamps several audio
// payloads with one send time: the decoded clock runs a frame back at each of them.
void StampAudioInPairs(AVPacket& APacket, const AVStream& AStream, int64_t& AState) {
  if (AStream.codecpar->codec_type != AVMEDIA_TYPE_AUDIO) return;
  if (AState % 2 == 1) APacket.pts = APacket.dts = APacket.pts - APacket.duration;
  ++AState;
}

void WritePairedAudioMkv(const std::filesystem::path& APath) {
  const std::filesystem::path Source = APath.string() + ".source.asf";
  WriteWmvAsf(Source);
  RewritePackets(Source, APath, false, StampAudioInPairs);
  std::filesystem::remove(Source);
}

void PutBigEndian(std::string& ABytes, uint32_t AValue, int ACount) {
  for (int I = ACount - 1; I >= 0; --I) ABytes += static_cast<char>((AValue >> (8 * I)) & 0xFF);
}

void PutLittleEndian(std::string& ABytes, uint32_t AValue) {
  for (int I = 0; I < 4; ++I) ABytes += static_cast<char>((AValue >> (8 * I)) & 0xFF);
}

// Every byte of every video packet becomes 0xFF: the stream opens as its header tells (a Ut
// Video decoder knows its picture format from the codec tag), and each packet's slice sizes
// point past its end.
void SpoilVideoPackets(AVPacket& APacket, const AVStream& AStream, int64_t&) {
  if (AStream.codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return;
  Check(av_packet_make_writable(&APacket), "packet");
  std::memset(APacket.data, 0xFF, APacket.size);
}

void WriteUndecodableVideoAvi(const std::filesystem::path& APath) {
  const std::filesystem::path Source = APath.string() + ".source.avi";
  {
    TMuxer Muxer(Source, "avi");
    Muxer.AddVideo({.Encoder = "utvideo", .Width = 64, .Height = 48});
    Muxer.AddAudio({.Encoder = "libmp3lame", .ToneHz = Left440Right1000, .BitRate = 128'000});
    Muxer.Write(2.0);
  }
  RewritePackets(Source, APath, false, SpoilVideoPackets);
  std::filesystem::remove(Source);
}

std::string ReadWholeFile(const std::filesystem::path& APath) {
  std::ifstream File(APath, std::ios::binary);
  return {std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>()};
}

void WriteWholeFile(const std::filesystem::path& APath, const std::string& ABytes) {
  std::ofstream File = OpenPlainFile(APath);
  File.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size()));
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

// The streams of mpeg4_mp3.avi in NUT, everything from the middle of the file on overwritten
// with zero bytes: past the middle the reader finds no frame and no start code to resume at,
// and reading ends with an error, not at the end of the file.
void WriteReadErrorNut(const std::filesystem::path& APath) {
  const std::filesystem::path Source = APath.string() + ".source.avi";
  WriteMpeg4Mp3Avi(Source);
  RewritePackets(Source, APath, false, nullptr);
  std::filesystem::remove(Source);
  std::string Bytes = ReadWholeFile(APath);
  std::fill(Bytes.begin() + static_cast<std::ptrdiff_t>(Bytes.size() / 2), Bytes.end(), '\0');
  WriteWholeFile(APath, Bytes);
}

// A big-endian WAV ("RIFX") whose format chunk has the extended 18-byte layout: 0.1 s of
// silence, 16-bit stereo at 44100 Hz.
void WriteRifxWav(const std::filesystem::path& APath) {
  std::string Format;
  PutBigEndian(Format, 1, 2); // PCM
  PutBigEndian(Format, 2, 2);
  PutBigEndian(Format, 44100, 4);
  PutBigEndian(Format, 44100 * 4, 4);
  PutBigEndian(Format, 4, 2);
  PutBigEndian(Format, 16, 2);
  PutBigEndian(Format, 0, 2); // no extra bytes
  const std::string Samples(4410 * 4, '\0');
  std::string Body = "WAVEfmt ";
  PutBigEndian(Body, static_cast<uint32_t>(Format.size()), 4);
  Body += Format + "data";
  PutBigEndian(Body, static_cast<uint32_t>(Samples.size()), 4);
  Body += Samples;
  std::string Bytes = "RIFX";
  PutBigEndian(Bytes, static_cast<uint32_t>(Body.size()), 4);
  WriteWholeFile(APath, Bytes + Body);
}

// One JPEG picture of the test pattern, as a front cover.
std::string CoverJpeg() {
  const AVCodec* Codec = CheckAllocated(avcodec_find_encoder(AV_CODEC_ID_MJPEG), "encoder mjpeg");
  TCodecContextPtr Encoder(CheckAllocated(avcodec_alloc_context3(Codec), "encoder"));
  Encoder->width = 64;
  Encoder->height = 64;
  Encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
  Encoder->time_base = AVRational{1, 25};
  Encoder->flags |= AV_CODEC_FLAG_BITEXACT;
  Encoder->thread_count = 1;
  Check(avcodec_open2(Encoder.get(), Codec, nullptr), "opening encoder mjpeg");
  TFramePtr Frame(CheckAllocated(av_frame_alloc(), "frame"));
  Frame->format = Encoder->pix_fmt;
  Frame->width = 64;
  Frame->height = 64;
  Check(av_frame_get_buffer(Frame.get(), 0), "video frame");
  for (AVBufferRef* Buffer : Frame->buf)
    if (Buffer != nullptr) std::memset(Buffer->data, 0, Buffer->size);
  FillTestPattern(*Frame, 0, false);
  Frame->pts = 0;
  Check(avcodec_send_frame(Encoder.get(), Frame.get()), "encoding");
  Check(avcodec_send_frame(Encoder.get(), nullptr), "encoding");
  TPacketPtr Packet(CheckAllocated(av_packet_alloc(), "packet"));
  Check(avcodec_receive_packet(Encoder.get(), Packet.get()), "encoding");
  return std::string(reinterpret_cast<const char*>(Packet->data), Packet->size);
}

// The tone WAV with an "id3 " chunk behind the samples: an ID3v2.3 tag whose APIC frame holds
// a JPEG front cover, as tagging programs write it.
void WriteCoverWav(const std::filesystem::path& APath) {
  WriteToneWav(APath);
  std::string Bytes;
  {
    std::ifstream In(APath, std::ios::binary);
    Bytes.assign(std::istreambuf_iterator<char>(In), {});
  }
  const std::string Picture = CoverJpeg();
  std::string Frame = std::string("\0image/jpeg\0\x03\0", 14) + Picture; // latin-1, front cover
  std::string Tag = "APIC";
  PutBigEndian(Tag, static_cast<uint32_t>(Frame.size()), 4);
  Tag += std::string(2, '\0');
  Tag += Frame;
  std::string Header = std::string("ID3\x03\0\0", 6);
  const auto Size = static_cast<uint32_t>(Tag.size());
  for (int Shift : {21, 14, 7, 0}) Header += static_cast<char>((Size >> Shift) & 0x7F);
  std::string Chunk = "id3 ";
  PutLittleEndian(Chunk, static_cast<uint32_t>(Header.size() + Tag.size()));
  Chunk += Header + Tag;
  if (Chunk.size() % 2) Chunk += '\0';
  Bytes += Chunk;
  std::string RiffSize;
  PutLittleEndian(RiffSize, static_cast<uint32_t>(Bytes.size() - 8));
  Bytes.replace(4, 4, RiffSize);
  std::ofstream File = OpenPlainFile(APath);
  File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

// A photo as phones and cameras leave them beside their clips: one JPEG picture, no clip.
void WritePhotoJpg(const std::filesystem::path& APath) {
  const std::string Picture = CoverJpeg();
  std::ofstream File = OpenPlainFile(APath);
  File.write(Picture.data(), static_cast<std::streamsize>(Picture.size()));
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

// An album track's tags, as a tagging program writes them.
void TagAlbumTrack(TMuxer& AMuxer) {
  AMuxer.SetTag("title", "Pelorix Sång");
  AMuxer.SetTag("artist", "The Testers");
  AMuxer.SetTag("album_artist", "Various Testers");
  AMuxer.SetTag("album", "Generated Album");
  AMuxer.SetTag("track", "3/12");
  AMuxer.SetTag("disc", "1/2");
  AMuxer.SetTag("date", "2021");
  AMuxer.SetTag("genre", "Electronic");
  AMuxer.SetTag("comment", "made by make-test-media");
  AMuxer.SetTag("composer", "A. Composer");
}

void WriteTaggedFlac(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "flac");
  Muxer.AddAudio({.Encoder = "flac", .ToneHz = Left440Right1000});
  TagAlbumTrack(Muxer);
  Muxer.AddCover(CoverJpeg(), 64, 64);
  Muxer.Write(1.0);
}

void WriteTaggedMp3(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "mp3");
  Muxer.AddAudio({.Encoder = "libmp3lame", .ToneHz = Left440Right1000, .BitRate = 128'000});
  TagAlbumTrack(Muxer);
  Muxer.AddCover(CoverJpeg(), 64, 64);
  Muxer.Write(1.0);
}

// A phone's clip filmed upright or turned: the pictures stored as the sensor saw them, with
// a display matrix that turns them clockwise by ADegrees to play.
void WriteRotatedMp4(const std::filesystem::path& APath, int ADegrees) {
  TMuxer Muxer(APath, "mp4");
  Muxer.AddVideo({.Width = 160, .Height = 96, .DisplayRotation = ADegrees, .CornerMark = true});
  Muxer.AddAudio({});
  Muxer.Write(1.0);
}

void WriteEac3DtsMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddAudio(
      {.Encoder = "eac3", .SampleRate = 48000, .ToneHz = {440.0, 1000.0}, .BitRate = 96'000});
  Muxer.AddAudio({.Encoder = "dca",
                  .SampleRate = 48000,
                  .ToneHz = {440.0, 1000.0},
                  .BitRate = 768'000,
                  .EncoderOptions = {{"strict", "experimental"}}});
  Muxer.Write(1.0);
}

void WriteChaptersMkv(const std::filesystem::path& APath) {
  TMuxer Muxer(APath, "matroska");
  Muxer.AddVideo({});
  Muxer.AddAudio({});
  Muxer.SetTag("title", "Pelorix Film");
  Muxer.AddChapter(0, 400, "Opening");
  Muxer.AddChapter(400, 1200, "Middle");
  Muxer.AddChapter(1200, 2000, "End");
  Muxer.Write(2.0);
}

struct TAmrMode {
  AVCodecID Codec;
  int SampleRate;
  uint8_t Toc; // the table-of-contents byte of a speech frame of the mode
  int FrameBytes; // with that byte
};
constexpr TAmrMode AmrNb122{AV_CODEC_ID_AMR_NB, 8000, 0x3C, 32}; // 12.2 kbit/s
constexpr TAmrMode AmrWb2385{AV_CODEC_ID_AMR_WB, 16000, 0x44, 61}; // 23.85 kbit/s

// AMR in 3GP: no AMR encoder is installed, so the frames are made by hand, each a
// table-of-contents byte and pseudo-random speech bits. AFramesPerSample frames share a sample
// of the file, as phones write them (the 3GP muxer takes that for AMR-WB only).
void WriteAmr3gp(const std::filesystem::path& APath, const TAmrMode& AMode, int AFramesPerSample,
                 int AFrames) {
  AVFormatContext* Context = nullptr;
  Check(avformat_alloc_output_context2(&Context, nullptr, "3gp", APath.c_str()), "muxer 3gp");
  TOutputContextPtr Output(Context);
  Output->flags |= AVFMT_FLAG_BITEXACT;
  AVStream* Stream = CheckAllocated(avformat_new_stream(Output.get(), nullptr), "stream");
  AVCodecParameters* Parameters = Stream->codecpar;
  Parameters->codec_type = AVMEDIA_TYPE_AUDIO;
  Parameters->codec_id = AMode.Codec;
  Parameters->sample_rate = AMode.SampleRate;
  const int FrameSamples = AMode.SampleRate / 50; // 20 ms
  Parameters->frame_size = FrameSamples;
  av_channel_layout_default(&Parameters->ch_layout, 1);
  Stream->time_base = AVRational{1, AMode.SampleRate};
  Check(avio_open(&Output->pb, APath.c_str(), AVIO_FLAG_WRITE), "opening the file");
  Check(avformat_write_header(Output.get(), nullptr), "writing the header");
  TPacketPtr Packet(CheckAllocated(av_packet_alloc(), "packet"));
  uint32_t State = 0x1234567u;
  for (int I = 0; I < AFrames; I += AFramesPerSample) {
    Check(av_new_packet(Packet.get(), AMode.FrameBytes * AFramesPerSample), "packet");
    for (int Frame = 0; Frame < AFramesPerSample; ++Frame) {
      uint8_t* Bytes = Packet->data + Frame * AMode.FrameBytes;
      Bytes[0] = AMode.Toc;
      for (int B = 1; B < AMode.FrameBytes; ++B) {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        Bytes[B] = static_cast<uint8_t>(State >> 24);
      }
    }
    Packet->pts = Packet->dts = static_cast<int64_t>(I) * FrameSamples;
    Packet->duration = static_cast<int64_t>(FrameSamples) * AFramesPerSample;
    Packet->flags |= AV_PKT_FLAG_KEY;
    Check(av_interleaved_write_frame(Output.get(), Packet.get()), "writing a packet");
  }
  Check(av_write_trailer(Output.get()), "writing the trailer");
  Check(avio_closep(&Output->pb), "closing the file");
}

// Cuts a fast-start MP4 (index before the media data) just after its "moov" box: what is left
// describes every stream and every sample and holds none, as a download that stopped after
// the header.
void CutMp4AfterHeader(const std::filesystem::path& APath) {
  std::string Bytes;
  {
    std::ifstream File(APath, std::ios::binary);
    Bytes.assign(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
  }
  size_t End = 0;
  for (size_t Pos = 0; Pos + 8 <= Bytes.size();) {
    uint64_t Size = 0;
    for (int I = 0; I < 4; ++I) Size = Size << 8 | static_cast<unsigned char>(Bytes[Pos + I]);
    if (Size < 8 || Pos + Size > Bytes.size()) break;
    Pos += Size;
    if (Bytes.compare(Pos - Size + 4, 4, "moov") == 0) {
      End = Pos;
      break;
    }
  }
  if (End == 0) throw TMediaError("no moov box before the media data");
  std::ofstream File = OpenPlainFile(APath);
  File.write(Bytes.data(), static_cast<std::streamsize>(End));
  File.close();
  if (!File) throw TMediaError("cannot write the file");
}

void WriteHeaderOnlyMp4(const std::filesystem::path& APath) {
  {
    TMuxer Muxer(APath, "mp4");
    Muxer.SetMuxerOption("movflags", "faststart");
    Muxer.AddVideo({});
    Muxer.AddAudio({});
    Muxer.Write(1.0);
  }
  CutMp4AfterHeader(APath);
}

void WriteHeaderOnlyM4a(const std::filesystem::path& APath) {
  {
    TMuxer Muxer(APath, "ipod");
    Muxer.SetMuxerOption("movflags", "faststart");
    Muxer.AddAudio({});
    Muxer.Write(1.0);
  }
  CutMp4AfterHeader(APath);
}

} // namespace

const std::vector<TMediaFile>& MediaFiles() {
  static const std::vector<TMediaFile> Files = {
      {"mpeg4_aac.3gp", "3GP; MPEG-4 Visual 176x144 15 fps + AAC 16000 Hz mono 440 Hz; 2 s",
       WriteMpeg4Aac3gp},
      {"h264_aac.mp4",
       "MP4; H.264 160x120 25 fps with B-frames + AAC 44100 Hz stereo (L 440 Hz, R 1000 Hz); 2 s",
       WriteH264AacMp4},
      {"h264_aac.ts",
       "MPEG-TS; H.264 160x120 25 fps with start codes + AAC 44100 Hz stereo (L 440 Hz, R 1000 "
       "Hz); 1 s",
       WriteH264AacTs},
      {"camera.mp4",
       "MP4; H.264 320x180 25 fps at quantiser 18, a camera scene (detail at every scale, a slow "
       "pan, a moving ball, grain) + AAC 44100 Hz stereo (L 440 Hz, R 1000 Hz); 1 s",
       WriteCameraMp4},
      {"mpeg4_mp3.avi",
       "AVI; MPEG-4 Visual 176x144 25 fps + MP3 44100 Hz stereo (L 440 Hz, R 1000 Hz); 2 s",
       WriteMpeg4Mp3Avi},
      {"multi.mkv",
       "Matroska; MPEG-4 Visual 176x144 25 fps + AAC stereo 440 Hz \"eng\" + AAC mono 1000 Hz "
       "\"ger\" + SubRip \"eng\" with 3 cues (0.0, 0.7, 1.4 s); 2 s; every stream starts 23 ms "
       "late, where the AAC priming was shifted to zero",
       WriteMultiMkv},
      {"tone.mp3", "MP3 only; 44100 Hz stereo 440 Hz; 2 s", WriteToneMp3},
      {"tone.wav", "WAV; PCM s16le 44100 Hz stereo (L 440 Hz, R 1000 Hz); 2 s", WriteToneWav},
      {"mono8k.wav", "WAV; PCM s16le 8000 Hz mono 440 Hz; 1 s", WriteMono8kWav},
      {"speex.ogg", "Ogg; Speex 16000 Hz mono 440 Hz, one 20 ms frame per packet; 2 s",
       WriteSpeexOgg},
      {"ntsc.mp4", "MP4; MPEG-4 Visual 176x144 30000/1001 fps + AAC 48000 Hz stereo 440 Hz; 2 s",
       WriteNtscMp4},
      {"nokey_start.ts",
       "MPEG-TS; MPEG-2 video 176x144 25 fps only, GOP 12; the first 4 pictures are cut, so the "
       "file opens with 8 predicted pictures before its first key picture; 1.84 s",
       WriteNoKeyStartTs},
      {"interlaced.mkv",
       "Matroska; MPEG-2 video 176x144 25 fps interlaced, top field first, fields 20 ms apart; 2 s",
       WriteInterlacedMkv},
      {"sar4x3.mp4", "MP4; H.264 176x144 25 fps, sample aspect 4:3 (displays 235x144); 1 s",
       WriteSar4x3Mp4},
      {"dvbsub.mkv",
       "Matroska; MPEG-4 Visual 176x144 25 fps + DVB subtitles \"eng\": two 32x8 bitmaps shown "
       "at 0.2 s for 0.5 s and at 1.0 s for 0.7 s; 2 s",
       WriteDvbSubMkv},
      {"sizes.mjpeg",
       "Raw MJPEG (JPEG pictures back to back), no time stamps: 10 pictures 176x144, then 10 "
       "pictures 128x96",
       WriteSizesMjpeg},
      {"vfr.mkv",
       "Matroska; MPEG-4 Visual 176x144, variable frame rate: pictures 40, 40, 40, 160, 10, 10, "
       "10, 50 ms apart, repeated; 44 pictures (last at 1.92 s); 2 s",
       WriteVfrMkv},
      {"two_programs.ts",
       "MPEG-TS with 2 programs; 1 \"Pelorix One\": MPEG-2 video 176x144 + MP2 48000 Hz stereo "
       "440 Hz; 2 \"Pelorix Two\": H.264 160x120 + AAC 44100 Hz mono 1000 Hz; 25 fps; 2 s",
       WriteTwoProgramsTs},
      {"vfr_phone.mp4",
       "MP4; H.264 160x120, variable frame rate: pictures 37, 71, 53, 89, 61 ticks of 1/600 s "
       "apart, repeated; 20 pictures; 2 s",
       WriteVfrPhoneMp4},
      {"interlaced_h264.ts", "MPEG-TS; H.264 160x128 25 fps coded interlaced, top field first; 1 s",
       WriteInterlacedH264Ts},
      {"theora_vorbis.ogg",
       "Ogg; Theora 176x144 25 fps + Vorbis 44100 Hz stereo (L 440 Hz, R 1000 Hz); 2 s",
       WriteTheoraVorbisOgg},
      {"wmv.asf", "ASF; WMV 8 176x144 25 fps + WMA 2 44100 Hz stereo (L 440 Hz, R 1000 Hz); 2 s",
       WriteWmvAsf},
      {"paired_audio.mkv",
       "Matroska; the streams of wmv.asf, every second audio packet stamped with the time of "
       "the one before; 2 s",
       WritePairedAudioMkv},
      {"surround.mkv", "Matroska; AC-3 48000 Hz 5.1, one tone per channel; 1 s", WriteSurroundMkv},
      {"hirate.wav", "WAV; PCM s16le 96000 Hz stereo (L 440 Hz, R 1000 Hz); 0.5 s",
       WriteHighRateWav},
      {"h263_sar.3gp", "3GP; H.263 176x144 15 fps, sample aspect 12:11; 1 s", WriteH263Sar3gp},
      {"mpeg2.m2v", "MPEG-2 video elementary stream 176x144 25 fps, 2 B-pictures; 1 s",
       WriteMpeg2Es},
      {"mpeg1.mpg",
       "MPEG program stream; MPEG-1 video 176x144 25 fps, 2 B-pictures + MP2 44100 Hz stereo "
       "440 Hz; 1 s",
       WriteMpeg1Ps},
      {"noninterleaved.avi",
       "AVI; the streams of mpeg4_mp3.avi, all video chunks before all audio chunks; 2 s",
       WriteNonInterleavedAvi},
      {"cover.wav",
       "WAV; tone.wav with an ID3v2.3 \"id3 \" chunk holding a 64x64 JPEG front cover; 2 s",
       WriteCoverWav},
      {"photo.jpg", "JPEG photo: one 64x64 picture of the test pattern (the cover's), no clip",
       WritePhotoJpg},
      {"amr.3gp", "3GP; AMR-NB 8000 Hz mono 12.2 kbit/s, 50 frames of pseudo-random bits; 1 s",
       [](const std::filesystem::path& APath) { WriteAmr3gp(APath, AmrNb122, 1, 50); }},
      {"amr_wb_multi.3gp",
       "3GP; AMR-WB 16000 Hz mono 23.85 kbit/s as phones write it, 5 frames in every sample: 100 "
       "frames of pseudo-random bits in 20 samples; 2 s",
       [](const std::filesystem::path& APath) { WriteAmr3gp(APath, AmrWb2385, 5, 100); }},
      {"held_last.mp4",
       "MP4; H.264 160x120, variable frame rate: pictures 37, 71, 53, 89, 61 ticks of 1/600 s "
       "apart for 2 s (20 pictures), the last one shown 1.5 s; 3.5 s",
       WriteHeldLastMp4},
      {"theora_tick.ogg",
       "Ogg; Theora 176x144 with a granule rate of 600 per second, a picture every 24 ticks (25 "
       "fps, 40 pictures, one key picture); 1.6 s",
       WriteTheoraTickOgg},
      {"theora_repeat.ogg",
       "Ogg; Theora 176x144 25 fps coding every fifth picture (10 pictures), each followed by 4 "
       "empty packets that repeat it + Vorbis 44100 Hz stereo; 2 s",
       WriteTheoraRepeatOgg},
      {"header_only.mp4",
       "MP4 cut after its header (fast start, ends with the moov box of a 1 s clip): MPEG-4 "
       "Visual 176x144 25 fps + AAC 44100 Hz mono, every sample indexed, none present",
       WriteHeaderOnlyMp4},
      {"header_only.m4a",
       "M4A cut after its header (fast start, ends with the moov box of a 1 s clip): AAC "
       "44100 Hz mono, every sample indexed, none present",
       WriteHeaderOnlyM4a},
      {"tagged.flac",
       "FLAC 44100 Hz stereo (L 440 Hz, R 1000 Hz), an album track's tags (title \"Pelorix "
       "Sång\", track 3/12, disc 1/2, ...) and a 64x64 JPEG front cover; 1 s",
       WriteTaggedFlac},
      {"tagged.mp3",
       "MP3 44100 Hz stereo (L 440 Hz, R 1000 Hz) with the album track's tags of tagged.flac in "
       "ID3v2 and its front cover; 1 s",
       WriteTaggedMp3},
      {"rotate90.mp4",
       "MP4; MPEG-4 Visual 160x96 25 fps stored, display matrix turning it 90 degrees clockwise "
       "(plays 96x160), top left corner white, the others black + AAC mono; 1 s",
       [](const std::filesystem::path& APath) { WriteRotatedMp4(APath, 90); }},
      {"rotate180.mp4", "rotate90.mp4 with a display matrix turning it 180 degrees; 1 s",
       [](const std::filesystem::path& APath) { WriteRotatedMp4(APath, 180); }},
      {"rotate270.mp4",
       "rotate90.mp4 with a display matrix turning it 270 degrees clockwise (plays 96x160); 1 s",
       [](const std::filesystem::path& APath) { WriteRotatedMp4(APath, 270); }},
      {"chapters.mkv",
       "Matroska; MPEG-4 Visual 176x144 25 fps + AAC mono, title \"Pelorix Film\", chapters "
       "\"Opening\" 0-0.4 s, \"Middle\" 0.4-1.2 s, \"End\" 1.2-2 s; 2 s",
       WriteChaptersMkv},
      {"undecodable_video.avi",
       "AVI; Ut Video 64x48 25 fps + MP3 44100 Hz stereo, every byte of every video packet "
       "0xFF: the video opens as its header tells and no packet of it decodes; the audio is "
       "whole; 2 s",
       WriteUndecodableVideoAvi},
      {"read_error.nut",
       "NUT; the streams of mpeg4_mp3.avi, the second half of the file's bytes zero: reading "
       "stops there with an error; about 1 s readable of 2 s",
       WriteReadErrorNut},
      {"eac3_dts.mkv",
       "Matroska; E-AC-3 48000 Hz stereo 96 kbit/s + DTS 48000 Hz stereo 768 kbit/s, both L "
       "440 Hz, R 1000 Hz; 1 s",
       WriteEac3DtsMkv},
      {"time_jump.mp4",
       "MP4; the streams of mpeg4_mp3.avi, the picture at 1.0 s stamped to play 2 hours after "
       "it is decoded; 2 s",
       WriteTimeJumpMp4},
      {"rifx.wav",
       "Big-endian WAV (RIFX) with the extended 18-byte format chunk: PCM 16-bit stereo 44100 "
       "Hz, 0.1 s of silence",
       WriteRifxWav},
      {"garbage.bin", "4096 pseudo-random bytes, no container", WriteGarbageBin},
      {"empty.avi", "0 bytes", WriteEmptyAvi},
  };
  return Files;
}

const std::vector<TMediaFile>& BenchFiles() {
  static const std::vector<TMediaFile> Files = {
      {"bench_h264_aac.mp4",
       "MP4; H.264 640x360 25 fps with grain, GOP 50, 2 B-frames + AAC 44100 Hz stereo "
       "(L 440 Hz, R 1000 Hz); 90 s",
       WriteBenchH264AacMp4},
      {"bench_720p_h264_aac.mp4",
       "MP4; H.264 1280x720 25 fps with grain, GOP 50, 2 B-frames + AAC 44100 Hz stereo "
       "(L 440 Hz, R 1000 Hz); 20 s",
       WriteBench720pH264AacMp4},
      {"bench_1080p_h264_aac.mp4",
       "MP4; H.264 1920x1080 25 fps with grain, GOP 50, 2 B-frames + AAC 44100 Hz stereo "
       "(L 440 Hz, R 1000 Hz); 10 s",
       WriteBench1080pH264AacMp4},
      {"bench_camera_720p.mp4",
       "MP4; H.264 1280x720 25 fps at quantiser 12, a camera scene: detail at every scale, a slow "
       "pan, a moving ball, grain + AAC 44100 Hz stereo (L 440 Hz, R 1000 Hz); 5 s",
       [](const std::filesystem::path& APath) {
         WriteBenchSceneMp4(APath, TPictureContent::pcCameraScene);
       }},
      {"bench_cartoon_720p.mp4",
       "MP4; H.264 1280x720 25 fps at quantiser 12, a cartoon: flat colours, dark outlines, a "
       "bouncing ball and a sliding box + AAC 44100 Hz stereo (L 440 Hz, R 1000 Hz); 5 s",
       [](const std::filesystem::path& APath) {
         WriteBenchSceneMp4(APath, TPictureContent::pcCartoon);
       }},
      {"bench_aac_10min.m4a", "M4A; AAC 44100 Hz stereo 128 kbit/s (L 440 Hz, R 1000 Hz); 600 s",
       WriteBenchAac10MinM4a},
      {"bench_clip_aac.m4a", "M4A; AAC 44100 Hz stereo 128 kbit/s (L 440 Hz, R 1000 Hz); 30 s",
       WriteBenchClipAacM4a},
      {"bench_clip_h264_aac.mp4",
       "MP4; H.264 320x240 25 fps with grain, GOP 50, 2 B-frames + AAC 44100 Hz stereo "
       "(L 440 Hz, R 1000 Hz); 10 s",
       WriteBenchClipH264AacMp4},
  };
  return Files;
}

} // namespace pelorix::testmedia
