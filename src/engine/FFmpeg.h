// TCustomFFmpeg: the transcoding engine. One object is one conversion job.
//
// The engine keeps a command-line transcoder's model: settings arrive by name one after
// another (SetOption), and opening a file or creating a stream consumes the settings given
// before it. Its state is grouped below in the order of that model: files and maps, the
// option state taken by the next file or stream, run-wide settings, the libraries' parked
// options, run statistics, run state, callbacks, and the hook and filter state.
//
// The members are defined across files by concern:
//   FFmpegModel.cpp     construction, defaults, reset, clean-up, setters, error texts
//   FFmpegLifecycle.cpp Start, Stop, RequestStop, EndRun, destruction
//   FFmpegOptions.cpp   SetOption and its table, SetLibraryOption, SetContextOptions
//   FFmpegHandlers.cpp  option value handlers
//   FFmpegTargets.cpp   the "target" option and SetTargetPreset
//   FFmpegInput.cpp     OpenInputFile, FindCodecId
//   FFmpegOutput.cpp    OpenOutputFile, the new-stream options
//   FFmpegOutputStreams.cpp  NewVideoStream, NewAudioStream, NewSubtitleStream
//   FFmpegOutputMetadata.cpp what an output carries of its first input: tags, chapters, cover
//   FFmpegSetup.cpp     Transcode's set-up: tables, sources, copy or encode, codecs, writers,
//                       headers
//   FFmpegMainLoop.cpp  RunTranscode, the main loop, timestamp correction, the transcode's end
//   FFmpegRouting.cpp   OutputPacket: decoding, frames and copied packets to the outputs,
//                       encoder drain
//   FFmpegReport.cpp    PrintReport, WriteVideoStats
//   FFmpegAudio.cpp     ScaleVolume and the audio stage of a stream
//   FFmpegSourcePictures.cpp pictures as they play: turned, deinterlaced, before anything else
//   FFmpegVideo.cpp     OutputVideo: drop and repeat, crop, scale, pad, encode
//   FFmpegSubtitles.cpp OutputSubtitle
//   FFmpegHooks.cpp     PreprocessVideoFrame: before-hook, time ranges, deinterlacing, hooks
//   FFmpegFilters.cpp   the video filter graphs of a transcode
// Stages with state and thread rules of their own are classes of their own, held by the
// output stream's record (TranscodeRecords.h): TAudioOutputStage (AudioOutputStage.h),
// TPacketWriter (PacketWriter.h), TChunkedVideoEncoder (ChunkedVideoEncoder.h) and
// TVideoFilterGraph (VideoFilterGraph.h). docs/architecture.md places every file.
//
// Threads: the owner's thread configures the engine and calls Start/Stop; a run executes on
// the worker thread (or the caller's, for a synchronous start), which also fires every
// callback. StopRequested is the only thing the owner writes during a run. Debug builds check
// the owner's operations at their entry (TThreadAffinity); AdoptOwnerThread moves the role to
// another thread. The stages check that the run's thread alone uses them.
#pragma once

#include "DisplayMatrix.h"
#include "EngineRecords.h"
#include "FFMpegException.h"
#include "FrameHook.h"
#include "HookBitmap.h"
#include "MediaObjects.h"
#include "RunSpans.h"
#include "ThreadAffinity.h"
#include "TranscodeRecords.h"
#include "WorkerThread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pelorix {

class TCustomFFmpeg;

enum class THookAction { haContinue, haIgnore, haStop };

// The engine's outward callbacks. The receiver is whatever the function captures; the engine
// passes itself first. An empty function is never called.
using TLogCallback =
    std::function<void(TCustomFFmpeg& ASender, int ALevel, const std::string& AText)>;
using TProgressCallback =
    std::function<void(TCustomFFmpeg& ASender, int AFrameNumber, int AFPS, int ACurrentDuration,
                       float AQuality, float ABitRate, int64_t ACurrentSize, int ATotalDuration)>;
using TTerminateCallback = std::function<void(TCustomFFmpeg& ASender)>;
using TBeforeHookCallback =
    std::function<void(TCustomFFmpeg& ASender, int64_t APTS, THookAction& AAction)>;
using TCustomHookCallback =
    std::function<void(TCustomFFmpeg& ASender, THookBitmap& ABitmap, int AFrameNumber, int64_t APTS,
                       bool& AUpdate, bool& AStopHook)>;

// Codec kinds in the libraries' order: the index into the parked codec option contexts.
enum TCodecKind { ckVideo, ckAudio, ckData, ckSubtitle, ckAttachment, ckCount };

// The kinds that have a frame limit ("vframes", "aframes", "dframes" and subtitles).
constexpr int FrameLimitKinds = ckAttachment;

using TBitstreamFilterChain = std::vector<std::string>; // filter specs, applied in order

