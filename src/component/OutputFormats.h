// The output formats a user converts to, and the one place that turns a chosen format and a
// task's source into that task's output file name and output options. The window's format list
// and the batch command line both use this unit; it uses no toolkit, and every text and path
// in it is UTF-8.
//
// Threads: the table is immutable and may be read from any thread. BuildTaskOutput and
// SetFormatOutput run on the converter's owner thread (they create folders and files).
#pragma once

#include "ProbeSummary.h"
#include "TaskOptions.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelorix {

class TVexoConverter;

// The quality a user asks of the video entries; each entry maps a level to its encoder's
// values (TOutputFormat::VideoQuality, RateScale).
enum class TQualityLevel { qlSmaller, qlBalanced, qlBetter };
constexpr size_t QualityLevelCount = 3;

// "smaller", "balanced", "better": the names the command line and the settings file use.
std::string QualityLevelName(TQualityLevel ALevel);
// The level named AName (a QualityLevelName, in any ASCII case); none for anything else.
std::optional<TQualityLevel> QualityLevelNamed(const std::string& AName);
// "Smaller file", "Balanced", "Better quality": as the window lists them.
std::string QualityLevelText(TQualityLevel ALevel);

// What a user chose beside the format: the level, and whether source streams that already fit
// the entry are copied rather than encoded again.
struct TEncodingChoice {
  TQualityLevel Level = TQualityLevel::qlBalanced;
  bool CopyFitting = false;
};

// How an entry picks its video bit rate. A fixed rate is used as is (times the level's
// RateScale); otherwise the rate is the output picture's area (width x height, after the
// entry's size limits) times BitsPerPixel, in bit/s, kept within MinVideoBitrate ..
// MaxVideoBitrate. At 30 pictures a second, 3 bit/s per pixel is 0.1 bit per pixel and picture.
// An entry at constant quality takes this rate as its cap: the largest rate, over a buffer of
// two seconds of it (see BuildTaskOutput).
struct TVideoRateRule {
  int32_t FixedBitrate = 0; // > 0: this rate whatever the size
  double BitsPerPixel = 0;
  int32_t MinVideoBitrate = 0;
  int32_t MaxVideoBitrate = 0;
};

struct TOutputFormat {
  std::string Text; // as the format list shows it: "Label (*.ext)"
  std::string Container; // the muxer; empty: chosen by the library from the extension
  std::string VideoCodec; // empty: the container's default (or none for audio only)
  std::string AudioCodec;
  std::string Settings; // muxer settings, "name=value" lines (ExtOptions), always applied
  // Encoder settings, "name=value" lines, applied only when the stream is encoded (a copied
  // stream takes none of them).
  std::string VideoSettings;
  std::string AudioSettings;
  // Constant quality: per level (smaller, balanced, better) the video encoder's quality and
  // preset as "name=value" lines, added to VideoSettings; VideoRate then gives the cap. All
  // empty: the entry encodes at VideoRate's rate.
  std::array<std::string, QualityLevelCount> VideoQuality;
  // A fixed-rate entry's rate per level, as a factor of VideoRate.FixedBitrate.
  std::array<double, QualityLevelCount> RateScale{0.7, 1.0, 1.5};
  bool AudioOnly = false;
  int32_t Target = 0; // a disc target of TOutputOptions (3 "dvd"); it sets size and rates
  TVideoRateRule VideoRate;
  // Audio: the bit rate per output channel (0: the source's own rate, as the XviD entry
  // takes it; -1: none, for lossless codecs, a quality in Settings or a target's rate), the largest channel count, the sample rates the
  // encoder can carry (empty: any), and the largest rate a lossy codec gets.
  int32_t AudioBitratePerChannel = 0;
  // The "Smaller file" level's rate per channel in its place (0: AudioBitratePerChannel): where
  // the pictures compress to little, the sound is most of the file.
  int32_t SmallerAudioBitratePerChannel = 0;
  int32_t MaxAudioBitrate = 0; // 0: no limit
  int32_t MaxChannels = 0; // 0: no limit
  std::vector<int32_t> SampleRates;
  // A copied video stream must have one of these profiles (FF_PROFILE_*); empty: any.
  std::vector<int32_t> CopyProfiles;
  // Video: the largest output width (the height follows the source's shape); frame sizes
  // are always made even, which the 4:2:0 encoders need.
  int32_t MaxWidth = 0; // 0: no limit
  // Subtitles are left out: none of the entry's containers takes the source's subtitles
  // without a conversion the engine cannot make (pictures to text, text to pictures).
  bool DropSubtitles = false;
  // The entry's video keeps a field-coded source's fields (in the source's order); every other
  // entry shows whole pictures, so such a source is deinterlaced.
  bool KeepsFields = false;
};

// Every entry, in the order the format list shows them; the first is the default.
const std::vector<TOutputFormat>& OutputFormats();

