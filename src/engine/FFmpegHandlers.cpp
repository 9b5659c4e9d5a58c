// Option value handlers: the options whose values are parsed and checked before they reach
// the engine's fields.
#include "FFmpeg.h"

namespace pelorix {

void TCustomFFmpeg::OptBitRate(const std::string& AName, const std::string& AValue) {
  if (!SetLibraryOption(AName, AValue) || !Callbacks.LogCallback) return;
  const int Kind = AName[0] == 'a' ? ckAudio : ckVideo;
  int64_t Rate = 0;
  AVUtil().av_opt_get_int(LibOptions.CodecOptions[Kind].get(), "b", 0, &Rate);
  if (Rate < 1000)
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
  const std::string Name = InputFormatName(AName);
  Options.FileInputFormat = AVFormat().av_find_input_format(Name.c_str());
  if (!Options.FileInputFormat) throw FFMpegException("Unknown input format: " + AName);
}

void TCustomFFmpeg::SetOutputFormat(const std::string& AName) {
  Options.FileOutputFormat = AVFormat().av_guess_format(AName.c_str(), nullptr, nullptr);
  if (!Options.FileOutputFormat) throw FFMpegException("Unknown output format: " + AName);
}

} // namespace pelorix
