#include "OutputFormats.h"

#include "OutputClaim.h"
#include "StreamCopy.h"
#include "VexoConverter.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace pelorix {

namespace {

const char* const AudioExtensions[] = {".aac", ".ac3", ".mp2", ".mp3",  ".wav",
                                       ".wma", ".amr", ".ogg", ".flac", ".ra"};

const std::vector<int32_t> Mp3Rates = {8000,  11025, 12000, 16000, 22050,
                                       24000, 32000, 44100, 48000};
const std::vector<int32_t> AacRates = {7350,  8000,  11025, 12000, 16000, 22050, 24000,
                                       32000, 44100, 48000, 64000, 88200, 96000};
const std::vector<int32_t> AacPhoneRates = {7350,  8000,  11025, 12000, 16000,
                                            22050, 24000, 32000, 44100, 48000};
const std::vector<int32_t> OpusRates = {8000, 12000, 16000, 24000, 48000};

// The caps of the constant-quality entries: H.264 at 12 bit/s per pixel, 24.9 Mbit/s at
// 1920x1080, 11.1 Mbit/s at 1280x720, about four times what the balanced level writes of a
// grainy camera clip; MPEG-4 Visual at 16 bit/s per pixel, 1.1 Mbit/s at 352x198. A source no
// encoder can squeeze (noise in every sample) then stays within a known size.
constexpr TVideoRateRule H264Cap{0, 12.0, 500000, 40000000};
constexpr TVideoRateRule Mpeg4PhoneCap{0, 16.0, 400000, 4000000};

std::vector<TOutputFormat> MakeTable() {
  std::vector<TOutputFormat> Table;
  auto Add = [&Table](TOutputFormat AFormat) { Table.push_back(std::move(AFormat)); };

  TOutputFormat XviD;
  XviD.Text = "XviD Video (*.avi)";
  XviD.VideoCodec = "libxvid";
  XviD.AudioCodec = "libmp3lame";
  XviD.VideoRate.FixedBitrate = 1500000; // x 0.7, 1, 1.5 by level
  XviD.AudioBitratePerChannel = 0; // the source's rate
  XviD.MaxAudioBitrate = 320000;
  XviD.MaxChannels = 2;
  XviD.SampleRates = Mp3Rates;
  Add(XviD);

  TOutputFormat Mp4;
  Mp4.Text = "MP4 Video (*.mp4)";
  Mp4.Container = "mp4";
  Mp4.VideoCodec = "libx264";
  Mp4.AudioCodec = "aac";
  Mp4.Settings = "movflags=+faststart";
  Mp4.VideoSettings = "pix_fmt=yuv420p";
  // Rate factor and preset by level, chosen on the quality benchmark's clips
  // (bench/quality-bench): against x264's own defaults ("medium", 23) the balanced level keeps
  // the picture within a quarter of a decibel at about 1.1 times the size, in under half the
  // CPU time; "better" adds 2 to 5 dB. "Smaller" writes 0.35 of balanced's bytes on the camera
  // clip (1.3 dB less than at rate factor 25, which wrote 0.52) and 0.56 on the cartoon, whose
  // pictures shrink little below balanced (rate factor 25 to 27: 46 to 39 kB of the 5 s)
  // while its sound at 64 kbit/s a channel was half the file: hence half that rate.
  Mp4.VideoQuality = {"crf=27\npreset=veryfast", "crf=20.5\npreset=veryfast",
                      "crf=17.5\npreset=faster"};
  Mp4.VideoRate = H264Cap;
  Mp4.AudioBitratePerChannel = 64000;
  Mp4.SmallerAudioBitratePerChannel = 32000;
  Mp4.MaxChannels = 2;
  Mp4.SampleRates = AacRates;
  Mp4.DropSubtitles = true;
  Add(Mp4);

  TOutputFormat WebM;
  WebM.Text = "WebM Video (*.webm)";
  WebM.Container = "webm";
  WebM.VideoCodec = "libvpx-vp9";
  WebM.AudioCodec = "libopus";
  // Constant quality needs the bit rate 0 (with a rate the encoder bounds the quality by it);
  // libvpx's constant-quality mode has no rate bound, so the entry has no cap.
  WebM.VideoSettings = "pix_fmt=yuv420p\nrow-mt=1\nb=0";
  // Balanced is as sharp as the MP4 entry's balanced level (within 0.3 dB on both bench clips;
  // at 33 the cartoon came out 2.5 dB sharper and larger), writing 0.36 of its bytes on the
  // camera clip and 0.86 on the cartoon, in about three times its CPU time. "Better" adds
  // 1.9 dB on the camera clip and 7 dB on the cartoon: grain keeps VP9 from gaining more than
  // 1.5 dB below 24 at speed 5, speed 4 gives the rest. "Smaller" writes about half.
  WebM.VideoQuality = {"crf=46\ndeadline=good\ncpu-used=6", "crf=37\ndeadline=good\ncpu-used=5",
                       "crf=24\ndeadline=good\ncpu-used=4"};
  // Opus's free variable rate spends up to twice the rate asked on tonal sound (176 kbit/s for
  // 96 on the bench clips' two tones); constrained, it keeps near the rate set here.
  WebM.AudioSettings = "vbr=constrained";
  WebM.AudioBitratePerChannel = 48000;
  WebM.SmallerAudioBitratePerChannel = 24000;
  WebM.MaxChannels = 2;
  WebM.SampleRates = OpusRates;
  WebM.DropSubtitles = true;
  Add(WebM);

  TOutputFormat Mkv = Mp4;
  Mkv.Text = "Matroska Video (*.mkv)";
  Mkv.Container = "matroska";
  Mkv.Settings.clear();
  Mkv.MaxChannels = 6;
  Add(Mkv);

  TOutputFormat Phone;
  Phone.Text = "3GP Phone Video (*.3gp)";
  Phone.Container = "3gp";
  Phone.VideoCodec = "mpeg4";
  Phone.AudioCodec = "aac";
  // Macroblock decisions by rate and distortion: with the plain decision a flat picture at
  // some quantisers (6, 10, 11, 13) codes noise into every P-picture, twice the bytes for a
  // worse picture than the next coarser quantiser's.
  Phone.VideoSettings = "pix_fmt=yuv420p\nmbd=rd";
  // A fixed quantiser by level. Measured at the entry's 352-wide size (the loss of detail from
  // 1280 to 352 pictures is the same at every level): "better" adds 3 dB on the camera clip and
  // 4 on the cartoon, well within the cap (0.85 Mbit/s of 1.1 on the camera); "smaller", with
  // half the sound's rate, writes 0.38 and 0.53 of balanced's bytes.
  Phone.VideoQuality = {"qscale=12", "qscale=5", "qscale=3"};
  Phone.VideoRate = Mpeg4PhoneCap;
  Phone.AudioBitratePerChannel = 48000;
  Phone.SmallerAudioBitratePerChannel = 24000;
  Phone.MaxChannels = 2;
  Phone.SampleRates = AacPhoneRates;
  Phone.MaxWidth = 352;
  // Phones play MPEG-4 Visual's simple profile; a copy keeps other profiles' B-pictures.
  Phone.CopyProfiles = {FF_PROFILE_MPEG4_SIMPLE};
  Phone.DropSubtitles = true;
  Add(Phone);

  TOutputFormat Dvd;
  Dvd.Text = "DVD Video (*.mpg)";
  Dvd.Target = 3; // codecs, container, size, frame rate, rates: the target's, by its norm
  Dvd.AudioBitratePerChannel = -1;
  Dvd.MaxChannels = 6;
  Dvd.DropSubtitles = true;
  Dvd.KeepsFields = true;
  Add(Dvd);

  TOutputFormat Mp3;
  Mp3.Text = "MP3 Audio (*.mp3)";
  Mp3.Container = "mp3";
  Mp3.AudioCodec = "libmp3lame";
  Mp3.AudioOnly = true;
  Mp3.AudioBitratePerChannel = 96000;
  Mp3.MaxAudioBitrate = 320000;
  Mp3.MaxChannels = 2;
  Mp3.SampleRates = Mp3Rates;
  Mp3.DropSubtitles = true;
  Add(Mp3);

  TOutputFormat Aac;
  Aac.Text = "AAC Audio (*.m4a)";
  Aac.Container = "ipod";
  Aac.AudioCodec = "aac";
  Aac.Settings = "movflags=+faststart";
  Aac.AudioOnly = true;
  Aac.AudioBitratePerChannel = 64000;
  Aac.MaxChannels = 6;
  Aac.SampleRates = AacRates;
  Aac.DropSubtitles = true;
  Add(Aac);

  TOutputFormat Opus;
  Opus.Text = "Opus Audio (*.opus)";
  Opus.Container = "opus";
  Opus.AudioCodec = "libopus";
  Opus.AudioOnly = true;
  Opus.AudioBitratePerChannel = 48000;
  Opus.MaxChannels = 2;
  Opus.SampleRates = OpusRates;
  Opus.DropSubtitles = true;
  Add(Opus);

  TOutputFormat Flac;
  Flac.Text = "FLAC Audio (*.flac)";
  Flac.Container = "flac";
  Flac.AudioCodec = "flac";
  Flac.AudioOnly = true;
  Flac.AudioBitratePerChannel = -1;
  Flac.MaxChannels = 8;
  Flac.DropSubtitles = true;
  Add(Flac);

  TOutputFormat Wav;
  Wav.Text = "WAV Audio (*.wav)";
  Wav.Container = "wav";
  Wav.AudioCodec = "pcm_s16le";
  Wav.AudioOnly = true;
  Wav.AudioBitratePerChannel = -1;
  Wav.DropSubtitles = true;
  Add(Wav);

  TOutputFormat Vorbis;
  Vorbis.Text = "Ogg Vorbis Audio (*.ogg)";
  Vorbis.Container = "ogg";
  Vorbis.AudioCodec = "libvorbis";
  // Quality 4 (about 128 kbit/s in stereo): the encoder refuses many bit rates at low
  // sample rates, a quality suits every rate.
  Vorbis.AudioSettings = "aq=4";
  Vorbis.AudioOnly = true;
  Vorbis.AudioBitratePerChannel = -1;
  Vorbis.MaxChannels = 6;
  Vorbis.DropSubtitles = true;
  Add(Vorbis);
  return Table;
}

char LowerAscii(char AChar) {
  return AChar >= 'A' && AChar <= 'Z' ? static_cast<char>(AChar - 'A' + 'a') : AChar;
}

bool SameIgnoringCase(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return LowerAscii(X) == LowerAscii(Y);
         });
}

