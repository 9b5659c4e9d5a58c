// Runs through the window: real conversions of the small generated clips, watched through
// the rows, the title and the files written.
#include "AVProbe.h"
#include "OutputFormats.h"
#include "WindowTestSupport.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace pelorix;
using namespace pelorix::test;

namespace {

struct TOutputFacts {
  int VideoStreams = -1;
  int AudioStreams = -1;
  QString VideoCodec;
  QString AudioCodec;
  int Width = -1;
  int Height = -1;
  int Channels = -1;
  int SampleRate = -1;
};

// Probes a written file with the libraries the window loaded.
TOutputFacts ProbeOutput(const QString& APath) {
  TOutputFacts Facts;
  TAVProbe Probe;
  if (!Probe.Open(APath.toStdString())) return Facts;
  Facts.VideoStreams = Probe.VideoStreamCount();
  Facts.AudioStreams = Probe.AudioStreamCount();
  TVideoStreamInfo Video;
  Probe.VideoStreamInfo(-1, Video);
  TAudioStreamInfo Audio;
  Probe.AudioStreamInfo(-1, Audio);
  Facts.VideoCodec = QString::fromLatin1(Video.CodecName.data());
  Facts.AudioCodec = QString::fromLatin1(Audio.CodecName.data());
  Facts.Width = Video.Width;
  Facts.Height = Video.Height;
  Facts.Channels = Audio.Channels;
  Facts.SampleRate = Audio.SampleRate;
  return Facts;
}

// A WAV file whose sound is in a format no decoder knows: it opens, and its conversion fails
// once it runs.
void WriteUndecodableWav(const QString& APath) {
  QByteArray Format;
  QDataStream Out(&Format, QIODevice::WriteOnly);
  Out.setByteOrder(QDataStream::LittleEndian);
  Out << quint16(0x7777) << quint16(1) << quint32(8000) << quint32(16000) << quint16(2)
      << quint16(16);
  const QByteArray Data(16000, '\0');
  QByteArray Riff = "WAVEfmt ";
  QDataStream R(&Riff, QIODevice::Append);
  R.setByteOrder(QDataStream::LittleEndian);
  R << quint32(Format.size());
  Riff += Format + "data";
  QDataStream D(&Riff, QIODevice::Append);
  D.setByteOrder(QDataStream::LittleEndian);
  D << quint32(Data.size());
  Riff += Data;
  QFile File(APath);
  File.open(QIODevice::WriteOnly);
  QDataStream F(&File);
  F.setByteOrder(QDataStream::LittleEndian);
  File.write("RIFF");
  F << quint32(Riff.size());
  File.write(Riff);
}

// ASeconds of 16-bit stereo noise at 44.1 kHz, the same bytes every time.
void WriteNoiseWav(const QString& APath, int ASeconds) {
  const quint32 Rate = 44100, Bytes = Rate * 4 * static_cast<quint32>(ASeconds);
  QFile File(APath);
  File.open(QIODevice::WriteOnly);
  QDataStream Out(&File);
  Out.setByteOrder(QDataStream::LittleEndian);
  File.write("RIFF");
  Out << quint32(36 + Bytes);
  File.write("WAVEfmt ");
  Out << quint32(16) << quint16(1) << quint16(2) << Rate << quint32(Rate * 4) << quint16(4)
      << quint16(16);
  File.write("data");
  Out << Bytes;
  quint32 Seed = 12345;
  QByteArray Block(static_cast<int>(Rate * 4), Qt::Uninitialized);
  for (int Second = 0; Second < ASeconds; ++Second) {
    for (qsizetype I = 0; I < Block.size(); I += 2) {
      Seed = Seed * 1103515245u + 12345u;
      const auto Sample = static_cast<qint16>((Seed >> 16) & 0x3fff) - 0x2000;
      Block[I] = static_cast<char>(Sample & 0xff);
      Block[I + 1] = static_cast<char>((Sample >> 8) & 0xff);
    }
    File.write(Block);
  }
}

// Holds the first task's worker at its first picture until released.
class TGate {
public:
  void Wait() {
    std::unique_lock Lock(Mutex);
    Reached = true;
    Changed.wait(Lock, [this] { return Open; });
  }
  void Release() {
    std::lock_guard Lock(Mutex);
    Open = true;
    Changed.notify_all();
  }
  bool WasReached() {
    std::lock_guard Lock(Mutex);
    return Reached;
  }

private:
  std::mutex Mutex;
  std::condition_variable Changed;
  bool Reached = false;
  bool Open = false;
};

const QString Clip = QStringLiteral("mpeg4_aac.3gp");
const QString XvidName = QStringLiteral("mpeg4_aac (XviD Video).avi");

} // namespace