// 1. Files and maps.
struct TFileState {
  std::array<TInputContextPtr, MaxFiles> InputFiles;
  int32_t InputFileCount = 0;
  std::array<int64_t, MaxFiles> InputTsOffset{}; // microseconds
  std::array<bool, MaxFiles> InputStartSeek{}; // the input was opened at a start ("ss")
  std::array<std::array<double, MaxStreams>, MaxFiles> InputTsScale{}; // 0 = none
  std::array<TOutputContextPtr, MaxFiles> OutputFiles;
  int32_t OutputFileCount = 0;
  std::array<TStreamMap, MaxStreamMaps> StreamMaps{};
  int32_t StreamMapCount = 0;
  std::array<TMetaDataMap, MaxFiles> MetaDataMaps{};
  int32_t MetaDataMapCount = 0;
  std::array<std::array<TBitstreamFilterChain, MaxStreams>, MaxFiles> BitstreamFilterChains;
  TBitstreamFilterChain VideoBitstreamFilters, AudioBitstreamFilters, SubtitleBitstreamFilters;
};

// 1a. Codec state of the opened files' streams, indexed like Files: [file][stream]. The
// libraries keep only codec parameters in a stream, so the engine owns one decoder context per
// input stream (filled when the input opens) and one encoder context per output stream
// (configured when the stream is created, opened by the transcode).
struct TInputStreamCodec {
  TCodecContextPtr Decoder; // not open; every "codec context" read of an input
  AVRational CodecTimeBase{0, 1}; // the stream's codec time base, also kept in the decoder
  bool RateEmu = false; // read at the input's real-time rate
  float Quality = 0; // quality of the last decoded picture (same-quality encoding)
  TPictureTurn Turn; // how the stream's pictures are turned to play (its display matrix)
};

struct TOutputStreamCodec {
  TCodecContextPtr Encoder; // configured, not open; stays empty for no context
  bool StreamCopy = false; // packets are copied, the encoder is not used
  float Quality = 0; // lambda of a fixed quantiser (118 x qscale), 0 = none
  // Properties the stream took from the last input opened rather than from the user: the
  // transcode replaces them with those of the stream that feeds it.
  bool InheritSize = false, InheritRate = false, InheritAspect = false, InheritPixFmt = false;
  bool InheritChannels = false, InheritSampleRate = false, InheritSampleFmt = false;
  // A second pass's statistics text; Encoder->stats_in points into it. The library never
  // frees it, and it must outlive the encoder's use of it, so it lives beside the encoder.
  TAvString StatsIn;
  // A copy of an input's cover picture (file, stream), added by the output itself; -1: none.
  int32_t CoverFile = -1, CoverStream = -1;
};

// What an input picture or sound stream offers an output that converts it, as the option state
// takes it when the input opens. Pictures are described as they play: turned as the stream's
// display matrix says.
struct TStreamProperties {
  int32_t Width = 0, Height = 0;
  float AspectRatio = 0;
  int32_t PixFmt = -1;
  AVRational FrameRate{0, 0};
  int32_t Channels = 0, SampleRate = 0, SampleFmt = -1;
};

struct TStreamCodecState {
  std::array<std::vector<TInputStreamCodec>, MaxFiles> Inputs;
  std::array<std::vector<TOutputStreamCodec>, MaxFiles> Outputs;
};

// 2. Option state taken by the next input, output or new stream.
struct TOptionState {
  const AVInputFormat* FileInputFormat = nullptr;
  const AVOutputFormat* FileOutputFormat = nullptr;
  int32_t FrameWidth = 0, FrameHeight = 0;
  float FrameAspectRatio = 0;
  int32_t FramePixFmt = -1;
  int32_t AudioSampleFmt = -1;
  int32_t FramePadTop = 0, FramePadBottom = 0, FramePadLeft = 0, FramePadRight = 0;
  std::array<int32_t, 3> PadColor{16, 128, 128}; // Y, U, V
  int32_t FrameTopBand = 0, FrameBottomBand = 0, FrameLeftBand = 0, FrameRightBand = 0;
  // Frame limits per kind, indexed by TCodecKind: video, audio, data, subtitle.
  std::array<int32_t, FrameLimitKinds> MaxFrames{INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX};
  AVRational FrameRate{0, 0};
  float VideoQscale = 0;
  TAvMatrix IntraMatrix, InterMatrix; // 64 entries each
  TAvString VideoRcOverride;
  int32_t VideoDisable = 0;
  int32_t VideoDiscard = 0;
  TAvString VideoCodecName;
  uint32_t VideoCodecTag = 0;
  int32_t SameQuality = 0, DoDeinterlace = 0;
  // Field-coded pictures are deinterlaced by the filter library's motion-adaptive deinterlacer,
  // one picture for one ("deinterlace_fields"); progressive pictures pass as they are.
  int32_t DeinterlaceFields = 0;
  int32_t TopFieldFirst = -1;
  int32_t MeThreshold = 0;
  int32_t IntraDcPrecision = 8;
  int32_t LoopInput = 0;
  int32_t LoopOutput = -1;
  int32_t QpHist = 0;
  std::string VideoFilters;
  int32_t IntraOnly = 0;
  int32_t AudioSampleRate = 44100;
  float AudioQscale = -99999.0f;
  int32_t AudioDisable = 0;
  int32_t AudioChannels = 2;
  TAvString AudioCodecName;
  uint32_t AudioCodecTag = 0;
  std::string AudioLanguage;
  int32_t SubtitleDisable = 0;
  TAvString SubtitleCodecName;
  std::string SubtitleLanguage;
  int32_t AudioStreamCopy = 0, VideoStreamCopy = 0, SubtitleStreamCopy = 0;
  float MuxPreload = 0.5f; // seconds
  float MuxMaxDelay = 0.7f; // seconds
  int64_t RecordingTime = std::numeric_limits<int64_t>::max(); // microseconds
  int64_t StartTime = 0; // microseconds
  int64_t RecTimestamp = 0; // seconds
  int64_t InputTsOffsetOption = 0; // microseconds
  std::string Title, Author, Copyright, Comment, Genre, Album;
  int32_t Year = 0, Track = 0;
  int32_t ProgramId = 0;
  int32_t RateEmu = 0;
  int32_t VideoChannel = 0;
  TAvString VideoStandard;
  int32_t ThreadCount = 1;
  // The properties the last input opened wrote into the fields above; a field that still holds
  // its value was not set by the user.
  TStreamProperties InputVideo, InputAudio;
};

