// The plain-value summary of a probed source.
#include "ProbeSummary.h"

namespace pelorix {

TProbeSummary SummaryOf(const TAVProbe& AProbe) {
  TProbeSummary Summary;
  Summary.FileName = AProbe.OpenedFileName();
  Summary.Container = AProbe.ContainerName();
  Summary.StreamCount = AProbe.StreamCount();
  Summary.AudioStreamCount = AProbe.AudioStreamCount();
  Summary.VideoStreamCount = AProbe.VideoStreamCount();
  Summary.SubtitleStreamCount = AProbe.SubtitleStreamCount();
  // Asked only for kinds the source has: a query without a stream logs a complaint.
  if (Summary.AudioStreamCount > 0) AProbe.AudioStreamInfo(-1, Summary.Audio);
  if (Summary.VideoStreamCount > 0)
    AProbe.VideoStreamInfo(AProbe.FirstRealVideoStream() >= 0 ? AProbe.FirstRealVideoStream() : -1,
                           Summary.Video);
  return Summary;
}

} // namespace pelorix
