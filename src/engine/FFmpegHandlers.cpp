// Option value handlers: the options whose values are parsed and checked before they reach
// the engine's fields. Each handler succeeds silently, logs an information line, or raises
// with a fixed message; a handler that raises keeps the fields it had already written.
//
// Owner: the engine. Threads: the thread that sets the options.
#include "FFmpeg.h"

#include "OptionConversions.h"
#include "ProgramFolder.h"

#include <locale.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <new>

namespace pelorix {

namespace {

// At most this many arguments of a "vhook" value reach the module.
constexpr int MaxHookArguments = 254;

std::string Trimmed(const std::string& AText) {
  const size_t First = AText.find_first_not_of(" \t\r\n");
  if (First == std::string::npos) return {};
  return AText.substr(First, AText.find_last_not_of(" \t\r\n") + 1 - First);
}

// A "C integer": the support library's strtol with base 0 (decimal, "0x" hexadecimal,
// leading 0 octal) up to the first character that cannot continue the number; AEnd points
// there. Held to the 32-bit range of the fields it fills, as a 32-bit C long saturates,
// rather than wrapping a long number into some other small index.
int32_t CInteger(const char* AText, const char** AEnd) {
  char* End = nullptr;
  const long Value = MyUtil().my_strtol(AText, &End, 0);
  *AEnd = End;
  return static_cast<int32_t>(std::clamp<long>(Value, INT32_MIN, INT32_MAX));
}

// A "C floating" number: the support library's strtod, read in the C numeric locale. The
// program may run in a locale with a decimal comma (the GUI framework adopts the user's),
// and these values are written with a point.
double CFloating(const char* AText) {
  static const locale_t CNumeric = ::newlocale(LC_NUMERIC_MASK, "C", nullptr);
  const locale_t Previous = CNumeric ? ::uselocale(CNumeric) : nullptr;
  const double Value = MyUtil().my_strtod(AText, nullptr);
  if (Previous) ::uselocale(Previous);
  return Value;
}

// A "leading integer": blanks skipped, an optional sign, decimal digits or hexadecimal
// digits after "$" or "0x", read up to the first character that cannot continue it; 0 when
// no digit follows. Held to the 32-bit range.
int32_t LeadingInteger(const char* AText) {
  const char* P = AText;
  while (*P == ' ' || *P == '\t') ++P;
  bool Negative = false;
  if (*P == '+' || *P == '-') Negative = *P++ == '-';
  int Base = 10;
  if (*P == '$') {
    Base = 16;
    ++P;
  } else if (P[0] == '0' && (P[1] == 'x' || P[1] == 'X')) {
    Base = 16;
    P += 2;
  }
  int64_t Magnitude = 0;
  for (;; ++P) {
    int Digit = 0;
    if (*P >= '0' && *P <= '9')
      Digit = *P - '0';
    else if (Base == 16 && *P >= 'a' && *P <= 'f')
      Digit = *P - 'a' + 10;
    else if (Base == 16 && *P >= 'A' && *P <= 'F')
      Digit = *P - 'A' + 10;
    else
      break;
    Magnitude = std::min<int64_t>(Magnitude * Base + Digit, int64_t{INT32_MAX} + 1);
  }
  return static_cast<int32_t>(
      std::clamp<int64_t>(Negative ? -Magnitude : Magnitude, INT32_MIN, INT32_MAX));
}

int32_t IntegerOrZero(const std::string& AText) {
  try {
    return StrToInt(AText);
  } catch (const TConvertError&) {
    return 0;
  }
}

double FloatOrZero(const std::string& AText) {
  try {
    return StrToFloat(AText);
  } catch (const TConvertError&) {
    return 0;
  }
}

// Microseconds to whole seconds, rounded to the nearest, halves to even.
int64_t RoundedSeconds(int64_t AMicroseconds) {
  constexpr int64_t Second = AV_TIME_BASE;
  int64_t Seconds = AMicroseconds / Second;
  int64_t Rest = AMicroseconds % Second;
  if (Rest < 0) {
    Rest += Second;
    --Seconds;
  }
  if (Rest > Second / 2 || (Rest == Second / 2 && Seconds % 2 != 0)) ++Seconds;
  return Seconds;
}

// The library's description of every format of a kind, the heading (index -1) first.
template <class TFormat, class TDescribe>
std::vector<std::string> FormatTable(TDescribe ADescribe, int ACount) {
  std::vector<std::string> Lines;
  char Buffer[128];
  for (int Index = -1; Index < ACount; ++Index) {
    Buffer[0] = '\0';
    ADescribe(Buffer, sizeof Buffer, static_cast<TFormat>(Index));
    Lines.push_back(Trimmed(Buffer));
  }
  return Lines;
}

// The side a crop or pad option acts on, from the end of its name: 0 top, 1 bottom, 2 left,
// 3 right.
int SideOf(const std::string& AName) {
  if (AName.ends_with("top")) return 0;
  if (AName.ends_with("bottom")) return 1;
  if (AName.ends_with("left")) return 2;
  return 3;
}

constexpr const char* SideNames[] = {"Top", "Bottom", "Left", "Right"};

} // namespace

// --- Container format, bit rate, codec names ---

void TCustomFFmpeg::OptBitRate(const std::string& AName, const std::string& AValue) {
  if (!SetLibraryOption(AName, AValue) || !Callbacks.LogCallback) return;
  const int Kind = AName[0] == 'a' ? ckAudio : ckVideo;
  int64_t Rate = 0;
  AVUtil().av_opt_get_int(LibOptions.CodecOptions[Kind].get(), "b", 0, &Rate);
  // 0 is no rate: the encoder's own quality control (a constant quality) decides.
  if (Rate > 0 && Rate < 1000)
    Log(1, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not "
           "kbits/s");
}

void TCustomFFmpeg::OptCodecName(const std::string& AName, const std::string& AValue) {
  TAvString& Field = AName[0] == 'v'   ? Options.VideoCodecName
                     : AName[0] == 'a' ? Options.AudioCodecName
                                       : Options.SubtitleCodecName;
  int32_t& Copy = AName[0] == 'v'   ? Options.VideoStreamCopy
                  : AName[0] == 'a' ? Options.AudioStreamCopy
                                    : Options.SubtitleStreamCopy;
  if (AValue.empty()) return;
  Field.reset();
  if (AValue == "copy")
    Copy = 1;
  else
    Field = AvStrDup(AValue.c_str());
}

std::string TCustomFFmpeg::InputFormatName(const std::string& AName) {
  if (AName != "pgmyuv") return AName;
  Settings.PgmyuvCompatibilityHack = 1;
  Log(1, "pgmyuv format is deprecated, use image2");
  return "image2";
}

void TCustomFFmpeg::OptFormat(const std::string& AValue) {
  if (AValue.empty()) return;
  const std::string Name = InputFormatName(AValue);
  Options.FileInputFormat = AVFormat().av_find_input_format(Name.c_str());
  Options.FileOutputFormat = AVFormat().av_guess_format(Name.c_str(), nullptr, nullptr);
  if (!Options.FileInputFormat && !Options.FileOutputFormat)
    throw FFMpegException("Unknown input or output format: " + AValue);
}

void TCustomFFmpeg::SetInputFormat(const std::string& AName) {
  Owner.Check(__func__);
  const std::string Name = InputFormatName(AName);
  Options.FileInputFormat = AVFormat().av_find_input_format(Name.c_str());
  if (!Options.FileInputFormat) throw FFMpegException("Unknown input format: " + AName);
}

void TCustomFFmpeg::SetOutputFormat(const std::string& AName) {
  Owner.Check(__func__);
  Options.FileOutputFormat = AVFormat().av_guess_format(AName.c_str(), nullptr, nullptr);
  if (!Options.FileOutputFormat) throw FFMpegException("Unknown output format: " + AName);
}

// --- Times ---

int64_t TCustomFFmpeg::ParseTime(const std::string& AName, const std::string& AValue,
                                 bool ADuration) {
  int64_t Result = 0;
  if (AVUtil().av_parse_time(&Result, AValue.c_str(), ADuration ? 1 : 0) < 0)
    throw FFMpegException("Invalid " + std::string(ADuration ? "duration" : "date") +
                          " specification for " + AName + ": " + AValue);
  return Result;
}

void TCustomFFmpeg::OptRecordingTime(const std::string& AName, const std::string& AValue) {
  const int64_t Milliseconds = ParseTime(AName, AValue, true) / 1000;
  if (Milliseconds <= 0) return;
  Options.RecordingTime = Milliseconds * 1000;
  // Durations beyond 24 days do not fit the millisecond field; hold them at its limit rather
  // than let them wrap to a negative total.
  Run.RecordingDuration = static_cast<int32_t>(std::min<int64_t>(Milliseconds, INT32_MAX));
}

void TCustomFFmpeg::OptRecTimestamp(const std::string& AName, const std::string& AValue) {
  Options.RecTimestamp = RoundedSeconds(ParseTime(AName, AValue, false));
}

// --- Mappings ---

void TCustomFFmpeg::OptMap(const std::string& AValue) {
  // The table never grows: a map beyond it is refused instead of written past its end.
  if (Files.StreamMapCount >= MaxStreamMaps)
    throw FFMpegException("Too many stream maps (at most " + std::to_string(MaxStreamMaps) + ")");
  TStreamMap& Map = Files.StreamMaps[Files.StreamMapCount];
  // file.stream[:syncfile.syncstream]; any single character separates.
  const char* P = AValue.c_str();
  Map.FileIndex = CInteger(P, &P);
  if (*P) ++P;
  Map.StreamIndex = CInteger(P, &P);
  if (*P) {
    ++P;
    Map.SyncFileIndex = CInteger(P, &P);
    if (*P) ++P;
    Map.SyncStreamIndex = CInteger(P, &P);
  } else {
    Map.SyncFileIndex = Map.FileIndex;
    Map.SyncStreamIndex = Map.StreamIndex;
  }
  ++Files.StreamMapCount;
}

void TCustomFFmpeg::OptMetaDataMap(const std::string& AValue) {
  const int32_t Limit = static_cast<int32_t>(Files.MetaDataMaps.size());
  if (Files.MetaDataMapCount >= Limit)
    throw FFMpegException("Too many meta data maps (at most " + std::to_string(Limit) + ")");
  TMetaDataMap& Map = Files.MetaDataMaps[Files.MetaDataMapCount];
  const char* P = AValue.c_str();
  Map.OutFile = CInteger(P, &P);
  if (*P) ++P;
  Map.InFile = CInteger(P, &P);
  ++Files.MetaDataMapCount;
}

void TCustomFFmpeg::OptInputTsScale(const std::string& AValue) {
  const char* P = AValue.c_str();
  const int32_t Stream = CInteger(P, &P);
  if (*P) ++P;
  const double Scale = CFloating(P);
  if (static_cast<uint32_t>(Stream) >= static_cast<uint32_t>(MaxStreams))
    throw FFMpegException("stream index over MAX_STREAMS(" + std::to_string(MaxStreams) + ")");
  // The scale belongs to the next input; with every input slot taken there is none.
  if (Files.InputFileCount >= MaxFiles) return;
  Files.InputTsScale[Files.InputFileCount][Stream] = Scale;
}

// --- Picture and sample settings ---

void TCustomFFmpeg::OptFrameRate(const std::string& AValue) {
  if (AValue.empty()) return;
  if (AVUtil().av_parse_video_rate(&Options.FrameRate, AValue.c_str()) < 0)
    throw FFMpegException("Incorrect frame rate");
}

void TCustomFFmpeg::OptFrameSize(const std::string& AValue) {
  if (AValue.empty()) return;
  if (AVUtil().av_parse_video_size(&Options.FrameWidth, &Options.FrameHeight, AValue.c_str()) < 0)
    throw FFMpegException("Incorrect frame size");
  if (Options.FrameWidth % 2 != 0 || Options.FrameHeight % 2 != 0)
    throw FFMpegException("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::OptAspect(const std::string& AValue) {
  if (AValue.empty()) return;
  double Ratio = 0;
  if (const size_t Colon = AValue.find(':'); Colon != std::string::npos) {
    const int32_t Width = IntegerOrZero(AValue.substr(0, Colon));
    const int32_t Height = IntegerOrZero(AValue.substr(Colon + 1));
    if (Height > 0) Ratio = static_cast<double>(Width) / Height;
  } else {
    Ratio = FloatOrZero(AValue);
  }
  if (Ratio == 0) throw FFMpegException("Incorrect aspect ratio specification.");
  Options.FrameAspectRatio = static_cast<float>(Ratio);
}

void TCustomFFmpeg::OptPixelFormat(const std::string& AValue) {
  if (AValue != "list") {
    Options.FramePixFmt = AVUtil().av_get_pix_fmt(AValue.c_str());
    return;
  }
  if (!Callbacks.LogCallback) return;
  for (const std::string& Line :
       FormatTable<AVPixelFormat>(AVUtil().av_get_pix_fmt_string, AV_PIX_FMT_NB))
    Log(1, Line);
}

void TCustomFFmpeg::OptSampleFormat(const std::string& AValue) {
  if (AValue != "list") {
    Options.AudioSampleFmt = AVUtil().av_get_sample_fmt(AValue.c_str());
    return;
  }
  if (!Callbacks.LogCallback) return;
  for (const std::string& Line :
       FormatTable<AVSampleFormat>(AVUtil().av_get_sample_fmt_string, AV_SAMPLE_FMT_NB))
    Log(1, Line);
}

void TCustomFFmpeg::OptQscale(double AValue) {
  if (!(AValue > 0 && AValue <= 255)) throw FFMpegException("qscale must be > 0.0 and <= 255");
  Options.VideoQscale = static_cast<float>(AValue);
}

// --- Crop and pad bands ---

void TCustomFFmpeg::OptCrop(const std::string& AName, int32_t AValue) {
  if (AValue < 0) return;
  const int Side = SideOf(AName);
  if (AValue % 2 != 0)
    throw FFMpegException(std::string(SideNames[Side]) + " crop size must be a multiple of 2");
  const bool Vertical = Side < 2;
  int32_t& Size = Vertical ? Options.FrameHeight : Options.FrameWidth;
  if (AValue >= Size)
    throw FFMpegException(std::string(Vertical ? "Vertical" : "Horizontal") +
                          " crop dimensions are outside the range of the original image.\n"
                          "Remember to crop first and scale second.");
  int32_t* const Bands[] = {&Options.FrameTopBand, &Options.FrameBottomBand, &Options.FrameLeftBand,
                            &Options.FrameRightBand};
  *Bands[Side] = AValue;
  Size -= AValue;
}

void TCustomFFmpeg::OptPad(const std::string& AName, int32_t AValue) {
  if (AValue < 0) return;
  const int Side = SideOf(AName);
  if (AValue % 2 != 0)
    throw FFMpegException(std::string(SideNames[Side]) + " pad size must be a multiple of 2");
  int32_t* const Bands[] = {&Options.FramePadTop, &Options.FramePadBottom, &Options.FramePadLeft,
                            &Options.FramePadRight};
  *Bands[Side] = AValue;
}

void TCustomFFmpeg::OptPadColor(int32_t AValue) {
  // Red in the lowest byte; the integer RGB to YUV conversion of the pad bands.
  const int32_t R = AValue & 255, G = (AValue >> 8) & 255, B = (AValue >> 16) & 255;
  Options.PadColor = {(307 * R + 602 * G + 117 * B + 512) >> 10,
                      ((-173 * R - 340 * G + 512 * B + 511) >> 10) + 128,
                      ((512 * R - 429 * G - 84 * B + 511) >> 10) + 128};
}

// --- Codec settings ---

void TCustomFFmpeg::OptCodecTag(const std::string& AName, const std::string& AValue) {
  if (AValue.empty()) return;
  const bool Video = AName[0] == 'v';
  if (AValue.size() != 4)
    throw TAssertionFailure(Video ? "video tag parameter must be 4 chars"
                                  : "audio tag parameter must be 4 chars");
  uint32_t Tag = 0;
  for (int Index = 3; Index >= 0; --Index)
    Tag = (Tag << 8) | static_cast<uint8_t>(AValue[static_cast<size_t>(Index)]);
  (Video ? Options.VideoCodecTag : Options.AudioCodecTag) = Tag;
}

void TCustomFFmpeg::OptPass(int32_t AValue) {
  if (AValue != 1 && AValue != 2) throw FFMpegException("pass number can be only 1 or 2");
  Settings.DoPass = AValue;
}

void TCustomFFmpeg::OptMatrix(const std::string& AName, const std::string& AValue) {
  TAvMatrix& Matrix = AName == "intra_matrix" ? Options.IntraMatrix : Options.InterMatrix;
  // Replacing the block frees the one given earlier.
  Matrix.reset(static_cast<uint16_t*>(AVUtil().av_mallocz(64 * sizeof(uint16_t))));
  if (!Matrix) throw std::bad_alloc();
  const char* P = AValue.c_str();
  for (int Index = 0;; ++Index) {
    Matrix.get()[Index] = static_cast<uint16_t>(LeadingInteger(P));
    if (Index == 63) break;
    P = std::strchr(P, ',');
    if (!P)
      throw FFMpegException("Syntax error in matrix \"" + AValue + "\" at coeff " +
                            std::to_string(Index));
    ++P;
  }
}

// --- Files and filters ---

void TCustomFFmpeg::OptVstats() {
  const std::time_t Now = std::time(nullptr);
  std::tm Local{};
  ::localtime_r(&Now, &Local);
  char Clock[16];
  std::strftime(Clock, sizeof Clock, "%H%M%S", &Local);
  Settings.VstatsFileName = AvStrDup((ProgramFolder() + "vstats_" + Clock + ".log").c_str());
}

void TCustomFFmpeg::OptVstatsFile(const std::string& AValue) {
  Settings.VstatsFileName = AvStrDup(AValue.c_str());
}

void TCustomFFmpeg::OptBitstreamFilter(const std::string& AName, const std::string& AValue) {
  if (AValue.empty() || AValue[0] == '=') return;
  // Only the name counts; text after "=" is not used. The filter itself is made for each
  // output stream once the stream's parameters exist.
  const std::string Name = AValue.substr(0, AValue.find('='));
  if (!AVCodec().av_bsf_get_by_name(Name.c_str()))
    throw FFMpegException("Unknown bitstream filter " + Trimmed(AValue));
  TBitstreamFilterChain& Chain = AName[0] == 'v'   ? Files.VideoBitstreamFilters
                                 : AName[0] == 'a' ? Files.AudioBitstreamFilters
                                                   : Files.SubtitleBitstreamFilters;
  Chain.push_back(Name);
}

void TCustomFFmpeg::OptVideoHook(const std::string& AValue) {
  // The module's arguments point into this copy, which stays with the modules (a module may
  // keep them) and is split in place: at "|" when the value has one, so that paths may hold
  // blanks, else at blanks.
  TAvString Arguments = AvStrDup(AValue.c_str());
  if (!Arguments) throw std::bad_alloc();
  const char* Separator = AValue.find('|') != std::string::npos ? "|" : " ";
  std::array<char*, MaxHookArguments + 1> Vector{}; // ends with a null entry
  int Count = 0;
  for (char* Token = MyUtil().my_strtok(Arguments.get(), Separator); Token;
       Token = Count < MaxHookArguments ? MyUtil().my_strtok(nullptr, Separator) : nullptr)
    Vector[static_cast<size_t>(Count++)] = Token;
  Hooks.Modules.ArgumentTexts.reserve(Hooks.Modules.ArgumentTexts.size() + 1);
  if (AddFrameHook(Hooks.Modules, Count, Vector.data()) != 0)
    throw FFMpegException("Failed to add video hook function: " + AValue);
  Hooks.Modules.ArgumentTexts.push_back(std::move(Arguments));
  Settings.UsingVhook = 1;
}

} // namespace pelorix