// 3. Run-wide settings, read by the transcode and never consumed.
struct TRunSettings {
  int32_t DoHexDump = 0, DoPktDump = 0, DoPsnr = 0;
  int32_t DoPass = 0;
  std::string PassLogFileName;
  int32_t VideoSyncMethod = -1;
  int32_t AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f; // seconds
  uint8_t CopyTs = 0;
  int32_t Shortest = 0;
  int32_t VideoGlobalHeader = 0;
  TAvString VstatsFileName;
  TCFilePtr VstatsFile; // opened by the transcode, closed by Cleanup
  int32_t AudioVolume = 256;
  uint8_t ExitOnError = 0;
  uint8_t UsingVhook = 0;
  uint8_t UsingVideoFilters = 0;
  int32_t Verbose = 1;
  int32_t InputSync = 0;
  int64_t LimitFileSize = 0; // bytes, 0 = none
  int32_t PgmyuvCompatibilityHack = 0;
  float DtsDeltaThreshold = 10.0f; // seconds
  int32_t CodecThreads = 1; // threads of every decoder and encoder (SetThreadCount)
  int32_t SwsFlags = SWS_BICUBIC;
};

// 4. Options given by name and parked in the libraries' option contexts until a real codec
// or container context exists. Each parking context remembers the names written into it, in
// order, so that a context receives only the settings of its own kind. Options private to
// one encoder or muxer cannot live on a parking context; their texts are kept here instead.
struct TParkedOption {
  std::string Name;
  int Flags = 0; // the option's flags, as the kind test sees them
  bool Private = false; // value kept in PrivateValues, not in the parking context
};

struct TParkingList {
  std::vector<TParkedOption> Names;
  std::map<std::string, std::string> PrivateValues; // last value parked per private name
};

struct TLibraryOptionState {
  std::array<TCodecContextPtr, ckCount> CodecOptions;
  TFormatContextPtr FormatOptions;
  TScaleContextPtr ScaleOptions;
  std::array<TParkingList, ckCount> CodecParked;
  TParkingList FormatParked;
  TParkingList ScaleParked;
  std::vector<std::string> OptNames; // every name accepted, in order, duplicates kept
};

// 5. Run statistics and buffers, written by the transcode.
struct TRunStatistics {
  int64_t VideoSize = 0, AudioSize = 0, ExtraSize = 0; // bytes
  int32_t FramesDup = 0, FramesDrop = 0;
  std::array<uint32_t, 52> QpHistogram{}; // pictures per quantiser, for "qphist"
  int64_t TimerStart = 0; // microseconds
  std::vector<uint8_t> BitBuffer;
  int32_t BitBufferSize = DefaultBitBufferSize; // grows with the largest picture of a run
  std::vector<uint8_t> SubtitleBuffer; // encoded subtitles; made at the first, then kept
  // Codecs opened by the running transcode, newest first; an aborted run closes them.
  std::vector<AVCodecContext*> OpenEncoderList, OpenDecoderList;
  // Packets of the inputs' used streams that the main loop read and decoded or copied: a run
  // with none and nothing written converted nothing.
  int64_t PacketsRead = 0;
};

// 6. Run state and errors. The flags are read and written by different threads.
struct TRunState {
  std::shared_ptr<TWorkerThread> Thread; // set by an asynchronous Start, cleared by EndRun
  std::atomic<bool> Running{false};
  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> Ended{false};
  bool ErrorOccurred = false;
  std::string ErrorMessage;
  std::string LastErrorText;
  int32_t RecordingDuration = -1; // milliseconds
  int64_t ReportInterval = 500000; // microseconds
  TRunSpans Spans; // what the last run read and wrote, made as it ends
};

