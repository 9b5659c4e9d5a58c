// The toolkit's INI text: line kinds, value quoting and escapes, and the file's safe writing.
#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace pelorix {

namespace {

enum class TLineKind { lkOther, lkSection, lkKey };

struct TIniLine {
  TLineKind Kind = TLineKind::lkOther;
  std::string Name; // the section's or the key's
  std::string Raw; // a key's value text, up to a comment
};

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

std::string Trimmed(const std::string& AText) {
  size_t First = 0, Last = AText.size();
  while (First < Last && IsBlank(AText[First])) ++First;
  while (Last > First && IsBlank(AText[Last - 1])) --Last;
  return AText.substr(First, Last - First);
}

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

void AppendUtf8(std::string& AText, uint32_t ACode) {
  if (ACode < 0x80) {
    AText += static_cast<char>(ACode);
  } else if (ACode < 0x800) {
    AText += static_cast<char>(0xC0 | (ACode >> 6));
    AText += static_cast<char>(0x80 | (ACode & 0x3F));
  } else {
    ACode &= 0xFFFF; // the toolkit keeps one 16-bit unit
    AText += static_cast<char>(0xE0 | (ACode >> 12));
    AText += static_cast<char>(0x80 | ((ACode >> 6) & 0x3F));
    AText += static_cast<char>(0x80 | (ACode & 0x3F));
  }
}

// A line as the toolkit reads it: "[section]", "key = value ; comment", or nothing of use. A
// semicolon outside quotes starts a comment; a backslash protects the character after it.
TIniLine ParseLine(std::string ALine) {
  TIniLine Line;
  if (!ALine.empty() && ALine.back() == '\r') ALine.pop_back();
  size_t Start = 0;
  while (Start < ALine.size() && IsBlank(ALine[Start])) ++Start;
  if (Start == ALine.size()) return Line;
  if (ALine[Start] == '[') {
    const size_t Close = ALine.find(']', Start);
    if (Close == std::string::npos) return Line;
    Line.Kind = TLineKind::lkSection;
    Line.Name = ALine.substr(Start + 1, Close - Start - 1);
    return Line;
  }
  size_t Equals = std::string::npos, End = ALine.size();
  bool InQuotes = false;
  for (size_t I = Start; I < ALine.size(); ++I) {
    const char C = ALine[I];
    if (C == '\\') {
      ++I;
    } else if (C == '"') {
      InQuotes = !InQuotes;
    } else if (C == ';' && !InQuotes) {
      End = I;
      break;
    } else if (C == '=' && Equals == std::string::npos) {
      Equals = I;
    }
  }
  if (Equals == std::string::npos || Equals >= End) return Line;
  Line.Kind = TLineKind::lkKey;
  Line.Name = Trimmed(ALine.substr(Start, Equals - Start));
  Line.Raw = ALine.substr(Equals + 1, End - Equals - 1);
  return Line;
}

// The toolkit's marks for texts that are not plain: "@@" stands for a leading "@", and a byte
// array is written "@ByteArray(...)".
std::string FromStoredText(const std::string& AText) {
  if (AText.rfind("@@", 0) == 0) return AText.substr(1);
  const std::string Bytes = "@ByteArray(";
  if (AText.rfind(Bytes, 0) == 0 && AText.back() == ')')
    return AText.substr(Bytes.size(), AText.size() - Bytes.size() - 1);
  return AText;
}

std::string RandomSuffix() {
  static const char Letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device Source;
  std::string Suffix;
  for (int I = 0; I < 8; ++I) Suffix += Letters[Source() % (sizeof Letters - 1)];
  return Suffix;
}

bool WriteAll(int AFile, const std::string& AText) {
  size_t Done = 0;
  while (Done < AText.size()) {
    const ssize_t Written = ::write(AFile, AText.data() + Done, AText.size() - Done);
    if (Written < 0 && errno == EINTR) continue;
    if (Written <= 0) return false;
    Done += static_cast<size_t>(Written);
  }
  return true;
}

bool SaveInPlace(const std::string& AFileName, const std::string& AText) {
  const int File = ::open(AFileName.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (File < 0) return false;
  const bool Written = WriteAll(File, AText) && ::fsync(File) == 0;
  return ::close(File) == 0 && Written;
}

} // namespace

std::string IniEscaped(const std::string& AValue) {
  const std::string Text = AValue.rfind('@', 0) == 0 ? "@" + AValue : AValue;
  std::string Result;
  bool Quote = false;
  bool EscapeHexDigit = false; // after a numeric escape a hex digit must not join it
  for (const char C : Text) {
    const auto Byte = static_cast<unsigned char>(C);
    if (C == ';' || C == ',' || C == '=') Quote = true;
    if (EscapeHexDigit && HexValue(C) >= 0) {
      std::ostringstream Hex;
      Hex << "\\x" << std::hex << static_cast<int>(Byte);
      Result += Hex.str();
      continue;
    }
    EscapeHexDigit = false;
    switch (C) {
    case '\0':
      Result += "\\0";
      EscapeHexDigit = true;
      break;
    case '\a':
      Result += "\\a";
      break;
    case '\b':
      Result += "\\b";
      break;
    case '\f':
      Result += "\\f";
      break;
    case '\n':
      Result += "\\n";
      break;
    case '\r':
      Result += "\\r";
      break;
    case '\t':
      Result += "\\t";
      break;
    case '\v':
      Result += "\\v";
      break;
    case '"':
    case '\\':
      Result += '\\';
      Result += C;
      break;
    default:
      if (Byte <= 0x1F) {
        std::ostringstream Hex;
        Hex << "\\x" << std::hex << static_cast<int>(Byte);
        Result += Hex.str();
        EscapeHexDigit = true;
      } else {
        Result += C; // UTF-8 sequences as they are
      }
    }
  }
  if (Quote || (!Result.empty() && (Result.front() == ' ' || Result.back() == ' ')))
    Result = '"' + Result + '"';
  return Result;
}

std::string IniUnescaped(const std::string& ARaw) {
  const std::string& S = ARaw;
  std::string Current;
  std::vector<std::string> List;
  bool IsList = false, InQuotes = false, Quoted = false;
  size_t I = 0;
  size_t ChopLimit = 0; // blanks before this length were meant and stay
  const auto SkipBlanks = [&] {
    while (I < S.size() && IsBlank(S[I])) ++I;
    ChopLimit = Current.size();
  };
  const auto ChopBlanks = [&] {
    while (Current.size() > ChopLimit && IsBlank(Current.back())) Current.pop_back();
  };
  SkipBlanks();
  while (I < S.size()) {
    const char C = S[I];
    if (C == '\\') {
      if (++I >= S.size()) break;
      const char E = S[I++];
      static const char Codes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                      {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                      {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
      bool Known = false;
      for (const auto& Code : Codes)
        if (E == Code[0]) {
          Current += Code[1];
          Known = true;
        }
      if (!Known && E == 'x' && I < S.size() && HexValue(S[I]) >= 0) {
        uint32_t Code = 0;
        while (I < S.size() && HexValue(S[I]) >= 0) Code = Code * 16 + HexValue(S[I++]);
        AppendUtf8(Current, Code);
      } else if (!Known && E >= '0' && E <= '7') {
        uint32_t Code = E - '0';
        while (I < S.size() && S[I] >= '0' && S[I] <= '7') Code = Code * 8 + (S[I++] - '0');
        AppendUtf8(Current, Code);
      } // any other escaped character is dropped
      ChopLimit = Current.size();
    } else if (C == '"') {
      ++I;
      Quoted = true;
      InQuotes = !InQuotes;
      if (!InQuotes) SkipBlanks();
    } else if (C == ',' && !InQuotes) {
      if (!Quoted) ChopBlanks();
      IsList = true;
      List.push_back(Current);
      Current.clear();
      Quoted = false;
      ++I;
      SkipBlanks();
    } else {
      size_t End = I + 1;
      while (End < S.size() && S[End] != '\\' && S[End] != '"' && S[End] != ',') ++End;
      Current.append(S, I, End - I);
      I = End;
    }
  }
  if (!Quoted) ChopBlanks();
  if (IsList) return {}; // several values: not a text
  return FromStoredText(Current);
}

bool TIniFile::Load(const std::string& AFileName) {
  Lines.clear();
  std::ifstream File(AFileName, std::ios::binary);
  if (!File) return false;
  for (std::string Line; std::getline(File, Line);) Lines.push_back(Line);
  return true;
}

std::optional<std::string> TIniFile::Value(const std::string& ASection,
                                           const std::string& AKey) const {
  std::optional<std::string> Found;
  bool InSection = false;
  for (const std::string& Text : Lines) {
    const TIniLine Line = ParseLine(Text);
    if (Line.Kind == TLineKind::lkSection) InSection = Line.Name == ASection;
    if (InSection && Line.Kind == TLineKind::lkKey && Line.Name == AKey)
      Found = IniUnescaped(Line.Raw);
  }
  return Found;
}

void TIniFile::SetValue(const std::string& ASection, const std::string& AKey,
                        const std::string& AValue) {
  const std::string Entry = AKey + "=" + IniEscaped(AValue);
  size_t KeyLine = Lines.size(), SectionEnd = Lines.size();
  bool InSection = false, SectionFound = false;
  for (size_t I = 0; I < Lines.size(); ++I) {
    const TIniLine Line = ParseLine(Lines[I]);
    if (Line.Kind == TLineKind::lkSection) {
      InSection = Line.Name == ASection;
      SectionFound = SectionFound || InSection;
      if (InSection) SectionEnd = I + 1;
      continue;
    }
    if (!InSection) continue;
    if (Line.Kind == TLineKind::lkKey && Line.Name == AKey) KeyLine = I;
    if (Line.Kind != TLineKind::lkOther || !Trimmed(Lines[I]).empty()) SectionEnd = I + 1;
  }
  if (KeyLine < Lines.size()) {
    Lines[KeyLine] = Entry;
  } else if (SectionFound) {
    Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(SectionEnd), Entry);
  } else {
    if (!Lines.empty() && !Trimmed(Lines.back()).empty()) Lines.emplace_back();
    Lines.push_back("[" + ASection + "]");
    Lines.push_back(Entry);
  }
}

std::string TIniFile::Text() const {
  std::string Text;
  for (const std::string& Line : Lines) Text += Line + "\n";
  return Text;
}

bool TIniFile::Save(const std::string& AFileName) const {
  const std::filesystem::path Path = std::filesystem::u8path(AFileName);
  std::error_code Ignored;
  if (Path.has_parent_path()) std::filesystem::create_directories(Path.parent_path(), Ignored);
  const std::string Content = Text();
  struct stat Existing {};
  const bool Exists = ::stat(AFileName.c_str(), &Existing) == 0;

  const std::string Temporary = AFileName + "." + RandomSuffix();
  const int File = ::open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (File < 0) {
    // A folder that takes no new file may still hold a file that can be written.
    return Exists && SaveInPlace(AFileName, Content);
  }
  bool Written = WriteAll(File, Content);
  if (Exists) Written = Written && ::fchmod(File, Existing.st_mode & 07777) == 0;
  Written = ::fsync(File) == 0 && Written;
  Written = ::close(File) == 0 && Written;
  if (Written && ::rename(Temporary.c_str(), AFileName.c_str()) == 0) return true;
  ::unlink(Temporary.c_str());
  return false;
}

} // namespace pelorix
