#include "ChunkedVideoEncoder.h"

#include "CodecLock.h"
#include "FFMpegException.h"

#include <algorithm>

namespace pelorix {

size_t TChunkedVideoEncoder::WorkPictures(int AEncoders, int AChunk, int64_t APictureBytes) {
  // The encoders settle a part of a chunk apart, so that each finds its next chunk sent when
  // it is done with one: waiting are the rest of the chunks the others are on, (N - 1) / 2
  // chunks on average. A little more keeps them busy when the pictures come unevenly; the
  // whole (N - 1) chunks would cost memory and win little. Large pictures get fewer, down to
  // a third of a chunk for each other encoder, with which they still overlap most of the time.
  const int64_t Others = static_cast<int64_t>(AEncoders - 1) * AChunk;
  const int64_t Wanted = Others * 2 / 3 + 2;
  const int64_t Least = Others / 3 + 2;
  const int64_t Affordable = APictureBytes > 0 ? MaxPictureBytes / APictureBytes : 0;
  const int64_t Pictures = std::min(Wanted, Affordable);
  return Pictures >= Least ? static_cast<size_t>(Pictures) : 0;
}

int TChunkedVideoEncoder::EncodersFor(const ::AVCodec& ACodec, const AVCodecContext& AConfigured,
                                      int AThreads) {
  if (AThreads < 2 || ACodec.type != AVMEDIA_TYPE_VIDEO) return 0;
  // Other encoders may carry state from picture to picture that chunks would break (the
  // previous picture as a reference outside key pictures, frame counters in the stream).
  if (ACodec.id != AV_CODEC_ID_MPEG4) return 0;
  constexpr int OwnWays = AV_CODEC_CAP_DELAY | AV_CODEC_CAP_FRAME_THREADS |
                          AV_CODEC_CAP_SLICE_THREADS | AV_CODEC_CAP_OTHER_THREADS;
  if (ACodec.capabilities & OwnWays) return 0;
  if (AConfigured.max_b_frames > 0 || AConfigured.gop_size < 1) return 0;
  if (AConfigured.flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2 | AV_CODEC_FLAG_PSNR))
    return 0;
  if (AConfigured.rc_override_count > 0) return 0;
  const int PictureBytes = AVUtil().av_image_get_buffer_size(AConfigured.pix_fmt, AConfigured.width,
                                                             AConfigured.height, 1);
  if (PictureBytes <= 0) return 0;
  int Count = std::min(AThreads, MaxEncoders);
  while (Count > 1 && WorkPictures(Count, AConfigured.gop_size, PictureBytes) == 0) --Count;
  return Count > 1 ? Count : 0;
}

TCodecContextPtr TChunkedVideoEncoder::CopySettings(const ::AVCodec& ACodec,
                                                    const AVCodecContext& AConfigured) {
  TCodecContextPtr Copy(AVCodec().avcodec_alloc_context3(&ACodec));
  if (!Copy) return nullptr;
  AVCodecContext& C = *Copy;
  // Every setting reachable as an option, the encoder's own included ...
  if (AVUtil().av_opt_copy(&C, &AConfigured) < 0) return nullptr;
  if (C.priv_data && AConfigured.priv_data &&
      AVUtil().av_opt_copy(C.priv_data, AConfigured.priv_data) < 0)
    return nullptr;
  // ... and those that are not.
  C.time_base = AConfigured.time_base;
  C.framerate = AConfigured.framerate;
  C.width = AConfigured.width;
  C.height = AConfigured.height;
  C.pix_fmt = AConfigured.pix_fmt;
  C.sample_aspect_ratio = AConfigured.sample_aspect_ratio;
  C.color_range = AConfigured.color_range;
  C.color_primaries = AConfigured.color_primaries;
  C.color_trc = AConfigured.color_trc;
  C.colorspace = AConfigured.colorspace;
  C.chroma_sample_location = AConfigured.chroma_sample_location;
  C.field_order = AConfigured.field_order;
  C.codec_tag = AConfigured.codec_tag;
  C.flags = AConfigured.flags;
  C.flags2 = AConfigured.flags2;
  C.global_quality = AConfigured.global_quality;
  C.rc_initial_buffer_occupancy = AConfigured.rc_initial_buffer_occupancy;
  C.intra_dc_precision = AConfigured.intra_dc_precision;
  C.bits_per_raw_sample = AConfigured.bits_per_raw_sample;
  const auto CopyMatrix = [](const uint16_t* AFrom) {
    return AFrom ? static_cast<uint16_t*>(AVUtil().av_memdup(AFrom, 64 * sizeof(uint16_t)))
                 : nullptr;
  };
  // The context frees its matrices with it.
  C.intra_matrix = CopyMatrix(AConfigured.intra_matrix);
  C.inter_matrix = CopyMatrix(AConfigured.inter_matrix);
  if ((AConfigured.intra_matrix && !C.intra_matrix) ||
      (AConfigured.inter_matrix && !C.inter_matrix))
    return nullptr;
  C.thread_count = 1;
  return Copy;
}

