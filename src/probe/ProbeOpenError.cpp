#include "ProbeOpenError.h"

#include "MediaObjects.h"

#include <cerrno>

namespace pelorix {

namespace {

// The failure texts by error code; every code without a row of its own reads as a failed open.
std::string OpenErrorText(const std::string& AFileName, int ACode) {
  std::string Text;
  if (ACode == AVERROR(ENOENT))
    Text = ": no such file or directory";
  else if (ACode == AVERROR(EIO))
    Text = ": I/O error occurred\r\nUsually that means that input file is truncated and/or "
           "corrupted.";
  else if (ACode == AVERROR(ENOMEM))
    Text = ": memory allocation error occurred";
  else if (ACode == AVERROR(EINVAL))
    Text = ": Error while parsing header";
  else if (ACode == AVERROR(EDOM))
    Text = ": Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
           "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n"
           "  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'.";
  else if (ACode == AVERROR(EILSEQ))
    Text = ": Unknown format";
  else
    Text = ": Error while opening file";
  return AFileName + Text;
}

// Whether some demuxer claims the file. The library answers AVERROR_INVALIDDATA both for a file
// that no demuxer knows and for one whose demuxer could not parse the header, and it frees the
// context that would tell the two apart; so the start of the file is probed once more here.
bool SomeDemuxerRecognises(const std::string& AFileName) {
  AVIOContext* Raw = nullptr;
  if (AVFormat().avio_open(&Raw, AFileName.c_str(), AVIO_FLAG_READ) < 0) return false;
  const TAvioContextPtr IO(Raw);
  const AVInputFormat* Format = nullptr;
  const int Score =
      AVFormat().av_probe_input_buffer2(IO.get(), &Format, AFileName.c_str(), nullptr, 0, 0);
  return Score >= 0 && Format != nullptr;
}

} // namespace

std::string ProbeOpenErrorText(const std::string& AFileName, int AResult,
                               const AVInputFormat* AForcedFormat) {
  int Code = AResult;
  if (AResult == AVERROR_INVALIDDATA)
    Code = AForcedFormat || SomeDemuxerRecognises(AFileName) ? AVERROR(EINVAL) : AVERROR(EILSEQ);
  else if (AResult == AVERROR_EOF)
    Code = AVERROR(EIO); // the file ended inside its header
  return OpenErrorText(AFileName, Code);
}

} // namespace pelorix
