// Target presets: the "target" option and SetTargetPreset. One preset sets everything a disc
// or camcorder format needs (codecs, container, picture size, frame rate, rates and buffer
// sizes, packet and mux rates, sample rate, channels, pixel format, default aspect) through
// the same option handlers, output-format setter and library options that single options
// use, so it acts exactly like the equivalent sequence of single options. It is usually
// given after the inputs are opened (the norm may be guessed from them) and before the
// output.
//
// Owner: TCustomFFmpeg. Runs on the configuring thread. A failing step raises and keeps the
// settings made before it.
#include "FFmpeg.h"

#include <cmath>

namespace pelorix {

namespace {

enum TTargetNorm { tnUnknown = -1, tnPal, tnNtsc, tnFilm };

// The frame rate of each norm, indexed by TTargetNorm.
constexpr const char* NormFrameRates[] = {"25", "30000/1001", "24000/1001"};

// The norm a rate of ANum/ADen frames per second identifies: the rate in thousandths,
// rounded to the nearest (halves to even), is 25000 for PAL, 29970 or 23976 for NTSC.
TTargetNorm NormOfRate(int64_t ANum, int64_t ADen) {
  const double Thousandths =
      std::nearbyint(static_cast<double>(ANum) * 1000.0 / static_cast<double>(ADen));
  if (Thousandths == 25000) return tnPal;
  if (Thousandths == 29970 || Thousandths == 23976) return tnNtsc;
  return tnUnknown;
}

std::string TrimmedBlanks(const std::string& AText) {
  const auto Blank = [](char C) { return static_cast<unsigned char>(C) <= ' '; };
  size_t First = 0, Last = AText.size();
  while (First < Last && Blank(AText[First])) ++First;
  while (Last > First && Blank(AText[Last - 1])) --Last;
  return AText.substr(First, Last - First);
}

// The settings of the MPEG disc targets, in the preset's own texts.
struct TDiscTarget {
  const char* Name;
  const char* VideoCodec;
  const char* AudioCodec;
  const char* SizeNtsc; // NTSC and film
  const char* SizePal;
  const char* BitRate;
  const char* MaxRate;
  const char* MinRate;
  const char* BufferSize;
  const char* PacketSize;
  const char* MuxRate; // null: not touched
  const char* AudioBitRate;
  int32_t SampleRate;
  const char* Aspect; // given when no aspect ratio is known yet
};

constexpr TDiscTarget DiscTargets[] = {
    {"vcd", "mpeg1video", "mp2", "352x240", "352x288", "1150000", "1150000", "1150000", "327680",
     "2324", "1411200", "224000", 44100, "4:3"},
    {"svcd", "mpeg2video", "mp2", "480x480", "480x576", "2040000", "2516000", "0", "1835008",
     "2324", nullptr, "224000", 44100, "4:3"},
    {"dvd", "mpeg2video", "ac3", "720x480", "720x576", "6000000", "9000000", "0", "1835008", "2048",
     "10080000", "448000", 48000, "16:9"},
};

const TDiscTarget* FindDiscTarget(const std::string& AType) {
  for (const TDiscTarget& Target : DiscTargets)
    if (AType == Target.Name) return &Target;
  return nullptr;
}

// The settings every disc target makes first, in this order.
void ApplyDiscHead(TCustomFFmpeg& AEngine, const TDiscTarget& ATarget, TTargetNorm ANorm) {
  AEngine.SetOption("vcodec", ATarget.VideoCodec);
  AEngine.SetOption("acodec", ATarget.AudioCodec);
  AEngine.SetOutputFormat(ATarget.Name);
  AEngine.SetOption("s", ANorm == tnPal ? ATarget.SizePal : ATarget.SizeNtsc);
  AEngine.SetOption("r", NormFrameRates[ANorm]);
  // "gop" is the older name of "g"; the dispatcher's alias table takes it there.
  AEngine.SetLibraryOption("gop", ANorm == tnPal ? "15" : "18");
  AEngine.SetLibraryOption("b", ATarget.BitRate);
  AEngine.SetLibraryOption("maxrate", ATarget.MaxRate);
  AEngine.SetLibraryOption("minrate", ATarget.MinRate);
  AEngine.SetLibraryOption("bufsize", ATarget.BufferSize);
}

// Mono becomes stereo; any other count is kept.
void AtLeastTwoChannels(TOptionState& AOptions) {
  if (AOptions.AudioChannels == 1) AOptions.AudioChannels = 2;
}

// The settings after the head, in each disc target's own order.
// Options is AEngine's option state: what the named options do not reach is set there.
void ApplyDiscTail(TCustomFFmpeg& AEngine, TOptionState& Options, const TDiscTarget& ATarget) {
  const std::string Type = ATarget.Name;
  if (Type == "vcd") {
    AEngine.SetLibraryOption("ab", ATarget.AudioBitRate);
    Options.AudioSampleRate = ATarget.SampleRate;
    Options.AudioChannels = 2;
    AEngine.SetLibraryOption("packetsize", ATarget.PacketSize);
    AEngine.SetLibraryOption("muxrate", ATarget.MuxRate);
    Options.MuxPreload = 0.44f;
  } else if (Type == "svcd") {
    // The scan-offset flag is now a private switch of the MPEG video encoders; the alias
    // table sends it there.
    AEngine.SetLibraryOption("flags", "+scan_offset");
    AEngine.SetLibraryOption("ab", ATarget.AudioBitRate);
    Options.AudioSampleRate = ATarget.SampleRate;
    AEngine.SetLibraryOption("packetsize", ATarget.PacketSize);
    AtLeastTwoChannels(Options);
  } else {
    AEngine.SetLibraryOption("packetsize", ATarget.PacketSize);
    AEngine.SetLibraryOption("muxrate", ATarget.MuxRate);
    AEngine.SetLibraryOption("ab", ATarget.AudioBitRate);
    Options.AudioSampleRate = ATarget.SampleRate;
    AtLeastTwoChannels(Options);
  }
}

void ApplyDvTarget(TCustomFFmpeg& AEngine, TOptionState& AOptions, const std::string& AType,
                   TTargetNorm ANorm) {
  AEngine.SetOutputFormat("dv");
  AEngine.SetOption("s", ANorm == tnPal ? "720x576" : "720x480");
  AEngine.SetOption("pix_fmt", AType == "dv50"  ? "yuv422p"
                               : ANorm == tnPal ? "yuv420p"
                                                : "yuv411p");
  AEngine.SetOption("r", NormFrameRates[ANorm]);
  AOptions.AudioSampleRate = 48000;
  AOptions.AudioChannels = 2;
}

} // namespace

void TCustomFFmpeg::OptTarget(const std::string& AValue) {
  const std::string Value = TrimmedBlanks(AValue);
  for (const char* Norm : {"pal", "ntsc", "film"}) {
    const std::string Prefix = std::string(Norm) + "-";
    if (Value.starts_with(Prefix)) {
      SetTargetPreset(Value.substr(Prefix.size()), Norm, "ntsc");
      return;
    }
  }
  SetTargetPreset(Value, "auto", "ntsc");
}

int TCustomFFmpeg::GuessTargetNorm(const std::string& AFallbackNorm) {
  if (Options.FrameRate.den == 0) throw FFMpegException("frame_rate is invalid.");
  TTargetNorm Norm = NormOfRate(Options.FrameRate.num, Options.FrameRate.den);

  // The first video stream of the opened inputs whose codec time base names a norm.
  for (int File = 0; Norm == tnUnknown && File < Files.InputFileCount; ++File) {
    const AVFormatContext* Input = Files.InputFiles[File].get();
    if (!Input) continue;
    const std::vector<TInputStreamCodec>& Codecs = StreamCodecs.Inputs[File];
    for (unsigned Stream = 0; Norm == tnUnknown && Stream < Input->nb_streams; ++Stream) {
      if (Input->streams[Stream]->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      if (Stream >= Codecs.size()) break;
      const AVRational TimeBase = Codecs[Stream].CodecTimeBase;
      // A stream without a codec time base (numerator 0) names no rate at all; it is
      // passed over instead of dividing by zero.
      if (TimeBase.num == 0) continue;
      Norm = NormOfRate(TimeBase.den, TimeBase.num);
    }
  }

  if (Norm == tnUnknown)
    Norm = AFallbackNorm == "film" ? tnFilm : AFallbackNorm == "ntsc" ? tnNtsc : tnPal;
  if (Settings.Verbose > 0)
    Log(1, std::string("Assuming ") + (Norm == tnPal ? "PAL" : "NTSC") + " for target.");
  return Norm;
}

void TCustomFFmpeg::SetTargetPreset(const std::string& AType, const std::string& ANorm,
                                    const std::string& AFallbackNorm) {
  Owner.Check(__func__);
  TTargetNorm Norm = ANorm == "pal"    ? tnPal
                     : ANorm == "ntsc" ? tnNtsc
                     : ANorm == "film" ? tnFilm
                                       : static_cast<TTargetNorm>(GuessTargetNorm(AFallbackNorm));

  if (const TDiscTarget* Disc = FindDiscTarget(AType)) {
    ApplyDiscHead(*this, *Disc, Norm);
    ApplyDiscTail(*this, Options, *Disc);
    if (Options.FrameAspectRatio == 0) {
      Log(1, std::string("Assuming ") + Disc->Aspect + " for aspect ratio");
      SetOption("aspect", Disc->Aspect);
    }
  } else if (AType == "dv" || AType == "dv50") {
    ApplyDvTarget(*this, Options, AType, Norm);
  } else {
    throw FFMpegException("Unknown target type");
  }
}

} // namespace pelorix
