// The extensions the loaded demuxers declare.
#include "InputExtensions.h"

#include "AVFormatHlpr.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

namespace pelorix {

namespace {
// A cover picture is a still in one of these; it does not make a file a video.
bool IsStillPicture(AVCodecID ACodec) {
  return ACodec == AV_CODEC_ID_NONE || ACodec == AV_CODEC_ID_PNG || ACodec == AV_CODEC_ID_MJPEG;
}

// The lower-case items of a comma-separated list; none for null.
std::vector<std::string> Split(const char* AList) {
  std::vector<std::string> Items;
  if (!AList) return Items;
  std::stringstream List(AList);
  std::string Item;
  while (std::getline(List, Item, ',')) {
    std::transform(Item.begin(), Item.end(), Item.begin(),
                   [](unsigned char C) { return static_cast<char>(std::tolower(C)); });
    if (!Item.empty()) Items.push_back(Item);
  }
  return Items;
}

bool IsMuxerExtension(const std::string& AName) {
  const std::string Name = "x." + AName;
  return AVFormat().av_guess_format(nullptr, Name.c_str(), nullptr) != nullptr;
}

bool IsSound(const std::string& AExtension) {
  const std::string Name = "x." + AExtension;
  const ::AVOutputFormat* Muxer = AVFormat().av_guess_format(nullptr, Name.c_str(), nullptr);
  return Muxer && Muxer->audio_codec != AV_CODEC_ID_NONE && IsStillPicture(Muxer->video_codec);
}
} // namespace

std::vector<TInputExtension> InputExtensions() {
  std::vector<TInputExtension> Result;
  if (!AVFormatLibrary().IsLibraryBound()) return Result;
  std::map<std::string, bool> Found;
  void* Cursor = nullptr;
  while (const ::AVInputFormat* Demuxer = AVFormat().av_demuxer_iterate(&Cursor)) {
    if (Demuxer->flags & AVFMT_NOFILE) continue;
    if (Demuxer->priv_class && Demuxer->priv_class->category == AV_CLASS_CATEGORY_DEVICE_INPUT)
      continue;
    for (const std::string& Extension : Split(Demuxer->extensions)) Found.emplace(Extension, false);
    // Some demuxers recognise their files by content and declare no extension; a name of
    // theirs that is a muxer's extension (wav) is one all the same.
    for (const std::string& Name : Split(Demuxer->name))
      if (!Found.count(Name) && IsMuxerExtension(Name)) Found.emplace(Name, false);
  }
  for (auto& [Extension, Sound] : Found) Result.push_back({Extension, IsSound(Extension)});
  return Result;
}

} // namespace pelorix
