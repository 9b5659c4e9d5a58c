// The texts of a failed file open, shared by the engine and the probe.
#include "OpenErrorText.h"

#include "MediaObjects.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace pelorix {

namespace {

// Why a file did not open, for the codes the fixed texts do not cover. A variant of a format
// the libraries cannot read in full is named as such; a big-endian WAV (RIFX) by its kind.
std::string OpenReason(const std::string& AFileName, int ACode) {
  if (ACode != AVERROR_PATCHWELCOME && ACode != AVERROR(ENOSYS)) return LibraryErrorText(ACode);
  char Magic[4] = {};
  if (std::FILE* File = std::fopen(AFileName.c_str(), "rb")) {
    const size_t Read = std::fread(Magic, 1, sizeof Magic, File);
    std::fclose(File);
    if (Read == sizeof Magic && std::memcmp(Magic, "RIFX", 4) == 0)
      return "a big-endian WAV (RIFX) of a variant that is not supported";
  }
  return "a variant of the format that is not supported";
}

} // namespace

std::string FileOpenErrorText(const std::string& AFileName, int ACode) {
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
    Text = ": Error while opening file: " + OpenReason(AFileName, ACode);
  return AFileName + Text;
}

int OpenErrorCode(const std::string& AFileName, int AResult, bool AForcedFormat) {
  if (AResult == AVERROR_EOF) return AVERROR(EIO); // the file ended inside its header
  if (AResult != AVERROR_INVALIDDATA) return AResult;
  if (AForcedFormat) return AVERROR(EINVAL);
  AVIOContext* Raw = nullptr;
  if (AVFormat().avio_open(&Raw, AFileName.c_str(), AVIO_FLAG_READ) < 0) return AVERROR(EILSEQ);
  const TAvioContextPtr File(Raw);
  const AVInputFormat* Format = nullptr;
  const int Score =
      AVFormat().av_probe_input_buffer2(File.get(), &Format, AFileName.c_str(), nullptr, 0, 0);
  return Score >= 0 && Format ? AVERROR(EINVAL) : AVERROR(EILSEQ);
}

std::string LibraryErrorText(int ACode) {
  char Text[AV_ERROR_MAX_STRING_SIZE] = {};
  // A system error is the system's own text, which needs no library loaded; the libraries'
  // own codes are told by the support library.
  if (ACode < 0 && ACode > -4096) return strerror_r(-ACode, Text, sizeof Text);
  if (AVUtil().av_strerror(ACode, Text, sizeof Text) < 0 || Text[0] == '\0')
    return "error " + std::to_string(ACode);
  return Text;
}

} // namespace pelorix