size_t FileNameStart(const std::string& APath) {
  const size_t Slash = APath.find_last_of('/');
  return Slash == std::string::npos ? 0 : Slash + 1;
}

bool PathExists(const std::string& APath) {
  std::error_code Error;
  return std::filesystem::exists(std::filesystem::u8path(APath), Error);
}

int32_t EvenDown(int64_t AValue) {
  return static_cast<int32_t>(std::max<int64_t>(2, AValue - AValue % 2));
}

} // namespace

std::string QualityLevelName(TQualityLevel ALevel) {
  switch (ALevel) {
  case TQualityLevel::qlSmaller:
    return "smaller";
  case TQualityLevel::qlBetter:
    return "better";
  case TQualityLevel::qlBalanced:
    break;
  }
  return "balanced";
}

std::optional<TQualityLevel> QualityLevelNamed(const std::string& AName) {
  for (TQualityLevel Level :
       {TQualityLevel::qlSmaller, TQualityLevel::qlBalanced, TQualityLevel::qlBetter})
    if (SameIgnoringCase(AName, QualityLevelName(Level))) return Level;
  return std::nullopt;
}

std::string QualityLevelText(TQualityLevel ALevel) {
  switch (ALevel) {
  case TQualityLevel::qlSmaller:
    return "Smaller file";
  case TQualityLevel::qlBetter:
    return "Better quality";
  case TQualityLevel::qlBalanced:
    break;
  }
  return "Balanced";
}

