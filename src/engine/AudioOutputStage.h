// TAudioOutputStage: the audio output path of one re-encoded output audio stream. Decoded blocks
// of its source come in; encoded packets go out to a sink. In between, in this order: samples
// that no encoder must see (non-finite, far beyond full scale) are tamed, the resampler
// (channels, rate and sample format in one context, made when first needed and again when the
// blocks change their format), the output's sample clock kept in step with the input's time
// stamps (by dropping samples, inserting silence or asking the resampler to stretch), the
// sample queue, and the encoder, fed whole frames of its frame size (or each block whole when
// it takes any size).
//
// Every count here is in samples per channel. The design this follows counted bytes of 16-bit
// interleaved audio; each of its formulas gives the same number of samples here, whatever the
// real sample format and layout.
//
// Owner: the output stream's record of a transcode (TOutputStream::Audio). The encoder belongs
// to the engine and must outlive the stage; the stage owns its resampler, its queue, its work
// buffers and the packet it receives into. The buffers are made on first use and only grown:
// nothing is allocated per block once they are large enough.
//
// Threads: made, fed and destroyed on the run's thread (checked in debug builds).
#pragma once

#include "MediaObjects.h"
#include "StageCallbacks.h"
#include "ThreadAffinity.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace pelorix {

// The run's settings the audio path reads.
struct TAudioSyncSettings {
  int Method = 0; // "async": 0 the clock follows the input, 1 corrects, above 1 also stretches
  float DriftThreshold = 0.1f; // seconds ("adrift_threshold")
  int64_t StartTime = 0; // microseconds ("ss"): the input clock of the output's first sample
  // Microseconds ("t"): no sample past it goes to the encoder; the largest value: no limit.
  int64_t Duration = std::numeric_limits<int64_t>::max();
  int Verbose = 1;
  bool ExitOnError = false; // "xerror": a failed conversion ends the run
};

class TAudioOutputStage {
public:
  // AEncoder: the stream's encoder, configured (it is opened before the first block); not
  // owned. AResample: the blocks go through the resampler even where their rate and channels
  // are the encoder's (rates that differ at set-up, drift compensation). Throws FFMpegException
  // "av_fifo_init fail" when the queue cannot be made.
  TAudioOutputStage(AVCodecContext* AEncoder, const TAudioSyncSettings& ASettings, bool AResample,
                    TStageLog ALog, TPacketSink ASink);
  TAudioOutputStage(const TAudioOutputStage&) = delete;
  TAudioOutputStage& operator=(const TAudioOutputStage&) = delete;

  // One decoded block. AInputClock: the time of the block by the clock of the output's sync
  // stream (microseconds). AAtStart: the source stream's start flag; set, every drift beyond
  // 50 samples is corrected whatever the threshold, and the first correction applied in full
  // clears it. Encodes the whole frames the queue then holds; throws FFMpegException.
  void Add(AVFrame* ABlock, int64_t AInputClock, int32_t& AAtStart);
  // End of the input: what the resampler and the queue hold is encoded (a short last frame as
  // it is) and the encoder gives up the packets it holds back.
  void Finish();

  // Samples per channel given to the encoder so far (the output's sample clock).
  int64_t SampleClock() const { return SyncOpts; }
  // The duration limit's last sample has been taken: the stage takes no more.
  bool LimitReached() const { return Full; }

private:
  void PrepareResampler(const AVFrame* AFrame);
  bool QueueSamples(const uint8_t* const* APlanes, int ACount);
  void DrainResampler();
  void EncodeQueued(bool ALast);
  void SendFrame(int ACount);
  void ReceivePackets();
  void Log(int ALevel, const std::string& AText) const;

  AVCodecContext* Encoder;
  TAudioSyncSettings Settings;
  TStageLog LogLine;
  TPacketSink Sink;
  TThreadAffinity RunThread;

  int64_t SyncOpts = 0;
  bool Resample = false;
  bool ClockStarted = false; // SyncOpts has been set from the input clock
  bool Full = false; // the duration limit is reached
  // Channels, rate and sample format in one context, made for the blocks' format
  // (ReformatPair, ResampleRate, ResampleLayout) and made again when that changes.
  TResamplerPtr Resampler;
  // Input and output sample format of the current context (encoder format +
  // AV_SAMPLE_FMT_NB x block format), NoReformatPair while there is none.
  static constexpr int32_t NoReformatPair = -6;
  int32_t ReformatPair = NoReformatPair;
  int32_t ResampleRate = 0;
  TChannelLayout ResampleLayout;
  TAudioFifoPtr Fifo; // samples waiting for a whole encoder frame
  // Work buffers, made on first use and only grown; nb_samples is each one's capacity.
  TFramePtr ResampleBuffer; // resampler output, in the encoder's format
  TFramePtr EncodeFrame; // the frame handed to the encoder
  TFramePtr SilenceBuffer; // silence in the blocks' format
  std::vector<const uint8_t*> BlockPlanes; // a block's planes past the samples dropped
  TPacketPtr Packet; // what the encoder gives, one packet at a time
};

} // namespace pelorix
