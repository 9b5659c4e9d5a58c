// Progress reports: the values handed to ProgressCallback (or the report line in the log when
// nobody listens), the size summary of the last report, and the per-frame statistics file.
//
// Runs on the run's thread.
#include "FFmpeg.h"

#include "TextFormat.h"

#include <cmath>

namespace pelorix {

namespace {

// The report's time while no output stream has a time yet, seconds.
constexpr double UnknownReportTime = 1e10;

// Appends to a report text, as the fixed 1024-byte buffer of the report allows.
void Append(std::string& AText, const std::string& APiece) {
  constexpr size_t Room = 1023;
  if (AText.size() < Room) AText += APiece.substr(0, Room - AText.size());
}

} // namespace

int64_t TCustomFFmpeg::OutputFileSize() const {
  AVIOContext* Io = Files.OutputFileCount > 0 ? Files.OutputFiles[0]->pb : nullptr;
  if (!Io) return 0;
  const int64_t Size = AVFormat().avio_size(Io);
  return Size >= 0 ? Size : AVFormat().avio_seek(Io, 0, SEEK_CUR);
}

void TCustomFFmpeg::PrintReport(bool ALast) {
  int FrameNumber = -1;
  int Fps = -1;
  float Quality = -1.0f;
  const int64_t TotalSize = OutputFileSize();
  std::string Text;
  double Time = UnknownReportTime;
  bool VideoSeen = false;

  for (const auto& Output : Tables.OutputStreams) {
    const AVCodecContext* Encoder = Output->Encoder;
    // A cover picture is no picture stream: the report counts the pictures that play.
    const bool Video = Output->Stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                       !(Output->Stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
    const float StreamQuality = Output->EncodingNeeded ? Output->Quality : -1.0f;
    if (Video && VideoSeen) Append(Text, FormatText("q=%2.1f ", StreamQuality));
    if (Video && !VideoSeen) {
      const float Elapsed = static_cast<float>(AVUtil().av_gettime() - Stats.TimerStart) /
                            static_cast<float>(AV_TIME_BASE);
      FrameNumber = Output->FrameNumber;
      if (FrameNumber < 1) return;
      Fps = Elapsed > 1.0f ? static_cast<int>(FrameNumber / Elapsed + 0.5f) : 0;
      Quality = StreamQuality;
      Append(Text, FormatText("frame=%5d fps=%3d q=%3.1f ", FrameNumber, Fps, Quality));
      if (ALast) Append(Text, "L");
      if (Options.QpHist) {
        const long Q = std::lrint(Quality);
        if (Q >= 0 && Q < static_cast<long>(Stats.QpHistogram.size())) ++Stats.QpHistogram[Q];
        for (int J = 0; J < 32; ++J)
          Append(Text, FormatText("%X", static_cast<int>(
                                            std::lrint(std::log2(Stats.QpHistogram[J] + 1.0)))));
      }
      if (Encoder && (Encoder->flags & AV_CODEC_FLAG_PSNR)) {
        Append(Text, "PSNR=");
        double ErrorSum = 0, ScaleSum = 0;
        static const char Planes[] = {'Y', 'U', 'V'};
        for (int P = 0; P < 3; ++P) {
          const double Error = ALast ? static_cast<double>(Encoder->error[P])
                                     : static_cast<double>(Output->FrameErrors[P]);
          double Scale = static_cast<double>(Encoder->width) * Encoder->height * 255.0 * 255.0;
          if (ALast) Scale *= FrameNumber;
          if (P > 0) Scale /= 4;
          ErrorSum += Error;
          ScaleSum += Scale;
          Append(Text, FormatText("%c:%2.2f ", Planes[P], -10.0 * std::log10(Error / Scale)));
        }
        Append(Text, FormatText("*:%2.2f ", -10.0 * std::log10(ErrorSum / ScaleSum)));
      }
      VideoSeen = true;
    }
    const double StreamTime = OutputTime(*Output);
    if (StreamTime > 0 && StreamTime < Time) Time = StreamTime;
  }
  if (Time < 0.01) Time = 0.01;

  if (Callbacks.ProgressCallback || Settings.Verbose > 0 || ALast) {
    const double BitRate = static_cast<double>(TotalSize) * 8 / Time / 1000;
    Append(Text, FormatText("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s",
                            static_cast<double>(TotalSize) / 1024, Time, BitRate));
    if (Settings.Verbose > 1)
      Append(Text, FormatText(" dup=%d drop=%d", Stats.FramesDup, Stats.FramesDrop));
    if (Callbacks.ProgressCallback) {
      // Kept to 32 bits as it always was: an unknown time (1e10 s) reads 1316134912.
      const int CurrentDuration =
          static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(Time * 1000)));
      Callbacks.ProgressCallback(*this, FrameNumber, Fps, CurrentDuration, Quality,
                                 static_cast<float>(BitRate), TotalSize, Run.RecordingDuration);
    } else if (Settings.Verbose >= 0) {
      Log(1, Text);
    }
  }

  if (ALast && Settings.Verbose >= 0 && Callbacks.LogCallback) {
    const double Raw = static_cast<double>(Stats.VideoSize + Stats.AudioSize + Stats.ExtraSize);
    Log(1, FormatText("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                      Stats.VideoSize / 1024.0, Stats.AudioSize / 1024.0, Stats.ExtraSize / 1024.0,
                      Raw > 0 ? 100.0 * (static_cast<double>(TotalSize) - Raw) / Raw : 0.0));
  }
}

void TCustomFFmpeg::WriteVideoStats(TOutputStream& AOutput, int AFrameSize) {
  if (!Settings.VstatsFile) {
    Settings.VstatsFile.reset(MyUtil().my_fopen(Settings.VstatsFileName.get(), "w"));
    if (!Settings.VstatsFile)
      throw FFMpegException(std::string("fopen fail: ") + Settings.VstatsFileName.get());
  }
  const AVCodecContext* Encoder = AOutput.Encoder;
  if (Encoder->codec_type != AVMEDIA_TYPE_VIDEO) return;
  FILE* File = Settings.VstatsFile.get();
  MyUtil().my_fprintf(File, "frame= %5d q= %2.1f ", AOutput.FrameNumber,
                      static_cast<double>(AOutput.Quality));
  if (Encoder->flags & AV_CODEC_FLAG_PSNR)
    MyUtil().my_fprintf(File, "PSNR= %6.2f ",
                        -10.0 * std::log10(static_cast<double>(AOutput.FrameErrors[0]) /
                                           (Encoder->width * Encoder->height * 255.0 * 255.0)));
  MyUtil().my_fprintf(File, "f_size= %6d ", AFrameSize);
  const double Time = std::max(AOutput.SyncOpts * av_q2d(Encoder->time_base), 0.01);
  const double BitRate = AFrameSize * 8 / av_q2d(Encoder->time_base) / 1000;
  const double AverageBitRate = static_cast<double>(Stats.VideoSize) * 8 / Time / 1000;
  MyUtil().my_fprintf(File, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                      static_cast<double>(Stats.VideoSize) / 1024, Time, BitRate, AverageBitRate);
  MyUtil().my_fprintf(File, "type= %c\n", AOutput.PictureType);
}

} // namespace pelorix
