// The window's rules that need no window: format entries, output names and records, the
// progress cell, and the settings file.
#include "AppSettings.h"
#include "FileList.h"
#include "FilesAtOnce.h"
#include "OutputFormats.h"
#include "RowStates.h"
#include "WindowTestSupport.h"

#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

using namespace pelorix;

class TAppRulesTest : public QObject {
  Q_OBJECT

private slots:
  void FormatEntryGivesExtensionAndLabel() {
    const std::string Xvid = OutputFormats().front().Text;
    QCOMPARE(Xvid, std::string("XviD Video (*.avi)"));
    QCOMPARE(FormatExtension(Xvid), std::string(".avi"));
    QCOMPARE(FormatLabel(Xvid), std::string("XviD Video"));
    // Every "*" of the label becomes "x"; the extension ends at the first ")".
    QCOMPARE(FormatExtension("3*2 Clip (*.3gp) (old)"), std::string(".3gp"));
    QCOMPARE(FormatLabel("3*2 Clip (*.3gp) (old)"), std::string("3x2 Clip"));
  }

  void AudioExtensionsAreWholeAndInAnyCase() {
    QVERIFY(IsAudioExtension(".mp3"));
    QVERIFY(IsAudioExtension(".ra"));
    QVERIFY(!IsAudioExtension(".fla")); // a part of one is none
    QVERIFY(IsAudioExtension(".MP3"));
    QVERIFY(!IsAudioExtension(".m4a"));
    QVERIFY(!IsAudioExtension("")); // no extension: the video stays
    QCOMPARE(PathExtension("/media/clips.v2/clip"), std::string());
    QCOMPARE(PathExtension("/media/clip.tar.mp3"), std::string(".mp3"));
  }

  void OutputNamesNeverOverwrite() {
    QTemporaryDir Dir;
    const auto In = [&Dir](const char* AName) { return Dir.filePath(AName).toStdString(); };
    const std::string Source = In("clip.3gp");
    QCOMPARE(MakeOutputName(Source, ".avi", "XviD Video"), In("clip (XviD Video).avi"));
    QFile(QString::fromStdString(In("clip (XviD Video).avi"))).open(QIODevice::WriteOnly);
    QCOMPARE(MakeOutputName(Source, ".avi", "XviD Video"), In("clip (XviD Video [1]).avi"));
    QFile(QString::fromStdString(In("clip (XviD Video [1]).avi"))).open(QIODevice::WriteOnly);
    QCOMPARE(MakeOutputName(Source, ".avi", "XviD Video"), In("clip (XviD Video [2]).avi"));
    // A dot in a folder name is not the file's extension.
    QCOMPARE(MakeOutputName(In("a.b/clip"), ".avi", "L"), In("a.b/clip (L).avi"));
  }

  void ProgressCellRoundsTowardZeroAndClamps() {
    QCOMPARE(ProgressCellText(1000, 4000), QStringLiteral("{|25"));
    QCOMPARE(ProgressCellText(999, 1000), QStringLiteral("{|99"));
    QCOMPARE(ProgressCellText(INT_MAX, INT_MAX - 1), QStringLiteral("{|100")); // no 32-bit overflow
    QCOMPARE(ProgressCellText(30000000, 40000000), QStringLiteral("{|75"));
    QCOMPARE(ProgressCellText(-5, 1000), QStringLiteral("{|0"));
    QCOMPARE(ProgressCellText(500, 0), QStringLiteral("{|")); // unknown total: busy bar
    QCOMPARE(ProgressCellText(500, -1), QStringLiteral("{|"));
  }

