// How a converted file plays, read back through the engine's own library binding: the corners
// of a picture (where a turned picture's marked corner went), the comb lines of a picture whose
// fields were recorded apart, the display matrix, the tags, the cover picture and the chapters.
#pragma once

#include "DecodedVideo.h"
#include "DisplayMatrix.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace pelorix::test {

// Mean luma of the 8x8 squares two samples in from each corner: top left, top right, bottom
// left, bottom right.
inline std::array<double, 4> CornerLuma(const TDecodedPicture& APicture) {
  const int Right = APicture.Width - 10, Bottom = APicture.Height - 10;
  return {APicture.Mean(0, 2, 2, 10, 10), APicture.Mean(0, Right, 2, Right + 8, 10),
          APicture.Mean(0, 2, Bottom, 10, Bottom + 8),
          APicture.Mean(0, Right, Bottom, Right + 8, Bottom + 8)};
}

// Which corner is the bright one (0 top left, 1 top right, 2 bottom left, 3 bottom right),
// or -1 unless exactly one corner is bright and the other three dark.
inline int BrightCorner(const TDecodedPicture& APicture) {
  const std::array<double, 4> Corners = CornerLuma(APicture);
  int Bright = -1;
  for (int I = 0; I < 4; ++I) {
    if (Corners[I] > 200 && Bright < 0)
      Bright = I;
    else if (Corners[I] > 50)
      return -1;
  }
  return Bright;
}

// Comb lines: per luma sample, how far a row stands out against both rows next to it, in the
// same direction (a row of one field between two of the other, recorded at another moment).
// Averaged over the picture; a smooth picture gives almost nothing.
inline double CombEnergy(const TDecodedPicture& APicture) {
  double Sum = 0;
  for (int Y = 1; Y + 1 < APicture.Height; ++Y)
    for (int X = 0; X < APicture.Width; ++X) {
      const int Here = APicture.At(0, X, Y);
      const int Above = Here - APicture.At(0, X, Y - 1), Below = Here - APicture.At(0, X, Y + 1);
      Sum += std::max(0, std::min(Above, Below)) + std::max(0, std::min(-Above, -Below));
    }
  return Sum / (static_cast<double>(APicture.Width) * (APicture.Height - 2));
}

inline double MeanCombEnergy(const TDecodedVideo& AVideo) {
  double Sum = 0;
  for (const TDecodedPicture& Picture : AVideo.Pictures) Sum += CombEnergy(Picture);
  return AVideo.Pictures.empty() ? 0 : Sum / AVideo.Pictures.size();
}

// What a file says about itself beside its streams.
struct TFileTags {
  bool Opened = false;
  std::map<std::string, std::string> Tags; // the file's, or in Ogg its first stream's
  std::string Cover; // the bytes of the attached front picture, empty without one
  int PictureStreams = 0; // video streams that are no attached picture
  TPictureTurn Turn; // of the first video stream
  struct TChapter {
    double Start, End;
    std::string Title;
  };
  std::vector<TChapter> Chapters;
};

inline TFileTags ReadFileTags(const std::string& AFileName) {
  TFileTags Facts;
  AVFormatContext* Raw = nullptr;
  if (AVFormat().avformat_open_input(&Raw, AFileName.c_str(), nullptr, nullptr) < 0) return Facts;
  TInputContextPtr Input(Raw);
  if (AVFormat().avformat_find_stream_info(Raw, nullptr) < 0) return Facts;
  Facts.Opened = true;
  const auto Collect = [&Facts](const AVDictionary* ATags) {
    const AVDictionaryEntry* Entry = nullptr;
    while ((Entry = AVUtil().av_dict_get(ATags, "", Entry, AV_DICT_IGNORE_SUFFIX))) {
      std::string Key = Entry->key;
      std::transform(Key.begin(), Key.end(), Key.begin(), ::tolower);
      Facts.Tags.emplace(Key, Entry->value);
    }
  };
  Collect(Raw->metadata);
  if (std::string(Raw->iformat->name) == "ogg" && Raw->nb_streams > 0)
    Collect(Raw->streams[0]->metadata);
  bool TurnTaken = false;
  for (unsigned I = 0; I < Raw->nb_streams; ++I) {
    const AVStream* Stream = Raw->streams[I];
    if (Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (Stream->disposition & AV_DISPOSITION_ATTACHED_PIC) {
      Facts.Cover.assign(reinterpret_cast<const char*>(Stream->attached_pic.data),
                         static_cast<size_t>(Stream->attached_pic.size));
      continue;
    }
    ++Facts.PictureStreams;
    if (!TurnTaken) Facts.Turn = TurnOfStream(Stream);
    TurnTaken = true;
  }
  for (unsigned I = 0; I < Raw->nb_chapters; ++I) {
    const AVChapter* Chapter = Raw->chapters[I];
    const AVDictionaryEntry* Title = AVUtil().av_dict_get(Chapter->metadata, "title", nullptr, 0);
    Facts.Chapters.push_back({Chapter->start * av_q2d(Chapter->time_base),
                              Chapter->end * av_q2d(Chapter->time_base),
                              Title ? Title->value : ""});
  }
  return Facts;
}

} // namespace pelorix::test