const std::vector<TOutputFormat>& OutputFormats() {
  static const std::vector<TOutputFormat> Table = MakeTable();
  return Table;
}

const TOutputFormat* FindOutputFormat(const std::string& AName) {
  for (const TOutputFormat& Format : OutputFormats()) {
    const std::string Extension = FormatExtension(Format.Text);
    if (SameIgnoringCase(AName, Format.Text) || SameIgnoringCase(AName, FormatLabel(Format.Text)) ||
        SameIgnoringCase(AName, Extension) ||
        (!Extension.empty() && SameIgnoringCase(AName, Extension.substr(1))))
      return &Format;
  }
  return nullptr;
}

std::string FormatExtension(const std::string& AText) {
  const size_t Open = AText.find('(');
  if (Open == std::string::npos || Open + 2 > AText.size()) return "";
  const size_t Close = AText.find(')', Open + 2);
  return AText.substr(Open + 2, Close == std::string::npos ? std::string::npos : Close - Open - 2);
}

std::string FormatLabel(const std::string& AText) {
  const size_t Open = AText.find('(');
  std::string Label = Open == std::string::npos ? AText : AText.substr(0, Open);
  if (Open != std::string::npos && !Label.empty()) Label.pop_back();
  std::replace(Label.begin(), Label.end(), '*', 'x');
  return Label;
}