// The entry whose text, label or extension (with or without the dot) equals AName, ignoring
// ASCII case; null when none does.
const TOutputFormat* FindOutputFormat(const std::string& AName);

// The extension of an entry text: from two characters after the first "(" up to the first
// ")" after that ("XviD Video (*.avi)" gives ".avi"); empty without a "(".
std::string FormatExtension(const std::string& AText);
// The label of an entry text: the text before the first "(" less its last character, every
// "*" replaced by "x" ("XviD Video (*.avi)" gives "XviD Video").
std::string FormatLabel(const std::string& AText);
// Whether AExtension (with its dot) is one of the audio extensions, in any letter case; the
// whole extension must match. An empty extension is never listed.
bool IsAudioExtension(const std::string& AExtension);
// The extension of a path's file name with its dot, or empty.
std::string PathExtension(const std::string& APath);

// ASource without the extension of its file name, + " (" + label + ")" + extension, or with
// " [1]", " [2]", ... after the label when a file (or folder) of that name exists or the name
// is reserved for another task of this process.
std::string MakeOutputName(const std::string& ASource, const std::string& AExtension,
                           const std::string& ALabel);

// What the output options are built from: the first audio stream and the first video stream
// of pictures to play (a cover picture is not video) the task's source showed when it was
// added.
struct TSourceFacts {
  std::string OpenedFileName; // the file name recorded in the source's container
  bool HasVideo = false;
  int32_t Width = -1, Height = -1; // as the pictures play, turned as the source says
  bool Interlaced = false; // field-coded video
  int32_t Channels = -1, SampleRate = -1, AudioBitrate = -1; // -1 without audio
  // What a copy of the streams would carry: the codecs' names as the libraries give them
  // ("h264", "aac"; empty without the stream), the video's pixel format (AVPixelFormat) and
  // profile (-1 unknown), and whether its pictures play turned or mirrored.
  std::string VideoCodec, AudioCodec;
  int32_t PixelFormat = -1, Profile = -1;
  bool Turned = false;
};
TSourceFacts SourceFactsOf(const TProbeSummary& ASource);

// The limits an entry sets on the source's values.
int32_t CappedChannels(const TOutputFormat& AFormat, int32_t AChannels);
int32_t CappedSampleRate(const TOutputFormat& AFormat, int32_t ARate); // nearest allowed
// The output frame size for a source of AWidth x AHeight: even, at most MaxWidth wide with
// the shape kept. {-1, -1} for an unknown size.
std::pair<int32_t, int32_t> OutputFrameSize(const TOutputFormat& AFormat, int32_t AWidth,
                                            int32_t AHeight);
// The entry's video rate for a source of AWidth x AHeight at ALevel: a fixed rate scaled by the
// level, or the area rule's rate (the cap of a constant-quality entry); -1 for none.
int32_t VideoBitrateFor(const TOutputFormat& AFormat, int32_t AWidth, int32_t AHeight,
                        TQualityLevel ALevel = TQualityLevel::qlBalanced);
// Whether the entry encodes its video at a constant quality (with a cap) rather than a rate.
bool HasConstantQuality(const TOutputFormat& AFormat);

struct TTaskOutput {
  std::string FileName;
  TOutputOptions Options;
  // The source's streams that go into the output unchanged (see StreamCopy.h).
  bool VideoCopied = false, AudioCopied = false;
};

// A task's output file name and options for AFormat, as a conversion run makes them for every
// task: ASourceName is the source the task was added with; the output
// goes beside the source when ASameFolder, else into AFolder, which is created with its
// missing parents when it does not exist (a failure shows later, when the output is opened).
// AThreadCount goes to ThreadCount (0: automatic). The output's name is free when this returns;
// hand it to SetTaskOutput before building the next task's, so two sources of the same name
// get different outputs.
// AChoice picks the level's encoder values and whether streams that fit are copied.
TTaskOutput BuildTaskOutput(const TOutputFormat& AFormat, const std::string& ASourceName,
                            const TSourceFacts& AFacts, bool ASameFolder,
                            const std::string& AFolder, int32_t AThreadCount = 0,
                            const TEncodingChoice& AChoice = {});

// BuildTaskOutput for task AIndex of AConverter from its view (source and summary), then
// SetTaskOutput. False (the reason in the converter's LastError) when the task has started or
// its output cannot be set; the task stays in the list either way. AFileName receives the
// output's name; AOutput, when given, all that was built (name, options, the streams copied).
// Raises TTaskIndexError for a bad index.
bool SetFormatOutput(TVexoConverter& AConverter, int AIndex, const TOutputFormat& AFormat,
                     bool ASameFolder, const std::string& AFolder, int32_t AThreadCount = 0,
                     std::string* AFileName = nullptr, const TEncodingChoice& AChoice = {},
                     TTaskOutput* AOutput = nullptr);

} // namespace pelorix
