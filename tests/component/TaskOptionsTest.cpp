// The option records' translation into engine settings: the extra-options text, the input
// steps, the output steps with their conditions and order, targets, hooks and hook ranges.
// Engine state that no operation reports is read through the tests' access point.
#include "ConverterTestSupport.h"
#include "EngineInternals.h"

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>

namespace pelorix {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

class TTaskOptionsTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    Engine.Reset();
  }
  TCustomFFmpeg Engine;
};

TEST(TExtOptionsTest, LinesSplitAtTheFirstEqualsSignAfterTrimmingTheWholeText) {
  EXPECT_EQ(ParseExtOptions("  vn=1\r\n\r\nab=64  "), (Pairs{{"vn", "1"}, {"", ""}, {"ab", "64"}}));
  EXPECT_EQ(ParseExtOptions("title=a=b"), (Pairs{{"title", "a=b"}}));
  EXPECT_EQ(ParseExtOptions("an\rvol = 300\n"), (Pairs{{"an", ""}, {"vol ", " 300"}}));
  EXPECT_TRUE(ParseExtOptions(" \r\n ").empty());
}

TEST_F(TTaskOptionsTest, ExtOptionsGoThroughTheDispatcher) {
  ApplyExtOptions(Engine, "vn=1\ntitle=a=b");
  EXPECT_EQ(Internals(Engine).Options.VideoDisable, 1);
  EXPECT_EQ(Internals(Engine).Options.Title, "a=b");
  EXPECT_THROW(ApplyExtOptions(Engine, "pass=3"), FFMpegException);
}

TEST_F(TTaskOptionsTest, InputStepsApplyOnlySetValues) {
  TInputOptions Options;
  Options.StartTime = 0;
  ApplyInputOptions(Engine, Options);
  EXPECT_EQ(Internals(Engine).Options.StartTime, 0);
  Options.StartTime = INT32_MAX; // the product needs 64 bits
  Options.ProgramID = 0;
  ApplyInputOptions(Engine, Options);
  EXPECT_EQ(Internals(Engine).Options.StartTime, int64_t{INT32_MAX} * 1000);
  EXPECT_EQ(Internals(Engine).Options.ProgramId, 0);
  Options.FileFormat = "nosuchformat";
  EXPECT_THROW(
      try { ApplyInputOptions(Engine, Options); } catch (const std::exception& E) {
        EXPECT_STREQ(E.what(), "Unknown input format: nosuchformat");
        throw;
      },
      std::exception);
}