  // A converting row's texts: percent at once, speed and time left once it has run a second
  // since its first report, measured from that report.
  void ARowTellsItsProgressFromItsReports() {
    TRowStates Rows;
    Rows.Append(QStringLiteral("/m/a.3gp"));
    QCOMPARE(StatusText(Rows.Row(0)), QStringLiteral("Ready"));
    Rows.Report(0, 500, -1, 10000); // total unknown: a busy bar, no percent
    QCOMPARE(StatusText(Rows.Row(0)), QStringLiteral("{|"));
    QCOMPARE(ProgressDetail(Rows.Row(0)), QString());
    Rows.Report(0, 1000, 20000, 10500);
    QCOMPARE(StatusText(Rows.Row(0)), QStringLiteral("{|5"));
    QCOMPARE(ProgressDetail(Rows.Row(0)), QStringLiteral("5%")); // half a second: no speed yet
    // 4 s of output in 2 s since the first report (from 0.5 s): 2x, 16 s left take 8 s.
    Rows.Report(0, 4500, 20000, 12000);
    QCOMPARE(ProgressDetail(Rows.Row(0)), QStringLiteral("22%  2.0\u00d7  0:08 left"));
    Rows.Report(0, 4500, 7204500, 12000); // two hours to go at 2x: one hour left
    QCOMPARE(ProgressDetail(Rows.Row(0)), QStringLiteral("0%  2.0\u00d7  1:00:00 left"));

    const std::pair<TTaskOutcome, const char*> Ends[] = {{TTaskOutcome::toConverted, "Done"},
                                                         {TTaskOutcome::toFailed, "Failed"},
                                                         {TTaskOutcome::toIncomplete, "Incomplete"},
                                                         {TTaskOutcome::toStopped, "Canceled"},
                                                         {TTaskOutcome::toNotStarted, "Canceled"}};
    for (const auto& [Outcome, Text] : Ends) {
      Rows.End(0, {Outcome, Outcome == TTaskOutcome::toFailed ? "broken" : ""});
      QCOMPARE(StatusText(Rows.Row(0)), QLatin1String(Text));
    }
    Rows.End(0, {TTaskOutcome::toFailed, "Unsupported codec"});
    QCOMPARE(StatusTip(Rows.Row(0)), QStringLiteral("Unsupported codec"));
    Rows.SetReady(0);
    QCOMPARE(StatusText(Rows.Row(0)), QStringLiteral("Ready"));
    QCOMPARE(StatusTip(Rows.Row(0)), QString());
  }

  // The title's totals weigh each file by its length and count the files ended.
  void ARunsTotalWeighsFilesByTheirLength() {
    TRowStates Rows;
    for (const int64_t Length : {1000, 3000, -1}) {
      TRowRecord Row;
      Row.Source = QStringLiteral("/m/x");
      Row.LengthMs = Length;
      Rows.Append(Row);
    }
    const std::vector<bool> InRun{true, true, false};
    QCOMPARE(Rows.RunTotals(InRun).Percent, 0);
    Rows.End(0, {TTaskOutcome::toConverted, ""});
    Rows.Report(1, 1500, 3000, 0);
    const TRunTotals Totals = Rows.RunTotals(InRun);
    QCOMPARE(Totals.Ended, 1);
    QCOMPARE(Totals.Count, 2);
    QCOMPARE(Totals.Percent, 62); // (1000 + 1500) of 4000
    // A file of unknown length weighs as much as the average of the others.
    QCOMPARE(Rows.RunTotals({true, true, true}).Percent, 41); // 2500 of 6000
    // A report behind the last one (a stream that starts writing late) moves nothing back.
    Rows.Report(1, 900, 3000, 100);
    QCOMPARE(Rows.RunTotals(InRun).Percent, 62);
    QCOMPARE(RowPercent(Rows.Row(1)), 50);
  }

  void AudioEntriesConvertAFilePerProcessor() {
    for (const TOutputFormat& Format : OutputFormats())
      QCOMPARE(FilesAtOnce(Format, 4), Format.AudioOnly ? 4 : 1);
    QCOMPARE(FilesAtOnce(*FindOutputFormat("mp3"), 0), 1);
  }

  // The window's output record for the XviD entry, beside the source.
  static TOutputOptions XvidOutput(const TSourceFacts& ASource) {
    return BuildTaskOutput(OutputFormats().front(), ASource.OpenedFileName, ASource, true, "", 0)
        .Options;
  }

