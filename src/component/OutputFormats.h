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

#include <cstdint>
#include <string>
#include <vector>

namespace pelorix {

class TVexoConverter;

// How an entry picks its video bit rate. A fixed rate is used as is; otherwise the rate is
// the output picture's area (width x height, after the entry's size limits) times
// BitsPerPixel, in bit/s, kept within MinVideoBitrate .. MaxVideoBitrate. At 30 pictures a
// second, 3 bit/s per pixel is 0.1 bit per pixel and picture.
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
  std::string Settings; // encoder and muxer settings, "name=value" lines (ExtOptions)
  bool AudioOnly = false;
  int32_t Target = 0; // a disc target of TOutputOptions (3 "dvd"); it sets size and rates
  TVideoRateRule VideoRate;
  // Audio: the bit rate per output channel (0: the source's own rate, as the XviD entry
  // takes it; -1: none, for lossless codecs, a quality in Settings or a target's rate), the largest channel count, the sample rates the
  // encoder can carry (empty: any), and the largest rate a lossy codec gets.
  int32_t AudioBitratePerChannel = 0;
  int32_t MaxAudioBitrate = 0; // 0: no limit
  int32_t MaxChannels = 0; // 0: no limit
  std::vector<int32_t> SampleRates;
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
};
TSourceFacts SourceFactsOf(const TProbeSummary& ASource);

// The limits an entry sets on the source's values.
int32_t CappedChannels(const TOutputFormat& AFormat, int32_t AChannels);
int32_t CappedSampleRate(const TOutputFormat& AFormat, int32_t ARate); // nearest allowed
// The output frame size for a source of AWidth x AHeight: even, at most MaxWidth wide with
// the shape kept. {-1, -1} for an unknown size.
std::pair<int32_t, int32_t> OutputFrameSize(const TOutputFormat& AFormat, int32_t AWidth,
                                            int32_t AHeight);
int32_t VideoBitrateFor(const TOutputFormat& AFormat, int32_t AWidth, int32_t AHeight);

struct TTaskOutput {
  std::string FileName;
  TOutputOptions Options;
};

// A task's output file name and options for AFormat, as a conversion run makes them for every
// task: ASourceName is the source the task was added with; the output
// goes beside the source when ASameFolder, else into AFolder, which is created with its
// missing parents when it does not exist (a failure shows later, when the output is opened).
// AThreadCount goes to ThreadCount (0: automatic). The output's name is free when this returns;
// hand it to SetTaskOutput before building the next task's, so two sources of the same name
// get different outputs.
TTaskOutput BuildTaskOutput(const TOutputFormat& AFormat, const std::string& ASourceName,
                            const TSourceFacts& AFacts, bool ASameFolder,
                            const std::string& AFolder, int32_t AThreadCount = 0);

// BuildTaskOutput for task AIndex of AConverter from its view (source and summary), then
// SetTaskOutput. False (the reason in the converter's LastError) when the task has started or
// its output cannot be set; the task stays in the list either way. AFileName receives the
// output's name. Raises TTaskIndexError for a bad index.
bool SetFormatOutput(TVexoConverter& AConverter, int AIndex, const TOutputFormat& AFormat,
                     bool ASameFolder, const std::string& AFolder, int32_t AThreadCount = 0,
                     std::string* AFileName = nullptr);

} // namespace pelorix