// 7. Outward callbacks.
struct TCallbacks {
  TLogCallback LogCallback;
  TProgressCallback ProgressCallback;
  TTerminateCallback TerminateCallback;
  TBeforeHookCallback BeforeHookCallback;
  TCustomHookCallback CustomHookCallback;
};

// 8. Hook and filter state.
struct THookRange {
  int64_t Start = 0;
  int64_t End = 0;
};

// Made on first need during a run and freed by Cleanup (which starts the state over).
struct THookState {
  std::vector<THookRange> HookTimeRanges; // sorted by End
  size_t HookRangeIndex = 0; // where the search of the ranges starts
  int32_t HookFrameNumber = 0; // pictures pre-processed so far
  THookAction HookState = THookAction::haContinue; // the decision for the current picture
  TFrameHookList Modules; // added by "vhook", released by Cleanup
  // The working copy of the current picture (deinterlaced or about to be changed by a hook);
  // the picture handed on shares its buffer.
  TFramePtr HookBuffer;
  // The custom hook: the bitmap it draws on, the picture in CustomHookPixelFormat and the
  // cached conversions to and from it. CustomHookOff: switched off for the rest of the run.
  AVPixelFormat CustomHookPixelFormat = AV_PIX_FMT_BGR24;
  std::unique_ptr<THookBitmap> HookBitmap;
  TFramePtr RGBBuffer;
  TScaleContextPtr ToRGBContext, FromRGBContext;
  bool CustomHookOff = false;
};

class TCustomFFmpeg {
public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // --- Lifecycle (owner's thread) ---
  // The calling thread becomes the engine's owner: the operations named "owner's thread" are
  // checked against it from now on (debug builds end the process on a call from another
  // thread). The role moves, it is never shared: the thread that owned the engine before
  // calls none of them afterwards. For an engine configured on one thread and opened, started
  // or cleaned up on another (a task started from the end of the one before it).
  void AdoptOwnerThread() { Owner.Adopt(); }
  // Does nothing while the media libraries are not loaded.
  void Reset();
  void Cleanup();
  // Returns the worker thread for an asynchronous start (suspended: the caller resumes it),
  // else null. A start without files reports its failure through the callbacks at once.
  std::shared_ptr<TWorkerThread> Start(bool AAsync, TConvertPriority APriority);
  void RequestStop();
  void Stop();
  // Any thread, a signal handler too: only sets the stop request (a lock-free store), which a
  // running transcode reads at the top of its loop. Resumes nothing.
  void SignalStop() noexcept { Run.StopRequested = true; }
  // The body of a run; on the worker thread or, for a synchronous start, the caller's.
  virtual void RunTranscode();

  // --- Configuration (owner's thread) ---
  void SetOption(const std::string& AName, const std::string& AValue);
  bool SetLibraryOption(const std::string& AName, const std::string& AValue);
  bool SetLibraryOption(const std::string& AName, int64_t AValue);
  // A disc or camcorder target ("vcd", "svcd", "dvd", "dv", "dv50") with its norm ("pal",
  // "ntsc", "film", anything else: guessed from the frame rate and the opened inputs, then
  // AFallbackNorm). Raises FFMpegException; the steps made before a failure stay.
  void SetTargetPreset(const std::string& AType, const std::string& ANorm,
                       const std::string& AFallbackNorm);
  // Copies the parked values of AOptionContext's kind onto ATarget when the option's flags
  // hold every bit of AFlags.
  void SetContextOptions(void* ATarget, void* AOptionContext, int AFlags);

  // Component setters: each takes one value and ignores the documented "not set" values.
  void SetInputFormat(const std::string& AName);
  void SetOutputFormat(const std::string& AName);
  void SetAudioVolume(int AVolume);
  void SetAudioSyncMethod(int AMethod);
  void SetVideoSyncMethod(int AMethod);
  void SetMuxMaxDelay(float ASeconds);
  void SetMuxPreload(float ASeconds);
  void SetTitle(const std::string& AText);
  void SetAuthor(const std::string& AText);
  void SetCopyright(const std::string& AText);
  void SetComment(const std::string& AText);
  void SetGenre(const std::string& AText);
  void SetAlbum(const std::string& AText);
  void SetYear(int AYear);
  void SetTrack(int ATrack);
  void SetStartTime(int64_t AMicroseconds);
  void SetProgramId(int AProgramId);
  void SetHookRanges(const std::vector<THookRange>& ARanges);
  // Threads of every decoder and encoder the transcode opens: 1 (the default) one thread, 0
  // one per online processor (at most MaxCodecThreads), n > 1 n threads; negative: not set.
  // The codecs thread by frames and by slices, as each supports.
  void SetThreadCount(int ACount);
  int ThreadCount() const { return Settings.CodecThreads; }
  static constexpr int MaxCodecThreads = 16;
  // Owner's thread, before a run: "copyts" can only switch the copy on; these set either way.
  void SetCopyTimestamps(bool ACopy) {
    Owner.Check(__func__);
    Settings.CopyTs = ACopy ? 1 : 0;
  }
  // Owner's thread, before a run: the recording date in whole seconds since 1970 UTC, as
  // "timestamp" sets it from a date text.
  void SetRecordingTimestamp(int64_t ASeconds) {
    Owner.Check(__func__);
    Options.RecTimestamp = ASeconds;
  }

