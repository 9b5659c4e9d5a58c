// The window's stored settings as the batch command line reads them: where conf.ini lies and
// the value of one key of it. Reading only; the window owns the file. Any thread.
#pragma once

#include <optional>
#include <string>

namespace pelorix {

// The value of AKey in section ASection of the INI file AFileName: section and key compared
// without regard to ASCII case, blanks around the value removed, quotes and backslash escapes
// undone as the window's toolkit writes them. None when the file, the section or the key is missing.
std::optional<std::string> ReadIniValue(const std::string& AFileName, const std::string& ASection,
                                        const std::string& AKey);

// The window's settings file: conf.ini in AProgramFolder (ending with a separator) when it
// exists there or that folder is writable, else $XDG_CONFIG_HOME/pelorix/conf.ini (with
// ~/.config when the variable is not set).
std::string SettingsFileName(const std::string& AProgramFolder);

// "strOutput" of section "Main" of that file; $HOME/orvaneVideo when it is missing or empty.
std::string StoredOutputFolder(const std::string& AProgramFolder);

} // namespace pelorix
