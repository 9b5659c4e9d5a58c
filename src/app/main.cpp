// Pelorix start-up: the application object, the title, the main window and the event loop.
// Without a display the program says so in one line instead of letting the toolkit abort.
#include "AppBrand.h"
#include "MainWindow.h"

#include <QApplication>

#include <clocale>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int ExitNoDisplay = 3;

bool HasDisplay() {
  for (const char* Name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* Value = std::getenv(Name);
    if (Value && *Value) return true;
  }
  return false;
}

} // namespace

int main(int argc, char* argv[]) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "pelorix: no display (DISPLAY is not set); "
                 "to start it without a desktop: xvfb-run -a %s\n",
                 argv[0]);
    return ExitNoDisplay;
  }
  QApplication Application(argc, argv);
  // Numbers in option texts and library calls use the C notation whatever the desktop's locale.
  std::setlocale(LC_NUMERIC, "C");
  // The title, before the window exists; window titles carry it themselves.
  QApplication::setApplicationName(pelorix::AppTitle);
  QGuiApplication::setDesktopFileName(QStringLiteral("pelorix"));
  QApplication::setWindowIcon(pelorix::AppIcon());

  pelorix::TfrmMain Window;
  // The installation check: the installed program starts, finds its library folder and ends.
  if (std::getenv("PELORIX_STARTUP_CHECK")) {
    const QString Folder = Window.LibraryFolder();
    const bool Loaded = Window.CheckLibraries();
    std::printf("pelorix: library folder %s %s\n", qPrintable(Folder),
                Loaded ? "loaded" : "cannot be loaded");
    return Loaded ? 0 : 1;
  }
  Window.show();
  return Application.exec();
}
