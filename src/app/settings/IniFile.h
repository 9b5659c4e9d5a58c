// TIniFile: an INI file's text as the window's toolkit reads and writes it, without the
// toolkit. Values are found by exact section and key (as the toolkit does on this system),
// quoting and backslash escapes are the toolkit's, and writing one value keeps every other
// line of the file as it was. Texts are UTF-8.
//
// Threads: one object on one thread at a time.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelorix {

class TIniFile {
public:
  // Reads AFileName; false (and an empty text) when it is missing or cannot be read.
  bool Load(const std::string& AFileName);

  // The value of AKey in section ASection, unescaped; the last one when the key is given
  // twice. A value the toolkit reads as a list (unquoted commas) reads as an empty text, as it
  // does there. None when the section or the key is missing.
  std::optional<std::string> Value(const std::string& ASection, const std::string& AKey) const;
  // Sets AKey (replacing its last line, else added at the end of the section, which is added
  // at the end of the text when missing).
  void SetValue(const std::string& ASection, const std::string& AKey, const std::string& AValue);

  std::string Text() const;
  // Writes the text to AFileName through a temporary file in its folder renamed over it, so
  // that a reader never sees half a file; in place when the folder takes no new file but the
  // file may be written. The folder is made when missing. False when neither works.
  bool Save(const std::string& AFileName) const;

private:
  std::vector<std::string> Lines;
};

// A value as the toolkit writes it after "key=": escapes, and quotes when it holds a comma,
// semicolon or equals sign or has blanks at its ends; a leading "@" doubled.
std::string IniEscaped(const std::string& AValue);
// The value of what follows "=" on a line, up to a comment, as the toolkit reads it.
std::string IniUnescaped(const std::string& ARaw);

} // namespace pelorix