TChunkedVideoEncoder::TChunkedVideoEncoder(AVCodecContext* AFirst,
                                           std::vector<TCodecContextPtr> AOthers)
    : Owned(std::move(AOthers)), Chunk(std::max(AFirst->gop_size, 1)) {
  try {
    Encoders.push_back(AFirst);
    for (const TCodecContextPtr& Other : Owned) Encoders.push_back(Other.get());
    const size_t Count = Encoders.size();
    PictureLimit =
        std::max<size_t>(WorkPictures(static_cast<int>(Count), Chunk,
                                      AVUtil().av_image_get_buffer_size(
                                          AFirst->pix_fmt, AFirst->width, AFirst->height, 1)),
                         2);
    for (size_t I = 0; I < PictureLimit; ++I) {
      TFramePtr Picture(AVUtil().av_frame_alloc());
      if (!Picture) throw FFMpegException("av_malloc failed");
      Pictures.push_back(std::move(Picture));
      FreePictures.push_back(static_cast<int>(PictureLimit - 1 - I));
    }
    // Pictures sent and not yet taken span at most this many: the encoder of the oldest one
    // holds at least a chunk in every Count chunks of them unencoded, each with a work picture.
    Entries.resize(Count * (PictureLimit + static_cast<size_t>(Chunk)) +
                   static_cast<size_t>(Chunk) + 1);
    Threads.reserve(Count);
    for (size_t I = 0; I < Count; ++I)
      Threads.emplace_back(&TChunkedVideoEncoder::Work, this, static_cast<int>(I));
  } catch (...) {
    StopAndClose();
    throw;
  }
}

TChunkedVideoEncoder::~TChunkedVideoEncoder() { StopAndClose(); }

void TChunkedVideoEncoder::StopAndClose() {
  {
    std::scoped_lock Guard(Lock);
    Quit = true;
  }
  Changed.notify_all();
  for (std::thread& Thread : Threads) Thread.join();
  Threads.clear();
  for (TCodecContextPtr& Encoder : Owned) {
    std::scoped_lock Guard(CodecLock());
    Encoder.reset();
  }
}

int TChunkedVideoEncoder::CopyPicture(AVFrame& AWork, const AVFrame& APicture, bool AKey) {
  if (AWork.format != APicture.format || AWork.width != APicture.width ||
      AWork.height != APicture.height || !AWork.buf[0]) {
    AVUtil().av_frame_unref(&AWork);
    AWork.format = APicture.format;
    AWork.width = APicture.width;
    AWork.height = APicture.height;
    if (const int Made = AVUtil().av_frame_get_buffer(&AWork, 0); Made < 0) return Made;
  } else if (const int Writable = AVUtil().av_frame_make_writable(&AWork); Writable < 0) {
    return Writable;
  }
  if (const int Copied = AVUtil().av_frame_copy(&AWork, &APicture); Copied < 0) return Copied;
  // What the encoders read besides the pixels; copying the whole set of properties would
  // allocate for every picture.
  AWork.pts = APicture.pts;
  AWork.pict_type = AKey ? AV_PICTURE_TYPE_I : APicture.pict_type;
  AWork.quality = APicture.quality;
  AWork.interlaced_frame = APicture.interlaced_frame;
  AWork.top_field_first = APicture.top_field_first;
  AWork.sample_aspect_ratio = APicture.sample_aspect_ratio;
  AWork.color_range = APicture.color_range;
  AWork.color_primaries = APicture.color_primaries;
  AWork.color_trc = APicture.color_trc;
  AWork.colorspace = APicture.colorspace;
  AWork.chroma_location = APicture.chroma_location;
  return 0;
}