class TRunTest : public QObject {
  Q_OBJECT

private slots:
  void AFullRunWritesXvidWithMp3() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    // The output folder does not exist yet: the run makes it.
    const QString Folder = H.WorkPath(QStringLiteral("new/deeper"));
    H.Dialogs.FolderAnswers << Folder;
    H.Button("btnFolderChange").click();
    H.Add({MediaFile(Clip)});

    QStringList Seen;
    connect(&H.Files(), &QTableWidget::itemChanged, this, [&Seen](QTableWidgetItem* AItem) {
      if (AItem->column() == 1) Seen << AItem->text();
    });
    QSignalSpy Finished(&W, &TfrmMain::RunFinished);
    H.Button("btnConvert").click();
    // Converting: the five controls are off, "Browse" stays, the button stops.
    QVERIFY(W.Converting());
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [0 of 1, 0%]"));
    QCOMPARE(H.Button("btnConvert").text(), QStringLiteral("Stop"));
    for (const char* Name : {"btnOpen", "btnFolderChange", "selFormat", "selQuality",
                             "chkCopyFitting", "txtOutput", "chkSameFolder"})
      QVERIFY2(!H.Control<QWidget>(Name)->isEnabled(), Name);
    QVERIFY(!H.Control<QAction>("AddFiles1")->isEnabled());
    QVERIFY(H.Button("btnBrowse").isEnabled());
    QVERIFY(Finished.wait(120000));

