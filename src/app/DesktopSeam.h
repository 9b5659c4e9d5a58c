// What the window hands to the desktop once a file is converted: the output opened with the
// desktop's default program, its folder opened in the file manager. Tests give their own
// TDesktop and see the paths; TDesktopServices is the real one, through the toolkit's desktop
// services, so a desktop without them does nothing. GUI thread.
#pragma once

#include <QString>

namespace pelorix {

class TDesktop {
public:
  virtual ~TDesktop() = default;
  // Opens the file AFile (a full path) with the desktop's default program for its kind.
  virtual void OpenFile(const QString& AFile) = 0;
  // Opens the folder AFolder (a full path) in the desktop's file manager.
  virtual void OpenFolder(const QString& AFolder) = 0;
};

class TDesktopServices final : public TDesktop {
public:
  void OpenFile(const QString& AFile) override;
  void OpenFolder(const QString& AFolder) override;
};

} // namespace pelorix