  static std::string FileOpenErrorText(const std::string& AFileName, int ACode);

  // --- Run settings and callbacks (owner's thread, before a run) ---
  // The engine's own verbosity (-1..3); unlike the "v" option it leaves the libraries' level.
  void SetVerbosity(int AVerbose) {
    Owner.Check(__func__);
    Settings.Verbose = AVerbose;
  }
  int Verbose() const { return Settings.Verbose; }
  // At most one progress report per interval (microseconds) while a run goes on.
  void SetReportInterval(int64_t AMicroseconds) {
    Owner.Check(__func__);
    Run.ReportInterval = AMicroseconds;
  }
  int64_t ReportInterval() const { return Run.ReportInterval; }
  void SetLogCallback(TLogCallback ACallback) {
    Owner.Check(__func__);
    Callbacks.LogCallback = std::move(ACallback);
  }
  void SetProgressCallback(TProgressCallback ACallback) {
    Owner.Check(__func__);
    Callbacks.ProgressCallback = std::move(ACallback);
  }
  void SetTerminateCallback(TTerminateCallback ACallback) {
    Owner.Check(__func__);
    Callbacks.TerminateCallback = std::move(ACallback);
  }
  void SetBeforeHookCallback(TBeforeHookCallback ACallback) {
    Owner.Check(__func__);
    Callbacks.BeforeHookCallback = std::move(ACallback);
  }
  void SetCustomHookCallback(TCustomHookCallback ACallback) {
    Owner.Check(__func__);
    Callbacks.CustomHookCallback = std::move(ACallback);
  }

  // --- Results (owner's thread when no run is active, or the end callback's thread) ---
  bool Finished() const { return Run.Finished; }
  bool ErrorOccurred() const { return Run.ErrorOccurred; }
  const std::string& ErrorMessage() const { return Run.ErrorMessage; }
  // Why the last OpenInputFile or OpenOutputFile returned false.
  const std::string& LastErrorText() const { return Run.LastErrorText; }
  // Total output duration asked for ("t"), milliseconds; -1 = none.
  int32_t RecordingDuration() const { return Run.RecordingDuration; }
  bool Running() const { return Run.Running; }
  // What the last run read of each input and wrote to each output (RunSpans.h): made as the
  // run ends, whether it finished, was stopped or failed, before the end callback; empty when
  // the run failed before its set-up was done. Kept until the next run or Reset.
  const TRunSpans& RunSpans() const { return Run.Spans; }

  // --- Opened inputs (owner's thread; the contexts live until Cleanup) ---
  int InputFileCount() const { return Files.InputFileCount; }
  // The opened input AIndex, or null outside 0..InputFileCount()-1.
  AVFormatContext* InputContext(int AIndex) const {
    return AIndex >= 0 && AIndex < Files.InputFileCount ? Files.InputFiles[AIndex].get() : nullptr;
  }

  // --- Input and output files (owner's thread) ---
  // Each returns false with the reason in LastErrorText(); the options an open takes are
  // consumed whether it succeeds or not.
  bool OpenInputFile(const std::string& AFileName);
  bool OpenOutputFile(const std::string& AFileName);
  // Codec id of a named encoder or decoder of AType; an empty or null name gives
  // AV_CODEC_ID_NONE. False with "Unknown ..." or "Invalid ... type ..." in LastErrorText.
  bool FindCodecId(const char* AName, AVMediaType AType, bool AEncoder, AVCodecID& ACodecId);
  // Add one stream to an output container (recorded or being opened); raise FFMpegException.
  void NewVideoStream(AVFormatContext* AContainer);
  void NewAudioStream(AVFormatContext* AContainer);
  void NewSubtitleStream(AVFormatContext* AContainer);
  // Which kinds of streams the opened inputs have.
  void CheckInputStreamKinds(bool& AHasVideo, bool& AHasAudio, bool& AHasSubtitle) const;
  // Audio streams of the opened inputs.
  int InputAudioTrackCount() const;
  // True when the filter chain holds a filter that changes the frame size.
  static bool FiltersResizeFrames(const std::string& AFilters);

protected:
  // Deinterlacing, the before-hook or time ranges, the hook modules and the custom hook, on
  // one decoded picture (FFmpegHooks.cpp). On return the picture may share the buffer of
  // Hooks.HookBuffer.
  void PreprocessVideoFrame(TInputStream& AInput, AVFrame* AFrame);

