// The shared settings: location, keys, defaults, reading and writing.
#include "AppSettings.h"

#include "IniFile.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <vector>

namespace pelorix {

namespace {

const char* const Section = "Main";
const char* const FileName = "conf.ini";

std::string HomeFolder() {
  const char* Home = std::getenv("HOME");
  if (Home && *Home) return Home;
  // Without HOME, the account's own home, as the system records it.
  std::vector<char> Buffer(16384);
  passwd Entry{};
  passwd* Found = nullptr;
  if (::getpwuid_r(::getuid(), &Entry, Buffer.data(), Buffer.size(), &Found) == 0 && Found &&
      Found->pw_dir)
    return Found->pw_dir;
  return "";
}

std::string UserSettingsPath() {
  const char* Config = std::getenv("XDG_CONFIG_HOME");
  const std::string Base = Config && *Config ? Config : HomeFolder() + "/.config";
  return Base + "/pelorix/" + FileName;
}

bool Exists(const std::string& APath) {
  struct stat Info {};
  return ::stat(APath.c_str(), &Info) == 0;
}

bool CanHold(const std::string& AFolder, const std::string& AFile) {
  if (Exists(AFile)) return ::access(AFile.c_str(), W_OK) == 0;
  struct stat Info {};
  return ::stat(AFolder.c_str(), &Info) == 0 && S_ISDIR(Info.st_mode) &&
         ::access(AFolder.c_str(), W_OK | X_OK) == 0;
}

void ReadValue(const TIniFile& AFile, const char* AKey, std::string& AValue) {
  if (auto Stored = AFile.Value(Section, AKey)) AValue = *Stored;
}

void ReadValue(const TIniFile& AFile, const char* AKey, bool& AValue) {
  const auto Stored = AFile.Value(Section, AKey);
  if (!Stored) return;
  size_t First = Stored->find_first_not_of(" \t");
  const size_t Last = Stored->find_last_not_of(" \t");
  if (First == std::string::npos) {
    AValue = false;
    return;
  }
  if ((*Stored)[First] == '+') ++First;
  long Number = 0;
  const char* End = Stored->data() + Last + 1;
  const auto Parsed = std::from_chars(Stored->data() + First, End, Number);
  AValue = Parsed.ec == std::errc() && Parsed.ptr == End && Number != 0;
}

void WriteValue(TIniFile& AFile, const char* AKey, const std::string& AValue) {
  AFile.SetValue(Section, AKey, AValue);
}

void WriteValue(TIniFile& AFile, const char* AKey, bool AValue) {
  AFile.SetValue(Section, AKey, AValue ? "1" : "0");
}

bool WriteTo(const std::string& APath, const TSettingsValues& AValues) {
  TIniFile File;
  File.Load(APath);
#define PELORIX_SETTINGS_WRITE(AType, AName, AKey, ADefault) WriteValue(File, AKey, AValues.AName);
  PELORIX_SETTINGS_KEYS(PELORIX_SETTINGS_WRITE)
#undef PELORIX_SETTINGS_WRITE
  return File.Save(APath);
}

} // namespace

std::string DefaultOutputFolder() { return HomeFolder() + "/orvaneVideo"; }

TAppSettings::TAppSettings(const std::string& AProgramFolder)
    : BesidePath(AProgramFolder + FileName), UserPath(UserSettingsPath()) {
  Path = CanHold(AProgramFolder.empty() ? "." : AProgramFolder, BesidePath) ? BesidePath : UserPath;
}

TSettingsValues TAppSettings::Read() const {
  TSettingsValues Values;
  TIniFile File;
  if (!File.Load(Path) && Path == UserPath && !Exists(UserPath)) File.Load(BesidePath);
#define PELORIX_SETTINGS_READ(AType, AName, AKey, ADefault) ReadValue(File, AKey, Values.AName);
  PELORIX_SETTINGS_KEYS(PELORIX_SETTINGS_READ)
#undef PELORIX_SETTINGS_READ
  if (Values.Output.empty()) Values.Output = DefaultOutputFolder();
  return Values;
}

bool TAppSettings::Write(const TSettingsValues& AValues, std::string& AFailedPath) {
  if (WriteTo(Path, AValues)) return true;
  if (Path != UserPath && WriteTo(UserPath, AValues)) {
    Path = UserPath;
    return true;
  }
  AFailedPath = UserPath; // the last place tried
  return false;
}

} // namespace pelorix
