// Writes one media file: encoders fed with the fixed test content (see Signals.h), their packets
// interleaved into a container, plus text streams and programs where a file needs them.
//
// Everything is set up for repeatable output: muxer and encoders run bit-exact and
// single-threaded, so a run writes the same bytes as the one before.
#pragma once

#include "MediaObjects.h"
#include "Scenes.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace pelorix::testmedia {

struct TVideoSettings {
  const char* Encoder = "mpeg4";
  int Width = 176;
  int Height = 144;
  AVRational FrameRate{25, 1};
  int GopSize = 12;
  int64_t BitRate = 200'000; // 0 leaves the encoder's own rate control alone
  AVRational SampleAspect{0, 1}; // 0/1 = unknown
  bool Interlaced = false; // top field first, fields half a frame apart
  int BFrames = -1; // -1 leaves the encoder's own choice
  // What the pictures show (Scenes.h); the test pattern by default.
  TPictureContent Content = TPictureContent::pcTestPattern;
  // Each picture gets its own pseudo-random grain of up to +-NoiseAmplitude on every sample,
  // so that the encoder cannot predict one picture from the last. 0 = a clean pattern.
  int NoiseAmplitude = 0;
  // Encoder private options ("preset", "qp", ...); opening fails if the encoder rejects one.
  std::vector<std::pair<const char*, const char*>> EncoderOptions{};
  // A variable frame rate: the gaps between pictures in units of TimeBase, used in turn.
  // Empty: one picture per 1/FrameRate.
  std::vector<int> FrameSteps{};
  AVRational TimeBase{1, 1000}; // only with FrameSteps
  // The stream's display matrix turns the stored pictures clockwise by this many degrees to
  // play (as a phone filming upright writes it); 0 writes none.
  int DisplayRotation = 0;
  // The top left 16x16 corner of every picture is white and the other three corners black, so
  // that a turned copy shows where each corner went.
  bool CornerMark = false;
  // The last picture shows for this many units of the time base (its packet's duration); 0:
  // one step like the others.
  int LastPictureHold = 0;
  // After each picture, an empty packet for every unit of the time base until the next one,
  // as encoders that repeat a picture without coding it again write them (Theora in Ogg).
  bool RepeatPackets = false;
};

struct TAudioSettings {
  const char* Encoder = "aac";
  int SampleRate = 44100;
  std::vector<double> ToneHz{440.0}; // one tone per channel; its size is the channel count
  int64_t BitRate = 64'000;
  const char* Language = nullptr;
  // Encoder options ("strict" for an experimental encoder); opening fails if one is refused.
  std::vector<std::pair<const char*, const char*>> EncoderOptions{};
};

struct TCue {
  int64_t StartMs = 0;
  int64_t DurationMs = 0;
  std::string Text;
};

// Text cues, or with the DVB subtitle codec a small bitmap per cue (its text is not drawn).
struct TTextSettings {
  AVCodecID Codec = AV_CODEC_ID_SUBRIP;
  const char* Language = nullptr;
  std::vector<TCue> Cues;
};

// One encoder and the stream its packets go to.
struct TEncoderStream {
  TCodecContextPtr Codec;
  AVStream* Stream = nullptr;
  TFramePtr Frame;
  bool Interlaced = false;
  bool CornerMark = false;
  int NoiseAmplitude = 0;
  TPictureContent Content = TPictureContent::pcTestPattern;
  std::vector<double> ToneHz; // empty for video
  int64_t NextPts = 0; // in Codec->time_base: picture time or sample position
  int64_t PictureIndex = 0; // pictures made so far (what the test pattern shows)
  std::vector<int> FrameSteps; // variable frame rate: gaps between pictures, used in turn
  int LastPictureHold = 0;
  bool RepeatPackets = false;
  // How long each picture sent shows (pts, duration, in the codec's time base), for the
  // packets the encoder gives back in another order.
  std::vector<std::pair<int64_t, int64_t>> Shows;
  int64_t EndPts = 0;
  // Packets thrown away as they leave the encoder, to make a file that starts mid-GOP.
  int DropLeadingPackets = 0;
};

class TMuxer {
public:
  // AFormat is the muxer's short name ("mp4", "matroska", ...).
  TMuxer(std::filesystem::path APath, const char* AFormat);
  TMuxer(const TMuxer&) = delete;
  TMuxer& operator=(const TMuxer&) = delete;

  TEncoderStream& AddVideo(const TVideoSettings& ASettings);
  TEncoderStream& AddAudio(const TAudioSettings& ASettings);
  void AddText(const TTextSettings& ASettings);
  // A program (MPEG-TS service) AId named AName made of the given streams.
  void AddProgram(int AId, const char* AName, const std::vector<const TEncoderStream*>& AStreams);

  // A private option of the muxer ("movflags", ...); throws if the muxer has no such option.
  void SetMuxerOption(const char* AName, const char* AValue);

  // A tag of the file, by the libraries' generic name ("title", "album_artist", ...).
  void SetTag(const char* AName, const char* AValue);
  // A chapter from AStartMs to AEndMs called ATitle.
  void AddChapter(int64_t AStartMs, int64_t AEndMs, const char* ATitle);
  // A front cover: the picture APicture (JPEG bytes of AWidth x AHeight) attached to the file.
  void AddCover(const std::string& APicture, int AWidth, int AHeight);

  // Writes the file: header, the cues, ASeconds of encoded content, trailer.
  void Write(double ASeconds);

private:
  struct TTextStream {
    AVStream* Stream = nullptr;
    std::vector<TCue> Cues;
    // Bitmap subtitles: each cue becomes a small picture made by this encoder.
    TCodecContextPtr Encoder;
  };

  AVStream* NewStream();
  void OpenEncoder(TEncoderStream& AEncoder, const AVCodec& ACodec,
                   const std::vector<std::pair<const char*, const char*>>& AOptions = {});
  void WriteCues(const TTextStream& AText);
  void EncodeBitmapCue(const TTextStream& AText, const TCue& ACue);
  void EncodeNext(TEncoderStream& AEncoder);
  void SendFrame(TEncoderStream& AEncoder, const AVFrame* AFrame);
  void WritePacket(TEncoderStream& AEncoder);

  std::filesystem::path Path;
  TOutputContextPtr Output;
  TPacketPtr Packet;
  std::vector<std::unique_ptr<TEncoderStream>> Encoders;
  std::vector<TTextStream> Texts;
  AVStream* CoverStream = nullptr;
  std::string CoverPicture;
};

} // namespace pelorix::testmedia
