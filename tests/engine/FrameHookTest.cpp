// Video hook modules: loading and the module contract, the library cache, the example
// module, and the "vhook" option that adds modules to an engine.
#include "EngineInternals.h"
#include "MediaTestSupport.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <deque>
#include <filesystem>
#include <numeric>
#include <vector>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

std::string TestHook(const std::string& AVariant) {
  return std::string(PELORIX_TEST_HOOK_DIR) + "/test-hook-" + AVariant + ".so";
}

// The calls a loaded stand-in module has recorded.
std::string EventsOf(const std::string& APath) {
  void* Library = ::dlopen(APath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!Library) return "(not loaded)";
  auto Events = reinterpret_cast<const char* (*)()>(::dlsym(Library, "HookTestEvents"));
  const std::string Text = Events ? Events() : "(no recorder)";
  ::dlclose(Library);
  return Text;
}

// The libraries' log lines of this process.
std::vector<std::string> LibraryLines;
void CollectLine(void*, int, const char* AFormat, va_list AArguments) {
  char Line[1024];
  std::vsnprintf(Line, sizeof Line, AFormat, AArguments);
  LibraryLines.emplace_back(Line);
}

// A folder of its own for the test, removed afterwards.
struct TScratchFolder {
  fs::path Path;
  explicit TScratchFolder(const std::string& AName)
      : Path(fs::temp_directory_path() / (AName + "-" + std::to_string(::getpid()))) {
    fs::create_directories(Path);
  }
  ~TScratchFolder() { fs::remove_all(Path); }
};

// An 8x8 YUV 4:2:0 picture with distinct byte values.
struct TYuvPicture {
  std::array<uint8_t, 64> Y;
  std::array<uint8_t, 16> U, V;
  TYuvPicture() {
    std::iota(Y.begin(), Y.end(), 0);
    std::iota(U.begin(), U.end(), 100);
    std::iota(V.begin(), V.end(), 200);
  }
  TPelorixHookPicture Planes() { return {{Y.data(), U.data(), V.data(), nullptr}, {8, 4, 4, 0}}; }
};

class TFrameHookTest : public ::testing::Test {
protected:
  void SetUp() override {
    test::RequireMediaLibraries();
    AVUtil().av_log_set_callback(CollectLine);
  }

  // The texts stay with the fixture: a module may keep pointers into them until Release.
  int Add(const std::vector<std::string>& AArguments) {
    std::vector<char*> Vector;
    for (const std::string& Argument : AArguments)
      Vector.push_back(ArgumentTexts.emplace_back(Argument).data());
    const int Count = static_cast<int>(Vector.size());
    Vector.push_back(nullptr);
    return AddFrameHook(List, Count, Vector.data());
  }

  void ProcessOnce(int64_t APts) {
    TYuvPicture Picture;
    TPelorixHookPicture Planes = Picture.Planes();
    ProcessFrameHooks(List.Head, Planes, AV_PIX_FMT_YUV420P, 8, 8, APts);
  }

  std::deque<std::string> ArgumentTexts;
  TFrameHookList List;
};

TEST_F(TFrameHookTest, OneLibraryServesEveryEntryWithItsOwnContext) {
  const std::string Path = TestHook("full");
  const std::string OtherSpelling = PELORIX_TEST_HOOK_DIR "/./test-hook-full.so";
  ASSERT_EQ(Add({Path, "first"}), 0);
  ASSERT_EQ(Add({OtherSpelling, "second"}), 0);
  EXPECT_EQ(HookModuleCache().Count(), 1u);
  ProcessOnce(40000);
  ReleaseFrameHooks(List);
  EXPECT_EQ(List.Head, nullptr);
  // Release still reads the argument texts Configure was given.
  EXPECT_EQ(EventsOf(Path), "configure [first] -> 1;configure [second] -> 2;"
                            "process 1 fmt 0 8x8 pts 40000;process 2 fmt 0 8x8 pts 40000;"
                            "release 1 first;release 2 second;");
  EXPECT_TRUE(LibraryLines.empty());
}

TEST_F(TFrameHookTest, ModuleWithoutConfigureTakesNoArguments) {
  const std::string Path = TestHook("noconfigure");
  EXPECT_EQ(Add({Path}), 0);
  EXPECT_EQ(Add({Path, "x"}), HookEntryMissing);
  EXPECT_EQ(LibraryLines,
            std::vector<std::string>{"Failed to find Configure entrypoint in " + Path + "\n"});
  ProcessOnce(0);
  List = TFrameHookList{}; // overwriting the list releases its modules
  EXPECT_EQ(EventsOf(Path), "process 0 fmt 0 8x8 pts 0;release 0 -;");
}

