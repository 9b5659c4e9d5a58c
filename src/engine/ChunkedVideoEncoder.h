// One video stream encoded on several threads by an encoder that cannot thread itself.
//
// The pictures are dealt out in chunks of one group of pictures: chunk c goes to encoder
// c mod N, which starts it with a key picture, so every chunk decodes on its own. Each encoder
// runs on its own thread; the packets come back in picture order. Only encoders that give
// exactly the packets of a picture when they are sent it (no delay, no B-pictures) can be
// chunked: then the order of the pictures is the order of the packets.
//
// The pictures are copied into work pictures, a fixed number of them (WorkPictures): enough for
// every encoder to find its next chunk handed out when it is done with one. Their buffers are
// made on first use and reused; nothing is allocated per picture.
//
// Threads: constructed, fed and destroyed on the run's thread (Send, Finish and Receive check
// it in debug builds); the encoders are used only by their worker threads from construction
// until destruction, which stops and joins them.
#pragma once

#include "MediaObjects.h"
#include "ThreadAffinity.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace pelorix {

class TChunkedVideoEncoder {
public:
  // The most encoders one stream gets, and the most memory the copied pictures of one
  // stream may take; beyond that the stream is encoded on one thread.
  static constexpr int MaxEncoders = 8;
  static constexpr int64_t MaxPictureBytes = 96 * 1024 * 1024;

  // How many encoders a stream configured as AConfigured (not opened yet) for ACodec gets
  // from AThreads threads: 0 when it is better encoded as it is. Chunks need an MPEG-4 encoder
  // with no threading and no delay of its own, a group-of-pictures size, no B-pictures, and a
  // rate control that keeps no state across files or frame numbers (no passes, overrides or
  // PSNR sums), and the copied pictures must fit in MaxPictureBytes.
  static int EncodersFor(const ::AVCodec& ACodec, const AVCodecContext& AConfigured, int AThreads);

  // An unopened encoder context with every setting of AConfigured (not opened yet) and one
  // thread; null when it cannot be made.
  static TCodecContextPtr CopySettings(const ::AVCodec& ACodec, const AVCodecContext& AConfigured);

  // AFirst is the stream's opened encoder (not owned; it must outlive this object); AOthers
  // are the other opened encoders, made with CopySettings. Starts one thread per encoder.
  // Throws FFMpegException when the work pictures cannot be allocated.
  TChunkedVideoEncoder(AVCodecContext* AFirst, std::vector<TCodecContextPtr> AOthers);
  TChunkedVideoEncoder(const TChunkedVideoEncoder&) = delete;
  TChunkedVideoEncoder& operator=(const TChunkedVideoEncoder&) = delete;
  // Stops the encoders after the picture each is encoding, joins their threads and closes
  // the encoders it owns.
  ~TChunkedVideoEncoder();

  // Copies APicture and hands it to the encoder of its chunk; waits while every work picture
  // is taken. Returns 0; AVERROR(EAGAIN) when the packets of earlier pictures must be taken
  // with Receive first (the picture is not taken); AVERROR_EOF after Finish; another negative
  // AVERROR when the copy fails.
  int Send(const AVFrame& APicture);
  // No more pictures will be sent.
  void Finish();
  // Moves the next packet, in picture order, into APacket (which must be blank). Returns 0
  // with a packet; AVERROR(EAGAIN) when the next one is not encoded yet and AWait is false, or
  // nothing is waiting before Finish; AVERROR_EOF when every picture sent has given its
  // packets after Finish; the encoder's error for a picture it failed on. With AWait it waits
  // for the encoder of the next picture.
  int Receive(AVPacket* APacket, bool AWait);

  // The work pictures AEncoders encoders with chunks of AChunk pictures of APictureBytes each
  // get; 0 when too few of them fit in MaxPictureBytes.
  static size_t WorkPictures(int AEncoders, int AChunk, int64_t APictureBytes);

  int EncoderCount() const { return static_cast<int>(Encoders.size()); }
  int ChunkFrames() const { return Chunk; }

private:
  // A picture from Send to the last of its packets taken by Receive.
  struct TEntry {
    int Picture = -1; // index into Pictures while it waits to be encoded
    bool Encoded = false;
    int Error = 0; // the encoder's error for this picture, 0 when none
    std::vector<TPacketPtr> Packets; // its packets; the first Count hold data
    size_t Count = 0;
    size_t Taken = 0;
  };

  // Stops the workers after the picture each is encoding, joins them and closes the owned
  // encoders under the codec lock.
  void StopAndClose();
  void Work(int AEncoder);
  // Runs on the worker: encodes APicture, leaving its packets in AEntry.
  static int EncodeOne(AVCodecContext* AEncoder, AVFrame* APicture, TEntry& AEntry);
  // Runs on the run's thread, with the work picture taken from the pool.
  static int CopyPicture(AVFrame& AWork, const AVFrame& APicture, bool AKey);
  void Retire(TEntry& AEntry); // under Lock: the next picture's packets are all taken
  // The sequence number of the next picture after ASequence for the encoder of ASequence.
  int64_t NextOwnSequence(int64_t ASequence) const;
  TEntry& EntryOf(int64_t ASequence) {
    return Entries[static_cast<size_t>(ASequence % Entries.size())];
  }

  TThreadAffinity RunThread;
  std::vector<AVCodecContext*> Encoders; // worker I uses only Encoders[I]
  std::vector<TCodecContextPtr> Owned; // all but the first
  int Chunk = 1;
  size_t PictureLimit = 0; // work pictures

  std::mutex Lock;
  std::condition_variable Changed; // a picture was sent or encoded, or the work ends
  // Guarded by Lock:
  std::vector<TFramePtr> Pictures; // work pictures; buffers made on first use
  std::vector<int> FreePictures;
  std::vector<TEntry> Entries; // a ring indexed by sequence number
  int64_t NextSequence = 0; // of the next picture Send takes
  int64_t NextTaken = 0; // of the picture whose packets Receive gives next
  bool Finished = false;
  bool Quit = false;

  std::vector<std::thread> Threads;
};

} // namespace pelorix
