// Batches that are cut off and run again: however a run ends (Ctrl-C, SIGTERM, SIGKILL, its
// whole process group killed as a power cut would), the same command run again converts what
// is left, and in the end every file has one whole output, converted once. The GNU parallel
// recipe of docs/batch.md runs here as written, on this machine alone.
#include "ConvertTestSupport.h"
#include "MediaFacts.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <map>

namespace pelorix {
namespace {

using test::TConvertCommandTest;
using test::TProgramRun;
using TJson = nlohmann::json;
namespace fs = std::filesystem;

constexpr double ClipSeconds = 2.0; // tone.wav

using TBatchResumeTest = TConvertCommandTest;

// Every line of the runs that is a file's JSON object.
std::vector<TJson> FileRecords(const std::vector<std::string>& ALines) {
  std::vector<TJson> Records;
  for (const std::string& Line : ALines) {
    const TJson Object = TJson::parse(Line, nullptr, false);
    if (Object.is_object() && Object.value("type", "") == "file") Records.push_back(Object);
  }
  return Records;
}

// What the output folder holds between runs: every file under a final name is whole, or was
// cut short by a stop, plays, and has the record that says so.
void CheckOutputsBetweenRuns(const fs::path& AFolder) {
  if (!fs::exists(AFolder)) return;
  for (const fs::directory_entry& Entry : fs::recursive_directory_iterator(AFolder)) {
    const std::string Name = Entry.path().filename().string();
    if (!Entry.is_regular_file() || Name[0] == '.') continue;
    SCOPED_TRACE(Name);
    const test::TMediaFacts Facts = test::ReadMediaFacts(Entry.path().string());
    ASSERT_TRUE(Facts.Opened);
    if (std::abs(Facts.Duration() - ClipSeconds) < 0.05) continue;
    std::ifstream Record(Entry.path().parent_path() / ("." + Name + ".partial"));
    std::string State;
    std::getline(Record, State);
    EXPECT_EQ(State, "stopped") << Facts.Duration();
    EXPECT_GT(Facts.Duration(), 0);
  }
}

// At the end: one output per source, whole, named without a number, and nothing else: no
// temporary file, no record.
void CheckFinalOutputs(const fs::path& AFolder, const std::vector<std::string>& AExpected) {
  std::vector<std::string> Found;
  for (const fs::directory_entry& Entry : fs::recursive_directory_iterator(AFolder))
    if (Entry.is_regular_file()) Found.push_back(fs::relative(Entry.path(), AFolder).string());
  std::sort(Found.begin(), Found.end());
  EXPECT_EQ(Found, AExpected);
  for (const std::string& Name : Found) {
    const test::TMediaFacts Facts = test::ReadMediaFacts((AFolder / Name).string());
    ASSERT_TRUE(Facts.Opened) << Name;
    EXPECT_NEAR(Facts.Duration(), ClipSeconds, 0.05) << Name;
  }
}

// No source is converted twice across the runs: at most one "converted" line each (a file
// converted just before a kill may have none; its output is then passed over as there).
void CheckConvertedOnce(const std::vector<TJson>& ARecords,
                        const std::vector<std::string>& ASources) {
  std::map<std::string, int> Converted;
  for (const TJson& Record : ARecords)
    if (Record["outcome"] == "converted") ++Converted[Record["source"].get<std::string>()];
  for (const std::string& Source : ASources) EXPECT_LE(Converted[Source], 1) << Source;
  EXPECT_GT(Converted.size(), 0u);
}

TEST_F(TBatchResumeTest, ABatchCutOffInEveryWayResumesToOneWholeOutputPerFile) {
  std::vector<std::string> Sources, Expected;
  for (int I = 0; I < 20; ++I) {
    const std::string Name = "clip" + std::string(I < 10 ? "0" : "") + std::to_string(I);
    Sources.push_back(Copy("tone.wav", "in/" + Name + ".wav"));
    Expected.push_back(Name + " (FLAC Audio).flac");
  }
  std::vector<std::string> Command{"--json",         "--realtime", "-j",   "2",  "--skip-existing",
                                   "--redo-stopped", "-f",         "flac", "-o", Out()};
  Command.insert(Command.end(), Sources.begin(), Sources.end());

  std::vector<std::string> Lines;
  struct TCut {
    int Signal;
    bool Group;
  };
  for (const TCut Cut :
       {TCut{SIGINT, false}, TCut{SIGTERM, false}, TCut{SIGKILL, false}, TCut{SIGKILL, true}}) {
    SCOPED_TRACE(std::string(strsignal(Cut.Signal)) + (Cut.Group ? " to the group" : ""));
    TProgramRun Run(PELORIX_CONVERT_PROGRAM, Command, {{}, 0, "", "", true});
    // Cut off once a file has converted, while others run.
    ASSERT_TRUE(Run.ReadUntil("{\"type\":\"file\""));
    if (Cut.Group)
      Run.SignalGroup(Cut.Signal);
    else
      Run.Signal(Cut.Signal);
    const int Status = Run.Wait();
    EXPECT_EQ(Status, Cut.Signal == SIGKILL ? 128 + SIGKILL : 3);
    Lines.insert(Lines.end(), Run.Lines.begin(), Run.Lines.end());
    CheckOutputsBetweenRuns(Out());
  }
  TProgramRun Last(Command);
  EXPECT_EQ(Last.Wait(), 0);
  Lines.insert(Lines.end(), Last.Lines.begin(), Last.Lines.end());

  CheckFinalOutputs(Out(), Expected);
  CheckConvertedOnce(FileRecords(Lines), Sources);
  // The last run's summary accounts for all twenty.
  const TJson Summary = TJson::parse(Last.Lines.back());
  EXPECT_EQ(Summary["files"], 20);
  EXPECT_EQ(Summary["converted"].get<int>() + Summary["skipped"].get<int>(), 20);
}

// docs/batch.md: GNU parallel over the machines of a hosts file; here the file names only this
// machine, with two jobs. The first half is cut off with Ctrl-C (to the whole process group, as
// a terminal sends it) once a file has converted and then run again; the second half runs
// whole in between.
TEST_F(TBatchResumeTest, TheGnuParallelRecipeConvertsBothHalvesOnceAfterAnInterruption) {
  std::vector<std::string> Sources, Expected;
  std::ofstream Halves[2] = {std::ofstream(Dir / "half1.txt"), std::ofstream(Dir / "half2.txt")};
  for (int I = 0; I < 12; ++I) {
    const std::string Folder = I % 2 ? "odd" : "even";
    const std::string Name = "clip" + std::string(I < 10 ? "0" : "") + std::to_string(I);
    Sources.push_back(Copy("tone.wav", "in/" + Folder + "/" + Name + ".wav"));
    Expected.push_back(Folder + "/" + Name + " (FLAC Audio).flac");
    Halves[I / 6] << Sources.back() << '\n';
  }
  for (std::ofstream& Half : Halves) Half.close();
  std::sort(Expected.begin(), Expected.end());
  std::ofstream(Dir / "hosts") << "2/:\n";

  const auto Recipe = [&](const std::string& AList) {
    return std::vector<std::string>{"--sshloginfile",
                                    (Dir / "hosts").string(),
                                    "--line-buffer",
                                    "-n",
                                    "2",
                                    PELORIX_CONVERT_PROGRAM,
                                    "-q",
                                    "--json",
                                    "--skip-existing",
                                    "--redo-stopped",
                                    "--realtime",
                                    "-f",
                                    "flac",
                                    "--mirror-tree",
                                    "--base",
                                    (Dir / "in").string(),
                                    "-o",
                                    Out(),
                                    "{}",
                                    "::::",
                                    (Dir / AList).string()};
  };
  const test::TProgramSetup Setup{{{"HOME", Dir.string()}}, 0, "", Dir.string(), true};
  std::vector<std::string> Lines;
  {
    TProgramRun First("parallel", Recipe("half1.txt"), Setup);
    ASSERT_TRUE(First.ReadUntil("{\"type\":\"file\""));
    First.SignalGroup(SIGINT);
    EXPECT_NE(First.Wait(), 0);
    Lines.insert(Lines.end(), First.Lines.begin(), First.Lines.end());
    CheckOutputsBetweenRuns(Out());
  }
  for (const char* List : {"half2.txt", "half1.txt"}) {
    TProgramRun Run("parallel", Recipe(List), Setup);
    EXPECT_EQ(Run.Wait(), 0) << List;
    Lines.insert(Lines.end(), Run.Lines.begin(), Run.Lines.end());
  }

  CheckFinalOutputs(Out(), Expected);
  const std::vector<TJson> Records = FileRecords(Lines);
  CheckConvertedOnce(Records, Sources);
  // The merged lines account for every file: its last line says converted or already there.
  std::map<std::string, std::string> Last;
  for (const TJson& Record : Records)
    Last[Record["source"].get<std::string>()] =
        Record["outcome"].get<std::string>() + " " + Record["reason"].get<std::string>();
  ASSERT_EQ(Last.size(), 12u);
  for (const auto& [Source, Outcome] : Last)
    EXPECT_TRUE(Outcome == "converted " || Outcome == "skipped output exists")
        << Source << ": " << Outcome;
}

} // namespace
} // namespace pelorix