  void SetDefaults();
  void EndRun();
  // Log line through LogCallback when it is set (levels -1, 0, 1).
  void Log(int ALevel, const std::string& AText);
  void SetVerbose(int AVerbose);

private:
  // --- Options (FFmpegOptions.cpp) ---
  void DoNothing(const std::string& AName);
  bool ParkLibraryOption(const std::string& AName, const std::string& AValue);
  void NoteUserProperty(const std::string& AName);
  TParkingList* ParkingListOf(void* AOptionContext);

  // --- Option value handlers (FFmpegHandlers.cpp) ---
  std::string InputFormatName(const std::string& AName);
  void OptFormat(const std::string& AValue);
  void OptBitRate(const std::string& AName, const std::string& AValue);
  void OptCodecName(const std::string& AName, const std::string& AValue);
  int64_t ParseTime(const std::string& AName, const std::string& AValue, bool ADuration);
  void OptRecordingTime(const std::string& AName, const std::string& AValue);
  void OptRecTimestamp(const std::string& AName, const std::string& AValue);
  void OptMap(const std::string& AValue);
  void OptMetaDataMap(const std::string& AValue);
  void OptInputTsScale(const std::string& AValue);
  void OptFrameRate(const std::string& AValue);
  void OptFrameSize(const std::string& AValue);
  void OptAspect(const std::string& AValue);
  void OptPixelFormat(const std::string& AValue);
  void OptSampleFormat(const std::string& AValue);
  void OptQscale(double AValue);
  void OptCrop(const std::string& AName, int32_t AValue);
  void OptPad(const std::string& AName, int32_t AValue);
  void OptPadColor(int32_t AValue);
  void OptCodecTag(const std::string& AName, const std::string& AValue);
  void OptPass(int32_t AValue);
  void OptMatrix(const std::string& AName, const std::string& AValue);
  void OptVstats();
  void OptVstatsFile(const std::string& AValue);
  void OptBitstreamFilter(const std::string& AName, const std::string& AValue);
  void OptVideoHook(const std::string& AValue);

  // --- Target presets (FFmpegTargets.cpp) ---
  void OptTarget(const std::string& AValue);
  int GuessTargetNorm(const std::string& AFallbackNorm); // 0 PAL, 1 NTSC, 2 film

  // --- Input (FFmpegInput.cpp) ---
  void BuildDemuxerOptions(TAvDictionary& AOptions);
  void ConsumeInputOptions();
  int InputOpenErrorCode(const std::string& AFileName, int ACode) const;
  void LogOpenReason(const std::string& AFileName, int ACode);
  void PrepareInputStream(AVStream* AStream, TInputStreamCodec& ACodec,
                          const std::string& AFileName);
  static TStreamProperties PropertiesOf(const AVStream* AStream, const AVCodecContext* ADecoder);

public:
  // The picture rate an output should take from AStream: the base rate, or the average rate
  // when the base rate is a time-stamp tick or counts fields; terms held to 16 bits.
  static AVRational PictureRateOf(const AVStream* AStream);
  // The most pictures a second an output takes from its source.
  static constexpr int MaxOutputPictureRate = 60;

private:
  // --- Output (FFmpegOutput.cpp, FFmpegOutputStreams.cpp) ---
  void OptNewStream(AVMediaType AType);
  int OutputFileIndexOf(const AVFormatContext* AContainer) const;
  std::string SameFileAsInput(const std::string& AFileName) const;
  AVCodecID ConvertibleSubtitleCodec(const AVOutputFormat* AFormat) const;
  void WriteMetaData(AVFormatContext* AContainer);
  // What an output carries of its first input (FFmpegOutputMetadata.cpp).
  void CarrySourceTags(AVFormatContext* AContainer);
  void CarryChapters(AVFormatContext* AContainer);
  void AddCoverStream(AVFormatContext* AContainer);
  void ApplyMuxerSettings(AVFormatContext* AContainer);
  AVStream* AddOutputStream(AVFormatContext* AContainer, TOutputStreamCodec*& ACodec);
  void ApplyRcOverride(AVCodecContext* AContext);
  // The encoder's picture rate and time base: ARate, or the nearest the encoder supports.
  static void SetEncoderFrameRate(AVCodecContext* AContext, const ::AVCodec* AEncoder,
                                  AVRational ARate);

  // --- Hook modules (FrameHook.cpp) ---
  // The engine's modules are Hooks.Modules, worked on by the FrameHook unit's AddFrameHook
  // ("vhook"), ProcessFrameHooks and ReleaseFrameHooks (Cleanup).

