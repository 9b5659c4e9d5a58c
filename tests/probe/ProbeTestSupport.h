// Helpers of the probe tests: the build's clips and golden texts, a collector for the media
// libraries' log, and the probe's findings as text.
#pragma once

#include "AVProbe.h"
#include "MediaLibraries.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pelorix::test {

inline std::string TestMedia(const std::string& AName) {
  return std::string(PELORIX_TEST_MEDIA_DIR) + "/" + AName;
}

inline void ExpectClosed(const TAVProbe& AProbe) {
  EXPECT_EQ((std::vector{AProbe.StreamCount(), AProbe.ProgramCount(), AProbe.AudioStreamCount(),
                         AProbe.VideoStreamCount(), AProbe.SubtitleStreamCount(),
                         AProbe.FirstAudioStream(), AProbe.FirstVideoStream(),
                         AProbe.FirstSubtitleStream(), AProbe.FirstRealVideoStream()}),
            std::vector<int32_t>(9, -1));
  EXPECT_EQ(AProbe.FormatName(), "");
}

// Keeps the libraries' messages up to information level, as "<AV_LOG_* level> <text>".
class TLibraryLog {
public:
  TLibraryLog() { AVUtil().av_log_set_callback(&Receive); }
  ~TLibraryLog() { AVUtil().av_log_set_callback(AVUtil().av_log_default_callback); }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> Received;
    return Received;
  }

private:
  static void Receive(void*, int ALevel, const char* AFormat, va_list AArguments) {
    if (ALevel > AV_LOG_INFO) return;
    char Text[1024];
    std::vsnprintf(Text, sizeof(Text), AFormat, AArguments);
    Lines().push_back(std::to_string(ALevel) + " " + Text);
  }
};

// The counts, then one line per stream with every field of its record.
inline std::string DescribeProbe(const TAVProbe& AProbe) {
  std::ostringstream Out;
  Out << "streams " << AProbe.StreamCount() << ", programs " << AProbe.ProgramCount() << "\nvideo "
      << AProbe.VideoStreamCount() << " first " << AProbe.FirstVideoStream() << "; audio "
      << AProbe.AudioStreamCount() << " first " << AProbe.FirstAudioStream() << "; subtitle "
      << AProbe.SubtitleStreamCount() << " first " << AProbe.FirstSubtitleStream()
      << "; real video first " << AProbe.FirstRealVideoStream() << "\n";
  auto Common = [&Out](const char* AKind, const auto& AInfo) {
    Out << " " << AKind << " codec \"" << AInfo.CodecName.data() << "\" language \""
        << AInfo.Language.data() << "\" start " << AInfo.StartTime << " (" << AInfo.StartTimeUS
        << " us) duration " << AInfo.Duration << " (" << AInfo.DurationUS << " us) bit rate "
        << AInfo.BitRate << "; ";
  };
  for (int Index = 0; Index < AProbe.StreamCount(); ++Index) {
    TVideoStreamInfo Video;
    TAudioStreamInfo Audio;
    AProbe.VideoStreamInfo(Index, Video);
    AProbe.AudioStreamInfo(Index, Audio);
    Out << "#" << Index;
    if (Video.Width != -1) {
      Common("video", Video);
      Out << Video.Width << "x" << Video.Height << " aspect " << Video.DisplayAspect
          << " pixel format " << Video.PixelFormat << " frame rate " << Video.FrameRateNum << "/"
          << Video.FrameRateDen << "; plays " << Video.DisplayWidth << "x" << Video.DisplayHeight
          << " turned " << Video.Rotation << (Video.Mirrored ? " mirrored" : "")
          << (Video.Interlaced ? ", interlaced" : "")
          << (Video.AttachedPicture ? ", attached picture" : "");
    } else if (Audio.Channels != -1) {
      Common("audio", Audio);
      Out << "channels " << Audio.Channels << " rate " << Audio.SampleRate << " sample format "
          << Audio.SampleFormat;
    }
    Out << "\n";
  }
  return Out.str();
}

// Compares with tests/data/probe/AName; PELORIX_UPDATE_GOLDEN=1 rewrites the file instead.
inline void ExpectGolden(const std::string& AName, const std::string& AText) {
  const std::string Path = std::string(PELORIX_TEST_DATA_DIR) + "/probe/" + AName;
  if (std::getenv("PELORIX_UPDATE_GOLDEN")) std::ofstream(Path, std::ios::binary) << AText;
  std::ostringstream Expected;
  Expected << std::ifstream(Path, std::ios::binary).rdbuf();
  EXPECT_EQ(AText, Expected.str()) << "golden file " << Path;
}

} // namespace pelorix::test