TEST_F(TTaskOptionsTest, DefaultRecordAppliesTheAlwaysAppliedStepsOverExtraLines) {
  TOutputOptions Options;
  ApplyExtOptions(Engine, "async=1\nalang=eng\nvsync=2\nslang=ger\ncopyts=\npadcolor=255");
  ApplyOutputOptions(Engine, Options);
  const auto State = Internals(Engine);
  EXPECT_EQ(State.Settings.AudioSyncMethod, 0);
  EXPECT_EQ(State.Options.AudioLanguage, "");
  EXPECT_EQ(State.Settings.VideoSyncMethod, -1);
  EXPECT_EQ(State.Options.SubtitleLanguage, "");
  EXPECT_EQ(State.Settings.CopyTs, 0);
  EXPECT_EQ(State.Options.PadColor, (std::array<int32_t, 3>{0, 128, 128})); // black
  // Everything else kept its engine default.
  EXPECT_EQ(State.Settings.AudioVolume, 256);
  EXPECT_EQ(State.Options.RecordingTime, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(State.Options.RecTimestamp, 0);
  EXPECT_EQ(State.Options.Title, "");
}

TEST_F(TTaskOptionsTest, OutputStepsHonourTheirConditions) {
  TOutputOptions Options;
  Options.AudioVolume = 0; // mute is a value
  Options.FrameSize = "320x240";
  Options.CropTop = 0;
  Options.CropLeft = 8;
  Options.Duration = INT32_MAX; // microseconds need 64 bits
  Options.CopyTimestamps = true;
  Options.PadColor = 0x80000010; // a desktop colour: black without a resolver
  SetMetaText(Options.Title, std::string(600, 't')); // fills the array, no terminator
  SetMetaText(Options.Genre, "Jazz");
  ApplyOutputOptions(Engine, Options);
  const auto State = Internals(Engine);
  EXPECT_EQ(State.Settings.AudioVolume, 0);
  EXPECT_EQ(State.Options.FrameHeight, 240); // a top crop of 0 is applied and changes nothing
  EXPECT_EQ(State.Options.FrameLeftBand, 8);
  EXPECT_EQ(State.Options.RecordingTime, int64_t{INT32_MAX} * 1000);
  EXPECT_EQ(Engine.RecordingDuration(), INT32_MAX);
  EXPECT_EQ(State.Settings.CopyTs, 1);
  EXPECT_EQ(State.Options.PadColor, (std::array<int32_t, 3>{0, 128, 128}));
  EXPECT_EQ(State.Options.Title, std::string(512, 't'));
  EXPECT_EQ(State.Options.Genre, "Jazz");

  Options.PadColor = 0x80000010;
  ApplyOutputOptions(Engine, Options, [](uint32_t) { return 0xFFFFFFFFu; });
  EXPECT_EQ(Internals(Engine).Options.PadColor, (std::array<int32_t, 3>{255, 128, 128}));
}

TEST_F(TTaskOptionsTest, TimestampIsLocalDaysTurnedIntoUtcSeconds) {
  // 1 January 2000, 12:00 local time in a zone one hour east of UTC, summer time or not.
  ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  EXPECT_EQ(LocalStandardBiasMinutes(), -60);
  EXPECT_EQ(LocalDaysToUnixSeconds(36526.5, -60), 946728000 - 3600);
  TOutputOptions Options;
  Options.Timestamp = 36526.5;
  ApplyOutputOptions(Engine, Options);
  EXPECT_EQ(Internals(Engine).Options.RecTimestamp, 946728000 - 3600);

  Options.Timestamp = -2; // not set: left alone
  ApplyOutputOptions(Engine, Options);
  EXPECT_EQ(Internals(Engine).Options.RecTimestamp, 946728000 - 3600);
  Options.Timestamp = 0; // now
  const int64_t Before = std::time(nullptr);
  ApplyOutputOptions(Engine, Options);
  EXPECT_GE(Internals(Engine).Options.RecTimestamp, Before);
  EXPECT_LE(Internals(Engine).Options.RecTimestamp, std::time(nullptr));
}

TEST(TTargetTest, TargetAndNormsBecomePresetArguments) {
  TOutputOptions Options;
  EXPECT_EQ(TargetChoiceOf(Options), std::nullopt);
  Options.Target = 3;
  Options.FallbackNorm = 2;
  EXPECT_EQ(TargetChoiceOf(Options), (TTargetChoice{"dvd", "auto", "ntsc"}));
  Options.Target = 1;
  Options.Norm = 2;
  Options.FallbackNorm = 1;
  EXPECT_EQ(TargetChoiceOf(Options), (TTargetChoice{"vcd", "ntsc", "pal"}));
  Options.Target = 4;
  EXPECT_EQ(TargetChoiceOf(Options), std::nullopt);
}

TEST(THookRangesTest, PairsAreReadInMicrosecondsAndInvalidOnesDropped) {
  const auto Ranges = ParseHookRanges("5000-1000, 2000-3000, x-4000");
  ASSERT_EQ(Ranges.size(), 2u);
  EXPECT_EQ(Ranges[0].Start, 2000000);
  EXPECT_EQ(Ranges[0].End, 3000000);
  EXPECT_EQ(Ranges[1].Start, -1000);
  EXPECT_EQ(Ranges[1].End, 4000000);
  EXPECT_TRUE(ParseHookRanges("1000, 7-, ,x-y").empty());
  const auto Huge = ParseHookRanges(" 0 - 9223372036854775807 ");
  ASSERT_EQ(Huge.size(), 1u);
  EXPECT_EQ(Huge[0].End, INT64_MAX);
}

TEST_F(TTaskOptionsTest, HookRangesReplaceTheEngineListSortedByEnd) {
  ApplyHookRanges(Engine, "60000-65000, 0-5000");
  const auto& List = Internals(Engine).Hooks.HookTimeRanges;
  ASSERT_EQ(List.size(), 2u);
  EXPECT_EQ(List[0].End, 5000000);
  EXPECT_EQ(List[1].End, 65000000);
  ApplyHookRanges(Engine, "nonsense");
  EXPECT_TRUE(Internals(Engine).Hooks.HookTimeRanges.empty());
}

using test::TConverterTest;

// A task runs one hook at most: the custom hook when asked for, else the before-hook (which is
// asked while hook modules run).
TEST_F(TConverterTest, CustomHookWinsOverBeforeHook) {
  std::mutex Lock;
  std::set<int> CustomHooked, BeforeHooked;
  Converter->SetOnCustomHook([&](int AIndex, THookBitmap&, int, int64_t, bool&, bool&) {
    std::lock_guard Guard(Lock);
    CustomHooked.insert(AIndex);
  });
  Converter->SetOnBeforeHook([&](int AIndex, int64_t, THookAction&) {
    std::lock_guard Guard(Lock);
    BeforeHooked.insert(AIndex);
  });
  const std::string Module = std::string("vhook=") + PELORIX_HOOK_INVERT;
  TOutputOptions Both;
  Both.CustomHook = true;
  Both.BeforeHook = true;
  Both.HookRanges = "0-5000";
  Both.ExtOptions = Module;
  AddConfigured("mpeg4_mp3.avi", &Both);
  TOutputOptions Before;
  Before.BeforeHook = true;
  Before.ExtOptions = Module;
  AddConfigured("mpeg4_mp3.avi", &Before);
  TOutputOptions Neither;
  Neither.HookRanges = "0-5000";
  Neither.ExtOptions = Module;
  AddConfigured("mpeg4_mp3.avi", &Neither);

  test::TRunRecorder Recorder(*Converter);
  Converter->Start(1);
  ASSERT_TRUE(Recorder.WaitForFinal());
  std::lock_guard Guard(Lock);
  EXPECT_EQ(CustomHooked, std::set<int>{0});
  EXPECT_EQ(BeforeHooked, std::set<int>{1});
  for (int I = 0; I < 3; ++I) ExpectValidOutput(I);
}

} // namespace
} // namespace pelorix
