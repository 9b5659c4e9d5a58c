// TAVProbe: reads what a media file holds without converting it — how many streams of each
// kind, the first audio, video and subtitle stream, and per stream its codec, timing and
// picture or sound properties.
//
// Owner: the converter component keeps one probe to test files before they are listed, and
// every task keeps one attached to the input its engine opened. A probe either owns its
// container (Open) or borrows one (Attach); a borrowed container stays its owner's, and the
// probe must not be queried after that owner has closed it.
//
// Threads: one probe is used from one thread at a time. Stream probing runs under CodecLock,
// so probes and engines on other threads may open files at the same time. Query failures are
// reported through the media libraries' log, which the component routes by thread.
#pragma once

#include "MediaObjects.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pelorix {

// Clearing a record sets the texts to zero characters and every number to -1; a query that
// fails leaves it cleared.
struct TAudioStreamInfo {
  std::array<char, 4> Language{}; // language code as the container gives it, zero-filled
  std::array<char, 32> CodecName{}; // zero-filled
  int64_t StartTime = -1; // in the stream's time base; AV_NOPTS_VALUE kept as is
  int64_t StartTimeUS = -1; // -1 when the stream has no start time
  int64_t Duration = -1; // in the stream's time base; AV_NOPTS_VALUE kept as is
  int64_t DurationUS = -1; // -1 when the stream has no duration
  int32_t BitRate = -1; // bit/s
  int32_t Channels = -1;
  int32_t SampleRate = -1;
  int32_t SampleFormat = -1; // AVSampleFormat

  bool operator==(const TAudioStreamInfo&) const = default;
};

struct TVideoStreamInfo {
  std::array<char, 4> Language{};
  std::array<char, 32> CodecName{};
  int64_t StartTime = -1;
  int64_t StartTimeUS = -1;
  int64_t Duration = -1;
  int64_t DurationUS = -1;
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float DisplayAspect = -1.0f; // width * sample aspect / height; not finite for a 0 divisor
  int32_t PixelFormat = -1; // AVPixelFormat
  int32_t Profile = -1; // the codec's profile (FF_PROFILE_*); -1 unknown
  int32_t FrameRateNum = -1; // the stream's real base frame rate
  int32_t FrameRateDen = -1;
  // The picture as it plays: the stored one mirrored left to right when Mirrored, then turned
  // clockwise by Rotation degrees (0, 90, 180, 270), as the stream's display matrix says.
  int32_t DisplayWidth = -1;
  int32_t DisplayHeight = -1;
  int32_t Rotation = -1;
  bool Mirrored = false;
  bool Interlaced = false; // field-coded: the stream names an order of its fields
  bool AttachedPicture = false; // a cover picture of the file, no pictures to play

  bool operator==(const TVideoStreamInfo&) const = default;
};

class TAVProbe {
public:
  TAVProbe() = default;
  ~TAVProbe();
  TAVProbe(const TAVProbe&) = delete;
  TAVProbe& operator=(const TAVProbe&) = delete;

  // Loads codec, format, utility and scaling library from AFolder unless all four are bound.
  // On failure LastError names the failing library and the four are unloaded again.
  bool LoadLibraries(const std::string& AFolder, bool AVersioned);

  // Opens and probes AFileName; an empty AFormatName lets the library detect the format.
  // Raises TBindingError when a library is not bound. On false, LastError tells why and the
  // probe is closed.
  bool Open(const std::string& AFileName, const std::string& AFormatName = "");

  // Takes a container opened elsewhere without owning it. Raises TBindingError when a library
  // is not bound.
  void Attach(AVFormatContext* AContext);

  void Close();

  // A negative AIndex asks for the first stream of the kind.
  void AudioStreamInfo(int32_t AIndex, TAudioStreamInfo& AInfo) const;
  void VideoStreamInfo(int32_t AIndex, TVideoStreamInfo& AInfo) const;

  // The file name recorded in the container, at most 1024 bytes; empty without one.
  std::string OpenedFileName() const;
  // The kind of stream AIndex; AVMEDIA_TYPE_UNKNOWN without it.
  AVMediaType StreamKind(int32_t AIndex) const;
  // The container's duration in microseconds; -1 when it gives none.
  int64_t DurationUS() const;
  // Reads every packet of the open container from where it stands (once, after Open) and
  // gives each stream's span in seconds, from its first packet's time to the end of its last
  // (time plus duration), whatever the header says; -1 for a stream without a timed packet.
  // A read error ends the reading; what was read counts.
  std::vector<double> ReadStreamSpans();
  // The short name of the demuxer that reads the container ("mov,mp4,m4a,3gp,3g2,mj2",
  // "image2"); empty without one.
  std::string ContainerName() const;

  const std::string& LastError() const { return LastErrorText; }
  const std::string& FormatName() const { return OpenFormatName; }
  int32_t StreamCount() const { return Counts.Streams; }
  int32_t ProgramCount() const { return Counts.Programs; }
  int32_t AudioStreamCount() const { return Counts.AudioStreams; }
  int32_t VideoStreamCount() const { return Counts.VideoStreams; }
  int32_t SubtitleStreamCount() const { return Counts.SubtitleStreams; }
  int32_t FirstAudioStream() const { return Counts.FirstAudio; }
  int32_t FirstVideoStream() const { return Counts.FirstVideo; }
  int32_t FirstSubtitleStream() const { return Counts.FirstSubtitle; }
  // The first video stream that holds pictures to play, not a cover picture; -1 when none.
  int32_t FirstRealVideoStream() const { return Counts.FirstRealVideo; }

private:
  struct TCounts {
    int32_t Streams = -1;
    int32_t Programs = -1;
    int32_t AudioStreams = -1;
    int32_t VideoStreams = -1;
    int32_t SubtitleStreams = -1;
    int32_t FirstAudio = -1;
    int32_t FirstVideo = -1;
    int32_t FirstSubtitle = -1;
    int32_t FirstRealVideo = -1;
  };

  void TakeCounts();
  // The stream a query is about, or null after logging why there is none.
  const AVStream* QueriedStream(int32_t AIndex, AVMediaType AKind) const;

  AVFormatContext* Context = nullptr; // the open or attached container
  TInputContextPtr OwnedContext; // set when the probe opened Context itself
  std::string LastErrorText;
  std::string OpenFormatName;
  TCounts Counts;
};

} // namespace pelorix