  // --- Transcode set-up (FFmpegSetup.cpp) ---
  void Transcode();
  void BuildStreamTables();
  void ChooseSource(TOutputStream& AOutput, int ANumber);
  // An output's own copy of an input's cover picture (AddCoverStream).
  bool IsCoverPicture(const TOutputStream& AOutput) const;
  void PrepareOutputStreams();
  void PrepareStreamCopy(TOutputStream& AOutput, TInputStream& ASource);
  void KeepDisplayMatrix(TOutputStream& AOutput, const TInputStream& ASource);
  void PrepareEncoding(TOutputStream& AOutput, TInputStream& ASource);
  void PrepareVideoEncoding(TOutputStream& AOutput, TInputStream& ASource);
  void InheritSourceProperties(TOutputStream& AOutput, TInputStream& ASource);
  void KeepPictureTimes(TOutputStream& AOutput, const TInputStream& ASource, bool AInheritedRate,
                        const ::AVCodec* AEncoder);
  void FitAudioToEncoder(TOutputStream& AOutput, bool AChannels, bool ASampleRate);
  std::vector<std::string> AudioRefusals(const TOutputStream& AOutput) const;
  static TFramePtr NewPicture(AVPixelFormat AFormat, int AWidth, int AHeight);
  void OpenPassLogFile(TOutputStream& AOutput, int ANumber);
  void LogStreamMapping();
  void UseCodecThreads(AVCodecContext* AContext) const;
  void OpenDecoder(TInputStream& AInput);
  void OpenEncoder(TOutputStream& AOutput);
  void OpenCodecs();
  void CopyMetaDataMaps();
  void MakeWriter(TOutputStream& AOutput); // with its bitstream filters
  void WriteHeaders();

  // --- Main loop (FFmpegMainLoop.cpp) ---
  void CloseOpenCodecs();
  void TranscodeCleanup();
  double OutputTime(const TOutputStream& AOutput) const;
  int ChooseInputFile(double& AOptsMin);
  void RunMainLoop();
  void CorrectTimestamps(TInputStream& ASource, AVPacket& APacket);
  // How long an audio or video stream lasts as its file tells (microseconds), else no value.
  int64_t KnownStreamLength(const TInputStream& ASource) const;
  // Reading of AFile ended with the result ACode of a read.
  void NoteReadEnd(int AFileIndex, int ACode);
  // The reading ends of the files still read when the main loop ended.
  void NoteLoopEnd();
  void CollectRunSpans(bool AFailed);
  // Throws when a read error cut an input short, a stream read to its end held no packet, or a
  // decoded stream gave nothing.
  void CheckInputsWhole() const;
  void FinishTranscode();
  void CloseOutputFilesChecked();

  // --- Packet routing (FFmpegRouting.cpp) ---
  int OutputPacket(TInputStream& AInput, int AIndex, const AVPacket* APacket);
  // Decodes a packet (null: drains the decoder) and routes what it gives; -1 on a failure.
  int DecodePacket(TInputStream& AInput, int AIndex, const AVPacket* APacket);
  int DecodeFrames(TInputStream& AInput, int AIndex, const AVPacket* APacket);
  void NotePacketEnd(TInputStream& AInput, const AVPacket& APacket);
  // The packet's part in the span read of its stream (RunSpans).
  void NoteSpan(TInputStream& AInput, const AVPacket& APacket);
  void AdvanceCopiedStream(TInputStream& AInput);
  void EmulateRate(TInputStream& AInput);
  bool BeforeStart(const TInputStream& AInput) const;
  void RouteFrame(TInputStream& AInput, int AIndex, AVFrame* AFrame);
  // A picture as it plays (or a block of samples) to every output the stream feeds.
  void RouteDecodedFrame(TInputStream& AInput, int AIndex, AVFrame* AFrame);
  void EncodeVideoFrame(TOutputStream& AOutput, TInputStream& AInput, AVFrame* AFrame);
  void RouteCopies(TInputStream& AInput, int AIndex, const AVPacket& APacket);
  int DecodeSubtitle(TInputStream& AInput, int AIndex, const AVPacket& APacket);
  void CopyPacket(TOutputStream& AOutput, TInputStream& AInput, const AVPacket& APacket);
  int64_t MissingMpegPts(TOutputStream& AOutput, TInputStream& AInput, const AVPacket& APacket,
                         int64_t ADts);
  void DrainEncoders(int AIndex);
  // Hands a picture to the stream's encoder, or to its chunk encoders.
  void SendPicture(TOutputStream& AOutput, const AVFrame& APicture);
  // Writes what the encoder has ready; the size of the last packet written, 0 for none.
  int ReceivePackets(TOutputStream& AOutput);
  // The same for chunk encoders; with AWait, waits for every picture sent (all of them after
  // Finish).
  int TakeChunkedPackets(TOutputStream& AOutput, bool AWait);
  // Counts, logs and writes one packet of the stream's encoder; returns its size.
  int WriteEncodedPacket(TOutputStream& AOutput, AVPacket* APacket);
  // Opens further encoders of a video stream's settings when its encoder cannot use the
  // threads itself. Called with the stream's encoder configured and not yet opened; returns
  // the unopened copies (none when the stream is encoded as it is).
  std::vector<TCodecContextPtr> ChunkEncodersFor(const ::AVCodec& ACodec,
                                                 const AVCodecContext& AEncoder) const;
  // Whether an opened stream's pictures go to chunk encoders.
  bool EncodesInChunks() const;
  void NoteEncodedPicture(TOutputStream& AOutput, const AVPacket& APacket);