bool IsAudioExtension(const std::string& AExtension) {
  return std::any_of(std::begin(AudioExtensions), std::end(AudioExtensions),
                     [&](const char* AListed) { return SameIgnoringCase(AExtension, AListed); });
}

std::string PathExtension(const std::string& APath) {
  const size_t Dot = APath.find_last_of('.');
  if (Dot == std::string::npos || Dot < FileNameStart(APath)) return "";
  return APath.substr(Dot);
}

std::string MakeOutputName(const std::string& ASource, const std::string& AExtension,
                           const std::string& ALabel) {
  const std::string Base = ASource.substr(0, ASource.size() - PathExtension(ASource).size());
  std::string Name = Base + " (" + ALabel + ")" + AExtension;
  for (int N = 1; PathExists(Name) || OutputNameReserved(Name); ++N)
    Name = Base + " (" + ALabel + " [" + std::to_string(N) + "])" + AExtension;
  return Name;
}

TSourceFacts SourceFactsOf(const TProbeSummary& ASource) {
  TSourceFacts Facts;
  Facts.OpenedFileName = ASource.FileName;
  if (ASource.AudioStreamCount > 0) {
    Facts.Channels = ASource.Audio.Channels;
    Facts.SampleRate = ASource.Audio.SampleRate;
    Facts.AudioBitrate = ASource.Audio.BitRate;
    Facts.AudioCodec = ASource.Audio.CodecName.data();
  }
  Facts.HasVideo = ASource.VideoStreamCount > 0 && !ASource.Video.AttachedPicture;
  if (Facts.HasVideo) {
    Facts.Width = ASource.Video.DisplayWidth;
    Facts.Height = ASource.Video.DisplayHeight;
    Facts.Interlaced = ASource.Video.Interlaced;
    Facts.VideoCodec = ASource.Video.CodecName.data();
    Facts.PixelFormat = ASource.Video.PixelFormat;
    Facts.Profile = ASource.Video.Profile;
    Facts.Turned = ASource.Video.Rotation > 0 || ASource.Video.Mirrored;
  }
  return Facts;
}

