// Loading and binding the media libraries. Every case runs in a process of its own (see
// tests/CMakeLists.txt), since a successful load lasts for the life of the process.
#include "AVCodecHlpr.h"
#include "AVFilterHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MediaLibraries.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

#include <gtest/gtest.h>

#include <link.h>

#include <string>
#include <vector>

namespace pelorix {
namespace {

std::string Folder(const std::string& AName) {
  return std::string(PELORIX_BINDING_FOLDERS) + "/" + AName;
}

std::vector<TLibraryBinding*> AllLibraries() {
  return {&AVCodecLibrary(), &AVFilterLibrary(),   &AVFormatLibrary(), &AVUtilLibrary(),
          &SwScaleLibrary(), &SwResampleLibrary(), &MyUtilLibrary()};
}

void ExpectNothingLoaded() {
  EXPECT_FALSE(MediaLibrariesLoaded());
  for (TLibraryBinding* Library : AllLibraries()) {
    EXPECT_FALSE(Library->IsLibraryLoaded()) << Library->LibraryFileName();
    EXPECT_FALSE(Library->IsLibraryBound()) << Library->LibraryFileName();
  }
}

// Names under which the process holds the media libraries (as they were asked for).
std::vector<std::string> LoadedMediaObjects() {
  std::vector<std::string> Names;
  dl_iterate_phdr(
      [](dl_phdr_info* AInfo, size_t, void* AData) {
        const std::string Name = AInfo->dlpi_name ? AInfo->dlpi_name : "";
        for (const char* Stem : {"libavcodec", "libavformat", "libavutil", "libswscale",
                                 "libavfilter", "libswresample"})
          if (Name.find(Stem) != std::string::npos)
            static_cast<std::vector<std::string>*>(AData)->push_back(Name);
        return 0;
      },
      &Names);
  return Names;
}

TEST(TMediaLibrariesTest, LoadsTheWholeSetFromTheFolder) {
  ASSERT_TRUE(LoadMediaLibraries(Folder("complete"), true)) << MediaLibrariesError();
  EXPECT_TRUE(MediaLibrariesLoaded());
  EXPECT_EQ(MediaLibrariesError(), "");
  for (TLibraryBinding* Library : AllLibraries()) EXPECT_TRUE(Library->IsLibraryBound());
  EXPECT_EQ(AVCodecLibrary().LibraryFileName(), "libavcodec.so.59");
  EXPECT_EQ(AVUtilLibrary().LibraryFileName(), "libavutil.so.57");
  EXPECT_EQ(AVCodec().avcodec_version() >> 16, 59u);
  EXPECT_EQ(MediaLogLevel, 1); // the libraries start at their information level
  EXPECT_NO_THROW(CheckMediaLibraries());
  // The support entries are the C library's own.
  char Text[16];
  MyUtil().my_snprintf(Text, sizeof(Text), "%d-%s", 42, "x");
  EXPECT_STREQ(Text, "42-x");
}

TEST(TMediaLibrariesTest, FamilyDependenciesResolveInTheFolder) {
  ASSERT_TRUE(LoadMediaLibraries(Folder("complete"), true)) << MediaLibrariesError();
  const std::vector<std::string> Objects = LoadedMediaObjects();
  EXPECT_EQ(Objects.size(), 6u);
  for (const std::string& Name : Objects) EXPECT_EQ(Name.rfind(Folder("complete"), 0), 0u) << Name;
}

TEST(TMediaLibrariesTest, SecondLoadReturnsAtOnceWhateverItAsks) {
  ASSERT_TRUE(LoadMediaLibraries(Folder("complete"), true));
  EXPECT_TRUE(LoadMediaLibraries("/nonexistent", false));
  EXPECT_EQ(AVCodecLibrary().LibraryFileName(), "libavcodec.so.59");
}

TEST(TMediaLibrariesTest, PlainNamesLoadWhenNotVersioned) {
  ASSERT_TRUE(LoadMediaLibraries(PELORIX_LIBRARY_FOLDER, false)) << MediaLibrariesError();
  EXPECT_EQ(AVFormatLibrary().LibraryFileName(), "libavformat.so");
}

TEST(TMediaLibrariesTest, EmptyFolderUsesTheStandardSearch) {
  ASSERT_TRUE(LoadMediaLibraries("", true)) << MediaLibrariesError();
  for (const std::string& Name : LoadedMediaObjects())
    EXPECT_EQ(Name.find(Folder("")), std::string::npos) << Name;
}

TEST(TMediaLibrariesTest, MissingEntryPointFailsAndLeavesNothingLoaded) {
  EXPECT_FALSE(LoadMediaLibraries(Folder("missing-entry"), true));
  const std::string Error = MediaLibrariesError();
  EXPECT_EQ(Error.rfind("Load function avcodec_get_class@libavcodec.so.59 error: ", 0), 0u)
      << Error;
  EXPECT_NE(Error.find("undefined symbol: avcodec_get_class"), std::string::npos) << Error;
  EXPECT_EQ(AVCodecLibrary().LastError(), Error);
  ExpectNothingLoaded();
}

TEST(TMediaLibrariesTest, MissingFilterLibraryFailsTheEngineSideOnly) {
  EXPECT_FALSE(LoadMediaLibraries(Folder("no-filter"), true));
  const std::string Error = MediaLibrariesError();
  EXPECT_EQ(Error.rfind("Load libraray libavfilter.so.8 error: ", 0), 0u) << Error;
  EXPECT_NE(Error.find("No such file or directory"), std::string::npos) << Error;
  ExpectNothingLoaded();

  std::string ProbeError = "left over";
  EXPECT_TRUE(LoadProbeLibraries(ProbeError, Folder("no-filter"), true)) << ProbeError;
  EXPECT_NO_THROW(CheckMediaLibraries());
  EXPECT_FALSE(AVFilterLibrary().IsLibraryLoaded());
  EXPECT_FALSE(MyUtilLibrary().IsLibraryLoaded());
}

TEST(TMediaLibrariesTest, ProbeLoadFailureUnloadsItsLibraries) {
  std::string Error;
  EXPECT_FALSE(LoadProbeLibraries(Error, Folder("missing-entry"), true));
  EXPECT_EQ(Error.rfind("Load function avcodec_get_class@libavcodec.so.59", 0), 0u) << Error;
  ExpectNothingLoaded();
}

TEST(TMediaLibrariesTest, CheckNamesTheFirstUnboundLibrary) {
  auto CheckText = [] {
    try {
      CheckMediaLibraries();
    } catch (const TBindingError& E) {
      return std::string(E.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(CheckText(), "LibAVCodec not loaded.");
  std::string Error;
  ASSERT_TRUE(AVCodecLibrary().InitLibrary(Error, Folder("complete"), true)) << Error;
  EXPECT_EQ(CheckText(), "LibAVFormat not loaded.");
  ASSERT_TRUE(AVFormatLibrary().InitLibrary(Error, Folder("complete"), true)) << Error;
  ASSERT_TRUE(AVUtilLibrary().InitLibrary(Error, Folder("complete"), true)) << Error;
  EXPECT_EQ(CheckText(), "LibSwScale not loaded.");
  ASSERT_TRUE(SwScaleLibrary().InitLibrary(Error, Folder("complete"), true)) << Error;
  EXPECT_EQ(CheckText(), "no exception");
}

TEST(TMediaLibrariesTest, LogScaleMapsOntoLibraryLevels) {
  ASSERT_TRUE(LoadMediaLibraries(Folder("complete"), true));
  const int Expected[] = {AV_LOG_QUIET, AV_LOG_ERROR, AV_LOG_INFO, AV_LOG_DEBUG, AV_LOG_TRACE};
  for (int Scale = -1; Scale <= 3; ++Scale) {
    SetMediaLogLevel(Scale);
    EXPECT_EQ(AVUtil().av_log_get_level(), Expected[Scale + 1]);
    EXPECT_EQ(MediaLogLevel, Scale);
    EXPECT_EQ(LogScaleOf(AVUtil().av_log_get_level()), Scale);
  }
}

} // namespace
} // namespace pelorix
