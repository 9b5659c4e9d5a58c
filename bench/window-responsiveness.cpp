// pelorix-window-bench [--format ENTRY] FILE...: the window's responsiveness while it
// converts. Adds the files to a real window (offscreen), converts them to the main format (or
// the entry named, "MP3 Audio (*.mp3)" converting a file per processor at once) and records
// the largest gap
// between the ticks of a 5 ms timer on the window's thread from the return of "Convert!" to the
// run's end, and how long the click itself took.
// Prints the figure; exit status 1 when it exceeds the target, 2 when the run failed.
#include "DialogSeam.h"
#include "FileList.h"
#include "MainWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <clocale>
#include <cstdio>

namespace {

constexpr qint64 TargetGapMs = 50;
constexpr int TickMs = 5;

class TBenchDialogs final : public pelorix::TDialogs {
public:
  QStringList Files;
  QString Folder;
  QStringList OpenFiles(QWidget*, const QString&, const QString&) override { return Files; }
  QString PickFolder(QWidget*, const QString&) override { return Folder; }
  void Message(QWidget*, pelorix::TMessageKind, const QString&, const QString& AText) override {
    std::fprintf(stderr, "window-bench: message: %s\n", qPrintable(AText));
  }
  bool Ask(QWidget*, const QString&, const QString&) override { return true; }
  void OpenUrl(const QUrl&) override {}
  void ShowClosingBanner(QWidget*) override {}
  void ShowMoreSoftware(QWidget*) override {}
};

} // namespace

int main(int argc, char** argv) {
  int First = 1;
  QString Format;
  if (argc > 2 && QLatin1String(argv[1]) == QLatin1String("--format")) {
    Format = QString::fromLocal8Bit(argv[2]);
    First = 3;
  }
  if (argc <= First) {
    std::fprintf(stderr, "usage: pelorix-window-bench [--format ENTRY] FILE...\n");
    return 2;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir Home;
  qputenv("HOME", Home.path().toUtf8());
  QApplication Application(argc, argv);
  std::setlocale(LC_NUMERIC, "C");

  QTemporaryDir Program, Out;
  // The library folder of the build, beside this program's folder.
  QFile::link(QApplication::applicationDirPath() + QStringLiteral("/../bin/lib"),
              Program.filePath(QStringLiteral("lib")));
  TBenchDialogs Dialogs;
  for (int I = First; I < argc; ++I) Dialogs.Files << QString::fromLocal8Bit(argv[I]);
  Dialogs.Folder = Out.path();

  pelorix::TWindowSetup Setup;
  Setup.AppFolder = Program.path() + QLatin1Char('/');
  Setup.Dialogs = &Dialogs;
  pelorix::TfrmMain Window(Setup);
  Window.show();
  Window.findChild<QAbstractButton*>(QStringLiteral("btnFolderChange"))->click();
  Window.findChild<QAbstractButton*>(QStringLiteral("btnOpen"))->click();
  if (!Format.isEmpty()) {
    auto* Formats = Window.findChild<QComboBox*>(QStringLiteral("selFormat"));
    if (Formats->findText(Format) < 0) {
      std::fprintf(stderr, "window-bench: no entry %s\n", qPrintable(Format));
      return 2;
    }
    Formats->setCurrentText(Format);
  }
  auto* List = Window.findChild<pelorix::TFileList*>(QStringLiteral("lvFiles"));
  if (List->RowCount() != argc - First) {
    std::fprintf(stderr, "window-bench: only %d of %d files could be added\n", List->RowCount(),
                 argc - First);
    return 2;
  }

  QElapsedTimer Clock, Run;
  qint64 LastTick = 0, LargestGap = 0, LargestAt = 0, Ticks = 0;
  QString LargestWhile; // the rows' states right after the largest gap
  QTimer Ticker;
  Ticker.setTimerType(Qt::PreciseTimer);
  QObject::connect(&Ticker, &QTimer::timeout, [&] {
    const qint64 Now = Clock.elapsed();
    if (Now - LastTick > LargestGap) {
      LargestGap = Now - LastTick;
      LargestAt = Now;
      QStringList States;
      for (int Row = 0; Row < List->RowCount(); ++Row) {
        const QString Detail = List->StatusDetail(Row);
        States << (Detail.isEmpty() ? List->Status(Row) : Detail);
      }
      LargestWhile = States.join(QStringLiteral(", "));
    }
    LastTick = Now;
    ++Ticks;
  });
  QObject::connect(&Window, &pelorix::TfrmMain::RunFinished, &Application, &QApplication::quit);

  // The click itself sets every task's output up on the window's thread; it is timed on its
  // own, the gaps from its return to the run's end.
  Run.start();
  Window.findChild<QAbstractButton*>(QStringLiteral("btnConvert"))->click();
  const qint64 ClickMs = Run.elapsed();
  if (!Window.Converting()) {
    std::fprintf(stderr, "window-bench: the run did not start\n");
    return 2;
  }
  Clock.start();
  Ticker.start(TickMs);
  Application.exec();
  Ticker.stop();

  int Done = 0;
  // Done, whether encoded or copied ("Done (audio copied)").
  for (int Row = 0; Row < Window.RowStates().Count(); ++Row)
    Done += Window.RowStates().Row(Row).State == pelorix::TRowState::rsDone;
  std::printf("files converted: %d of %d in %.1f s\n", Done, List->RowCount(),
              Run.elapsed() / 1000.0);
  std::printf("\"Convert!\" (setting up %d outputs) took %lld ms; %d file(s) at once\n",
              List->RowCount(), static_cast<long long>(ClickMs), Window.FilesAtOnce());
  std::printf(
      "largest event-loop gap: %lld ms over %lld ticks of %d ms (target: at most %lld ms)\n",
      static_cast<long long>(LargestGap), static_cast<long long>(Ticks), TickMs,
      static_cast<long long>(TargetGapMs));
  std::printf("the largest gap ended %.2f s into the run; rows then: %s\n", LargestAt / 1000.0,
              qPrintable(LargestWhile));
  if (Done != List->RowCount()) return 2;
  std::printf("%s\n", LargestGap <= TargetGapMs ? "PASS" : "FAIL");
  return LargestGap <= TargetGapMs ? 0 : 1;
}