int32_t CappedChannels(const TOutputFormat& AFormat, int32_t AChannels) {
  if (AChannels <= 0 || AFormat.MaxChannels <= 0) return AChannels;
  return std::min(AChannels, AFormat.MaxChannels);
}

int32_t CappedSampleRate(const TOutputFormat& AFormat, int32_t ARate) {
  if (ARate <= 0 || AFormat.SampleRates.empty()) return ARate;
  int32_t Best = AFormat.SampleRates.front();
  for (int32_t Rate : AFormat.SampleRates) // ascending: a tie goes to the higher rate
    if (std::abs(int64_t{Rate} - ARate) <= std::abs(int64_t{Best} - ARate)) Best = Rate;
  return Best;
}

std::pair<int32_t, int32_t> OutputFrameSize(const TOutputFormat& AFormat, int32_t AWidth,
                                            int32_t AHeight) {
  if (AWidth <= 0 || AHeight <= 0) return {-1, -1};
  int64_t Width = AWidth, Height = AHeight;
  if (AFormat.MaxWidth > 0 && Width > AFormat.MaxWidth) {
    Height = (Height * AFormat.MaxWidth + Width / 2) / Width;
    Width = AFormat.MaxWidth;
  }
  return {EvenDown(Width), EvenDown(Height)};
}

bool HasConstantQuality(const TOutputFormat& AFormat) {
  return std::any_of(AFormat.VideoQuality.begin(), AFormat.VideoQuality.end(),
                     [](const std::string& ASettings) { return !ASettings.empty(); });
}

int32_t VideoBitrateFor(const TOutputFormat& AFormat, int32_t AWidth, int32_t AHeight,
                        TQualityLevel ALevel) {
  const TVideoRateRule& Rule = AFormat.VideoRate;
  if (Rule.FixedBitrate > 0)
    return static_cast<int32_t>(
        std::lround(Rule.FixedBitrate * AFormat.RateScale[static_cast<size_t>(ALevel)]));
  if (Rule.BitsPerPixel <= 0) return -1;
  const auto [Width, Height] = OutputFrameSize(AFormat, AWidth, AHeight);
  if (Width <= 0) return Rule.MinVideoBitrate > 0 ? Rule.MinVideoBitrate : -1;
  const double Rate = std::round(double(Width) * Height * Rule.BitsPerPixel);
  return static_cast<int32_t>(std::clamp<double>(Rate, Rule.MinVideoBitrate, Rule.MaxVideoBitrate));
}