int TChunkedVideoEncoder::Send(const AVFrame& APicture) {
  RunThread.Check("TChunkedVideoEncoder::Send");
  std::unique_lock Guard(Lock);
  if (Finished) return AVERROR_EOF;
  if (static_cast<size_t>(NextSequence - NextTaken) >= Entries.size()) return AVERROR(EAGAIN);
  Changed.wait(Guard, [this] { return !FreePictures.empty(); });
  const int Index = FreePictures.back();
  FreePictures.pop_back();
  const int64_t Sequence = NextSequence;
  // The picture is out of the pool and not yet published: nobody else touches it.
  Guard.unlock();
  const int Copied =
      CopyPicture(*Pictures[static_cast<size_t>(Index)], APicture, Sequence % Chunk == 0);
  Guard.lock();
  if (Copied < 0) {
    FreePictures.push_back(Index);
    return Copied;
  }
  TEntry& Entry = EntryOf(Sequence);
  Entry.Picture = Index;
  Entry.Encoded = false;
  Entry.Error = 0;
  Entry.Count = 0;
  Entry.Taken = 0;
  ++NextSequence;
  Guard.unlock();
  Changed.notify_all();
  return 0;
}

void TChunkedVideoEncoder::Finish() {
  RunThread.Check("TChunkedVideoEncoder::Finish");
  {
    std::scoped_lock Guard(Lock);
    Finished = true;
  }
  Changed.notify_all();
}

void TChunkedVideoEncoder::Retire(TEntry& AEntry) {
  AEntry.Encoded = false;
  AEntry.Count = 0;
  AEntry.Taken = 0;
  ++NextTaken;
}

int TChunkedVideoEncoder::Receive(AVPacket* APacket, bool AWait) {
  RunThread.Check("TChunkedVideoEncoder::Receive");
  std::unique_lock Guard(Lock);
  for (;;) {
    if (NextTaken == NextSequence) return Finished ? AVERROR_EOF : AVERROR(EAGAIN);
    TEntry& Entry = EntryOf(NextTaken);
    if (!Entry.Encoded) {
      if (!AWait) return AVERROR(EAGAIN);
      Changed.wait(Guard);
      continue;
    }
    if (Entry.Error < 0) return Entry.Error;
    if (Entry.Taken == Entry.Count) {
      Retire(Entry); // an encoder may give nothing for a picture
      continue;
    }
    AVCodec().av_packet_move_ref(APacket, Entry.Packets[Entry.Taken++].get());
    if (Entry.Taken == Entry.Count) Retire(Entry);
    return 0;
  }
}

int64_t TChunkedVideoEncoder::NextOwnSequence(int64_t ASequence) const {
  const int64_t Next = ASequence + 1;
  if (Next % Chunk != 0) return Next;
  return Next + static_cast<int64_t>(Encoders.size() - 1) * Chunk;
}

int TChunkedVideoEncoder::EncodeOne(AVCodecContext* AEncoder, AVFrame* APicture, TEntry& AEntry) {
  if (const int Sent = AVCodec().avcodec_send_frame(AEncoder, APicture); Sent < 0) return Sent;
  for (;;) {
    if (AEntry.Count == AEntry.Packets.size()) {
      TPacketPtr Packet(AVCodec().av_packet_alloc());
      if (!Packet) return AVERROR(ENOMEM);
      AEntry.Packets.push_back(std::move(Packet));
    }
    const int Received =
        AVCodec().avcodec_receive_packet(AEncoder, AEntry.Packets[AEntry.Count].get());
    if (Received == AVERROR(EAGAIN) || Received == AVERROR_EOF) return 0;
    if (Received < 0) return Received;
    ++AEntry.Count;
  }
}

void TChunkedVideoEncoder::Work(int AEncoder) {
  AVCodecContext* Encoder = Encoders[static_cast<size_t>(AEncoder)];
  int64_t Own = static_cast<int64_t>(AEncoder) * Chunk;
  std::unique_lock Guard(Lock);
  for (;;) {
    Changed.wait(Guard, [&] { return Quit || Finished || Own < NextSequence; });
    if (Quit || Own >= NextSequence) return; // stopped, or finished with nothing left
    TEntry& Entry = EntryOf(Own);
    AVFrame* Picture = Pictures[static_cast<size_t>(Entry.Picture)].get();
    // Until Encoded is set the entry and its picture are this worker's alone.
    Guard.unlock();
    const int Error = EncodeOne(Encoder, Picture, Entry);
    Guard.lock();
    FreePictures.push_back(Entry.Picture);
    Entry.Picture = -1;
    Entry.Error = Error;
    Entry.Encoded = true;
    Own = NextOwnSequence(Own);
    Changed.notify_all();
  }
}

} // namespace pelorix