TEST_F(TFrameHookTest, RefusedModulesAreNotAdded) {
  const std::string NoProcess = TestHook("noprocess");
  const std::string Full = TestHook("full");
  const std::string Missing = PELORIX_TEST_HOOK_DIR "/no-such-hook.so";
  EXPECT_EQ(Add({}), HookEntryMissing);
  EXPECT_EQ(Add({NoProcess}), HookEntryMissing);
  EXPECT_EQ(Add({Full, "refuse"}), HookConfigureFailed);
  EXPECT_EQ(Add({Missing}), HookLoadFailed);
  EXPECT_EQ(List.Head, nullptr);
  ASSERT_EQ(LibraryLines.size(), 3u);
  EXPECT_EQ(LibraryLines[0], "Failed to find Process entrypoint in " + NoProcess + "\n");
  EXPECT_EQ(LibraryLines[1], "Failed to Configure " + Full + "\n");
  EXPECT_NE(LibraryLines[2].find("no-such-hook.so"), std::string::npos) << LibraryLines[2];
  EXPECT_EQ(LibraryLines[2].back(), '\n');
  // A refused Configure gets no Release.
  EXPECT_EQ(EventsOf(Full), "configure [refuse] refused;");
}

TEST_F(TFrameHookTest, PathsDifferingInCaseNameDifferentFiles) {
  TScratchFolder Folder("pelorix-hook-case");
  const fs::path Copy = Folder.Path / "Hook.so";
  fs::copy_file(TestHook("full"), Copy);
  ASSERT_EQ(Add({Copy.string()}), 0);
  // "hook.so" is not there, whatever is cached under "Hook.so".
  EXPECT_EQ(Add({(Folder.Path / "hook.so").string()}), HookLoadFailed);
  EXPECT_EQ(HookModuleCache().Count(), 1u);
}

TEST_F(TFrameHookTest, ExampleModuleInvertsItsRectangle) {
  ASSERT_EQ(Add({PELORIX_HOOK_INVERT, "2", "2", "4", "2"}), 0);
  TYuvPicture Original, Picture;
  TPelorixHookPicture Planes = Picture.Planes();
  ProcessFrameHooks(List.Head, Planes, AV_PIX_FMT_YUV420P, 8, 8, 0);
  for (int Y = 0; Y < 8; ++Y)
    for (int X = 0; X < 8; ++X) {
      const bool Inside = X >= 2 && X < 6 && Y >= 2 && Y < 4;
      const uint8_t Was = Original.Y[Y * 8 + X];
      EXPECT_EQ(Picture.Y[Y * 8 + X], Inside ? 255 - Was : Was) << X << "," << Y;
    }
  for (int Y = 0; Y < 4; ++Y)
    for (int X = 0; X < 4; ++X) {
      const bool Inside = X >= 1 && X < 3 && Y == 1;
      const uint8_t Was = Original.U[Y * 4 + X];
      EXPECT_EQ(Picture.U[Y * 4 + X], Inside ? 255 - Was : Was) << X << "," << Y;
    }
  EXPECT_EQ(Add({PELORIX_HOOK_INVERT, "2", "2", "wide", "2"}), HookConfigureFailed);
}

class TVideoHookOptionTest : public TFrameHookTest {
protected:
  void SetUp() override {
    TFrameHookTest::SetUp();
    Engine.Reset();
  }
  TCustomFFmpeg Engine;
};

TEST_F(TVideoHookOptionTest, ValueSplitsAtBarsOrElseAtBlanks) {
  TScratchFolder Folder("pelorix hook blanks");
  const std::string Path = (Folder.Path / "test hook.so").string();
  fs::copy_file(TestHook("full"), Path);
  Engine.SetOption("vhook", Path + "|a b||c");
  EXPECT_EQ(Internals(Engine).Settings.UsingVhook, 1);
  Engine.SetOption("vhook", TestHook("full") + "  d e");
  EXPECT_EQ(EventsOf(Path), "configure [a b] [c] -> 1;");
  EXPECT_EQ(EventsOf(TestHook("full")), "configure [d] [e] -> 1;");
  Engine.Reset(); // the clean-up releases the modules
  EXPECT_EQ(Internals(Engine).Hooks.Modules.Head, nullptr);
  EXPECT_EQ(EventsOf(Path), "configure [a b] [c] -> 1;release 1 a b;");
  EXPECT_EQ(EventsOf(TestHook("full")), "configure [d] [e] -> 1;release 1 d;");
}

TEST_F(TVideoHookOptionTest, FailureNamesTheWholeValue) {
  const std::string Value = TestHook("full") + " refuse";
  try {
    Engine.SetOption("vhook", Value);
    FAIL() << "no error";
  } catch (const FFMpegException& E) {
    EXPECT_EQ(std::string(E.what()), "Failed to add video hook function: " + Value);
  }
  EXPECT_EQ(Internals(Engine).Settings.UsingVhook, 0);
  EXPECT_THROW(Engine.SetOption("vhook", "  "), FFMpegException);
}

} // namespace
} // namespace pelorix