TTaskOutput BuildTaskOutput(const TOutputFormat& AFormat, const std::string& ASourceName,
                            const TSourceFacts& AFacts, bool ASameFolder,
                            const std::string& AFolder, int32_t AThreadCount,
                            const TEncodingChoice& AChoice) {
  const std::string Extension = FormatExtension(AFormat.Text);
  const std::string Label = FormatLabel(AFormat.Text);
  TTaskOutput Result;
  if (ASameFolder) {
    Result.FileName = MakeOutputName(ASourceName, Extension, Label);
  } else {
    std::error_code Ignored; // a folder that cannot be made fails the output's opening
    std::filesystem::create_directories(std::filesystem::u8path(AFolder), Ignored);
    Result.FileName = MakeOutputName(AFolder + "/" + ASourceName.substr(FileNameStart(ASourceName)),
                                     Extension, Label);
  }

  TOutputOptions& O = Result.Options;
  InitOutputOptions(O);
  O.FileFormat = AFormat.Container;
  O.ExtOptions = AFormat.Settings;
  const auto AddSettings = [&O](const std::string& ALines) {
    if (ALines.empty()) return;
    O.ExtOptions += std::string(O.ExtOptions.empty() ? "" : "\n") + ALines;
  };
  // Video that is there stays, whatever the source's name says (".ogg" with Theora).
  O.DisableVideo = AFormat.AudioOnly || IsAudioExtension(Extension) || !AFacts.HasVideo;
  const TStreamCopy Copy = StreamsToCopy(AFormat, AFacts, AChoice);
  Result.VideoCopied = Copy.Video && !O.DisableVideo;
  Result.AudioCopied = Copy.Audio;
  O.VideoCodec = Result.VideoCopied ? "copy" : AFormat.VideoCodec;
  O.AudioCodec = Result.AudioCopied ? "copy" : AFormat.AudioCodec;

  if (!Result.AudioCopied) {
    O.AudioChannels = CappedChannels(AFormat, AFacts.Channels);
    O.AudioSampleRate = CappedSampleRate(AFormat, AFacts.SampleRate);
    const int32_t PerChannel =
        AChoice.Level == TQualityLevel::qlSmaller && AFormat.SmallerAudioBitratePerChannel > 0
            ? AFormat.SmallerAudioBitratePerChannel
            : AFormat.AudioBitratePerChannel;
    if (PerChannel == 0)
      O.AudioBitrate = AFacts.AudioBitrate;
    else if (PerChannel > 0 && O.AudioChannels > 0)
      O.AudioBitrate = PerChannel * O.AudioChannels;
    if (AFormat.MaxAudioBitrate > 0 && O.AudioBitrate > AFormat.MaxAudioBitrate)
      O.AudioBitrate = AFormat.MaxAudioBitrate;
    AddSettings(AFormat.AudioSettings);
  }

  if (!O.DisableVideo && !Result.VideoCopied && AFormat.Target == 0) {
    const auto [Width, Height] = OutputFrameSize(AFormat, AFacts.Width, AFacts.Height);
    if (Width > 0) O.FrameSize = std::to_string(Width) + "x" + std::to_string(Height);
    AddSettings(AFormat.VideoSettings);
    const int32_t Rate = VideoBitrateFor(AFormat, AFacts.Width, AFacts.Height, AChoice.Level);
    if (HasConstantQuality(AFormat)) {
      AddSettings(AFormat.VideoQuality[static_cast<size_t>(AChoice.Level)]);
      // The cap: at most Rate on average over any two seconds.
      if (Rate > 0) {
        O.VideoMaxRate = Rate;
        O.VideoBufferSize = Rate > INT32_MAX / 2 ? INT32_MAX : 2 * Rate;
      }
    } else {
      O.VideoBitrate = Rate;
    }
  }
  if (!O.DisableVideo && !Result.VideoCopied && AFacts.Interlaced)
    AddSettings(AFormat.KeepsFields ? "flags=+ildct+ilme" : "deinterlace_fields=");
  O.DisableSubtitle = AFormat.DropSubtitles;
  // The target guesses the norm from the source's video, else takes the fallback, PAL. A
  // source without video gets the fallback here: the guess would fail on its frame rate.
  O.Target = AFormat.Target;
  if (O.Target != 0 && !AFacts.HasVideo) O.Norm = O.FallbackNorm == 1 ? 1 : 2;
  O.ThreadCount = AThreadCount;
  return Result;
}

bool SetFormatOutput(TVexoConverter& AConverter, int AIndex, const TOutputFormat& AFormat,
                     bool ASameFolder, const std::string& AFolder, int32_t AThreadCount,
                     std::string* AFileName, const TEncodingChoice& AChoice, TTaskOutput* AOutput) {
  const TTaskView Task = AConverter.Tasks(AIndex);
  if (AFileName) AFileName->clear();
  if (Task.State != TTaskState::tsListed && Task.State != TTaskState::tsConfigured)
    return AConverter.SetTaskOutput(AIndex, ""); // started: the converter says so
  TTaskOutput Output = BuildTaskOutput(AFormat, Task.SourcePath, SourceFactsOf(Task.Source),
                                       ASameFolder, AFolder, AThreadCount, AChoice);
  if (AFileName) *AFileName = Output.FileName;
  if (AOutput) *AOutput = Output;
  return AConverter.SetTaskOutput(AIndex, Output.FileName, &Output.Options);
}

} // namespace pelorix
