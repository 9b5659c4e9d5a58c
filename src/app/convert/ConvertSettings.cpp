#include "ConvertSettings.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace pelorix {

namespace {

std::string Trimmed(const std::string& AText) {
  const size_t First = AText.find_first_not_of(" \t\r\n");
  if (First == std::string::npos) return "";
  const size_t Last = AText.find_last_not_of(" \t\r\n");
  return AText.substr(First, Last - First + 1);
}

bool SameIgnoringCase(const std::string& A, const std::string& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    auto Lower = [](char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C + 32) : C; };
    if (Lower(A[I]) != Lower(B[I])) return false;
  }
  return true;
}

std::string HomeFolder() {
  const char* Home = std::getenv("HOME");
  return Home && *Home ? Home : "";
}

// The window's toolkit quotes a value that holds a comma, a semicolon or blanks at its ends and
// escapes backslashes and quotes with a backslash.
std::string Unquoted(const std::string& AValue) {
  std::string Result;
  for (size_t I = 0; I < AValue.size(); ++I) {
    const char C = AValue[I];
    if (C == '"') continue;
    if (C == '\\' && I + 1 < AValue.size()) {
      const char Next = AValue[++I];
      Result += Next == 'n' ? '\n' : Next == 't' ? '\t' : Next == 'r' ? '\r' : Next;
      continue;
    }
    Result += C;
  }
  return Result;
}

} // namespace

std::optional<std::string> ReadIniValue(const std::string& AFileName, const std::string& ASection,
                                        const std::string& AKey) {
  std::ifstream File(AFileName, std::ios::binary);
  if (!File) return std::nullopt;
  bool InSection = false;
  std::string Line;
  while (std::getline(File, Line)) {
    Line = Trimmed(Line);
    if (Line.empty() || Line[0] == ';' || Line[0] == '#') continue;
    if (Line.front() == '[') {
      const size_t Close = Line.find(']');
      InSection = Close != std::string::npos &&
                  SameIgnoringCase(Trimmed(Line.substr(1, Close - 1)), ASection);
      continue;
    }
    const size_t Equals = Line.find('=');
    if (!InSection || Equals == std::string::npos) continue;
    if (!SameIgnoringCase(Trimmed(Line.substr(0, Equals)), AKey)) continue;
    return Unquoted(Trimmed(Line.substr(Equals + 1)));
  }
  return std::nullopt;
}

std::string SettingsFileName(const std::string& AProgramFolder) {
  const std::string Beside = AProgramFolder + "conf.ini";
  if (::access(Beside.c_str(), F_OK) == 0 || ::access(AProgramFolder.c_str(), W_OK) == 0)
    return Beside;
  const char* Config = std::getenv("XDG_CONFIG_HOME");
  const std::string Base = Config && *Config ? Config : HomeFolder() + "/.config";
  return Base + "/pelorix/conf.ini";
}

std::string StoredOutputFolder(const std::string& AProgramFolder) {
  const auto Stored = ReadIniValue(SettingsFileName(AProgramFolder), "Main", "strOutput");
  if (Stored && !Stored->empty()) return *Stored;
  return HomeFolder() + "/orvaneVideo";
}

} // namespace pelorix