  void OutputRecordFollowsTheSource() {
    TSourceFacts Clip;
    Clip.OpenedFileName = "/m/clip.3gp";
    Clip.HasVideo = true;
    Clip.Width = 176;
    Clip.Height = 144;
    Clip.Channels = 1;
    Clip.SampleRate = 16000;
    Clip.AudioBitrate = 32000;
    TOutputOptions Out = XvidOutput(Clip);
    QCOMPARE(Out.VideoCodec, std::string("libxvid"));
    QCOMPARE(Out.AudioCodec, std::string("libmp3lame"));
    QCOMPARE(Out.FrameSize, std::string("176x144"));
    QCOMPARE(Out.VideoBitrate, 1500000);
    QCOMPARE(Out.AudioChannels, 1);
    QCOMPARE(Out.AudioSampleRate, 16000);
    QCOMPARE(Out.AudioBitrate, 32000);
    QCOMPARE(Out.ThreadCount, 0); // automatic codec threads
    QVERIFY(!Out.DisableVideo);

    // Odd sizes lose their last line or column.
    Clip.Width = 175;
    Clip.Height = 145;
    QCOMPARE(XvidOutput(Clip).FrameSize, std::string("174x144"));
    Clip.Width = 176;
    Clip.Height = 144;

    // The video stays whatever the name says; no video stream drops it.
    Clip.OpenedFileName = "/m/clip";
    QVERIFY(!XvidOutput(Clip).DisableVideo);
    Clip.OpenedFileName = "/m/clip.mp3";
    QVERIFY(!XvidOutput(Clip).DisableVideo);
    Clip.OpenedFileName = "/m/tone.m4a";
    Clip.HasVideo = false;
    Out = XvidOutput(Clip);
    QVERIFY(Out.DisableVideo);
    QVERIFY(Out.FrameSize.empty());
    QCOMPARE(Out.VideoBitrate, -1);

    // A source without audio leaves the audio unset.
    TSourceFacts Silent;
    Silent.OpenedFileName = "/m/a.mkv";
    Silent.HasVideo = true;
    Silent.Width = 320;
    Silent.Height = 240;
    Out = XvidOutput(Silent);
    QCOMPARE(Out.AudioChannels, -1);
    QCOMPARE(Out.AudioSampleRate, -1);
  }

  void Mp3AudioStaysWithinWhatMp3Carries() {
    TSourceFacts Surround;
    Surround.OpenedFileName = "/m/film.mkv";
    Surround.Channels = 6;
    Surround.SampleRate = 96000;
    const TOutputOptions Out = XvidOutput(Surround);
    QCOMPARE(Out.AudioChannels, 2);
    QCOMPARE(Out.AudioSampleRate, 48000);
    const TOutputFormat& Xvid = OutputFormats().front();
    QCOMPARE(CappedSampleRate(Xvid, 44100), 44100);
    QCOMPARE(CappedSampleRate(Xvid, 11000), 11025);
    QCOMPARE(CappedSampleRate(Xvid, 4000), 8000);
    QCOMPARE(CappedSampleRate(Xvid, -1), -1);
  }

  // The shared settings unit writes what the toolkit reads, and reads what it wrote: files
  // of earlier versions keep working, and either side may write the file.
  void SettingsAreTheToolkitsIniText() {
    const QString Output = QStringLiteral("/media/a, b;c=d \"q\" back\\slash \u00e9\u65e5");
    const QString Format = QStringLiteral("@ MP4 Video (*.mp4) ");
    {
      QTemporaryDir App;
      std::string Failed;
      TAppSettings Settings(App.path().toStdString() + "/");
      QVERIFY(Settings.Write({Output.toStdString(), true, Format.toStdString()}, Failed));
      QSettings Stored(App.filePath(QStringLiteral("conf.ini")), QSettings::IniFormat);
      QCOMPARE(Stored.value(QStringLiteral("Main/strOutput")).toString(), Output);
      QCOMPARE(Stored.value(QStringLiteral("Main/booSameFolder")).toString(), QStringLiteral("1"));
      QCOMPARE(Stored.value(QStringLiteral("Main/strFormat")).toString(), Format);
    }
    {
      QTemporaryDir App;
      {
        QSettings Toolkit(App.filePath(QStringLiteral("conf.ini")), QSettings::IniFormat);
        Toolkit.setValue(QStringLiteral("Main/strOutput"), Output);
        Toolkit.setValue(QStringLiteral("Main/booSameFolder"), 1);
        Toolkit.setValue(QStringLiteral("Main/strFormat"), Format);
        Toolkit.setValue(QStringLiteral("Other/kept"), QStringLiteral("x, y"));
      }
      TAppSettings Settings(App.path().toStdString() + "/");
      const TSettingsValues Read = Settings.Read();
      QCOMPARE(QString::fromStdString(Read.Output), Output);
      QVERIFY(Read.SameFolder);
      QCOMPARE(QString::fromStdString(Read.Format), Format);
      std::string Failed;
      QVERIFY(Settings.Write({"/elsewhere", false, Read.Format}, Failed));
      QSettings Stored(App.filePath(QStringLiteral("conf.ini")), QSettings::IniFormat);
      QCOMPARE(Stored.value(QStringLiteral("Main/strOutput")).toString(),
               QStringLiteral("/elsewhere"));
      QCOMPARE(Stored.value(QStringLiteral("Other/kept")).toString(), QStringLiteral("x, y"));
    }
  }
};

PELORIX_WINDOW_TEST_MAIN(TAppRulesTest)
#include "AppRulesTest.moc"