    QVERIFY(std::any_of(Seen.begin(), Seen.end(),
                        [](const QString& S) { return S.startsWith(QStringLiteral("{|")); }));
    QCOMPARE(H.Files().Status(0), QStringLiteral("Done"));
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Done]"));
    QCOMPARE(H.Button("btnConvert").text(), QStringLiteral("Convert!"));
    for (const char* Name :
         {"btnOpen", "btnFolderChange", "selFormat", "selQuality", "chkCopyFitting", "txtOutput"})
      QVERIFY2(H.Control<QWidget>(Name)->isEnabled(), Name);
    QVERIFY(H.Control<QAction>("AddFiles1")->isEnabled());
    QCOMPARE(W.Converter().TaskCount(), 0);
    QCOMPARE(W.LastFormat(), QStringLiteral("XviD Video (*.avi)"));

    QCOMPARE(H.Files().item(0, 1)->toolTip(), Folder + QLatin1Char('/') + XvidName);
    const TOutputFacts Out = ProbeOutput(Folder + QLatin1Char('/') + XvidName);
    QCOMPARE(Out.VideoStreams, 1);
    QCOMPARE(Out.AudioStreams, 1);
    QCOMPARE(Out.VideoCodec, QStringLiteral("mpeg4"));
    QCOMPARE(Out.AudioCodec, QStringLiteral("mp3"));
    QCOMPARE(Out.Width, 176);
    QCOMPARE(Out.Height, 144);
    QCOMPARE(Out.Channels, 1);
    QCOMPARE(Out.SampleRate, 16000);
    QVERIFY(H.Dialogs.Messages.isEmpty()); // nothing pops up when all converted
  }

  // While a file converts its row shows how far it has come, how fast and how long it has
  // left, and the title the files ended and the run's percent. The sources are read at the
  // pace they play, so every conversion lasts as long as its clip.
  void RowsTellProgressSpeedAndTimeLeft() {
    TWindowHarness H;
    H.AdjustInput = [](TInputOptions& AOptions) { AOptions.ExtOptions = "re=1"; };
    TfrmMain& W = H.Open();
    H.Add({MediaFile(Clip), MediaFile(QStringLiteral("h264_aac.mp4"))});
    QStringList Details, Titles;
    connect(&H.Files(), &QTableWidget::itemChanged, this, [&](QTableWidgetItem* AItem) {
      if (AItem->column() == 1 && AItem->row() == 0)
        Details << AItem->data(ProgressDetailRole).toString();
    });
    connect(&W, &QWidget::windowTitleChanged, this,
            [&](const QString& ATitle) { Titles << ATitle; });
    QVERIFY(H.ConvertAndWait());

    // First the percent alone, then speed and time left once the file has run a second.
    const QRegularExpression Percent(QStringLiteral("^(\\d+)%$"));
    const QRegularExpression Full(
        QStringLiteral("^(\\d+)%  (\\d+\\.\\d)\u00d7  (\\d+):(\\d\\d) left$"));
    QVERIFY2(!Details.filter(Percent).isEmpty(), qPrintable(Details.join(QLatin1Char('|'))));
    const QStringList WithSpeed = Details.filter(Full);
    QVERIFY2(!WithSpeed.isEmpty(), qPrintable(Details.join(QLatin1Char('|'))));
    const QRegularExpressionMatch Last = Full.match(WithSpeed.last());
    // Read at the pace it plays, a file converts at most about as fast as it plays.
    QVERIFY(Last.captured(2).toDouble() > 0 && Last.captured(2).toDouble() <= 1.5);
    QVERIFY(Last.captured(1).toInt() > 0 && Last.captured(1).toInt() <= 100);

    const QRegularExpression Running(QStringLiteral("^Pelorix\\.org \\[(\\d) of 2, (\\d+)%\\]$"));
    QStringList Run = Titles.filter(Running);
    QVERIFY(Run.size() >= 3);
    QCOMPARE(Run.first(), QStringLiteral("Pelorix.org [0 of 2, 0%]"));
    QVERIFY(!Run.filter(QRegularExpression(QStringLiteral("\\[1 of 2, [1-9]\\d%\\]"))).isEmpty());
    int Previous = 0;
    for (const QString& Title : Run) { // the total never goes back
      const int Now = Running.match(Title).captured(2).toInt();
      QVERIFY2(Now >= Previous, qPrintable(Title));
      Previous = Now;
    }
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Done]"));
    QCOMPARE(H.Statuses(), (QStringList{StatusDone, StatusDone}));
  }

  // Two files that fail give one box at the end naming both, with their reasons; their rows
  // read "Failed" with the reason as tool tip.
  void TwoFailuresGiveOneSummaryBox() {
    TWindowHarness H;
    H.Open();
    WriteUndecodableWav(H.WorkPath(QStringLiteral("first.wav")));
    WriteUndecodableWav(H.WorkPath(QStringLiteral("second.wav")));
    H.Add({H.WorkPath(QStringLiteral("first.wav")), MediaFile(Clip),
           H.WorkPath(QStringLiteral("second.wav"))});
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), (QStringList{StatusFailed, StatusDone, StatusFailed}));
    QCOMPARE(H.Dialogs.Messages.size(), 1);
    const QStringList Lines = H.Dialogs.Messages[0].Text.split(QStringLiteral("\r\n"));
    QCOMPARE(Lines.size(), 4);
    QCOMPARE(Lines[0], QStringLiteral("2 files could not be converted:"));
    QCOMPARE(Lines[2], QStringLiteral("first.wav: ") + H.Files().item(0, 1)->toolTip());
    QCOMPARE(Lines[3], QStringLiteral("second.wav: ") + H.Files().item(2, 1)->toolTip());
    QVERIFY(H.Files().item(2, 1)->toolTip().contains(QStringLiteral("Unsupported codec")));
  }

  // An audio entry's encoders use one core each: two files convert at once, both rows move.
  // A video entry converts one file at a time.
  void AnAudioEntryConvertsTwoFilesAtOnce() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    H.Control<QComboBox>("selFormat")->setCurrentText(QStringLiteral("MP3 Audio (*.mp3)"));
    // Long enough that each file reports its progress a few times.
    const QString First = H.WorkPath(QStringLiteral("first.wav"));
    const QString Second = H.WorkPath(QStringLiteral("second.wav"));
    WriteNoiseWav(First, 30);
    WriteNoiseWav(Second, 30);
    H.Add({First, Second});
    int MostAtOnce = 0;
    connect(&H.Files(), &QTableWidget::itemChanged, this, [&](QTableWidgetItem* AItem) {
      if (AItem->column() != 1) return;
      int Moving = 0;
      for (int Row = 0; Row < H.Files().RowCount(); ++Row)
        Moving += H.Files().Status(Row).startsWith(ProgressMark);
      MostAtOnce = std::max(MostAtOnce, Moving);
    });
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(W.FilesAtOnce(), 2);
    QCOMPARE(MostAtOnce, 2);
    QCOMPARE(H.Statuses(), (QStringList{StatusDone, StatusDone}));

    H.Control<QComboBox>("selFormat")->setCurrentText(QStringLiteral("MP4 Video (*.mp4)"));
    H.Add({MediaFile(Clip)});
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(W.FilesAtOnce(), 1);
  }

  void ASecondRunAsksBeforeConvertingAgain() {
    TWindowHarness H;
    H.Open();
    H.Add({MediaFile(Clip)});
    QVERIFY(H.ConvertAndWait());

    // No: nothing changes.
    H.Button("btnConvert").click();
    QCOMPARE(
        H.Dialogs.Questions,
        QStringList{QStringLiteral("File(s) from the list was already converted to this format\r\n"
                                   "XviD Video (*.avi)\r\nDo you wish to convert agin?")});
    QVERIFY(!H.Window->Converting());
    QCOMPARE(H.Statuses(), QStringList{QStringLiteral("Done")});
    QVERIFY(!QFile::exists(H.OutFolder() + QStringLiteral("/mpeg4_aac (XviD Video [1]).avi")));

    // Yes: the tasks are made again from the rows and get numbered names.
    H.Dialogs.AskAnswers << true;
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), QStringList{QStringLiteral("Done")});
    QVERIFY(QFile::exists(H.OutFolder() + QStringLiteral("/mpeg4_aac (XviD Video [1]).avi")));

    // A cancelled add after a finished run changes nothing; a real one starts a new list.
    H.Button("btnOpen").click();
    QCOMPARE(H.Files().RowCount(), 1);
    H.Add({MediaFile(QStringLiteral("tone.mp3"))});
    QCOMPARE(H.Files().RowCount(), 1);
    QCOMPARE(H.Files().item(0, 0)->text(), QStringLiteral("tone.mp3"));
  }

  // Every format of the table is offered; the one chosen converts with its own codecs and is
  // remembered, by its text, for the next start.
  void TheChosenFormatConvertsAndIsRemembered() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    auto* Formats = H.Control<QComboBox>("selFormat");
    QCOMPARE(Formats->count(), static_cast<int>(OutputFormats().size()));
    QCOMPARE(Formats->itemText(0), QStringLiteral("XviD Video (*.avi)"));
    Formats->setCurrentIndex(Formats->findText(QStringLiteral("MP4 Video (*.mp4)")));
    H.Add({MediaFile(Clip)});
    QVERIFY(H.ConvertAndWait());
    // The clip's AAC sound already is what MP4 holds.
    QCOMPARE(H.Statuses(), QStringList{QStringLiteral("Done (audio copied)")});
    const TOutputFacts Mp4 =
        ProbeOutput(H.OutFolder() + QStringLiteral("/mpeg4_aac (MP4 Video).mp4"));
    QCOMPARE(Mp4.VideoCodec, QStringLiteral("h264"));
    QCOMPARE(Mp4.AudioCodec, QStringLiteral("aac"));

    W.close();
    QSettings Stored(H.AppFolder() + QStringLiteral("conf.ini"), QSettings::IniFormat);
    QCOMPARE(Stored.value(QStringLiteral("Main/strFormat")).toString(),
             QStringLiteral("MP4 Video (*.mp4)"));
  }

  // The level chosen beside the format is the one the encoder works at: x264 writes its
  // settings into the stream it makes, rate factor included. The clip's AAC sound fits MP4 and
  // is copied, except at the smaller-file level.
  void TheChosenLevelReachesTheEncoder() {
    for (const auto& [Level, Written, Status] :
         {std::tuple{QStringLiteral("Smaller file"), QByteArray(" crf=27.0 "), StatusDone},
          std::tuple{QStringLiteral("Better quality"), QByteArray(" crf=17.5 "),
                     QStringLiteral("Done (audio copied)")}}) {
      TWindowHarness H;
      H.Open();
      auto* Formats = H.Control<QComboBox>("selFormat");
      Formats->setCurrentIndex(Formats->findText(QStringLiteral("MP4 Video (*.mp4)")));
      auto* Quality = H.Control<QComboBox>("selQuality");
      Quality->setCurrentIndex(Quality->findText(Level));
      H.Add({MediaFile(Clip)});
      QVERIFY(H.ConvertAndWait());
      QCOMPARE(H.Statuses(), QStringList{Status});
      QFile Output(H.OutFolder() + QStringLiteral("/mpeg4_aac (MP4 Video).mp4"));
      QVERIFY(Output.open(QIODevice::ReadOnly));
      const QByteArray Bytes = Output.readAll();
      QVERIFY2(Bytes.contains(Written), qPrintable(Level));
    }
  }

  // An H.264 + AAC clip already is what "Matroska Video" holds: with the box on its streams go
  // over unchanged and the row says so; with it off they are encoded again.
  void AClipThatFitsIsCopiedOnlyWhileTheBoxSaysSo() {
    const QString Source = MediaFile(QStringLiteral("h264_aac.mp4"));
    const auto Measure = [&Source](const QString& AOutput) {
      QProcess Measure;
      Measure.start(QStringLiteral(PELORIX_MEASURE_PROGRAM), {Source, AOutput});
      Measure.waitForFinished(120000);
      return QString::fromUtf8(Measure.readAllStandardOutput()).trimmed();
    };
    for (const bool Copy : {true, false}) {
      TWindowHarness H;
      H.Open();
      auto* Formats = H.Control<QComboBox>("selFormat");
      Formats->setCurrentIndex(Formats->findText(QStringLiteral("Matroska Video (*.mkv)")));
      auto* Box = H.Control<QCheckBox>("chkCopyFitting");
      QVERIFY(Box->isChecked()); // on unless the user turned it off
      QVERIFY(Box->isEnabled());
      Box->setChecked(Copy);
      H.Add({Source});
      QVERIFY(H.ConvertAndWait());
      const QString Output = H.OutFolder() + QStringLiteral("/h264_aac (Matroska Video).mkv");
      const TOutputFacts Facts = ProbeOutput(Output);
      QCOMPARE(Facts.VideoCodec, QStringLiteral("h264"));
      QCOMPARE(Facts.AudioCodec, QStringLiteral("aac"));
      QCOMPARE(Facts.Channels, 2);
      const QString Measured = Measure(Output);
      QFile Written(Output);
      QVERIFY(Written.open(QIODevice::ReadOnly));
      const QByteArray Bytes = Written.readAll();
      if (Copy) {
        QCOMPARE(H.Statuses(), QStringList{QStringLiteral("Done (copied)")});
        QCOMPARE(H.Files().item(0, 1)->toolTip(),
                 Output + QStringLiteral("\nThe video and audio were copied unchanged, not "
                                         "encoded again"));
        // The same 50 pictures, every one identical to the source's.
        QCOMPARE(Measured, QStringLiteral("pictures=50/50 compared=50 psnr=100.000 ssim=1.00000"));
        QVERIFY(!Bytes.contains(" crf=20.5 "));
      } else {
        QCOMPARE(H.Statuses(), QStringList{StatusDone});
        QCOMPARE(H.Files().item(0, 1)->toolTip(), Output);
        QVERIFY2(Measured.startsWith(QStringLiteral("pictures=50/50 compared=50 psnr=")) &&
                     !Measured.contains(QStringLiteral("psnr=100.000")),
                 qPrintable(Measured));
        QVERIFY(Bytes.contains(" crf=20.5 ")); // encoded at the balanced level
      }
    }
  }

  void AStoredFormatIsChosenAtStartAndAnUnknownOneGivesTheFirst() {
    for (const auto& [Stored, Shown] :
         {std::pair{QStringLiteral("WebM Video (*.webm)"), QStringLiteral("WebM Video (*.webm)")},
          std::pair{QStringLiteral("webm video (*.webm)"), QStringLiteral("XviD Video (*.avi)")},
          std::pair{QStringLiteral("Laser Disc (*.ld)"), QStringLiteral("XviD Video (*.avi)")}}) {
      TWindowHarness H;
      QSettings File(H.AppFolder() + QStringLiteral("conf.ini"), QSettings::IniFormat);
      File.setValue(QStringLiteral("Main/strOutput"), H.OutFolder());
      File.setValue(QStringLiteral("Main/strFormat"), Stored);
      File.sync();
      H.Open();
      QCOMPARE(H.Control<QComboBox>("selFormat")->currentText(), Shown);
    }
  }

  void SourcesWithoutVideoGiveNoVideoAndOthersKeepIt() {
    TWindowHarness H;
    H.Open();
    const QString M4a = H.WorkPath(QStringLiteral("tone.m4a"));
    QCOMPARE(QProcess::execute(QStringLiteral(PELORIX_TRANSCODE_PROGRAM),
                               {QStringLiteral("-q"), QStringLiteral("-i"),
                                MediaFile(QStringLiteral("tone.wav")), QStringLiteral("acodec=aac"),
                                QStringLiteral("-o"), M4a}),
             0);
    const QString Bare = H.WorkPath(QStringLiteral("clip"));
    QVERIFY(QFile::copy(MediaFile(Clip), Bare));
    H.Add({MediaFile(QStringLiteral("tone.mp3")), M4a, Bare});
    QCOMPARE(H.Files().RowCount(), 3);
    QVERIFY(H.ConvertAndWait());
    // The MP3 sound is what XviD's file holds: it goes over unchanged.
    QCOMPARE(H.Statuses(),
             (QStringList{QStringLiteral("Done (audio copied)"), StatusDone, StatusDone}));

    const TOutputFacts Mp3 = ProbeOutput(H.OutFolder() + QStringLiteral("/tone (XviD Video).avi"));
    QCOMPARE(Mp3.VideoStreams, 0);
    QCOMPARE(Mp3.AudioCodec, QStringLiteral("mp3"));
    QCOMPARE(Mp3.Channels, 2);
    QCOMPARE(Mp3.SampleRate, 44100);
    const TOutputFacts Aac =
        ProbeOutput(H.OutFolder() + QStringLiteral("/tone (XviD Video [1]).avi"));
    QCOMPARE(Aac.VideoStreams, 0);
    QCOMPARE(Aac.AudioStreams, 1);
    const TOutputFacts Plain =
        ProbeOutput(H.OutFolder() + QStringLiteral("/clip (XviD Video).avi"));
    QCOMPARE(Plain.VideoStreams, 1);
    QCOMPARE(Plain.VideoCodec, QStringLiteral("mpeg4"));
  }

  void SameNamesFromTwoFoldersDoNotCollide() {
    TWindowHarness H;
    H.Open();
    QDir(H.WorkPath(QString())).mkpath(QStringLiteral("a"));
    QDir(H.WorkPath(QString())).mkpath(QStringLiteral("b"));
    QVERIFY(QFile::copy(MediaFile(Clip), H.WorkPath(QStringLiteral("a/clip.3gp"))));
    QVERIFY(QFile::copy(MediaFile(QStringLiteral("ntsc.mp4")),
                        H.WorkPath(QStringLiteral("b/clip.3gp"))));
    H.Add({H.WorkPath(QStringLiteral("a/clip.3gp")), H.WorkPath(QStringLiteral("b/clip.3gp"))});
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), (QStringList{StatusDone, StatusDone}));
    QCOMPARE(ProbeOutput(H.OutFolder() + QStringLiteral("/clip (XviD Video).avi")).SampleRate,
             16000);
    QCOMPARE(ProbeOutput(H.OutFolder() + QStringLiteral("/clip (XviD Video [1]).avi")).SampleRate,
             48000);
  }

  void OutputsBesideTheirSourcesWhenAsked() {
    TWindowHarness H;
    H.StoreSettings(H.WorkPath(QStringLiteral("unused")), QStringLiteral("1"));
    TfrmMain& W = H.Open();
    const QString Source = H.WorkPath(QStringLiteral("phone.3gp"));
    QVERIFY(QFile::copy(MediaFile(Clip), Source));
    H.Add({Source});
    QVERIFY(H.ConvertAndWait());
    QVERIFY(QFile::exists(H.WorkPath(QStringLiteral("phone (XviD Video).avi"))));
    QVERIFY(!QFileInfo::exists(H.WorkPath(QStringLiteral("unused"))));
    // After the run the box still rules the folder controls.
    QVERIFY(!H.Control<QLineEdit>("txtOutput")->isEnabled());
    QVERIFY(!H.Button("btnBrowse").isEnabled());
    QVERIFY(!W.Converting());
  }

  void StopDuringTheFirstOfThreeCancelsAll() {
    TWindowHarness H;
    TGate Gate;
    TfrmMain& W = H.Open([](TOutputOptions& AOptions) { AOptions.CustomHook = true; });
    // Held at the second picture: the first is on its way into the file.
    W.Converter().SetOnCustomHook(
        [&Gate](int AIndex, THookBitmap&, int AFrameNumber, int64_t, bool&, bool&) {
          if (AIndex == 0 && AFrameNumber >= 2) Gate.Wait();
        });
    H.Add({MediaFile(Clip), MediaFile(Clip), MediaFile(Clip)});
    QSignalSpy Finished(&W, &TfrmMain::RunFinished);
    H.Button("btnConvert").click();
    QTRY_VERIFY_WITH_TIMEOUT(Gate.WasReached(), 60000);

    H.Button("btnConvert").click(); // "Stop"
    QVERIFY(W.JobCanceled());
    // Until the run's final event, neither a new add nor a new run may start.
    bool Checked = false;
    connect(&W, &TfrmMain::TaskEnded, this, [&] {
      if (Checked || !W.Converting()) return;
      Checked = true;
      QVERIFY(!H.Button("btnOpen").isEnabled());
      QVERIFY(!H.Button("btnConvert").isEnabled());
      QVERIFY(!H.Control<QAction>("AddFiles1")->isEnabled());
      H.Button("btnOpen").click();
      H.Button("btnConvert").click();
      H.Control<QAction>("AddFiles1")->trigger();
    });
    Gate.Release();
    QVERIFY(Finished.wait(120000));
    QVERIFY(Checked);
    QCOMPARE(H.Dialogs.FileFilters.size(), 1); // only the first add opened the dialog
    QCOMPARE(H.Statuses(), (QStringList{StatusCanceled, StatusCanceled, StatusCanceled}));
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Job Canceled]"));
    QCOMPARE(H.Button("btnConvert").text(), QStringLiteral("Convert!"));
    QVERIFY(H.Button("btnConvert").isEnabled());
    QVERIFY(H.Button("btnOpen").isEnabled());
    QVERIFY(W.LastFormat().isEmpty());
    // The stopped file is finished off and kept.
    QVERIFY(ProbeOutput(H.OutFolder() + QLatin1Char('/') + XvidName).VideoStreams == 1);

    // The next add after a stop starts a new list.
    H.Add({MediaFile(QStringLiteral("tone.mp3"))});
    QCOMPARE(H.Files().RowCount(), 1);
    QVERIFY(!W.JobCanceled());
    QCOMPARE(W.Converter().TaskCount(), 1);
  }

  // A stop leaves every row that ended before it as it ended: a failed file still reads
  // "Failed" with its reason, the stopped and the waiting ones read "Canceled".
  void AStopKeepsTheRowsThatEndedBeforeIt() {
    TWindowHarness H;
    TGate Gate;
    TfrmMain& W = H.Open([](TOutputOptions& AOptions) { AOptions.CustomHook = true; });
    W.Converter().SetOnCustomHook([&Gate](int AIndex, THookBitmap&, int, int64_t, bool&, bool&) {
      if (AIndex == 1) Gate.Wait();
    });
    const QString Broken = H.WorkPath(QStringLiteral("broken.wav"));
    WriteUndecodableWav(Broken);
    H.Add({Broken, MediaFile(Clip), MediaFile(Clip)});
    QCOMPARE(H.Files().RowCount(), 3);
    QSignalSpy Finished(&W, &TfrmMain::RunFinished);
    H.Button("btnConvert").click();
    QTRY_VERIFY_WITH_TIMEOUT(Gate.WasReached(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(H.Files().Status(0), StatusFailed, 60000);

    H.Button("btnConvert").click(); // "Stop"
    Gate.Release();
    QVERIFY(Finished.wait(120000));
    QCOMPARE(H.Statuses(), (QStringList{StatusFailed, StatusCanceled, StatusCanceled}));
    QVERIFY(H.Files().item(0, 1)->toolTip().contains(QStringLiteral("Unsupported codec")));
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Job Canceled]"));
  }

  void AConversionThatFailsReadsFailedAndLeavesNoFile() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    const QString Broken = H.WorkPath(QStringLiteral("broken.wav"));
    WriteUndecodableWav(Broken);
    H.Add({Broken, MediaFile(Clip)});
    QCOMPARE(H.Files().RowCount(), 2);
    QVERIFY(H.ConvertAndWait());
    QCOMPARE(H.Statuses(), (QStringList{StatusFailed, StatusDone}));
    QVERIFY(H.Files().item(0, 1)->toolTip().contains(QStringLiteral("Unsupported codec")));
    QVERIFY(!QFile::exists(H.OutFolder() + QStringLiteral("/broken (XviD Video).avi")));
    QVERIFY(QFile::exists(H.OutFolder() + QLatin1Char('/') + XvidName));
    QCOMPARE(W.LastFormat(), QStringLiteral("XviD Video (*.avi)"));
  }

  void AnOutputThatCannotBeSetKeepsRowsAndTasksAligned() {
    TWindowHarness H;
    int Calls = 0;
    // The second task's record is one the converter refuses (a codec tag must have 4 letters).
    TfrmMain& W = H.Open([&Calls](TOutputOptions& AOptions) {
      if (++Calls == 2) AOptions.AudioTag = "abc";
    });
    H.Add({MediaFile(Clip), MediaFile(QStringLiteral("tone.mp3")),
           MediaFile(QStringLiteral("h264_aac.mp4"))});
    QVERIFY(H.ConvertAndWait());
    // No box of its own: the run's summary names it with its reason.
    QCOMPARE(H.Dialogs.Messages.size(), 1);
    QVERIFY(H.Dialogs.Messages[0].Text.startsWith(
        QStringLiteral("1 file could not be converted:\r\n\r\ntone.mp3: ")));
    QCOMPARE(H.Statuses(), (QStringList{StatusDone, StatusFailed, StatusDone}));
    QVERIFY(!H.Files().item(1, 1)->toolTip().isEmpty());
    QVERIFY(QFile::exists(H.OutFolder() + QLatin1Char('/') + XvidName));
    QVERIFY(QFile::exists(H.OutFolder() + QStringLiteral("/h264_aac (XviD Video).avi")));
    QVERIFY(!QFile::exists(H.OutFolder() + QStringLiteral("/tone (XviD Video).avi")));
    QCOMPARE(W.Converter().TaskCount(), 0);
  }

  void ARunWithNothingToConvertReturnsToIdle() {
    TWindowHarness H;
    TfrmMain& W = H.Open();
    H.Dialogs.FolderAnswers << QStringLiteral("/proc/pelorix-none/out"); // cannot be made
    H.Button("btnFolderChange").click();
    H.Add({MediaFile(Clip)});
    H.Button("btnConvert").click();
    QVERIFY(!W.Converting());
    QCOMPARE(H.Title(), QStringLiteral("Pelorix.org [Done]"));
    QCOMPARE(H.Statuses(), QStringList{StatusFailed});
    QCOMPARE(H.Dialogs.Messages.size(), 1);
    QVERIFY(H.Dialogs.Messages[0].Text.startsWith(
        QStringLiteral("1 file could not be converted:\r\n\r\nmpeg4_aac.3gp: ")));
    QCOMPARE(H.Button("btnConvert").text(), QStringLiteral("Convert!"));
    QVERIFY(H.Button("btnOpen").isEnabled());
    QVERIFY(W.LastFormat().isEmpty());
  }

  void ClosingDuringARunFinishesTheFileFirst() {
    TWindowHarness H;
    TGate Gate;
    TfrmMain& W = H.Open([](TOutputOptions& AOptions) { AOptions.CustomHook = true; });
    W.Converter().SetOnCustomHook(
        [&Gate](int, THookBitmap&, int AFrameNumber, int64_t, bool&, bool&) {
          if (AFrameNumber >= 2) Gate.Wait(); // the first picture is on its way into the file
        });
    H.Add({MediaFile(Clip)});
    QSignalSpy Finished(&W, &TfrmMain::RunFinished);
    H.Button("btnConvert").click();
    QTRY_VERIFY_WITH_TIMEOUT(Gate.WasReached(), 60000);
    QVERIFY(!W.close()); // waits for the run
    QVERIFY(W.isVisible());
    Gate.Release();
    QVERIFY(Finished.wait(120000));
    QTRY_VERIFY_WITH_TIMEOUT(!W.isVisible(), 60000);
    QCOMPARE(H.Dialogs.ClosingBanners, 1);
    QVERIFY(QFile::exists(H.AppFolder() + QStringLiteral("conf.ini")));
    QCOMPARE(ProbeOutput(H.OutFolder() + QLatin1Char('/') + XvidName).VideoStreams, 1);
  }
};

PELORIX_WINDOW_TEST_MAIN(TRunTest)
#include "RunTest.moc"