  // --- Progress report (FFmpegReport.cpp) ---
  int64_t OutputFileSize() const;
  void PrintReport(bool ALast);
  void WriteVideoStats(TOutputStream& AOutput, int AFrameSize);

  // --- Audio (FFmpegAudio.cpp) ---
  void ScaleVolume(AVFrame* AFrame); // "vol", on every decoded block before it is routed
  // The audio stage of a re-encoded stream, writing what it encodes through AOutput.
  std::unique_ptr<TAudioOutputStage> NewAudioStage(TOutputStream& AOutput, bool AResample);

  // --- Frame pre-processing and hooks (FFmpegHooks.cpp; PreprocessVideoFrame is above) ---
  void BeforeHookDecision(int64_t APts);
  void TimeRangeDecision(int64_t APts);
  AVFrame* MakeWorkingCopy(AVFrame* AFrame);
  void RunCustomHook(AVFrame* AWork, int64_t APts);

  // --- Video and subtitles (FFmpegVideo.cpp, FFmpegSubtitles.cpp) ---
  void OutputVideo(TOutputStream& AOutput, TInputStream& AInput, AVFrame* AFrame, int& AFrameSize);
  void OutputSubtitle(TOutputStream& AOutput, TInputStream& AInput, AVSubtitle* ASubtitle,
                      int64_t APts);
  int64_t VideoFramesDue(TOutputStream& AOutput);
  // Sends APicture AFrames times from SyncOpts on; the size of the last packet written.
  int EmitPicture(TOutputStream& AOutput, AVFrame& APicture, int64_t AFrames);
  int64_t PicturesEndOf(const TInputStream& AInput) const;
  void EndPictures(TOutputStream& AOutput, int64_t AEnd);
  void NoteSentPicture(TOutputStream& AOutput, int64_t APts);
  void HoldVideoPacket(TOutputStream& AOutput, AVPacket* APacket);
  void WriteWaitingPackets(TOutputStream& AOutput, bool AEnd);
  // The longest a last picture is believed to show beyond its own duration, microseconds.
  static constexpr int64_t MaxHeldPicture = 60 * AV_TIME_BASE;
  AVFrame* FormatPicture(TOutputStream& AOutput, AVFrame* AFrame);
  void FitScaler(TOutputStream& AOutput, int AWidth, int AHeight, AVPixelFormat AFormat,
                 bool AByFields);
  void KeepTempPictureWritable(TOutputStream& AOutput);
  AVFrame* PictureFailed(const char* AMessage);
  void WriteSubtitlePacket(TOutputStream& AOutput, int64_t APts, int64_t ADuration, uint8_t* AData,
                           int ASize);
  void FlushSubtitles(int AIndex);

  // --- Pictures as they play (FFmpegSourcePictures.cpp) ---
  // Size, format and sample shape of the pictures AInput's outputs receive.
  static TVideoFilterInput SourcePictureOf(const TInputStream& AInput);
  // Builds AInput's graph when its pictures must be turned or deinterlaced (once per stream).
  void PrepareSourcePictures(TInputStream& AInput);
  void FilterSourcePicture(TInputStream& AInput, int AIndex, AVFrame* AFrame);
  void RouteSourcePictures(TInputStream& AInput, int AIndex);
  // End of input AIndex: the pictures its graph holds go on.
  void DrainSourcePictures(TInputStream& AInput, int AIndex);

  // --- Video filters (FFmpegFilters.cpp) ---
  int BuildVideoFilters(TInputStream& AInput, TOutputStream& AOutput);
  // The picture through AOutput's graph, and what comes out on to its encoder.
  void FilterVideoFrame(TOutputStream& AOutput, TInputStream& AInput, AVFrame* AFrame);
  void OutputFilteredPictures(TOutputStream& AOutput, TInputStream& AInput);
  int GetFilteredPicture(TOutputStream& AOutput, int64_t& APts);
  // End of input AIndex: its graphs give up the pictures they hold.
  void DrainVideoFilters(TInputStream& AInput, int AIndex);

  // --- Model and lifecycle (FFmpegModel.cpp, FFmpegLifecycle.cpp) ---
  void CloseOutputFiles();
  void RunFailed(const std::string& AMessage);
  // Cleanup's work without the owner's check: the run's end and destruction release the
  // engine on whichever thread they run.
  void ReleaseAll();

  friend class TEngineInternals; // the tests' one way into the state records below

  // --- State, grouped as the model above: the engine's own, behind the operations ---
  TFileState Files;
  TStreamCodecState StreamCodecs;
  TOptionState Options;
  TRunSettings Settings;
  TLibraryOptionState LibOptions;
  TRunStatistics Stats;
  TRunState Run;
  TCallbacks Callbacks;
  THookState Hooks;
  TTranscodeTables Tables; // working tables of the running transcode

  TThreadAffinity Owner; // the thread that configures, starts and cleans up the engine

  std::mutex WorkersLock;
  std::vector<std::shared_ptr<TWorkerThread>> Workers; // every thread that runs for this engine
  std::atomic<bool> EndScheduled{false};
};

} // namespace pelorix
