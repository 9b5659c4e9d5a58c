#include "PartialRecords.h"

#include <filesystem>
#include <fstream>

namespace pelorix {
namespace {

namespace fs = std::filesystem;

const char* const ConvertingText = "converting";
const char* const StoppedText = "stopped";

} // namespace

std::string PartialRecordName(const std::string& AOutput) {
  const fs::path Output(AOutput);
  return (Output.parent_path() / ("." + Output.filename().string() + ".partial")).string();
}

TPartialState ReadPartialRecord(const std::string& AOutput) {
  std::ifstream Record(PartialRecordName(AOutput));
  if (!Record) return TPartialState::psNone;
  std::string State;
  std::getline(Record, State);
  // A record that cannot be read says the least: the file is not known to be whole.
  return State == StoppedText ? TPartialState::psStopped : TPartialState::psConverting;
}

bool WritePartialRecord(const std::string& AOutput, TPartialState AState) {
  if (AState == TPartialState::psNone) {
    RemovePartialRecord(AOutput);
    return true;
  }
  std::ofstream Record(PartialRecordName(AOutput), std::ios::trunc);
  Record << (AState == TPartialState::psStopped ? StoppedText : ConvertingText) << '\n';
  Record.close();
  return static_cast<bool>(Record);
}

void RemovePartialRecord(const std::string& AOutput) {
  std::error_code Ignored;
  fs::remove(fs::path(PartialRecordName(AOutput)), Ignored);
}

} // namespace pelorix
