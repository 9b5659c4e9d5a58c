// What an output carries of its source beside the converted streams: the source's tags, its
// chapters and its front cover, so that a converted album track still shows its title, artist
// and picture. The engine's own tag options ("title", "author", ...) are written after the
// carried tags and so override them.
//
// Owner: TCustomFFmpeg. Runs on the configuring thread, when an output is created; the tags
// come from the first input.
#include "FFmpeg.h"

#include <algorithm>
#include <cstring>

namespace pelorix {

namespace {

// The tags carried, by the names the libraries give them for every container (ID3v2 frames,
// MP4 atoms, Vorbis comments, Matroska tags and RIFF INFO all read and write these names).
// Where a demuxer uses another name for the same tag, it is the second.
struct TCarriedTag {
  const char* Name;
  const char* OtherName;
};
constexpr TCarriedTag CarriedTags[] = {
    {"title", nullptr},   {"artist", nullptr},   {"album_artist", nullptr}, {"album", nullptr},
    {"track", nullptr},   {"disc", nullptr},     {"date", "year"},          {"genre", nullptr},
    {"comment", nullptr}, {"composer", nullptr}, {"copyright", nullptr}};

// The picture type of a front cover, as the tag formats name it.
constexpr const char* FrontCover = "Cover (front)";

// The muxers that hold a cover picture in their tags: ID3v2 in MP3, the "covr" atom of the
// MP4 family, the picture block of FLAC.
bool HoldsCover(const AVOutputFormat* AFormat) {
  static const char* const Holders[] = {"mp3", "mp4", "mov", "ipod", "flac"};
  for (const char* Name : Holders)
    if (std::strcmp(AFormat->name, Name) == 0) return true;
  return false;
}

// A cover picture every such muxer takes: a JPEG or PNG image attached to the file.
bool IsCover(const AVStream* AStream) {
  const AVCodecID Codec = AStream->codecpar->codec_id;
  return (AStream->disposition & AV_DISPOSITION_ATTACHED_PIC) && AStream->attached_pic.size > 0 &&
         (Codec == AV_CODEC_ID_MJPEG || Codec == AV_CODEC_ID_PNG);
}

bool IsFrontCover(const AVStream* AStream) {
  const AVDictionaryEntry* Type = AVUtil().av_dict_get(AStream->metadata, "comment", nullptr, 0);
  return Type && std::strcmp(Type->value, FrontCover) == 0;
}

void CopyTags(const AVDictionary* AFrom, AVDictionary** ATo) {
  const AVDictionaryEntry* Entry = nullptr;
  while ((Entry = AVUtil().av_dict_get(AFrom, "", Entry, AV_DICT_IGNORE_SUFFIX)))
    AVUtil().av_dict_set(ATo, Entry->key, Entry->value, 0);
}

// The tag AName (or AOtherName) of ATags with a value; null when there is none. Demuxers keep
// some names as the file spells them ("TITLE"): the names are looked up in any case.
const AVDictionaryEntry* FindTag(const AVDictionary* ATags, const char* AName,
                                 const char* AOtherName) {
  const AVDictionaryEntry* Entry = AVUtil().av_dict_get(ATags, AName, nullptr, 0);
  if ((!Entry || !*Entry->value) && AOtherName)
    Entry = AVUtil().av_dict_get(ATags, AOtherName, nullptr, 0);
  return Entry && *Entry->value ? Entry : nullptr;
}

} // namespace

void TCustomFFmpeg::CarrySourceTags(AVFormatContext* AContainer) {
  const AVFormatContext* Source = Files.InputFileCount > 0 ? Files.InputFiles[0].get() : nullptr;
  if (!Source) return;
  // Ogg keeps a file's comments with its streams (Vorbis, Opus, FLAC in Ogg): there the first
  // stream that has a tag gives it.
  const bool StreamComments = Source->iformat && std::strcmp(Source->iformat->name, "ogg") == 0;
  for (const TCarriedTag& Tag : CarriedTags) {
    const AVDictionaryEntry* Entry = FindTag(Source->metadata, Tag.Name, Tag.OtherName);
    for (unsigned I = 0; StreamComments && !Entry && I < Source->nb_streams; ++I)
      Entry = FindTag(Source->streams[I]->metadata, Tag.Name, Tag.OtherName);
    if (Entry) AVUtil().av_dict_set(&AContainer->metadata, Tag.Name, Entry->value, 0);
  }
}

// The first input's chapters, on the output's clock: moved by the input's offset (a start
// position taken off), and cut to the part of the input the output records.
void TCustomFFmpeg::CarryChapters(AVFormatContext* AContainer) {
  const AVFormatContext* Source = Files.InputFileCount > 0 ? Files.InputFiles[0].get() : nullptr;
  if (!Source || Source->nb_chapters == 0 || AContainer->nb_chapters != 0) return;
  const int64_t Offset = Files.InputTsOffset[0];
  const int64_t Limit = Options.RecordingTime;
  for (unsigned I = 0; I < Source->nb_chapters; ++I) {
    const AVChapter* Chapter = Source->chapters[I];
    const AVRational TimeBase = Chapter->time_base;
    if (TimeBase.num <= 0 || TimeBase.den <= 0) continue;
    const int64_t Start = std::max<int64_t>(
        AVUtil().av_rescale_q(Chapter->start, TimeBase, AV_TIME_BASE_Q) + Offset, 0);
    const int64_t End =
        std::min(AVUtil().av_rescale_q(Chapter->end, TimeBase, AV_TIME_BASE_Q) + Offset, Limit);
    if (End <= Start) continue;
    // The output context frees its chapters, their tags and the list with the library's
    // allocator.
    auto* Copy = static_cast<AVChapter*>(AVUtil().av_mallocz(sizeof(AVChapter)));
    if (!Copy) return;
    auto** List = static_cast<AVChapter**>(AVUtil().av_realloc(
        AContainer->chapters, (AContainer->nb_chapters + 1) * sizeof(AVChapter*)));
    if (!List) {
      AVUtil().av_free(Copy);
      return;
    }
    AContainer->chapters = List;
    Copy->id = Chapter->id;
    Copy->time_base = TimeBase;
    Copy->start = AVUtil().av_rescale_q(Start, AV_TIME_BASE_Q, TimeBase);
    Copy->end = AVUtil().av_rescale_q(End, AV_TIME_BASE_Q, TimeBase);
    CopyTags(Chapter->metadata, &Copy->metadata);
    AContainer->chapters[AContainer->nb_chapters++] = Copy;
  }
}

// A copy of the inputs' front cover (else their first cover) as the output's cover picture, in
// containers that hold one. Never a stream of pictures to play: it keeps its attached-picture
// mark. Not made when the user maps the streams, nor when there is no room; a container that
// holds no cover goes without.
void TCustomFFmpeg::AddCoverStream(AVFormatContext* AContainer) {
  if (!HoldsCover(AContainer->oformat) || Files.StreamMapCount > 0) return;
  const AVStream* Cover = nullptr;
  int CoverFile = -1;
  for (int File = 0; File < Files.InputFileCount; ++File) {
    const AVFormatContext* Input = Files.InputFiles[File].get();
    for (unsigned I = 0; Input && I < Input->nb_streams; ++I) {
      const AVStream* Stream = Input->streams[I];
      if (!IsCover(Stream) || (Cover && (IsFrontCover(Cover) || !IsFrontCover(Stream)))) continue;
      Cover = Stream;
      CoverFile = File;
    }
  }
  if (!Cover) return;
  TCodecContextPtr Copier(AVCodec().avcodec_alloc_context3(nullptr));
  if (!Copier) return;
  TOutputStreamCodec* Codec = nullptr;
  AVStream* Stream = AddOutputStream(AContainer, Codec);
  if (!Stream) return;
  Copier->codec_type = AVMEDIA_TYPE_VIDEO;
  Codec->Encoder = std::move(Copier);
  Codec->StreamCopy = true;
  Codec->CoverFile = CoverFile;
  Codec->CoverStream = Cover->index;
  Files.BitstreamFilterChains[OutputFileIndexOf(AContainer)][Stream->index].clear();
  Stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  Stream->codecpar->codec_id = Cover->codecpar->codec_id;
  Stream->disposition = AV_DISPOSITION_ATTACHED_PIC;
  // The picture's description and type; an untyped cover is the front one.
  CopyTags(Cover->metadata, &Stream->metadata);
  if (!AVUtil().av_dict_get(Stream->metadata, "comment", nullptr, 0))
    AVUtil().av_dict_set(&Stream->metadata, "comment", FrontCover, 0);
}

} // namespace pelorix
