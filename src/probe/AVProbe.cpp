// TAVProbe: library load, open, attach, close and the stream counts (see AVProbe.h).
#include "AVProbe.h"

#include "CodecLock.h"
#include "MediaLibraries.h"
#include "OpenErrorText.h"

#include <mutex>

namespace pelorix {

TAVProbe::~TAVProbe() { Close(); }

bool TAVProbe::LoadLibraries(const std::string& AFolder, bool AVersioned) {
  std::string Error;
  if (LoadProbeLibraries(Error, AFolder, AVersioned)) return true;
  LastErrorText = Error;
  return false;
}

bool TAVProbe::Open(const std::string& AFileName, const std::string& AFormatName) {
  CheckMediaLibraries();
  Close();

  const AVInputFormat* Format = nullptr;
  if (!AFormatName.empty()) {
    Format = AVFormat().av_find_input_format(AFormatName.c_str());
    if (!Format) {
      LastErrorText = "Unknown input format: " + AFormatName;
      return false;
    }
  }

  // The library allocates the context itself here and frees it again when the open fails, so
  // the probe owns it only from a successful open on.
  AVFormatContext* Raw = nullptr;
  const int Opened = AVFormat().avformat_open_input(&Raw, AFileName.c_str(), Format, nullptr);
  if (Opened < 0) {
    LastErrorText =
        FileOpenErrorText(AFileName, OpenErrorCode(AFileName, Opened, Format != nullptr));
    return false;
  }
  TInputContextPtr Input(Raw);

  int Found = 0;
  {
    // Stream probing opens decoders.
    std::lock_guard Guard(CodecLock());
    Found = AVFormat().avformat_find_stream_info(Input.get(), nullptr);
  }
  if (Found < 0) {
    LastErrorText = AFileName + ": could not find codec parameters";
    return false;
  }

  OwnedContext = std::move(Input);
  Context = OwnedContext.get();
  TakeCounts();
  OpenFormatName = AFormatName;
  return true;
}

void TAVProbe::Attach(AVFormatContext* AContext) {
  CheckMediaLibraries();
  Close();
  Context = AContext;
  TakeCounts();
}

void TAVProbe::Close() {
  OpenFormatName.clear();
  OwnedContext.reset();
  Context = nullptr;
  TakeCounts();
}

void TAVProbe::TakeCounts() {
  Counts = TCounts{};
  if (!Context) return;
  Counts.Streams = static_cast<int32_t>(Context->nb_streams);
  Counts.Programs = static_cast<int32_t>(Context->nb_programs);
  Counts.AudioStreams = 0;
  Counts.VideoStreams = 0;
  Counts.SubtitleStreams = 0;
  for (int32_t Index = 0; Index < Counts.Streams; ++Index) {
    switch (Context->streams[Index]->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      ++Counts.VideoStreams;
      if (Counts.FirstVideo == -1) Counts.FirstVideo = Index;
      if (Counts.FirstRealVideo == -1 &&
          !(Context->streams[Index]->disposition & AV_DISPOSITION_ATTACHED_PIC))
        Counts.FirstRealVideo = Index;
      break;
    case AVMEDIA_TYPE_AUDIO:
      ++Counts.AudioStreams;
      if (Counts.FirstAudio == -1) Counts.FirstAudio = Index;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      ++Counts.SubtitleStreams;
      if (Counts.FirstSubtitle == -1) Counts.FirstSubtitle = Index;
      break;
    default:
      break; // data and attachments count in Streams only
    }
  }
}

} // namespace pelorix
