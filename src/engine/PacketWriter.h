// TPacketWriter: the writing end of one output stream. Packets of the stream (encoded or
// copied, time stamps in the stream's time base) go through the stream's bitstream filters,
// in order, into the container's interleaving muxer. A filter that fails is told as the
// engine tells it ("%s failed for stream %d, codec %s" with the reason) and the packet goes on
// as the filter left it, unless the run ends on errors ("xerror"). A write the file refuses
// (full disk, size limit, gone device) ends the run with the file's name and the system's
// reason.
//
// Owner: the output stream's record of a transcode (TOutputStream::Writer). The container and
// its stream belong to the engine and must outlive the writer; the writer owns its filters and
// one packet per filter for what comes out of it. Nothing is allocated per packet.
//
// Threads: made before the container's header is written, fed and destroyed on the run's
// thread (checked in debug builds).
#pragma once

#include "MediaObjects.h"
#include "StageCallbacks.h"
#include "ThreadAffinity.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelorix {

class TPacketWriter {
public:
  // AFile: the opened output container; AStream: its stream the packets belong to.
  // ACodecName: the encoder's name, or "copy", as failures name it. AExitOnError: a filter
  // failure ends the run (FFMpegException) instead of being logged at level 0.
  TPacketWriter(AVFormatContext* AFile, AVStream* AStream, std::string ACodecName,
                bool AExitOnError, TStageLog ALog);
  TPacketWriter(const TPacketWriter&) = delete;
  TPacketWriter& operator=(const TPacketWriter&) = delete;

  // Before the container's header is written: the bitstream filters ("name" or
  // "name=options" each), applied in order. A filter that does not exist throws
  // FFMpegException "Unknown bitstream filter NAME"; one that refuses the stream counts as a
  // filter failure and is left out. The stream's parameters become what the last filter puts
  // out.
  void AddFilters(const std::vector<std::string>& AChain);

  // Filters APacket and writes what comes out. Takes the packet's reference (the packet is
  // blank or unreferenced afterwards). Throws FFMpegException when the muxer or the file
  // refuses the packet.
  void Write(AVPacket* APacket);

  // End of the last packet written (pts + duration), in the stream's time base; no value
  // (AV_NOPTS_VALUE) before the first.
  int64_t EndTime() const { return End; }
  // The earliest time of a packet written, in the stream's time base; no value before the
  // first.
  int64_t StartTime() const { return First; }
  // Packets handed to the muxer so far.
  int64_t PacketsWritten() const { return Written; }

  // Throws FFMpegException "Could not write output file 'NAME': REASON" for the error ACode of
  // writing AFile (a packet, the header, the trailer or the last flush).
  [[noreturn]] static void WriteFailed(const AVFormatContext* AFile, int ACode);

private:
  void FilterAndWrite(AVPacket* APacket, size_t AFilter);
  void WritePacket(AVPacket* APacket);
  void FilterFailed(const char* AFilter, int AStreamIndex, int ACode);

  AVFormatContext* File;
  AVStream* Stream;
  std::string CodecName;
  bool ExitOnError;
  TStageLog LogLine;
  TThreadAffinity RunThread;

  std::vector<TBitstreamFilterPtr> Filters; // applied in order to every packet
  std::vector<TPacketPtr> FilterPackets; // one per filter, for what comes out
  int64_t First = AV_NOPTS_VALUE;
  int64_t End = AV_NOPTS_VALUE;
  int64_t Written = 0;
};

} // namespace pelorix
